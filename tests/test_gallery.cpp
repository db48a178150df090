// Packed galleries: the ranked search over a gallery equals a brute-force
// ranking built from Match2Score (FVC2002 and synthetic templates, across
// segment boundaries, split ranges merged); entries read back as written;
// an append that has not yet rewritten the file header leaves the old
// gallery readable; every damaged buffer is refused with its own code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using fpmatch::test::Bytes;

struct Item {
    Bytes tmpl;
    std::string name;
};

struct SegmentSpec {
    std::vector<Item> items;
    int32_t stride = FPMATCH_GALLERY_MIN_STRIDE;
    bool shorts = false;
};

using fpmatch::test::ShortTemplateOf;

void Append(Bytes& g, const SegmentSpec& spec, bool linkOnly = false) {
    std::vector<Bytes> templates;
    std::vector<std::string> names;
    for (const Item& it : spec.items) templates.push_back(it.tmpl), names.push_back(it.name);
    ASSERT_TRUE(fpmatch::test::AppendGallerySegment(g, templates, names, spec.stride, spec.shorts, linkOnly));
}

// Splits `items` into segments of the given sizes (cycled) and strides.
Bytes BuildGallery(const std::vector<Item>& items, const std::vector<size_t>& sizes,
                   const std::vector<int32_t>& strides) {
    Bytes g;
    size_t at = 0;
    for (size_t s = 0; at < items.size(); ++s) {
        SegmentSpec spec;
        const size_t n = std::min(sizes[s % sizes.size()], items.size() - at);
        spec.items.assign(items.begin() + static_cast<ptrdiff_t>(at), items.begin() + static_cast<ptrdiff_t>(at + n));
        spec.stride = strides[s % strides.size()];
        spec.shorts = s % 2 == 1;
        Append(g, spec);
        at += n;
    }
    return g;
}

std::vector<SearchHit> BruteForce(const Bytes& probe, const std::vector<Item>& items, int32_t first, int32_t end,
                                  int32_t k) {
    std::vector<SearchHit> all;
    for (int32_t i = first; i < end; ++i) {
        Bytes t = items[static_cast<size_t>(i)].tmpl;
        t.resize(std::max<size_t>(t.size(), FPMATCH_GALLERY_MIN_STRIDE), 0);
        t.resize(FPMATCH_GALLERY_MIN_STRIDE);  // what a slot of the smallest stride keeps
        all.push_back({i, Match2Score(probe.data(), t.data())});
    }
    std::stable_sort(all.begin(), all.end(), [](const SearchHit& a, const SearchHit& b) { return a.score > b.score; });
    if (all.size() > static_cast<size_t>(k)) all.resize(static_cast<size_t>(k));
    return all;
}

std::vector<SearchHit> Search(const PreparedProbe& probe, const Bytes& g, int32_t first, int32_t count, int32_t k) {
    std::vector<SearchHit> hits(static_cast<size_t>(std::max(k, 1)), SearchHit{-7, -7});
    const int32_t n = SearchGalleryTopK(&probe, g.data(), g.size(), first, count, k, hits.data());
    EXPECT_GE(n, 0);
    hits.resize(static_cast<size_t>(std::max(n, 0)));
    return hits;
}

std::vector<SearchHit> Merge(std::vector<SearchHit> a, const std::vector<SearchHit>& b, int32_t k) {
    a.insert(a.end(), b.begin(), b.end());
    std::sort(a.begin(), a.end(), [](const SearchHit& x, const SearchHit& y) {
        return x.score > y.score || (x.score == y.score && x.index < y.index);
    });
    if (a.size() > static_cast<size_t>(k)) a.resize(static_cast<size_t>(k));
    return a;
}

void ExpectSameHits(const std::vector<SearchHit>& got, const std::vector<SearchHit>& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].index, want[i].index) << what << " hit " << i;
        EXPECT_EQ(got[i].score, want[i].score) << what << " hit " << i;
    }
}

