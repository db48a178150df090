// The identification library against a brute-force Match2Score ranking, and
// the gallery file's rules: subjects, removal, compaction, locks, refresh,
// bad input, damage, version-1 files.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fpmatch_id.h"
#include "id_test_support.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace fpmatch::test;

namespace {

// Subjects with a few impressions each: the FVC2002 records (adapted) by
// database and finger, or generated fingers without them.
std::vector<Enrolment> Corpus(bool* real) {
    std::vector<Enrolment> out;
    for (const FvcTemplate& t : LoadFvc()) {
        Bytes a(t.bytes.size());
        const int32_t n = AdaptIsoRecord(t.bytes.data(), t.bytes.size(), a.data(), a.size());
        if (n <= 0) continue;
        a.resize(static_cast<size_t>(n));
        out.push_back({t.database + "/" + std::to_string(t.finger), a});
    }
    *real = !out.empty();
    if (out.empty()) out = GeneratedEnrolments(40, 4);
    return out;
}

std::vector<FpmHit> Identify(FpmGallery* g, const Bytes& probe, FpmSearchOptions o) {
    std::vector<FpmHit> hits(512);
    const int32_t n = FpmGalleryIdentify(g, probe.data(), probe.size(), &o, hits.data(), 512);
    EXPECT_GE(n, 0) << FpmLastErrorDetail();
    hits.resize(static_cast<size_t>(std::max(n, 0)));
    return hits;
}

}  // namespace

// Identification by subject and by template equals the brute-force ranking
// for every thread count, for ranges searched apart and merged, and for
// screening that keeps every template.
TEST(IdGallery, SearchEqualsBruteForce) {
    bool real = false;
    const auto corpus = Corpus(&real);
    TempDir dir;
    const std::string path = dir.File("g.fpg");
    // Impressions 1..4 enrolled (every other record of a subject ends up as a probe).
    std::vector<Enrolment> enrolled, probes;
    std::map<std::string, int> seen;
    for (const Enrolment& e : corpus) (seen[e.subject]++ < 4 ? enrolled : probes).push_back(e);
    WriteGallery(path, enrolled, /*commitEvery=*/37);
    FpmGallery* g = nullptr;
    ASSERT_EQ(FpmGalleryOpen(path.c_str(), FPM_OPEN_READ, &g), FPM_OK) << FpmLastErrorDetail();
    Model model;
    for (const Enrolment& e : enrolled) model.Add(e);
    for (size_t k = 0; k < probes.size(); k += real ? 23 : 7) {
        const Bytes& probe = probes[k].bytes;
        for (int32_t byEntry : {0, 1}) {
            FpmSearchOptions o;
            FpmSearchOptionsInit(&o);
            o.top = 7;
            o.byEntry = byEntry;
            const auto expected = model.Rank(probe, byEntry != 0, 7, 0);
            for (int32_t threads : {1, 2, 3}) {
                o.threads = threads;
                EXPECT_EQ(Describe(Identify(g, probe, o)), Describe(expected)) << "threads " << threads;
            }
            // Three ranges searched apart, merged.
            std::vector<FpmHit> parts;
            const int64_t n = static_cast<int64_t>(enrolled.size());
            for (int64_t first : {int64_t{0}, n / 3, 2 * n / 3}) {
                o.first = first;
                o.count = first == 2 * n / 3 ? -1 : n / 3;
                for (const FpmHit& h : Identify(g, probe, o)) parts.push_back(h);
            }
            std::vector<FpmHit> merged(7);
            ASSERT_EQ(FpmMergeHits(parts.data(), static_cast<int64_t>(parts.size()), !byEntry, 7, 0, merged.data(), 7), 7);
            EXPECT_EQ(Describe(merged), Describe(expected));
            o.first = 0;
            o.count = -1;
            o.screen = static_cast<int32_t>(n);
            EXPECT_EQ(Describe(Identify(g, probe, o)), Describe(expected)) << "screen keeping all";
        }
    }
    FpmGalleryClose(g);
}

