// Candidate filter, enrolment side: the minutiae and pair shapes the filter
// reads, the gallery record (MakeFilterRecord) and the prepared filter probe
// (PrepareFilterProbe). The layout and the rules are in filter_layout.h; the
// scoring is in filter_scores.cpp.
#include <cstdint>
#include <cstring>

#include "filter_layout.h"
#include "short_geometry.h"

namespace fpmatch::detail::filter {

namespace {

// Directions in 256 steps to the turn, rounded: 0..359 degrees -> 0..255.
inline int32_t Steps(int32_t degrees) { return ((degrees % 360) * 256 + 180) / 360 & 255; }

}  // namespace

int32_t FilterMinutiae(const uint8_t* tmpl, FilterMinutia* out, int32_t* count) {
    *count = 0;
    FeatureStorage storage;
    FeatureSet set;
    BindFeatureSet(&set, &storage);
    const int32_t code = DecodeFeature(tmpl, &set);
    if (code != FPMATCH_DECODED) return code;
    int32_t n = 0;
    for (int32_t i = 0; i < set.minutiaCount; ++i) {
        const Minutia& m = storage.minutiae[i];
        if (m.x < 0 || m.x > kMaxCoordinate || m.y < 0 || m.y > kMaxCoordinate) continue;
        out[n++] = FilterMinutia{m.x, m.y, Steps(FoldDirection(m.angle)), m.type == 1 ? 1 : 0};
    }
    *count = n;
    return code;
}

int32_t NearestNeighbours(const FilterMinutia* m, int32_t count, int32_t base, int32_t lo, int32_t hi,
                          int32_t capacity, int32_t* out) {
    int32_t found = 0;
    int32_t squares[kMaxMinutiae];
    for (int32_t j = 0; j < count; ++j) {
        if (j == base) continue;
        const int32_t dx = m[j].x - m[base].x, dy = m[j].y - m[base].y;
        if (Abs(dx) > hi || Abs(dy) > hi) continue;
        const int32_t s = dx * dx + dy * dy;
        if (s < lo * lo || s > hi * hi) continue;
        // Insert behind every neighbour at the same or a smaller distance
        // (j grows, so equal distances keep the lower index first).
        int32_t at = found < capacity ? found : capacity;
        while (at > 0 && squares[at - 1] > s) --at;
        if (at >= capacity) continue;
        const int32_t last = found < capacity ? found : capacity - 1;
        for (int32_t k = last; k > at; --k) {
            squares[k] = squares[k - 1];
            out[k] = out[k - 1];
        }
        squares[at] = s;
        out[at] = j;
        if (found < capacity) ++found;
    }
    return found;
}

PairShape ShapeOf(const FilterMinutia& base, const FilterMinutia& other) {
    const int32_t dx = other.x - base.x, dy = other.y - base.y;
    const int32_t toward = Steps(ShortDirection(dy, dx));
    return PairShape{ShortDistance(dx * dx + dy * dy), (toward - base.direction) & 255,
                     (other.direction - base.direction) & 255};
}

}  // namespace fpmatch::detail::filter

