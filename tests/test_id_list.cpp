// FpmSearchList, the ranking of templates held in memory: the same hits as
// one SearchTopK over the whole list for every thread count and top, entries
// that are not whole ranked 0 without being read, and its argument rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "fpmatch_id.h"
#include "id_test_support.h"
#include "test_support.h"

using namespace fpmatch::test;

namespace {

constexpr int32_t kStride = 328;  // the largest ISO record

// Generated impressions (several per finger, so that scores spread from 0
// to 100), each at its own stride slot, with two entries that do not decode.
Bytes MakeList(int32_t* count) {
    Bytes list;
    int32_t n = 0;
    for (const Enrolment& e : GeneratedEnrolments(12, 3)) {
        list.resize(static_cast<size_t>(n + 1) * kStride, 0);
        std::copy(e.bytes.begin(), e.bytes.end(), list.begin() + static_cast<ptrdiff_t>(n) * kStride);
        ++n;
        if (n == 5 || n == 20) {  // a slot of zeros: native version byte 0
            list.resize(static_cast<size_t>(n + 1) * kStride, 0);
            ++n;
        }
    }
    *count = n;
    return list;
}

std::vector<SearchHit> TopK(const PreparedProbe& probe, const Bytes& list, int32_t count, int32_t k) {
    std::vector<SearchHit> hits(static_cast<size_t>(std::max(k, 1)));
    const int32_t n = SearchTopK(&probe, list.data(), kStride, 0, count, k, hits.data());
    hits.resize(static_cast<size_t>(std::max(n, 0)));
    return hits;
}

std::vector<SearchHit> Search(const PreparedProbe& probe, const uint8_t* list, size_t length, int32_t top,
                              int32_t threads, int32_t capacity) {
    std::vector<SearchHit> hits(static_cast<size_t>(std::max(capacity, 1)));
    const int32_t n = FpmSearchList(&probe, list, length, kStride, top, threads, hits.data(), capacity);
    EXPECT_GE(n, 0) << FpmLastErrorDetail();
    hits.resize(static_cast<size_t>(std::max(n, 0)));
    return hits;
}

}  // namespace

// Where the standard algorithms find it: beside SearchHit, in the global
// namespace.
static bool operator==(const SearchHit& a, const SearchHit& b) { return a.index == b.index && a.score == b.score; }

// Every thread count and top gives SearchTopK's hits over the whole list,
// ties included (many generated entries score 0 and rank by index).
TEST(IdList, EqualsOneSearchTopK) {
    int32_t count = 0;
    const Bytes list = MakeList(&count);
    for (const int32_t p : {0, 7, 30}) {
        PreparedProbe probe;
        ASSERT_EQ(PrepareProbe(list.data() + static_cast<size_t>(p) * kStride, &probe), FPMATCH_DECODED);
        const std::vector<SearchHit> all = TopK(probe, list, count, count);
        ASSERT_EQ(static_cast<int32_t>(all.size()), count);
        ASSERT_GT(all.front().score, all[3].score) << "the ranking has no spread to test";
        for (const int32_t threads : {1, 2, 0})
            for (const int32_t top : {0, 1, 4, count - 1, count + 5}) {
                const int32_t k = top == 0 || top > count ? count : top;
                EXPECT_EQ(Search(probe, list.data(), list.size(), top, threads, count + 5), TopK(probe, list, count, k))
                    << "probe " << p << ", threads " << threads << ", top " << top;
            }
        // A capacity below top keeps the first hits.
        EXPECT_EQ(Search(probe, list.data(), list.size(), 0, 2, 3), TopK(probe, list, count, 3));
    }
}

