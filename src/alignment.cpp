// Alignment: superimpose the two templates on each base pair, pair their
// minutiae and score the alignment (ScoreBasePair, from the transform down to
// the alignment score). The transform is in transform.cpp, the pairing in
// pairing.cpp, the score components and the final score in
// alignment_scores.cpp.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "internal.h"

namespace {

using fpmatch::detail::ClampCount;
using fpmatch::detail::FoldDirection;
using fpmatch::detail::kImageHeight;
using fpmatch::detail::kImageWidth;
using fpmatch::detail::kMaxMinutiae;
using fpmatch::detail::Max;
using fpmatch::detail::Min;
using fpmatch::detail::Moved;
using fpmatch::detail::MoveMinutiae;
using fpmatch::detail::PairEntry;

constexpr int32_t kUnpairedFloor = 10;

constexpr bool FitsInt32(int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }

// Rotation of `r` into -179..180 by one turn.
inline int64_t NormaliseRotation(int64_t r) {
    if (r < -179) return r + 360;
    if (r > 180) return r - 360;
    return r;
}

// The polar coordinates of (dx, dy) about the centre. Outside the tables'
// range both components are halved (floor). A displacement still out of
// range (only possible for points outside the image, or a row-0 point seen
// from row 287) is halved again until it fits, the radius scaled back each
// time.
struct Polar {
    int32_t radius, bearing;
};
// Offsets beyond int32 are halved like the others; a radius beyond int32 is
// kept modulo 2^32.
inline Polar PolarOf(int64_t dx, int64_t dy) {
    int64_t scale = 1;
    while (!fpmatch::detail::InTables(dy, dx)) {
        dx >>= 1;
        dy >>= 1;
        scale *= 2;
    }
    const auto x = static_cast<int32_t>(dx), y = static_cast<int32_t>(dy);
    return Polar{static_cast<int32_t>(scale * fpmatch::detail::TableSqrt(y, x)), fpmatch::detail::TableAtan(y, x)};
}

// The pairing's entries about (centerX, centerY): XYtoPolar's entries of the
// slots in `slots` (in increasing order) whose x is above 0, at most `limit`
// of them, with what the pairing reads of each minutia. Returns how many
// were written.
int32_t PairEntriesAbout(const Minutia* set, uint64_t slots, int32_t centerX, int32_t centerY, int32_t limit,
                         PairEntry* out) {
    int32_t written = 0;
    for (; slots != 0 && written < limit; slots &= slots - 1) {
        const int32_t j = __builtin_ctzll(slots);
        const Minutia& m = set[j];
        if (m.x <= 0) continue;
        const Polar p = PolarOf(int64_t{m.x} - centerX, int64_t{m.y} - centerY);
        out[written++] = fpmatch::detail::EntryOf(m, p.radius, p.bearing, j);
    }
    return written;
}

// Working storage of one CalcMatchScore call, reused for each base pair.
struct AlignmentScratch {
    Minutia movedProbe[kMaxMinutiae];
    Minutia movedGallery[kMaxMinutiae];
    SingularPoint movedProbeSingular[3];
    SingularPoint movedGallerySingular[3];
    PairEntry probeEntries[kMaxMinutiae];
    PairEntry galleryEntries[kMaxMinutiae];
    MinutiaPair pairs[kMaxMinutiae];
};

// Scores the alignment on one base pair; returns false when the base pair
// fails a gate and keeps its matchScore. `details`, when not null, receives
// what the alignment computed up to where it stopped (the caller clears it).
bool ScoreBasePair(const FeatureSet* probe, const FeatureSet* gallery, const BasePair& basePair,
                   AlignmentScratch& w, int32_t* matchScore, AlignmentExplanation* details) {
    const int32_t p = basePair.probeIndex, g = basePair.galleryIndex;
    if (details != nullptr) details->basePair = basePair;
    const int32_t probeCount = ClampCount(probe->minutiaCount);
    const int32_t galleryCount = ClampCount(gallery->minutiaCount);
    // A base pair names slots of both sets; a count above 50 names no more.
    if (p < 0 || p >= probeCount || g < 0 || g >= galleryCount) return false;
    const Minutia P = probe->minutiae[p];
    const Minutia G = gallery->minutiae[g];

    // A shift or a rotation beyond int32 (base minutiae billions of pixels
    // or degrees apart) aligns nothing.
    const int64_t shiftX = int64_t{G.x} - P.x, shiftY = int64_t{G.y} - P.y;
    // Directions above one turn count as their remainder, like everywhere
    // else, so that the rotation always lands in -179..180.
    const int64_t turn = NormaliseRotation(int64_t{FoldDirection(P.angle)} - FoldDirection(G.angle));
    if (!FitsInt32(shiftX) || !FitsInt32(-shiftX) || !FitsInt32(shiftY) || !FitsInt32(-shiftY) || !FitsInt32(turn)) {
        if (details != nullptr) details->stage = FPMATCH_ALIGN_LITTLE_OVERLAP;
        return false;
    }
    const auto dx = static_cast<int32_t>(shiftX), dy = static_cast<int32_t>(shiftY), r = static_cast<int32_t>(turn);
    const int32_t r2 = static_cast<int32_t>(NormaliseRotation(-turn));

    // Every later stage reads the moved sets only at kept slots (keptSlots,
    // present and the pairs made from them), which the transform writes; the
    // other slots are cleared only where the explanation copies them out.
    if (details != nullptr) {
        std::memset(w.movedProbe, 0, sizeof w.movedProbe);
        std::memset(w.movedGallery, 0, sizeof w.movedGallery);
    }
    std::memset(w.movedProbeSingular, 0, sizeof w.movedProbeSingular);
    std::memset(w.movedGallerySingular, 0, sizeof w.movedGallerySingular);

    // Probe into the gallery frame, gallery into the probe frame, each kept
    // only where it lands on the other template's foreground.
    const Moved movedP = MoveMinutiae(probe, nullptr, w.movedProbe, w.movedProbeSingular, gallery->gndTable->cells,
                                      RigidTransform{P.x, P.y, dx, dy, r});
    const Moved movedG = MoveMinutiae(gallery, nullptr, w.movedGallery, w.movedGallerySingular, probe->gndTable->cells,
                                      RigidTransform{G.x, G.y, -dx, -dy, r2});

    // The base minutiae themselves take no further part.
    w.movedProbe[p] = Minutia{};
    w.movedGallery[g] = Minutia{};
    const int32_t nP = movedP.kept - 1, nG = movedG.kept - 1;
    if (details != nullptr) {
        details->stage = FPMATCH_ALIGN_LITTLE_OVERLAP;
        details->rotation = r;
        details->shiftX = dx;
        details->shiftY = dy;
        details->keptProbe = nP;
        details->keptGallery = nG;
        std::memcpy(details->movedGallery, w.movedGallery, sizeof w.movedGallery);
    }

    // Enough overlap: three minutiae a side, a quarter of one side.
    if (nP < 3 || nG < 3) return false;
    if (!(4 * nP >= probe->minutiaCount || 4 * nG >= gallery->minutiaCount)) return false;

    // Polar coordinates about the probe base minutia, in the probe frame, of
    // the kept minutiae with x above 0: at most nP of the probe's and nG of
    // the gallery's take part in the pairing.
    const uint64_t keptP = movedP.keptSlots & ~(uint64_t{1} << p), keptG = movedG.keptSlots & ~(uint64_t{1} << g);
    const int32_t usableP = PairEntriesAbout(probe->minutiae, keptP, P.x, P.y, nP, w.probeEntries);
    const int32_t usableG = PairEntriesAbout(w.movedGallery, keptG, P.x, P.y, nG, w.galleryEntries);
    const int32_t m = fpmatch::detail::PairEntries(w.probeEntries, usableP, w.galleryEntries, usableG, w.pairs, true);
    if (details != nullptr) {
        details->stage = FPMATCH_ALIGN_NO_PAIRS;
        details->pairCount = m;
        std::memcpy(details->pairs, w.pairs, sizeof(MinutiaPair) * static_cast<size_t>(m));
    }
    if (m == 0) return false;

    int32_t pos = 0, posNear = 0;
    // The pairs name kept slots only, where the kept copy of the probe is
    // the probe itself.
    CalcPosScore(probe->minutiae, w.movedGallery, P.x, P.y, w.pairs, m, &pos, &posNear);
    int32_t singular = 0;
    CalcSingularScore(probe->singularPoints, gallery->singularPoints, w.movedProbeSingular,
                      w.movedGallerySingular, probe->gndTable->cells, gallery->gndTable->cells, &singular);
    pos = Max(pos - singular, 0);
    posNear = Max(posNear - singular, 0);

    int32_t unpairedP = 0, unpairedPNear = 0, unpairedG = 0, unpairedGNear = 0;
    const uint64_t presentP = movedP.present & ~(uint64_t{1} << p), presentG = movedG.present & ~(uint64_t{1} << g);
    fpmatch::detail::NegScore(G.x, G.y, w.pairs, m, w.movedProbe, presentP, gallery->blockQty->blocks, 0, &unpairedP,
                              &unpairedPNear);
    fpmatch::detail::NegScore(P.x, P.y, w.pairs, m, w.movedGallery, presentG, probe->blockQty->blocks, 1, &unpairedG,
                              &unpairedGNear);
    const int64_t N = Max(unpairedP + unpairedG, kUnpairedFloor);
    const int64_t NN = Max(unpairedPNear + unpairedGNear, kUnpairedFloor);

    const int64_t pos64 = pos, near64 = posNear;
    int64_t score = static_cast<int32_t>(32 * pos64 / (N > 50 ? N : 50)) +
                    static_cast<int32_t>(pos64 * pos64 / (pos64 + N)) +
                    static_cast<int32_t>(32 * near64 / (NN > 50 ? NN : 50)) +
                    static_cast<int32_t>(near64 * near64 / (near64 + NN));
    if (m <= 3) score = score * m / 4;  // few pairs keep only m quarters
    *matchScore = static_cast<int32_t>(score / 4);
    if (details != nullptr) {
        details->stage = FPMATCH_ALIGN_SCORED;
        details->positionScore = pos;
        details->positionScoreNear = posNear;
        details->singularPenalty = singular;
        details->unpairedProbe = unpairedP;
        details->unpairedProbeNear = unpairedPNear;
        details->unpairedGallery = unpairedG;
        details->unpairedGalleryNear = unpairedGNear;
    }
    return true;
}

}  // namespace

