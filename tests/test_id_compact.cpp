// Gallery files as only an old writer or a crafted file could make them.
// Compact records: parts written before galleries stored them are searched
// through their templates (alone, mixed with newer parts, and after
// compaction), and a compact record that does not read back, or is not its
// template's, is never trusted by a search and is reported by check.
// Subject numbers that contradict the subject ids are refused by whatever
// reads them.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "format.h"
#include "fpmatch_id.h"
#include "id_test_support.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace fpmatch::test;
namespace id = fpmatch::id;

namespace {

// Every live template's score for `probe`, by brute force over the
// gallery's own entries: "id:score" in ranking order (score descending,
// lower id first).
std::string Expected(FpmGallery* g, const Bytes& probe) {
    FpmGalleryStat st;
    EXPECT_EQ(FpmGalleryGetStat(g, &st), FPM_OK);
    std::vector<std::pair<int32_t, int64_t>> ranked;
    for (int64_t p = 0; p < st.entries; ++p) {
        FpmEntry e;
        EXPECT_EQ(FpmGalleryGetEntry(g, p, &e), FPM_OK);
        if (e.removed) continue;
        Bytes t(e.templateData, e.templateData + e.templateLength);
        t.resize(std::max<size_t>(t.size(), 512), 0);
        ranked.emplace_back(Match2Score(probe.data(), t.data()), e.id);
    }
    std::sort(ranked.begin(), ranked.end(), [](auto a, auto b) { return a.first != b.first ? a.first > b.first : a.second < b.second; });
    std::string out;
    for (auto [score, entry] : ranked) out += std::to_string(entry) + ":" + std::to_string(score) + "\n";
    return out;
}

std::string Found(FpmGallery* g, const Bytes& probe) {
    FpmSearchOptions o;
    FpmSearchOptionsInit(&o);
    o.top = 0;
    o.byEntry = 1;
    std::vector<FpmHit> hits(256);
    const int32_t n = FpmGalleryIdentify(g, probe.data(), probe.size(), &o, hits.data(), 256);
    EXPECT_GE(n, 0) << FpmLastErrorDetail();
    std::string out;
    for (int32_t k = 0; k < n; ++k) out += std::to_string(hits[k].entry) + ":" + std::to_string(hits[k].score) + "\n";
    return out;
}

std::vector<Bytes> LiveTemplates(FpmGallery* g) {
    FpmGalleryStat st;
    EXPECT_EQ(FpmGalleryGetStat(g, &st), FPM_OK);
    std::vector<Bytes> out;
    for (int64_t p = 0; p < st.entries; ++p) {
        FpmEntry e;
        EXPECT_EQ(FpmGalleryGetEntry(g, p, &e), FPM_OK);
        if (!e.removed) out.emplace_back(e.templateData, e.templateData + e.templateLength);
    }
    return out;
}

// What FpmGalleryGetStorage counts: findable templates, those with a
// compact record, those with a filter record.
std::array<int64_t, 3> Stored(FpmGallery* g) {
    FpmGalleryStorage s;
    EXPECT_EQ(FpmGalleryGetStorage(g, &s), FPM_OK) << FpmLastErrorDetail();
    return {s.templates, s.compactRecords, s.filterRecords};
}

// The first template part of a gallery file: its header offset and header.
std::pair<uint64_t, id::PartHeader> FirstPart(const Bytes& file) {
    id::PartHeader h;
    std::string why;
    EXPECT_TRUE(id::DecodePartHeader(file.data(), file.size(), id::kHeaderSize, &h, &why)) << why;
    return {id::kHeaderSize, h};
}

// Writes the part's body checksum and header again after an edit.
void Reseal(Bytes& file, uint64_t at, id::PartHeader h) {
    h.bodyChecksum = id::Checksum(file.data() + at + id::kPartHeaderSize, h.size - id::kPartHeaderSize);
    id::EncodePartHeader(h, file.data() + at);
}

// The bytes of a gallery of `corpus`, written in `dir` in one commit.
Bytes GalleryBytes(const TempDir& dir, const std::vector<Enrolment>& corpus) {
    const std::string path = dir.File("good.fpg");
    WriteGallery(path, corpus, 0);
    return ReadFile(path);
}

// `original` edited in its first part (header `h` at `at`), resealed,
// written in `dir` and opened in `mode`; null when it does not open.
FpmGallery* OpenEdited(const TempDir& dir, const Bytes& original, uint64_t at, const id::PartHeader& h,
                       const std::function<void(Bytes&)>& edit, int32_t mode) {
    Bytes file = original;
    edit(file);
    Reseal(file, at, h);
    const std::string path = dir.File("edited.fpg");
    WriteBytes(path, file);
    FpmGallery* g = nullptr;
    EXPECT_EQ(FpmGalleryOpen(path.c_str(), mode, &g), FPM_OK) << FpmLastErrorDetail();
    return g;
}

}  // namespace

