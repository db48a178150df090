// Constants of the pair score walk (pair_scores_walk.inc). Private to the
// library.
#ifndef FPMATCH_PAIR_SCORES_H
#define FPMATCH_PAIR_SCORES_H

#include <cstdint>

#include "prepared_layout.h"

namespace fpmatch::detail {

constexpr int32_t kSameTypeAward = 30;
constexpr int32_t kOtherTypeAward = 20;
constexpr int32_t kBlock = 64;

}  // namespace fpmatch::detail

#endif
