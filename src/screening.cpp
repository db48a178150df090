// Short templates and their neighbour graphs: the short template reader, the
// probe's distance-sorted char graph and the candidates' limit graphs.
// QuickSort and ScreenScores score candidates from tables of their own
// (screening_tables.cpp) that give the results of these graphs.
//
// Every index below is bounded by the fixed capacities (50 minutiae, 50 edge
// slots per char node), whatever the template bytes hold: char graph rows
// only hold edges below 400 pixels and are padded with terminators.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "internal.h"
#include "short_geometry.h"

namespace {

using fpmatch::detail::kMaxMinutiae;
using fpmatch::detail::kShortMinutiaWord;
using fpmatch::detail::kShortSortCeiling;

constexpr int kCharEdges = FPMATCH_CHAR_EDGES;
constexpr int kLimitEdges = FPMATCH_LIMIT_EDGES;
constexpr int32_t kSortCeiling = kShortSortCeiling;  // running-minimum start and consumed mark
constexpr int32_t kTerminator = 500;    // distance of the row terminator

// One edge from minutia `from` to minutia `to`; `squared` is dx * dx +
// dy * dy in 64 bits, as int16 coordinates a caller sets at will give
// squares beyond int32.
inline NeighbourEdge MakeEdge(const ShortMinutia& from, const ShortMinutia& to, int32_t dx, int32_t dy,
                              int64_t squared) {
    NeighbourEdge e{};
    int32_t edgeAngle = math_Atang(dy, dx) - from.angle;
    if (edgeAngle < 0) edgeAngle += 360;
    int32_t relative = to.angle - from.angle;
    if (relative < 0) relative += 360;
    // Single precision in and out, double precision root: the rounding the
    // screening has always used.
    const float rooted = static_cast<float>(std::sqrt(static_cast<double>(static_cast<float>(squared))) + 0.5);
    e.distance = static_cast<int32_t>(rooted);
    e.edgeAngle = static_cast<int16_t>(edgeAngle);
    e.relativeDirection = static_cast<int16_t>(relative);
    e.neighbourType = to.type;
    return e;
}

template <typename Node>
inline void FillHeader(Node& node, int32_t i, const ShortMinutia& m, int16_t neighbourCount) {
    node.index = static_cast<uint8_t>(i);
    node.x = m.x;
    node.y = m.y;
    node.angle = m.angle;
    node.type = m.type;
    node.neighbourCount = neighbourCount;
}


}  // namespace

extern "C" {

void XpdShortChar(const int32_t* words, ShortMinutia* minutiae, int16_t* minutiaCount, int16_t* format,
                  int16_t* quality, void* /*reserved*/) {
    const int16_t count = static_cast<int16_t>(words[1] & 0xFF);
    *minutiaCount = count;
    *format = static_cast<int16_t>(words[0] & 0xFF);
    *quality = static_cast<int16_t>((words[1] >> 8) & 0xFF);
    // The minutia area holds 50 minutiae; a larger count byte is reported as
    // read but never unpacked beyond them.
    const int32_t unpacked = count < kMaxMinutiae ? count : kMaxMinutiae;
    for (int32_t i = 0; i < unpacked; ++i) {
        const uint32_t c = static_cast<uint32_t>(words[kShortMinutiaWord + 2 * i] & 0xFFFF) << 16 |
                           static_cast<uint32_t>(words[kShortMinutiaWord + 2 * i + 1] & 0xFFFF);
        ShortMinutia& m = minutiae[i];
        m.x = static_cast<int16_t>(c >> 23);
        m.y = static_cast<int16_t>((c >> 14) & 0x1FFu);
        m.angle = static_cast<int16_t>((c >> 5) & 0x1FFu);
        m.quality = static_cast<int16_t>((c >> 1) & 0xFu);
        m.type = static_cast<uint8_t>(c & 1u);
    }
}

void BuildCharGraph(int32_t count, const ShortMinutia* minutiae, CharNode* graph) {
    std::memset(graph, 0, sizeof(CharNode) * kMaxMinutiae);
    const int32_t n = count < kMaxMinutiae ? count : kMaxMinutiae;
    NeighbourEdge scratch[kCharEdges];
    for (int32_t i = 0; i < n; ++i) {
        const ShortMinutia& mi = minutiae[i];
        // Neighbours at the same position as minutia i (i itself included)
        // are left out, so the list may hold fewer than n - 1 edges.
        int32_t gathered = 0;
        for (int32_t p = 0; p < n; ++p) {
            const int32_t dx = minutiae[p].x - mi.x;
            const int32_t dy = minutiae[p].y - mi.y;
            const int64_t s = int64_t{dx} * dx + int64_t{dy} * dy;
            if (s == 0) continue;
            scratch[gathered++] = MakeEdge(mi, minutiae[p], dx, dy, s);
        }
        CharNode& node = graph[i];
        FillHeader(node, i, mi, static_cast<int16_t>(n - 1));
        // Selection by repeated minimum: equal distances keep index order.
        // Edges of 400 pixels or more (possible only outside the image) are
        // never taken; every slot that receives no edge becomes a
        // terminator, so the row stays sorted and ends in slot n - 1.
        for (int32_t k = 0; k < n - 1; ++k) {
            int32_t best = -1;
            int32_t minimum = kSortCeiling;
            for (int32_t e = 0; e < gathered; ++e) {
                if (scratch[e].distance < minimum) {
                    minimum = scratch[e].distance;
                    best = e;
                }
            }
            if (best < 0) {
                node.edges[k].distance = kTerminator;
                continue;
            }
            node.edges[k] = scratch[best];
            scratch[best].distance = kSortCeiling;
        }
        node.edges[n - 1].distance = kTerminator;
    }
}

void BuildLimitGraph(int32_t count, const ShortMinutia* minutiae, LimitNode* graph) {
    const int32_t n = count < kMaxMinutiae ? count : kMaxMinutiae;
    for (int32_t i = 0; i < n; ++i) {
        const ShortMinutia& mi = minutiae[i];
        LimitNode& node = graph[i];
        FillHeader(node, i, mi, static_cast<int16_t>(kLimitEdges));
        for (int32_t e = 0; e < kLimitEdges; ++e) {
            const ShortMinutia& mj = minutiae[i + 1 + e];
            const int32_t dx = mj.x - mi.x;
            const int32_t dy = mj.y - mi.y;
            node.edges[e] = MakeEdge(mi, mj, dx, dy, int64_t{dx} * dx + int64_t{dy} * dy);
        }
    }
}

}  // extern "C"