// Removal takes a subject out of every search and reader; re-enrolment
// brings it back; compaction changes no result and no template id.
TEST(IdGallery, RemoveReAddCompact) {
    const auto corpus = GeneratedEnrolments(12, 3);
    TempDir dir;
    const std::string path = dir.File("g.fpg");
    WriteGallery(path, corpus, 0);
    FpmGallery* w = nullptr;
    ASSERT_EQ(FpmGalleryOpen(path.c_str(), FPM_OPEN_WRITE, &w), FPM_OK);
    FpmGallery* r = nullptr;
    ASSERT_EQ(FpmGalleryOpen(path.c_str(), FPM_OPEN_READ, &r), FPM_OK);
    const Bytes probe = corpus[4].bytes;  // subject s1's second impression
    FpmSearchOptions o;
    FpmSearchOptionsInit(&o);
    o.top = 0;
    const auto before = Identify(r, probe, o);
    ASSERT_EQ(before.front().subject, std::string("s1"));
    EXPECT_EQ(FpmGalleryRemove(w, "s1"), 3);
    EXPECT_EQ(FpmGalleryRemove(w, "s1"), FPM_E_UNKNOWN_SUBJECT);
    EXPECT_EQ(Identify(w, probe, o).front().subject, std::string("s1")) << "visible before commit";
    ASSERT_EQ(FpmGalleryCommit(w), FPM_OK);
    auto without = before;
    std::erase_if(without, [](const FpmHit& h) { return std::string(h.subject) == "s1"; });
    EXPECT_EQ(Describe(Identify(w, probe, o)), Describe(without));
    EXPECT_EQ(Describe(Identify(r, probe, o)), Describe(before)) << "a reader keeps its state until refresh";
    EXPECT_EQ(FpmGalleryRefresh(r), 1);
    EXPECT_EQ(Describe(Identify(r, probe, o)), Describe(without));
    EXPECT_EQ(FpmGalleryVerify(r, "s1", probe.data(), probe.size(), 0, nullptr), FPM_E_UNKNOWN_SUBJECT);
    for (int64_t p = 0; p < 3 * 12; ++p) {
        FpmEntry e;
        ASSERT_EQ(FpmGalleryGetEntry(r, p, &e), FPM_OK);
        EXPECT_EQ(e.removed, std::string(e.subject) == "s1") << p;
    }
    // Compaction: same hits, same ids; the reader follows the rename.
    ASSERT_EQ(FpmGalleryCompact(w), FPM_OK);
    FpmGalleryStat st;
    ASSERT_EQ(FpmGalleryGetStat(w, &st), FPM_OK);
    EXPECT_EQ(st.entries, 33);
    EXPECT_EQ(st.removed, 0);
    EXPECT_EQ(st.subjects, 11);
    EXPECT_EQ(st.nextId, 36) << "compaction keeps the next id";
    EXPECT_EQ(Describe(Identify(w, probe, o)), Describe(without));
    EXPECT_EQ(FpmGalleryRefresh(r), 1);
    EXPECT_EQ(Describe(Identify(r, probe, o)), Describe(without));
    EXPECT_EQ(FpmGalleryCheck(r), FPM_OK) << FpmLastErrorDetail();
    // Re-enrolled under the same id: found again, with a new template id.
    ASSERT_EQ(FpmGalleryAdd(w, "s1", corpus[3].bytes.data(), corpus[3].bytes.size(), 0), FPM_OK);
    ASSERT_EQ(FpmGalleryCommit(w), FPM_OK);
    FpmHit best{};
    EXPECT_EQ(FpmGalleryVerify(w, "s1", probe.data(), probe.size(), 0, &best),
              Match2Score(probe.data(), corpus[3].bytes.data()));
    EXPECT_EQ(best.entry, 36);
    FpmGalleryClose(r);
    FpmGalleryClose(w);
}