namespace {

using namespace fpmatch::detail;
using namespace fpmatch::detail::filter;

// The record's bases: the minutiae nearest the centre of all kept minutiae
// (equal distances by lower index) that have at least one neighbour.
void WriteRecord(const FilterMinutia* m, int32_t n, uint8_t* out) {
    int64_t sumX = 0, sumY = 0;
    for (int32_t i = 0; i < n; ++i) {
        sumX += m[i].x;
        sumY += m[i].y;
    }
    // Distance from the centroid, scaled by n: exact in 64 bits.
    int64_t order[kMaxMinutiae];
    for (int32_t i = 0; i < n; ++i) {
        const int64_t dx = m[i].x * static_cast<int64_t>(n) - sumX, dy = m[i].y * static_cast<int64_t>(n) - sumY;
        order[i] = (dx * dx + dy * dy) << 6 | i;
    }
    for (int32_t i = 1; i < n; ++i)  // insertion sort: at most 50 keys
        for (int32_t k = i; k > 0 && order[k - 1] > order[k]; --k) {
            const int64_t t = order[k];
            order[k] = order[k - 1];
            order[k - 1] = t;
        }
    int32_t bases = 0, occupied = 0;
    for (int32_t k = 0; k < n && bases < kBases; ++k) {
        const int32_t i = static_cast<int32_t>(order[k] & 63);
        int32_t near[kSlots];
        const int32_t found = NearestNeighbours(m, n, i, kMinLength, kMaxLength, kSlots, near);
        if (found == 0) continue;
        uint64_t slots = static_cast<uint64_t>(m[i].type) << kTypeBit;
        for (int32_t s = 0; s < kSlots; ++s) {
            const uint32_t cell = s < found ? CellOf(ShapeOf(m[i], m[near[s]])) : kEmptyCell;
            slots |= static_cast<uint64_t>(cell) << (kSlotBits * s);
        }
        uint8_t* b = out + kHeaderBytes + kBaseBytes * bases;
        for (int32_t byte = 0; byte < 8; ++byte) b[byte] = static_cast<uint8_t>(slots >> (8 * byte));
        b[8] = static_cast<uint8_t>(m[i].x >> 1);
        b[9] = static_cast<uint8_t>(m[i].y >> 1);
        b[10] = static_cast<uint8_t>(m[i].direction);
        ++bases;
        occupied += found;
    }
    out[1] = static_cast<uint8_t>(bases);
    out[2] = static_cast<uint8_t>(occupied);
}

// Marks every cell within tolerance of the pair's shape with bit `base`.
void MarkCells(const PairShape& s, int32_t base, uint64_t* cells) {
    const uint64_t bit = uint64_t{1} << base;
    const int32_t lengthLo = (s.length > kLengthTolerance ? s.length - kLengthTolerance : 0) >> kLengthShift;
    int32_t lengthHi = (s.length + kLengthTolerance) >> kLengthShift;
    if (lengthHi > kLastLengthBucket) lengthHi = kLastLengthBucket;
    for (int32_t l = lengthLo; l <= lengthHi; ++l)
        for (int32_t a = (s.angle - kAngleTolerance) >> kAngleShift; a <= (s.angle + kAngleTolerance) >> kAngleShift; ++a)
            for (int32_t d = (s.direction - kAngleTolerance) >> kAngleShift;
                 d <= (s.direction + kAngleTolerance) >> kAngleShift; ++d)
                cells[l << 8 | (a & 15) << 4 | (d & 15)] |= bit;
}

}  // namespace

extern "C" {

int32_t MakeFilterRecord(const uint8_t* galleryTemplate, uint8_t* out) {
    if (out == nullptr) return FPMATCH_NULL_INPUT;
    std::memset(out, 0, FPMATCH_FILTER_RECORD_SIZE);
    out[0] = kRecordVersion;
    if (galleryTemplate == nullptr) {
        out[3] = FPMATCH_NULL_INPUT;
        return FPMATCH_NULL_INPUT;
    }
    FilterMinutia m[kMaxMinutiae];
    int32_t n = 0;
    const int32_t code = FilterMinutiae(galleryTemplate, m, &n);
    out[3] = static_cast<uint8_t>(code);
    if (code == FPMATCH_DECODED) WriteRecord(m, n, out);
    return code;
}

int32_t PrepareFilterProbe(const uint8_t* probeTemplate, FilterProbe* probe) {
    if (probe == nullptr) return FPMATCH_NULL_INPUT;
    std::memset(probe, 0, sizeof *probe);
    auto* p = reinterpret_cast<ProbeLayout*>(probe);
    p->magic = kProbeMagic;
    p->version = kRecordVersion;
    if (probeTemplate == nullptr) {
        p->status = FPMATCH_NULL_INPUT;
        return FPMATCH_NULL_INPUT;
    }
    FilterMinutia m[kMaxMinutiae];
    int32_t n = 0;
    p->status = FilterMinutiae(probeTemplate, m, &n);
    p->count = n;
    for (int32_t i = 0; i < n; ++i) {
        p->x[i] = static_cast<int16_t>(m[i].x - kCentreX);
        p->y[i] = static_cast<int16_t>(m[i].y - kCentreY);
        p->direction[i] = static_cast<uint8_t>(m[i].direction);
        p->type[i] = static_cast<uint8_t>(m[i].type);
        int32_t near[kProbeNeighbours];
        const int32_t found = NearestNeighbours(m, n, i, kMinLength - kLengthTolerance, kMaxLength + kLengthTolerance,
                                                kProbeNeighbours, near);
        for (int32_t k = 0; k < found; ++k) MarkCells(ShapeOf(m[i], m[near[k]]), i, p->cells);
    }
    return p->status;
}

}  // extern "C"
