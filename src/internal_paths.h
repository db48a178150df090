// Code paths of the comparison: the portable one and the SIMD ones chosen at
// run time. Private to the library and its tests (which link the static
// library to reach them).
#ifndef FPMATCH_INTERNAL_PATHS_H
#define FPMATCH_INTERNAL_PATHS_H

#include <cstddef>
#include <cstdint>

#include "fpmatch.h"

namespace fpmatch::detail {

enum CodePath : int32_t {
    kPathPortable = 0,  // plain C++, any x86-64
    kPathAvx2 = 1,      // AVX2
    kPathAvx3 = 2,      // AVX-512 (F, BW, DQ, VL)
    kPathCount = 3,
};

// Bit p is set when path p can run on this processor.
int32_t SupportedPaths();
// The fastest supported path; what the exported functions use.
int32_t BestPath();
// `path` when this processor supports it, else the portable path.
int32_t UsablePath(int32_t path);
const char* PathName(int32_t path);

// The exported comparisons on an explicit path (an unsupported path falls
// back to the portable one).
int32_t MatchPreparedOnPath(const PreparedProbe* probe, const uint8_t* galleryTemplate, int32_t path);
int32_t MatchPreparedPairOnPath(const PreparedProbe* probe, const PreparedGallery* gallery, int32_t path);
int32_t MatchPreparedCompactOnPath(const PreparedProbe* probe, const uint8_t* compact, size_t length, int32_t path);

}  // namespace fpmatch::detail

#endif