// Subjects whose templates lie between other subjects' (enrolled round by
// round, one removed in between): each subject keeps exactly its own live
// templates, in the readers, verification and removal.
TEST(IdGallery, InterleavedSubjectsKeepTheirTemplates) {
    std::vector<Enrolment> corpus;
    for (int round = 1; round <= 3; ++round)
        for (int s = 0; s <= round; ++s)
            corpus.push_back({"s" + std::to_string(s), fpmatch::samples::MakeDemoTemplate(s + 1, round, false, true)});
    // s0 at positions 0, 2, 5; s1 at 1, 3, 6; s2 at 4, 7; s3 at 8.
    TempDir dir;
    const std::string path = dir.File("g.fpg");
    WriteGallery(path, corpus, 4);
    FpmGallery* w = nullptr;
    ASSERT_EQ(FpmGalleryOpen(path.c_str(), FPM_OPEN_WRITE, &w), FPM_OK);
    ASSERT_EQ(FpmGalleryRemove(w, "s2"), 2);
    ASSERT_EQ(FpmGalleryAdd(w, "s2", corpus[4].bytes.data(), corpus[4].bytes.size(), 0), FPM_OK);
    ASSERT_EQ(FpmGalleryCommit(w), FPM_OK);  // s2 now only at position 9
    const std::map<std::string, std::vector<size_t>> live = {
        {"s0", {0, 2, 5}}, {"s1", {1, 3, 6}}, {"s2", {4}}, {"s3", {8}}};
    const Bytes probe = fpmatch::samples::MakeDemoTemplate(2, 4, false, true);  // s1's finger, a new impression
    for (int64_t k = 0; k < 4; ++k) {
        char subject[FPM_SUBJECT_MAX + 1];
        int32_t templates = 0;
        ASSERT_EQ(FpmGalleryGetSubject(w, k, subject, &templates), FPM_OK);
        const std::vector<size_t>& own = live.at(subject);  // of the enrolment list
        EXPECT_EQ(templates, static_cast<int32_t>(own.size())) << subject;
        int32_t best = 0;
        for (size_t i : own) best = std::max(best, Match2Score(probe.data(), corpus[i].bytes.data()));
        EXPECT_EQ(FpmGalleryVerify(w, subject, probe.data(), probe.size(), 0, nullptr), best) << subject;
    }
    EXPECT_EQ(FpmGalleryRemove(w, "s0"), 3);
    FpmGalleryClose(w);
}

// A batch is all or nothing: discarded, or removed before its commit.
TEST(IdGallery, PendingBatch) {
    const auto corpus = GeneratedEnrolments(3, 2);
    TempDir dir;
    const std::string path = dir.File("g.fpg");
    FpmGallery* w = nullptr;
    ASSERT_EQ(FpmGalleryCreate(path.c_str(), &w), FPM_OK);
    for (const auto& e : corpus) ASSERT_EQ(FpmGalleryAdd(w, e.subject.c_str(), e.bytes.data(), e.bytes.size(), 0), FPM_OK);
    EXPECT_EQ(FpmGalleryRemove(w, "s2"), 2) << "pending adds are removed too";
    ASSERT_EQ(FpmGalleryCommit(w), FPM_OK);
    FpmGalleryStat st;
    ASSERT_EQ(FpmGalleryGetStat(w, &st), FPM_OK);
    EXPECT_EQ(st.templates, 4);
    EXPECT_EQ(st.subjects, 2);
    EXPECT_EQ(st.nextId, 4) << "ids are given at commit, to what is committed";
    ASSERT_EQ(FpmGalleryAdd(w, "s9", corpus[0].bytes.data(), corpus[0].bytes.size(), 0), FPM_OK);
    EXPECT_EQ(FpmGalleryCompact(w), FPM_E_PENDING);
    ASSERT_EQ(FpmGalleryDiscard(w), FPM_OK);
    ASSERT_EQ(FpmGalleryCommit(w), FPM_OK);
    ASSERT_EQ(FpmGalleryGetStat(w, &st), FPM_OK);
    EXPECT_EQ(st.templates, 4);
    EXPECT_EQ(st.commit, 2u);
    FpmGalleryClose(w);
}

