// Packed galleries: validation, entry look-up, ranked search and the header
// writers. The layout is described in fpmatch.h ("Packed galleries").
//
// Every reader starts with Walk(), which checks the file header and follows
// the segment chain, checking each segment header and the bounds of its
// areas against the used size before anything else is read. Fields are
// assembled byte by byte (little-endian), so neither alignment nor the
// host's byte order matters.
#include <cstdint>
#include <cstring>

#include "internal.h"

namespace fpmatch::detail {

namespace {

constexpr uint8_t kMagic[8] = {0x89, 'F', 'P', 'G', '\r', '\n', 0x1A, '\n'};
constexpr uint8_t kSegmentMagic[8] = {'F', 'P', 'G', 'S', 'E', 'G', '1', 0};
constexpr uint64_t kHeaderSize = FPMATCH_GALLERY_HEADER_SIZE;
constexpr uint64_t kSegmentHeaderSize = FPMATCH_GALLERY_SEGMENT_HEADER_SIZE;
constexpr uint64_t kEntrySize = FPMATCH_GALLERY_ENTRY_SIZE;
constexpr uint64_t kShortSize = FPMATCH_SHORT_TEMPLATE_SIZE;
constexpr uint64_t kMaxEnd = uint64_t{1} << 62;  // no layout reaches beyond; sums stay far from overflow
constexpr uint32_t kFlagShorts = 1;
constexpr int32_t kMergeCapacity = 256;  // hits merged per step on the stack

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
uint64_t Le64(const uint8_t* p) { return static_cast<uint64_t>(Le32(p)) | static_cast<uint64_t>(Le32(p + 4)) << 32; }
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
    Put32(p, static_cast<uint32_t>(v));
    Put32(p + 4, static_cast<uint32_t>(v >> 32));
}

// Whether [offset, offset + length) lies inside [0, limit), without overflow.
bool Within(uint64_t offset, uint64_t length, uint64_t limit) { return offset <= limit && length <= limit - offset; }

uint64_t Align64(uint64_t v) { return (v + 63) & ~uint64_t{63}; }

struct Header {
    int32_t version;
    int32_t entryCount;
    int32_t segmentCount;
    uint64_t firstSegment, lastSegment, usedSize;
};

int32_t ReadHeader(const uint8_t* g, size_t size, Header* h) {
    if (g == nullptr) return FPMATCH_GALLERY_NULL_INPUT;
    const size_t prefix = size < sizeof kMagic ? size : sizeof kMagic;
    if (std::memcmp(g, kMagic, prefix) != 0 || size == 0) return FPMATCH_GALLERY_NOT_GALLERY;
    if (size < 12) return FPMATCH_GALLERY_TRUNCATED_HEADER;
    const uint32_t version = Le32(g + 8);
    if (version != FPMATCH_GALLERY_VERSION) return FPMATCH_GALLERY_BAD_VERSION;
    if (size < kHeaderSize) return FPMATCH_GALLERY_TRUNCATED_HEADER;
    const uint32_t headerSize = Le32(g + 12), entries = Le32(g + 16), segments = Le32(g + 20);
    h->firstSegment = Le64(g + 24);
    h->lastSegment = Le64(g + 32);
    h->usedSize = Le64(g + 40);
    if (headerSize != kHeaderSize || entries > INT32_MAX || segments > FPMATCH_GALLERY_MAX_SEGMENTS ||
        h->usedSize < kHeaderSize || h->usedSize > kMaxEnd)
        return FPMATCH_GALLERY_BAD_HEADER;
    if (size < h->usedSize) return FPMATCH_GALLERY_TRUNCATED;
    if ((segments == 0) != (entries == 0)) return FPMATCH_GALLERY_COUNT_MISMATCH;
    h->version = static_cast<int32_t>(version);
    h->entryCount = static_cast<int32_t>(entries);
    h->segmentCount = static_cast<int32_t>(segments);
    return 0;
}

// Reads and checks the segment header at `offset`. `expectedFirst` is the
// number of entries of the segments before it.
int32_t ReadSegment(const uint8_t* g, const Header& h, uint64_t offset, int64_t expectedFirst, GallerySegment* s) {
    if (offset < kHeaderSize || !Within(offset, kSegmentHeaderSize, h.usedSize)) return FPMATCH_GALLERY_BAD_SEGMENT;
    const uint8_t* p = g + offset;
    if (std::memcmp(p, kSegmentMagic, sizeof kSegmentMagic) != 0) return FPMATCH_GALLERY_BAD_SEGMENT;
    const uint32_t first = Le32(p + 16), count = Le32(p + 20), stride = Le32(p + 24), flags = Le32(p + 28);
    s->offset = offset;
    s->nextOffset = Le64(p + 8);
    s->directoryOffset = Le64(p + 32);
    s->templatesOffset = Le64(p + 40);
    s->shortsOffset = Le64(p + 48);
    s->namesOffset = Le64(p + 56);
    s->namesSize = Le64(p + 64);
    if (first != expectedFirst || count == 0 || count > static_cast<uint64_t>(h.entryCount) - first)
        return FPMATCH_GALLERY_COUNT_MISMATCH;
    if (stride < FPMATCH_GALLERY_MIN_STRIDE || stride > FPMATCH_GALLERY_MAX_STRIDE) return FPMATCH_GALLERY_BAD_STRIDE;
    const bool shorts = (flags & kFlagShorts) != 0;
    // Areas lie after the file header and end within the used size; count
    // < 2^31 and stride <= 2^20, so the products fit easily.
    if (s->directoryOffset < kHeaderSize || s->templatesOffset < kHeaderSize || s->namesOffset < kHeaderSize ||
        (shorts && s->shortsOffset < kHeaderSize) ||
        !Within(s->directoryOffset, count * kEntrySize, h.usedSize) ||
        !Within(s->templatesOffset, count * static_cast<uint64_t>(stride), h.usedSize) ||
        (shorts && !Within(s->shortsOffset, count * kShortSize, h.usedSize)) ||
        !Within(s->namesOffset, s->namesSize, h.usedSize))
        return FPMATCH_GALLERY_SECTION_OUT_OF_BOUNDS;
    if (!shorts) s->shortsOffset = 0;
    s->firstIndex = static_cast<int32_t>(first);
    s->entryCount = static_cast<int32_t>(count);
    s->stride = static_cast<int32_t>(stride);
    s->hasShorts = shorts ? 1 : 0;
    uint64_t end = s->templatesOffset + count * static_cast<uint64_t>(stride);
    const uint64_t ends[3] = {s->directoryOffset + count * kEntrySize, shorts ? s->shortsOffset + count * kShortSize : 0,
                              s->namesOffset + s->namesSize};
    for (uint64_t e : ends) end = e > end ? e : end;
    s->endOffset = end;
    return 0;
}

// Validates the whole structure and calls visit(segmentNumber, segment) for
// each segment in entry order until it returns false. Returns 0 or a code.
template <typename Visit>
int32_t Walk(const uint8_t* g, size_t size, Header* h, GalleryInfo* info, Visit visit) {
    int32_t code = ReadHeader(g, size, h);
    if (code != 0) return code;
    uint64_t offset = h->firstSegment;
    int64_t entries = 0, shorts = 0;
    bool visiting = true;
    for (int32_t s = 0; s < h->segmentCount; ++s) {
        GallerySegment seg;
        code = ReadSegment(g, *h, offset, entries, &seg);
        if (code != 0) return code;
        const bool last = s + 1 == h->segmentCount;
        if (last ? offset != h->lastSegment : seg.nextOffset <= offset) return FPMATCH_GALLERY_BAD_SEGMENT;
        entries += seg.entryCount;
        if (seg.hasShorts) shorts += seg.entryCount;
        if (visiting) visiting = visit(s, seg);
        offset = seg.nextOffset;
    }
    if (entries != h->entryCount) return FPMATCH_GALLERY_COUNT_MISMATCH;
    if (h->segmentCount == 0 && (h->firstSegment != 0 || h->lastSegment != 0)) return FPMATCH_GALLERY_BAD_SEGMENT;
    if (info != nullptr) {
        info->version = h->version;
        info->entryCount = h->entryCount;
        info->segmentCount = h->segmentCount;
        info->shortCount = static_cast<int32_t>(shorts);
        info->firstSegmentOffset = h->firstSegment;
        info->lastSegmentOffset = h->lastSegment;
        info->usedSize = h->usedSize;
    }
    return 0;
}

bool Before(const SearchHit& a, const SearchHit& b) {
    return a.score > b.score || (a.score == b.score && a.index < b.index);
}

// Merges the ranked list b[0..nb) into the ranked list hits[0..na) (room for
// k), keeping the first k of the merged order. Returns the new length.
int32_t MergeHits(SearchHit* hits, int32_t na, const SearchHit* b, int32_t nb, int32_t k) {
    const int32_t out = na + nb < k ? na + nb : k;
    // How many of each side make the first `out` of the merged order.
    int32_t ia = 0, ib = 0;
    while (ia + ib < out) {
        if (ib < nb && (ia >= na || Before(b[ib], hits[ia])))
            ++ib;
        else
            ++ia;
    }
    // Backwards into place: a kept entry of `hits` only moves up.
    int32_t pos = out - 1, i = ia - 1, j = ib - 1;
    while (j >= 0) {
        if (i >= 0 && Before(b[j], hits[i]))
            hits[pos--] = hits[i--];
        else
            hits[pos--] = b[j--];
    }
    return out;
}

}  // namespace

}  // namespace fpmatch::detail

