// Verification figures of `fpmatch eval`, checked on score sets worked out by
// hand.
#include <gtest/gtest.h>

#include "metrics.h"

namespace fpmatch::tool {
namespace {

TEST(ToolMetrics, RatesAtEveryThreshold) {
    const Evaluation e = Evaluate({10, 20, 30, 40}, {0, 5, 15, 25});
    ASSERT_EQ(e.fmr.size(), 102u);
    EXPECT_DOUBLE_EQ(e.fmr[0], 1.0);  // everything accepted at 0
    EXPECT_DOUBLE_EQ(e.fnmr[0], 0.0);
    EXPECT_DOUBLE_EQ(e.fmr[5], 0.75);  // accepted means score >= threshold
    EXPECT_DOUBLE_EQ(e.fmr[6], 0.5);
    EXPECT_DOUBLE_EQ(e.fnmr[10], 0.0);
    EXPECT_DOUBLE_EQ(e.fnmr[11], 0.25);
    EXPECT_DOUBLE_EQ(e.fmr[101], 0.0);
    EXPECT_DOUBLE_EQ(e.fnmr[101], 1.0);
}

TEST(ToolMetrics, EqualErrorRateWhereTheCurvesMeet) {
    const Evaluation e = Evaluate({10, 20, 30, 40}, {0, 5, 15, 25});
    // FMR = FNMR = 25% for thresholds 16..20.
    EXPECT_EQ(e.t1, 20);
    EXPECT_EQ(e.t2, 16);
    EXPECT_DOUBLE_EQ(e.eerLow, 0.25);
    EXPECT_DOUBLE_EQ(e.eerHigh, 0.25);
    EXPECT_DOUBLE_EQ(e.eer, 0.25);
}

TEST(ToolMetrics, EqualErrorRateIntervalWhenTheCurvesCross) {
    // t 11..20: FMR 1/2, FNMR 1/3; t 21..30: FMR 0, FNMR 1/3.
    const Evaluation e = Evaluate({10, 30, 40}, {0, 20});
    EXPECT_EQ(e.t1, 20);
    EXPECT_EQ(e.t2, 21);
    // FNMR(t1) + FMR(t1) = 5/6 exceeds FMR(t2) + FNMR(t2) = 1/3: the interval
    // is [FMR(t2), FNMR(t2)].
    EXPECT_DOUBLE_EQ(e.eerLow, 0.0);
    EXPECT_DOUBLE_EQ(e.eerHigh, 1.0 / 3);
    EXPECT_DOUBLE_EQ(e.eer, 1.0 / 6);
    EXPECT_DOUBLE_EQ(e.fmr100, 1.0 / 3);
    EXPECT_DOUBLE_EQ(e.fmr1000, 1.0 / 3);
    EXPECT_DOUBLE_EQ(e.zeroFmr, 1.0 / 3);
    EXPECT_DOUBLE_EQ(e.zeroFnmr, 0.5);
}

TEST(ToolMetrics, OperatingPointsPickTheLowestFnmr) {
    // 200 impostors: one at 50, one at 30, the rest 0. 10 genuine 10..100.
    std::vector<int> impostor(198, 0);
    impostor.push_back(50);
    impostor.push_back(30);
    std::vector<int> genuine;
    for (int s = 10; s <= 100; s += 10) genuine.push_back(s);
    const Evaluation e = Evaluate(genuine, impostor);
    // FMR <= 1% (2 of 200) already at threshold 1: FNMR 0.
    EXPECT_DOUBLE_EQ(e.fmr100, 0.0);
    // FMR <= 0.1% needs no impostor accepted: threshold 51, FNMR 5/10.
    EXPECT_DOUBLE_EQ(e.fmr1000, 0.5);
    EXPECT_DOUBLE_EQ(e.zeroFmr, 0.5);
}

TEST(ToolMetrics, PerfectSeparationHasZeroEer) {
    const Evaluation e = Evaluate({60, 70, 80}, {0, 10, 20});
    EXPECT_DOUBLE_EQ(e.eer, 0.0);
    EXPECT_DOUBLE_EQ(e.zeroFmr, 0.0);
    EXPECT_DOUBLE_EQ(e.zeroFnmr, 0.0);
}

TEST(ToolMetrics, DetSvgIsComplete) {
    const Evaluation e = Evaluate({10, 30, 40}, {0, 20});
    const std::string svg = DetSvg({{"A & <B>", &e}});
    EXPECT_EQ(svg.rfind("<svg", 0), 0u);
    EXPECT_NE(svg.find("</svg>"), std::string::npos);
    EXPECT_NE(svg.find("A &amp; &lt;B>"), std::string::npos);
    EXPECT_EQ(svg.find("nan"), std::string::npos);
}

}  // namespace
}  // namespace fpmatch::tool