namespace fpmatch::detail {

void ScoreBasePairs(const FeatureSet* probe, const FeatureSet* gallery, BasePair* basePairs, int32_t count,
                    AlignmentExplanation* details) {
    AlignmentScratch scratch;
    for (int32_t i = 0; i < count; ++i) {
        int32_t score = 0;
        AlignmentExplanation* d = details != nullptr ? &details[i] : nullptr;
        if (ScoreBasePair(probe, gallery, basePairs[i], scratch, &score, d)) basePairs[i].matchScore = score;
        if (d != nullptr) d->basePair.matchScore = basePairs[i].matchScore;
    }
}

}  // namespace fpmatch::detail

extern "C" {

void CalcMatchScore(const FeatureSet* probe, const FeatureSet* gallery, BasePair* basePairs, int32_t count) {
    fpmatch::detail::ScoreBasePairs(probe, gallery, basePairs, count, nullptr);
}

void XYtoPolar(const Minutia* set, uint32_t count, int32_t centerX, int32_t centerY, PolarMinutia* out) {
    const uint32_t n = count > static_cast<uint32_t>(kMaxMinutiae) ? kMaxMinutiae : count;
    int32_t written = 0;
    for (uint32_t j = 0; j < n; ++j) {
        if (set[j].x <= 0) continue;
        const Polar p = PolarOf(int64_t{set[j].x} - centerX, int64_t{set[j].y} - centerY);
        out[written++] = PolarMinutia{static_cast<int32_t>(j), p.radius, p.bearing};
    }
}

}  // extern "C"
