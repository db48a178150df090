// Length and direction of a displacement between two short template
// minutiae, whose coordinates are 9-bit fields (|dx|, |dy| <= 511), as the
// screening graphs define them, in cheaper arithmetic. Private to the library
// (and its tests, which compare both with the graph builders' forms over the
// whole range).
#ifndef FPMATCH_SHORT_GEOMETRY_H
#define FPMATCH_SHORT_GEOMETRY_H

#include <cmath>
#include <cstdint>

#include "internal.h"

namespace fpmatch::detail {

// Minutia i of a short template is in 16-bit words 28 + 2i and 29 + 2i.
constexpr int kShortMinutiaWord = 28;
// The char graph keeps edges shorter than this (its sort's running-minimum
// start and consumed mark), so no row edge reaches it.
constexpr int32_t kShortSortCeiling = 400;

// The graph builders round a length as (int)(float)(sqrt((double)(float)s) +
// 0.5) for s = dx * dx + dy * dy. For s up to 2 * 511 * 511 both that and the
// single precision form below give the integer nearest to sqrt(s): sqrt(s)
// never lies closer than 0.25 / 1447 to a half (s is an integer), far more
// than the rounding errors of either form.
inline int32_t ShortDistance(int32_t squared) {
    return static_cast<int32_t>(std::sqrt(static_cast<float>(squared)) + 0.5f);
}

// math_Atang's magnitude part R = floor(|atan(p / q) * 180 / 3.1415926| + 0.5)
// (p = |dy|, q = |dx| > 0) grows with p / q in steps of one degree. For
// p, q <= 511 it equals the number of steps k = 1..90 whose smallest ratio
// numerator / denominator the displacement reaches (generated table).
struct DirectionStep {
    int32_t numerator, denominator;
};
#include "direction_steps.inc"

constexpr bool ReachesStep(int32_t k, int32_t p, int32_t q) {
    return p * kDirectionSteps[k - 1].denominator >= kDirectionSteps[k - 1].numerator * q;
}

// The steps are found through the ratio's 1/1024 bucket: (p << 10) / q when
// p <= q, else (q << 10) / p. A bucket spans less than a sixteenth of a
// degree, so it holds at most one step, and few buckets hold one: the table
// gives the number of steps every ratio of the bucket reaches, with the top
// bit set where a step lies inside, which one comparison then settles.
constexpr int32_t kRatioShift = 10;
constexpr int32_t kRatioBuckets = 1 << kRatioShift;
constexpr int32_t kSteepBuckets = kRatioBuckets + 1;  // where the steep half starts in `reached`
constexpr uint8_t kStepInside = 0x80;

struct DirectionBuckets {
    // reached[i], i <= 1024, for p <= q: ratios in [i / 1024, (i + 1) / 1024);
    // reached[1025 + i] for p > q: ratios in (1024 / (i + 1), 1024 / i].
    uint8_t reached[kSteepBuckets + kRatioBuckets];
    bool oneStepPerBucket;
};

constexpr DirectionBuckets MakeDirectionBuckets() {
    DirectionBuckets b{};
    b.oneStepPerBucket = true;
    for (int32_t i = 0; i <= kRatioBuckets; ++i) {
        int32_t reached = 0, inside = 0;
        for (int32_t k = 1; k <= 90; ++k) {
            const int64_t n = kDirectionSteps[k - 1].numerator, d = kDirectionSteps[k - 1].denominator;
            if (n * kRatioBuckets <= i * d) {
                ++reached;
            } else if (n * kRatioBuckets < (i + 1) * d) {
                ++inside;
            }
        }
        b.reached[i] = static_cast<uint8_t>(reached | (inside > 0 ? kStepInside : 0));
        if (inside > 1) b.oneStepPerBucket = false;
        if (i == kRatioBuckets) break;
        reached = inside = 0;
        for (int32_t k = 1; k <= 90; ++k) {
            const int64_t n = kDirectionSteps[k - 1].numerator, d = kDirectionSteps[k - 1].denominator;
            if (n * (i + 1) <= kRatioBuckets * d) {
                ++reached;
            } else if (i == 0 || n * i <= kRatioBuckets * d) {
                ++inside;
            }
        }
        b.reached[kSteepBuckets + i] = static_cast<uint8_t>(reached | (inside > 0 ? kStepInside : 0));
        if (inside > 1) b.oneStepPerBucket = false;
    }
    return b;
}

constexpr DirectionBuckets kDirectionBuckets = MakeDirectionBuckets();
static_assert(kDirectionBuckets.oneStepPerBucket, "a ratio bucket holds two direction steps");

// The bucket's division as a multiplication: for n < 2^19 and 1 <= q <= 511,
// (n * ceil(2^31 / q)) >> 31 is floor(n / q), as the product exceeds n / q by
// less than n / 2^31 < 1 / 511, too little to reach the next integer.
struct Reciprocals {
    uint32_t of[512];
};

constexpr Reciprocals MakeReciprocals() {
    Reciprocals r{};
    for (uint32_t q = 1; q < 512; ++q) r.of[q] = static_cast<uint32_t>(((uint64_t{1} << 31) + q - 1) / q);
    return r;
}

constexpr Reciprocals kReciprocals = MakeReciprocals();

// math_Atang(dy, dx) for -511 <= dy, dx <= 511. Written without branches on
// the displacement's octant, which is unpredictable in the screening loops.
inline int32_t ShortDirection(int32_t dy, int32_t dx) {
    if (dx == 0) return dy > 0 ? 90 : (dy < 0 ? 270 : 0);
    const int32_t p = dy < 0 ? -dy : dy;
    const int32_t q = dx < 0 ? -dx : dx;
    // Minimum, maximum and half by masks: compilers turn a choice between p
    // and q into a branch, whichever way it is written.
    const int32_t diff = p - q;
    const int32_t pBelow = diff >> 31, qBelow = -diff >> 31;  // all ones when p < q, when q < p
    const uint32_t low = static_cast<uint32_t>(q + (diff & pBelow)), high = static_cast<uint32_t>(p - (diff & pBelow));
    const uint32_t half = static_cast<uint32_t>(qBelow) & kSteepBuckets;
    const uint32_t bucket = static_cast<uint32_t>((uint64_t{low << kRatioShift} * kReciprocals.of[high]) >> 31);
    const uint8_t entry = kDirectionBuckets.reached[half + bucket];
    int32_t r = entry & ~kStepInside;
    if (entry & kStepInside) r += ReachesStep(r + 1, p, q);
    // By quadrant: dx > 0: r above the axis, 360 - r on or below it;
    // dx < 0: 180 - r above, 180 + r on or below (r is 0 on the axis).
    return FromQuadrant(dx > 0, dy > 0, r);
}

}  // namespace fpmatch::detail

#endif  // FPMATCH_SHORT_GEOMETRY_H
