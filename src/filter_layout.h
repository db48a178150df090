// Private layout of the candidate filter: the record written at enrolment,
// the prepared filter probe, and the rules both sides share. Not installed.
//
// The filter describes a template by pairs of nearby minutiae. A pair seen
// from its base minutia a towards a neighbour b is the cell of three
// quantities that do not change when the finger is turned or shifted: the
// length of a -> b, the direction of a -> b less a's direction, and b's
// direction less a's. A gallery record keeps, for up to 32 central minutiae
// (the bases), the cells of their 5 nearest neighbours, and each base's
// position, direction and type. A prepared probe keeps, for every cell, the
// set of its own minutiae that have a pair within tolerance of that cell (a
// 64-bit mask), and each minutia's position, direction and type.
//
// Scoring a record (filter_scores.cpp): a gallery base corresponds to a probe
// minutia when at least two of the base's cells name it; each correspondence
// votes for the turn (the difference of the two directions) and the shift
// that bring the probe minutia onto the base. The score is the heaviest
// cluster of consistent votes (a turn window of 22.5 degrees and a shift
// window of 32 x 32 pixels), scaled by the number of the record's pairs.
#ifndef FPMATCH_FILTER_LAYOUT_H
#define FPMATCH_FILTER_LAYOUT_H

#include <cstdint>

#include "internal.h"

namespace fpmatch::detail::filter {

// ---- Record ---------------------------------------------------------------
//
//   byte 0   layout version (kRecordVersion)
//   byte 1   base count, 0..kBases
//   byte 2   occupied neighbour slots, 0..kSlots * base count
//   byte 3   decoder code of the template (0; a record of a template that
//            failed to decode has no bases)
//   bytes 4 + 11 b .. 14 + 11 b: base b
//            0..7  64 bits, little-endian: slot s (s = 0..4) in bits
//                  12 s .. 12 s + 11, a cell or kEmptyCell; bit 60 the
//                  base's type (1 bifurcation); bits 61..63 zero
//            8     x / 2 (x 0..511)
//            9     y / 2
//            10    direction, 256 steps to the turn
//   the rest up to FPMATCH_FILTER_RECORD_SIZE: zero.
// Readers accept any bytes: a record with another version byte, a decoder
// code other than 0, more than kBases bases or more occupied slots than its
// bases hold scores 0; any other value of any field is read as it is.
constexpr uint8_t kRecordVersion = 1;
constexpr int32_t kBases = 32;
constexpr int32_t kSlots = 5;
constexpr int32_t kHeaderBytes = 4;
constexpr int32_t kBaseBytes = 11;
constexpr int32_t kSlotBits = 12;
constexpr int32_t kTypeBit = kSlots * kSlotBits;  // 60
static_assert(kHeaderBytes + kBases * kBaseBytes <= FPMATCH_FILTER_RECORD_SIZE);

// ---- Cells -----------------------------------------------------------------
//
// cell = distance bucket << 8 | angle bucket << 4 | direction bucket:
// lengths in buckets of 8 pixels (0..14: a gallery pair is kMinLength ..
// kMaxLength long), the two angles in buckets of 16 steps of 256 (22.5
// degrees). Bucket 15 of the length is never marked in a probe, so
// kEmptyCell never names a minutia.
constexpr int32_t kCells = 4096;
constexpr uint32_t kEmptyCell = 0xFFF;
constexpr int32_t kMinLength = 8;
constexpr int32_t kMaxLength = 119;
constexpr int32_t kLengthShift = 3;
constexpr int32_t kAngleShift = 4;
constexpr int32_t kLastLengthBucket = kMaxLength >> kLengthShift;  // 14
// A probe pair marks every cell within these tolerances of its own values.
constexpr int32_t kLengthTolerance = 4;   // pixels
constexpr int32_t kAngleTolerance = 5;    // steps of 256 (about 7 degrees)
constexpr int32_t kProbeNeighbours = 12;  // a probe minutia's pairs: its 12 nearest

// ---- Minutiae the filter reads ----------------------------------------------
//
// Minutiae with x and y in 0..511 (the record keeps positions halved in a
// byte); directions folded to 0..359 and taken in 256 steps; type 1 is a
// bifurcation, anything else an ending.
constexpr int32_t kMaxCoordinate = 511;
constexpr int32_t kCentreX = FPMATCH_IMAGE_WIDTH / 2;   // positions are taken from
constexpr int32_t kCentreY = FPMATCH_IMAGE_HEIGHT / 2;  // the image centre

struct FilterMinutia {
    int32_t x, y;
    int32_t direction;  // 0..255
    int32_t type;       // 0 or 1
};

// Decodes a template and keeps the minutiae the filter reads, in template
// order. Returns the decoder's code (count 0 unless it is 0).
int32_t FilterMinutiae(const uint8_t* tmpl, FilterMinutia* out, int32_t* count);

// Up to `capacity` nearest minutiae of minutia `base` whose distance lies in
// lo..hi, nearest first, equal distances by lower index. Returns how many.
int32_t NearestNeighbours(const FilterMinutia* m, int32_t count, int32_t base, int32_t lo, int32_t hi,
                          int32_t capacity, int32_t* out);

// The three turn- and shift-free quantities of the pair base -> other.
struct PairShape {
    int32_t length;     // pixels
    int32_t angle;      // direction base -> other less base's direction, 0..255
    int32_t direction;  // other's direction less base's, 0..255
};
PairShape ShapeOf(const FilterMinutia& base, const FilterMinutia& other);

inline uint32_t CellOf(const PairShape& s) {
    return static_cast<uint32_t>(s.length >> kLengthShift) << 8 | static_cast<uint32_t>(s.angle >> kAngleShift) << 4 |
           static_cast<uint32_t>(s.direction >> kAngleShift);
}

// ---- Prepared probe -----------------------------------------------------------

constexpr uint32_t kProbeMagic = 0x50464650u;  // "PFFP" read little-endian
constexpr int32_t kProbeSlots = 64;            // one per bit of a cell mask

struct ProbeLayout {
    uint32_t magic;
    uint32_t version;  // kRecordVersion: the records it scores
    int32_t status;    // decoder code; 0 = usable
    int32_t count;     // minutiae kept, 0..50
    int16_t x[kProbeSlots];  // position less the image centre
    int16_t y[kProbeSlots];
    uint8_t direction[kProbeSlots];
    uint8_t type[kProbeSlots];
    uint64_t cells[kCells];  // bit m: minutia m has a pair near this cell
};
static_assert(sizeof(ProbeLayout) <= FPMATCH_FILTER_PROBE_SIZE);

}  // namespace fpmatch::detail::filter

#endif
