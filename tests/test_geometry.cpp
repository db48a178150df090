// Angle and distance lookups: every table entry against its rule, and the
// three direction functions on the axes, quadrants and rounding edges.
#include <gtest/gtest.h>

#include <cmath>

#include "test_support.h"

namespace {

TEST(GeometryTables, EveryEntryFollowsItsRule) {
    for (int r = 0; r < 144; ++r) {
        for (int c = 0; c < 128; ++c) {
            const double angle = std::atan2(r, c) * 180.0 / M_PI;
            const double length = std::sqrt(static_cast<double>(r * r + c * c));
            // No entry may sit on an exact half, or the rounding would be ambiguous.
            ASSERT_GT(std::fabs(angle - std::floor(angle) - 0.5), 1e-9) << r << "," << c;
            ASSERT_GT(std::fabs(length - std::floor(length) - 0.5), 1e-9) << r << "," << c;
            ASSERT_EQ(AtanTab2D[r * 128 + c], static_cast<int>(std::lround(angle))) << r << "," << c;
            ASSERT_EQ(SqrtTab[r * 128 + c], static_cast<int>(std::lround(length))) << r << "," << c;
        }
    }
}

TEST(GeometryTables, Landmarks) {
    for (int c = 0; c < 128; ++c) EXPECT_EQ(AtanTab2D[c], 0);
    for (int r = 1; r < 144; ++r) EXPECT_EQ(AtanTab2D[r * 128], 90);
    EXPECT_EQ(AtanTab2D[1 * 128 + 114], 1);
    EXPECT_EQ(AtanTab2D[1 * 128 + 115], 0);
    EXPECT_EQ(SqrtTab[143 * 128 + 127], 191);
    for (int r = 0; r < 144; ++r)
        for (int c = 0; c < 128; ++c)
            if (r * r + c * c <= 12100) {
                ASSERT_LE(SqrtTab[r * 128 + c], 110);
            }
}

TEST(GeometryLookups, AxesAndQuadrants) {
    EXPECT_EQ(math_AtangUseTab(0, 0), 0);
    EXPECT_EQ(math_SqrtUseTab(0, 0), 0);
    EXPECT_EQ(math_Atang(0, 0), 0);
    EXPECT_EQ(math_AtangUseTab(0, 5), 0);
    EXPECT_EQ(math_Atang(0, 5), 360);  // the atan form says 360 on the positive x axis
    EXPECT_EQ(math_AtangUseTab(0, -5), 180);
    EXPECT_EQ(math_Atang(0, -5), 180);
    EXPECT_EQ(math_AtangUseTab(7, 0), 90);
    EXPECT_EQ(math_AtangUseTab(-7, 0), 270);
    EXPECT_EQ(math_Atang(7, 0), 90);
    EXPECT_EQ(math_Atang(-7, 0), 270);
    EXPECT_EQ(math_AtangUseTab(1, 1), 45);
    EXPECT_EQ(math_AtangUseTab(1, -1), 135);
    EXPECT_EQ(math_AtangUseTab(-1, -1), 225);
    EXPECT_EQ(math_AtangUseTab(-1, 1), 315);
}

TEST(GeometryLookups, JustBelowThePositiveXAxisGives360) {
    EXPECT_EQ(math_AtangUseTab(-1, 115), 360);
    EXPECT_EQ(math_Atang(-1, 115), 360);
    EXPECT_EQ(math_AtangUseTab(-1, 114), 359);
    for (int dx = 115; dx <= 127; ++dx) EXPECT_EQ(math_AtangUseTab(-1, dx), 360) << dx;
}

TEST(GeometryLookups, DistancesIgnoreSigns) {
    EXPECT_EQ(math_SqrtUseTab(-3, 4), 5);
    EXPECT_EQ(math_SqrtUseTab(3, -4), 5);
    EXPECT_EQ(math_SqrtUseTab(1, 1), 1);
    EXPECT_EQ(math_SqrtUseTab(143, 127), 191);
    EXPECT_EQ(math_SqrtUseTab(-143, -127), 191);
}

TEST(GeometryLookups, AtanFormAgreesWithTablesExceptOnPositiveXAxis) {
    for (int dy = -143; dy <= 143; ++dy) {
        for (int dx = -127; dx <= 127; ++dx) {
            const int table = math_AtangUseTab(dy, dx);
            const int atan = math_Atang(dy, dx);
            if (dy == 0 && dx > 0) {
                ASSERT_EQ(table, 0);
                ASSERT_EQ(atan, 360);
            } else {
                ASSERT_EQ(table, atan) << dy << "," << dx;
            }
        }
    }
}

TEST(GeometryLookups, AtanFormHasNoRangeLimit) {
    EXPECT_EQ(math_Atang(500, 500), 45);
    EXPECT_EQ(math_Atang(-511, 0), 270);
    EXPECT_EQ(math_Atang(1, -400), 180);
    EXPECT_EQ(math_Atang(-1, 400), 360);
}

}  // namespace