// One writer: a second writer, in this process or another, is refused;
// readers are not.
TEST(IdGallery, OneWriter) {
    TempDir dir;
    const std::string path = dir.File("g.fpg");
    FpmGallery* w = nullptr;
    ASSERT_EQ(FpmGalleryCreate(path.c_str(), &w), FPM_OK);
    FpmGallery* other = nullptr;
    EXPECT_EQ(FpmGalleryOpen(path.c_str(), FPM_OPEN_WRITE, &other), FPM_E_LOCKED);
    EXPECT_EQ(FpmGalleryCreate(path.c_str(), &other), FPM_E_EXISTS);
    const pid_t child = fork();
    if (child == 0) {
        FpmGallery* g = nullptr;
        const int rc = FpmGalleryOpen(path.c_str(), FPM_OPEN_WRITE, &g);
        const int rr = FpmGalleryOpen(path.c_str(), FPM_OPEN_READ, &g);
        _exit(rc == FPM_E_LOCKED && rr == FPM_OK ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    FpmGallery* r = nullptr;
    ASSERT_EQ(FpmGalleryOpen(path.c_str(), FPM_OPEN_READ, &r), FPM_OK);
    EXPECT_EQ(FpmGalleryAdd(r, "a", nullptr, 0, 0), FPM_E_READ_ONLY);
    FpmGalleryClose(r);
    FpmGalleryClose(w);
    ASSERT_EQ(FpmGalleryOpen(path.c_str(), FPM_OPEN_WRITE, &other), FPM_OK) << "the lock goes with the handle";
    FpmGalleryClose(other);
}

// Bad subject ids, bad templates and unknown subjects: a code, and nothing
// written.
TEST(IdGallery, RefusalsWriteNothing) {
    const auto corpus = GeneratedEnrolments(2, 1);
    TempDir dir;
    const std::string path = dir.File("g.fpg");
    WriteGallery(path, corpus, 0);
    const Bytes fileBefore = ReadFile(path);
    FpmGallery* w = nullptr;
    ASSERT_EQ(FpmGalleryOpen(path.c_str(), FPM_OPEN_WRITE, &w), FPM_OK);
    const Bytes& good = corpus[0].bytes;
    const std::string tooLong(256, 'x');
    struct Row {
        const char* what;
        std::string subject;
        Bytes tmpl;
        int32_t flags;
        int32_t code;
    };
    Bytes truncated(good.begin(), good.begin() + 30);
    Bytes badVersion = NativeHeader(10);
    badVersion[0] = 2;
    const std::vector<Row> rows = {
        {"empty id", "", good, 0, FPM_E_SUBJECT},
        {"256-byte id", tooLong, good, 0, FPM_E_SUBJECT},
        {"255-byte id", std::string(255, 'x'), good, 0, FPM_OK},
        {"invalid UTF-8", "a\xff", good, 0, FPM_E_SUBJECT},
        {"overlong UTF-8", "\xc0\xaf", good, 0, FPM_E_SUBJECT},
        {"surrogate", "\xed\xa0\x80", good, 0, FPM_E_SUBJECT},
        {"control byte", "a\nb", good, 0, FPM_E_SUBJECT},
        {"UTF-8 letters", "J\xc3\xbcrgen \xe5\xbc\xa0", good, 0, FPM_OK},
        {"truncated template", "t", truncated, 0, FpmFromCoreCode(FPM_FAMILY_TEMPLATE, FPMATCH_TRUNCATED)},
        {"native version 2", "t", badVersion, 0, FpmFromCoreCode(FPM_FAMILY_TEMPLATE, FPMATCH_BAD_VERSION)},
        {"adapting a bad ISO record", "t", Bytes{'F', 'M', 'R', 0, 1}, FPM_ADD_ADAPT,
         FpmFromCoreCode(FPM_FAMILY_ADAPT, FPMATCH_ADAPT_TRUNCATED)},
        {"unknown flag", "t", good, 8, FPM_E_ARGUMENT},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(FpmGalleryAdd(w, row.subject.c_str(), row.tmpl.data(), row.tmpl.size(), row.flags), row.code)
            << row.what;
        EXPECT_STRNE(FpmCodeText(row.code), "unknown code") << row.what;
    }
    EXPECT_EQ(FpmGalleryRemove(w, "nobody"), FPM_E_UNKNOWN_SUBJECT);
    ASSERT_EQ(FpmGalleryDiscard(w), FPM_OK);
    ASSERT_EQ(FpmGalleryCommit(w), FPM_OK);
    FpmGalleryClose(w);
    EXPECT_EQ(ReadFile(path), fileBefore);
}

// Every single bit flipped in a committed byte is refused by open or by
// check, which names the part.
TEST(IdGallery, EveryFlippedBitIsFound) {
    const auto corpus = GeneratedEnrolments(2, 1);
    TempDir dir;
    const std::string path = dir.File("g.fpg");
    WriteGallery(path, corpus, 1);
    {
        FpmGallery* w = nullptr;
        ASSERT_EQ(FpmGalleryOpen(path.c_str(), FPM_OPEN_WRITE, &w), FPM_OK);
        ASSERT_EQ(FpmGalleryRemove(w, "s0"), 1);
        ASSERT_EQ(FpmGalleryCommit(w), FPM_OK);
        FpmGalleryClose(w);
    }
    const Bytes original = ReadFile(path);
    const std::string damaged = dir.File("d.fpg");
    int refusedByOpen = 0;
    for (size_t at = 0; at < original.size(); ++at) {
        Bytes b = original;
        b[at] ^= static_cast<uint8_t>(1u << (at % 8));
        WriteBytes(damaged, b);
        FpmGallery* g = nullptr;
        const int32_t rc = FpmGalleryOpen(damaged.c_str(), FPM_OPEN_READ, &g);
        if (rc != FPM_OK) {
            ++refusedByOpen;
            EXPECT_NE(std::string(FpmLastErrorDetail()).find("d.fpg"), std::string::npos);
            continue;
        }
        EXPECT_EQ(FpmGalleryCheck(g), FPM_E_DAMAGED) << "byte " << at;
        FpmGalleryClose(g);
    }
    EXPECT_GT(refusedByOpen, 0);
    // Truncated anywhere: refused by open.
    for (size_t len : {size_t{0}, size_t{7}, size_t{100}, original.size() / 2, original.size() - 1}) {
        WriteBytes(damaged, Bytes(original.begin(), original.begin() + static_cast<ptrdiff_t>(len)));
        FpmGallery* g = nullptr;
        EXPECT_LT(FpmGalleryOpen(damaged.c_str(), FPM_OPEN_READ, &g), 0) << len;
    }
}

// Foreign files and folders are refused with a code of their own.
TEST(IdGallery, ForeignFiles) {
    TempDir dir;
    struct Row {
        const char* what;
        Bytes bytes;
        int32_t code;
    };
    const Bytes iso = GeneratedEnrolments(1, 1)[0].bytes;
    Bytes future = {0x89, 'F', 'P', 'G', '\r', '\n', 0x1a, '\n', 9, 0, 0, 0};
    const std::vector<Row> rows = {
        {"empty", {}, FPM_E_NOT_GALLERY},
        {"ISO record", iso, FPM_E_NOT_GALLERY},
        {"format version 9", future, FPM_E_VERSION},
    };
    for (const Row& r : rows) {
        WriteBytes(dir.File("x"), r.bytes);
        FpmGallery* g = nullptr;
        EXPECT_EQ(FpmGalleryOpen(dir.File("x").c_str(), FPM_OPEN_READ, &g), r.code) << r.what;
    }
    FpmGallery* g = nullptr;
    EXPECT_EQ(FpmGalleryOpen(dir.path.c_str(), FPM_OPEN_READ, &g), FPM_E_NOT_GALLERY);
    EXPECT_EQ(FpmGalleryOpen(dir.File("missing").c_str(), FPM_OPEN_READ, &g), FPM_E_NO_FILE);
}

// Galleries packed before subjects existed (format version 1) open
// read-only and search as before: each entry its own subject, named.
TEST(IdGallery, VersionOneGalleries) {
    const auto corpus = GeneratedEnrolments(6, 2);
    Bytes v1;
    std::vector<Bytes> templates;
    std::vector<std::string> names;
    for (size_t k = 0; k < corpus.size(); ++k) {
        templates.push_back(corpus[k].bytes);
        names.push_back("file" + std::to_string(k));
    }
    ASSERT_TRUE(AppendGallerySegment(v1, {templates.begin(), templates.begin() + 5}, {names.begin(), names.begin() + 5}, 328, true));
    ASSERT_TRUE(AppendGallerySegment(v1, {templates.begin() + 5, templates.end()}, {names.begin() + 5, names.end()}, 400, false));
    TempDir dir;
    const std::string path = dir.File("v1.fpg");
    WriteBytes(path, v1);
    FpmGallery* g = nullptr;
    ASSERT_EQ(FpmGalleryOpen(path.c_str(), FPM_OPEN_READ, &g), FPM_OK) << FpmLastErrorDetail();
    FpmGallery* w = nullptr;
    EXPECT_EQ(FpmGalleryOpen(path.c_str(), FPM_OPEN_WRITE, &w), FPM_E_READ_ONLY);
    const Bytes& probe = corpus[3].bytes;
    auto prepared = std::make_unique<PreparedProbe>();
    PrepareProbe(probe.data(), prepared.get());
    std::vector<SearchHit> expected(5);
    ASSERT_EQ(SearchGalleryTopK(prepared.get(), v1.data(), v1.size(), 0, 12, 5, expected.data()), 5);
    FpmSearchOptions o;
    FpmSearchOptionsInit(&o);
    o.top = 5;
    const auto hits = Identify(g, probe, o);
    ASSERT_EQ(hits.size(), 5u);
    for (size_t k = 0; k < 5; ++k) {
        EXPECT_EQ(hits[k].entry, expected[k].index);
        EXPECT_EQ(hits[k].score, expected[k].score);
        EXPECT_EQ(hits[k].subject, names[static_cast<size_t>(expected[k].index)]);
    }
    // Without filter records the screening runs on the short templates.
    o.top = 0;
    o.byEntry = 1;
    const auto all = Identify(g, probe, o);
    o.screen = 12;
    EXPECT_EQ(Describe(Identify(g, probe, o)), Describe(all));
    EXPECT_EQ(FpmGalleryCheck(g), FPM_OK);
    FpmGalleryStat st;
    ASSERT_EQ(FpmGalleryGetStat(g, &st), FPM_OK);
    EXPECT_EQ(st.version, 1);
    EXPECT_EQ(st.nextId, 12) << "ids are positions";
    FpmGalleryClose(g);
}

// Texts: every code has one, core codes keep their own meaning.
TEST(IdGallery, CodeTexts) {
    for (int32_t c = FPM_E_NOT_SCREENABLE; c <= FPM_OK; ++c) EXPECT_STRNE(FpmCodeText(c), "unknown code") << c;
    for (int32_t k = 1; k <= 4; ++k) EXPECT_STRNE(FpmCodeText(FpmFromCoreCode(FPM_FAMILY_TEMPLATE, k)), "unknown code");
    for (int32_t c = -14; c <= -1; ++c) EXPECT_STRNE(FpmCodeText(FpmFromCoreCode(FPM_FAMILY_GALLERY, c)), "unknown code");
    for (int32_t c = -11; c <= -1; ++c) EXPECT_STRNE(FpmCodeText(FpmFromCoreCode(FPM_FAMILY_ADAPT, c)), "unknown code");
    for (int32_t c = -7; c <= -1; ++c) EXPECT_STRNE(FpmCodeText(FpmFromCoreCode(FPM_FAMILY_WRITE, c)), "unknown code");
    EXPECT_STREQ(FpmCodeText(-99), "unknown code");
    EXPECT_EQ(FpmFromCoreCode(9, -1), FPM_E_ARGUMENT);
}

TEST(IdGallery, SubjectFromPath) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"DB1_B/101_3.iso", "DB1_B/101"},
        {"/data/fvc/DB1_B/101_3.iso", "DB1_B/101"},
        {"101_3.iso", "101"},
        {"./x/alice.iso", "x/alice"},
        {"a_b_c.tpl", "a_b"},
    };
    for (const auto& [path, subject] : rows) {
        char out[FPM_SUBJECT_MAX + 1];
        ASSERT_EQ(FpmSubjectFromPath(path.c_str(), out), static_cast<int32_t>(subject.size())) << path;
        EXPECT_EQ(std::string(out), subject);
    }
}

