// Alignment scoring: the rigid motion, polar coordinates and pairing, the
// score components, the alignment score of a base pair and the final score.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "test_support.h"

namespace {

using fpmatch::test::OwnedFeatureSet;

// ------------------------------------------------------------ transform

struct Moved {
    int kept;
    Minutia moved[50];
    Minutia copy[50];
    SingularPoint singular[3];
};

Moved Transform(const FeatureSet& source, RigidTransform t, const uint8_t* gnd = nullptr) {
    static const GndTable kForeground{};
    Moved out{};
    out.kept = MinutiasTransform(&source, out.copy, out.moved, out.singular, gnd ? gnd : kForeground.cells, t);
    return out;
}

TEST(Transform, FixedPointFactorsByAngle) {
    // A point 1024 pixels right of the pivot lands at pivot + shift + (C, -S),
    // so each expected (S, C) pair is checked exactly.
    struct Case { int angle, S, C; };
    const Case cases[] = {{0, 0, 1024}, {90, 1023, 0}, {-90, -1023, 0}, {180, 0, -1023},
                          {30, 511, 886}, {45, 724, 724}, {60, 886, 512}};
    for (const Case& c : cases) {
        OwnedFeatureSet f;
        f.Set({Minutia{1024, 0, 0, 5, 0}});
        const Moved m = Transform(f.fs, RigidTransform{0, 0, 128 - c.C, 144 + c.S, c.angle});
        ASSERT_EQ(m.kept, 1) << c.angle;
        EXPECT_EQ(m.moved[0].x, 128) << c.angle;
        EXPECT_EQ(m.moved[0].y, 144) << c.angle;
    }
}

TEST(Transform, WorkedExamplesFloorTheShift) {
    OwnedFeatureSet f;
    f.Set({Minutia{110, 100, 0, 5, 0}, Minutia{100, 110, 0, 5, 0}, Minutia{100, 100, 0, 5, 0}});
    const Moved m = Transform(f.fs, RigidTransform{100, 100, 10, -5, 90});
    EXPECT_EQ(m.moved[0].x, 110);
    EXPECT_EQ(m.moved[0].y, 85);
    EXPECT_EQ(m.moved[1].x, 119);  // not 120: the factor is 1023
    EXPECT_EQ(m.moved[1].y, 95);
    EXPECT_EQ(m.moved[2].x, 110);  // the pivot goes exactly to pivot + shift
    EXPECT_EQ(m.moved[2].y, 95);
    const Moved t = Transform(f.fs, RigidTransform{100, 100, 7, -3, 0});
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(t.moved[i].x, f.minutiae[i].x + 7);
        EXPECT_EQ(t.moved[i].y, f.minutiae[i].y - 3);
    }
}

TEST(Transform, DirectionsStayInOneTurn) {
    OwnedFeatureSet f;
    f.Set({Minutia{100, 100, 359, 5, 0}, Minutia{101, 100, 0, 5, 0}, Minutia{102, 100, 511, 5, 0}});
    Moved m = Transform(f.fs, RigidTransform{100, 100, 0, 0, -1});
    EXPECT_EQ(m.moved[0].angle, 0);
    m = Transform(f.fs, RigidTransform{100, 100, 0, 0, 180});
    EXPECT_EQ(m.moved[1].angle, 180);
    EXPECT_EQ(m.moved[2].angle, 331);
    m = Transform(f.fs, RigidTransform{100, 100, 0, 0, -179});
    EXPECT_EQ(m.moved[2].angle, 330);
}

