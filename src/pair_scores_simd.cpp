// The SIMD paths of the pair scores: the same walk as the portable path,
// testing 16 (AVX2) or 32 (AVX-512) probe edges per instruction. Compiled
// once per instruction set through Highway; the library picks one at run
// time (pair_scores.cpp), so it runs on any x86-64.
// Only AVX2 and AVX-512 are worth a compilation of their own here; the
// portable path serves every other processor.
#ifndef HWY_DISABLED_TARGETS
#define HWY_DISABLED_TARGETS (HWY_SSSE3 | HWY_SSE4 | HWY_AVX3_DL)
#endif
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "pair_scores_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cstring>

#include "pair_scores.h"

#ifndef FPMATCH_KERNEL_BOUNDS
#define FPMATCH_KERNEL_BOUNDS
namespace fpmatch::detail {
// The kernel evaluates each test as a value that is negative exactly when
// the test passes, so that the three combine with AND/OR and the sign bits
// are the lanes' outcome (basepair_rules.h gives the forms):
//   near:   (below - pd) & (pd - above), the probe distances the near test
//           accepts lying strictly between below and above;
//   turned: |pa - a| + ((pd + bias) >> 5) with bias = d - 20 - 13 * 32,
//           which is |pa - a| + ((pd + d - 20) >> 5) - 13 (an arithmetic
//           shift divides with flooring, so the 13 * 32 comes out whole);
//   facing: (|pr - r| - 11) | (349 - |pr - r|).
constexpr int32_t kTurnFold = (kTurnSlack + 1) << kTurnShift;
struct KernelBounds {
    int16_t below[kKernelDistances], above[kKernelDistances], bias[kKernelDistances];
};
constexpr KernelBounds MakeKernelBounds() {
    KernelBounds b{};
    for (int32_t d = 0; d < kKernelDistances; ++d) {
        b.below[d] = static_cast<int16_t>(kNearRanges.low[d] - 1);
        b.above[d] = static_cast<int16_t>(kNearRanges.high[d] + 1);
        b.bias[d] = static_cast<int16_t>(d - kTurnBias - kTurnFold);
    }
    return b;
}
inline constexpr KernelBounds kKernelBounds = MakeKernelBounds();
constexpr bool TurnFoldIsExact() {
    for (int32_t x = -kTurnFold; x <= 2 * kKernelDistances; ++x)
        if (((x - kTurnFold) >> kTurnShift) != (x >> kTurnShift) - (kTurnSlack + 1)) return false;
    return true;
}
static_assert(TurnFoldIsExact());
}  // namespace fpmatch::detail
#endif

HWY_BEFORE_NAMESPACE();
namespace fpmatch::detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#define FPMATCH_WALK_INLINE HWY_INLINE
#include "pair_scores_walk.inc"
#undef FPMATCH_WALK_INLINE

void ComputePairScoresSimd(const WalkEdges& edges, const GalleryRecord& gallery, PairScoreTable* tables) {
    const hn::ScalableTag<int16_t> d16;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d16));
    const auto withinFacing = hn::Set(d16, kFacingSlack + 1);
    const auto beyondFacing = hn::Set(d16, 360 - kFacingSlack - 1);
    const int16_t* const angles = edges.angle;
    const int16_t* const distances = edges.distance;
    const int16_t* const relatives = edges.relative;
    WalkEdgesOf(edges, gallery, tables, [&](int32_t c, int32_t end, int32_t a, int32_t d, int32_t r) __attribute__((always_inline)) {
        const int32_t distance = d & (kKernelDistances - 1);  // checked below 128 when read back
        const auto va = hn::Set(d16, static_cast<int16_t>(a));
        const auto vr = hn::Set(d16, static_cast<int16_t>(r));
        const auto below = hn::Set(d16, kKernelBounds.below[distance]);
        const auto above = hn::Set(d16, kKernelBounds.above[distance]);
        const auto bias = hn::Set(d16, kKernelBounds.bias[distance]);
        const int32_t last = end - c < kBlock ? end - c : kBlock;
        // The lanes from c + v, negative where they agree (see
        // KernelBounds). Whole vectors: the lanes past `last` (inside the
        // arrays' padding or later edges) are masked off below.
        auto agreeing = [&](int32_t v) __attribute__((always_inline)) {
            const auto pa = hn::LoadU(d16, angles + c + v);
            const auto pd = hn::LoadU(d16, distances + c + v);
            const auto pr = hn::LoadU(d16, relatives + c + v);
            const auto near = hn::And(hn::Sub(below, pd), hn::Sub(pd, above));
            const auto turned = hn::Add(hn::Abs(hn::Sub(pa, va)), hn::ShiftRight<kTurnShift>(hn::Add(pd, bias)));
            const auto facing = hn::Abs(hn::Sub(pr, vr));
            return hn::And(hn::And(near, turned), hn::Or(hn::Sub(facing, withinFacing), hn::Sub(beyondFacing, facing)));
        };
        uint64_t bits = 0;
#if HWY_TARGET == HWY_AVX2
        // Two vectors at a time: their 16-bit lanes packed to bytes in order
        // give one bit per lane in one movemask (AVX2 has no mask registers,
        // and compressing a 16-bit mask's bit pairs takes a pext each).
        for (int32_t v = 0; v < last; v += 2 * lanes) {
            const __m256i both = _mm256_packs_epi16(agreeing(v).raw, agreeing(v + lanes).raw);  // signs kept
            const uint32_t block = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_permute4x64_epi64(both, 0xD8)));
            bits |= uint64_t{block} << v;
        }
#else
        for (int32_t v = 0; v < last; v += lanes) {
            uint8_t packed[8] = {};
            hn::StoreMaskBits(d16, hn::Lt(agreeing(v), hn::Zero(d16)), packed);
            uint64_t block;
            std::memcpy(&block, packed, sizeof block);
            bits |= block << v;
        }
#endif
        return last < kBlock ? bits & ((uint64_t{1} << last) - 1) : bits;
    });
}

}  // namespace HWY_NAMESPACE
}  // namespace fpmatch::detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace fpmatch::detail {

// Only the AVX2 and AVX-512 compilations are called; a build whose Highway
// lacks one of them routes that path to the portable code.
void ComputePairScoresAvx2(const WalkEdges& edges, const GalleryRecord& gallery, PairScoreTable* tables) {
#if HWY_TARGETS & HWY_AVX2
    N_AVX2::ComputePairScoresSimd(edges, gallery, tables);
#else
    ComputePairScoresPortable(edges, gallery, tables);
#endif
}

void ComputePairScoresAvx3(const WalkEdges& edges, const GalleryRecord& gallery, PairScoreTable* tables) {
#if HWY_TARGETS & HWY_AVX3
    N_AVX3::ComputePairScoresSimd(edges, gallery, tables);
#else
    ComputePairScoresPortable(edges, gallery, tables);
#endif
}

}  // namespace fpmatch::detail
#endif
