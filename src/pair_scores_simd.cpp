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

HWY_BEFORE_NAMESPACE();
namespace fpmatch::detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#define FPMATCH_WALK_INLINE HWY_INLINE
#include "pair_scores_walk.inc"
#undef FPMATCH_WALK_INLINE

void ComputePairScoresSimd(const ProbeRecord& probe, const GalleryRecord& gallery, PairScoreTable* table) {
    const hn::ScalableTag<int16_t> d16;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d16));
    const auto k7 = hn::Set(d16, kDistanceSlack), k10 = hn::Set(d16, kFacingSlack), k12 = hn::Set(d16, kTurnSlack),
               k20 = hn::Set(d16, kTurnBias);
    const auto k180 = hn::Set(d16, 180), k360 = hn::Set(d16, 360), k1 = hn::Set(d16, 1);
    // x <= y as y + 1 > x (all values are small).
    auto atMost = [&](auto x, auto y) { return hn::Add(y, k1) > x; };
    WalkPairScores(probe, gallery, table, [&](int32_t c, int32_t end, int32_t a, int32_t d, int32_t r) __attribute__((always_inline)) {
        const auto va = hn::Set(d16, static_cast<int16_t>(a));
        const auto vd = hn::Set(d16, static_cast<int16_t>(d));
        const auto vr = hn::Set(d16, static_cast<int16_t>(r));
        const int32_t last = end - c < kBlock ? end - c : kBlock;
        uint64_t bits = 0;
        for (int32_t v = 0; v < last; v += lanes) {
            const auto pa = hn::LoadU(d16, probe.edgeAngle + c + v);
            const auto pd = hn::LoadU(d16, probe.edgeDistance + c + v);
            const auto pr = hn::LoadU(d16, probe.edgeRelative + c + v);
            // The same three tests as EdgesAgree, lane by lane.
            const auto s = hn::Add(pd, vd);
            const auto near = atMost(hn::Abs(hn::Sub(pd, vd)), hn::Add(hn::ShiftRight<kDistanceShift>(s), k7));
            const auto turned =
                atMost(hn::Abs(hn::Sub(pa, va)), hn::Sub(k12, hn::ShiftRight<kTurnShift>(hn::Sub(s, k20))));
            auto dr = hn::Abs(hn::Sub(pr, vr));
            dr = hn::IfThenElse(dr > k180, hn::Sub(k360, dr), dr);
            auto agree = hn::And(hn::And(near, turned), atMost(dr, k10));
            if (last - v < lanes) agree = hn::And(agree, hn::FirstN(d16, static_cast<size_t>(last - v)));
            uint8_t packed[8] = {};
            hn::StoreMaskBits(d16, agree, packed);
            uint64_t block;
            std::memcpy(&block, packed, sizeof block);
            bits |= block << v;
        }
        return bits;
    });
}

}  // namespace HWY_NAMESPACE
}  // namespace fpmatch::detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace fpmatch::detail {

// Only the AVX2 and AVX-512 compilations are called; a build whose Highway
// lacks one of them routes that path to the portable code.
void ComputePairScoresAvx2(const ProbeRecord& probe, const GalleryRecord& gallery, PairScoreTable* table) {
#if HWY_TARGETS & HWY_AVX2
    N_AVX2::ComputePairScoresSimd(probe, gallery, table);
#else
    ComputePairScoresPortable(probe, gallery, table);
#endif
}

void ComputePairScoresAvx3(const ProbeRecord& probe, const GalleryRecord& gallery, PairScoreTable* table) {
#if HWY_TARGETS & HWY_AVX3
    N_AVX3::ComputePairScoresSimd(probe, gallery, table);
#else
    ComputePairScoresPortable(probe, gallery, table);
#endif
}

}  // namespace fpmatch::detail
#endif