TEST(Transform, DropsOutsideTheImageAndOnBackground) {
    OwnedFeatureSet f;
    f.Set({Minutia{256, 10, 0, 5, 0}, Minutia{10, 288, 0, 5, 0}, Minutia{-1, 10, 0, 5, 0}, Minutia{0, 10, 0, 5, 0},
           Minutia{255, 287, 0, 5, 1}, Minutia{100, 100, 0, 5, 0}});
    GndTable gnd{};
    gnd.cells[(100 >> 3) * 32 + (100 >> 3)] = 1;
    const Moved m = Transform(f.fs, RigidTransform{0, 0, 0, 0, 0}, gnd.cells);
    EXPECT_EQ(m.kept, 2);  // x = 0 survives the move; (255, 287) too
    EXPECT_EQ(m.moved[0].x, 0);
    EXPECT_EQ(m.moved[0].quality, 0);  // dropped slots stay zero
    EXPECT_EQ(m.moved[3].quality, 5);
    EXPECT_EQ(m.moved[4].type, 1);
    EXPECT_EQ(m.copy[4].x, 255);
    EXPECT_EQ(m.moved[5].quality, 0);  // background under it
}

TEST(Transform, KeptCopyIsTheUnmovedSource) {
    OwnedFeatureSet f;
    f.Set({Minutia{100, 100, 400, 9, 1}});
    const Moved m = Transform(f.fs, RigidTransform{100, 100, 20, 20, 30});
    EXPECT_EQ(m.copy[0].x, 100);
    EXPECT_EQ(m.copy[0].angle, 400);
    EXPECT_EQ(m.copy[0].quality, 9);
    Minutia moved[50] = {};
    SingularPoint singular[3] = {};
    GndTable gnd{};
    EXPECT_EQ(MinutiasTransform(&f.fs, nullptr, moved, singular, gnd.cells, RigidTransform{100, 100, 0, 0, 0}), 1);
}

TEST(Transform, SingularPoints) {
    OwnedFeatureSet f;
    f.Set({Minutia{100, 100, 0, 5, 0}});
    f.singular[0] = {50, 60};
    f.singular[1] = {0, 2};  // marker: not moved
    f.singular[2] = {70, 70};  // never moved
    Moved m = Transform(f.fs, RigidTransform{0, 0, 5, 5, 0});
    EXPECT_EQ(m.singular[0].x, 55);
    EXPECT_EQ(m.singular[0].y, 65);
    EXPECT_EQ(m.singular[1].x, 0);
    EXPECT_EQ(m.singular[1].y, 0);
    EXPECT_EQ(m.singular[2].x, 0);
    f.singular[1] = {80, 0};  // y = 0: not moved either
    m = Transform(f.fs, RigidTransform{0, 0, 5, 5, 0});
    EXPECT_EQ(m.singular[1].x, 0);
}

// ------------------------------------------------------------ polar pairing

std::vector<PolarMinutia> Polar(const std::vector<Minutia>& set, int cx, int cy) {
    Minutia slots[50] = {};
    std::copy(set.begin(), set.end(), slots);
    PolarMinutia out[50];
    for (PolarMinutia& p : out) p = PolarMinutia{-1, -1, -1};
    XYtoPolar(slots, static_cast<uint32_t>(set.size()), cx, cy, out);
    std::vector<PolarMinutia> written;
    for (const PolarMinutia& p : out)
        if (p.index >= 0) written.push_back(p);
    return written;
}

TEST(PolarCoordinates, DirectHalvedAndEmptySlots) {
    const auto p = Polar({Minutia{230, 100, 0, 5, 0}, Minutia{231, 101, 0, 5, 0}, Minutia{97, 104, 0, 5, 0},
                          Minutia{0, 50, 0, 5, 0}, Minutia{-5, 50, 0, 5, 0}},
                         100, 100);
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p[0].index, 0);
    EXPECT_EQ(p[0].radius, 130);
    EXPECT_EQ(p[0].bearing, 0);
    EXPECT_EQ(p[1].radius, 130);  // (131, 1) halves to (65, 0)
    EXPECT_EQ(p[1].bearing, 0);
    EXPECT_EQ(p[2].radius, 5);
    EXPECT_EQ(p[2].index, 2);
}

TEST(PolarCoordinates, RowZeroSeenFromRow287StaysInTheTables) {
    const auto p = Polar({Minutia{100, 0, 0, 5, 0}}, 100, 287);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].bearing, 270);
    EXPECT_NEAR(p[0].radius, 287, 2);
}

