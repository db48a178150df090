#include "gallery_search.h"

#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <string>

#include "parallel.h"

namespace fpmatch::tool {

namespace {

constexpr int32_t kRankBlock = 1024;   // entries per SearchGalleryTopK call
constexpr int32_t kFirstBlock = 64;    // entries per MatchPreparedList call in FirstInGallery
constexpr int32_t kScreenBlock = 4096; // short templates per ScreenScores call

std::vector<GallerySegment> Segments(const MappedGallery& gallery) {
    std::vector<GallerySegment> segments(static_cast<size_t>(gallery.Info().segmentCount));
    for (size_t s = 0; s < segments.size(); ++s) {
        std::string reason;
        if (!gallery.Segment(static_cast<int32_t>(s), &segments[s], &reason))
            throw std::runtime_error(gallery.Path() + ": " + reason);
    }
    return segments;
}

// Calls fn(segment, localFirst, count, globalFirst) for every part of
// first .. first + count - 1 that lies in one segment, in index order.
template <class Fn>
void ForEachRun(const std::vector<GallerySegment>& segments, int32_t first, int32_t count, Fn fn) {
    const int64_t end = static_cast<int64_t>(first) + count;
    for (const GallerySegment& s : segments) {
        const int64_t lo = std::max<int64_t>(first, s.firstIndex);
        const int64_t hi = std::min<int64_t>(end, static_cast<int64_t>(s.firstIndex) + s.entryCount);
        if (lo < hi)
            fn(s, static_cast<int32_t>(lo - s.firstIndex), static_cast<int32_t>(hi - lo), static_cast<int32_t>(lo));
    }
}

}  // namespace

bool HitBefore(const SearchHit& a, const SearchHit& b) {
    return a.score != b.score ? a.score > b.score : a.index < b.index;
}

std::vector<SearchHit> MergeHits(std::vector<SearchHit> hits, int32_t k) {
    const size_t keep = std::min(hits.size(), static_cast<size_t>(std::max(k, 0)));
    std::partial_sort(hits.begin(), hits.begin() + static_cast<ptrdiff_t>(keep), hits.end(), HitBefore);
    hits.resize(keep);
    return hits;
}

std::vector<SearchHit> RankGallery(const MappedGallery& gallery, const PreparedProbe& probe, int32_t first,
                                   int32_t count, int32_t k, unsigned threads) {
    if (count <= 0 || k <= 0) return {};
    const size_t blocks = static_cast<size_t>((static_cast<int64_t>(count) + kRankBlock - 1) / kRankBlock);
    std::vector<std::vector<SearchHit>> parts(blocks);
    ParallelFor(blocks, threads, "searched", [&](size_t b) {
        const int32_t from = first + static_cast<int32_t>(b) * kRankBlock;
        const int32_t n = std::min<int32_t>(kRankBlock, first + count - from);
        std::vector<SearchHit> hits(static_cast<size_t>(std::min(k, n)));
        const int32_t got = SearchGalleryTopK(&probe, gallery.Data(), gallery.Size(), from, n,
                                              static_cast<int32_t>(hits.size()), hits.data());
        if (got < 0) throw std::runtime_error(gallery.Path() + ": " + GalleryCodeMessage(got));
        hits.resize(static_cast<size_t>(got));
        parts[b] = std::move(hits);
    });
    std::vector<SearchHit> all;
    for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return MergeHits(std::move(all), k);
}

SearchHit FirstInGallery(const MappedGallery& gallery, const PreparedProbe& probe, int32_t first, int32_t count,
                         int32_t threshold, unsigned threads) {
    const auto segments = Segments(gallery);
    const int32_t wave = kFirstBlock * 4 * static_cast<int32_t>(ResolveThreads(threads));
    std::vector<int32_t> outcomes(static_cast<size_t>(wave));
    for (int64_t from = first; from < static_cast<int64_t>(first) + count; from += wave) {
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(wave, static_cast<int64_t>(first) + count - from));
        const size_t blocks = static_cast<size_t>((n + kFirstBlock - 1) / kFirstBlock);
        ParallelFor(blocks, threads, "searched", [&](size_t b) {
            const int32_t blockFirst = static_cast<int32_t>(from) + static_cast<int32_t>(b) * kFirstBlock;
            const int32_t blockCount = std::min(kFirstBlock, static_cast<int32_t>(from) + n - blockFirst);
            ForEachRun(segments, blockFirst, blockCount, [&](const GallerySegment& s, int32_t local, int32_t c, int32_t at) {
                MatchPreparedList(&probe, gallery.Data() + s.templatesOffset, s.stride, local, c,
                                  outcomes.data() + (at - from));
            });
        });
        for (int32_t i = 0; i < n; ++i) {
            // An entry without a score (undecodable, no base pair) scores 0.
            const int32_t score = std::max(outcomes[static_cast<size_t>(i)], 0);
            if (score >= threshold) return SearchHit{static_cast<int32_t>(from) + i, score};
        }
    }
    return SearchHit{-1, 0};
}

bool GalleryHasShorts(const MappedGallery& gallery) {
    for (const GallerySegment& s : Segments(gallery))
        if (!s.hasShorts) return false;
    return true;
}

std::vector<SearchHit> RankScreened(const MappedGallery& gallery, const PreparedProbe& probe,
                                    const uint8_t* probeShort, int32_t keep, int32_t k, unsigned threads) {
    const auto segments = Segments(gallery);
    const int32_t total = gallery.Info().entryCount;
    if (total <= 0 || k <= 0) return {};
    // Stage 1: every entry's screening score.
    std::vector<int32_t> screen(static_cast<size_t>(total), 0);
    const size_t blocks = static_cast<size_t>((static_cast<int64_t>(total) + kScreenBlock - 1) / kScreenBlock);
    ParallelFor(blocks, threads, "screened", [&](size_t b) {
        const int32_t from = static_cast<int32_t>(b) * kScreenBlock;
        const int32_t n = std::min(kScreenBlock, total - from);
        ForEachRun(segments, from, n, [&](const GallerySegment& s, int32_t local, int32_t c, int32_t at) {
            if (!s.hasShorts) return;  // no short templates: these entries score 0
            ScreenScores(probeShort, gallery.Data() + s.shortsOffset + static_cast<uint64_t>(local) * FPMATCH_SHORT_TEMPLATE_SIZE,
                         c, screen.data() + at);
        });
    });
    // The `keep` best screening scores, ties by lower index.
    std::vector<int32_t> order(screen.size());
    std::iota(order.begin(), order.end(), 0);
    const size_t kept = std::min(order.size(), static_cast<size_t>(std::max(keep, 0)));
    std::partial_sort(order.begin(), order.begin() + static_cast<ptrdiff_t>(kept), order.end(), [&](int32_t a, int32_t b) {
        return screen[static_cast<size_t>(a)] != screen[static_cast<size_t>(b)]
                   ? screen[static_cast<size_t>(a)] > screen[static_cast<size_t>(b)]
                   : a < b;
    });
    order.resize(kept);
    // Stage 2: the full comparison of the kept candidates.
    std::vector<SearchHit> hits(kept);
    ParallelFor(kept, threads, "compared", [&](size_t i) {
        GalleryEntry e{};
        std::string reason;
        const int32_t index = order[i];
        hits[i] = SearchHit{index, gallery.Entry(index, &e, &reason) ? MatchPrepared(&probe, e.templateData) : 0};
    });
    return MergeHits(std::move(hits), k);
}

}  // namespace fpmatch::tool
