// Fuzz target: packed gallery readers.
//
// The whole input is a gallery buffer (an exact-size copy, so
// AddressSanitizer reports any read past it). Checks:
//  - CheckGallery, GetGallerySegment, GetGalleryEntry and SearchGalleryTopK
//    agree: a refused buffer is refused by each with the same code;
//  - an accepted buffer's segments are contiguous in entry order, their
//    areas and every entry the library hands out lie inside the used size
//    (each returned byte is read);
//  - the ranked search over a few entries equals the ranking built from
//    MatchPrepared on the same slots, and a split range merges to it.
#include <algorithm>
#include <vector>

#include "fuzz_common.h"

using namespace fpmatch::fuzz;

namespace {

PreparedProbe probeRecord;  // large: outside the fuzzer's stack
const Slot kZeroSlot;       // a template that fails to decode, 328 readable bytes

constexpr int32_t kMaxVisited = 64;   // segments and entries inspected per input
constexpr int32_t kMaxSearched = 8;   // entries ranked per input

volatile uint32_t gSink;

void Touch(const uint8_t* p, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum += p[i];
    gSink = sum;
}

bool Inside(const uint8_t* base, uint64_t used, const void* p, uint64_t n) {
    const auto* q = static_cast<const uint8_t*>(p);
    return q >= base && static_cast<uint64_t>(q - base) <= used && n <= used - static_cast<uint64_t>(q - base);
}

bool Before(const SearchHit& a, const SearchHit& b) {
    return a.score > b.score || (a.score == b.score && a.index < b.index);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto copy = ExactCopy(data, size);
    const uint8_t* g = copy.get();
    GalleryInfo info{};
    info.entryCount = -77;
    const int32_t code = CheckGallery(g, size, &info);
    GallerySegment seg{};
    GalleryEntry entry{};
    SearchHit hits[kMaxSearched];
    if (code < 0) {
        FUZZ_CHECK(code >= FPMATCH_GALLERY_COUNT_MISMATCH && code <= FPMATCH_GALLERY_NOT_GALLERY);
        FUZZ_CHECK(info.entryCount == -77);
        FUZZ_CHECK(GetGallerySegment(g, size, 0, &seg) == code);
        FUZZ_CHECK(GetGalleryEntry(g, size, 0, &entry) == code);
        PrepareProbe(kZeroSlot.bytes, &probeRecord);  // the gallery is refused before the probe is looked at
        FUZZ_CHECK(SearchGalleryTopK(&probeRecord, g, size, 0, 1, 1, hits) == code);
        return 0;
    }
    FUZZ_CHECK(code == info.entryCount && info.version == FPMATCH_GALLERY_VERSION);
    FUZZ_CHECK(info.segmentCount >= 0 && info.segmentCount <= FPMATCH_GALLERY_MAX_SEGMENTS);
    FUZZ_CHECK(info.shortCount >= 0 && info.shortCount <= info.entryCount);
    FUZZ_CHECK(info.usedSize >= FPMATCH_GALLERY_HEADER_SIZE && info.usedSize <= size);
    const uint64_t used = info.usedSize;

    // Segments: contiguous from entry 0, areas inside the used size.
    int32_t expectFirst = 0;
    for (int32_t s = 0; s < info.segmentCount && s < kMaxVisited; ++s) {
        FUZZ_CHECK(GetGallerySegment(g, size, s, &seg) == 0);
        FUZZ_CHECK(seg.firstIndex == expectFirst && seg.entryCount >= 1);
        FUZZ_CHECK(seg.stride >= FPMATCH_GALLERY_MIN_STRIDE && seg.stride <= FPMATCH_GALLERY_MAX_STRIDE);
        const uint64_t n = static_cast<uint64_t>(seg.entryCount);
        FUZZ_CHECK(Inside(g, used, g + seg.templatesOffset, n * static_cast<uint64_t>(seg.stride)));
        FUZZ_CHECK(Inside(g, used, g + seg.directoryOffset, n * FPMATCH_GALLERY_ENTRY_SIZE));
        FUZZ_CHECK(Inside(g, used, g + seg.namesOffset, seg.namesSize));
        FUZZ_CHECK(seg.hasShorts ? Inside(g, used, g + seg.shortsOffset, n * FPMATCH_SHORT_TEMPLATE_SIZE)
                                 : seg.shortsOffset == 0);
        FUZZ_CHECK(seg.endOffset <= used);
        expectFirst += seg.entryCount;
    }
    if (info.segmentCount <= kMaxVisited) FUZZ_CHECK(expectFirst == info.entryCount);
    FUZZ_CHECK(GetGallerySegment(g, size, info.segmentCount, &seg) == FPMATCH_GALLERY_BAD_RANGE);

    // Entries: the first few and the last few; everything handed out is read.
    const int32_t n = info.entryCount;
    for (int32_t k = 0; k < kMaxVisited && k < n; ++k) {
        const int32_t i = k < kMaxVisited / 2 ? k : n - 1 - (k - kMaxVisited / 2);
        const int32_t got = GetGalleryEntry(g, size, i, &entry);
        FUZZ_CHECK(got == 0 || got == FPMATCH_GALLERY_BAD_ENTRY);
        if (got != 0) continue;
        FUZZ_CHECK(entry.templateLength >= 1 && entry.templateLength <= entry.stride);
        FUZZ_CHECK(Inside(g, used, entry.templateData, static_cast<uint64_t>(entry.stride)));
        FUZZ_CHECK(Inside(g, used, entry.name, static_cast<uint64_t>(entry.nameLength)));
        Touch(entry.templateData, static_cast<size_t>(entry.stride));
        Touch(reinterpret_cast<const uint8_t*>(entry.name), static_cast<size_t>(entry.nameLength));
        if (entry.shortTemplate != nullptr) {
            FUZZ_CHECK(Inside(g, used, entry.shortTemplate, FPMATCH_SHORT_TEMPLATE_SIZE));
            Touch(entry.shortTemplate, FPMATCH_SHORT_TEMPLATE_SIZE);
        }
    }
    FUZZ_CHECK(GetGalleryEntry(g, size, n, &entry) == FPMATCH_GALLERY_BAD_RANGE);
    FUZZ_CHECK(GetGalleryEntry(g, size, -1, &entry) == FPMATCH_GALLERY_BAD_RANGE);
    if (n == 0) {
        PrepareProbe(kZeroSlot.bytes, &probeRecord);
        FUZZ_CHECK(SearchGalleryTopK(&probeRecord, g, size, 0, 5, 3, hits) == FPMATCH_GALLERY_BAD_PROBE);
        return 0;
    }

    // Ranked search over the last few entries (crossing into earlier
    // segments when they are short), probe = the first entry's slot (at
    // least 328 bytes, all a decoder reads).
    GallerySegment first{};
    FUZZ_CHECK(GetGallerySegment(g, size, 0, &first) == 0);
    if (PrepareProbe(g + first.templatesOffset, &probeRecord) != 0) {
        FUZZ_CHECK(SearchGalleryTopK(&probeRecord, g, size, 0, n, 3, hits) == FPMATCH_GALLERY_BAD_PROBE);
        return 0;
    }
    const int32_t from = n > kMaxSearched ? n - kMaxSearched : 0, count = n - from;
    std::vector<SearchHit> expected;
    for (int32_t i = from; i < n; ++i) {
        // The slot the search reads, found through the segment table (the
        // entry's directory record may be damaged; its slot is still safe).
        int32_t s = 0;
        while (GetGallerySegment(g, size, s, &seg) == 0 && i >= seg.firstIndex + seg.entryCount) ++s;
        FUZZ_CHECK(i >= seg.firstIndex && i < seg.firstIndex + seg.entryCount);
        const uint8_t* slot = g + seg.templatesOffset + static_cast<uint64_t>(i - seg.firstIndex) * seg.stride;
        expected.push_back({i, MatchPrepared(&probeRecord, slot)});
    }
    std::stable_sort(expected.begin(), expected.end(), Before);
    const int32_t k = 1 + static_cast<int32_t>(size % kMaxSearched);
    const int32_t got = SearchGalleryTopK(&probeRecord, g, size, from, count, k, hits);
    FUZZ_CHECK(got == std::min(k, count));
    for (int32_t q = 0; q < got; ++q)
        FUZZ_CHECK(hits[q].index == expected[static_cast<size_t>(q)].index &&
                   hits[q].score == expected[static_cast<size_t>(q)].score);
    // Split in two and merged.
    const int32_t cut = from + count / 2;
    SearchHit a[kMaxSearched], b[kMaxSearched];
    const int32_t na = SearchGalleryTopK(&probeRecord, g, size, from, cut - from, k, a);
    const int32_t nb = SearchGalleryTopK(&probeRecord, g, size, cut, n - cut, k, b);
    FUZZ_CHECK(na >= 0 && nb >= 0);
    std::vector<SearchHit> merged(a, a + na);
    merged.insert(merged.end(), b, b + nb);
    std::sort(merged.begin(), merged.end(), Before);
    merged.resize(std::min<size_t>(merged.size(), static_cast<size_t>(k)));
    FUZZ_CHECK(static_cast<int32_t>(merged.size()) == got);
    for (int32_t q = 0; q < got; ++q) FUZZ_CHECK(merged[static_cast<size_t>(q)].index == hits[q].index);
    return 0;
}