TEST(PolarCoordinates, FarCoordinatesKeepTheirGeometry) {
    const auto p = Polar({Minutia{16383, 16383, 0, 5, 0}, Minutia{5000, 100, 0, 5, 0}}, 100, 100);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].bearing, 45);
    EXPECT_NEAR(p[0].radius, 22967, 300);
    EXPECT_EQ(p[1].bearing, 0);
    EXPECT_NEAR(p[1].radius, 4900, 64);
}

struct Pairing {
    std::vector<Minutia> probe, gallery;
    std::vector<MinutiaPair> Run(int cx = 100, int cy = 100) const {
        Minutia ps[50] = {}, gs[50] = {};
        std::copy(probe.begin(), probe.end(), ps);
        std::copy(gallery.begin(), gallery.end(), gs);
        PolarMinutia pp[50], gp[50];
        XYtoPolar(ps, static_cast<uint32_t>(probe.size()), cx, cy, pp);
        XYtoPolar(gs, static_cast<uint32_t>(gallery.size()), cx, cy, gp);
        // Only entries written for these sets take part.
        auto written = [](const std::vector<Minutia>& set) {
            return static_cast<int>(std::count_if(set.begin(), set.end(), [](const Minutia& m) { return m.x > 0; }));
        };
        MinutiaPair pairs[50];
        const int m = CalcIsoPair(ps, pp, written(probe), gs, gp, written(gallery), pairs);
        return std::vector<MinutiaPair>(pairs, pairs + m);
    }
};

Minutia At(int x, int y, int angle = 0, int type = 0) { return Minutia{x, y, angle, 5, static_cast<uint8_t>(type)}; }

TEST(Pairing, RadiusTolerance) {
    // Radii 100 and 109 (sum 209): 9 <= 10 passes; 20 and 28 (sum 48): 8 > 7 fails.
    EXPECT_EQ((Pairing{{At(200, 100)}, {At(209, 100)}}.Run().size()), 1u);
    EXPECT_EQ((Pairing{{At(120, 100)}, {At(128, 100)}}.Run().size()), 0u);
    EXPECT_EQ((Pairing{{At(120, 100)}, {At(127, 100)}}.Run().size()), 1u);
}

TEST(Pairing, BearingWindowShrinksWithRadius) {
    // Radius sum near 0: window 12. At radius 10 a bearing of 12 degrees off passes.
    EXPECT_EQ((Pairing{{At(110, 100)}, {At(110, 102)}}.Run().size()), 1u);  // about 11 degrees
    // Radii 140 and 138 (sum 278): window 4. Both are halved before lookup.
    EXPECT_EQ((Pairing{{At(240, 100)}, {At(239, 110)}}.Run().size()), 1u);  // 4 degrees
    EXPECT_EQ((Pairing{{At(240, 100)}, {At(239, 112)}}.Run().size()), 0u);  // 5 degrees
}

TEST(Pairing, DirectionTestAllowsTwoDegreesOfSlack) {
    auto pairs = [](int a, int b) { return Pairing{{At(150, 100, a)}, {At(150, 100, b)}}.Run().size(); };
    EXPECT_EQ(pairs(0, 12), 1u);
    EXPECT_EQ(pairs(0, 13), 0u);
    EXPECT_EQ(pairs(13, 0), 0u);
    EXPECT_EQ(pairs(355, 7), 1u);
    EXPECT_EQ(pairs(0, 180), 0u);
    // The cheaper candidate wins: directions 5 (dDir 3) against 1 (dDir 1).
    const auto p = Pairing{{At(150, 100, 0)}, {At(150, 100, 5), At(150, 100, 1)}}.Run();
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].galleryIndex, 1);
    // Directions 10 and 12 cost the same as 0 and 0: the earlier entry stays.
    const auto q = Pairing{{At(150, 100, 10)}, {At(150, 100, 12), At(150, 100, 10)}}.Run();
    EXPECT_EQ(q[0].galleryIndex, 0);
}

