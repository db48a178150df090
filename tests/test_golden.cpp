// Golden malformed and extreme templates (tests/golden, listed in index.txt):
// rejected ones must fail to decode and score 0, valid extreme ones must
// decode and score 0..100, short ones must screen sanely, each alone,
// pairwise and against synthetic and real templates. Run in the sanitizer
// build, these also prove that none of them reads or writes out of bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "test_support.h"

namespace {

using fpmatch::test::Bytes;
namespace fs = std::filesystem;

struct Golden {
    std::string name, form, expect;
    Bytes bytes;   // as stored
    Bytes padded;  // zero-padded to 512 bytes: any decoder may read all it wants
};

const std::vector<Golden>& Goldens() {
    static const std::vector<Golden> all = [] {
        std::vector<Golden> out;
        const fs::path dir = fs::path(FPMATCH_SOURCE_DIR) / "tests" / "golden";
        std::ifstream index(dir / "index.txt");
        std::string line;
        while (std::getline(index, line)) {
            if (line.empty() || line[0] == '#') continue;
            std::istringstream in(line);
            Golden g;
            in >> g.name >> g.form >> g.expect;
            g.bytes = fpmatch::test::ReadFile(dir / g.name);
            g.padded = g.bytes;
            g.padded.resize(std::max<size_t>(g.padded.size(), 512), 0);
            out.push_back(std::move(g));
        }
        return out;
    }();
    return all;
}

std::vector<const Golden*> Templates() {
    std::vector<const Golden*> out;
    for (const auto& g : Goldens())
        if (g.form != "short") out.push_back(&g);
    return out;
}

std::vector<const Golden*> Shorts() {
    std::vector<const Golden*> out;
    for (const auto& g : Goldens())
        if (g.form == "short") out.push_back(&g);
    return out;
}

int32_t ExpectedCode(const Golden& g) {
    if (g.expect == "reject1") return FPMATCH_BAD_VERSION;
    if (g.expect == "reject2") return FPMATCH_BAD_COUNT;
    return FPMATCH_DECODED;
}

// Ordinary templates to compare the golden ones against: synthetic native and
// ISO, and a few real ones when present.
std::vector<Bytes> Ordinary() {
    using namespace fpmatch::samples;
    std::vector<Bytes> out;
    const auto finger = MakeFinger(77, 30);
    out.push_back(MakeNativeTemplate(finger, 60, {130, 140}, {0, 0}));
    out.push_back(MakeIsoRecord(MakeImpression(finger, 78), 60));
    const auto fvc = fpmatch::test::LoadFvc();
    for (size_t i = 0; i < fvc.size(); i += 41) out.push_back(fvc[i].bytes);
    for (auto& b : out) b.resize(std::max<size_t>(b.size(), 512), 0);
    return out;
}

void CheckBestList(const int32_t* best, int32_t count) {
    std::set<int32_t> seen;
    bool empty = false;
    for (int k = 0; k < FPMATCH_SCREEN_BEST; ++k) {
        if (best[k] == -1) {
            empty = true;
            continue;
        }
        EXPECT_FALSE(empty) << "listed position after an empty entry at " << k;
        EXPECT_GE(best[k], 0);
        EXPECT_LT(best[k], count);
        EXPECT_TRUE(seen.insert(best[k]).second) << "position " << best[k] << " listed twice";
    }
}

TEST(GoldenTemplates, IndexListsEveryFile) {
    ASSERT_GE(Goldens().size(), 30u);
    std::set<std::string> listed;
    for (const auto& g : Goldens()) {
        listed.insert(g.name);
        EXPECT_FALSE(g.bytes.empty()) << g.name;
    }
    const fs::path dir = fs::path(FPMATCH_SOURCE_DIR) / "tests" / "golden";
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().extension() == ".bin") {
            EXPECT_TRUE(listed.count(entry.path().filename().string())) << entry.path();
        }
}

TEST(GoldenTemplates, DecodeAsExpected) {
    for (const Golden* g : Templates()) {
        SCOPED_TRACE(g->name);
        const int32_t expected = ExpectedCode(*g);
        EXPECT_EQ(CheckTemplate(g->bytes.data(), g->bytes.size()), expected);
        fpmatch::test::OwnedFeatureSet set;
        EXPECT_EQ(set.Decode(g->padded), expected);
        if (expected == FPMATCH_DECODED) {
            EXPECT_GE(set.fs.minutiaCount, 1);
            EXPECT_LE(set.fs.minutiaCount, 50);
            EXPECT_EQ(set.fs.width, 256);
            EXPECT_EQ(set.fs.height, 288);
        }
    }
}