// Two-stage search with the stored filter records: on FVC2002 (impressions
// 1-4 of every finger enrolled, 5-8 as probes, adapted), comparing a tenth
// of the gallery in full keeps the full search's first subject for 156 of
// the 159 probes whose first subject is their own finger (the data is fixed,
// so the counts are exact).
TEST(IdGallery, ScreeningKeepsTheTrueFirstHits) {
    FPMATCH_REQUIRE_FVC(fvc);
    std::vector<Enrolment> enrolled, probes;
    for (const FvcTemplate& t : fvc) {
        Bytes a(t.bytes.size());
        a.resize(static_cast<size_t>(AdaptIsoRecord(t.bytes.data(), t.bytes.size(), a.data(), a.size())));
        (t.impression <= 4 ? enrolled : probes).push_back({t.database + "/" + std::to_string(t.finger), a});
    }
    TempDir dir;
    const std::string path = dir.File("g.fpg");
    WriteGallery(path, enrolled, 0);
    FpmGallery* g = nullptr;
    ASSERT_EQ(FpmGalleryOpen(path.c_str(), FPM_OPEN_READ, &g), FPM_OK);
    int mates = 0, kept = 0;
    for (const Enrolment& p : probes) {
        FpmSearchOptions o;
        FpmSearchOptionsInit(&o);
        o.top = 1;
        const auto full = Identify(g, p.bytes, o);
        if (full.empty() || full[0].subject != p.subject) continue;
        ++mates;
        o.screen = static_cast<int32_t>(enrolled.size() / 10);
        const auto screened = Identify(g, p.bytes, o);
        kept += !screened.empty() && Describe(screened) == Describe(full);
    }
    RecordProperty("mates", mates);
    RecordProperty("kept", kept);
    EXPECT_EQ(mates, 159);
    EXPECT_EQ(kept, 156);
    FpmGalleryClose(g);
}