TEST(Pairing, TypePenaltyOnlyRanksCandidates) {
    const auto p = Pairing{{At(150, 100, 0, 1)}, {At(150, 100, 0, 0), At(152, 100, 0, 1)}}.Run();
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].galleryIndex, 1);  // 2 pixels off but same type: cost 2 < 5
    EXPECT_EQ((Pairing{{At(150, 100, 0, 1)}, {At(150, 100, 0, 0)}}.Run().size()), 1u);
}

TEST(Pairing, GreedyInProbeOrderWithoutSecondChoices) {
    // Both probe minutiae prefer gallery 0; the second stays unpaired even
    // though it is closer and gallery 1 would have suited it.
    const auto p = Pairing{{At(151, 100), At(150, 100), At(60, 150)}, {At(150, 100), At(155, 100), At(60, 150)}}.Run();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].probeIndex, 0);
    EXPECT_EQ(p[0].galleryIndex, 0);
    EXPECT_EQ(p[1].probeIndex, 2);
    EXPECT_EQ(p[1].galleryIndex, 2);
}

TEST(Pairing, IndicesAreSlotsNotListPositions) {
    const auto p = Pairing{{Minutia{}, At(150, 100)}, {Minutia{}, Minutia{}, At(150, 100)}}.Run();
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].probeIndex, 1);
    EXPECT_EQ(p[0].galleryIndex, 2);
}

TEST(Pairing, EmptyListsGiveNoPairs) {
    Minutia set[50] = {};
    PolarMinutia polar[50] = {};
    MinutiaPair pairs[50];
    EXPECT_EQ(CalcIsoPair(set, polar, 0, set, polar, 5, pairs), 0);
    EXPECT_EQ(CalcIsoPair(set, polar, 5, set, polar, 0, pairs), 0);
}

// ------------------------------------------------------------ components

TEST(PositionScore, QualityTypeAndMisplacement) {
    Minutia p[50] = {}, g[50] = {};
    p[0] = Minutia{100, 100, 10, 7, 0};
    g[0] = Minutia{102, 97, 355, 9, 0};
    const MinutiaPair pair{0, 0};
    int32_t total = 0, near = 0;
    CalcPosScore(p, g, 100, 100, &pair, 1, &total, &near);
    EXPECT_EQ(total, 9);
    EXPECT_EQ(near, 9);
    g[0].type = 1;
    CalcPosScore(p, g, 100, 100, &pair, 1, &total, &near);
    EXPECT_EQ(total, -1);
}

TEST(PositionScore, NearTotalUsesTheNearerMinutiaAndAQuarter) {
    auto nearCounts = [](int dx, int dy) {
        Minutia p[50] = {}, g[50] = {};
        p[0] = Minutia{100 + dx, 100 + dy, 0, 10, 0};
        g[0] = Minutia{100 + dx, 100 + dy, 0, 10, 0};
        const MinutiaPair pair{0, 0};
        int32_t total = 0, near = 0;
        CalcPosScore(p, g, 100, 100, &pair, 1, &total, &near);
        return near == total;
    };
    EXPECT_TRUE(nearCounts(89, 0));
    EXPECT_TRUE(nearCounts(90, 1));   // 8101 / 4 = 2025
    EXPECT_FALSE(nearCounts(90, 2));  // 8104
}

TEST(PositionScore, DirectionsAboveOneTurnCompareAsTheirRemainder) {
    Minutia p[50] = {}, g[50] = {};
    p[0] = Minutia{100, 100, 500, 7, 0};
    g[0] = Minutia{100, 100, 140, 7, 0};
    const MinutiaPair pair{0, 0};
    int32_t total = 0, near = 0;
    CalcPosScore(p, g, 100, 100, &pair, 1, &total, &near);
    EXPECT_EQ(total, 29);  // no bonus from a negative direction difference
}

