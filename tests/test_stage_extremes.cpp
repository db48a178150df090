// The stage functions on records no decoder writes: coordinates, directions,
// radii and scores anywhere in int32. Each rule's boundary where 32-bit
// arithmetic used to wrap around, and a sweep of every stage function over
// the extremes (under the sanitizer build, any overflow there fails it).
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "test_support.h"

namespace {

using fpmatch::test::OwnedFeatureSet;

TEST(StageExtremes, TablesAnswerOutsideTheirRange) {
    struct Row {
        int32_t dy, dx, length, direction;
    };
    const Row rows[] = {
        {4, 3, 5, 53},                 // inside the tables
        {143, 127, 191, 48},           // their last entry
        {0, 128, 128, 0},              // one column past: the positive x axis still gives 0
        {144, 0, 144, 90},             // one row past
        {-300, -400, 500, 217},
        {0, INT32_MIN, INT32_MAX, 180},  // lengths stop at INT32_MAX
        {INT32_MIN, INT32_MIN, INT32_MAX, 225},
        {INT32_MAX, 0, INT32_MAX, 90},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(math_SqrtUseTab(r.dy, r.dx), r.length) << r.dy << "," << r.dx;
        EXPECT_EQ(math_AtangUseTab(r.dy, r.dx), r.direction) << r.dy << "," << r.dx;
    }
}

TEST(StageExtremes, NeighboursAreFoundByTrueDistance) {
    // Two minutiae and whether the graph links them; the first rows lie
    // 2^32 - 1 apart, which 32-bit differences wrapped to 1.
    struct Row {
        Minutia a, b;
        int edges;
    };
    const Row rows[] = {
        {{INT32_MIN, 0, 0, 0, 0}, {INT32_MAX, 0, 0, 0, 0}, 0},
        {{0, INT32_MIN, 0, 0, 0}, {0, INT32_MAX, 0, 0, 0}, 0},
        {{INT32_MAX - 5, 7, 0, 0, 0}, {INT32_MAX, 7, 0, 0, 0}, 1},
        {{0, 0, INT32_MIN, 0, 0}, {110, 0, INT32_MAX, 0, 0}, 1},  // any directions
        {{0, 0, 0, 0, 0}, {111, 0, 0, 0, 0}, 0},
    };
    for (const Row& r : rows) {
        OwnedFeatureSet f;
        f.Set({r.a, r.b});
        std::vector<TopoEdge> graph(FPMATCH_TOPO_EDGES);
        uint8_t counts[FPMATCH_MAX_MINUTIAE] = {};
        BuildTopoGraph(&f.fs, graph.data(), counts);
        EXPECT_EQ(counts[0], r.edges) << r.a.x << "," << r.a.y;
        EXPECT_EQ(counts[1], r.edges) << r.a.x << "," << r.a.y;
    }
}

TEST(StageExtremes, SearchTableCountsEdgesOfAnyAngle) {
    // An edge at INT32_MAX lies above every table entry; one at INT32_MIN
    // below all of them.
    const TopoEdge row[] = {{INT32_MIN, 5, 0, 0, 0}, {4, 5, 0, 0, 1}, {INT32_MAX, 5, 0, 0, 2}};
    uint8_t table[FPMATCH_SEARCH_TAB_LENGTH];
    TopoGraphSearchTab(row, 3, FPMATCH_SEARCH_TAB_LENGTH, table);
    for (int v = 0; v < FPMATCH_SEARCH_TAB_LENGTH; ++v) ASSERT_EQ(table[v], v <= 4 ? 1 : 2) << v;
    // A gallery edge at INT32_MAX has an empty window.
    const TopoEdge gallery[] = {{INT32_MAX, 5, 0, 0, 0}};
    EXPECT_EQ(CalcPairScore(row, gallery, table, 1), 0);
}

TEST(StageExtremes, PairingComparesTrueDifferences) {
    // One probe and one gallery entry; radii 2^32 - 1 apart wrapped to 1.
    struct Row {
        int32_t probeRadius, galleryRadius, probeBearing, galleryBearing, pairs;
    };
    const Row rows[] = {
        {100, 105, 40, 42, 1},
        {INT32_MIN, INT32_MAX, 40, 40, 0},
        {INT32_MAX, INT32_MIN, 40, 40, 0},
        {INT32_MAX, INT32_MAX - 3, 40, 40, 1},  // near each other, however far out
        {100, 100, INT32_MIN, INT32_MAX, 0},
    };
    const Minutia probeSet[] = {{10, 10, 90, 0, 1}};
    const Minutia gallerySet[] = {{12, 10, 91, 0, 1}};
    for (const Row& r : rows) {
        const PolarMinutia probe[] = {{0, r.probeRadius, r.probeBearing}};
        const PolarMinutia gallery[] = {{0, r.galleryRadius, r.galleryBearing}};
        MinutiaPair pairs[1];
        EXPECT_EQ(CalcIsoPair(probeSet, probe, 1, gallerySet, gallery, 1, pairs), r.pairs) << r.probeRadius;
    }
}

TEST(StageExtremes, BasePairsBeyondInt32AlignNothing) {
    // The probe's base minutia at one end of int32, the gallery's at the
    // other: a shift of 2^32 - 1 that no transform can hold.
    OwnedFeatureSet probe, gallery;
    std::vector<Minutia> p, g;
    for (int i = 0; i < 8; ++i) {
        p.push_back(Minutia{30 + 20 * i, 40 + 15 * i, 10 * i, 60, 1});
        g.push_back(Minutia{30 + 20 * i, 40 + 15 * i, 10 * i, 60, 1});
    }
    p[0] = Minutia{INT32_MIN, 0, 0, 60, 1};
    g[0] = Minutia{INT32_MAX, 0, 0, 60, 1};
    probe.Set(p);
    gallery.Set(g);
    BasePair far[1] = {{0, 0, 200, -7}};
    CalcMatchScore(&probe.fs, &gallery.fs, far, 1);
    EXPECT_EQ(far[0].matchScore, -7);
    BasePair near[1] = {{1, 1, 200, -7}};  // the same sets align on a near pair
    CalcMatchScore(&probe.fs, &gallery.fs, near, 1);
    EXPECT_GT(near[0].matchScore, 0);
}

TEST(StageExtremes, LastScoreOfExtremeScores) {
    const Minutia minutiae[] = {{10, 10, 0, 0, 0}, {40, 50, 0, 0, 0}};
    BasePair high[2] = {{0, 0, 0, INT32_MAX}, {1, 1, 0, INT32_MAX}};
    EXPECT_EQ(CalcLastScore(high, minutiae, minutiae, 2), 100);
    // The second base pair's minutiae lie 2^32 - 1 apart in the probe and
    // 30 apart in the gallery: not the same distance, so it adds nothing.
    const Minutia probe[] = {{INT32_MIN, 0, 0, 0, 0}, {INT32_MAX, 0, 0, 0, 0}};
    const Minutia gallery[] = {{0, 0, 0, 0, 0}, {30, 0, 0, 0, 0}};
    BasePair two[2] = {{0, 0, 0, 60}, {1, 1, 0, 40}};
    EXPECT_EQ(CalcLastScore(two, probe, gallery, 2), 30);
}

TEST(StageExtremes, ShortGraphsMeasureTrueDistances) {
    // Two short minutiae (the limit graph's three cyclic copies follow) and
    // the distance of the first edge of each graph; char graph rows end in
    // the terminator (500) where the only edge is 400 pixels or more.
    struct Row {
        int16_t ax, ay, bx, by;
        int32_t limitDistance, charDistance;
    };
    const Row rows[] = {
        {0, 0, 3, 4, 5, 5},
        {0, 0, 399, 0, 399, 399},
        {0, 0, 400, 0, 400, 500},
        {INT16_MIN, 0, INT16_MAX, 0, 65535, 500},
        {INT16_MIN, INT16_MIN, INT16_MAX, INT16_MAX, 92680, 500},
    };
    for (const Row& r : rows) {
        const ShortMinutia a{r.ax, r.ay, 10, 0, 5}, b{r.bx, r.by, 20, 1, 5};
        const ShortMinutia list[5] = {a, b, a, b, a};
        std::vector<LimitNode> limits(FPMATCH_MAX_MINUTIAE);
        std::vector<CharNode> chars(FPMATCH_MAX_MINUTIAE);
        BuildLimitGraph(2, list, limits.data());
        BuildCharGraph(2, list, chars.data());
        EXPECT_EQ(limits[0].edges[0].distance, r.limitDistance) << r.ax << "," << r.bx;
        EXPECT_EQ(chars[0].edges[0].distance, r.charDistance) << r.ax << "," << r.bx;
    }
}

// Every stage function over a grid of extreme values: the sanitizer build
// fails it on any overflow. Whatever they score, minutiae kept by the
// transform lie inside the image, pairs name slots that exist, and the last
// score stays at most 100.
TEST(StageExtremes, SweepKeepsEveryStageWithinItsContract) {
    const int32_t values[] = {INT32_MIN, INT32_MIN + 1, -100000, -1, 0, 1, 359, 360, 361, 100000, INT32_MAX};
    constexpr int kCount = 12;
    for (int32_t a : values) {
        for (int32_t b : values) {
            OwnedFeatureSet probe, gallery;
            std::vector<Minutia> p, g;
            for (int i = 0; i < kCount; ++i) {
                const int32_t v = i % 3 == 0 ? a : (i % 3 == 1 ? b : i * 7);
                p.push_back(Minutia{v, i % 2 ? b : a, i % 4 ? a : b, 40, static_cast<uint8_t>(i % 3)});
                g.push_back(Minutia{i % 2 ? b : 10 * i, v, i % 5 ? b : a, 40, static_cast<uint8_t>(i % 3)});
            }
            probe.Set(p);
            gallery.Set(g);
            probe.singular[0] = SingularPoint{a, b};
            gallery.singular[0] = SingularPoint{b, a};

            Minutia moved[FPMATCH_MAX_MINUTIAE] = {};
            SingularPoint movedSingular[3] = {};
            const int kept = MinutiasTransform(&probe.fs, nullptr, moved, movedSingular, gallery.gnd.cells,
                                               RigidTransform{a, b, b, a, b});
            ASSERT_LE(kept, kCount);
            for (int i = 0; i < kCount; ++i) {
                if (moved[i].x == 0 && moved[i].y == 0) continue;
                ASSERT_TRUE(moved[i].x >= 0 && moved[i].x < 256 && moved[i].y >= 0 && moved[i].y < 288) << a << "," << b;
            }

            PolarMinutia probePolar[FPMATCH_MAX_MINUTIAE], galleryPolar[FPMATCH_MAX_MINUTIAE];
            std::memset(probePolar, 0xFF, sizeof probePolar);
            std::memset(galleryPolar, 0xFF, sizeof galleryPolar);
            XYtoPolar(probe.minutiae, kCount, a, b, probePolar);
            XYtoPolar(gallery.minutiae, kCount, b, a, galleryPolar);
            MinutiaPair pairs[FPMATCH_MAX_MINUTIAE];
            const int made =
                CalcIsoPair(probe.minutiae, probePolar, kCount, gallery.minutiae, galleryPolar, kCount, pairs);
            ASSERT_LE(made, kCount);
            for (int t = 0; t < made; ++t) {
                ASSERT_TRUE(pairs[t].probeIndex >= 0 && pairs[t].probeIndex < kCount);
                ASSERT_TRUE(pairs[t].galleryIndex >= 0 && pairs[t].galleryIndex < kCount);
            }

            int32_t total = 0, near = 0;
            for (int t = 0; t < kCount; ++t) pairs[t] = MinutiaPair{t, (t + 1) % kCount};
            CalcPosScore(probe.minutiae, gallery.minutiae, a, b, pairs, kCount, &total, &near);
            CalcNegScore(a, b, pairs, kCount, gallery.minutiae, kCount, probe.blocks.blocks, 0, &total, &near);
            const SingularPoint movedP[3] = {{a, b}, {b, a}, {0, 0}}, movedG[3] = {{b, b}, {a, a}, {0, 0}};
            CalcSingularScore(probe.singular, gallery.singular, movedP, movedG, probe.gnd.cells, gallery.gnd.cells,
                              &total);

            BasePair basePairs[3] = {{0, 0, 200, 0}, {1, 1, 180, 0}, {2, 2, 160, 0}};
            CalcMatchScore(&probe.fs, &gallery.fs, basePairs, 3);
            ASSERT_LE(CalcLastScore(basePairs, probe.minutiae, gallery.minutiae, 3), 100);
            BasePair selected[3] = {};
            CalcBasePair(&probe.fs, &gallery.fs, selected);

            Minutia reordered[FPMATCH_MAX_MINUTIAE], scratch[FPMATCH_MAX_MINUTIAE];
            std::memcpy(reordered, probe.minutiae, sizeof reordered);
            MinutiaMoveTop(&probe.fs, reordered, scratch);
            uint8_t written[4096];
            WriteNativeTemplate(&probe.fs, written, sizeof written);
            WriteShortTemplate(&probe.fs, written, sizeof written);

            TopoEdge row[4], other[4];
            for (int k = 0; k < 4; ++k) {
                row[k] = TopoEdge{k % 2 ? a : b, k % 3 ? b : a, a, 0, static_cast<uint8_t>(k)};
                other[k] = TopoEdge{b, a, k % 2 ? b : a, 1, static_cast<uint8_t>(k)};
            }
            uint8_t table[FPMATCH_SEARCH_TAB_LENGTH];
            TopoGraphSearchTab(row, 4, FPMATCH_SEARCH_TAB_LENGTH, table);
            CalcPairScore(row, other, table, 4);
        }
    }
}

}  // namespace
