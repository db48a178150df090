// Pair scores of all probe/gallery minutia pairs, the neighbourhood
// agreement CalcPairScore computes for one pair: the portable path and the
// choice of path. The SIMD paths live in pair_scores_simd.cpp.
#include <cpuid.h>

#include <cstdint>

#include "internal_paths.h"
#include "pair_scores.h"

namespace fpmatch::detail {

// The SIMD paths' forms of the edge tests equal the rule's (basepair_rules.h).
static_assert(KernelFormsAgree());

#define FPMATCH_WALK_INLINE inline
#include "pair_scores_walk.inc"
#undef FPMATCH_WALK_INLINE

void ComputePairScoresPortable(const WalkEdges& edges, const GalleryRecord& gallery, PairScoreTable* tables) {
    auto block = [&](int32_t c, int32_t end, int32_t a, int32_t d, int32_t r) {
        const int32_t last = end - c < kBlock ? end - c : kBlock;
        uint64_t bits = 0;
        for (int32_t l = 0; l < last; ++l)
            bits |= static_cast<uint64_t>(EdgesAgree(edges.angle[c + l], edges.distance[c + l],
                                                     edges.relative[c + l], a, d, r))
                    << l;
        return bits;
    };
    WalkEdgesOf(edges, gallery, tables, block);
}

#if defined(__clang__)
// Clang's __builtin_cpu_supports lacks some of the names below; read cpuid
// instead (slow in virtual machines, but clang builds are the fuzzing ones).
int32_t SupportedPaths() {
    int32_t paths = 1 << kPathPortable;
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return paths;
    const bool fma = c >> 12 & 1, f16c = c >> 29 & 1, osxsave = c >> 27 & 1, avx = c >> 28 & 1;
    if (!osxsave || !avx) return paths;
    unsigned xcr0Low, xcr0High;
    __asm__("xgetbv" : "=a"(xcr0Low), "=d"(xcr0High) : "c"(0));
    const bool ymmState = (xcr0Low & 0x6u) == 0x6u, zmmState = (xcr0Low & 0xE6u) == 0xE6u;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return paths;
    const bool avx2 = b >> 5 & 1, bmi1 = b >> 3 & 1, bmi2 = b >> 8 & 1;
    const bool avx512f = b >> 16 & 1, avx512dq = b >> 17 & 1, avx512bw = b >> 30 & 1, avx512vl = b >> 31 & 1;
    unsigned ea, eb, ec, ed;
    const bool lzcnt = __get_cpuid(0x80000001u, &ea, &eb, &ec, &ed) && (ec >> 5 & 1);
    if (ymmState && avx2 && bmi1 && bmi2 && fma && f16c && lzcnt) {
        paths |= 1 << kPathAvx2;
        if (zmmState && avx512f && avx512dq && avx512bw && avx512vl) paths |= 1 << kPathAvx3;
    }
    return paths;
}
#else
// What the processor offers and the operating system saves, as the compiler
// runtime found at load time (it also checks the register state); what
// Highway's AVX2 and AVX-512 compilations may use.
int32_t SupportedPaths() {
    int32_t paths = 1 << kPathPortable;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
        __builtin_cpu_supports("fma") && __builtin_cpu_supports("f16c") && __builtin_cpu_supports("lzcnt")) {
        paths |= 1 << kPathAvx2;
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
            __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw"))
            paths |= 1 << kPathAvx3;
    }
    return paths;
}
#endif

int32_t UsablePath(int32_t path) {
    return path > kPathPortable && path < kPathCount && (SupportedPaths() & (1 << path)) ? path : kPathPortable;
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

void ComputePairScores(const WalkEdges& edges, const GalleryRecord& gallery, PairScoreTable* tables, int32_t path) {
    switch (path) {
        case kPathAvx3: ComputePairScoresAvx3(edges, gallery, tables); return;
        case kPathAvx2: ComputePairScoresAvx2(edges, gallery, tables); return;
        default: ComputePairScoresPortable(edges, gallery, tables); return;
    }
}

}  // namespace fpmatch::detail
