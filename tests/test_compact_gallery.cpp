// Compact gallery records: reproducible bytes and sizes, refusals of the
// writer, one table row per field of a record read back (refused, or scored
// alike on every code path), and the slotted list. That every record scores
// what Match2Score gives is checked over the whole frozen corpus on every
// path (test_frozen_scores).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "internal_paths.h"
#include "test_support.h"

namespace {

using fpmatch::test::Bytes;
using namespace fpmatch::detail;
namespace samples = fpmatch::samples;

Bytes Compact(const Bytes& tmpl, uint8_t fill = 0) {
    Bytes out(FPMATCH_COMPACT_GALLERY_MAX_SIZE, fill);
    const int32_t length = CompactGalleryTemplate(tmpl.data(), out.data(), out.size());
    out.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return out;
}

Bytes Padded(Bytes b) {
    b.resize(512, 0);
    return b;
}

std::vector<int> Paths() {
    std::vector<int> out;
    for (int p = 0; p < kPathCount; ++p)
        if (SupportedPaths() & (1 << p)) out.push_back(p);
    return out;
}

TEST(CompactRecords, BytesAndSizeDependOnlyOnTheTemplate) {
    std::vector<Bytes> templates;
    for (const auto& t : fpmatch::test::LoadFvc()) templates.push_back(Padded(t.bytes));
    samples::Random rng(31);
    for (int i = 0; i < 30; ++i)
        templates.push_back(Padded(samples::MakeNativeTemplate(
            samples::MakeFinger(rng.Next(), rng.Range(1, 25)), 60, {rng.Range(0, 255) * 2, rng.Range(0, 255) * 2},
            {0, 2})));
    size_t made = 0, total = 0, largest = 0;
    for (const Bytes& t : templates) {
        const Bytes a = Compact(t, 0x00), b = Compact(t, 0xFF);
        ASSERT_EQ(a, b);
        if (a.empty()) continue;  // does not decode (FVC2002: more than 50 minutiae)
        ASSERT_EQ(CheckCompactGallery(a.data(), a.size()), static_cast<int32_t>(a.size()));
        // 16 + 6n + 288 (+ 34 native) + ceil(n(n-1)/2 / 8) + 2 * pairs.
        const int n = a[6], pairs = a[8] | a[9] << 8;
        const size_t native = t[0] == 'F' && t[1] == 'M' ? 0 : 34;
        EXPECT_EQ(a.size(), 16 + 6 * n + 288 + native + (n * (n - 1) / 2 + 7) / 8 + 2 * pairs);
        ++made;
        total += a.size();
        largest = std::max(largest, a.size());
    }
    std::printf("%zu compact records, mean %zu bytes, largest %zu\n", made, made ? total / made : 0, largest);
    EXPECT_GE(made, 30u);
    // The largest record: 50 minutiae, every two of them neighbours.
    std::vector<Minutia> dense;
    for (int i = 0; i < 50; ++i)
        dense.push_back(Minutia{100 + (i % 8) * 9, 100 + (i / 8) * 9, (i * 37) % 360, 50, static_cast<uint8_t>(i & 1)});
    EXPECT_EQ(Compact(Padded(samples::MakeIsoRecord(dense, 60))).size(), size_t{FPMATCH_COMPACT_GALLERY_MAX_SIZE});
}

TEST(CompactRecords, WriterRefusalsLeaveTheBufferAlone) {
    const Bytes t = Padded(samples::MakeIsoRecord(samples::MakeFinger(5, 20), 60));
    const Bytes record = Compact(t);
    ASSERT_FALSE(record.empty());
    Bytes out(record.size(), 0xEE);
    EXPECT_EQ(CompactGalleryTemplate(t.data(), out.data(), record.size() - 1), FPMATCH_COMPACT_OUT_TOO_SMALL);
    EXPECT_EQ(CompactGalleryTemplate(nullptr, out.data(), out.size()), FPMATCH_COMPACT_NULL_INPUT);
    EXPECT_EQ(CompactGalleryTemplate(t.data(), nullptr, out.size()), FPMATCH_COMPACT_NULL_INPUT);
    Bytes badCount = t;
    badCount[27] = 51;
    EXPECT_EQ(CompactGalleryTemplate(badCount.data(), out.data(), out.size()), FPMATCH_COMPACT_BAD_COUNT);
    Bytes badVersion(512, 0);
    badVersion[0] = 2;
    EXPECT_EQ(CompactGalleryTemplate(badVersion.data(), out.data(), out.size()), FPMATCH_COMPACT_BAD_VERSION);
    EXPECT_EQ(out, Bytes(record.size(), 0xEE));
    EXPECT_EQ(CompactGalleryTemplate(t.data(), out.data(), record.size()), static_cast<int32_t>(record.size()));
    EXPECT_EQ(out, record);
    EXPECT_EQ(CheckCompactGallery(nullptr, 100), FPMATCH_COMPACT_NULL_INPUT);
}

// ------------------------------------------------------------ crafted fields

struct Offsets {
    size_t minutiae, mask, blocks, neighbours, edges, end;
};

Offsets OffsetsOf(const Bytes& r) {
    const size_t n = r[6], pairs = r[8] | r[9] << 8;
    Offsets o{};
    o.minutiae = 16;
    o.mask = o.minutiae + 6 * n;
    o.blocks = o.mask + (r[7] & 1 ? 34 : 0);
    o.neighbours = o.blocks + 288;
    o.edges = o.neighbours + (n * (n - 1) / 2 + 7) / 8;
    o.end = o.edges + 2 * pairs;
    return o;
}

uint64_t Get(const Bytes& r, size_t at, int bytes) {
    uint64_t v = 0;
    for (int b = bytes - 1; b >= 0; --b) v = v << 8 | r[at + static_cast<size_t>(b)];
    return v;
}
void Put(Bytes& r, size_t at, int bytes, uint64_t v) {
    for (int b = 0; b < bytes; ++b) r[at + static_cast<size_t>(b)] = static_cast<uint8_t>(v >> (8 * b));
}
// Replaces `width` bits from bit `shift` of the 48-bit minutia 0.
void SetMinutiaBits(Bytes& r, int shift, int width, uint64_t value) {
    const size_t at = OffsetsOf(r).minutiae;
    const uint64_t mask = ((uint64_t{1} << width) - 1) << shift;
    Put(r, at, 6, (Get(r, at, 6) & ~mask) | (value << shift & mask));
}
void SetEdge(Bytes& r, int distance, int theta) {
    Put(r, OffsetsOf(r).edges, 2, static_cast<uint64_t>(distance) | static_cast<uint64_t>(theta) << 7);
}

enum class Verdict { kRefused, kScoredAlike };

struct Row {
    const char* field;
    std::function<void(Bytes& record, size_t& length)> edit;
    Verdict verdict;
};

std::vector<Row> Rows() {
    const auto R = Verdict::kRefused, A = Verdict::kScoredAlike;
    return {
        {"magic", [](Bytes& r, size_t&) { r[2] = 'D'; }, R},
        {"layout 2", [](Bytes& r, size_t&) { r[3] = 2; }, R},
        {"length field + 1", [](Bytes& r, size_t&) { Put(r, 4, 2, Get(r, 4, 2) + 1); }, R},
        {"length field - 1", [](Bytes& r, size_t&) { Put(r, 4, 2, Get(r, 4, 2) - 1); }, R},
        {"one byte fewer readable", [](Bytes&, size_t& length) { --length; }, R},
        {"trailing bytes readable", [](Bytes& r, size_t& length) { r.push_back(0xAB), ++length; }, A},
        {"count 0", [](Bytes& r, size_t&) { r[6] = 0; }, R},
        {"count 51", [](Bytes& r, size_t&) { r[6] = 51; }, R},
        {"flags 2", [](Bytes& r, size_t&) { r[7] = static_cast<uint8_t>(r[7] | 2); }, R},
        {"mask flag turned", [](Bytes& r, size_t&) { r[7] = static_cast<uint8_t>(r[7] ^ 1); }, R},
        {"pair count + 1", [](Bytes& r, size_t&) { Put(r, 8, 2, Get(r, 8, 2) + 1); }, R},
        {"reserved", [](Bytes& r, size_t&) { r[15] = 1; }, R},
        {"singular bytes 255", [](Bytes& r, size_t&) { r[10] = r[11] = r[12] = r[13] = 255; }, A},
        {"x 16383", [](Bytes& r, size_t&) { SetMinutiaBits(r, 0, 15, 16383 + 256); }, A},
        {"x 16384", [](Bytes& r, size_t&) { SetMinutiaBits(r, 0, 15, 16384 + 256); }, R},
        {"x -256", [](Bytes& r, size_t&) { SetMinutiaBits(r, 0, 15, 0); }, A},
        {"y 16383", [](Bytes& r, size_t&) { SetMinutiaBits(r, 15, 14, 16383); }, A},
        {"direction 511", [](Bytes& r, size_t&) { SetMinutiaBits(r, 29, 9, 511); }, A},
        {"quality 40", [](Bytes& r, size_t&) { SetMinutiaBits(r, 38, 6, 40); }, A},
        {"quality 41", [](Bytes& r, size_t&) { SetMinutiaBits(r, 38, 6, 41); }, R},
        {"type 255", [](Bytes& r, size_t&) { SetMinutiaBits(r, 44, 2, 0); }, A},
        {"unused minutia bits", [](Bytes& r, size_t&) { SetMinutiaBits(r, 46, 2, 2); }, R},
        {"mask bytes", [](Bytes& r, size_t&) {
             if (r[7] & 1) std::fill_n(r.begin() + static_cast<long>(OffsetsOf(r).mask), 34, 0xA5);
         }, A},
        {"block 41", [](Bytes& r, size_t&) { r[OffsetsOf(r).blocks] = 41; }, A},
        {"block 42", [](Bytes& r, size_t&) { r[OffsetsOf(r).blocks + 287] = 42; }, R},
        {"block 255", [](Bytes& r, size_t&) { r[OffsetsOf(r).blocks + 5] = 255; }, A},
        {"block 254", [](Bytes& r, size_t&) { r[OffsetsOf(r).blocks + 5] = 254; }, R},
        {"neighbour padding bit", [](Bytes& r, size_t&) {
             const int n = r[6], bits = n * (n - 1) / 2;
             if (bits % 8 != 0) r[OffsetsOf(r).edges - 1] = static_cast<uint8_t>(r[OffsetsOf(r).edges - 1] | 0x80);
             else r[15] = 1;  // no padding here: refuse by another field
         }, R},
        {"neighbour bit cleared", [](Bytes& r, size_t&) {
             const Offsets o = OffsetsOf(r);
             for (size_t b = o.neighbours; b < o.edges; ++b)
                 if (r[b] != 0) {
                     r[b] = static_cast<uint8_t>(r[b] & (r[b] - 1));
                     return;
                 }
         }, R},
        {"neighbour bit moved", [](Bytes& r, size_t&) {
             const Offsets o = OffsetsOf(r);
             for (size_t b = o.neighbours; b + 1 < o.edges; ++b)  // not the byte with padding
                 if (r[b] != 0 && r[b] != 0xFF) {
                     const uint8_t low = static_cast<uint8_t>(r[b] & -r[b]);
                     const uint8_t clear = static_cast<uint8_t>(~r[b] & (r[b] + 1) & 0xFF);
                     if (clear == 0) continue;
                     r[b] = static_cast<uint8_t>((r[b] & ~low) | clear);
                     return;
                 }
         }, A},
        {"edge distance 0", [](Bytes& r, size_t&) { SetEdge(r, 0, 10); }, R},
        {"edge distance 110", [](Bytes& r, size_t&) { SetEdge(r, 110, 10); }, A},
        {"edge distance 111", [](Bytes& r, size_t&) { SetEdge(r, 111, 10); }, R},
        {"edge direction 359", [](Bytes& r, size_t&) { SetEdge(r, 50, 359); }, A},
        {"edge direction 360", [](Bytes& r, size_t&) { SetEdge(r, 50, 360); }, R},
    };
}

void CheckRows(const Bytes& probeTemplate, const Bytes& galleryTemplate) {
    auto probe = std::make_unique<PreparedProbe>();
    ASSERT_EQ(PrepareProbe(probeTemplate.data(), probe.get()), 0);
    const Bytes record = Compact(galleryTemplate);
    ASSERT_FALSE(record.empty());
    ASSERT_GT(MatchPreparedCompact(probe.get(), record.data(), record.size()), 0) << "the unedited pair must score";
    for (const Row& row : Rows()) {
        SCOPED_TRACE(row.field);
        Bytes r = record;
        size_t length = r.size();
        row.edit(r, length);
        // The record in an exact-size heap copy: the sanitizer build reports
        // any read past `length`.
        auto copy = std::make_unique<uint8_t[]>(length);
        std::memcpy(copy.get(), r.data(), length);
        const int32_t checked = CheckCompactGallery(copy.get(), length);
        int32_t outcome = -9;
        ASSERT_EQ(MatchPreparedCompactList(probe.get(), copy.get(), static_cast<int32_t>(length), 0, 1, &outcome), 1);
        const int32_t first = MatchPreparedCompactOnPath(probe.get(), copy.get(), length, kPathPortable);
        if (row.verdict == Verdict::kRefused) {
            EXPECT_EQ(checked, FPMATCH_COMPACT_DAMAGED);
            EXPECT_EQ(outcome, FPMATCH_OUTCOME_DAMAGED);
        } else {
            EXPECT_EQ(checked, static_cast<int32_t>(record.size()));
            EXPECT_EQ(std::max(outcome, 0), first);
        }
        for (int path : Paths())
            EXPECT_EQ(MatchPreparedCompactOnPath(probe.get(), copy.get(), length, path),
                      row.verdict == Verdict::kRefused ? 0 : first)
                << PathName(path);
    }
}

TEST(CompactRecords, CraftedFieldsAreRefusedOrScoredAlikeOnEveryPath) {
    // Native templates: singular points, mask.
    const auto finger = samples::MakeFinger(4242, 25);
    CheckRows(Padded(samples::MakeNativeTemplate(finger, 60, {240, 260}, {100, 300})),
              Padded(samples::MakeNativeTemplate(samples::MakeImpression(finger, 4243), 60, {244, 262}, {0, 2})));
    // ISO records.
    const auto iso = samples::MakeFinger(99, 45);
    CheckRows(Padded(samples::MakeIsoRecord(iso, 60)), Padded(samples::MakeIsoRecord(samples::MakeImpression(iso, 98), 60)));
}

TEST(CompactRecords, ListReadsEachSlotAndRefusesBadArguments) {
    samples::Random rng(8);
    const auto finger = samples::MakeFinger(rng.Next(), 30);
    const Bytes probeTemplate = Padded(samples::MakeIsoRecord(finger, 60));
    auto probe = std::make_unique<PreparedProbe>();
    ASSERT_EQ(PrepareProbe(probeTemplate.data(), probe.get()), 0);
    // Six entries in 1400-byte slots, slot tails filled with 0xCC; entry 3
    // is left all zero (damaged).
    const size_t slot = 1400;
    std::vector<Bytes> templates;
    Bytes list(6 * slot, 0xCC);
    for (int e = 0; e < 6; ++e) {
        templates.push_back(Padded(samples::MakeIsoRecord(samples::MakeImpression(finger, rng.Next()), 60)));
        const Bytes r = Compact(templates.back());
        ASSERT_LE(r.size(), slot);
        if (e == 3) std::fill_n(list.begin() + static_cast<long>(slot * 3), slot, 0);
        else std::copy(r.begin(), r.end(), list.begin() + static_cast<long>(slot * static_cast<size_t>(e)));
    }
    std::vector<int32_t> outcomes(6, -9);
    ASSERT_EQ(MatchPreparedCompactList(probe.get(), list.data(), static_cast<int32_t>(slot), 0, 6, outcomes.data()), 6);
    for (int e = 0; e < 6; ++e) {
        if (e == 3) {
            EXPECT_EQ(outcomes[3], FPMATCH_OUTCOME_DAMAGED);
            continue;
        }
        EXPECT_EQ(std::max(outcomes[static_cast<size_t>(e)], 0), Match2Score(probeTemplate.data(), templates[static_cast<size_t>(e)].data()))
            << e;
    }
    // From a later first index, fewer entries.
    std::vector<int32_t> later(2, -9);
    ASSERT_EQ(MatchPreparedCompactList(probe.get(), list.data(), static_cast<int32_t>(slot), 4, 2, later.data()), 2);
    EXPECT_EQ(later[0], outcomes[4]);
    EXPECT_EQ(later[1], outcomes[5]);
    EXPECT_EQ(MatchPreparedCompactList(probe.get(), list.data(), static_cast<int32_t>(slot), 0, 0, later.data()), 0);
    // A slot shorter than its record cuts it: damaged.
    EXPECT_EQ(MatchPreparedCompactList(probe.get(), list.data(), 100, 0, 1, later.data()), 1);
    EXPECT_EQ(later[0], FPMATCH_OUTCOME_DAMAGED);
    // Refusals write nothing.
    later.assign(2, -9);
    EXPECT_EQ(MatchPreparedCompactList(probe.get(), list.data(), -1, 0, 1, later.data()), -1);
    EXPECT_EQ(MatchPreparedCompactList(nullptr, list.data(), static_cast<int32_t>(slot), 0, 1, later.data()), -1);
    EXPECT_EQ(MatchPreparedCompactList(probe.get(), nullptr, static_cast<int32_t>(slot), 0, 1, later.data()), -1);
    EXPECT_EQ(MatchPreparedCompactList(probe.get(), list.data(), static_cast<int32_t>(slot), 0, 1, nullptr), -1);
    auto failed = std::make_unique<PreparedProbe>();
    Bytes bad = probeTemplate;
    bad[27] = 0;
    EXPECT_NE(PrepareProbe(bad.data(), failed.get()), 0);
    EXPECT_EQ(MatchPreparedCompactList(failed.get(), list.data(), static_cast<int32_t>(slot), 0, 1, later.data()), -1);
    EXPECT_EQ(MatchPreparedCompact(failed.get(), list.data(), slot), 0);
    EXPECT_EQ(later, std::vector<int32_t>(2, -9));
}

TEST(CompactRecords, PackedRecordsScoreAsTheSlottedListAndRefuseBadOffsets) {
    samples::Random rng(9);
    const auto finger = samples::MakeFinger(rng.Next(), 30);
    const Bytes probeTemplate = Padded(samples::MakeIsoRecord(finger, 60));
    auto probe = std::make_unique<PreparedProbe>();
    ASSERT_EQ(PrepareProbe(probeTemplate.data(), probe.get()), 0);
    // Five records end to end; the same in 3208-byte slots.
    const size_t slot = FPMATCH_COMPACT_GALLERY_MAX_SIZE;
    Bytes packed, slots(5 * slot, 0);
    std::vector<uint32_t> offsets{0};
    for (int e = 0; e < 5; ++e) {
        const Bytes r = Compact(Padded(samples::MakeIsoRecord(samples::MakeImpression(finger, rng.Next()), 60)));
        ASSERT_FALSE(r.empty());
        packed.insert(packed.end(), r.begin(), r.end());
        offsets.push_back(static_cast<uint32_t>(packed.size()));
        std::copy(r.begin(), r.end(), slots.begin() + static_cast<long>(slot * static_cast<size_t>(e)));
    }
    std::vector<int32_t> expected(5), outcomes(5, -9);
    ASSERT_EQ(MatchPreparedCompactList(probe.get(), slots.data(), static_cast<int32_t>(slot), 0, 5, expected.data()), 5);
    ASSERT_EQ(MatchPreparedCompactPacked(probe.get(), packed.data(), packed.size(), offsets.data(), 0, 5, outcomes.data()), 5);
    EXPECT_EQ(outcomes, expected);
    std::vector<int32_t> later(2, -9);
    ASSERT_EQ(MatchPreparedCompactPacked(probe.get(), packed.data(), packed.size(), offsets.data(), 3, 2, later.data()), 2);
    EXPECT_EQ(later, std::vector<int32_t>(expected.begin() + 3, expected.end()));

    // Each row: offsets edited, readable bytes, the outcomes of entries 0..2.
    const int32_t D = FPMATCH_OUTCOME_DAMAGED, e0 = expected[0], e1 = expected[1], e2 = expected[2];
    struct Row {
        const char* what;
        std::function<void(std::vector<uint32_t>&)> edit;
        size_t length;
        std::vector<int32_t> outcomes;
    };
    const uint32_t end = offsets[5];
    const std::vector<Row> rows = {
        {"as written", [](auto&) {}, packed.size(), {e0, e1, e2}},
        {"a record cut one byte short", [](auto& o) { o[1] -= 1; }, packed.size(), {D, D, e2}},
        {"offsets out of order", [](auto& o) { std::swap(o[1], o[2]); }, packed.size(), {e0, D, e1}},
        {"an offset past the readable bytes", [&](auto& o) { o[3] = end + 1; }, packed.size(), {e0, e1, D}},
        {"readable bytes end inside record 2", [](auto&) {}, offsets[3] - 1, {e0, e1, D}},
        // An empty record reads nothing; the next one then spans two records
        // and is read as the first of them.
        {"an empty record", [](auto& o) { o[2] = o[1]; }, packed.size(), {e0, D, e1}},
    };
    for (const Row& row : rows) {
        std::vector<uint32_t> o = offsets;
        row.edit(o);
        std::vector<int32_t> got(3, -9);
        ASSERT_EQ(MatchPreparedCompactPacked(probe.get(), packed.data(), row.length, o.data(), 0, 3, got.data()), 3) << row.what;
        EXPECT_EQ(got, row.outcomes) << row.what;
    }
    later.assign(2, -9);
    EXPECT_EQ(MatchPreparedCompactPacked(nullptr, packed.data(), packed.size(), offsets.data(), 0, 1, later.data()), -1);
    EXPECT_EQ(MatchPreparedCompactPacked(probe.get(), nullptr, packed.size(), offsets.data(), 0, 1, later.data()), -1);
    EXPECT_EQ(MatchPreparedCompactPacked(probe.get(), packed.data(), packed.size(), nullptr, 0, 1, later.data()), -1);
    EXPECT_EQ(MatchPreparedCompactPacked(probe.get(), packed.data(), packed.size(), offsets.data(), 0, 1, nullptr), -1);
    EXPECT_EQ(later, std::vector<int32_t>(2, -9));
}

// A batch gives each probe exactly what its own MatchPreparedCompactPacked
// call gives, damaged records included, for 1 and for the most probes a
// batch takes; and refuses whole, writing nothing.
TEST(CompactRecords, BatchGivesEachProbeItsOwnOutcomes) {
    samples::Random rng(21);
    std::vector<std::unique_ptr<PreparedProbe>> probes;
    Bytes packed;
    std::vector<uint32_t> offsets{0};
    for (int f = 0; f < 4; ++f) {
        const auto finger = samples::MakeFinger(rng.Next(), 24 + 6 * f);
        for (int e = 0; e < 3; ++e) {
            const Bytes r = Compact(Padded(samples::MakeIsoRecord(samples::MakeImpression(finger, rng.Next()), 60)));
            ASSERT_FALSE(r.empty());
            packed.insert(packed.end(), r.begin(), r.end());
            offsets.push_back(static_cast<uint32_t>(packed.size()));
        }
    }
    // Probes of the same fingers, the most a batch takes.
    for (int p = 0; p < FPMATCH_BATCH_MAX_PROBES; ++p) {
        samples::Random again(21);
        const auto finger = samples::MakeFinger(again.Next(), 24);
        probes.push_back(std::make_unique<PreparedProbe>());
        ASSERT_EQ(PrepareProbe(Padded(samples::MakeIsoRecord(samples::MakeImpression(finger, rng.Next()), 60)).data(),
                               probes.back().get()),
                  0);
    }
    std::vector<const PreparedProbe*> pointers;
    for (const auto& p : probes) pointers.push_back(p.get());
    offsets[5] = offsets[4] - 1;  // record 4 cut short, record 5 out of order: both damaged
    const int32_t entries = static_cast<int32_t>(offsets.size()) - 1;
    std::vector<int32_t> expected;
    for (const auto& p : probes) {
        std::vector<int32_t> own(static_cast<size_t>(entries), -9);
        ASSERT_EQ(MatchPreparedCompactPacked(p.get(), packed.data(), packed.size(), offsets.data(), 0, entries, own.data()),
                  entries);
        expected.insert(expected.end(), own.begin(), own.end());
    }
    EXPECT_EQ(expected[4], FPMATCH_OUTCOME_DAMAGED);
    EXPECT_GT(*std::max_element(expected.begin(), expected.end()), 20);  // the probes match their finger
    for (const int32_t count : {1, 3, FPMATCH_BATCH_MAX_PROBES}) {
        std::vector<int32_t> got(static_cast<size_t>(count * entries), -9);
        ASSERT_EQ(MatchPreparedCompactPackedBatch(pointers.data(), count, packed.data(), packed.size(), offsets.data(), 0,
                                                  entries, got.data()),
                  entries);
        EXPECT_EQ(got, std::vector<int32_t>(expected.begin(), expected.begin() + count * entries)) << count;
    }
    // From entry 7 on: probe p's outcomes at p * 5.
    std::vector<int32_t> later(10, -9);
    ASSERT_EQ(MatchPreparedCompactPackedBatch(pointers.data(), 2, packed.data(), packed.size(), offsets.data(), 7, 5,
                                              later.data()),
              5);
    for (int p = 0; p < 2; ++p)
        for (int k = 0; k < 5; ++k) EXPECT_EQ(later[static_cast<size_t>(p * 5 + k)], expected[static_cast<size_t>(p * entries + 7 + k)]);

    auto unusable = std::make_unique<PreparedProbe>();
    (void)PrepareProbe(Bytes(512, 0xff).data(), unusable.get());
    std::vector<const PreparedProbe*> withBad = {pointers[0], unusable.get()}, withNull = {pointers[0], nullptr};
    std::vector<const PreparedProbe*> tooMany(FPMATCH_BATCH_MAX_PROBES + 1, pointers[0]);
    struct Refusal {
        const char* what;
        const PreparedProbe* const* probes;
        int32_t count;
    };
    for (const Refusal& r : {Refusal{"no probes", pointers.data(), 0}, Refusal{"one too many", tooMany.data(), FPMATCH_BATCH_MAX_PROBES + 1},
                             Refusal{"an unusable probe", withBad.data(), 2}, Refusal{"a null probe", withNull.data(), 2},
                             Refusal{"a null list", nullptr, 1}}) {
        std::vector<int32_t> none(static_cast<size_t>(2 * entries), -9);
        EXPECT_EQ(MatchPreparedCompactPackedBatch(r.probes, r.count, packed.data(), packed.size(), offsets.data(), 0, entries,
                                                  none.data()),
                  -1)
            << r.what;
        EXPECT_EQ(none, std::vector<int32_t>(static_cast<size_t>(2 * entries), -9)) << r.what;
    }
}

}  // namespace