TEST(UnpairedPenalty, QualityWeightsAndNearRadius) {
    Minutia set[50] = {};
    set[0] = Minutia{190, 100, 0, 15, 0};  // d^2 = 8100: near
    set[1] = Minutia{100, 190, 0, 9, 0};
    set[2] = Minutia{190, 101, 0, 15, 0};  // 8101: not near
    set[3] = Minutia{150, 150, 0, 15, 0};  // paired
    BlockQtyMap blocks;
    std::memset(blocks.blocks, 12, sizeof blocks.blocks);
    const MinutiaPair pair{3, 7};
    int32_t total = 0, near = 0;
    CalcNegScore(100, 100, &pair, 1, set, 5, blocks.blocks, 0, &total, &near);
    EXPECT_EQ(total, 16 + 9 + 16);
    EXPECT_EQ(near, 16 + 9);
    // Gallery side reads galleryIndex: slot 3 is no longer paired.
    CalcNegScore(100, 100, &pair, 1, set, 5, blocks.blocks, 1, &total, &near);
    EXPECT_EQ(total, 16 + 9 + 16 + 16);
}

TEST(UnpairedPenalty, Table) {
    const int expected[][2] = {{10, 10}, {11, 12}, {12, 16}, {13, 22}, {14, 30}, {15, 40}, {16, 52}, {20, 120},
                               {30, 430}, {40, 940}};
    for (const auto& e : expected) {
        Minutia set[50] = {};
        set[0] = Minutia{10, 10, 0, static_cast<uint8_t>(e[0]), 0};
        BlockQtyMap blocks;
        std::memset(blocks.blocks, 255, sizeof blocks.blocks);
        int32_t total = 0, near = 0;
        CalcNegScore(100, 100, nullptr, 0, set, 1, blocks.blocks, 0, &total, &near);
        EXPECT_EQ(total, e[1]) << e[0];
    }
}

struct Singular {
    SingularPoint probe[3] = {}, gallery[3] = {}, movedProbe[3] = {}, movedGallery[3] = {};
    GndTable probeGnd{}, galleryGnd{};
    int Penalty() {
        int32_t penalty = -1;
        CalcSingularScore(probe, gallery, movedProbe, movedGallery, probeGnd.cells, galleryGnd.cells, &penalty);
        return penalty;
    }
};

TEST(SingularPenalty, OneSidedPoints) {
    Singular s;
    EXPECT_EQ(s.Penalty(), 0);
    s.probe[0] = s.movedProbe[0] = {100, 100};
    EXPECT_EQ(s.Penalty(), 32);
    s.probe[1] = {0, 2};
    EXPECT_EQ(s.Penalty(), 16);
    s.galleryGnd.cells[(13) * 32 + 13] = 1;  // a background cell among the nine
    EXPECT_EQ(s.Penalty(), 0);
    s.movedProbe[0] = {4, 100};  // column 0: no left neighbour
    EXPECT_EQ(s.Penalty(), 0);
    // Gallery side uses the probe's mask and the gallery's marker.
    Singular g;
    g.movedGallery[0] = {100, 100};
    g.movedGallery[1] = {150, 150};
    EXPECT_EQ(g.Penalty(), 64);
    g.gallery[1] = {0, 2};
    EXPECT_EQ(g.Penalty(), 32);
}

TEST(SingularPenalty, BothSides) {
    Singular s;
    s.probe[0] = {100, 100};
    s.movedProbe[0] = {1, 1};
    s.movedGallery[0] = {150, 100};
    EXPECT_EQ(s.Penalty(), 34);
    s.gallery[1] = {0, 2};
    EXPECT_EQ(s.Penalty(), 18);
    s.gallery[1] = {0, 0};
    s.movedGallery[0] = {200, 100};
    EXPECT_EQ(s.Penalty(), 64);
    s.movedGallery[0] = {110, 100};
    EXPECT_EQ(s.Penalty(), 0);
    // A second probe point counts unless entry 1 is (0, y <= 2).
    s.movedGallery[0] = {100, 150};
    s.probe[1] = {0, 4};  // a point at (0, 4)
    s.movedGallery[1] = {0, 0};
    EXPECT_EQ(s.Penalty(), 34);
    s.probe[1] = {0, 1};  // one point only
    EXPECT_EQ(s.Penalty(), 34);
    s.probe[1] = {6, 0};
    s.movedGallery[0] = {6, 20};
    EXPECT_EQ(s.Penalty(), 4);
}

