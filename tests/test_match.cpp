// One-to-one comparison end to end: entry points, the centre-first reorder,
// failures, asymmetry, hostile values and the real FVC2002 templates.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "test_support.h"

namespace {

using fpmatch::test::Bytes;
using fpmatch::test::IsoHeader;
using fpmatch::test::NativeHeader;
using fpmatch::test::OwnedFeatureSet;
using fpmatch::test::PackNative;
using fpmatch::test::PutIsoMinutia;
using fpmatch::test::PutNativeMinutia;
namespace samples = fpmatch::samples;

Bytes SyntheticIso(uint64_t finger, uint64_t impression) {
    const auto f = samples::MakeFinger(finger, 40);
    return samples::MakeIsoRecord(impression == 0 ? f : samples::MakeImpression(f, impression), 60);
}

TEST(Entry, VersionAndSecondName) {
    EXPECT_EQ(AlgVersion(), 1);
    for (uint64_t a = 1; a <= 6; ++a) {
        for (uint64_t b = 1; b <= 6; ++b) {
            const Bytes p = SyntheticIso(a, 0), g = SyntheticIso(b, 100 + a);
            EXPECT_EQ(Match2Fp(p.data(), g.data()), Match2Score(p.data(), g.data()));
        }
    }
}

TEST(Entry, SyntheticGenuineOutscoresImpostors) {
    int genuineLow = 100, impostorHigh = 0;
    for (uint64_t f = 1; f <= 8; ++f) {
        const Bytes probe = SyntheticIso(f, 0);
        genuineLow = std::min(genuineLow, Match2Score(probe.data(), SyntheticIso(f, 50 + f).data()));
        for (uint64_t o = 1; o <= 8; ++o)
            if (o != f) impostorHigh = std::max(impostorHigh, Match2Score(probe.data(), SyntheticIso(o, 90).data()));
    }
    EXPECT_GT(genuineLow, impostorHigh);
}

TEST(Entry, FailuresScoreZero) {
    const Bytes good = SyntheticIso(3, 0);
    ASSERT_GT(Match2Score(good.data(), good.data()), 0);
    Bytes bad = good;
    bad[0] = 'X';  // neither 3 nor "FM": a native template of a wrong version
    EXPECT_EQ(Match2Score(bad.data(), good.data()), 0);
    // A failed probe ends the comparison before the gallery is read.
    EXPECT_EQ(Match2Score(bad.data(), nullptr), 0);
    EXPECT_EQ(Match2Score(good.data(), bad.data()), 0);
    Bytes noMinutiae = good;
    noMinutiae[27] = 0;
    EXPECT_EQ(Match2Score(good.data(), noMinutiae.data()), 0);
    noMinutiae[27] = 51;
    EXPECT_EQ(Match2Score(noMinutiae.data(), good.data()), 0);
}

TEST(Entry, NoBasePairScoresZero) {
    // All probe minutiae are endings, all gallery minutiae bifurcations.
    auto finger = samples::MakeFinger(11, 30);
    for (Minutia& m : finger) m.type = 0;
    const Bytes probe = samples::MakeIsoRecord(finger, 60);
    for (Minutia& m : finger) m.type = 1;
    const Bytes gallery = samples::MakeIsoRecord(finger, 60);
    EXPECT_EQ(Match2Score(probe.data(), gallery.data()), 0);
}

TEST(MoveTop, StablePartitionAroundTheCentre) {
    OwnedFeatureSet f;
    f.Set({Minutia{10, 10, 1, 0, 0}, Minutia{128, 144, 2, 0, 0}, Minutia{0, 150, 3, 0, 0}});
    Minutia scratch[50];
    MinutiaMoveTop(&f.fs, f.minutiae, scratch);
    EXPECT_EQ(f.fs.minutiaCount, 3);
    EXPECT_EQ(f.minutiae[0].angle, 2);
    EXPECT_EQ(f.minutiae[1].angle, 1);
    EXPECT_EQ(f.minutiae[2].angle, 3);
}

TEST(MoveTop, WindowBoundsAreInclusive) {
    OwnedFeatureSet f;
    f.Set({Minutia{63, 144, 0, 0, 0}, Minutia{128, 209, 1, 0, 0}, Minutia{64, 80, 2, 0, 0},
           Minutia{-200, 144, 3, 0, 0}, Minutia{192, 208, 4, 0, 0}});
    Minutia scratch[50];
    MinutiaMoveTop(&f.fs, f.minutiae, scratch);
    const int expected[] = {2, 4, 0, 1, 3};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(f.minutiae[i].angle, expected[i]) << i;
}

TEST(MoveTop, AllInsideOrAllOutsideKeepTheirOrder) {
    for (int base : {100, 5}) {
        OwnedFeatureSet f;
        std::vector<Minutia> list;
        for (int i = 0; i < 20; ++i) list.push_back(Minutia{base + i, base + 2 * i, i, 0, 0});
        f.Set(list);
        Minutia scratch[50];
        MinutiaMoveTop(&f.fs, f.minutiae, scratch);
        for (int i = 0; i < 20; ++i) EXPECT_EQ(f.minutiae[i].angle, i);
    }
}

TEST(Asymmetry, SwappingMayChangeTheScore) {
    FPMATCH_REQUIRE_FVC(fvc);
    int differing = 0;
    for (size_t a = 0; a + 1 < 16; ++a) {
        const auto& p = fvc[a].bytes;
        const auto& g = fvc[a + 1].bytes;
        if (Match2Score(p.data(), g.data()) != Match2Score(g.data(), p.data())) ++differing;
    }
    EXPECT_GT(differing, 0);
}

// Templates whose bytes take extreme values must still score within 0..100.
std::vector<Bytes> HostileTemplates() {
    std::vector<Bytes> out;
    Bytes t = NativeHeader(25);
    for (int i = 0; i < 25; ++i)
        PutNativeMinutia(t, i, PackNative(i % 2 ? -256 + 10 * i : 255 - i, 511 - 13 * i, 511 - i, 15, i & 1));
    t[40] = t[41] = t[42] = t[43] = 255;
    out.push_back(t);
    t = NativeHeader(25);
    for (int i = 0; i < 25; ++i) PutNativeMinutia(t, i, PackNative(128, 144, 360 + i * 6, 15, 0));  // coincident
    out.push_back(t);
    t = NativeHeader(1);
    PutNativeMinutia(t, 0, PackNative(128, 144, 90, 10, 0));
    out.push_back(t);
    Bytes r = IsoHeader(50, 255);
    for (int i = 0; i < 50; ++i) {
        const uint8_t e[6] = {static_cast<uint8_t>(i % 3 ? 0x7F : 0x40), static_cast<uint8_t>(0xFF - i), 0x3F,
                              static_cast<uint8_t>(i * 5), static_cast<uint8_t>(i % 2 ? 0 : 255), 255};
        PutIsoMinutia(r, i, e);
    }
    out.push_back(r);
    r = IsoHeader(50, 0);
    for (int i = 0; i < 50; ++i) {
        const uint8_t e[6] = {static_cast<uint8_t>(0x40 | (i % 4 == 0 ? 0x3F : 0)), static_cast<uint8_t>(i * 5),
                              static_cast<uint8_t>(i % 5 == 0 ? 0x3F : 0), static_cast<uint8_t>(i * 6), 0,
                              static_cast<uint8_t>(i)};
        PutIsoMinutia(r, i, e);
    }
    out.push_back(r);
    for (uint64_t s = 1; s <= 3; ++s) {
        auto finger = samples::MakeFinger(s, 50);
        out.push_back(samples::MakeIsoRecord(finger, 80));
        out.push_back(samples::MakeNativeTemplate(finger, 80, SingularPoint{120, 130}, SingularPoint{0, 2}));
    }
    return out;
}

TEST(HostileInput, ScoresStayInRange) {
    const auto all = HostileTemplates();
    for (size_t a = 0; a < all.size(); ++a) {
        for (size_t b = 0; b < all.size(); ++b) {
            const int s = Match2Score(all[a].data(), all[b].data());
            EXPECT_GE(s, 0) << a << "," << b;
            EXPECT_LE(s, 100) << a << "," << b;
            EXPECT_EQ(s, Match2Fp(all[a].data(), all[b].data()));
        }
    }
}

TEST(HostileInput, DirectionsAboveOneTurnScoreLikeTheirRemainder) {
    // A native direction d + 360 (up to 511) compares exactly like d.
    for (uint64_t seed = 1; seed <= 6; ++seed) {
        auto finger = samples::MakeFinger(seed, 25);
        auto impression = samples::MakeImpression(finger, seed + 40);
        for (Minutia& m : finger) m.angle %= 152;
        for (Minutia& m : impression) m.angle %= 152;
        auto lifted = finger;
        for (size_t i = 0; i < lifted.size(); i += 2) lifted[i].angle += 360;
        const Bytes a = samples::MakeNativeTemplate(finger, 60), b = samples::MakeNativeTemplate(impression, 60);
        const Bytes la = samples::MakeNativeTemplate(lifted, 60);
        EXPECT_EQ(Match2Score(a.data(), b.data()), Match2Score(la.data(), b.data())) << seed;
        EXPECT_EQ(Match2Score(b.data(), a.data()), Match2Score(b.data(), la.data())) << seed;
    }
}

TEST(RealTemplates, SelfGenuineAndImpostorDistributions) {
    FPMATCH_REQUIRE_FVC(fvc);
    for (const char* db : {"DB1_B", "DB2_B", "DB3_B", "DB4_B"}) {
        std::vector<const fpmatch::test::FvcTemplate*> t;
        for (const auto& x : fvc)
            if (x.database == db) t.push_back(&x);
        double self = 0, genuineSum = 0, impostorSum = 0;
        int genuineCount = 0, impostorCount = 0, impostorMax = 0, selfZero = 0;
        std::vector<int> genuine;
        for (size_t a = 0; a < t.size(); ++a) {
            const int s = Match2Score(t[a]->bytes.data(), t[a]->bytes.data());
            self += s;
            if (s == 0) ++selfZero;
            for (size_t b = a + 1; b < t.size(); ++b) {
                const int score = Match2Score(t[a]->bytes.data(), t[b]->bytes.data());
                ASSERT_GE(score, 0);
                ASSERT_LE(score, 100);
                if (t[a]->finger == t[b]->finger) {
                    genuine.push_back(score);
                    genuineSum += score;
                    ++genuineCount;
                } else {
                    impostorSum += score;
                    ++impostorCount;
                    impostorMax = std::max(impostorMax, score);
                }
            }
        }
        const auto above = std::count_if(genuine.begin(), genuine.end(), [&](int s) { return s > impostorMax; });
        std::printf("%s: self mean %.1f (%d of %zu zero: above 50 minutiae); genuine mean %.2f over %d; "
                    "impostor mean %.2f over %d, max %d; genuine above the highest impostor: %ld\n",
                    db, self / t.size(), selfZero, t.size(), genuineSum / genuineCount, genuineCount,
                    impostorSum / impostorCount, impostorCount, impostorMax, static_cast<long>(above));
        EXPECT_EQ(genuineCount, 280);
        EXPECT_EQ(impostorCount, 2880);
        EXPECT_GT(genuineSum / genuineCount, 4 * impostorSum / impostorCount);
        EXPECT_GT(above, 50);
    }
}

TEST(RealTemplates, EveryDecodableTemplateMatchesItselfWell) {
    FPMATCH_REQUIRE_FVC(fvc);
    for (const auto& t : fvc) {
        const int s = Match2Score(t.bytes.data(), t.bytes.data());
        if (t.bytes[27] > 50) {
            EXPECT_EQ(s, 0) << t.path;
        } else {
            EXPECT_GE(s, 30) << t.path;
        }
    }
}

}  // namespace