// Compares the gallery search with the brute-force ranking for a few probes:
// the whole gallery at several k (the larger ones exceed the stack merge
// capacity), ranges that start and end inside segments, and a range split
// in two whose parts are merged.
void CheckRankings(const std::vector<Item>& items, const std::vector<size_t>& probes) {
    // Segments of uneven sizes and strides; slots beyond 328 bytes are zero.
    const Bytes g = BuildGallery(items, {1, 97, 13, 120, 40}, {328, 400, 512});
    const int32_t n = static_cast<int32_t>(items.size());
    ASSERT_EQ(CheckGallery(g.data(), g.size(), nullptr), n);
    static PreparedProbe probe;
    for (size_t p : probes) {
        const Bytes& probeBytes = items[p].tmpl;
        Bytes padded(probeBytes);
        padded.resize(std::max<size_t>(padded.size(), 512), 0);
        PrepareProbe(padded.data(), &probe);
        const std::string who = items[p].name;
        for (int32_t k : {1, 10, 300, n + 5})
            ExpectSameHits(Search(probe, g, 0, n, k), BruteForce(padded, items, 0, n, k), who + " k " + std::to_string(k));
        const int32_t a = n / 5, b = n - n / 7, cut = n / 2 + 3;
        ExpectSameHits(Search(probe, g, a, b - a, 25), BruteForce(padded, items, a, b, 25), who + " inner range");
        ExpectSameHits(Search(probe, g, a, INT32_MAX, 25), BruteForce(padded, items, a, n, 25), who + " to the end");
        for (int32_t k : {25, 290})
            ExpectSameHits(Merge(Search(probe, g, 0, cut, k), Search(probe, g, cut, n - cut, k), k),
                           Search(probe, g, 0, n, k), who + " split at " + std::to_string(cut));
    }
}

TEST(Gallery, SearchEqualsBruteForceOnFvc) {
    FPMATCH_REQUIRE_FVC(fvc);
    std::vector<Item> items;
    for (const auto& t : fvc) items.push_back({t.bytes, t.database + "/" + t.path.filename().string()});
    // Probes from each database; records above 50 minutiae are among the
    // entries and rank with score 0.
    CheckRankings(items, {0, 83, 170, 255, 319});
}

TEST(Gallery, SearchEqualsBruteForceOnSyntheticTemplates) {
    using namespace fpmatch::samples;
    std::vector<Item> items;
    for (int f = 0; f < 45; ++f) {
        const auto finger = MakeFinger(500 + f, 14 + f % 30);
        for (int i = 0; i < 3; ++i) {
            const auto imp = i == 0 ? finger : MakeImpression(finger, 900 + 7 * f + i);
            Bytes t = (f + i) % 2 ? MakeIsoRecord(imp, 60) : MakeNativeTemplate(imp, 60, {120, 130}, {0, 0});
            items.push_back({t, "syn_" + std::to_string(f) + "_" + std::to_string(i)});
        }
        // Entries that do not decode: a bad native version, an ISO count of 0.
        if (f % 9 == 0) items.push_back({Bytes(60, 7), "bad_version"});
        if (f % 11 == 0) items.push_back({fpmatch::test::IsoHeader(0), "no_minutiae"});
    }
    CheckRankings(items, {0, 31, 77, 100});
}

std::vector<Item> SmallItems(int count) {
    using namespace fpmatch::samples;
    std::vector<Item> items;
    for (int f = 0; f < count; ++f)
        items.push_back({MakeIsoRecord(MakeFinger(70 + f, 20), 60), "finger " + std::to_string(f) + " \xC3\xA9"});
    return items;
}

TEST(Gallery, EntriesReadBackAsWritten) {
    const auto items = SmallItems(9);
    const Bytes g = BuildGallery(items, {4, 5}, {328, 600});
    GalleryInfo info{};
    ASSERT_EQ(CheckGallery(g.data(), g.size(), &info), 9);
    EXPECT_EQ(info.version, 1);
    EXPECT_EQ(info.segmentCount, 2);
    EXPECT_EQ(info.shortCount, 5);
    EXPECT_EQ(info.usedSize, g.size());
    for (int32_t i = 0; i < 9; ++i) {
        GalleryEntry e{};
        ASSERT_EQ(GetGalleryEntry(g.data(), g.size(), i, &e), 0);
        const Item& it = items[static_cast<size_t>(i)];
        EXPECT_EQ(std::string(e.name, static_cast<size_t>(e.nameLength)), it.name);
        ASSERT_EQ(e.templateLength, static_cast<int32_t>(it.tmpl.size()));
        EXPECT_TRUE(std::equal(it.tmpl.begin(), it.tmpl.end(), e.templateData));
        EXPECT_EQ(e.segment, i < 4 ? 0 : 1);
        EXPECT_EQ(e.stride, i < 4 ? 328 : 600);
        if (i < 4) {
            EXPECT_EQ(e.shortTemplate, nullptr);
        } else {
            ASSERT_NE(e.shortTemplate, nullptr);
            const Bytes s = ShortTemplateOf(it.tmpl);
            EXPECT_TRUE(std::equal(s.begin(), s.end(), e.shortTemplate));
        }
    }
    GallerySegment seg{};
    ASSERT_EQ(GetGallerySegment(g.data(), g.size(), 1, &seg), 0);
    EXPECT_EQ(seg.firstIndex, 4);
    EXPECT_EQ(seg.entryCount, 5);
    EXPECT_EQ(seg.endOffset, g.size());
}