// ------------------------------------------------------------ alignment score

// Probe and gallery in the same frame: a base minutia at the centre and
// `pairs` partners more than 90 pixels away, plus unpaired minutiae of
// quality 0 that cost nothing.
struct Alignment {
    OwnedFeatureSet probe, gallery;
    BasePair basePair{0, 0, 100, -7};
    void Setup(std::vector<Minutia> paired, int unpairedPerSide) {
        std::vector<Minutia> p = {Minutia{128, 144, 0, 15, 0}}, g = p;
        for (const Minutia& m : paired) {
            p.push_back(m);
            g.push_back(m);
        }
        for (int k = 0; k < unpairedPerSide; ++k) {
            p.push_back(Minutia{40 + 20 * k, 40, 0, 0, 0});
            g.push_back(Minutia{40 + 20 * k, 250, 0, 0, 0});
        }
        probe.Set(p);
        gallery.Set(g);
    }
    int Run() {
        CalcMatchScore(&probe.fs, &gallery.fs, &basePair, 1);
        return basePair.matchScore;
    }
};

TEST(AlignmentScore, FormulaWithFourPairs) {
    // pos = 100 from four pairs of 25 each, N and NN raised to 10:
    // 3200/50 + 10000/110 = 154, quartered: 38.
    Alignment a;
    a.Setup({Minutia{20, 144, 0, 5, 0}, Minutia{236, 144, 0, 5, 0}, Minutia{128, 30, 0, 5, 0},
             Minutia{128, 260, 0, 5, 0}},
            0);
    EXPECT_EQ(a.Run(), 38);
}

TEST(AlignmentScore, FewPairsKeepOnlyTheirQuarters) {
    // Two pairs of 49 and 51: pos = 100; 154 * 2 / 4 = 77, quartered: 19.
    Alignment a;
    a.Setup({Minutia{20, 144, 0, 17, 0}, Minutia{236, 144, 0, 18, 0}}, 2);
    EXPECT_EQ(a.Run(), 19);
}

TEST(AlignmentScore, OverlapGate) {
    // 13 probe minutiae, of which only the base and `visible` others lie on
    // the gallery's foreground; the gallery keeps everything.
    auto scored = [](int visible) {
        Alignment a;
        std::vector<Minutia> p = {Minutia{128, 144, 0, 10, 0}};
        std::vector<Minutia> g = p;
        for (int k = 0; k < 4; ++k) g.push_back(Minutia{100 + 15 * k, 120, 0, 10, 0});
        for (int k = 0; k < visible; ++k) p.push_back(Minutia{100 + 15 * k, 120, 0, 10, 0});
        while (p.size() < 13) p.push_back(Minutia{30 + 10 * static_cast<int>(p.size()), 270, 0, 10, 0});
        a.probe.Set(p);
        a.gallery.Set(g);
        for (int row = 32; row < 36; ++row)
            for (int col = 0; col < 32; ++col) a.gallery.gnd.cells[row * 32 + col] = 1;
        a.Run();
        return a.basePair.matchScore != -7;
    };
    EXPECT_TRUE(scored(3));   // nP = 3 fails the quarter on the probe side; the gallery passes
    EXPECT_FALSE(scored(2));  // nP = 2: never
}

TEST(AlignmentScore, NoPairsLeavesTheScore) {
    Alignment a;
    a.Setup({}, 4);
    EXPECT_EQ(a.Run(), -7);
}

