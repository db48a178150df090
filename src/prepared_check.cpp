// Reading prepared records back. A record may come from a file, another
// library version or anywhere else, so every field a comparison reads is
// checked before the record is used:
//   - header: magic, layout, status 0, 256 x 288, 1..50 minutiae, reserved 0;
//   - minutiae, singular points, mask cells, block qualities: within what
//     the decoders write (below);
//   - probe edges 0 .. edgeTotal - 1: angle 0..359, relative direction
//     0..360 (360 when the owner points at 0 and the neighbour at 360),
//     distance 1..110; edgeTotal 0..2450. Edge rows are read masked to 6
//     bits, the group starts clamped to edgeTotal, the links through their
//     field masks (prepared_layout.h), so any value there stays in bounds;
//   - gallery rows: at most n - 1 edges, each with angle 0..359, relative
//     direction 0..360, distance below 128, neighbour below 64, reserved 0.
//     The base pair selection ignores neighbours past 49.
// Within those ranges every sum and difference of the comparison fits 16
// bits, so every code path computes the same scores for any record that
// passes, made by PrepareProbe or not. A record that fails is refused (its
// comparisons score 0). The checks are branch-free reductions, cheap next to
// a comparison.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <emmintrin.h>

#include "internal.h"
#include "prepared_layout.h"

namespace fpmatch::detail {

namespace {

// Ranges of what the decoders write (decode.cpp).
constexpr int32_t kLowestX = -256;             // native x is 9-bit two's complement
constexpr int32_t kHighestCoordinate = 16383;  // ISO coordinates are 14 bits
constexpr int32_t kHighestDirection = 511;     // native directions are 9-bit fields
constexpr int32_t kHighestQuality = 40;        // ISO quality 0..255 read as q * 16 / 100
constexpr int32_t kHighestSingular = 510;      // native singular points are bytes times 2
constexpr uint8_t kHighestBlock = 41;          // finger quality / 6 - 1, or a mean of qualities
                                               // (255: finger quality below 6)

inline bool KnownType(uint8_t type) { return type <= 2 || type == 255; }

bool ValidFeatures(const RecordHeader& h, uint32_t magic, const FeatureStorage& s) {
    if (h.magic != magic || h.layout != kLayoutVersion || h.status != FPMATCH_DECODED || h.width != kImageWidth ||
        h.height != kImageHeight || h.minutiaCount < 1 || h.minutiaCount > kMaxMinutiae || h.reserved != 0)
        return false;
    // x, y and angle of a minutia as three int32 lanes, checked against
    // their bounds together (the fourth lane, quality and type, is read as
    // bytes).
    static_assert(sizeof(Minutia) == 16 && offsetof(Minutia, quality) == 12 && offsetof(Minutia, type) == 13);
    const __m128i lowest = _mm_setr_epi32(kLowestX, 0, 0, INT32_MIN);
    const __m128i highest = _mm_setr_epi32(kHighestCoordinate, kHighestCoordinate, kHighestDirection, INT32_MAX);
    __m128i outside = _mm_setzero_si128();
    bool bad = false;
    for (int32_t i = 0; i < h.minutiaCount; ++i) {
        const Minutia& m = s.minutiae[i];
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&m));
        outside = _mm_or_si128(outside, _mm_or_si128(_mm_cmplt_epi32(v, lowest), _mm_cmpgt_epi32(v, highest)));
        bad |= (m.quality > kHighestQuality) | !KnownType(m.type);
    }
    bad |= _mm_movemask_epi8(outside) != 0;
    // Points 0 and 1 come from the native header; the third is never set.
    for (int32_t e = 0; e < 2; ++e) {
        const SingularPoint& p = s.singularPoints[e];
        bad |= (p.x < 0) | (p.x > kHighestSingular) | (p.y < 0) | (p.y > kHighestSingular);
    }
    bad |= (s.singularPoints[2].x != 0) | (s.singularPoints[2].y != 0);
    // Mask cells are 0 or 1: no bit above bit 0 in any byte. Block
    // qualities plus one (255 wraps to 0) are at most kHighestBlock + 1.
    // SSE2 (baseline x86-64) over 16 bytes at a time.
    __m128i cells = _mm_setzero_si128(), blocks = _mm_setzero_si128();
    static_assert(FPMATCH_GND_CELLS % 16 == 0 && FPMATCH_BLOCKS % 16 == 0);
    for (int32_t c = 0; c < FPMATCH_GND_CELLS; c += 16)
        cells = _mm_or_si128(cells, _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.gndTable.cells + c)));
    const __m128i one = _mm_set1_epi8(1);
    for (int32_t b = 0; b < FPMATCH_BLOCKS; b += 16)
        blocks = _mm_max_epu8(
            blocks, _mm_add_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s.blockQty.blocks + b)), one));
    // Saturating subtraction leaves a non-zero byte only above the bound.
    const __m128i over = _mm_or_si128(_mm_subs_epu8(cells, one), _mm_subs_epu8(blocks, _mm_set1_epi8(kHighestBlock + 1)));
    bad |= _mm_movemask_epi8(_mm_cmpeq_epi8(over, _mm_setzero_si128())) != 0xFFFF;
    return !bad;
}

