// A program that defines functions and tables under the library's exported
// names must not change what the library computes: the library binds its
// calls to its own code. This program defines several of them (the maths
// lookups and tables, stage functions of the comparison) with wrong
// behaviour and checks that the comparison entry points still give the
// frozen scores.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

extern "C" {
// Wrong on purpose; none of these may be reached from inside the library.
int32_t math_SqrtUseTab(int32_t, int32_t) { return 1; }
int32_t math_AtangUseTab(int32_t, int32_t) { return 7; }
const uint8_t AtanTab2D[FPMATCH_TABLE_ROWS * FPMATCH_TABLE_COLUMNS] = {};
const uint8_t SqrtTab[FPMATCH_TABLE_ROWS * FPMATCH_TABLE_COLUMNS] = {};
int32_t CalcPairScore(const TopoEdge*, const TopoEdge*, const uint8_t*, int32_t) { return 0; }
void InsertBasePair(BasePair, BasePair*, int32_t) {}
int32_t MinutiasTransform(const FeatureSet*, Minutia*, Minutia*, SingularPoint*, const uint8_t*, RigidTransform) {
    return 0;
}
int32_t CalcLastScore(BasePair*, const Minutia*, const Minutia*, int32_t) { return 55; }
void MinutiaMoveTop(const FeatureSet*, Minutia*, Minutia*) {}
}

namespace {

namespace samples = fpmatch::samples;

TEST(Interposition, ComparisonsRunTheLibrarysOwnCode) {
    // Noisy impressions of six synthetic fingers, scored by the library
    // before any of the names above was defined.
    const int32_t expected[] = {25, 71, 100, 55, 100, 98};
    for (int k = 0; k < 6; ++k) {
        const auto finger = samples::MakeFinger(700 + k, 20 + 5 * k);
        const samples::ImpressionOptions noisy{30, 20, 4, 8, 30, 6};
        const auto a = samples::MakeIsoRecord(samples::MakeImpression(finger, 800 + k, noisy), 60);
        const auto b = samples::MakeIsoRecord(samples::MakeImpression(finger, 900 + k, noisy), 60);
        EXPECT_EQ(Match2Score(a.data(), b.data()), expected[k]) << "finger " << k;
        PreparedProbe probe;
        PreparedGallery gallery;
        PrepareProbe(a.data(), &probe);
        PrepareGallery(b.data(), &gallery);
        EXPECT_EQ(MatchPreparedPair(&probe, &gallery), expected[k]) << "finger " << k;
        int32_t index = -1, score = -1;
        EXPECT_EQ(MatchListFp(a.data(), b.data(), 0, 0, 1, 0, &index, &score), 1);
        EXPECT_EQ(score, expected[k]) << "finger " << k;
    }
}

TEST(Interposition, FvcScoresStayFrozen) {
    FPMATCH_REQUIRE_FVC(fvc);
    // DB1_B 101_1 against the rest of its database, from the frozen corpus.
    std::ifstream in(std::string(FPMATCH_SOURCE_DIR) + "/tests/corpus/match_fvc2002.txt");
    std::vector<int32_t> want;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("DB1_B/101_1 raw ", 0) != 0) continue;
        std::istringstream row(line.substr(16));
        for (int32_t s; row >> s;) want.push_back(s);
    }
    ASSERT_EQ(want.size(), 80u);
    for (size_t g = 0; g < 80; ++g) EXPECT_EQ(Match2Score(fvc[0].bytes.data(), fvc[g].bytes.data()), want[g]) << g;
    EXPECT_EQ(want[1], 84);
}

}  // namespace
