// The library's private forms of one rule give the same results: the
// pairing (CalcIsoPair) in 16-bit lanes and in 32 bits, and the alignment's
// rotation from its table and from the C library's sin and cos.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

#include "internal.h"

namespace {

// The pairing's two forms, 16-bit lanes and 32 bits, choose the same pairs:
// random lists dense in radius, bearing and direction (many ties, many
// values at a test's bound), with entries naming no slot and types beyond 0
// and 1; and values outside the lanes' range (negative or large radii,
// bearings and directions), which the lane form leaves to the 32-bit one.
TEST(Pairing, LaneAndThirtyTwoBitFormsAgree) {
    std::mt19937 rng(20261208);
    struct Spread {
        int radiusLow, radiusHigh, bearingLow, bearingHigh, angleLow, angleHigh;
    };
    const Spread spreads[] = {
        {0, 40, 0, 40, 0, 40},                // short radii: the widest bearing windows
        {0, 600, 0, 360, 0, 511},             // every group, directions folded past 360
        {300, 330, 340, 360, 340, 370},       // one radius band, differences around one turn
        {470, 560, 0, 30, 0, 30},             // the open last group: windows of many vectors
        {-300, 300, -400, 400, -400, 400},    // negative values: the 32-bit form
        {0, 20000, 0, 1200, 0, 1200},         // large values: the 32-bit form
    };
    int pairsMade = 0;
    for (const Spread& spread : spreads) {
        auto uniform = [&](int low, int high) {
            return low + static_cast<int>(rng() % static_cast<unsigned>(high - low + 1));
        };
        for (int round = 0; round < 400; ++round) {
            Minutia ps[50], gs[50];
            PolarMinutia pp[50], gp[50];
            const uint8_t types[] = {0, 1, 2, 255};
            for (int i = 0; i < 50; ++i) {
                ps[i] = Minutia{0, 0, uniform(spread.angleLow, spread.angleHigh), 0, types[rng() % 4]};
                gs[i] = Minutia{0, 0, uniform(spread.angleLow, spread.angleHigh), 0, types[rng() % 4]};
                // Mostly slots (the gallery's in either order), else no slot.
                const int slots[] = {i, 49 - i, -1, 50};
                const int pk = rng() % 8 == 0 ? 2 + rng() % 2 : 0, gk = rng() % 8 == 0 ? 2 + rng() % 2 : rng() % 2;
                pp[i] = PolarMinutia{slots[pk], uniform(spread.radiusLow, spread.radiusHigh),
                                     uniform(spread.bearingLow, spread.bearingHigh)};
                gp[i] = PolarMinutia{slots[gk], uniform(spread.radiusLow, spread.radiusHigh),
                                     uniform(spread.bearingLow, spread.bearingHigh)};
            }
            const int np = uniform(0, 50), ng = uniform(0, 50);
            MinutiaPair lanes[50], wide[50];
            const int32_t m = fpmatch::detail::PairPolar(ps, pp, np, gs, gp, ng, lanes, true);
            ASSERT_EQ(m, fpmatch::detail::PairPolar(ps, pp, np, gs, gp, ng, wide, false));
            for (int k = 0; k < m; ++k) {
                ASSERT_EQ(lanes[k].probeIndex, wide[k].probeIndex) << k;
                ASSERT_EQ(lanes[k].galleryIndex, wide[k].galleryIndex) << k;
            }
            pairsMade += m;
        }
    }
    EXPECT_GT(pairsMade, 5000);  // the lists pair often enough to compare choices
}

// The tabled rotation (-180..180 degrees) truncates to what sin and cos
// give, for every angle; angles beyond the table take sin and cos
// themselves. The scaled sines of +-90 degrees lie 3.4e-13 below 1024, so a
// series a little less exact than the table's would show here.
TEST(Rotation, TableEqualsTheSineAndCosine) {
    for (int32_t angle = -400; angle <= 400; ++angle) {
        const double theta = static_cast<double>(angle) * 3.1415926 / 180.0;
        const fpmatch::detail::Rotation r = fpmatch::detail::RotationOf(angle);
        ASSERT_EQ(r.sine, static_cast<int64_t>(std::sin(theta) * 1024.0)) << angle;
        ASSERT_EQ(r.cosine, static_cast<int64_t>(std::cos(theta) * 1024.0)) << angle;
    }
}

}  // namespace
