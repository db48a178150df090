// Length and direction of a displacement between two short template
// minutiae, whose coordinates are 9-bit fields (|dx|, |dy| <= 511), as the
// screening graphs define them, in cheaper arithmetic. Private to the library
// (and its tests, which compare both with the graph builders' forms over the
// whole range).
#ifndef FPMATCH_SHORT_GEOMETRY_H
#define FPMATCH_SHORT_GEOMETRY_H

#include <cmath>
#include <cstdint>

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

// The steps are found through the ratio's 1/256 bucket: (p << 8) / q when
// p <= q, else (q << 8) / p. A bucket spans less than a quarter of a degree,
// so it holds at most one step; the table gives the number of steps every
// ratio of the bucket reaches, and one comparison settles the step inside.
constexpr int32_t kRatioBuckets = 256;

struct DirectionBuckets {
    uint8_t flat[kRatioBuckets + 1];  // p <= q: ratios in [i / 256, (i + 1) / 256)
    uint8_t steep[kRatioBuckets];     // p > q: ratios in (256 / (i + 1), 256 / i]
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
        b.flat[i] = static_cast<uint8_t>(reached);
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
        b.steep[i] = static_cast<uint8_t>(reached);
        if (inside > 1) b.oneStepPerBucket = false;
    }
    return b;
}

constexpr DirectionBuckets kDirectionBuckets = MakeDirectionBuckets();
static_assert(kDirectionBuckets.oneStepPerBucket, "a ratio bucket holds two direction steps");

// math_Atang(dy, dx) for -511 <= dy, dx <= 511.
inline int32_t ShortDirection(int32_t dy, int32_t dx) {
    if (dx == 0) return dy > 0 ? 90 : (dy < 0 ? 270 : 0);
    const int32_t p = dy < 0 ? -dy : dy;
    const int32_t q = dx < 0 ? -dx : dx;
    int32_t r = p <= q ? kDirectionBuckets.flat[(static_cast<uint32_t>(p) << 8) / static_cast<uint32_t>(q)]
                       : kDirectionBuckets.steep[(static_cast<uint32_t>(q) << 8) / static_cast<uint32_t>(p)];
    r += ReachesStep(r + 1, p, q);
    if (dx > 0) return dy > 0 ? r : 360 - r;
    return dy >= 0 ? 180 - r : 180 + r;
}

}  // namespace fpmatch::detail

#endif  // FPMATCH_SHORT_GEOMETRY_H
