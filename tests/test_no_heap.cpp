// The library allocates nothing: malloc, calloc, realloc, free and every
// operator new / delete are interposed in this program and counted while an
// entry point runs on the calling thread. Every count must be zero.
//
// Sanitizer runtimes own malloc themselves, so the interposition is left out
// of sanitizer builds and the tests skip there.
#include <gtest/gtest.h>

#include <memory>

#include <atomic>
#include <cstdlib>
#include <new>

#include "test_support.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define FPMATCH_NO_INTERPOSE 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define FPMATCH_NO_INTERPOSE 1
#endif
#endif

namespace {
thread_local bool tArmed = false;
std::atomic<long> gAllocations{0};
inline void Note() {
    if (tArmed) gAllocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

#ifndef FPMATCH_NO_INTERPOSE
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
void* __libc_memalign(size_t, size_t);

void* malloc(size_t n) {
    Note();
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) {
    Note();
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) {
    Note();
    return __libc_realloc(p, n);
}
void free(void* p) {
    if (p) Note();
    __libc_free(p);
}
}

void* operator new(size_t n) {
    Note();
    if (void* p = __libc_malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    Note();
    return __libc_malloc(n ? n : 1);
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return operator new(n, std::nothrow); }
void* operator new(size_t n, std::align_val_t a) {
    Note();
    if (void* p = __libc_memalign(static_cast<size_t>(a), n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n, std::align_val_t a) { return operator new(n, a); }
void operator delete(void* p) noexcept {
    if (p) Note();
    __libc_free(p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, size_t) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }
void operator delete(void* p, std::align_val_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::align_val_t) noexcept { operator delete(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { operator delete(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { operator delete(p); }
#endif

namespace {

using fpmatch::test::Bytes;

// Counts heap calls made by `f` on this thread.
template <typename F>
long CountAllocations(F&& f) {
    gAllocations = 0;
    tArmed = true;
    f();
    tArmed = false;
    return gAllocations.load();
}

class NoHeap : public ::testing::Test {
protected:
    void SetUp() override {
#ifdef FPMATCH_NO_INTERPOSE
        GTEST_SKIP() << "allocation counting needs the plain build (sanitizers own malloc)";
#endif
        using namespace fpmatch::samples;
        for (int s = 0; s < 4; ++s) {
            const auto finger = MakeFinger(300 + s, 20 + 8 * s);
            templates_.push_back(Padded(MakeNativeTemplate(finger, 60, {120, 140}, {0, 0})));
            templates_.push_back(Padded(MakeIsoRecord(MakeImpression(finger, 400 + s), 60)));
        }
        const auto fvc = fpmatch::test::LoadFvc();
        for (size_t i = 0; i < fvc.size(); i += 16) templates_.push_back(Padded(fvc[i].bytes));
        for (const auto& t : templates_) {
            fpmatch::test::OwnedFeatureSet set;
            if (set.Decode(t) != 0) continue;
            Bytes s(512, 0);
            if (WriteShortTemplate(&set.fs, s.data(), s.size()) == 512) shorts_.insert(shorts_.end(), s.begin(), s.end());
        }
    }
    static Bytes Padded(Bytes b) {
        b.resize(512, 0);
        return b;
    }
    std::vector<Bytes> templates_;
    Bytes shorts_;
};

TEST_F(NoHeap, CountingWorks) {
    // The counter itself must see an allocation made on this thread.
    const long seen = CountAllocations([] {
        void* volatile p = std::malloc(16);
        std::free(p);
    });
    EXPECT_EQ(seen, 2);
}

TEST_F(NoHeap, OneToOneComparison) {
    long total = 0, calls = 0;
    for (const auto& p : templates_)
        for (const auto& g : templates_) {
            total += CountAllocations([&] {
                volatile int32_t s = Match2Score(p.data(), g.data());
                s = Match2Fp(p.data(), g.data());
                (void)s;
            });
            ++calls;
        }
    std::printf("heap calls in %ld Match2Score/Match2Fp pairs: %ld\n", calls, total);
    EXPECT_EQ(total, 0);
}

TEST_F(NoHeap, ExplainMatch) {
    auto e = std::make_unique<MatchExplanation>();  // caller-owned, allocated before counting
    long total = 0;
    for (const auto& p : templates_)
        for (const auto& g : templates_) total += CountAllocations([&] { ExplainMatch(p.data(), g.data(), e.get()); });
    EXPECT_EQ(total, 0);
}

TEST_F(NoHeap, ListSearch) {
    constexpr int32_t kStride = 512;
    Bytes list;
    for (const auto& t : templates_) list.insert(list.end(), t.begin(), t.end());
    const int32_t count = static_cast<int32_t>(templates_.size());
    long total = 0;
    for (const auto& p : templates_)
        for (int32_t threshold : {0, 30, 101}) {
            int32_t index = 0, score = 0;
            total += CountAllocations(
                [&] { MatchListFp(p.data(), list.data(), kStride, 0, count, threshold, &index, &score); });
        }
    std::printf("heap calls in MatchListFp: %ld\n", total);
    EXPECT_EQ(total, 0);
}

TEST_F(NoHeap, PreparedRecordsAndRankedSearch) {
    constexpr int32_t kStride = 512;
    Bytes list;
    for (const auto& t : templates_) list.insert(list.end(), t.begin(), t.end());
    const int32_t count = static_cast<int32_t>(templates_.size());
    // Records and result buffers belong to the caller; only the calls count.
    static PreparedProbe probe;
    static PreparedGallery gallery;
    std::vector<int32_t> outcomes(static_cast<size_t>(count));
    std::vector<SearchHit> hits(5);
    long total = 0;
    for (const auto& p : templates_) {
        total += CountAllocations([&] {
            PrepareProbe(p.data(), &probe);
            for (const auto& g : templates_) {
                PrepareGallery(g.data(), &gallery);
                MatchPreparedPair(&probe, &gallery);
                MatchPrepared(&probe, g.data());
            }
            MatchPreparedList(&probe, list.data(), kStride, 0, count, outcomes.data());
            SearchTopK(&probe, list.data(), kStride, 0, count, 5, hits.data());
        });
    }
    std::printf("heap calls in the prepared calls: %ld\n", total);
    EXPECT_EQ(total, 0);
}

TEST_F(NoHeap, PackedGallery) {
    // Built (with allocations) before counting: three segments of the templates.
    Bytes gallery;
    const size_t third = templates_.size() / 3;
    for (size_t s = 0; s < 3; ++s) {
        const size_t from = s * third, to = s == 2 ? templates_.size() : from + third;
        std::vector<Bytes> part(templates_.begin() + static_cast<ptrdiff_t>(from),
                                templates_.begin() + static_cast<ptrdiff_t>(to));
        ASSERT_TRUE(fpmatch::test::AppendGallerySegment(gallery, part, std::vector<std::string>(part.size(), "n"),
                                                        512, s == 1));
    }
    static PreparedProbe probe;
    std::vector<SearchHit> hits(300);
    GalleryInfo info;
    GallerySegment seg;
    GalleryEntry entry;
    const int32_t count = static_cast<int32_t>(templates_.size());
    long total = 0;
    for (const auto& p : templates_) {
        total += CountAllocations([&] {
            PrepareProbe(p.data(), &probe);
            CheckGallery(gallery.data(), gallery.size(), &info);
            GetGallerySegment(gallery.data(), gallery.size(), 1, &seg);
            GetGalleryEntry(gallery.data(), gallery.size(), count - 1, &entry);
            for (int32_t k : {5, 300}) SearchGalleryTopK(&probe, gallery.data(), gallery.size(), 0, count, k, hits.data());
        });
    }
    std::printf("heap calls in the gallery calls: %ld\n", total);
    EXPECT_EQ(total, 0);
}

TEST_F(NoHeap, CompactRecords) {
    // Records, offsets, probes and outcomes belong to the caller, made before
    // counting.
    Bytes records(templates_.size() * FPMATCH_COMPACT_GALLERY_MAX_SIZE);
    std::vector<uint32_t> offsets(templates_.size() + 1, 0);
    static PreparedProbe probes[2];
    const PreparedProbe* pointers[2] = {&probes[0], &probes[1]};
    std::vector<int32_t> outcomes(2 * templates_.size());
    const int32_t count = static_cast<int32_t>(templates_.size());
    long total = 0;
    for (size_t p = 0; p + 1 < templates_.size(); ++p) {
        total += CountAllocations([&] {
            for (size_t g = 0; g < templates_.size(); ++g) {
                const int32_t n = CompactGalleryTemplate(templates_[g].data(), records.data() + offsets[g],
                                                         records.size() - offsets[g]);
                offsets[g + 1] = offsets[g] + static_cast<uint32_t>(n > 0 ? n : 0);
            }
            PrepareProbe(templates_[p].data(), &probes[0]);
            PrepareProbe(templates_[p + 1].data(), &probes[1]);
            MatchPreparedCompactPacked(&probes[0], records.data(), records.size(), offsets.data(), 0, count, outcomes.data());
            MatchPreparedCompactPackedBatch(pointers, 2, records.data(), records.size(), offsets.data(), 0, count,
                                            outcomes.data());
        });
    }
    std::printf("heap calls in the compact-record calls: %ld\n", total);
    EXPECT_EQ(total, 0);
}

TEST_F(NoHeap, Screening) {
    ASSERT_FALSE(shorts_.empty());
    const int32_t count = static_cast<int32_t>(shorts_.size() / 512);
    long total = 0;
    for (int32_t r = 0; r < count; ++r) {
        int32_t best[FPMATCH_SCREEN_BEST];
        total += CountAllocations([&] { QuickSort(shorts_.data() + 512 * r, shorts_.data(), count, best); });
    }
    std::printf("heap calls in %d QuickSort calls over %d candidates: %ld\n", count, count, total);
    EXPECT_EQ(total, 0);
}

TEST_F(NoHeap, CandidateFilter) {
    // Records, probe and scores belong to the caller, made before counting.
    Bytes records(templates_.size() * FPMATCH_FILTER_RECORD_SIZE);
    static FilterProbe probe;
    std::vector<int32_t> scores(templates_.size());
    const int32_t count = static_cast<int32_t>(templates_.size());
    long total = 0;
    for (const auto& p : templates_) {
        total += CountAllocations([&] {
            for (size_t g = 0; g < templates_.size(); ++g)
                MakeFilterRecord(templates_[g].data(), records.data() + g * FPMATCH_FILTER_RECORD_SIZE);
            PrepareFilterProbe(p.data(), &probe);
            FilterScores(&probe, records.data(), FPMATCH_FILTER_RECORD_SIZE, count, scores.data());
        });
    }
    std::printf("heap calls in the filter calls: %ld\n", total);
    EXPECT_EQ(total, 0);
}

TEST_F(NoHeap, DecodersWritersAndAdapter) {
    long total = 0;
    for (const auto& t : templates_) {
        total += CountAllocations([&] {
            fpmatch::test::OwnedFeatureSet set;
            CheckTemplate(t.data(), t.size());
            if (DecodeFeature(t.data(), &set.fs) == 0) {
                uint8_t out[512];
                WriteNativeTemplate(&set.fs, out, sizeof out);
                WriteShortTemplate(&set.fs, out, sizeof out);
            }
            uint8_t adapted[512];
            AdaptIsoRecord(t.data(), t.size(), adapted, sizeof adapted);
            math_Atang(3, -7);
        });
    }
    EXPECT_EQ(total, 0);
}

}  // namespace
