// Private helpers shared by the library's sources. Not installed.
#ifndef FPMATCH_INTERNAL_H
#define FPMATCH_INTERNAL_H

#include <cstdint>
#include <cstring>

#include "fpmatch.h"

namespace fpmatch::detail {

constexpr int kMaxMinutiae = FPMATCH_MAX_MINUTIAE;
constexpr int kImageWidth = FPMATCH_IMAGE_WIDTH;
constexpr int kImageHeight = FPMATCH_IMAGE_HEIGHT;
constexpr int kTableRows = FPMATCH_TABLE_ROWS;      // |dy| 0..143
constexpr int kTableColumns = FPMATCH_TABLE_COLUMNS;  // |dx| 0..127

// Native directions are 9-bit fields (0..511) and are decoded unreduced.
// The graph and scoring stages compare directions as circular differences
// that are exact for 0..360 only; a direction above 360 is brought back by
// one turn (361..511 -> 1..151) where those stages read it. 0..360 pass
// unchanged, so every valid template scores exactly as before.
constexpr int32_t FoldDirection(int32_t angle) { return angle > 360 ? angle - 360 : angle; }

// The stage functions take whatever a caller puts in its records, so sums
// and differences of record fields are formed in 64 bits, where no int32
// input can overflow them. Directions and coordinates of decoded templates
// stay far inside 32 bits, and there nothing changes.
constexpr int64_t Abs(int64_t v) { return v < 0 ? -v : v; }

// dx * dx + dy * dy, or INT64_MAX when an offset lies beyond +-INT32_MAX:
// further than any distance the comparison tests.
constexpr int64_t SquaredLength(int64_t dx, int64_t dy) {
    constexpr int64_t kFar = INT32_MAX;
    const bool far = (static_cast<uint64_t>(dx + kFar) > uint64_t{2 * kFar}) |
                     (static_cast<uint64_t>(dy + kFar) > uint64_t{2 * kFar});
    return far ? INT64_MAX : dx * dx + dy * dy;
}

// Circular difference of two directions: |a - b|, replaced by 360 - d when it
// exceeds 180. Only directions more than 2^31 apart give a result outside
// int32; it is kept modulo 2^32.
constexpr int32_t CircularDifference(int64_t a, int64_t b) {
    const int64_t d = Abs(a - b);
    return static_cast<int32_t>(d > 180 ? 360 - d : d);
}
constexpr int32_t Min(int32_t a, int32_t b) { return a < b ? a : b; }
constexpr int32_t Max(int32_t a, int32_t b) { return a > b ? a : b; }

// Minutia counts and slot indices as the stage functions read them: a count
// is brought into 0..50, a slot outside 0..49 names no minutia.
constexpr int32_t ClampCount(int32_t n) { return n < 0 ? 0 : (n > kMaxMinutiae ? kMaxMinutiae : n); }
constexpr bool IsSlot(int32_t index) { return index >= 0 && index < kMaxMinutiae; }

// Big-endian fields, as every template form stores them.
inline uint32_t Read16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }

inline uint32_t Read32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

inline void Write16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline void Write32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// Table forms of the direction and length of (dx, dy); |dy| <= 143 and
// |dx| <= 127 (InTables). The exported math_AtangUseTab and math_SqrtUseTab
// wrap these.
constexpr bool InTables(int64_t dy, int64_t dx) {
    return dy >= -(kTableRows - 1) && dy <= kTableRows - 1 && dx >= -(kTableColumns - 1) && dx <= kTableColumns - 1;
}
inline int32_t TableIndex(int32_t dy, int32_t dx) {
    return Abs(dy) * kTableColumns + Abs(dx);
}
// The direction a quadrant's angle t counts from, indexed by (x side, y
// side): 180 + t and 180 - t on the left, 360 - t and t on the right. A
// table and a conditional negation, as the quadrant of a displacement is
// unpredictable and a choice between the four would become branches.
inline constexpr int32_t kQuadrantBase[4] = {180, 180, 360, 0};
inline int32_t FromQuadrant(bool right, bool above, int32_t t) {
    const int32_t negate = -static_cast<int32_t>(right != above);
    return kQuadrantBase[right << 1 | above] + ((t ^ negate) - negate);
}