TEST(IdCompact, PartsWithoutCompactRecordsSearchThroughTheirTemplates) {
    // Written by the library before galleries stored compact records: three
    // subjects, one removed.
    const fs::path fixture = fs::path(FPMATCH_SOURCE_DIR) / "tests/galleries/1.0-three-subjects-one-removed.fpg";
    TempDir dir;
    const std::string path = dir.File("old.fpg");
    fs::copy_file(fixture, path);
    {
        const auto [at, h] = FirstPart(ReadFile(path));
        ASSERT_EQ(h.Find(id::kSectionCompact), nullptr) << "the fixture predates compact records";
    }
    FpmGallery* g = nullptr;
    ASSERT_EQ(FpmGalleryOpen(path.c_str(), FPM_OPEN_WRITE, &g), FPM_OK) << FpmLastErrorDetail();
    ASSERT_EQ(FpmGalleryCheck(g), FPM_OK);
    std::vector<Bytes> probes = LiveTemplates(g);
    ASSERT_FALSE(probes.empty());
    for (const Bytes& p : probes) EXPECT_EQ(Found(g, p), Expected(g, p));
    const auto old = static_cast<int64_t>(probes.size());
    EXPECT_EQ(Stored(g), (std::array<int64_t, 3>{old, 0, 0})) << "1.0 stored neither record";
    // A newer part beside the old one, then both compacted into one part
    // that stores compact records for all.
    for (const Enrolment& e : GeneratedEnrolments(3, 2))
        ASSERT_EQ(FpmGalleryAdd(g, ("new-" + e.subject).c_str(), e.bytes.data(), e.bytes.size(), 0), FPM_OK);
    ASSERT_EQ(FpmGalleryCommit(g), FPM_OK);
    EXPECT_EQ(Stored(g), (std::array<int64_t, 3>{old + 6, 6, 6})) << "only the new part has records";
    probes = LiveTemplates(g);
    std::vector<std::string> before;
    for (const Bytes& p : probes) {
        before.push_back(Found(g, p));
        EXPECT_EQ(before.back(), Expected(g, p));
    }
    ASSERT_EQ(FpmGalleryCompact(g), FPM_OK);
    ASSERT_EQ(FpmGalleryCheck(g), FPM_OK) << FpmLastErrorDetail();
    for (size_t k = 0; k < probes.size(); ++k) EXPECT_EQ(Found(g, probes[k]), before[k]);
    EXPECT_EQ(Stored(g), (std::array<int64_t, 3>{old + 6, old + 6, old + 6})) << "compaction gives every template both";
    FpmGalleryStorage none;
    EXPECT_EQ(FpmGalleryGetStorage(nullptr, &none), FPM_E_ARGUMENT);
    EXPECT_EQ(FpmGalleryGetStorage(g, nullptr), FPM_E_ARGUMENT);
    FpmGalleryClose(g);
    const auto [at, h] = FirstPart(ReadFile(path));
    EXPECT_NE(h.Find(id::kSectionCompact), nullptr);
    EXPECT_NE(h.Find(id::kSectionCompactIndex), nullptr);
}

