// The frozen-score corpus: Match2Score over every ordered pair within each
// FVC2002 database (as the records stand and adapted) and over generated
// pairs that reach the unusual paths, recorded in tests/corpus/. Every
// comparison path of the library must reproduce it exactly: the plain entry
// point, the prepared probe and gallery, the list outcomes and the ranked
// search, on every instruction set the machine offers.
//
// The exported stage functions, called one after the other as Match2Score
// is defined (decode, reorder, CalcBasePair, CalcMatchScore, CalcLastScore),
// must give the same corpus: the fast comparison and the stages share their
// rules (src/basepair_rules.h), and this checks that they agree.
//
// A path the processor lacks (often AVX-512) cannot be checked here: the
// tests print it and record it as the test property paths_not_checked, and
// FPMATCH_REQUIRE_PATHS (a comma-separated list of path names, or "all")
// turns a missing path into a failure.
//
// FPMATCH_WRITE_CORPUS=1 rewrites the corpus from the current build instead
// of checking it; do that only for a deliberate, reviewed change of scores.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "internal_paths.h"
#include "test_support.h"

namespace {

using fpmatch::test::Bytes;
namespace samples = fpmatch::samples;

const std::string kCorpusDir = std::string(FPMATCH_SOURCE_DIR) + "/tests/corpus/";

bool Writing() {
    const char* v = std::getenv("FPMATCH_WRITE_CORPUS");
    return v != nullptr && std::string(v) == "1";
}

uint32_t Fnv(const Bytes& b) {
    uint32_t h = 2166136261u;
    for (uint8_t c : b) h = (h ^ c) * 16777619u;
    return h;
}

std::string Hex(uint32_t v) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

// ------------------------------------------------------------- generation

struct Case {
    std::string id;
    Bytes probe, gallery;
};

Bytes Native(const std::vector<Minutia>& m, samples::Random& rng, bool holes, bool singular) {
    SingularPoint core{0, 0}, delta{0, 0};
    if (singular) {
        core = {rng.Range(0, 255) * 2, rng.Range(0, 255) * 2};
        if (rng.Range(0, 2) == 0) delta = {rng.Range(0, 255) * 2, rng.Range(0, 255) * 2};
        if (rng.Range(0, 4) == 0) delta = {0, 2};  // the marker entry
    }
    Bytes t = samples::MakeNativeTemplate(m, static_cast<uint8_t>(rng.Range(0, 255)), core, delta);
    if (holes) {
        // Background blobs: set some mask bits (1 = background).
        for (int k = rng.Range(1, 12); k > 0; --k) t[static_cast<size_t>(rng.Range(6, 39))] |= static_cast<uint8_t>(rng.Next());
    }
    return t;
}

// Minutiae anywhere a native template can put them.
std::vector<Minutia> WildNative(samples::Random& rng, int count) {
    std::vector<Minutia> out;
    for (int i = 0; i < count; ++i) {
        Minutia m{};
        m.x = rng.Range(-256, 255);
        m.y = rng.Range(0, 511);
        m.angle = rng.Range(0, 511);
        m.quality = static_cast<uint8_t>(rng.Range(0, 15));
        m.type = static_cast<uint8_t>(rng.Range(0, 1));
        out.push_back(m);
    }
    return out;
}

// Directions raised by one turn where the field allows (0..151 -> 360..511).
std::vector<Minutia> RaiseDirections(std::vector<Minutia> m, samples::Random& rng) {
    for (Minutia& x : m)
        if (x.angle <= 151 && rng.Range(0, 1) == 1) x.angle += 360;
    return m;
}

std::vector<Minutia> Shifted(std::vector<Minutia> m, int dx, int dy) {
    for (Minutia& x : m) {
        x.x += dx;
        x.y += dy;
    }
    return m;
}

std::vector<Case> GeneratedCases() {
    std::vector<Case> cases;
    samples::Random rng(20261208);
    auto add = [&](const std::string& kind, Bytes p, Bytes g) {
        cases.push_back({kind + "-" + std::to_string(cases.size()), std::move(p), std::move(g)});
    };
    samples::ImpressionOptions noisy;
    noisy.maxRotation = 40;
    noisy.maxShift = 30;
    noisy.positionNoise = 4;
    noisy.angleNoise = 8;
    noisy.dropPercent = 25;
    noisy.spurious = 8;

    // Genuine and impostor ISO pairs of 8..50 minutiae.
    for (int i = 0; i < 700; ++i) {
        const int count = rng.Range(8, 50);
        const auto finger = samples::MakeFinger(rng.Next(), count);
        const auto a = samples::MakeImpression(finger, rng.Next(), i % 2 ? noisy : samples::ImpressionOptions());
        const auto b = i % 7 == 6 ? samples::MakeFinger(rng.Next(), count)
                                  : samples::MakeImpression(finger, rng.Next(), noisy);
        add("iso", samples::MakeIsoRecord(a, static_cast<uint8_t>(rng.Range(0, 100))),
            samples::MakeIsoRecord(b, static_cast<uint8_t>(rng.Range(0, 100))));
    }
    // Exactly 50 minutiae on both sides.
    for (int i = 0; i < 200; ++i) {
        const auto finger = samples::MakeFinger(rng.Next(), 60);
        auto a = samples::MakeImpression(finger, rng.Next(), samples::ImpressionOptions{10, 8, 1, 3, 0, 0});
        auto b = samples::MakeImpression(finger, rng.Next(), noisy);
        a.resize(std::min<size_t>(a.size(), 50));
        while (b.size() < 50) b.push_back(samples::MakeFinger(rng.Next(), 1)[0]);
        add("full", samples::MakeIsoRecord(a, 60), samples::MakeIsoRecord(b, 60));
    }
    // Native templates: directions above 360, singular points, mask holes.
    for (int i = 0; i < 700; ++i) {
        const auto finger = samples::MakeFinger(rng.Next(), rng.Range(5, 25));
        auto a = samples::MakeImpression(finger, rng.Next());
        auto b = samples::MakeImpression(finger, rng.Next(), i % 3 ? noisy : samples::ImpressionOptions());
        if (i % 2) a = RaiseDirections(a, rng);
        if (i % 3) b = RaiseDirections(b, rng);
        const bool holes = i % 4 == 1, singular = i % 5 < 3;
        Bytes pa = Native(a, rng, holes, singular), pb = Native(b, rng, holes, singular);
        if (i % 6 == 0) add("mixed", pa, samples::MakeIsoRecord(b, 50));
        else add("native", pa, pb);
    }
    // Native templates with fields anywhere in range: negative x, y beyond
    // the image, directions up to 511; the second side a copy with noise.
    for (int i = 0; i < 600; ++i) {
        const auto a = WildNative(rng, rng.Range(1, 25));
        auto b = a;
        for (Minutia& m : b) {
            m.x = std::clamp(m.x + rng.Range(-3, 3), -256, 255);
            m.y = std::clamp(m.y + rng.Range(-3, 3), 0, 511);
            m.angle = std::clamp(m.angle + rng.Range(-5, 5), 0, 511);
        }
        if (i % 3 == 0) b = WildNative(rng, rng.Range(1, 25));
        add("wild", Native(a, rng, i % 2 == 0, i % 3 != 1), Native(b, rng, i % 4 == 0, i % 3 != 2));
    }
    // ISO coordinates outside the image, far outside, and at the extremes.
    for (int i = 0; i < 400; ++i) {
        const auto finger = samples::MakeFinger(rng.Next(), rng.Range(10, 50));
        auto a = samples::MakeImpression(finger, rng.Next());
        auto b = samples::MakeImpression(finger, rng.Next(), noisy);
        // Some minutiae pushed out of the image (far out for a quarter of
        // the cases), the rest shifted a little either way.
        const int far = i % 4 == 0 ? 16000 : 400;
        for (Minutia& m : a)
            if (rng.Range(0, 3) == 0) {
                m.x += rng.Range(0, far);
                m.y += rng.Range(0, far);
            }
        a = Shifted(a, rng.Range(-20, 60), rng.Range(-20, 60));
        if (i % 2) b = Shifted(b, rng.Range(0, 40), rng.Range(0, 60));
        add("outside", samples::MakeIsoRecord(a, 40), samples::MakeIsoRecord(b, 40));
    }
    // No base pair: every probe minutia of the other type, or too few.
    for (int i = 0; i < 200; ++i) {
        const auto finger = samples::MakeFinger(rng.Next(), rng.Range(1, 30));
        auto a = samples::MakeImpression(finger, rng.Next());
        auto b = samples::MakeImpression(finger, rng.Next());
        if (i % 2 == 0) {
            for (Minutia& m : a) m.type = 0;
            for (Minutia& m : b) m.type = 1;
        }
        if (a.empty()) a = finger;
        if (b.empty()) b = finger;
        add("sparse", samples::MakeIsoRecord(a, 30), samples::MakeIsoRecord(b, 30));
    }
    // Templates that do not decode, on either side.
    for (int i = 0; i < 20; ++i) {
        const auto finger = samples::MakeFinger(rng.Next(), 20);
        Bytes good = samples::MakeIsoRecord(finger, 60);
        Bytes bad = good;
        bad[27] = static_cast<uint8_t>(i % 2 ? 0 : 51 + i);
        if (i % 2) add("undecodable", good, bad);
        else add("undecodable", bad, good);
    }
    return cases;
}

// ------------------------------------------------------------------ paths

// Every way the library can compute the score of one pair.
struct Scores {
    int32_t plain, fp, prepared, pair, listed, compact, compactListed;
};

// The compact record of a gallery template; empty when it does not decode
// (Match2Score then gives 0).
Bytes Compact(const Bytes& gallery) {
    Bytes record(FPMATCH_COMPACT_GALLERY_MAX_SIZE);
    const int32_t length = CompactGalleryTemplate(gallery.data(), record.data(), record.size());
    record.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return record;
}

Scores AllPaths(const Bytes& probe, const Bytes& gallery, int path) {
    auto pp = std::make_unique<PreparedProbe>();
    auto pg = std::make_unique<PreparedGallery>();
    PrepareProbe(probe.data(), pp.get());
    PrepareGallery(gallery.data(), pg.get());
    Scores s{};
    s.plain = Match2Score(probe.data(), gallery.data());
    s.fp = Match2Fp(probe.data(), gallery.data());
    s.prepared = fpmatch::detail::MatchPreparedOnPath(pp.get(), gallery.data(), path);
    s.pair = fpmatch::detail::MatchPreparedPairOnPath(pp.get(), pg.get(), path);
    int32_t outcome = -9;
    MatchPreparedList(pp.get(), gallery.data(), 0, 0, 1, &outcome);
    s.listed = outcome < 0 ? 0 : outcome;
    const Bytes record = Compact(gallery);
    s.compact = fpmatch::detail::MatchPreparedCompactOnPath(pp.get(), record.data(), record.size(), path);
    outcome = -9;
    if (!record.empty())
        MatchPreparedCompactList(pp.get(), record.data(), static_cast<int32_t>(record.size()), 0, 1, &outcome);
    s.compactListed = outcome < 0 ? 0 : outcome;
    return s;
}

std::vector<int> AvailablePaths() {
    std::vector<int> out;
    for (int p = 0; p < fpmatch::detail::kPathCount; ++p)
        if (fpmatch::detail::SupportedPaths() & (1 << p)) out.push_back(p);
    return out;
}

// Match2Score as its stages define it, each an exported function.
int32_t StagePipeline(const Bytes& probe, const Bytes& gallery) {
    fpmatch::test::OwnedFeatureSet p, g;
    if (DecodeFeature(probe.data(), &p.fs) != FPMATCH_DECODED) return 0;
    Minutia scratch[FPMATCH_MAX_MINUTIAE];
    MinutiaMoveTop(&p.fs, p.fs.minutiae, scratch);
    if (DecodeFeature(gallery.data(), &g.fs) != FPMATCH_DECODED) return 0;
    BasePair basePairs[3] = {};
    const int32_t count = CalcBasePair(&p.fs, &g.fs, basePairs);
    if (count == 0) return 0;
    CalcMatchScore(&p.fs, &g.fs, basePairs, count);
    return CalcLastScore(basePairs, p.fs.minutiae, g.fs.minutiae, count);
}

// Names of the paths this processor offers (checked) and lacks (not checked).
std::string PathNames(bool available) {
    std::string names;
    for (int p = 0; p < fpmatch::detail::kPathCount; ++p)
        if (((fpmatch::detail::SupportedPaths() >> p) & 1) == (available ? 1 : 0))
            names += (names.empty() ? "" : ",") + std::string(fpmatch::detail::PathName(p));
    return names;
}

void ReportPaths() {
    const std::string checked = PathNames(true), missing = PathNames(false);
    ::testing::Test::RecordProperty("paths_checked", checked);
    ::testing::Test::RecordProperty("paths_not_checked", missing);
    std::printf("paths checked: %s\n", checked.c_str());
    if (!missing.empty())
        std::printf("paths NOT checked (this processor lacks them): %s\n", missing.c_str());
}

std::string Describe(const Scores& s) {
    std::ostringstream o;
    o << "Match2Score " << s.plain << ", Match2Fp " << s.fp << ", MatchPrepared " << s.prepared
      << ", MatchPreparedPair " << s.pair << ", MatchPreparedList " << s.listed << ", MatchPreparedCompact "
      << s.compact << ", MatchPreparedCompactList " << s.compactListed;
    return o.str();
}

bool AllEqual(const Scores& s, int32_t expected) {
    return s.plain == expected && s.fp == expected && s.prepared == expected && s.pair == expected &&
           s.listed == expected && s.compact == expected && s.compactListed == expected;
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#') lines.push_back(line);
    return lines;
}

// --------------------------------------------------------- generated pairs

// Every path FPMATCH_REQUIRE_PATHS names must be one this processor offers
// (else its scores went unchecked); without the variable it only reports.
TEST(FrozenScores, RequiredPathsAreAvailable) {
    ReportPaths();
    const char* v = std::getenv("FPMATCH_REQUIRE_PATHS");
    if (v == nullptr || *v == '\0') return;
    const std::string required = std::string(",") + v + ",";
    const bool all = required == ",all,";
    int named = 0;
    for (int p = 0; p < fpmatch::detail::kPathCount; ++p) {
        const std::string name = fpmatch::detail::PathName(p);
        if (!all && required.find("," + name + ",") == std::string::npos) continue;
        ++named;
        EXPECT_TRUE((fpmatch::detail::SupportedPaths() >> p) & 1)
            << "FPMATCH_REQUIRE_PATHS requires the " << name
            << " path, which this processor lacks: its scores were not checked";
    }
    EXPECT_TRUE(all || named == static_cast<int>(std::count(required.begin(), required.end(), ',')) - 1)
        << "FPMATCH_REQUIRE_PATHS=" << v << " names a path that does not exist (portable, AVX2, AVX-512)";
}

TEST(FrozenScores, GeneratedPairsOnEveryPath) {
    const auto cases = GeneratedCases();
    const std::string path = kCorpusDir + "match_generated.txt";
    if (Writing()) {
        std::ofstream out(path);
        out << "# Match2Score of generated pairs: case, FNV-1a of probe and gallery bytes, score.\n";
        for (const Case& c : cases)
            out << c.id << ' ' << Hex(Fnv(c.probe)) << ' ' << Hex(Fnv(c.gallery)) << ' '
                << Match2Score(c.probe.data(), c.gallery.data()) << '\n';
        GTEST_SKIP() << "corpus written to " << path;
    }
    const auto lines = ReadLines(path);
    ASSERT_EQ(lines.size(), cases.size()) << path;
    ReportPaths();
    int positive = 0;
    for (int p : AvailablePaths()) {
        for (size_t i = 0; i < cases.size(); ++i) {
            const Case& c = cases[i];
            std::istringstream in(lines[i]);
            std::string id, ph, gh;
            int32_t expected = -1;
            in >> id >> ph >> gh >> expected;
            ASSERT_EQ(id, c.id);
            ASSERT_EQ(ph + gh, Hex(Fnv(c.probe)) + Hex(Fnv(c.gallery))) << c.id << ": generator changed";
            const Scores s = AllPaths(c.probe, c.gallery, p);
            ASSERT_TRUE(AllEqual(s, expected))
                << "first differing case " << c.id << " on " << fpmatch::detail::PathName(p) << ": expected "
                << expected << ", got " << Describe(s);
            if (expected > 0) ++positive;
        }
    }
    // The corpus must exercise real scores, not only zeros.
    EXPECT_GT(positive, static_cast<int>(cases.size()) / 3);
}

TEST(FrozenScores, StagePipelineGivesTheGeneratedCorpus) {
    if (Writing()) GTEST_SKIP() << "writing the corpus";
    const auto cases = GeneratedCases();
    const auto lines = ReadLines(kCorpusDir + "match_generated.txt");
    ASSERT_EQ(lines.size(), cases.size());
    int positive = 0;
    for (size_t i = 0; i < cases.size(); ++i) {
        std::istringstream in(lines[i]);
        std::string id, ph, gh;
        int32_t expected = -1;
        in >> id >> ph >> gh >> expected;
        ASSERT_EQ(StagePipeline(cases[i].probe, cases[i].gallery), expected) << "first differing case " << id;
        if (expected > 0) ++positive;
    }
    EXPECT_GT(positive, static_cast<int>(cases.size()) / 3);
}

// Crowded templates: 50 minutiae a few pixels apart, all pointing about the
// same way, so that every minutia has 49 neighbours and a gallery edge's
// angle window holds several blocks of probe edges. The fast walk then keeps
// more agreeing blocks per gallery row than it holds at once and adds them
// up in several batches. Every path must still give the stage pipeline's
// score, and the walk must choose its base pairs with their pair scores.
TEST(FrozenScores, CrowdedTemplatesOnEveryPathMatchTheStagePipeline) {
    auto crowd = [](uint64_t seed, int32_t spacing) {
        fpmatch::samples::Random rng(seed);
        std::vector<Minutia> m;
        for (int32_t i = 0; i < 50; ++i)
            m.push_back(Minutia{100 + spacing * (i % 8) + rng.Range(0, 4),
                                120 + spacing * (i / 8) + rng.Range(0, 4),
                                rng.Range(30, 70), 60, static_cast<uint8_t>(1 + i % 2)});
        return fpmatch::samples::MakeIsoRecord(m, 60);
    };
    const std::vector<Bytes> templates = {crowd(1, 6), crowd(2, 6), crowd(3, 9), crowd(4, 4)};
    using Chosen = std::multiset<std::tuple<int32_t, int32_t, int32_t>>;  // slots and pair score
    auto add = [](Chosen& to, const BasePair& b) { to.emplace(b.probeIndex, b.galleryIndex, b.pairScore); };
    std::set<int32_t> scores;
    for (const Bytes& a : templates)
        for (const Bytes& b : templates) {
            const int32_t want = StagePipeline(a, b);
            scores.insert(want);
            for (int p : AvailablePaths()) {
                const Scores s = AllPaths(a, b, p);
                ASSERT_TRUE(AllEqual(s, want))
                    << "on " << fpmatch::detail::PathName(p) << ": stage pipeline " << want << ", " << Describe(s);
            }
            // The base pairs and their pair scores, the exported selection's
            // against the fast walk's (ExplainMatch runs it).
            fpmatch::test::OwnedFeatureSet pf, gf;
            ASSERT_EQ(DecodeFeature(a.data(), &pf.fs), FPMATCH_DECODED);
            Minutia scratch[FPMATCH_MAX_MINUTIAE];
            MinutiaMoveTop(&pf.fs, pf.fs.minutiae, scratch);
            ASSERT_EQ(DecodeFeature(b.data(), &gf.fs), FPMATCH_DECODED);
            BasePair selected[3] = {};
            Chosen stage, walked;
            for (int32_t k = CalcBasePair(&pf.fs, &gf.fs, selected) - 1; k >= 0; --k) add(stage, selected[k]);
            auto explained = std::make_unique<MatchExplanation>();
            ASSERT_EQ(ExplainMatch(a.data(), b.data(), explained.get()), want);
            for (int32_t k = 0; k < explained->basePairCount; ++k) add(walked, explained->alignments[k].basePair);
            EXPECT_EQ(walked, stage);
        }
    EXPECT_GE(scores.size(), 4u) << "the crowds score alike";
}

// ------------------------------------------------------------------ FVC

struct FvcSet {
    std::vector<std::string> names;
    std::vector<Bytes> raw, adapted;
    std::vector<size_t> databaseStart;  // index of the first template of each database
};

FvcSet LoadFvcSet() {
    FvcSet set;
    std::string current;
    for (auto& t : fpmatch::test::LoadFvc()) {
        if (t.database != current) {
            current = t.database;
            set.databaseStart.push_back(set.names.size());
        }
        set.names.push_back(t.database + "/" + t.path.filename().stem().string());
        Bytes a(t.bytes.size());
        const int32_t n = AdaptIsoRecord(t.bytes.data(), t.bytes.size(), a.data(), a.size());
        a.resize(n > 0 ? static_cast<size_t>(n) : 0);
        set.raw.push_back(t.bytes);
        set.adapted.push_back(a);
    }
    set.databaseStart.push_back(set.names.size());
    return set;
}

// The FVC2002 corpus: "DBn_B/name raw|adapted" -> scores against the
// database in file order.
std::map<std::string, std::vector<int32_t>> ReadFvcCorpus() {
    std::map<std::string, std::vector<int32_t>> expected;
    for (const std::string& line : ReadLines(kCorpusDir + "match_fvc2002.txt")) {
        std::istringstream in(line);
        std::string name, form;
        in >> name >> form;
        std::vector<int32_t> row;
        for (int32_t s; in >> s;) row.push_back(s);
        expected[name + " " + form] = row;
    }
    return expected;
}

TEST(FrozenScores, StagePipelineGivesTheFvcCorpus) {
    if (Writing()) GTEST_SKIP() << "writing the corpus";
    const FvcSet fvc = LoadFvcSet();
    if (fvc.names.empty()) GTEST_SKIP() << "FVC2002 templates not found beside the checkout";
    const auto expected = ReadFvcCorpus();
    ASSERT_EQ(expected.size(), 2 * fvc.names.size());
    int positive = 0;
    for (size_t d = 0; d + 1 < fvc.databaseStart.size(); ++d) {
        const size_t lo = fvc.databaseStart[d], hi = fvc.databaseStart[d + 1];
        for (int form = 0; form < 2; ++form) {
            const auto& forms = form ? fvc.adapted : fvc.raw;
            for (size_t p = lo; p < hi; ++p) {
                const std::string key = fvc.names[p] + (form ? " adapted" : " raw");
                const auto& want = expected.at(key);
                ASSERT_EQ(want.size(), hi - lo) << key;
                for (size_t g = lo; g < hi; ++g) {
                    ASSERT_EQ(StagePipeline(forms[p], forms[g]), want[g - lo])
                        << "first differing case " << key << " vs " << fvc.names[g];
                    if (want[g - lo] > 0) ++positive;
                }
            }
        }
    }
    EXPECT_GT(positive, 51200 / 3);
}

TEST(FrozenScores, FvcOrderedPairsOnEveryPath) {
    const FvcSet fvc = LoadFvcSet();
    if (fvc.names.empty()) GTEST_SKIP() << "FVC2002 templates not found beside the checkout";
    const std::string path = kCorpusDir + "match_fvc2002.txt";
    // One line per probe and form: the probe's scores against every template
    // of its database, in file order.
    auto rowScores = [&](const std::vector<Bytes>& forms, size_t probe, size_t lo, size_t hi) {
        std::vector<int32_t> row;
        for (size_t g = lo; g < hi; ++g) row.push_back(Match2Score(forms[probe].data(), forms[g].data()));
        return row;
    };
    if (Writing()) {
        std::ofstream out(path);
        out << "# Match2Score of every ordered pair within each FVC2002 database: probe, form (raw or\n"
               "# adapted), then its score against every template of the database in file order.\n";
        for (size_t d = 0; d + 1 < fvc.databaseStart.size(); ++d)
            for (size_t p = fvc.databaseStart[d]; p < fvc.databaseStart[d + 1]; ++p)
                for (int form = 0; form < 2; ++form) {
                    out << fvc.names[p] << (form ? " adapted" : " raw");
                    for (int32_t s : rowScores(form ? fvc.adapted : fvc.raw, p, fvc.databaseStart[d],
                                               fvc.databaseStart[d + 1]))
                        out << ' ' << s;
                    out << '\n';
                }
        GTEST_SKIP() << "corpus written to " << path;
    }
    const auto expected = ReadFvcCorpus();
    ASSERT_EQ(expected.size(), 2 * fvc.names.size()) << path;

    ReportPaths();
    const auto paths = AvailablePaths();
    for (size_t d = 0; d + 1 < fvc.databaseStart.size(); ++d) {
        const size_t lo = fvc.databaseStart[d], hi = fvc.databaseStart[d + 1];
        for (int form = 0; form < 2; ++form) {
            const auto& forms = form ? fvc.adapted : fvc.raw;
            // The database as one list at a fixed stride, for the list calls,
            // and as compact records in slots of the largest record's length
            // (an undecodable template's slot stays zero: a damaged record).
            const size_t stride = 340;
            Bytes list(stride * (hi - lo), 0);
            for (size_t g = lo; g < hi; ++g) std::copy(forms[g].begin(), forms[g].end(), list.begin() + stride * (g - lo));
            std::vector<Bytes> compact;
            size_t slot = 16;
            for (size_t g = lo; g < hi; ++g) {
                compact.push_back(Compact(forms[g]));
                slot = std::max(slot, compact.back().size());
            }
            Bytes compactList(slot * (hi - lo), 0);
            for (size_t g = lo; g < hi; ++g)
                std::copy(compact[g - lo].begin(), compact[g - lo].end(), compactList.begin() + slot * (g - lo));
            for (size_t p = lo; p < hi; ++p) {
                const std::string key = fvc.names[p] + (form ? " adapted" : " raw");
                const auto& want = expected.at(key);
                ASSERT_EQ(want.size(), hi - lo) << key;
                auto pp = std::make_unique<PreparedProbe>();
                const bool usable = PrepareProbe(forms[p].data(), pp.get()) == FPMATCH_DECODED;
                for (size_t g = lo; g < hi; ++g) {
                    const int32_t w = want[g - lo];
                    ASSERT_EQ(Match2Score(forms[p].data(), forms[g].data()), w)
                        << "first differing case " << key << " vs " << fvc.names[g] << ": Match2Score";
                    for (int path : paths) {
                        auto pg = std::make_unique<PreparedGallery>();
                        PrepareGallery(forms[g].data(), pg.get());
                        ASSERT_EQ(fpmatch::detail::MatchPreparedPairOnPath(pp.get(), pg.get(), path), w)
                            << "first differing case " << key << " vs " << fvc.names[g] << ": MatchPreparedPair on "
                            << fpmatch::detail::PathName(path);
                        ASSERT_EQ(fpmatch::detail::MatchPreparedOnPath(pp.get(), forms[g].data(), path), w)
                            << "first differing case " << key << " vs " << fvc.names[g] << ": MatchPrepared on "
                            << fpmatch::detail::PathName(path);
                        const Bytes& record = compact[g - lo];
                        ASSERT_EQ(fpmatch::detail::MatchPreparedCompactOnPath(pp.get(), record.data(), record.size(), path), w)
                            << "first differing case " << key << " vs " << fvc.names[g] << ": MatchPreparedCompact on "
                            << fpmatch::detail::PathName(path);
                    }
                }
                // The list outcomes and the ranked search over the database;
                // a probe that failed to prepare is refused by both.
                std::vector<int32_t> outcomes(hi - lo, -9);
                if (!usable) {
                    SearchHit hit{};
                    ASSERT_EQ(MatchPreparedList(pp.get(), list.data(), static_cast<int32_t>(stride), 0,
                                                static_cast<int32_t>(hi - lo), outcomes.data()),
                              -1);
                    ASSERT_EQ(SearchTopK(pp.get(), list.data(), static_cast<int32_t>(stride), 0, 1, 1, &hit), -1);
                    continue;
                }
                ASSERT_EQ(MatchPreparedList(pp.get(), list.data(), static_cast<int32_t>(stride), 0,
                                            static_cast<int32_t>(hi - lo), outcomes.data()),
                          static_cast<int32_t>(hi - lo));
                for (size_t g = lo; g < hi; ++g)
                    ASSERT_EQ(std::max(outcomes[g - lo], 0), want[g - lo])
                        << "first differing case " << key << " vs " << fvc.names[g] << ": MatchPreparedList";
                std::vector<int32_t> compactOutcomes(hi - lo, -9);
                ASSERT_EQ(MatchPreparedCompactList(pp.get(), compactList.data(), static_cast<int32_t>(slot), 0,
                                                   static_cast<int32_t>(hi - lo), compactOutcomes.data()),
                          static_cast<int32_t>(hi - lo));
                for (size_t g = lo; g < hi; ++g) {
                    // A template that does not decode has no record: its
                    // zero slot is damaged, where the template list says "not
                    // decoded"; both score 0.
                    const int32_t expectedOutcome = outcomes[g - lo] == FPMATCH_OUTCOME_NOT_DECODED
                                                        ? FPMATCH_OUTCOME_DAMAGED
                                                        : outcomes[g - lo];
                    ASSERT_EQ(compactOutcomes[g - lo], expectedOutcome)
                        << "first differing case " << key << " vs " << fvc.names[g] << ": MatchPreparedCompactList";
                }
                std::vector<SearchHit> ranked;
                for (size_t g = 0; g < want.size(); ++g) ranked.push_back({static_cast<int32_t>(g), want[g]});
                std::stable_sort(ranked.begin(), ranked.end(),
                                 [](const SearchHit& a, const SearchHit& b) { return a.score > b.score; });
                std::vector<SearchHit> hits(10);
                ASSERT_EQ(SearchTopK(pp.get(), list.data(), static_cast<int32_t>(stride), 0,
                                     static_cast<int32_t>(hi - lo), 10, hits.data()),
                          10);
                for (size_t h = 0; h < hits.size(); ++h)
                    ASSERT_TRUE(hits[h].index == ranked[h].index && hits[h].score == ranked[h].score)
                        << "first differing case " << key << ": SearchTopK hit " << h;
            }
        }
    }
}

}  // namespace