// An entry whose template runs past the end of the list is never read and
// ranks 0, like an entry that does not decode; the whole entries before it
// rank as before. The list is copied into a buffer of its exact length so
// that a read past it is caught by the sanitizer builds.
TEST(IdList, EntryCutShortRanksZero) {
    int32_t count = 0;
    const Bytes list = MakeList(&count);
    PreparedProbe probe;
    ASSERT_EQ(PrepareProbe(list.data() + 7 * kStride, &probe), FPMATCH_DECODED);
    // The last entry keeps only its first 40 bytes.
    const size_t length = static_cast<size_t>(count - 1) * kStride + 40;
    const std::vector<uint8_t> cut(list.begin(), list.begin() + static_cast<ptrdiff_t>(length));
    std::vector<SearchHit> expected = TopK(probe, list, count - 1, count - 1);
    const auto zero = std::find_if(expected.begin(), expected.end(), [](const SearchHit& h) { return h.score == 0; });
    expected.insert(std::find_if(zero, expected.end(), [&](const SearchHit& h) { return h.index > count - 1; }),
                    SearchHit{count - 1, 0});
    for (const int32_t threads : {1, 2}) EXPECT_EQ(Search(probe, cut.data(), cut.size(), 0, threads, count), expected);
}

// One row per argument rule: the code, or the number of hits.
TEST(IdList, Arguments) {
    int32_t count = 0;
    const Bytes list = MakeList(&count);
    PreparedProbe probe, blank;
    ASSERT_EQ(PrepareProbe(list.data(), &probe), FPMATCH_DECODED);
    std::memset(&blank, 0, sizeof blank);
    SearchHit hits[4];
    struct Row {
        const char* what;
        const PreparedProbe* probe;
        const uint8_t* list;
        size_t length;
        int32_t stride, top, threads;
        SearchHit* hits;
        int32_t capacity, result;
    };
    const uint8_t* l = list.data();
    const Row rows[] = {
        {"no probe", nullptr, l, list.size(), kStride, 0, 1, hits, 4, FPM_E_ARGUMENT},
        {"a probe record that does not read back", &blank, l, list.size(), kStride, 0, 1, hits, 4, FPM_E_ARGUMENT},
        {"no list", &probe, nullptr, kStride, kStride, 0, 1, hits, 4, FPM_E_ARGUMENT},
        {"stride 0", &probe, l, list.size(), 0, 0, 1, hits, 4, FPM_E_ARGUMENT},
        {"negative top", &probe, l, list.size(), kStride, -1, 1, hits, 4, FPM_E_ARGUMENT},
        {"negative threads", &probe, l, list.size(), kStride, 0, -1, hits, 4, FPM_E_ARGUMENT},
        {"negative capacity", &probe, l, list.size(), kStride, 0, 1, hits, -1, FPM_E_ARGUMENT},
        {"no hits with room for some", &probe, l, list.size(), kStride, 0, 1, nullptr, 4, FPM_E_ARGUMENT},
        {"more than 2^31 entries", &probe, l, size_t{1} << 32, 1, 0, 1, hits, 4, FPM_E_ARGUMENT},
        {"a length that would wrap a rounding up", &probe, l, SIZE_MAX, kStride, 0, 1, hits, 4, FPM_E_ARGUMENT},
        {"an empty list", &probe, nullptr, 0, kStride, 0, 1, hits, 4, 0},
        {"no room", &probe, l, list.size(), kStride, 0, 1, nullptr, 0, 0},
        {"one byte: one entry, cut short", &probe, l, 1, kStride, 0, 1, hits, 4, 1},
        {"top above capacity", &probe, l, list.size(), kStride, 10, 1, hits, 4, 4},
    };
    for (const Row& r : rows)
        EXPECT_EQ(FpmSearchList(r.probe, r.list, r.length, r.stride, r.top, r.threads, r.hits, r.capacity), r.result)
            << r.what;
    // The one-byte list's entry was not read as a template: it ranks 0.
    ASSERT_EQ(FpmSearchList(&probe, l, 1, kStride, 0, 1, hits, 4), 1);
    EXPECT_TRUE((hits[0] == SearchHit{0, 0}));
}
