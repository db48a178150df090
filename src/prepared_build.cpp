// Preparing records: a template decoded once, with its topology graph in
// the compact layout of prepared_layout.h (the probe's rows sorted by angle
// and all its edges grouped by type and angle; the gallery's rows as built).
#include <cstdint>
#include <cstring>

#include <emmintrin.h>

#include "internal.h"
#include "prepared_layout.h"

namespace fpmatch::detail {

namespace {

void ClearHeader(RecordHeader* h, uint32_t magic) {
    std::memset(h, 0, sizeof(*h));
    h->magic = magic;
    h->layout = kLayoutVersion;
}

// Decodes into the record's storage; the probe is reordered. Returns the
// decoder's code.
int32_t DecodeInto(const uint8_t* tmpl, RecordHeader* h, FeatureStorage* storage, bool reorder) {
    FeatureSet fs;
    BindFeatureSet(&fs, storage);
    h->status = DecodeFeature(tmpl, &fs);
    if (h->status != FPMATCH_DECODED) return h->status;
    if (reorder) {
        Minutia scratch[kMaxMinutiae];
        MinutiaMoveTop(&fs, fs.minutiae, scratch);
    }
    h->width = fs.width;
    h->height = fs.height;
    h->minutiaCount = fs.minutiaCount;
    h->format = fs.format;
    h->quality = fs.quality;
    return h->status;
}

// The topology graph in compact rows, each in increasing neighbour index:
// the edges BuildTopoGraph keeps, with the same fields. Which pairs lie within
// 110 pixels is found four at a time: coordinate differences fit 16 bits
// (decoded coordinates lie in -256..16383), and one multiply-add gives
// dx * dx + dy * dy exactly in 32 bits (SSE2, baseline x86-64).
void BuildRows(const Minutia* m, int32_t n, CompactEdge (*rows)[kMaxRowEdges], uint8_t* counts) {
    std::memset(counts, 0, kMaxMinutiae);
    alignas(16) int16_t xy[2 * (kMaxMinutiae + 4)] = {};
    for (int32_t i = 0; i < n; ++i) {
        xy[2 * i] = static_cast<int16_t>(m[i].x);
        xy[2 * i + 1] = static_cast<int16_t>(m[i].y);
    }
    const __m128i limit = _mm_set1_epi32(kNeighbourRadiusSquared + 1), zero = _mm_setzero_si128();
    for (int32_t i = 0; i < n; ++i) {
        const int32_t ownAngle = FoldDirection(m[i].angle);
        const __m128i own = _mm_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(xy[2 * i]) |
                                                                static_cast<uint32_t>(static_cast<uint16_t>(xy[2 * i + 1])) << 16));
        // Candidates j > i, four per step from the first multiple of four.
        for (int32_t base = (i + 1) & ~3; base < n; base += 4) {
            const __m128i d = _mm_sub_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(xy + 2 * base)), own);
            const __m128i s = _mm_madd_epi16(d, d);
            // AreNeighbours: 0 < s <= 12100; coincident minutiae are not neighbours.
            const __m128i within = _mm_and_si128(_mm_cmplt_epi32(s, limit), _mm_cmpgt_epi32(s, zero));
            uint32_t mask = static_cast<uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(within)));
            for (; mask != 0; mask &= mask - 1) {
                const int32_t j = base + __builtin_ctz(mask);
                if (j <= i || j >= n) continue;
                const int32_t dx = m[j].x - m[i].x, dy = m[j].y - m[i].y;
                const int32_t dist = TableSqrt(dy, dx);
                const EdgeDirections e = DirectionsOf(ownAngle, FoldDirection(m[j].angle), TableAtan(dy, dx));
                // Row j receives the edges of smaller owners first, then its
                // own forward edges, so both rows stay in neighbour order.
                rows[i][counts[i]++] = CompactEdge{static_cast<int16_t>(e.angle), static_cast<int16_t>(e.relative),
                                                   static_cast<uint8_t>(dist), m[j].type, static_cast<uint8_t>(j), 0};
                rows[j][counts[j]++] =
                    CompactEdge{static_cast<int16_t>(e.reverseAngle), static_cast<int16_t>(e.reverseRelative),
                                static_cast<uint8_t>(dist), m[i].type, static_cast<uint8_t>(i), 0};
            }
        }
    }
}

