// FpmGalleryIdentifyBatch against one FpmGalleryIdentify per probe: the same
// hits and per-probe codes for every option that changes a search, in
// galleries with and without compact records, and whole-call refusals.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "fpmatch_id.h"
#include "id_test_support.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace fpmatch::test;

namespace {

// What one search per probe gives: the hits described, or the probe's code.
std::vector<std::string> OneByOne(FpmGallery* g, const std::vector<Bytes>& probes, const FpmSearchOptions& o,
                                  int32_t capacity) {
    std::vector<std::string> out;
    for (const Bytes& p : probes) {
        std::vector<FpmHit> hits(static_cast<size_t>(capacity));
        const int32_t n = FpmGalleryIdentify(g, p.data(), p.size(), &o, hits.data(), capacity);
        hits.resize(static_cast<size_t>(std::max(n, 0)));
        out.push_back(n < 0 ? "code " + std::to_string(n) : Describe(hits));
    }
    return out;
}

std::vector<std::string> Batched(FpmGallery* g, const std::vector<Bytes>& probes, const FpmSearchOptions& o,
                                 int32_t capacity) {
    std::vector<const uint8_t*> data;
    std::vector<size_t> lengths;
    for (const Bytes& p : probes) {
        data.push_back(p.data());
        lengths.push_back(p.size());
    }
    std::vector<FpmHit> hits(probes.size() * static_cast<size_t>(capacity));
    std::vector<int32_t> counts(probes.size(), 12345);
    EXPECT_EQ(FpmGalleryIdentifyBatch(g, data.data(), lengths.data(), static_cast<int32_t>(probes.size()), &o, hits.data(),
                                      capacity, counts.data()),
              FPM_OK)
        << FpmLastErrorDetail();
    std::vector<std::string> out;
    for (size_t k = 0; k < probes.size(); ++k) {
        const auto at = hits.begin() + static_cast<ptrdiff_t>(k * static_cast<size_t>(capacity));
        out.push_back(counts[k] < 0 ? "code " + std::to_string(counts[k])
                                    : Describe(std::vector<FpmHit>(at, at + counts[k])));
    }
    return out;
}

FpmSearchOptions Options(void (*edit)(FpmSearchOptions&)) {
    FpmSearchOptions o;
    FpmSearchOptionsInit(&o);
    edit(o);
    return o;
}

}  // namespace

// 70 probes (more than one core batch) with a broken one among them, over
// a gallery of several parts: each probe's hits equal its own search, for
// every row of options.
TEST(IdBatch, EachProbeGetsItsOwnSearch) {
    const auto corpus = GeneratedEnrolments(30, 3);
    TempDir dir;
    const std::string path = dir.File("g.fpg");
    WriteGallery(path, corpus, /*commitEvery=*/31);
    FpmGallery* g = nullptr;
    ASSERT_EQ(FpmGalleryOpen(path.c_str(), FPM_OPEN_READ, &g), FPM_OK) << FpmLastErrorDetail();
    std::vector<Bytes> probes;
    for (size_t k = 0; probes.size() < 70; ++k) probes.push_back(corpus[k % corpus.size()].bytes);
    probes[33] = Bytes(512, 0xff);  // not a template: its own code, the others unaffected
    struct Row {
        const char* what;
        FpmSearchOptions options;
        int32_t capacity;
    };
    const std::vector<Row> rows = {
        {"by subject, top 5, 1 thread", Options([](FpmSearchOptions& o) { o.top = 5; o.threads = 1; }), 5},
        {"by subject, top 5, 2 threads", Options([](FpmSearchOptions& o) { o.top = 5; o.threads = 2; }), 5},
        {"by template, all, capacity 12", Options([](FpmSearchOptions& o) { o.top = 0; o.byEntry = 1; }), 12},
        {"threshold 30", Options([](FpmSearchOptions& o) { o.threshold = 30; }), 10},
        {"positions 20..59", Options([](FpmSearchOptions& o) { o.first = 20; o.count = 40; }), 10},
        {"a range past the end", Options([](FpmSearchOptions& o) { o.first = 1000; }), 10},
        {"screening 8 candidates", Options([](FpmSearchOptions& o) { o.screen = 8; }), 10},
        {"capacity 0", Options([](FpmSearchOptions&) {}), 0},
    };
    for (const Row& row : rows) {
        const auto expected = OneByOne(g, probes, row.options, row.capacity);
        EXPECT_EQ(expected[33], "code " + std::to_string(FpmFromCoreCode(FPM_FAMILY_TEMPLATE, CheckTemplate(probes[33].data(), 512))))
            << row.what;
        EXPECT_EQ(Batched(g, probes, row.options, row.capacity), expected) << row.what;
    }
    FpmGalleryClose(g);
}

