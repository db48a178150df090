// Constant of the pair score walk (pair_scores_walk.inc). Private to the
// library.
#ifndef FPMATCH_PAIR_SCORES_H
#define FPMATCH_PAIR_SCORES_H

#include <cstdint>

#include "prepared_layout.h"

namespace fpmatch::detail {

// Probe edges tested per block against one gallery edge.
constexpr int32_t kBlock = 64;

}  // namespace fpmatch::detail

#endif