// A set whose count says more than 50 holds 50 slots: a base pair naming a
// slot beyond them is refused, and one within them scores as with 50.
TEST(AlignmentScore, CountsAboveFiftyNameFiftySlots) {
    Alignment a;
    a.Setup({Minutia{20, 144, 0, 5, 0}, Minutia{236, 144, 0, 5, 0}, Minutia{128, 30, 0, 5, 0},
             Minutia{128, 260, 0, 5, 0}},
            0);
    a.probe.fs.minutiaCount = 60;
    a.gallery.fs.minutiaCount = 60;
    EXPECT_EQ(a.Run(), 38);
    a.basePair = BasePair{55, 0, 100, -7};
    EXPECT_EQ(a.Run(), -7);
    a.basePair = BasePair{0, 50, 100, -7};
    EXPECT_EQ(a.Run(), -7);
}

// ------------------------------------------------------------ final score

int Last(std::vector<BasePair> pairs, std::vector<Minutia> probe, std::vector<Minutia> gallery) {
    probe.resize(50);
    gallery.resize(50);
    return CalcLastScore(pairs.data(), probe.data(), gallery.data(), static_cast<int>(pairs.size()));
}

TEST(FinalScore, HalfOfBestPlusFirstConsistentOther) {
    const std::vector<Minutia> same = {Minutia{0, 0, 0, 0, 0}, Minutia{30, 0, 0, 0, 0}, Minutia{0, 0, 0, 0, 0}};
    EXPECT_EQ(Last({{0, 0, 1, 150}}, same, same), 75);
    EXPECT_EQ(Last({{0, 0, 1, 230}}, same, same), 100);
    EXPECT_EQ(Last({{0, 0, 1, 90}, {1, 1, 1, 60}}, same, same), 75);
    const std::vector<Minutia> far = {Minutia{0, 0, 0, 0, 0}, Minutia{51, 0, 0, 0, 0}};
    EXPECT_EQ(Last({{0, 0, 1, 90}, {1, 1, 1, 60}}, same, far), 45);  // 30 against 51
    const std::vector<Minutia> fifty = {Minutia{0, 0, 0, 0, 0}, Minutia{50, 0, 0, 0, 0}};
    EXPECT_EQ(Last({{0, 0, 1, 90}, {1, 1, 1, 60}}, same, fifty), 75);  // 30 against 50
    EXPECT_EQ(Last({{0, 0, 1, 101}, {0, 0, 1, 100}}, same, same), 100);
    EXPECT_EQ(Last({{0, 0, 1, 100}, {0, 0, 1, 99}}, same, same), 99);
}

TEST(FinalScore, SortsAndSkipsInconsistentPairs) {
    // Scores (40, 90, 70) sort to (90, 70, 40); the 70 pair is inconsistent.
    const std::vector<Minutia> probe = {Minutia{0, 0, 0, 0, 0}, Minutia{100, 0, 0, 0, 0}, Minutia{10, 0, 0, 0, 0}};
    const std::vector<Minutia> gallery = {Minutia{0, 0, 0, 0, 0}, Minutia{10, 0, 0, 0, 0}, Minutia{10, 0, 0, 0, 0}};
    std::vector<BasePair> pairs = {{2, 2, 1, 40}, {0, 0, 1, 90}, {1, 1, 1, 70}};
    EXPECT_EQ(Last(pairs, probe, gallery), 65);
    // Distances are truncated: sqrt(1000) counts as 31, so 31 - 51 = -20 is consistent.
    const std::vector<Minutia> p2 = {Minutia{0, 0, 0, 0, 0}, Minutia{30, 10, 0, 0, 0}};
    const std::vector<Minutia> g2 = {Minutia{0, 0, 0, 0, 0}, Minutia{51, 0, 0, 0, 0}};
    EXPECT_EQ(Last({{0, 0, 1, 90}, {1, 1, 1, 60}}, p2, g2), 75);
}

TEST(FinalScore, ExchangeSortOrder) {
    std::vector<Minutia> none(50);
    BasePair pairs[3] = {{0, 0, 1, 5}, {1, 1, 1, 5}, {2, 2, 1, 7}};
    CalcLastScore(pairs, none.data(), none.data(), 3);
    EXPECT_EQ(pairs[0].probeIndex, 2);
    EXPECT_EQ(pairs[1].probeIndex, 1);
    EXPECT_EQ(pairs[2].probeIndex, 0);
}

}  // namespace