void BuildProbeGraph(ProbeRecord* r) {
    const int32_t n = r->header.minutiaCount;
    CompactEdge rows[kMaxMinutiae][kMaxRowEdges];
    uint8_t counts[kMaxMinutiae];
    BuildRows(r->storage.minutiae, n, rows, counts);
    std::memset(r->link, 0, sizeof r->link[0] * static_cast<size_t>(n));
    uint16_t perAngle[kTypeSlots][kAngleSlots] = {};
    uint64_t positions[360] = {};
    int32_t total = 0;
    for (int32_t i = 0; i < n; ++i) {
        SortRowByAngle(rows[i], counts[i], positions, [](const CompactEdge& e) { return e.angle; });
        const int32_t slot = TypeSlot(r->storage.minutiae[i].type);
        for (int32_t p = 0; p < counts[i]; ++p) {
            const CompactEdge& e = rows[i][p];
            r->link[i][e.neighbour] = PackLink(e);
            ++perAngle[slot][e.angle];
        }
        total += counts[i];
    }
    // angleStart[t][v] = position of the first edge of group t with angle v
    // or more; then place every edge, rows in order and each row in its
    // sorted order.
    // The counts become each angle's next free position in place.
    uint16_t (&cursor)[kTypeSlots][kAngleSlots] = perAngle;
    uint16_t below = 0;
    for (int32_t t = 0; t < kTypeSlots; ++t) {
        for (int32_t v = 0; v < kAngleSlots; ++v) {
            const uint16_t count = perAngle[t][v];
            r->angleStart[t][v] = below;
            cursor[t][v] = below;
            below = static_cast<uint16_t>(below + count);
        }
    }
    for (int32_t i = 0; i < n; ++i) {
        const int32_t slot = TypeSlot(r->storage.minutiae[i].type);
        for (int32_t p = 0; p < counts[i]; ++p) {
            const CompactEdge& e = rows[i][p];
            const uint16_t at = cursor[slot][e.angle]++;
            r->edgeAngle[at] = e.angle;
            r->edgeDistance[at] = e.distance;
            r->edgeRelative[at] = e.relative;
            r->edgeRow[at] = static_cast<uint8_t>(i);
            r->edgeType[at] = e.type;
        }
    }
    r->edgeTotal = total;
    // Whole-vector loads may run past the last edge; keep those bytes defined.
    std::memset(r->edgeAngle + total, 0, sizeof(int16_t) * kEdgePadding);
    std::memset(r->edgeDistance + total, 0, sizeof(int16_t) * kEdgePadding);
    std::memset(r->edgeRelative + total, 0, sizeof(int16_t) * kEdgePadding);
    std::memset(r->edgeRow + total, 0, kEdgePadding);
    std::memset(r->edgeType + total, 0, kEdgePadding);
}

}  // namespace

int32_t FillProbe(const uint8_t* tmpl, ProbeRecord* r) {
    ClearHeader(&r->header, kProbeMagic);
    if (tmpl == nullptr) return r->header.status = FPMATCH_NULL_INPUT;
    if (DecodeInto(tmpl, &r->header, &r->storage, true) != FPMATCH_DECODED) return r->header.status;
    BuildProbeGraph(r);
    return FPMATCH_DECODED;
}

int32_t FillGallery(const uint8_t* tmpl, GalleryRecord* r) {
    ClearHeader(&r->header, kGalleryMagic);
    if (tmpl == nullptr) return r->header.status = FPMATCH_NULL_INPUT;
    if (DecodeInto(tmpl, &r->header, &r->storage, false) != FPMATCH_DECODED) return r->header.status;
    BuildRows(r->storage.minutiae, r->header.minutiaCount, r->rows, r->rowCount);
    return FPMATCH_DECODED;
}


}  // namespace fpmatch::detail