TEST(IdCompact, RecordsThatDoNotReadBackAreNotTrusted) {
    const auto corpus = GeneratedEnrolments(3, 2);
    TempDir dir;
    const std::string good = dir.File("good.fpg");
    const Bytes original = GalleryBytes(dir, corpus);
    const auto [at, h] = FirstPart(original);
    const id::Section* records = h.Find(id::kSectionCompact);
    const id::Section* index = h.Find(id::kSectionCompactIndex);
    ASSERT_NE(records, nullptr);
    ASSERT_NE(index, nullptr);
    const uint64_t rec = at + records->offset, idx = at + index->offset;
    auto offset = [&](Bytes& f, int k) { return f.data() + idx + 4 * static_cast<size_t>(k); };
    auto get = [&](Bytes& f, int k) { return static_cast<uint32_t>(id::LoadLe(offset(f, k), 4)); };
    auto set = [&](Bytes& f, int k, uint32_t v) { id::StoreLe(offset(f, k), v, 4); };

    std::vector<std::string> expected;
    {
        FpmGallery* g = nullptr;
        ASSERT_EQ(FpmGalleryOpen(good.c_str(), FPM_OPEN_READ, &g), FPM_OK);
        for (const Enrolment& e : corpus) {
            expected.push_back(Found(g, e.bytes));
            EXPECT_EQ(expected.back(), Expected(g, e.bytes));
        }
        FpmGalleryClose(g);
    }
    struct Row {
        const char* what;
        std::function<void(Bytes&)> edit;
        bool searchAlike;  // false: entry 0 now holds another template's valid record
    };
    const std::vector<Row> rows = {
        {"magic byte of record 0", [&](Bytes& f) { f[rec + get(f, 0)] ^= 0x40; }, true},
        {"the last record emptied by the index", [&](Bytes& f) { set(f, 5, get(f, 6)); }, true},
        {"record 1 cut one byte short", [&](Bytes& f) { set(f, 2, get(f, 2) - 1); }, true},
        {"record 0 starts past the records", [&](Bytes& f) { set(f, 0, static_cast<uint32_t>(records->size) + 8); }, true},
        {"entry 0 given record 1", [&](Bytes& f) { set(f, 0, get(f, 1)); set(f, 1, get(f, 2)); }, false},
    };
    for (const Row& row : rows) {
        FpmGallery* g = OpenEdited(dir, original, at, h, row.edit, FPM_OPEN_READ);
        ASSERT_NE(g, nullptr) << row.what;
        EXPECT_EQ(FpmGalleryCheck(g), FPM_E_DAMAGED) << row.what;
        EXPECT_NE(std::string(FpmLastErrorDetail()).find("compact record"), std::string::npos) << row.what;
        if (row.searchAlike) {
            for (size_t k = 0; k < corpus.size(); ++k) EXPECT_EQ(Found(g, corpus[k].bytes), expected[k]) << row.what;
        }
        FpmGalleryClose(g);
    }
}

// Two subjects under one number are refused wherever subjects are read; one
// id under two numbers wherever a subject is found by its id (counting the
// subjects does not hash the ids) and by check.
TEST(IdCrafted, SubjectNumbersThatContradictTheIds) {
    const auto corpus = GeneratedEnrolments(3, 2);  // s0 at entries 0-1, s1 at 2-3, s2 at 4-5
    TempDir dir;
    const Bytes original = GalleryBytes(dir, corpus);
    const auto [at, h] = FirstPart(original);
    const id::Section* directory = h.Find(id::kSectionDirectory);
    ASSERT_NE(directory, nullptr);
    auto record = [&](Bytes& f, int k) {
        return f.data() + at + directory->offset + id::kDirectoryRecordSize * static_cast<size_t>(k);
    };
    struct Row {
        const char* what;
        std::vector<int> entries;  // given s0's subject number (else its id)
        bool number;
        int32_t stat;              // FpmGalleryGetStat
        const char* fault;         // in the detail of every refusal
    };
    const std::vector<Row> rows = {
        {"s1's entry 2 under s0's number", {2}, true, FPM_E_DAMAGED, "two subjects share one number"},
        {"s1's entries under the id s0", {2, 3}, false, FPM_OK, "is stored under two numbers"},
    };
    for (const Row& row : rows) {
        auto edit = [&](Bytes& f) {
            const id::DirectoryRecord s0 = id::DecodeDirectoryRecord(record(f, 0));
            for (int k : row.entries) {
                id::DirectoryRecord r = id::DecodeDirectoryRecord(record(f, k));
                if (row.number) {
                    r.ordinal = s0.ordinal;
                } else {
                    r.nameOffset = s0.nameOffset;
                    r.nameLength = s0.nameLength;
                }
                id::EncodeDirectoryRecord(r, record(f, k));
            }
        };
        FpmGallery* g = OpenEdited(dir, original, at, h, edit, FPM_OPEN_WRITE);
        ASSERT_NE(g, nullptr) << row.what;
        FpmGalleryStat st{};
        EXPECT_EQ(FpmGalleryGetStat(g, &st), row.stat) << row.what;
        if (row.stat == FPM_OK) {
            EXPECT_EQ(st.subjects, 3) << row.what << ": counted by number";
        }
        const Bytes& probe = corpus[0].bytes;
        EXPECT_EQ(FpmGalleryVerify(g, "s0", probe.data(), probe.size(), 0, nullptr), FPM_E_DAMAGED) << row.what;
        EXPECT_NE(std::string(FpmLastErrorDetail()).find(row.fault), std::string::npos) << row.what;
        EXPECT_EQ(FpmGalleryRemove(g, "s0"), FPM_E_DAMAGED) << row.what;
        EXPECT_EQ(FpmGalleryCheck(g), FPM_E_DAMAGED) << row.what;
        EXPECT_NE(std::string(FpmLastErrorDetail()).find(row.fault), std::string::npos) << row.what;
        FpmGalleryClose(g);
    }
}