using namespace fpmatch::detail;

extern "C" {

int32_t CheckGallery(const uint8_t* gallery, size_t size, GalleryInfo* info) {
    Header h;
    const int32_t code = Walk(gallery, size, &h, info, [](int32_t, const GallerySegment&) { return false; });
    return code != 0 ? code : h.entryCount;
}

int32_t GetGallerySegment(const uint8_t* gallery, size_t size, int32_t segment, GallerySegment* out) {
    if (out == nullptr) return FPMATCH_GALLERY_NULL_INPUT;
    Header h;
    GallerySegment found{};
    bool seen = false;
    const int32_t code = Walk(gallery, size, &h, nullptr, [&](int32_t s, const GallerySegment& seg) {
        if (s != segment) return true;
        found = seg;
        seen = true;
        return false;
    });
    if (code != 0) return code;
    if (!seen) return FPMATCH_GALLERY_BAD_RANGE;
    *out = found;
    return 0;
}

int32_t GetGalleryEntry(const uint8_t* gallery, size_t size, int32_t index, GalleryEntry* entry) {
    if (entry == nullptr) return FPMATCH_GALLERY_NULL_INPUT;
    Header h;
    GallerySegment found{};
    int32_t number = -1;
    const int32_t code = Walk(gallery, size, &h, nullptr, [&](int32_t s, const GallerySegment& seg) {
        if (static_cast<int64_t>(index) - seg.firstIndex >= seg.entryCount) return true;
        found = seg;
        number = s;
        return false;
    });
    if (code != 0) return code;
    if (index < 0 || number < 0) return FPMATCH_GALLERY_BAD_RANGE;
    const uint64_t j = static_cast<uint64_t>(index - found.firstIndex);
    const uint8_t* record = gallery + found.directoryOffset + j * kEntrySize;
    const uint64_t nameOffset = Le64(record);
    const uint32_t nameLength = Le32(record + 8), templateLength = Le32(record + 12);
    if (!Within(nameOffset, nameLength, found.namesSize) || nameLength > INT32_MAX || templateLength == 0 ||
        templateLength > static_cast<uint32_t>(found.stride))
        return FPMATCH_GALLERY_BAD_ENTRY;
    entry->templateData = gallery + found.templatesOffset + j * static_cast<uint64_t>(found.stride);
    entry->templateLength = static_cast<int32_t>(templateLength);
    entry->segment = number;
    entry->name = reinterpret_cast<const char*>(gallery + found.namesOffset + nameOffset);
    entry->nameLength = static_cast<int32_t>(nameLength);
    entry->stride = found.stride;
    entry->shortTemplate = found.hasShorts ? gallery + found.shortsOffset + j * kShortSize : nullptr;
    return 0;
}

int32_t SearchGalleryTopK(const PreparedProbe* probe, const uint8_t* gallery, size_t size, int32_t firstIndex,
                          int32_t entryCount, int32_t k, SearchHit* hits) {
    GalleryInfo info;
    const int32_t total = CheckGallery(gallery, size, &info);
    if (total < 0) return total;
    if (firstIndex < 0 || firstIndex > total || entryCount < 0) return FPMATCH_GALLERY_BAD_RANGE;
    // SearchTopK refuses an unusable probe before looking at k or the list.
    if (SearchTopK(probe, gallery, FPMATCH_GALLERY_MIN_STRIDE, 0, 0, 0, nullptr) < 0)
        return FPMATCH_GALLERY_BAD_PROBE;
    if (k <= 0) return 0;
    if (hits == nullptr) return FPMATCH_GALLERY_NULL_INPUT;
    const int64_t end64 = static_cast<int64_t>(firstIndex) + entryCount;
    const int32_t end = end64 < total ? static_cast<int32_t>(end64) : total;
    int32_t filled = 0;
    Header h;
    Walk(gallery, size, &h, nullptr, [&](int32_t, const GallerySegment& seg) {
        const int32_t segEnd = seg.firstIndex + seg.entryCount;
        if (segEnd <= firstIndex) return true;
        if (seg.firstIndex >= end) return false;
        const int32_t from = (firstIndex > seg.firstIndex ? firstIndex : seg.firstIndex) - seg.firstIndex;
        const int32_t to = (end < segEnd ? end : segEnd) - seg.firstIndex;
        const uint8_t* slots = gallery + seg.templatesOffset;
        if (filled == 0) {
            // The first run ranks straight into the caller's hits.
            filled = SearchTopK(probe, slots, seg.stride, from, to - from, k, hits);
            for (int32_t q = 0; q < filled; ++q) hits[q].index += seg.firstIndex;
            return true;
        }
        // Later runs: every index is above those already held, so their
        // ranked parts merge in. With k above the stack capacity, the run is
        // ranked in parts of kMergeCapacity entries (each part whole).
        SearchHit part[kMergeCapacity];
        const int32_t step = k <= kMergeCapacity ? to - from : kMergeCapacity;
        const int32_t partK = k <= kMergeCapacity ? k : kMergeCapacity;
        for (int32_t at = from; at < to; at += step) {
            const int32_t n = to - at < step ? to - at : step;
            const int32_t got = SearchTopK(probe, slots, seg.stride, at, n, partK, part);
            for (int32_t q = 0; q < got; ++q) part[q].index += seg.firstIndex;
            filled = MergeHits(hits, filled, part, got, k);
        }
        return true;
    });
    return filled;
}

int32_t PlanGallerySegment(GallerySegment* s) {
    if (s == nullptr) return FPMATCH_GALLERY_NULL_INPUT;
    if (s->offset < kHeaderSize) return FPMATCH_GALLERY_BAD_SEGMENT;
    if (s->stride < FPMATCH_GALLERY_MIN_STRIDE || s->stride > FPMATCH_GALLERY_MAX_STRIDE)
        return FPMATCH_GALLERY_BAD_STRIDE;
    if (s->entryCount < 1 || s->firstIndex < 0 || s->entryCount - 1 > INT32_MAX - s->firstIndex)
        return FPMATCH_GALLERY_BAD_RANGE;
    if (s->offset > kMaxEnd || s->namesSize > kMaxEnd) return FPMATCH_GALLERY_SECTION_OUT_OF_BOUNDS;
    const uint64_t count = static_cast<uint64_t>(s->entryCount);
    const uint64_t directory = s->offset + kSegmentHeaderSize;
    const uint64_t templates = Align64(directory + count * kEntrySize);
    const uint64_t afterTemplates = templates + count * static_cast<uint64_t>(s->stride);
    const uint64_t shorts = s->hasShorts ? Align64(afterTemplates) : 0;
    const uint64_t names = s->hasShorts ? shorts + count * kShortSize : afterTemplates;
    const uint64_t end = names + s->namesSize;
    if (end > kMaxEnd) return FPMATCH_GALLERY_SECTION_OUT_OF_BOUNDS;
    s->nextOffset = 0;
    s->hasShorts = s->hasShorts ? 1 : 0;
    s->directoryOffset = directory;
    s->templatesOffset = templates;
    s->shortsOffset = shorts;
    s->namesOffset = names;
    s->endOffset = end;
    return 0;
}

int32_t WriteGallerySegmentHeader(const GallerySegment* s, uint8_t* out, size_t outLength) {
    if (s == nullptr || out == nullptr) return FPMATCH_GALLERY_NULL_INPUT;
    if (outLength < kSegmentHeaderSize) return FPMATCH_GALLERY_OUT_TOO_SMALL;
    if (s->stride < FPMATCH_GALLERY_MIN_STRIDE || s->stride > FPMATCH_GALLERY_MAX_STRIDE)
        return FPMATCH_GALLERY_BAD_STRIDE;
    if (s->firstIndex < 0 || s->entryCount < 0) return FPMATCH_GALLERY_BAD_RANGE;
    uint8_t h[kSegmentHeaderSize] = {};
    std::memcpy(h, kSegmentMagic, sizeof kSegmentMagic);
    Put64(h + 8, s->nextOffset);
    Put32(h + 16, static_cast<uint32_t>(s->firstIndex));
    Put32(h + 20, static_cast<uint32_t>(s->entryCount));
    Put32(h + 24, static_cast<uint32_t>(s->stride));
    Put32(h + 28, s->hasShorts ? kFlagShorts : 0);
    Put64(h + 32, s->directoryOffset);
    Put64(h + 40, s->templatesOffset);
    Put64(h + 48, s->hasShorts ? s->shortsOffset : 0);
    Put64(h + 56, s->namesOffset);
    Put64(h + 64, s->namesSize);
    std::memcpy(out, h, sizeof h);
    return static_cast<int32_t>(kSegmentHeaderSize);
}

int32_t WriteGalleryHeader(const GalleryInfo* info, uint8_t* out, size_t outLength) {
    if (info == nullptr || out == nullptr) return FPMATCH_GALLERY_NULL_INPUT;
    if (outLength < kHeaderSize) return FPMATCH_GALLERY_OUT_TOO_SMALL;
    if (info->entryCount < 0 || info->segmentCount < 0 || info->segmentCount > FPMATCH_GALLERY_MAX_SEGMENTS)
        return FPMATCH_GALLERY_BAD_HEADER;
    uint8_t h[kHeaderSize] = {};
    std::memcpy(h, kMagic, sizeof kMagic);
    Put32(h + 8, FPMATCH_GALLERY_VERSION);
    Put32(h + 12, static_cast<uint32_t>(kHeaderSize));
    Put32(h + 16, static_cast<uint32_t>(info->entryCount));
    Put32(h + 20, static_cast<uint32_t>(info->segmentCount));
    Put64(h + 24, info->firstSegmentOffset);
    Put64(h + 32, info->lastSegmentOffset);
    Put64(h + 40, info->usedSize);
    std::memcpy(out, h, sizeof h);
    return static_cast<int32_t>(kHeaderSize);
}

int32_t WriteGalleryEntry(uint64_t nameOffset, int32_t nameLength, int32_t templateLength, uint8_t* out,
                          size_t outLength) {
    if (out == nullptr) return FPMATCH_GALLERY_NULL_INPUT;
    if (outLength < kEntrySize) return FPMATCH_GALLERY_OUT_TOO_SMALL;
    if (nameLength < 0 || templateLength < 1) return FPMATCH_GALLERY_BAD_ENTRY;
    Put64(out, nameOffset);
    Put32(out + 8, static_cast<uint32_t>(nameLength));
    Put32(out + 12, static_cast<uint32_t>(templateLength));
    return static_cast<int32_t>(kEntrySize);
}

}  // extern "C"
