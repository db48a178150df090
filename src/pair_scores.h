// The pair score walk shared by every code path; a path only supplies how
// it tests a block of up to 64 probe edges against one gallery edge. Private
// to the library.
#ifndef FPMATCH_PAIR_SCORES_H
#define FPMATCH_PAIR_SCORES_H

#include <cstdint>

#include "prepared_layout.h"

namespace fpmatch::detail {

constexpr int32_t kSameTypeAward = 30;
constexpr int32_t kOtherTypeAward = 20;
constexpr int32_t kBlock = 64;

// For a gallery row j and one of its edges g, the probe edges in g's angle
// window are one contiguous run of the probe's edge array (the group of j's
// type). The first edge of probe row i in that run that agrees with g is the
// one CalcPairScore takes for the pair (i, j), because within a row the run
// keeps the row's sorted order. A pair's score is the sum of its awards,
// unless none of its gallery edges up to the early-stop edge found a match:
// then CalcPairScore gives up with 0.
//
// blockMask(c, end, a, d, r) returns bit l set when probe edge c + l (below
// `end`, l < 64) agrees with the gallery edge (a, d, r).
template <class BlockMask>
inline void WalkPairScores(const ProbeRecord& probe, const GalleryRecord& gallery, PairScoreTable* table,
                           BlockMask blockMask) {
    const int32_t nP = probe.header.minutiaCount, nG = gallery.header.minutiaCount;
    for (int32_t i = 0; i < nP; ++i) table->positive[i] = 0;
    const uint64_t probeRows = nP == 64 ? ~uint64_t{0} : (uint64_t{1} << nP) - 1;
    for (int32_t j = 0; j < nG; ++j) {
        const int32_t k = gallery.rowCount[j] < kMaxRowEdges ? gallery.rowCount[j] : kMaxRowEdges;
        const int32_t stopEdge = EarlyStopEdge(k);
        const uint16_t* angleStart = probe.angleStart[TypeSlot(gallery.storage.minutiae[j].type)];
        int16_t sum[64] = {};
        uint64_t early = 0;
        for (int32_t g = 0; g < k; ++g) {
            const CompactEdge& e = gallery.rows[j][g];
            const int32_t a = e.angle < 0 ? 0 : (e.angle > 359 ? 359 : e.angle);
            // The bounds keep a record that was not made by PrepareProbe
            // inside its arrays.
            const int32_t end = angleStart[WindowEnd(a)] < kMaxEdges ? angleStart[WindowEnd(a)] : kMaxEdges;
            const int32_t begin = angleStart[WindowLow(a)] < end ? angleStart[WindowLow(a)] : end;
            uint64_t seen = 0;
            for (int32_t c = begin; c < end; c += kBlock) {
                for (uint64_t bits = blockMask(c, end, a, e.distance, e.relative); bits != 0; bits &= bits - 1) {
                    const int32_t at = c + __builtin_ctzll(bits);
                    const uint32_t i = probe.edgeRow[at] & 63u;
                    const uint64_t bit = uint64_t{1} << i;
                    if (seen & bit) continue;  // row i already took an earlier edge
                    seen |= bit;
                    sum[i] = static_cast<int16_t>(sum[i] + (probe.edgeType[at] == e.type ? kSameTypeAward
                                                                                         : kOtherTypeAward));
                }
            }
            if (g <= stopEdge) early |= seen;
            // No pair of this gallery row found a match in time: CalcPairScore
            // gives up on every one of them, so the rest of the row is moot.
            if (g == stopEdge && early == 0) break;
        }
        for (uint64_t rows = early & probeRows; rows != 0; rows &= rows - 1) {
            const int32_t i = __builtin_ctzll(rows);
            table->score[i][j] = sum[i];
            table->positive[i] |= uint64_t{1} << j;
        }
    }
}

}  // namespace fpmatch::detail

#endif