TEST(Gallery, InterruptedAppendLeavesTheOldGallery) {
    const auto items = SmallItems(7);
    Bytes g = BuildGallery({items.begin(), items.begin() + 4}, {4}, {328});
    const size_t before = g.size();
    SegmentSpec more;
    more.items.assign(items.begin() + 4, items.end());
    Append(g, more, /*linkOnly=*/true);
    ASSERT_GT(g.size(), before);
    EXPECT_EQ(CheckGallery(g.data(), g.size(), nullptr), 4);
    GalleryEntry e{};
    EXPECT_EQ(GetGalleryEntry(g.data(), g.size(), 4, &e), FPMATCH_GALLERY_BAD_RANGE);
    // Completed, the same append adds the entries.
    Bytes done = BuildGallery({items.begin(), items.begin() + 4}, {4}, {328});
    Append(done, more);
    EXPECT_EQ(CheckGallery(done.data(), done.size(), nullptr), 7);
}

void Set32(Bytes& g, uint64_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) g[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Set64(Bytes& g, uint64_t at, uint64_t v) {
    Set32(g, at, static_cast<uint32_t>(v));
    Set32(g, at + 4, static_cast<uint32_t>(v >> 32));
}

TEST(Gallery, DamagedBuffersAreRefusedWithTheirCode) {
    const auto items = SmallItems(6);
    const Bytes good = BuildGallery(items, {2, 4}, {328, 400});  // the second segment has shorts
    GallerySegment s0{}, s1{};
    ASSERT_EQ(GetGallerySegment(good.data(), good.size(), 0, &s0), 0);
    ASSERT_EQ(GetGallerySegment(good.data(), good.size(), 1, &s1), 0);
    const uint64_t a = s0.offset, b = s1.offset, used = good.size();
    struct Row {
        const char* what;
        std::function<void(Bytes&)> damage;
        int32_t code;
    };
    const std::vector<Row> rows = {
        {"empty buffer", [](Bytes& g) { g.resize(0); }, FPMATCH_GALLERY_NOT_GALLERY},
        {"foreign file", [](Bytes& g) { std::memcpy(g.data(), "%PDF-1.7", 8); }, FPMATCH_GALLERY_NOT_GALLERY},
        {"an ISO record", [](Bytes& g) { std::memcpy(g.data(), "FMR\0 20\0", 8); }, FPMATCH_GALLERY_NOT_GALLERY},
        {"magic cut after 5 bytes", [](Bytes& g) { g.resize(5); }, FPMATCH_GALLERY_TRUNCATED_HEADER},
        {"version 2", [](Bytes& g) { Set32(g, 8, 2); }, FPMATCH_GALLERY_BAD_VERSION},
        {"version 0", [](Bytes& g) { Set32(g, 8, 0); }, FPMATCH_GALLERY_BAD_VERSION},
        {"version 2, cut to 20 bytes", [](Bytes& g) { Set32(g, 8, 2), g.resize(20); }, FPMATCH_GALLERY_BAD_VERSION},
        {"header cut to 63 bytes", [](Bytes& g) { g.resize(63); }, FPMATCH_GALLERY_TRUNCATED_HEADER},
        {"header size 65", [](Bytes& g) { Set32(g, 12, 65); }, FPMATCH_GALLERY_BAD_HEADER},
        {"entry count 2^31", [](Bytes& g) { Set32(g, 16, 0x80000000u); }, FPMATCH_GALLERY_BAD_HEADER},
        {"segment count 65537", [](Bytes& g) { Set32(g, 20, 65537); }, FPMATCH_GALLERY_BAD_HEADER},
        {"used size 63", [](Bytes& g) { Set64(g, 40, 63); }, FPMATCH_GALLERY_BAD_HEADER},
        {"used size 2^63", [](Bytes& g) { Set64(g, 40, uint64_t{1} << 63); }, FPMATCH_GALLERY_BAD_HEADER},
        {"file one byte short", [](Bytes& g) { g.pop_back(); }, FPMATCH_GALLERY_TRUNCATED},
        {"used size one beyond the file", [=](Bytes& g) { Set64(g, 40, used + 1); }, FPMATCH_GALLERY_TRUNCATED},
        {"entry count one more", [](Bytes& g) { Set32(g, 16, 7); }, FPMATCH_GALLERY_COUNT_MISMATCH},
        {"entry count one less", [](Bytes& g) { Set32(g, 16, 5); }, FPMATCH_GALLERY_COUNT_MISMATCH},
        {"no segment for the entries", [](Bytes& g) { Set32(g, 20, 0); }, FPMATCH_GALLERY_COUNT_MISMATCH},
        {"one segment declared", [](Bytes& g) { Set32(g, 20, 1); }, FPMATCH_GALLERY_BAD_SEGMENT},
        {"three segments declared", [](Bytes& g) { Set32(g, 20, 3); }, FPMATCH_GALLERY_BAD_SEGMENT},
        {"first segment inside the header", [](Bytes& g) { Set64(g, 24, 8); }, FPMATCH_GALLERY_BAD_SEGMENT},
        {"first segment past the used size", [=](Bytes& g) { Set64(g, 24, used - 10); }, FPMATCH_GALLERY_BAD_SEGMENT},
        {"first segment at 2^64 - 1", [](Bytes& g) { Set64(g, 24, ~uint64_t{0}); }, FPMATCH_GALLERY_BAD_SEGMENT},
        {"last segment offset wrong", [=](Bytes& g) { Set64(g, 32, a); }, FPMATCH_GALLERY_BAD_SEGMENT},
        {"segment magic", [=](Bytes& g) { g[b + 3] ^= 1; }, FPMATCH_GALLERY_BAD_SEGMENT},
        {"link back to itself", [=](Bytes& g) { Set64(g, a + 8, a); }, FPMATCH_GALLERY_BAD_SEGMENT},
        {"link to nowhere", [=](Bytes& g) { Set64(g, a + 8, 0); }, FPMATCH_GALLERY_BAD_SEGMENT},
        {"first index 1", [=](Bytes& g) { Set32(g, a + 16, 1); }, FPMATCH_GALLERY_COUNT_MISMATCH},
        {"second segment's first index", [=](Bytes& g) { Set32(g, b + 16, 3); }, FPMATCH_GALLERY_COUNT_MISMATCH},
        {"segment of 0 entries", [=](Bytes& g) { Set32(g, a + 20, 0); }, FPMATCH_GALLERY_COUNT_MISMATCH},
        {"segment count past the total", [=](Bytes& g) { Set32(g, b + 20, 5); }, FPMATCH_GALLERY_COUNT_MISMATCH},
        {"segment count 2^32 - 1", [=](Bytes& g) { Set32(g, b + 20, ~0u); }, FPMATCH_GALLERY_COUNT_MISMATCH},
        {"stride 327", [=](Bytes& g) { Set32(g, a + 24, 327); }, FPMATCH_GALLERY_BAD_STRIDE},
        {"stride 2^20 + 1", [=](Bytes& g) { Set32(g, b + 24, (1u << 20) + 1); }, FPMATCH_GALLERY_BAD_STRIDE},
        {"stride 2^32 - 1", [=](Bytes& g) { Set32(g, b + 24, ~0u); }, FPMATCH_GALLERY_BAD_STRIDE},
        {"templates run past the end", [=](Bytes& g) { Set32(g, b + 24, 4000); }, FPMATCH_GALLERY_SECTION_OUT_OF_BOUNDS},
        {"directory at 2^64 - 8", [=](Bytes& g) { Set64(g, a + 32, ~uint64_t{7}); }, FPMATCH_GALLERY_SECTION_OUT_OF_BOUNDS},
        {"templates offset at the end", [=](Bytes& g) { Set64(g, a + 40, used); }, FPMATCH_GALLERY_SECTION_OUT_OF_BOUNDS},
        {"shorts past the end", [=](Bytes& g) { Set64(g, b + 48, used - 512); }, FPMATCH_GALLERY_SECTION_OUT_OF_BOUNDS},
        {"shorts flag on a segment without them", [=](Bytes& g) { Set32(g, a + 28, 1); },
         FPMATCH_GALLERY_SECTION_OUT_OF_BOUNDS},
        {"names size 2^64 - 1", [=](Bytes& g) { Set64(g, b + 64, ~uint64_t{0}); }, FPMATCH_GALLERY_SECTION_OUT_OF_BOUNDS},
    };
    static PreparedProbe probe;
    PrepareProbe(items[0].tmpl.data(), &probe);
    for (const Row& row : rows) {
        Bytes g = good;
        row.damage(g);
        const uint8_t* data = g.empty() ? good.data() : g.data();  // a valid pointer with size 0
        GalleryInfo info{};
        info.entryCount = -99;
        EXPECT_EQ(CheckGallery(data, g.size(), &info), row.code) << row.what;
        EXPECT_EQ(info.entryCount, -99) << row.what << ": info written on a refusal";
        GalleryEntry e{};
        EXPECT_EQ(GetGalleryEntry(data, g.size(), 0, &e), row.code) << row.what;
        GallerySegment seg{};
        EXPECT_EQ(GetGallerySegment(data, g.size(), 0, &seg), row.code) << row.what;
        SearchHit hits[3];
        EXPECT_EQ(SearchGalleryTopK(&probe, data, g.size(), 0, 6, 3, hits), row.code) << row.what;
    }
    EXPECT_EQ(CheckGallery(nullptr, 64, nullptr), FPMATCH_GALLERY_NULL_INPUT);
    // Trailing bytes beyond the used size (an interrupted append) are ignored.
    Bytes longer = good;
    longer.resize(longer.size() + 100, 0xEE);
    EXPECT_EQ(CheckGallery(longer.data(), longer.size(), nullptr), 6);
}

TEST(Gallery, DamagedEntriesAndBadArgumentsAreRefused) {
    const auto items = SmallItems(6);
    const Bytes good = BuildGallery(items, {2, 4}, {328, 400});
    GallerySegment s1{};
    ASSERT_EQ(GetGallerySegment(good.data(), good.size(), 1, &s1), 0);
    const uint64_t rec = s1.directoryOffset + 16;  // entry 3
    struct Row {
        const char* what;
        std::function<void(Bytes&)> damage;
        int32_t index, code;
    };
    const std::vector<Row> rows = {
        {"intact", [](Bytes&) {}, 3, 0},
        {"index -1", [](Bytes&) {}, -1, FPMATCH_GALLERY_BAD_RANGE},
        {"index 6", [](Bytes&) {}, 6, FPMATCH_GALLERY_BAD_RANGE},
        {"name past the names", [=](Bytes& g) { Set64(g, rec, s1.namesSize); }, 3, FPMATCH_GALLERY_BAD_ENTRY},
        {"name offset 2^64 - 1", [=](Bytes& g) { Set64(g, rec, ~uint64_t{0}); }, 3, FPMATCH_GALLERY_BAD_ENTRY},
        {"name length 2^32 - 1", [=](Bytes& g) { Set32(g, rec + 8, ~0u); }, 3, FPMATCH_GALLERY_BAD_ENTRY},
        {"template length 0", [=](Bytes& g) { Set32(g, rec + 12, 0); }, 3, FPMATCH_GALLERY_BAD_ENTRY},
        {"template length stride + 1", [=](Bytes& g) { Set32(g, rec + 12, 401); }, 3, FPMATCH_GALLERY_BAD_ENTRY},
        {"template length stride", [=](Bytes& g) { Set32(g, rec + 12, 400); }, 3, 0},
        {"another entry damaged", [=](Bytes& g) { Set32(g, rec + 12, 0); }, 4, 0},
    };
    for (const Row& row : rows) {
        Bytes g = good;
        row.damage(g);
        EXPECT_EQ(CheckGallery(g.data(), g.size(), nullptr), 6) << row.what << ": entries are not read when opening";
        GalleryEntry e{};
        e.segment = -5;
        EXPECT_EQ(GetGalleryEntry(g.data(), g.size(), row.index, &e), row.code) << row.what;
        if (row.code != 0) {
            EXPECT_EQ(e.segment, -5) << row.what << ": entry written on a refusal";
        }
    }
    static PreparedProbe probe, failed;
    PrepareProbe(items[0].tmpl.data(), &probe);
    EXPECT_NE(PrepareProbe(Bytes(60, 0).data(), &failed), 0);
    SearchHit hits[3];
    const uint8_t* d = good.data();
    const size_t n = good.size();
    EXPECT_EQ(SearchGalleryTopK(&probe, d, n, -1, 3, 3, hits), FPMATCH_GALLERY_BAD_RANGE);
    EXPECT_EQ(SearchGalleryTopK(&probe, d, n, 7, 0, 3, hits), FPMATCH_GALLERY_BAD_RANGE);
    EXPECT_EQ(SearchGalleryTopK(&probe, d, n, 0, -1, 3, hits), FPMATCH_GALLERY_BAD_RANGE);
    EXPECT_EQ(SearchGalleryTopK(&failed, d, n, 0, 6, 3, hits), FPMATCH_GALLERY_BAD_PROBE);
    EXPECT_EQ(SearchGalleryTopK(nullptr, d, n, 0, 6, 3, hits), FPMATCH_GALLERY_BAD_PROBE);
    EXPECT_EQ(SearchGalleryTopK(&probe, d, n, 0, 6, 3, nullptr), FPMATCH_GALLERY_NULL_INPUT);
    EXPECT_EQ(SearchGalleryTopK(&probe, d, n, 0, 6, 0, nullptr), 0);
    EXPECT_EQ(SearchGalleryTopK(&probe, d, n, 6, 5, 3, hits), 0);  // empty range at the end
    GalleryEntry e{};
    EXPECT_EQ(GetGalleryEntry(d, n, 0, nullptr), FPMATCH_GALLERY_NULL_INPUT);
    EXPECT_EQ(GetGallerySegment(d, n, 2, nullptr), FPMATCH_GALLERY_NULL_INPUT);
    GallerySegment seg{};
    EXPECT_EQ(GetGallerySegment(d, n, 2, &seg), FPMATCH_GALLERY_BAD_RANGE);
    EXPECT_EQ(GetGallerySegment(d, n, -1, &seg), FPMATCH_GALLERY_BAD_RANGE);
    (void)e;
}

TEST(Gallery, WritersRefuseWhatDoesNotFit) {
    GallerySegment s{};
    s.offset = 64;
    s.entryCount = 3;
    s.stride = 328;
    struct Row {
        const char* what;
        std::function<void(GallerySegment&)> change;
        int32_t code;
    };
    const std::vector<Row> rows = {
        {"valid", [](GallerySegment&) {}, 0},
        {"inside the file header", [](GallerySegment& x) { x.offset = 63; }, FPMATCH_GALLERY_BAD_SEGMENT},
        {"stride 327", [](GallerySegment& x) { x.stride = 327; }, FPMATCH_GALLERY_BAD_STRIDE},
        {"no entry", [](GallerySegment& x) { x.entryCount = 0; }, FPMATCH_GALLERY_BAD_RANGE},
        {"last index beyond 2^31 - 1", [](GallerySegment& x) { x.firstIndex = INT32_MAX - 1; }, FPMATCH_GALLERY_BAD_RANGE},
        {"last index 2^31 - 1", [](GallerySegment& x) { x.firstIndex = INT32_MAX - 2; }, 0},
        {"names beyond 2^62", [](GallerySegment& x) { x.namesSize = uint64_t{1} << 62; },
         FPMATCH_GALLERY_SECTION_OUT_OF_BOUNDS},
    };
    for (const Row& row : rows) {
        GallerySegment x = s;
        row.change(x);
        EXPECT_EQ(PlanGallerySegment(&x), row.code) << row.what;
    }
    ASSERT_EQ(PlanGallerySegment(&s), 0);
    EXPECT_EQ(s.directoryOffset, 64u + 96u);
    EXPECT_EQ(s.templatesOffset, 256u);  // 160 + 48 rounded up to 64
    EXPECT_EQ(s.namesOffset, 256u + 3 * 328);
    uint8_t out[96];
    EXPECT_EQ(WriteGallerySegmentHeader(&s, out, 95), FPMATCH_GALLERY_OUT_TOO_SMALL);
    GalleryInfo info{};
    info.segmentCount = 65537;
    EXPECT_EQ(WriteGalleryHeader(&info, out, 64), FPMATCH_GALLERY_BAD_HEADER);
    EXPECT_EQ(WriteGalleryEntry(0, -1, 5, out, 16), FPMATCH_GALLERY_BAD_ENTRY);
    EXPECT_EQ(WriteGalleryEntry(0, 1, 0, out, 16), FPMATCH_GALLERY_BAD_ENTRY);
    EXPECT_EQ(WriteGalleryEntry(0, 1, 5, out, 15), FPMATCH_GALLERY_OUT_TOO_SMALL);
    // An empty gallery is valid.
    uint8_t empty[64];
    GalleryInfo none{};
    none.usedSize = 64;
    ASSERT_EQ(WriteGalleryHeader(&none, empty, 64), 64);
    EXPECT_EQ(CheckGallery(empty, 64, nullptr), 0);
}

}  // namespace
