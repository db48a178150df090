// Constant of the pair score walk (pair_scores_walk.inc). Private to the
// library.
#ifndef FPMATCH_PAIR_SCORES_H
#define FPMATCH_PAIR_SCORES_H

#include <cstdint>

#include "prepared_layout.h"

namespace fpmatch::detail {

// Probe edges tested per block against one gallery edge: one AVX-512
// vector, two AVX2 ones.
constexpr int32_t kBlock = 32;

// A block of the walk that found agreeing probe edges: bit l of `bits` for
// probe edge start + l, tested against the row's gallery edge `edge`.
struct PendingBlock {
    uint32_t bits;
    uint16_t start;
    uint8_t edge;
};
// Blocks the walk keeps before adding them up.
constexpr int32_t kPendingBlocks = 64;
static_assert(kBlock <= 32 && sizeof(PendingBlock) == 8);

}  // namespace fpmatch::detail

#endif
