// Matching entry points: the algorithm version, the probe reordering and the
// one-to-one comparison.
//
// Match2Score runs one fixed pipeline (prepared.cpp, pair_scores.cpp):
//   decode the probe and move its central minutiae to the front -> decode the
//   gallery -> topology graphs of both -> pair scores of all minutia pairs ->
//   base pair selection -> alignment on each base pair (CalcMatchScore) ->
//   final score (CalcLastScore).
// The stage functions (CalcBasePair and the rest) are exported building
// blocks that compute the same values one call at a time. ExplainMatch
// (prepared.cpp) runs the same pipeline and keeps what each step found.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "internal.h"

namespace {

constexpr int32_t kCentralWindow = 64;  // pixels either side of the image centre

}  // namespace


extern "C" {

int32_t AlgVersion(void) { return 1; }

void MinutiaMoveTop(const FeatureSet* fs, Minutia* minutiae, Minutia* scratch) {
    const int32_t cx = fs->width / 2, cy = fs->height / 2;
    const int count = fs->minutiaCount;
    int filled = 0;
    auto central = [&](const Minutia& m) {
        const int64_t dx = int64_t{m.x} - cx, dy = int64_t{m.y} - cy;  // any int32 a caller sets
        return dx >= -kCentralWindow && dx <= kCentralWindow && dy >= -kCentralWindow && dy <= kCentralWindow;
    };
    for (int i = 0; i < count; ++i)
        if (central(minutiae[i])) scratch[filled++] = minutiae[i];
    for (int i = 0; i < count; ++i)
        if (!central(minutiae[i])) scratch[filled++] = minutiae[i];
    for (int i = 0; i < count; ++i) minutiae[i] = scratch[i];
}

int32_t Match2Score(const uint8_t* probeTemplate, const uint8_t* galleryTemplate) {
    // Prepares both templates on this call's stack and compares the records,
    // as the prepared entry points do.
    return fpmatch::detail::ScoreTemplates(probeTemplate, galleryTemplate);
}

int32_t Match2Fp(const uint8_t* probeTemplate, const uint8_t* galleryTemplate) {
    return Match2Score(probeTemplate, galleryTemplate);
}

}  // extern "C"