TEST(GoldenTemplates, PairwiseScoresStayInRange) {
    const auto all = Templates();
    for (const Golden* p : all) {
        for (const Golden* g : all) {
            SCOPED_TRACE(p->name + " vs " + g->name);
            const int32_t score = Match2Score(p->padded.data(), g->padded.data());
            EXPECT_GE(score, 0);
            EXPECT_LE(score, 100);
            EXPECT_EQ(Match2Fp(p->padded.data(), g->padded.data()), score);
            if (ExpectedCode(*p) != 0 || ExpectedCode(*g) != 0) {
                EXPECT_EQ(score, 0);
            }
        }
    }
}

TEST(GoldenTemplates, AgainstOrdinaryTemplates) {
    const auto ordinary = Ordinary();
    for (const Golden* g : Templates()) {
        for (size_t i = 0; i < ordinary.size(); ++i) {
            SCOPED_TRACE(g->name + " and ordinary template " + std::to_string(i));
            const int32_t forward = Match2Score(g->padded.data(), ordinary[i].data());
            const int32_t backward = Match2Score(ordinary[i].data(), g->padded.data());
            EXPECT_GE(forward, 0);
            EXPECT_LE(forward, 100);
            EXPECT_GE(backward, 0);
            EXPECT_LE(backward, 100);
            if (ExpectedCode(*g) != 0) {
                EXPECT_EQ(forward, 0);
                EXPECT_EQ(backward, 0);
            }
        }
    }
}

TEST(GoldenTemplates, ListSearchStopsAtRejectedEntries) {
    const auto all = Templates();
    const auto ordinary = Ordinary();
    constexpr int32_t kStride = 512;
    Bytes list;
    for (const Golden* g : all) list.insert(list.end(), g->padded.begin(), g->padded.begin() + kStride);
    const int32_t entries = static_cast<int32_t>(all.size());
    for (const auto& probe : ordinary) {
        for (int32_t first = 0; first < entries; ++first) {
            int32_t index = -7, score = -7;
            const int32_t found = MatchListFp(probe.data(), list.data(), kStride, first, entries - first, 0, &index, &score);
            // The first entry decides: threshold 0 reports it unless it is
            // rejected or yields no corresponding minutiae.
            if (ExpectedCode(*all[first]) != 0) {
                EXPECT_EQ(found, 0) << all[first]->name;
            }
            if (found == 1) {
                EXPECT_EQ(index, first);
                EXPECT_EQ(score, Match2Score(probe.data(), all[first]->padded.data()));
            } else {
                EXPECT_EQ(index, -7);
                EXPECT_EQ(score, -7);
            }
        }
    }
    for (const Golden* g : all) {
        int32_t index = -7, score = -7;
        const int32_t found = MatchListFp(g->padded.data(), list.data(), kStride, 0, entries, 1, &index, &score);
        if (ExpectedCode(*g) != 0) {
            EXPECT_EQ(found, 0) << g->name;
        }
    }
}

TEST(GoldenTemplates, ScreeningListsSanely) {
    const auto shorts = Shorts();
    ASSERT_FALSE(shorts.empty());
    Bytes list;
    for (const Golden* s : shorts) list.insert(list.end(), s->padded.begin(), s->padded.begin() + 512);
    const int32_t count = static_cast<int32_t>(shorts.size());
    for (const Golden* probe : shorts) {
        SCOPED_TRACE(probe->name);
        int32_t best[FPMATCH_SCREEN_BEST];
        ASSERT_EQ(QuickSort(probe->padded.data(), list.data(), count, best), 1);
        CheckBestList(best, count);
        for (int k = 0; k < FPMATCH_SCREEN_BEST && best[k] >= 0; ++k) {
            const Golden* listed = shorts[best[k]];
            EXPECT_TRUE(listed->bytes[0] == 3 && listed->bytes[1] == 1) << listed->name << " listed without marker";
        }
        if (probe->bytes[3] == 0) {
            for (int32_t b : best) EXPECT_EQ(b, -1);
        }
    }
}

TEST(GoldenTemplates, WritersHandleExtremeDecodes) {
    for (const Golden* g : Templates()) {
        if (ExpectedCode(*g) != 0) continue;
        SCOPED_TRACE(g->name);
        fpmatch::test::OwnedFeatureSet set;
        ASSERT_EQ(set.Decode(g->padded), 0);
        uint8_t native[256], shortTemplate[512];
        const int32_t n = WriteNativeTemplate(&set.fs, native, sizeof native);
        if (n > 0) {
            EXPECT_EQ(CheckTemplate(native, static_cast<size_t>(n)), 0);
        }
        const int32_t s = WriteShortTemplate(&set.fs, shortTemplate, sizeof shortTemplate);
        EXPECT_TRUE(s == 512 || s < 0);
    }
}

}  // namespace