// The comparison reads both tables at one index at a time (the polar
// coordinates, the topology edges), so it reads them from one interleaved
// copy (geometry.cpp): one cache line a lookup instead of two.
struct PolarEntry {
    uint8_t atan, sqrt;
};
struct PolarTable {
    PolarEntry entry[kTableRows * kTableColumns];
};
extern const PolarTable kPolarTable;

inline int32_t TableAtan(int32_t dy, int32_t dx) {
    return FromQuadrant(dx >= 0, dy >= 0, kPolarTable.entry[TableIndex(dy, dx)].atan);
}
inline int32_t TableSqrt(int32_t dy, int32_t dx) { return kPolarTable.entry[TableIndex(dy, dx)].sqrt; }

// Every decoded feature set uses the public FeatureStorage; the entry points
// keep one per side on the stack and bind it with BindFeatureSet.
using FeatureStorage = ::FeatureStorage;
using ::BindFeatureSet;

// CalcMatchScore, optionally keeping each base pair's alignment in
// details[0 .. count - 1] (null on the scoring path).
void ScoreBasePairs(const FeatureSet* probe, const FeatureSet* gallery, BasePair* basePairs, int32_t count,
                    AlignmentExplanation* details);

// The alignment's fixed-point rotation by `angle` degrees: the sine and
// cosine of angle * 3.1415926 / 180, scaled by 1024 and truncated.
struct Rotation {
    int64_t sine, cosine;
};
Rotation RotationOf(int32_t angle);

// MinutiasTransform, also saying which minutiae it kept (bit i for slot i)
// and which of those moved to an x other than 0 (the alignment's later
// stages count only those).
struct Moved {
    int32_t kept;
    uint64_t keptSlots, present;
};
Moved MoveMinutiae(const FeatureSet* source, Minutia* keptCopy, Minutia* moved, SingularPoint* movedSingular,
                   const uint8_t* otherGndTable, RigidTransform t);

// CalcNegScore over the minutiae whose bits `present` holds (slots 0..49):
// the exported call presents those with x != 0.
void NegScore(int32_t centerX, int32_t centerY, const MinutiaPair* pairs, int32_t pairCount, const Minutia* set,
              uint64_t present, const uint8_t* otherBlockQty, int32_t side, int32_t* total, int32_t* nearTotal);

// What the pairing reads of one polar entry: its radius and bearing about
// the centre, the minutia's folded direction and type, and the slot (0..49)
// it names.
struct PairEntry {
    int32_t radius, bearing, direction, type, slot;
};
inline PairEntry EntryOf(const Minutia& m, int32_t radius, int32_t bearing, int32_t slot) {
    return PairEntry{radius, bearing, FoldDirection(m.angle), m.type, slot};
}

// CalcIsoPair on entry lists (at most 50 each, in list order): lane by lane
// (inLanes, where the values fit the lanes; otherwise in 32 bits) or in 32
// bits. Returns the number of pairs of slots written to `pairs`.
int32_t PairEntries(const PairEntry* probe, int32_t probeCount, const PairEntry* gallery, int32_t galleryCount,
                    MinutiaPair* pairs, bool inLanes);

// CalcIsoPair in a chosen form, as PairEntries. The tests compare the two.
int32_t PairPolar(const Minutia* probeSet, const PolarMinutia* probePolar, int32_t probeCount,
                  const Minutia* gallerySet, const PolarMinutia* galleryPolar, int32_t galleryCount,
                  MinutiaPair* pairs, bool inLanes);

// Match2Score: both templates prepared on the stack, then compared.
int32_t ScoreTemplates(const uint8_t* probeTemplate, const uint8_t* galleryTemplate);

}  // namespace fpmatch::detail

#endif
