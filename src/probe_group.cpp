// Probe groups: the edges of up to four prepared probes merged into one
// array, so that a batch comparison walks each gallery record's graph once
// for all of them (pair_scores_walk.inc).
//
// A probe's edges lie grouped by the owner's type, then by angle: the edges
// of type slot t and angle v are positions angleStart[t][v] up to the next
// start. The group lays out every (t, v) range of probe 0, then probe 1's,
// and so on, each in its own order. The edges a gallery edge's angle window
// reads are then, probe by probe and in order, the ones that probe's own
// window holds, so each probe's pair scores come out as its own walk gives
// them. A probe whose edges do not lie as its starts say (a record not made
// by PrepareProbe) is left to be compared on its own.
#include <cstdint>
#include <cstring>

#include "prepared_layout.h"

namespace fpmatch::detail {

namespace {

constexpr int32_t kRanges = kTypeSlots * kAngleSlots;

// Start of range q = t * kAngleSlots + v; the ranges run end to end, the
// last one up to the edge total.
int32_t RangeStart(const ProbeRecord& probe, int32_t q) {
    return q < kRanges ? probe.angleStart[q / kAngleSlots][q % kAngleSlots] : probe.edgeTotal;
}

// Whether every edge lies in the range of its owner's type and its angle,
// the ranges starting at 0 and ending at the total without going back.
bool LaidOutByStarts(const ProbeRecord& probe) {
    const int32_t total = probe.edgeTotal;
    const int32_t n = probe.header.minutiaCount;
    if (total < 0 || total > kMaxEdges || RangeStart(probe, 0) != 0) return false;
    bool bad = false;
    for (int32_t q = 0; q < kRanges && !bad; ++q) {
        const int32_t from = RangeStart(probe, q), to = RangeStart(probe, q + 1);
        if (to < from || to > total) return false;
        const int32_t slot = q / kAngleSlots, angle = q % kAngleSlots;
        for (int32_t x = from; x < to; ++x) {
            const int32_t row = probe.edgeRow[x];
            bad |= probe.edgeAngle[x] != angle || row >= n;
            bad |= row < n && TypeSlot(probe.storage.minutiae[row].type) != slot;
        }
    }
    return !bad;
}

}  // namespace

int32_t GroupProbes(const ProbeRecord* const* probes, int32_t count, ProbeGroup* group) {
    int32_t taken = 0, edges = 0;
    while (taken < count && taken < kGroupProbes && edges + probes[taken]->edgeTotal <= kGroupEdges &&
           LaidOutByStarts(*probes[taken])) {
        edges += probes[taken++]->edgeTotal;
    }
    if (taken == 0) return 0;
    int32_t at = 0;
    for (int32_t q = 0; q < kRanges; ++q) {
        group->angleStart[q / kAngleSlots][q % kAngleSlots] = static_cast<uint16_t>(at);
        for (int32_t p = 0; p < taken; ++p) {
            const ProbeRecord& probe = *probes[p];
            const int32_t from = RangeStart(probe, q), length = RangeStart(probe, q + 1) - from;
            std::memcpy(group->edgeAngle + at, probe.edgeAngle + from, sizeof(int16_t) * static_cast<size_t>(length));
            std::memcpy(group->edgeDistance + at, probe.edgeDistance + from,
                        sizeof(int16_t) * static_cast<size_t>(length));
            std::memcpy(group->edgeRelative + at, probe.edgeRelative + from,
                        sizeof(int16_t) * static_cast<size_t>(length));
            std::memcpy(group->edgeType + at, probe.edgeType + from, static_cast<size_t>(length));
            for (int32_t x = 0; x < length; ++x)
                group->edgeRow[at + x] = static_cast<uint8_t>(probe.edgeRow[from + x] | p << 6);
            at += length;
        }
    }
    // Whole-vector loads may run past the last edge; keep those bytes defined.
    std::memset(group->edgeAngle + at, 0, sizeof(int16_t) * kEdgePadding);
    std::memset(group->edgeDistance + at, 0, sizeof(int16_t) * kEdgePadding);
    std::memset(group->edgeRelative + at, 0, sizeof(int16_t) * kEdgePadding);
    std::memset(group->edgeRow + at, 0, kEdgePadding);
    std::memset(group->edgeType + at, 0, kEdgePadding);
    WalkEdges& w = group->edges;
    w = WalkEdges{group->angleStart, group->edgeAngle, group->edgeDistance, group->edgeRelative, group->edgeRow,
                  group->edgeType, at, taken, {}};
    for (int32_t p = 0; p < taken; ++p) w.minutiae[p] = probes[p]->header.minutiaCount;
    return taken;
}

}  // namespace fpmatch::detail