// A gallery written before compact records (searched through its
// templates), then with a newer part that has them.
TEST(IdBatch, PartsWithAndWithoutCompactRecords) {
    TempDir dir;
    const std::string path = dir.File("old.fpg");
    fs::copy_file(fs::path(FPMATCH_SOURCE_DIR) / "tests/galleries/1.0-three-subjects-one-removed.fpg", path);
    FpmGallery* g = nullptr;
    ASSERT_EQ(FpmGalleryOpen(path.c_str(), FPM_OPEN_WRITE, &g), FPM_OK) << FpmLastErrorDetail();
    const auto fresh = GeneratedEnrolments(3, 2);
    std::vector<Bytes> probes;
    for (const Enrolment& e : fresh) probes.push_back(e.bytes);
    const FpmSearchOptions o = Options([](FpmSearchOptions& o) { o.top = 0; o.byEntry = 1; });
    EXPECT_EQ(Batched(g, probes, o, 20), OneByOne(g, probes, o, 20)) << "templates only";
    for (const Enrolment& e : fresh)
        ASSERT_EQ(FpmGalleryAdd(g, ("new-" + e.subject).c_str(), e.bytes.data(), e.bytes.size(), 0), FPM_OK);
    ASSERT_EQ(FpmGalleryCommit(g), FPM_OK);
    EXPECT_EQ(Batched(g, probes, o, 20), OneByOne(g, probes, o, 20)) << "mixed parts";
    FpmGalleryClose(g);
}

TEST(IdBatch, RefusalsOfTheWholeCall) {
    const auto corpus = GeneratedEnrolments(2, 2);
    TempDir dir;
    const std::string path = dir.File("g.fpg");
    WriteGallery(path, corpus, 0);
    FpmGallery* g = nullptr;
    ASSERT_EQ(FpmGalleryOpen(path.c_str(), FPM_OPEN_READ, &g), FPM_OK);
    const uint8_t* data[1] = {corpus[0].bytes.data()};
    const size_t lengths[1] = {corpus[0].bytes.size()};
    FpmHit hits[4];
    int32_t counts[1];
    const FpmSearchOptions ok = Options([](FpmSearchOptions&) {});
    const FpmSearchOptions badTop = Options([](FpmSearchOptions& o) { o.top = -1; });
    struct Row {
        const char* what;
        FpmGallery* gallery;
        const uint8_t* const* probes;
        const size_t* lengths;
        int32_t count;
        const FpmSearchOptions* options;
        FpmHit* hits;
        int32_t* counts;
        int32_t code;
    };
    const std::vector<Row> rows = {
        {"one probe", g, data, lengths, 1, &ok, hits, counts, FPM_OK},
        {"no probes, null lists", g, nullptr, nullptr, 0, &ok, nullptr, nullptr, FPM_OK},
        {"no gallery", nullptr, data, lengths, 1, &ok, hits, counts, FPM_E_ARGUMENT},
        {"no options", g, data, lengths, 1, nullptr, hits, counts, FPM_E_ARGUMENT},
        {"a negative count", g, data, lengths, -1, &ok, hits, counts, FPM_E_ARGUMENT},
        {"no probe list", g, nullptr, lengths, 1, &ok, hits, counts, FPM_E_ARGUMENT},
        {"no lengths", g, data, nullptr, 1, &ok, hits, counts, FPM_E_ARGUMENT},
        {"no hits", g, data, lengths, 1, &ok, nullptr, counts, FPM_E_ARGUMENT},
        {"no counts", g, data, lengths, 1, &ok, hits, nullptr, FPM_E_ARGUMENT},
        {"an option out of range", g, data, lengths, 1, &badTop, hits, counts, FPM_E_ARGUMENT},
    };
    for (const Row& r : rows)
        EXPECT_EQ(FpmGalleryIdentifyBatch(r.gallery, r.probes, r.lengths, r.count, r.options, r.hits, 4, r.counts), r.code)
            << r.what;
    // Only refused probes: the call succeeds, each probe has its code.
    const Bytes bad(512, 0xff);
    const uint8_t* refused[2] = {bad.data(), bad.data()};
    const size_t badLengths[2] = {bad.size(), 3};
    int32_t codes[2] = {0, 0};
    FpmHit room[8];
    ASSERT_EQ(FpmGalleryIdentifyBatch(g, refused, badLengths, 2, &ok, room, 4, codes), FPM_OK);
    EXPECT_EQ(codes[0], FpmFromCoreCode(FPM_FAMILY_TEMPLATE, CheckTemplate(bad.data(), bad.size())));
    EXPECT_EQ(codes[1], FpmFromCoreCode(FPM_FAMILY_TEMPLATE, CheckTemplate(bad.data(), 3)));
    FpmGalleryClose(g);
}