// Lowest and highest of an int16 array, eight at a time.
void Range(const int16_t* v, int32_t n, int32_t* low, int32_t* high) {
    __m128i lo = _mm_set1_epi16(INT16_MAX), hi = _mm_set1_epi16(INT16_MIN);
    int32_t p = 0;
    for (; p + 8 <= n; p += 8) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + p));
        lo = _mm_min_epi16(lo, x);
        hi = _mm_max_epi16(hi, x);
    }
    alignas(16) int16_t l[8], h[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(l), lo);
    _mm_store_si128(reinterpret_cast<__m128i*>(h), hi);
    int32_t a = INT16_MAX, b = INT16_MIN;
    for (int32_t k = 0; k < 8; ++k) {
        a = l[k] < a ? l[k] : a;
        b = h[k] > b ? h[k] : b;
    }
    for (; p < n; ++p) {
        a = v[p] < a ? v[p] : a;
        b = v[p] > b ? v[p] : b;
    }
    *low = a;
    *high = b;
}

bool ValidProbeGraph(const ProbeRecord& r) {
    const int32_t total = r.edgeTotal;
    if (total < 0 || total > kMaxEdges) return false;
    if (total == 0) return true;
    int32_t lo = 0, hi = 0;
    Range(r.edgeAngle, total, &lo, &hi);
    bool bad = lo < 0 || hi > 359;
    Range(r.edgeRelative, total, &lo, &hi);
    bad |= lo < 0 || hi > 360;
    Range(r.edgeDistance, total, &lo, &hi);
    bad |= lo < 1 || hi > kNeighbourRadius;
    return !bad;
}

bool ValidGalleryGraph(const GalleryRecord& r) {
    const int32_t n = r.header.minutiaCount;
    // Bits outside the fields' ranges: angle and relative bits 9..15,
    // distance bit 7, neighbour bits 6..7, the reserved byte; then, with
    // every field non-negative, the highest angle (0..359) and relative
    // direction (0..360) as 16-bit lanes 0 and 1 of each edge.
    constexpr uint64_t kOutside = 0xFFC0'0080'FE00'FE00ull;
    static_assert(sizeof(CompactEdge) == sizeof(uint64_t) && offsetof(CompactEdge, relative) == 2);
    __m128i seen = _mm_setzero_si128(), top = _mm_setzero_si128();
    auto take = [&](__m128i v) {
        seen = _mm_or_si128(seen, v);
        top = _mm_max_epi16(top, v);
    };
    for (int32_t j = 0; j < n; ++j) {
        const int32_t k = r.rowCount[j];
        if (k >= n) return false;  // at most n - 1 neighbours
        const auto* row = reinterpret_cast<const uint8_t*>(r.rows[j]);
        int32_t g = 0;
        for (; g + 2 <= k; g += 2) take(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 8 * g)));
        if (g < k) take(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + 8 * g)));
    }
    const __m128i outside = _mm_and_si128(seen, _mm_set1_epi64x(static_cast<int64_t>(kOutside)));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(outside, _mm_setzero_si128())) != 0xFFFF) return false;
    alignas(16) int16_t highest[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(highest), top);
    return highest[0] <= 359 && highest[4] <= 359 && highest[1] <= 360 && highest[5] <= 360;
}

}  // namespace

const ProbeRecord* UsableProbe(const PreparedProbe* p) {
    if (p == nullptr) return nullptr;
    const auto* r = reinterpret_cast<const ProbeRecord*>(p);
    return ValidFeatures(r->header, kProbeMagic, r->storage) && ValidProbeGraph(*r) ? r : nullptr;
}

const GalleryRecord* UsableGallery(const PreparedGallery* g) {
    if (g == nullptr) return nullptr;
    const auto* r = reinterpret_cast<const GalleryRecord*>(g);
    return ValidFeatures(r->header, kGalleryMagic, r->storage) && ValidGalleryGraph(*r) ? r : nullptr;
}

}  // namespace fpmatch::detail
