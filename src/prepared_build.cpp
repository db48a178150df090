// Preparing records: a template decoded once, with its topology graph in
// the compact layout of prepared_layout.h (the probe's rows sorted by angle
// and all its edges grouped by type and angle; the gallery's rows as built).
#include <cstddef>
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
// the edges BuildTopoGraph keeps, with the same fields.
void BuildRows(const Minutia* m, int32_t n, CompactEdge (*rows)[kMaxRowEdges], uint8_t* counts) {
    // Row by row: the pairs of one minutia with the later ones.
    const NeighbourFinder finder(m, n);
    RowBuilder builder(m, n, rows, counts);
    for (int32_t i = 0; i < n; ++i) {
        PackedPair pairs[kMaxRowEdges];
        builder.Add(pairs, finder.After(i, pairs));
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
