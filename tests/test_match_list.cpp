// One-to-many search (MatchListFp): which entries are tried, in what order,
// when the search stops, what is written, and that every reported score is
// the one-to-one score of that entry.
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using fpmatch::samples::ImpressionOptions;
using fpmatch::samples::MakeFinger;
using fpmatch::samples::MakeImpression;
using fpmatch::samples::MakeIsoRecord;
using fpmatch::samples::MakeNativeTemplate;
using fpmatch::test::Bytes;
using fpmatch::test::OwnedFeatureSet;

constexpr int32_t kStride = 448;  // room for any native template and the longest FVC2002 record
constexpr int32_t kUntouchedIndex = -777;
constexpr int32_t kUntouchedScore = -888;

Bytes Native(uint64_t finger, uint64_t impression) {
    return MakeNativeTemplate(MakeImpression(MakeFinger(finger, 30), impression), 60);
}

// A noisy impression of finger 11: it matches Native(11, ...) with a score
// clearly below that template's score with itself.
Bytes HardNative(uint64_t impression) {
    ImpressionOptions o;
    o.dropPercent = 40;
    o.spurious = 10;
    o.positionNoise = 4;
    o.angleNoise = 8;
    return MakeNativeTemplate(MakeImpression(MakeFinger(11, 30), impression, o), 60);
}

Bytes Layout(const std::vector<Bytes>& entries, int32_t stride = kStride) {
    Bytes list(entries.size() * static_cast<size_t>(stride), 0);
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_LE(entries[i].size(), static_cast<size_t>(stride));
        std::copy(entries[i].begin(), entries[i].end(), list.begin() + static_cast<std::ptrdiff_t>(i * stride));
    }
    return list;
}

struct Found {
    int32_t result;
    int32_t index;
    int32_t score;
    bool operator==(const Found&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Found& f) {
    return os << "{result " << f.result << ", index " << f.index << ", score " << f.score << "}";
}

Found Search(const Bytes& probe, const uint8_t* list, int32_t stride, int32_t firstIndex, int32_t entryCount,
             int32_t threshold) {
    Found f{0, kUntouchedIndex, kUntouchedScore};
    f.result = MatchListFp(probe.data(), list, stride, firstIndex, entryCount, threshold, &f.index, &f.score);
    return f;
}

Found Search(const Bytes& probe, const Bytes& list, int32_t firstIndex, int32_t entryCount, int32_t threshold) {
    return Search(probe, list.data(), kStride, firstIndex, entryCount, threshold);
}

constexpr Found kNotFound{0, kUntouchedIndex, kUntouchedScore};

// Whether the base pair search finds anything for this probe and entry, by
// the exported stages on freshly decoded feature sets.
bool HasBasePair(const Bytes& probe, const Bytes& entry) {
    OwnedFeatureSet p, g;
    if (p.Decode(probe) != FPMATCH_DECODED || g.Decode(entry) != FPMATCH_DECODED) return false;
    Minutia scratch[FPMATCH_MAX_MINUTIAE];
    MinutiaMoveTop(&p.fs, p.fs.minutiae, scratch);
    BasePair basePairs[3] = {};
    return CalcBasePair(&p.fs, &g.fs, basePairs) > 0;
}

// The search as documented, entry by entry, each entry compared on its own
// by Match2Score: stop with 0 at an entry that does not decode or has no base
// pair, report the first score that reaches the threshold.
Found ReferenceSearch(const Bytes& probe, const std::vector<Bytes>& entries, int32_t firstIndex,
                      int32_t entryCount, int32_t threshold) {
    OwnedFeatureSet p;
    if (p.Decode(probe) != FPMATCH_DECODED) return kNotFound;
    for (int32_t i = firstIndex; i < firstIndex + entryCount; ++i) {
        OwnedFeatureSet g;
        if (g.Decode(entries[static_cast<size_t>(i)]) != FPMATCH_DECODED) return kNotFound;
        if (!HasBasePair(probe, entries[static_cast<size_t>(i)])) return kNotFound;
        const int32_t score = Match2Score(probe.data(), entries[static_cast<size_t>(i)].data());
        if (score >= threshold) return {1, i, score};
    }
    return kNotFound;
}

class MatchListTest : public testing::Test {
protected:
    void SetUp() override {
        selfScore_ = Match2Score(probe_.data(), probe_.data());
        lowScore_ = Match2Score(probe_.data(), low_.data());
        // The cases below rely on these relations.
        ASSERT_GT(selfScore_, 0);
        ASSERT_GT(lowScore_, 0);
        ASSERT_LT(lowScore_, selfScore_);
        ASSERT_TRUE(HasBasePair(probe_, low_));
        ASSERT_TRUE(HasBasePair(probe_, other_));
        ASSERT_LT(Match2Score(probe_.data(), other_.data()), lowScore_);
    }

