// Thread safety: many threads compare, search and screen at once over the
// same read-only inputs, each in its own order, and every result must equal
// the single-thread result. Run under ThreadSanitizer (FPMATCH_TSAN=ON) this
// also shows that the library touches no shared writable state.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "test_support.h"

namespace {

using fpmatch::test::Bytes;

constexpr int kThreads = 8;
constexpr int32_t kStride = 512;

struct Inputs {
    std::vector<Bytes> templates;  // each padded to kStride
    Bytes list;                    // the same templates laid out at kStride
    Bytes shorts;                  // 512-byte short templates of the decodable ones
    int32_t shortCount = 0;
};

const Inputs& Shared() {
    static const Inputs inputs = [] {
        using namespace fpmatch::samples;
        Inputs in;
        for (int s = 0; s < 5; ++s) {
            const auto finger = MakeFinger(700 + s, 24 + 5 * s);
            in.templates.push_back(MakeNativeTemplate(finger, 60, {124, 150}, {0, 0}));
            in.templates.push_back(MakeIsoRecord(MakeImpression(finger, 800 + s), 60));
            in.templates.push_back(MakeIsoRecord(MakeImpression(finger, 900 + s), 60));
        }
        const auto fvc = fpmatch::test::LoadFvc();
        for (size_t i = 0; i < fvc.size() && i < 64; i += 7) in.templates.push_back(fvc[i].bytes);
        for (auto& t : in.templates) {
            t.resize(kStride, 0);
            in.list.insert(in.list.end(), t.begin(), t.end());
            fpmatch::test::OwnedFeatureSet set;
            Bytes s(512, 0);
            if (set.Decode(t) == 0 && WriteShortTemplate(&set.fs, s.data(), s.size()) == 512) {
                in.shorts.insert(in.shorts.end(), s.begin(), s.end());
                ++in.shortCount;
            }
        }
        return in;
    }();
    return inputs;
}

struct ListResult {
    int32_t found = -1, index = -1, score = -1;
    bool operator==(const ListResult&) const = default;
};

ListResult Search(const Inputs& in, size_t probe, int32_t threshold) {
    ListResult r;
    r.found = MatchListFp(in.templates[probe].data(), in.list.data(), kStride, 0,
                          static_cast<int32_t>(in.templates.size()), threshold, &r.index, &r.score);
    return r;
}

std::vector<int32_t> Screen(const Inputs& in, int32_t probe) {
    std::vector<int32_t> best(FPMATCH_SCREEN_BEST, -2);
    QuickSort(in.shorts.data() + 512 * probe, in.shorts.data(), in.shortCount, best.data());
    return best;
}

TEST(Concurrency, ThreadsAgreeWithSingleThreadResults) {
    const Inputs& in = Shared();
    const size_t n = in.templates.size();
    ASSERT_GE(n, 15u);
    ASSERT_GT(in.shortCount, 0);

    // Single-thread reference.
    std::vector<int32_t> scores(n * n);
    for (size_t p = 0; p < n; ++p)
        for (size_t g = 0; g < n; ++g) scores[p * n + g] = Match2Score(in.templates[p].data(), in.templates[g].data());
    std::vector<ListResult> searches(n);
    for (size_t p = 0; p < n; ++p) searches[p] = Search(in, p, 35);
    std::vector<std::vector<int32_t>> screens(in.shortCount);
    for (int32_t p = 0; p < in.shortCount; ++p) screens[p] = Screen(in, p);
    int nonZero = 0;
    for (int32_t s : scores) nonZero += s > 0;
    ASSERT_GT(nonZero, 0) << "the reference must contain real scores";

    std::atomic<long> mismatches{0}, done{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Each thread walks the work in its own order and mixes the three
            // kinds of call.
            const size_t total = n * n;
            for (size_t k = 0; k < total; ++k) {
                const size_t item = (k * (2 * t + 1) + 17 * t) % total;
                const size_t p = item / n, g = item % n;
                const int32_t score = (k & 1) ? Match2Fp(in.templates[p].data(), in.templates[g].data())
                                              : Match2Score(in.templates[p].data(), in.templates[g].data());
                if (score != scores[item]) ++mismatches;
                if (g == static_cast<size_t>(t) % n) {
                    if (!(Search(in, p, 35) == searches[p])) ++mismatches;
                    const int32_t sp = static_cast<int32_t>(p % in.shortCount);
                    if (Screen(in, sp) != screens[sp]) ++mismatches;
                }
                ++done;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(done.load(), static_cast<long>(kThreads * n * n));
}

TEST(Concurrency, SharedProbeAndListSearchedAtOnce) {
    // Every thread searches the same probe in the same list at the same time.
    const Inputs& in = Shared();
    const ListResult reference = Search(in, 1, 20);
    std::atomic<long> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20; ++i)
                if (!(Search(in, 1, 20) == reference)) ++mismatches;
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(Concurrency, FilterRecordsScoredAtOnce) {
    // One block of filter records and one prepared filter probe per
    // template, read by every thread at once; each thread makes its own
    // records too, and they must be the same bytes.
    const Inputs& in = Shared();
    const size_t n = in.templates.size();
    constexpr size_t kRecord = FPMATCH_FILTER_RECORD_SIZE;
    Bytes records(n * kRecord);
    for (size_t g = 0; g < n; ++g) MakeFilterRecord(in.templates[g].data(), records.data() + g * kRecord);
    std::vector<FilterProbe> probes(n);
    std::vector<int32_t> reference(n * n, -7), returned(n);
    for (size_t p = 0; p < n; ++p) {
        PrepareFilterProbe(in.templates[p].data(), &probes[p]);
        // -1 for a probe that fails to decode (the raw FVC2002 records above
        // 50 minutiae).
        returned[p] = FilterScores(&probes[p], records.data(), kRecord, static_cast<int32_t>(n), &reference[p * n]);
    }
    ASSERT_GT(std::count(returned.begin(), returned.end(), static_cast<int32_t>(n)), 10);
    std::atomic<long> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            uint8_t own[kRecord];
            for (size_t k = 0; k < n; ++k) {
                const size_t p = (k * (2 * t + 1) + 3 * t) % n;
                std::vector<int32_t> scores(n, -7);
                if (FilterScores(&probes[p], records.data(), kRecord, static_cast<int32_t>(n), scores.data()) != returned[p])
                    ++mismatches;
                if (!std::equal(scores.begin(), scores.end(), reference.begin() + static_cast<ptrdiff_t>(p * n))) ++mismatches;
                MakeFilterRecord(in.templates[p].data(), own);
                if (std::memcmp(own, records.data() + p * kRecord, kRecord) != 0) ++mismatches;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(Concurrency, SharedPreparedRecordsReadAtOnce) {
    // One set of prepared records, read by every thread at once, as a
    // gallery kept in memory is.
    const Inputs& in = Shared();
    const size_t n = in.templates.size();
    std::vector<PreparedProbe> probes(n);
    std::vector<PreparedGallery> galleries(n);
    std::vector<int32_t> reference(n * n);
    for (size_t p = 0; p < n; ++p) {
        PrepareProbe(in.templates[p].data(), &probes[p]);
        PrepareGallery(in.templates[p].data(), &galleries[p]);
    }
    for (size_t p = 0; p < n; ++p)
        for (size_t g = 0; g < n; ++g) reference[p * n + g] = Match2Score(in.templates[p].data(), in.templates[g].data());
    std::atomic<long> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (size_t k = 0; k < n * n; ++k) {
                const size_t item = (k * (2 * t + 1) + 5 * t) % (n * n), p = item / n, g = item % n;
                const int32_t score = (k & 1) ? MatchPreparedPair(&probes[p], &galleries[g])
                                              : MatchPrepared(&probes[p], in.templates[g].data());
                if (score != reference[item]) ++mismatches;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
