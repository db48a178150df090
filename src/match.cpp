// Matching entry points: one-to-one comparison and the one-to-many search.
//
// A comparison runs one fixed pipeline:
//   decode the probe -> move its central minutiae to the front -> decode the
//   gallery -> base pair search (CalcBasePair) -> alignment on each base pair
//   (CalcMatchScore) -> final score (CalcLastScore).
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "internal.h"

namespace {

using fpmatch::detail::BindFeatureSet;
using fpmatch::detail::FeatureStorage;
using fpmatch::detail::ScoreDecodedPair;

constexpr int32_t kCentralWindow = 64;  // pixels either side of the image centre

// Decodes and reorders the probe. The gallery's minutia storage, not yet
// filled, serves as scratch for the reordering.
bool PrepareProbe(const uint8_t* probeTemplate, FeatureSet* probe, FeatureSet* gallery) {
    if (DecodeFeature(probeTemplate, probe) != FPMATCH_DECODED) return false;
    MinutiaMoveTop(probe, probe->minutiae, gallery->minutiae);
    return true;
}

}  // namespace

namespace fpmatch::detail {

// The explaining variant of ScoreDecodedPair: the same stages, with each
// base pair's alignment kept. A function of its own so that the scoring
// path's stack frame does not carry the three alignment records.
__attribute__((noinline)) int32_t ExplainDecodedPair(const FeatureSet* probe, const FeatureSet* gallery,
                                                     MatchExplanation* explain) {
    BasePair basePairs[3] = {};
    const int32_t count = CalcBasePair(probe, gallery, basePairs);
    if (count == 0) return -1;
    AlignmentExplanation details[3] = {};
    ScoreBasePairs(probe, gallery, basePairs, count, details);
    const int32_t score = CalcLastScore(basePairs, probe->minutiae, gallery->minutiae, count);
    // CalcLastScore reorders the base pairs; their alignments follow them
    // (a base pair's two slots name it uniquely).
    bool used[3] = {};
    explain->basePairCount = count;
    for (int32_t i = 0; i < count; ++i) {
        for (int32_t j = 0; j < count; ++j) {
            if (used[j] || details[j].basePair.probeIndex != basePairs[i].probeIndex ||
                details[j].basePair.galleryIndex != basePairs[i].galleryIndex)
                continue;
            used[j] = true;
            explain->alignments[i] = details[j];
            break;
        }
        explain->alignments[i].basePair = basePairs[i];
    }
    return score;
}

int32_t ScoreDecodedPair(const FeatureSet* probe, const FeatureSet* gallery, MatchExplanation* explain) {
    if (explain != nullptr) return ExplainDecodedPair(probe, gallery, explain);
    BasePair basePairs[3] = {};
    const int32_t count = CalcBasePair(probe, gallery, basePairs);
    if (count == 0) return -1;
    ScoreBasePairs(probe, gallery, basePairs, count, nullptr);
    return CalcLastScore(basePairs, probe->minutiae, gallery->minutiae, count);
}

}  // namespace fpmatch::detail

extern "C" {

int32_t AlgVersion(void) { return 1; }

void MinutiaMoveTop(const FeatureSet* fs, Minutia* minutiae, Minutia* scratch) {
    const int32_t cx = fs->width / 2, cy = fs->height / 2;
    const int count = fs->minutiaCount;
    int filled = 0;
    auto central = [&](const Minutia& m) {
        const int32_t dx = m.x - cx, dy = m.y - cy;
        return dx >= -kCentralWindow && dx <= kCentralWindow && dy >= -kCentralWindow && dy <= kCentralWindow;
    };
    for (int i = 0; i < count; ++i)
        if (central(minutiae[i])) scratch[filled++] = minutiae[i];
    for (int i = 0; i < count; ++i)
        if (!central(minutiae[i])) scratch[filled++] = minutiae[i];
    for (int i = 0; i < count; ++i) minutiae[i] = scratch[i];
}

int32_t Match2Score(const uint8_t* probeTemplate, const uint8_t* galleryTemplate) {
    FeatureStorage probeStorage, galleryStorage;
    FeatureSet probe, gallery;
    BindFeatureSet(&probe, &probeStorage);
    BindFeatureSet(&gallery, &galleryStorage);
    if (!PrepareProbe(probeTemplate, &probe, &gallery)) return 0;
    if (DecodeFeature(galleryTemplate, &gallery) != FPMATCH_DECODED) return 0;
    const int32_t score = ScoreDecodedPair(&probe, &gallery);
    return score < 0 ? 0 : score;
}

int32_t ExplainMatch(const uint8_t* probeTemplate, const uint8_t* galleryTemplate, MatchExplanation* out) {
    if (probeTemplate == nullptr || galleryTemplate == nullptr || out == nullptr) return -1;
    std::memset(out, 0, sizeof(*out));
    FeatureStorage probeStorage, galleryStorage;
    FeatureSet probe, gallery;
    BindFeatureSet(&probe, &probeStorage);
    BindFeatureSet(&gallery, &galleryStorage);
    const bool probeOk = PrepareProbe(probeTemplate, &probe, &gallery);
    out->probeCode = probeOk ? FPMATCH_DECODED : DecodeFeature(probeTemplate, &probe);
    out->galleryCode = DecodeFeature(galleryTemplate, &gallery);
    auto keep = [](const FeatureSet& fs, int32_t code, Minutia* to, int32_t* count) {
        if (code != FPMATCH_DECODED) return;
        *count = fs.minutiaCount;
        std::memcpy(to, fs.minutiae, sizeof(Minutia) * static_cast<size_t>(fs.minutiaCount));
    };
    keep(probe, out->probeCode, out->probeMinutiae, &out->probeCount);
    keep(gallery, out->galleryCode, out->galleryMinutiae, &out->galleryCount);
    if (!probeOk || out->galleryCode != FPMATCH_DECODED) return 0;
    const int32_t score = ScoreDecodedPair(&probe, &gallery, out);
    out->score = score < 0 ? 0 : score;
    return out->score;
}

int32_t Match2Fp(const uint8_t* probeTemplate, const uint8_t* galleryTemplate) {
    return Match2Score(probeTemplate, galleryTemplate);
}

int32_t MatchListFp(const uint8_t* probeTemplate, const uint8_t* list, int32_t stride, int32_t firstIndex,
                    int32_t entryCount, int32_t threshold, int32_t* foundIndex, int32_t* foundScore) {
    FeatureStorage probeStorage, galleryStorage;
    FeatureSet probe, gallery;
    BindFeatureSet(&probe, &probeStorage);
    BindFeatureSet(&gallery, &galleryStorage);
    if (!PrepareProbe(probeTemplate, &probe, &gallery)) return 0;
    // The loop bound is formed in 64 bits so that firstIndex + entryCount
    // cannot overflow; offsets are 64-bit so lists beyond 2 GiB are reached.
    // An entry past index INT32_MAX could not be reported in foundIndex, so
    // the search ends there.
    const int64_t end = std::min(static_cast<int64_t>(firstIndex) + entryCount, int64_t{INT32_MAX} + 1);
    for (int64_t i = firstIndex; i < end; ++i) {
        const uint8_t* entry = list + i * static_cast<int64_t>(stride);
        if (DecodeFeature(entry, &gallery) != FPMATCH_DECODED) return 0;
        const int32_t score = ScoreDecodedPair(&probe, &gallery);
        if (score < 0) return 0;  // no base pair ends the search
        if (score >= threshold) {
            *foundIndex = static_cast<int32_t>(i);
            *foundScore = score;
            return 1;
        }
    }
    return 0;
}

}  // extern "C"
