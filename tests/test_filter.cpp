// The candidate filter: records and prepared probes are reproducible bytes,
// damaged records and probes are read safely, a block of records scores as
// its parts, and on FVC2002 the filter keeps the full search's rank-1 hits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "test_support.h"

namespace {

using fpmatch::test::Bytes;
namespace samples = fpmatch::samples;

constexpr size_t kRecord = FPMATCH_FILTER_RECORD_SIZE;
constexpr size_t kBaseBytes = 11;
constexpr size_t kHeaderBytes = 4;

Bytes Padded(Bytes t) {
    t.resize(std::max<size_t>(t.size(), 328), 0);
    return t;
}

Bytes Iso(uint64_t finger, int count, uint64_t impression = 0) {
    const auto f = samples::MakeFinger(finger, count);
    return Padded(samples::MakeIsoRecord(impression == 0 ? f : samples::MakeImpression(f, impression), 60));
}

// Writes the record into a buffer filled with `fill` first.
Bytes RecordOf(const Bytes& tmpl, uint8_t fill = 0, int32_t* code = nullptr) {
    Bytes r(kRecord, fill);
    const int32_t c = MakeFilterRecord(tmpl.data(), r.data());
    if (code) *code = c;
    return r;
}

std::unique_ptr<FilterProbe> ProbeOf(const Bytes& tmpl, uint8_t fill = 0, int32_t* code = nullptr) {
    auto p = std::make_unique<FilterProbe>();
    std::memset(p.get(), fill, sizeof *p);
    const int32_t c = PrepareFilterProbe(tmpl.data(), p.get());
    if (code) *code = c;
    return p;
}

// Scores of records laid out every `stride` bytes (copies of `records`, laid
// every FPMATCH_FILTER_RECORD_SIZE bytes), in an exact-size buffer.
std::vector<int32_t> Scores(const FilterProbe& probe, const Bytes& records, size_t stride = kRecord) {
    const size_t count = records.size() / kRecord;
    const size_t size = count == 0 ? 1 : (count - 1) * stride + kRecord;
    std::unique_ptr<uint8_t[]> laid(new uint8_t[size]);
    std::memset(laid.get(), 0xEE, size);
    for (size_t r = 0; r < count; ++r) std::memcpy(laid.get() + r * stride, records.data() + r * kRecord, kRecord);
    std::vector<int32_t> scores(count, -7);
    EXPECT_EQ(FilterScores(&probe, laid.get(), static_cast<int32_t>(stride), static_cast<int32_t>(count), scores.data()),
              static_cast<int32_t>(count));
    return scores;
}

int32_t ScoreOf(const FilterProbe& probe, const Bytes& record) { return Scores(probe, record)[0]; }

// Templates of every kind the decoders take, good and bad.
std::vector<Bytes> Templates() {
    std::vector<Bytes> out;
    for (int count : {1, 2, 6, 25, 50}) out.push_back(Iso(100 + static_cast<uint64_t>(count), count));
    out.push_back(Iso(7, 40, 3));
    out.push_back(Padded(samples::MakeNativeTemplate(samples::MakeFinger(8, 25), 60, {120, 130})));
    out.push_back(Padded(samples::MakeDemoTemplate(3, 2, false, true)));
    Bytes badVersion = out.back();
    badVersion = Padded(samples::MakeNativeTemplate(samples::MakeFinger(9, 20), 60));
    badVersion[0] = 2;
    out.push_back(badVersion);
    out.push_back(Padded(fpmatch::test::IsoHeader(0)));
    // Minutiae far outside the image: no minutia the filter reads.
    Bytes far = Padded(fpmatch::test::IsoHeader(3));
    for (size_t i = 0; i < 3; ++i) {
        const uint8_t entry[6] = {0x5F, static_cast<uint8_t>(i), 0x30, 0x00, 64, 60};
        fpmatch::test::PutIsoMinutia(far, i, entry);
    }
    out.push_back(far);
    return out;
}

TEST(Filter, RecordsAreTheSameBytesWhateverTheBufferHeld) {
    for (const Bytes& t : Templates()) {
        int32_t code = -1, again = -1;
        const Bytes r = RecordOf(t, 0x00, &code);
        EXPECT_EQ(RecordOf(t, 0xFF, &again), r);
        EXPECT_EQ(again, code);
        EXPECT_EQ(RecordOf(t, 0x5A), r);
        fpmatch::test::OwnedFeatureSet set;
        EXPECT_EQ(code, set.Decode(t));
        // The header and what follows the bases.
        EXPECT_EQ(r[0], FPMATCH_FILTER_VERSION);
        EXPECT_LE(r[1], 32);
        EXPECT_LE(r[2], 5 * r[1]);
        EXPECT_EQ(r[3], code);
        if (code != FPMATCH_DECODED) {
            EXPECT_EQ(r[1], 0);
        }
        for (size_t b = 0; b < r[1]; ++b) EXPECT_EQ(r[kHeaderBytes + kBaseBytes * b + 7] & 0xE0, 0) << "base " << b;
        for (size_t i = kHeaderBytes + kBaseBytes * r[1]; i < kRecord; ++i) ASSERT_EQ(r[i], 0) << "byte " << i;
    }
}

TEST(Filter, ProbesAreTheSameBytesWhateverTheBufferHeld) {
    for (const Bytes& t : Templates()) {
        int32_t code = -1, again = -1;
        const auto a = ProbeOf(t, 0x00, &code), b = ProbeOf(t, 0xFF, &again);
        EXPECT_EQ(again, code);
        EXPECT_EQ(std::memcmp(a.get(), b.get(), sizeof *a), 0);
        fpmatch::test::OwnedFeatureSet set;
        EXPECT_EQ(code, set.Decode(t));
    }
}

TEST(Filter, RefusalsAndFailedTemplates) {
    const Bytes good = Iso(11, 30), mate = Iso(11, 30, 5);
    const auto probe = ProbeOf(good);
    const Bytes records = RecordOf(mate);
    int32_t scores[2] = {-7, -7};
    struct Row {
        const char* what;
        std::function<int32_t()> call;
        int32_t expected;
    };
    auto failedProbe = std::make_unique<FilterProbe>();
    Bytes badVersion = good;
    badVersion[0] = 'X';  // neither ISO nor native version 3
    const std::vector<Row> rows = {
        {"record into null", [&] { return MakeFilterRecord(good.data(), nullptr); }, FPMATCH_NULL_INPUT},
        {"probe into null", [&] { return PrepareFilterProbe(good.data(), nullptr); }, FPMATCH_NULL_INPUT},
        {"null probe", [&] { return FilterScores(nullptr, records.data(), kRecord, 1, scores); }, -1},
        {"null records", [&] { return FilterScores(probe.get(), nullptr, kRecord, 1, scores); }, -1},
        {"null scores", [&] { return FilterScores(probe.get(), records.data(), kRecord, 1, nullptr); }, -1},
        {"negative count", [&] { return FilterScores(probe.get(), records.data(), kRecord, -1, scores); }, -1},
        {"stride below the record size", [&] { return FilterScores(probe.get(), records.data(), kRecord - 1, 1, scores); }, -1},
        {"probe of a null template",
         [&] {
             PrepareFilterProbe(nullptr, failedProbe.get());
             return FilterScores(failedProbe.get(), records.data(), kRecord, 1, scores);
         },
         -1},
        {"probe that fails to decode",
         [&] {
             PrepareFilterProbe(badVersion.data(), failedProbe.get());
             return FilterScores(failedProbe.get(), records.data(), kRecord, 1, scores);
         },
         -1},
        {"no records", [&] { return FilterScores(probe.get(), records.data(), kRecord, 0, scores); }, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(row.call(), row.expected);
        EXPECT_EQ(scores[0], -7) << "written on a refusal";
    }
    // Records of templates that fail to decode, or of none, score 0.
    Bytes nullRecord(kRecord, 0xFF);
    EXPECT_EQ(MakeFilterRecord(nullptr, nullRecord.data()), FPMATCH_NULL_INPUT);
    EXPECT_EQ(nullRecord[3], FPMATCH_NULL_INPUT);
    int32_t code = -1;
    const Bytes failed = RecordOf(badVersion, 0, &code);
    EXPECT_EQ(code, FPMATCH_BAD_VERSION);
    EXPECT_EQ(Scores(*probe, nullRecord), std::vector<int32_t>{0});
    EXPECT_EQ(Scores(*probe, failed), std::vector<int32_t>{0});
    EXPECT_GT(ScoreOf(*probe, records), 0);
}

// A record and a probe of the same finger, and what each kind of damage to
// the record does to its score.
TEST(Filter, DamagedRecordsTable) {
    const Bytes probeTemplate = Iso(21, 35), mateTemplate = Iso(21, 35, 4);
    const auto probe = ProbeOf(probeTemplate);
    const Bytes record = RecordOf(mateTemplate);
    const int32_t intact = ScoreOf(*probe, record);
    ASSERT_GT(intact, 0);
    const uint8_t bases = record[1];
    ASSERT_GT(bases, 2);
    enum Expect { kZero, kSame, kLower, kScored };
    struct Row {
        const char* what;
        std::function<void(Bytes&)> damage;
        Expect expect;
    };
    auto eachBase = [&](Bytes& r, const std::function<void(uint8_t*)>& f) {
        for (size_t b = 0; b < r[1] && b < 32; ++b) f(&r[kHeaderBytes + kBaseBytes * b]);
    };
    const std::vector<Row> rows = {
        {"layout version 0", [](Bytes& r) { r[0] = 0; }, kZero},
        {"layout version 2", [](Bytes& r) { r[0] = 2; }, kZero},
        {"decoder code 1", [](Bytes& r) { r[3] = 1; }, kZero},
        {"no bases", [](Bytes& r) { r[1] = 0; r[2] = 0; }, kZero},
        {"33 bases", [](Bytes& r) { r[1] = 33; }, kZero},
        {"255 bases", [](Bytes& r) { r[1] = 255; }, kZero},
        {"one slot more than the bases hold", [](Bytes& r) { r[2] = static_cast<uint8_t>(5 * r[1] + 1); }, kZero},
        {"every byte 0xFF", [](Bytes& r) { std::fill(r.begin(), r.end(), 0xFF); }, kZero},
        {"every slot empty", [&](Bytes& r) { eachBase(r, [](uint8_t* b) { std::memset(b, 0xFF, 7); b[7] |= 0x0F; }); }, kZero},
        // The same votes, scaled for more pairs.
        {"as many slots as the bases hold", [](Bytes& r) { r[2] = static_cast<uint8_t>(5 * r[1]); },
         record[2] < 5 * bases ? kLower : kSame},
        {"32 bases (zero bytes read as bases)", [](Bytes& r) { r[1] = 32; }, kScored},
        {"reserved bits of every base set", [&](Bytes& r) { eachBase(r, [](uint8_t* b) { b[7] |= 0xE0; }); }, kSame},
        {"bytes after the last base set",
         [](Bytes& r) { std::fill(r.begin() + static_cast<ptrdiff_t>(kHeaderBytes + kBaseBytes * r[1]), r.end(), 0xC3); },
         kSame},
        {"positions at the far corner", [&](Bytes& r) { eachBase(r, [](uint8_t* b) { b[8] = b[9] = 255; }); }, kScored},
        {"directions turned half a turn", [&](Bytes& r) { eachBase(r, [](uint8_t* b) { b[10] ^= 0x80; }); }, kScored},
        {"types flipped", [&](Bytes& r) { eachBase(r, [](uint8_t* b) { b[7] ^= 0x10; }); }, kScored},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Bytes damaged = record;
        row.damage(damaged);
        const int32_t score = ScoreOf(*probe, damaged);
        switch (row.expect) {
            case kZero: EXPECT_EQ(score, 0); break;
            case kSame: EXPECT_EQ(score, intact); break;
            case kLower: EXPECT_GT(score, 0); EXPECT_LT(score, intact); break;
            case kScored: EXPECT_GE(score, 0); break;
        }
    }
    // Random bytes behind a plausible header, in exact-size buffers.
    samples::Random random(77);
    for (int round = 0; round < 200; ++round) {
        Bytes r(kRecord);
        for (uint8_t& b : r) b = static_cast<uint8_t>(random.Next());
        r[0] = FPMATCH_FILTER_VERSION;
        r[1] = static_cast<uint8_t>(random.Range(0, 32));
        r[2] = static_cast<uint8_t>(random.Range(0, 5 * r[1]));
        r[3] = 0;
        EXPECT_GE(ScoreOf(*probe, r), 0);
    }
}

TEST(Filter, DamagedProbes) {
    const Bytes tmpl = Iso(31, 30), mate = Iso(31, 30, 2);
    const Bytes record = RecordOf(mate);
    int32_t score = -7;
    // The header: magic, version, status.
    for (size_t byte : {0, 4, 8}) {
        auto p = ProbeOf(tmpl);
        reinterpret_cast<uint8_t*>(p.get())[byte] ^= 1;
        EXPECT_EQ(FilterScores(p.get(), record.data(), kRecord, 1, &score), -1) << "byte " << byte;
        EXPECT_EQ(score, -7);
    }
    // Everything after the header: any bytes are read in bounds.
    samples::Random random(5);
    for (uint8_t fill : {0x00, 0xFF, 0x80, 0x7F}) {
        auto p = ProbeOf(tmpl);
        std::memset(reinterpret_cast<uint8_t*>(p.get()) + 16, fill, sizeof *p - 16);
        EXPECT_GE(ScoreOf(*p, record), 0) << "fill " << int(fill);
    }
    for (int round = 0; round < 20; ++round) {
        auto p = ProbeOf(tmpl);
        auto* bytes = reinterpret_cast<uint8_t*>(p.get());
        for (size_t i = 16; i < sizeof *p; ++i) bytes[i] = static_cast<uint8_t>(random.Next());
        EXPECT_GE(ScoreOf(*p, record), 0);
    }
}

TEST(Filter, BlocksScoreAsTheirParts) {
    Bytes records;
    for (uint64_t f = 0; f < 12; ++f)
        for (uint64_t i = 0; i < 3; ++i) {
            const Bytes r = RecordOf(Iso(40 + f, static_cast<int>(12 + 3 * f), i == 0 ? 0 : 10 * f + i));
            records.insert(records.end(), r.begin(), r.end());
        }
    const auto probe = ProbeOf(Iso(45, 27, 99));
    const std::vector<int32_t> whole = Scores(*probe, records);
    // Any stride at least the record size, and any split of the list.
    EXPECT_EQ(Scores(*probe, records, kRecord + 1), whole);
    EXPECT_EQ(Scores(*probe, records, 1000), whole);
    const size_t count = whole.size();
    for (size_t split : {size_t{1}, size_t{7}, count - 1}) {
        std::vector<int32_t> parts = Scores(*probe, Bytes(records.begin(), records.begin() + static_cast<ptrdiff_t>(split * kRecord)));
        const std::vector<int32_t> rest = Scores(*probe, Bytes(records.begin() + static_cast<ptrdiff_t>(split * kRecord), records.end()));
        parts.insert(parts.end(), rest.begin(), rest.end());
        EXPECT_EQ(parts, whole) << "split at " << split;
    }
}

// Synthetic fingers: each impression's filter ranks the finger's first
// impression above every other finger's.
TEST(Filter, MatesComeFirstOnSyntheticFingers) {
    constexpr int kFingers = 40;
    Bytes records;
    for (int f = 0; f < kFingers; ++f) {
        const Bytes r = RecordOf(Iso(500 + static_cast<uint64_t>(f), 20 + f % 25));
        records.insert(records.end(), r.begin(), r.end());
    }
    int first = 0;
    for (int f = 0; f < kFingers; ++f) {
        const auto probe = ProbeOf(Iso(500 + static_cast<uint64_t>(f), 20 + f % 25, 7));
        const std::vector<int32_t> s = Scores(*probe, records);
        const auto best = std::max_element(s.begin(), s.end()) - s.begin();
        first += best == f;
    }
    EXPECT_EQ(first, kFingers);
}

// FVC2002, adapted, one gallery of 320: for every probe whose full-search best
// entry (Match2Score, equal scores by lower index) is a mate, the position of
// that entry among the other 319 by filter score (equal scores by lower
// index). The kept hits at each penetration are the figures the README gives.
TEST(Filter, FvcRankOneHitsKept) {
    FPMATCH_REQUIRE_FVC(fvc);
    ASSERT_EQ(fvc.size(), 320u);
    const int32_t n = static_cast<int32_t>(fvc.size());
    std::vector<Bytes> adapted;
    Bytes records;
    for (const auto& t : fvc) {
        Bytes a(336, 0);
        ASSERT_GT(AdaptIsoRecord(t.bytes.data(), t.bytes.size(), a.data(), a.size()), 0) << t.path;
        const Bytes r = RecordOf(a);
        records.insert(records.end(), r.begin(), r.end());
        adapted.push_back(std::move(a));
    }
    std::vector<PreparedGallery> galleries(adapted.size());
    for (size_t j = 0; j < adapted.size(); ++j) PrepareGallery(adapted[j].data(), &galleries[j]);
    auto prepared = std::make_unique<PreparedProbe>();
    std::vector<int32_t> ranks;
    for (int32_t i = 0; i < n; ++i) {
        PrepareProbe(adapted[static_cast<size_t>(i)].data(), prepared.get());
        int32_t best = -1, bestScore = -1;
        for (int32_t j = 0; j < n; ++j) {
            const int32_t s = MatchPreparedPair(prepared.get(), &galleries[static_cast<size_t>(j)]);
            if (j != i && s > bestScore) bestScore = s, best = j;
        }
        const auto& a = fvc[static_cast<size_t>(i)];
        const auto& b = fvc[static_cast<size_t>(best)];
        if (a.database != b.database || a.finger != b.finger) continue;
        const auto probe = ProbeOf(adapted[static_cast<size_t>(i)]);
        const std::vector<int32_t> s = Scores(*probe, records);
        int32_t rank = 0;
        for (int32_t j = 0; j < n; ++j)
            if (j != i && j != best && (s[j] > s[best] || (s[j] == s[best] && j < best))) ++rank;
        ranks.push_back(rank);
    }
    ASSERT_EQ(ranks.size(), 319u);
    struct Row {
        int penetration;
        int32_t kept;
    };
    for (const Row& row : {Row{1, 237}, Row{2, 313}, Row{5, 319}, Row{10, 319}, Row{20, 319}}) {
        const int32_t keep = row.penetration * (n - 1) / 100;
        EXPECT_EQ(std::count_if(ranks.begin(), ranks.end(), [&](int32_t r) { return r < keep; }), row.kept)
            << row.penetration << " % (" << keep << " kept)";
    }
}

}  // namespace
