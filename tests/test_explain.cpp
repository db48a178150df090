// ExplainMatch: the explanation of a comparison comes from the scoring code
// itself, so its score is Match2Score's on every pair, and what it reports
// about the alignments is consistent with that score.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <vector>

#include "test_support.h"

namespace {

using fpmatch::test::Bytes;
namespace samples = fpmatch::samples;

// The alignment's own transform and pairing equal the exported stages
// (MinutiasTransform, XYtoPolar, CalcIsoPair) on every alignment of `e`: the
// gallery moved into the probe frame, and, where the pairing ran, the pairs
// of the kept probe minutiae with it, the polar counts limited to the kept
// ones as the alignment limits them. Counts the alignments compared.
void ExpectExportedStages(const Bytes& probe, const Bytes& gallery, const MatchExplanation& e, int* compared) {
    fpmatch::test::OwnedFeatureSet p, g;
    if (DecodeFeature(probe.data(), &p.fs) != FPMATCH_DECODED) return;
    if (DecodeFeature(gallery.data(), &g.fs) != FPMATCH_DECODED) return;
    Minutia scratch[FPMATCH_MAX_MINUTIAE];
    MinutiaMoveTop(&p.fs, p.fs.minutiae, scratch);
    for (int32_t i = 0; i < e.basePairCount; ++i) {
        const AlignmentExplanation& a = e.alignments[i];
        const int32_t bp = a.basePair.probeIndex, bg = a.basePair.galleryIndex;
        const Minutia P = p.fs.minutiae[bp], G = g.fs.minutiae[bg];
        Minutia kept[FPMATCH_MAX_MINUTIAE] = {}, moved[FPMATCH_MAX_MINUTIAE] = {};
        Minutia movedGallery[FPMATCH_MAX_MINUTIAE] = {};
        SingularPoint singular[3] = {}, gallerySingular[3] = {};
        const int32_t back = a.rotation == 180 ? 180 : -a.rotation;
        MinutiasTransform(&g.fs, nullptr, movedGallery, gallerySingular, p.fs.gndTable->cells,
                          RigidTransform{G.x, G.y, -a.shiftX, -a.shiftY, back});
        movedGallery[bg] = Minutia{};
        for (int32_t k = 0; k < g.fs.minutiaCount; ++k) {
            const Minutia &mine = movedGallery[k], &its = a.movedGallery[k];
            ASSERT_TRUE(mine.x == its.x && mine.y == its.y && mine.angle == its.angle) << k;
        }
        ++*compared;
        if (a.stage == FPMATCH_ALIGN_LITTLE_OVERLAP) continue;
        MinutiasTransform(&p.fs, kept, moved, singular, g.fs.gndTable->cells,
                          RigidTransform{P.x, P.y, a.shiftX, a.shiftY, a.rotation});
        kept[bp] = Minutia{};
        PolarMinutia probePolar[FPMATCH_MAX_MINUTIAE], galleryPolar[FPMATCH_MAX_MINUTIAE];
        XYtoPolar(kept, static_cast<uint32_t>(p.fs.minutiaCount), P.x, P.y, probePolar);
        XYtoPolar(movedGallery, static_cast<uint32_t>(g.fs.minutiaCount), P.x, P.y, galleryPolar);
        auto written = [](const Minutia* set, int32_t n) {
            return static_cast<int32_t>(std::count_if(set, set + n, [](const Minutia& m) { return m.x > 0; }));
        };
        MinutiaPair pairs[FPMATCH_MAX_MINUTIAE];
        const int32_t m = CalcIsoPair(kept, probePolar, std::min(a.keptProbe, written(kept, p.fs.minutiaCount)),
                                      movedGallery, galleryPolar,
                                      std::min(a.keptGallery, written(movedGallery, g.fs.minutiaCount)), pairs);
        ASSERT_EQ(m, a.pairCount);
        for (int32_t k = 0; k < m; ++k)
            ASSERT_TRUE(pairs[k].probeIndex == a.pairs[k].probeIndex && pairs[k].galleryIndex == a.pairs[k].galleryIndex)
                << k;
    }
}

// Checks one pair: the score, what the explanation says about it, and that
// its alignments are the exported stages'.
struct Counts {
    int scored = 0, staged = 0;
};
void ExpectExplained(const Bytes& probe, const Bytes& gallery, Counts* counts) {
    auto e = std::make_unique<MatchExplanation>();
    const int32_t score = ExplainMatch(probe.data(), gallery.data(), e.get());
    ASSERT_EQ(score, Match2Score(probe.data(), gallery.data()));
    ASSERT_EQ(e->score, score);
    ASSERT_GE(e->basePairCount, 0);
    ASSERT_LE(e->basePairCount, 3);
    if (e->basePairCount == 0) {
        EXPECT_EQ(score, 0);
        return;
    }
    ExpectExportedStages(probe, gallery, *e, &counts->staged);
    for (int32_t i = 0; i < e->basePairCount; ++i) {
        const AlignmentExplanation& a = e->alignments[i];
        // Best first, as the final score reads them; the best one's score
        // bounds the final score from above (it is the mean of two at most).
        if (i > 0) {
            EXPECT_LE(a.basePair.matchScore, e->alignments[i - 1].basePair.matchScore);
        }
        ASSERT_GE(a.basePair.probeIndex, 0);
        ASSERT_LT(a.basePair.probeIndex, e->probeCount);
        ASSERT_LT(a.basePair.galleryIndex, e->galleryCount);
        if (a.stage != FPMATCH_ALIGN_SCORED) continue;
        ++counts->scored;
        EXPECT_GE(a.pairCount, 1);
        EXPECT_LE(a.pairCount, std::min(a.keptProbe, a.keptGallery));
        std::set<int32_t> probeSlots, gallerySlots;
        for (int32_t k = 0; k < a.pairCount; ++k) {
            const MinutiaPair& p = a.pairs[k];
            ASSERT_TRUE(probeSlots.insert(p.probeIndex).second);
            ASSERT_TRUE(gallerySlots.insert(p.galleryIndex).second);
            ASSERT_LT(p.probeIndex, e->probeCount);
            ASSERT_LT(p.galleryIndex, e->galleryCount);
            EXPECT_NE(p.probeIndex, a.basePair.probeIndex);
            EXPECT_GT(a.movedGallery[p.galleryIndex].x, 0);  // paired minutiae were kept
        }
        EXPECT_EQ(a.movedGallery[a.basePair.galleryIndex].x, 0);  // the base takes no part
    }
    EXPECT_LE(score, std::min(e->alignments[0].basePair.matchScore, 100));
}

TEST(ExplainMatch, ScoresLikeMatch2ScoreOnGeneratedPairs) {
    samples::ImpressionOptions noisy;
    noisy.maxRotation = 30;
    noisy.maxShift = 25;
    noisy.dropPercent = 30;
    noisy.spurious = 8;
    Counts counts;
    for (uint64_t f = 1; f <= 12; ++f) {
        const auto finger = samples::MakeFinger(500 + f, static_cast<int>(10 + 3 * f));
        const auto other = samples::MakeFinger(900 + f, 30);
        const Bytes a = samples::MakeIsoRecord(samples::MakeImpression(finger, f), 60);
        const Bytes b = samples::MakeNativeTemplate(samples::MakeImpression(finger, 100 + f, noisy), 60, {120, 140});
        const Bytes c = samples::MakeIsoRecord(samples::MakeImpression(other, f, noisy), 60);
        ExpectExplained(a, b, &counts);
        ExpectExplained(b, a, &counts);
        ExpectExplained(a, c, &counts);
        ExpectExplained(b, c, &counts);
    }
    EXPECT_GT(counts.scored, 20);
    EXPECT_GT(counts.staged, 100);
}

TEST(ExplainMatch, ScoresLikeMatch2ScoreOnFvcPairs) {
    FPMATCH_REQUIRE_FVC(fvc);
    Counts counts;
    for (size_t i = 0; i < fvc.size(); ++i)
        for (size_t step : {1u, 8u, 37u})
            ExpectExplained(fvc[i].bytes, fvc[(i + step) % fvc.size()].bytes, &counts);
    EXPECT_GT(counts.scored, 300);
    EXPECT_GT(counts.staged, 2000);
}

TEST(ExplainMatch, FailuresAndNullPointers) {
    const Bytes good = samples::MakeIsoRecord(samples::MakeFinger(3, 30), 60);
    Bytes bad = fpmatch::test::NativeHeader(0);
    auto e = std::make_unique<MatchExplanation>();
    EXPECT_EQ(ExplainMatch(nullptr, good.data(), e.get()), -1);
    EXPECT_EQ(ExplainMatch(good.data(), nullptr, e.get()), -1);
    EXPECT_EQ(ExplainMatch(good.data(), good.data(), nullptr), -1);
    // Both decoder codes are reported, whichever side fails.
    EXPECT_EQ(ExplainMatch(bad.data(), good.data(), e.get()), 0);
    EXPECT_EQ(e->probeCode, FPMATCH_BAD_COUNT);
    EXPECT_EQ(e->galleryCode, FPMATCH_DECODED);
    EXPECT_EQ(e->galleryCount, 30);
    EXPECT_EQ(e->basePairCount, 0);
    EXPECT_EQ(ExplainMatch(good.data(), bad.data(), e.get()), 0);
    EXPECT_EQ(e->probeCode, FPMATCH_DECODED);
    EXPECT_EQ(e->galleryCode, FPMATCH_BAD_COUNT);
    EXPECT_EQ(e->probeCount, 30);
}

}  // namespace
