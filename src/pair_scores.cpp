// Pair scores of all probe/gallery minutia pairs, the neighbourhood
// agreement CalcPairScore computes for one pair: the portable path and the
// choice of path. The SIMD paths live in pair_scores_simd.cpp.
#include <cstdint>

#include "internal_paths.h"
#include "pair_scores.h"

namespace fpmatch::detail {

void ComputePairScoresPortable(const ProbeRecord& probe, const GalleryRecord& gallery, PairScoreTable* table) {
    WalkPairScores(probe, gallery, table, [&](int32_t c, int32_t end, int32_t a, int32_t d, int32_t r) {
        const int32_t last = end - c < kBlock ? end - c : kBlock;
        uint64_t bits = 0;
        for (int32_t l = 0; l < last; ++l)
            bits |= static_cast<uint64_t>(EdgesAgree(probe.edgeAngle[c + l], probe.edgeDistance[c + l],
                                                     probe.edgeRelative[c + l], a, d, r))
                    << l;
        return bits;
    });
}

int32_t SupportedPaths() {
    int32_t paths = 1 << kPathPortable;
    // What each SIMD path's code was compiled for.
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
        __builtin_cpu_supports("fma") && __builtin_cpu_supports("f16c") && __builtin_cpu_supports("lzcnt"))
        paths |= 1 << kPathAvx2;
    if ((paths & (1 << kPathAvx2)) && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw"))
        paths |= 1 << kPathAvx3;
    return paths;
}

int32_t BestPath() {
    const int32_t paths = SupportedPaths();
    if (paths & (1 << kPathAvx3)) return kPathAvx3;
    if (paths & (1 << kPathAvx2)) return kPathAvx2;
    return kPathPortable;
}

const char* PathName(int32_t path) {
    switch (path) {
        case kPathAvx2: return "AVX2";
        case kPathAvx3: return "AVX-512";
        default: return "portable";
    }
}

void ComputePairScores(const ProbeRecord& probe, const GalleryRecord& gallery, PairScoreTable* table,
                       int32_t path) {
    // A path the processor lacks falls back to the portable one.
    if (path != kPathPortable && (SupportedPaths() & (1 << path)) == 0) path = kPathPortable;
    switch (path) {
        case kPathAvx3: ComputePairScoresAvx3(probe, gallery, table); return;
        case kPathAvx2: ComputePairScoresAvx2(probe, gallery, table); return;
        default: ComputePairScoresPortable(probe, gallery, table); return;
    }
}

}  // namespace fpmatch::detail