    const Bytes probe_ = Native(11, 100);
    const Bytes low_ = HardNative(1103);  // same finger, clearly below the probe's own copy
    const Bytes other_ = Native(12, 201);  // another finger, still yields base pairs
    int32_t selfScore_ = 0;
    int32_t lowScore_ = 0;
};

// Templates that fail to decode, each for another reason.
std::vector<Bytes> UndecodableTemplates(const Bytes& valid) {
    Bytes badVersion = valid, countZero = valid, count51 = valid, countNegative = valid;
    badVersion[0] = 2;
    countZero[3] = 0;
    count51[3] = 51;
    countNegative[3] = 200;
    Bytes iso = MakeIsoRecord(MakeFinger(11, 20), 60);
    iso[27] = 0;
    Bytes notIso = iso;  // F then anything but M goes the native way and fails
    notIso[1] = 'X';
    return {badVersion, countZero, count51, countNegative, iso, notIso};
}

// A template with one minutia has no neighbours, so no base pair.
Bytes SingleMinutia() {
    return MakeNativeTemplate({Minutia{128, 144, 90, 10, 0}}, 60);
}

TEST_F(MatchListTest, NoEntriesToTryReturnsZeroAndWritesNothing) {
    const Bytes list = Layout({probe_, probe_});
    for (int32_t count : {0, -1, -5, INT32_MIN}) {
        SCOPED_TRACE(count);
        EXPECT_EQ(Search(probe_, list, 0, count, 0), kNotFound);
        // No entry is read at all.
        EXPECT_EQ(Search(probe_, nullptr, kStride, 0, count, 0), kNotFound);
    }
}

TEST_F(MatchListTest, TriesEntriesFromFirstIndexOnly) {
    const auto bad = UndecodableTemplates(probe_);
    // Entries 0 and 1 would stop the search, and entry 5 would match: none of
    // them is tried with firstIndex 2 and entryCount 3.
    const std::vector<Bytes> entries = {bad[0], bad[1], low_, probe_, low_, probe_};
    const Bytes list = Layout(entries);
    EXPECT_EQ(Search(probe_, list, 2, 3, selfScore_), (Found{1, 3, selfScore_}));
    EXPECT_EQ(Search(probe_, list, 2, 3, selfScore_), ReferenceSearch(probe_, entries, 2, 3, selfScore_));
    // Entries 2 and 3 tried, the match at 3 reported.
    EXPECT_EQ(Search(probe_, list, 2, 2, selfScore_), (Found{1, 3, selfScore_}));
    // Entry 2 alone does not reach the threshold; entry 3 is not tried.
    EXPECT_EQ(Search(probe_, list, 2, 1, selfScore_), kNotFound);
    // Entry 4 alone, then 4 and 5.
    EXPECT_EQ(Search(probe_, list, 4, 1, selfScore_), kNotFound);
    EXPECT_EQ(Search(probe_, list, 4, 2, selfScore_), (Found{1, 5, selfScore_}));
}

TEST_F(MatchListTest, ReportsTheFirstEntryReachingTheThresholdNotTheBest) {
    const Bytes list = Layout({other_, low_, probe_, low_});
    EXPECT_EQ(Search(probe_, list, 0, 4, lowScore_), (Found{1, 1, lowScore_}));
    EXPECT_EQ(Search(probe_, list, 0, 4, lowScore_ + 1), (Found{1, 2, selfScore_}));
    EXPECT_EQ(Search(probe_, list, 0, 4, selfScore_), (Found{1, 2, selfScore_}));
    EXPECT_EQ(Search(probe_, list, 0, 4, selfScore_ + 1), kNotFound);
    EXPECT_EQ(Search(probe_, list, 0, 4, INT32_MAX), kNotFound);
}

TEST_F(MatchListTest, ThresholdZeroOrBelowReportsTheFirstEntryWithABasePair) {
    const int32_t otherScore = Match2Score(probe_.data(), other_.data());
    const Bytes list = Layout({other_, probe_});
    for (int32_t threshold : {0, -1, INT32_MIN}) {
        SCOPED_TRACE(threshold);
        EXPECT_EQ(Search(probe_, list, 0, 2, threshold), (Found{1, 0, otherScore}));
    }
}

TEST_F(MatchListTest, AnEntryThatFailsToDecodeEndsTheSearch) {
    for (const Bytes& bad : UndecodableTemplates(probe_)) {
        ASSERT_NE(CheckTemplate(bad.data(), bad.size()), FPMATCH_DECODED);
        // Entry 0 fails, entry 1 is an exact match.
        EXPECT_EQ(Search(probe_, Layout({bad, probe_}), 0, 2, 0), kNotFound);
        // After an entry below the threshold.
        EXPECT_EQ(Search(probe_, Layout({low_, bad, probe_}), 0, 3, selfScore_), kNotFound);
        // The same failing entry before firstIndex is never seen.
        EXPECT_EQ(Search(probe_, Layout({bad, probe_}), 1, 1, 0), (Found{1, 1, selfScore_}));
    }
}

TEST_F(MatchListTest, AnEntryWithoutBasePairsEndsTheSearch) {
    const Bytes lone = SingleMinutia();
    ASSERT_EQ(CheckTemplate(lone.data(), lone.size()), FPMATCH_DECODED);
    ASSERT_FALSE(HasBasePair(probe_, lone));
    EXPECT_EQ(Search(probe_, Layout({lone, probe_}), 0, 2, 0), kNotFound);
    EXPECT_EQ(Search(probe_, Layout({low_, lone, probe_}), 0, 3, selfScore_), kNotFound);
    EXPECT_EQ(Search(probe_, Layout({low_, lone, probe_}), 0, 3, lowScore_), (Found{1, 0, lowScore_}));
}

TEST_F(MatchListTest, AProbeThatFailsToDecodeReadsNoEntry) {
    for (const Bytes& bad : UndecodableTemplates(probe_)) {
        EXPECT_EQ(Search(bad, nullptr, kStride, 0, 10, 0), kNotFound);
        EXPECT_EQ(Search(bad, Layout({bad, probe_}), 0, 2, 0), kNotFound);
    }
}

TEST_F(MatchListTest, NegativeFirstIndexCountsBackFromTheListStart) {
    const Bytes buffer = Layout({low_, probe_, other_, low_});
    const uint8_t* list = buffer.data() + 2 * kStride;
    EXPECT_EQ(Search(probe_, list, kStride, -2, 4, selfScore_), (Found{1, -1, selfScore_}));
    EXPECT_EQ(Search(probe_, list, kStride, -2, 1, 0), (Found{1, -2, lowScore_}));
    // A negative stride walks the list backwards.
    EXPECT_EQ(Search(probe_, buffer.data() + 3 * kStride, -kStride, 0, 4, selfScore_), (Found{1, 2, selfScore_}));
}

// Every entry of a list, searched on its own, reports its one-to-one score.
TEST_F(MatchListTest, EachEntryScoresAsMatch2Score) {
    std::vector<Bytes> entries = {probe_, low_, other_, HardNative(1100), HardNative(1104), HardNative(1105),
                                  Native(11, 101), Native(13, 301)};
    // With singular points, and as ISO records.
    entries.push_back(MakeNativeTemplate(MakeImpression(MakeFinger(11, 30), 100), 60, {120, 140}, {60, 220}));
    entries.push_back(MakeIsoRecord(MakeImpression(MakeFinger(11, 30), 100), 60));
    entries.push_back(MakeIsoRecord(MakeImpression(MakeFinger(11, 30), 1102), 60));
    const Bytes list = Layout(entries);
    for (int32_t i = 0; i < static_cast<int32_t>(entries.size()); ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(HasBasePair(probe_, entries[static_cast<size_t>(i)]));
        EXPECT_EQ(Search(probe_, list, i, 1, 0),
                  (Found{1, i, Match2Score(probe_.data(), entries[static_cast<size_t>(i)].data())}));
    }
}

// One search over many entries reuses the gallery's storage: entries with
// many minutiae, singular points or a mask come before entries with few, no
// singular points and no mask. Every threshold must give the entry and score
// that comparing the entries one by one gives.
TEST_F(MatchListTest, LongSearchesAgreeWithOneByOneComparison) {
    const std::vector<Bytes> entries = {
        MakeNativeTemplate(MakeImpression(MakeFinger(12, 45), 7), 60, {120, 140}, {60, 220}),
        other_,
        HardNative(1104),
        MakeIsoRecord(MakeImpression(MakeFinger(11, 45), 3), 60),
        MakeNativeTemplate(MakeImpression(MakeFinger(11, 12), 5), 60),
        HardNative(1105),
        MakeIsoRecord(MakeImpression(MakeFinger(11, 30), 100), 60),
        MakeNativeTemplate(MakeImpression(MakeFinger(11, 30), 100), 60, {120, 140}, {0, 2}),
        probe_,
    };
    const Bytes list = Layout(entries);
    const int32_t n = static_cast<int32_t>(entries.size());
    for (int32_t threshold = 0; threshold <= 101; ++threshold) {
        SCOPED_TRACE(threshold);
        EXPECT_EQ(Search(probe_, list, 0, n, threshold), ReferenceSearch(probe_, entries, 0, n, threshold));
    }
}

TEST(MatchListFvc, SearchesOverRealRecordsAgreeWithOneByOneComparison) {
    FPMATCH_REQUIRE_FVC(fvc);
    for (const char* db : {"DB1_B", "DB2_B", "DB3_B", "DB4_B"}) {
        std::vector<Bytes> entries;
        for (const auto& t : fvc)
            if (t.database == db) entries.push_back(t.bytes);
        ASSERT_EQ(entries.size(), 80u);
        const Bytes list = Layout(entries);
        for (size_t probeIndex : {0u, 9u, 42u}) {
            const Bytes& probe = entries[probeIndex];
            for (int32_t first : {0, 3, 40}) {
                for (int32_t threshold : {0, 1, 10, 25, 40, 60, 100, 101}) {
                    SCOPED_TRACE(testing::Message() << db << " probe " << probeIndex << " first " << first
                                                    << " threshold " << threshold);
                    EXPECT_EQ(Search(probe, list, first, 80 - first, threshold),
                              ReferenceSearch(probe, entries, first, 80 - first, threshold));
                }
            }
        }
    }
}

// Address space reserved without access; pages are opened one by one, so a
// list can span gigabytes without using memory, and a read anywhere else in
// the range faults.
class Reservation {
public:
    explicit Reservation(size_t bytes) : size_(bytes) {
        void* p = mmap(nullptr, size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        base_ = p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
    }
    ~Reservation() {
        if (base_ != nullptr) munmap(base_, size_);
    }
    Reservation(const Reservation&) = delete;
    Reservation& operator=(const Reservation&) = delete;
    uint8_t* base() const { return base_; }
    // Makes the pages holding [at, at + bytes.size()) readable and writes the bytes.
    bool Put(uint8_t* at, const Bytes& bytes) {
        const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
        const uintptr_t from = reinterpret_cast<uintptr_t>(at) & ~(page - 1);
        const uintptr_t to = (reinterpret_cast<uintptr_t>(at) + bytes.size() + page - 1) & ~(page - 1);
        if (mprotect(reinterpret_cast<void*>(from), to - from, PROT_READ | PROT_WRITE) != 0) return false;
        std::memcpy(at, bytes.data(), bytes.size());
        return true;
    }

private:
    uint8_t* base_ = nullptr;
    size_t size_;
};

// Entries past 2 GiB from the list start: i * stride does not fit in 32 bits.
TEST_F(MatchListTest, OffsetsBeyondTwoGigabytes) {
    constexpr int32_t stride = 1 << 20;
    constexpr int32_t first = 2100;  // 2100 MiB > 2^31 bytes
    Reservation space(static_cast<size_t>(first + 4) * stride);
    ASSERT_NE(space.base(), nullptr);
    uint8_t* list = space.base();
    const int64_t at = static_cast<int64_t>(first) * stride;
    ASSERT_GT(at, int64_t{INT32_MAX});
    ASSERT_TRUE(space.Put(list + at, low_));
    ASSERT_TRUE(space.Put(list + at + stride, probe_));
    ASSERT_TRUE(space.Put(list + at + 2 * stride, low_));
    EXPECT_EQ(Search(probe_, list, stride, first, 3, selfScore_), (Found{1, first + 1, selfScore_}));
    EXPECT_EQ(Search(probe_, list, stride, first, 3, 0), (Found{1, first, lowScore_}));

    // The same entries reached backwards from the end of the range.
    uint8_t* end = space.base() + static_cast<size_t>(first + 4) * stride;
    const int64_t back = static_cast<int64_t>(end - (list + at));
    ASSERT_EQ(back % stride, 0);
    const int32_t backIndex = static_cast<int32_t>(back / stride);  // entry at list + at
    EXPECT_EQ(Search(probe_, end, -stride, backIndex - 2, 3, selfScore_), (Found{1, backIndex - 1, selfScore_}));
}

// Indices are reported as 32-bit values, so the search ends at index
// INT32_MAX however many entries firstIndex + entryCount asks for.
TEST_F(MatchListTest, SearchStopsAtTheLastReportableIndex) {
    constexpr int32_t stride = 4096;
    Reservation space(3 * stride);
    ASSERT_NE(space.base(), nullptr);
    ASSERT_TRUE(space.Put(space.base(), low_));
    ASSERT_TRUE(space.Put(space.base() + stride, low_));
    ASSERT_TRUE(space.Put(space.base() + 2 * stride, probe_));
    // The list start lies far below the mapping; only entries
    // INT32_MAX - 1, INT32_MAX (and the one after) fall inside it.
    const uintptr_t below = static_cast<uintptr_t>(INT32_MAX - 1) * stride;
    ASSERT_GT(reinterpret_cast<uintptr_t>(space.base()), below);
    const uintptr_t start = reinterpret_cast<uintptr_t>(space.base()) - below;
    const auto* list = reinterpret_cast<const uint8_t*>(start);
    EXPECT_EQ(Search(probe_, list, stride, INT32_MAX - 1, 2, 0), (Found{1, INT32_MAX - 1, lowScore_}));
    EXPECT_EQ(Search(probe_, list, stride, INT32_MAX, 1, 0), (Found{1, INT32_MAX, lowScore_}));
    // Entry INT32_MAX + 1 would match but has no index to report.
    EXPECT_EQ(Search(probe_, list, stride, INT32_MAX - 1, 3, selfScore_), kNotFound);
    EXPECT_EQ(Search(probe_, list, stride, INT32_MAX - 1, INT32_MAX, selfScore_), kNotFound);
}

}  // namespace
