// Candidate screening: QuickSort and ScreenScores over 512-byte short
// templates, scored from tables of the probe's graph.
//
// QuickSort does not build the char graph or call the exported stage
// functions (screening.cpp): it prepares the probe once as tables (see
// "Screening tables" below) and then scores each candidate with a few table
// reads per limit edge. Its results are those of the stage functions run as
// documented in the header; tests/test_frozen_screening.cpp holds them.
//
// Every index below is bounded by the fixed capacities (50 minutiae, 53
// candidate entries, 2450 row edges), whatever the template bytes hold:
// count bytes above 50 are treated as "no minutiae", and QuickSort's lookups
// read only the probe tables' ranges.
#include <cstdint>
#include <cstring>

#include <emmintrin.h>

#include "internal.h"
#include "short_geometry.h"

namespace {

using fpmatch::detail::kMaxMinutiae;
using fpmatch::detail::kShortMinutiaWord;
using fpmatch::detail::kShortSortCeiling;
using fpmatch::detail::ShortDirection;
using fpmatch::detail::ShortDistance;

constexpr int kRecordBytes = FPMATCH_SHORT_TEMPLATE_SIZE;
constexpr int kMinutiaWord = kShortMinutiaWord;
constexpr int32_t kMarker = 0x0301;     // version 3, format 1
constexpr int kBest = FPMATCH_SCREEN_BEST;
constexpr int kLimitEdges = FPMATCH_LIMIT_EDGES;
constexpr int32_t kListThreshold = FPMATCH_SCREEN_LIST_THRESHOLD;  // listed only above this count
constexpr int32_t kSortCeiling = kShortSortCeiling;
constexpr int32_t kWindowBelow = 8;
constexpr int32_t kDirectionTolerance = 8;

// Usable minutia count of a record: its count byte, or 0 when the byte claims
// more minutiae than the minutia area holds (such a record is corrupt, as the
// template decoders also refuse counts above 50).
inline int32_t UsableCount(int16_t count) { return count <= kMaxMinutiae ? count : 0; }

// Folded difference of two angles: 0 and 360 count as equal.
inline int32_t FoldedDifference(int32_t u, int32_t v) {
    int32_t t = u > v ? u - v : v - u;
    if (t > 180) t -= 360;
    return t < 0 ? -t : t;
}

// Offers record `position` with `score` to the best list (descending; a
// newcomer goes behind equal scores).
void Offer(int32_t score, int32_t position, int32_t* bestScores, int32_t* bestIndices) {
    if (score <= kListThreshold) return;
    int k = 0;
    while (k < kBest && bestScores[k] >= score) ++k;
    if (k == kBest) return;
    for (int i = kBest - 1; i > k; --i) {
        bestScores[i] = bestScores[i - 1];
        bestIndices[i] = bestIndices[i - 1];
    }
    bestScores[k] = score;
    bestIndices[k] = position;
}

// ---- Screening tables ---------------------------------------------------
//
// A char graph row lookup is a question about a set: does row p hold an
// edge E with
//   d - 8 <= E.distance <= d + 8,  |d - E.distance| <= tD(s),
//   fold(a - E.edgeAngle) <= tA(s),  fold(b - E.relativeDirection) <= 8,
// where s = d + E.distance? The binary search, the forward step and the
// scan only find where such edges lie: the row is sorted, the search ends
// at most six slots below the window (three halvings of at most 48 slots)
// and the forward step of 20 always reaches the first edge of the window or
// the row's terminator; the scan stops at the first edge above the window
// or at a terminator. A row holds an edge to every minutia at another
// position that lies less than 400 pixels away, so no edge of any row is
// 400 or longer, and a limit edge of 409 pixels or more matches nothing.
//
// The distance test depends on d and E.distance only, and the edges it
// passes form one interval of distances around d (reach below and above:
// DistanceReach). So QuickSort keeps every row edge once, in one array
// ordered by the type of the row's minutia, the sector of the edge's
// relative direction and the bucket of its distance (ScreeningTables). A
// limit edge of candidate minutia q looks only at the edges of rows with
// q's type, in the sectors its direction test can pass and the buckets its
// distance test can pass, tests each of them for all three conditions, and
// counts the distinct rows that hold a match: exactly the lookups of every
// (q, p, e) with equal types that succeed.

constexpr int32_t kRowEdges = kMaxMinutiae * (kMaxMinutiae - 1);
constexpr int32_t kWindowDistances = kSortCeiling + kWindowBelow + 1;  // 0..408 can match
constexpr int32_t kTypes = 2;

constexpr int32_t kLanes = 8;
constexpr int32_t kChunk = 8;
constexpr int32_t kBlockedMinutiae = (kMaxMinutiae + kChunk - 1) / kChunk * kChunk;

inline __m128i Load8(const int16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// FoldedDifference of eight pairs of angles in 16 bits: min(|u - v|,
// ||u - v| - 360|) is the same value for any two angles, and fits for angles
// below 1000 in magnitude. SSE2 (baseline x86-64) has no absolute value of
// 16-bit lanes: |x| is max(x, -x).
inline __m128i Folded8(__m128i u, __m128i v) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i d = _mm_sub_epi16(u, v);
    const __m128i t = _mm_max_epi16(d, _mm_sub_epi16(zero, d));
    const __m128i w = _mm_sub_epi16(t, _mm_set1_epi16(360));
    return _mm_min_epi16(t, _mm_max_epi16(w, _mm_sub_epi16(zero, w)));
}

// Relative directions lie in -151..511 (9-bit directions, 360 added once to
// a negative difference). Row edges are grouped by sectors of 32 degrees of
// relative direction, so that a limit edge's direction test (within 8 of b,
// or of b -+ 360) leaves one or two sectors to look at, and within a sector
// by buckets of 4 pixels of distance.
constexpr int32_t kLowestRelative = -151;
constexpr int32_t kSectorShift = 5;
constexpr int32_t kSectors = ((511 - kLowestRelative) >> kSectorShift) + 1;
constexpr int32_t kBucketShift = 2;
constexpr int32_t kBuckets = (kSortCeiling >> kBucketShift) + 1;  // the last one holds no edge
static_assert(kSectors <= 32, "sector masks are 32 bits");

// The sectors that a limit edge of relative direction b must search: those
// meeting b - 8..b + 8, b - 368..b - 352 or b + 352..b + 368 (the direction
// test's folded difference is at most 8 exactly there), by b - (-151).
struct SectorMasks {
    uint32_t mask[511 - kLowestRelative + 1];
};

constexpr SectorMasks MakeSectorMasks() {
    SectorMasks m{};
    for (int32_t b = kLowestRelative; b <= 511; ++b) {
        for (int32_t centre = b - 360; centre <= b + 360; centre += 360) {
            for (int32_t v = centre - kDirectionTolerance; v <= centre + kDirectionTolerance; ++v) {
                if (v < kLowestRelative || v > 511) continue;
                m.mask[b - kLowestRelative] |= 1u << ((v - kLowestRelative) >> kSectorShift);
            }
        }
    }
    return m;
}

constexpr SectorMasks kSectorMasks = MakeSectorMasks();
constexpr const uint32_t* kSectorsToSearch = kSectorMasks.mask;

struct DistanceInterval {
    uint16_t low, high;  // row edge distances low..high - 1, both within 0..400
};

struct ScreeningTables {
    // Row edges ordered by (type of the row's minutia, sector, distance
    // bucket); `row` is the row's minutia. A block of lanes may reach
    // kLanes - 1 entries past the last edge: those are cleared.
    int16_t distance[kRowEdges + kLanes];
    int16_t edgeAngle[kRowEdges + kLanes];
    int16_t relativeDirection[kRowEdges + kLanes];
    uint8_t row[kRowEdges + kLanes];
    // start[type][sector][k]: the first edge of that group whose distance is
    // 4k or more; k = 100 gives the end of the group.
    uint16_t start[kTypes][kSectors][kBuckets];
    uint32_t sectorsHeld[kTypes];  // the sectors holding edges
};

// A minutia unpacked from its 4 bytes at `p`: x, y, angle (9 bits each) and
// the type bit, as XpdShortChar reads them.
struct Point {
    int16_t x, y, angle;
    uint8_t type;
};

inline Point ReadPoint(const uint8_t* p) {
    const uint32_t c = fpmatch::detail::Read32(p);
    return {static_cast<int16_t>(c >> 23), static_cast<int16_t>((c >> 14) & 0x1FFu),
            static_cast<int16_t>((c >> 5) & 0x1FFu), static_cast<uint8_t>(c & 1u)};
}

// How far below (sign -1) or above (+1) a limit distance d the distance test
// reaches inside the window: the largest delta <= 8 with delta <= tD(s),
// s = d + (d + sign * delta). Smaller deltas pass as well.
constexpr int32_t DistanceReach(int32_t d, int32_t sign) {
    for (int32_t delta = kWindowBelow; delta > 0; --delta) {
        const int32_t other = d + sign * delta;
        if (other < 0) continue;
        int32_t toleranceD = 6 + (d + other) / 64;
        if (toleranceD > 9) toleranceD = 9;
        if (delta <= toleranceD) return delta;
    }
    return 0;
}

// The row edge distances that pass the distance test of each limit distance.
struct PassingDistances {
    DistanceInterval of[kWindowDistances];
};

constexpr PassingDistances MakePassingDistances() {
    PassingDistances p{};
    for (int32_t d = 0; d < kWindowDistances; ++d) {
        int32_t low = d - DistanceReach(d, -1);
        int32_t high = d + DistanceReach(d, 1) + 1;
        if (low > kSortCeiling) low = kSortCeiling;
        if (high > kSortCeiling) high = kSortCeiling;
        p.of[d] = {static_cast<uint16_t>(low), static_cast<uint16_t>(high)};
    }
    return p;
}

constexpr PassingDistances kPassing = MakePassingDistances();

inline int32_t SectorOf(int32_t relative) { return (relative - kLowestRelative) >> kSectorShift; }

// Builds the tables of an np-minutia probe (np 1..50): a counting sort of
// every row edge by (type, sector, distance bucket).
void BuildScreeningTables(const Point* m, int32_t np, ScreeningTables& t) {
    uint16_t* const end = &t.start[0][0][0];
    std::memset(t.start, 0, sizeof t.start);
    for (int32_t i = 0; i < np; ++i) {
        for (int32_t p = 0; p < np; ++p) {
            const int32_t dx = m[p].x - m[i].x, dy = m[p].y - m[i].y;
            const int32_t squared = dx * dx + dy * dy;
            if (squared == 0) continue;
            const int32_t distance = ShortDistance(squared);
            if (distance >= kSortCeiling) continue;
            int32_t relative = m[p].angle - m[i].angle;
            if (relative < 0) relative += 360;
            ++t.start[m[i].type][SectorOf(relative)][distance >> kBucketShift];
        }
    }
    // Running sums: each entry becomes the end of its key; placing an edge
    // moves its key's entry down, so that it ends as the key's first edge.
    // The last bucket holds no edge, its entry stays the end of its group.
    uint16_t placed = 0;
    for (size_t k = 0; k < sizeof t.start / sizeof t.start[0][0][0]; ++k) {
        placed = static_cast<uint16_t>(placed + end[k]);
        end[k] = placed;
    }
    for (int32_t i = 0; i < np; ++i) {
        const Point& from = m[i];
        for (int32_t p = 0; p < np; ++p) {
            const int32_t dx = m[p].x - from.x, dy = m[p].y - from.y;
            const int32_t squared = dx * dx + dy * dy;
            if (squared == 0) continue;
            const int32_t distance = ShortDistance(squared);
            if (distance >= kSortCeiling) continue;
            int32_t edgeAngle = ShortDirection(dy, dx) - from.angle;
            if (edgeAngle < 0) edgeAngle += 360;
            int32_t relative = m[p].angle - from.angle;
            if (relative < 0) relative += 360;
            const uint16_t at = --t.start[from.type][SectorOf(relative)][distance >> kBucketShift];
            t.distance[at] = static_cast<int16_t>(distance);
            t.edgeAngle[at] = static_cast<int16_t>(edgeAngle);
            t.relativeDirection[at] = static_cast<int16_t>(relative);
            t.row[at] = static_cast<uint8_t>(i);
        }
    }
    for (int32_t at = placed; at < placed + kLanes; ++at) {
        t.distance[at] = t.edgeAngle[at] = t.relativeDirection[at] = 0;
        t.row[at] = 0;
    }
    for (int32_t type = 0; type < kTypes; ++type) {
        t.sectorsHeld[type] = 0;
        for (int32_t sector = 0; sector < kSectors; ++sector)
            if (t.start[type][sector][0] != t.start[type][sector][kBuckets - 1]) t.sectorsHeld[type] |= 1u << sector;
    }
}

// Adds to `rows` the rows among edges first..last - 1 that hold an edge
// agreeing with the limit edge (d, a, b) in distance (`passing`: the range
// holds whole buckets) and in both angles, and to `count` the number of rows
// newly added. The edges are tested a block of kLanes at a time, branch-free
// in the 16-bit lanes of SSE2 (baseline x86-64; every value fits: distances
// below 409 + 400, angles -151..511); a block with an agreeing edge, which is
// rare, then records its rows. Lanes past the range are masked off.
inline void AddAgreeingRows(const ScreeningTables& t, int32_t first, int32_t last, int32_t d, DistanceInterval passing,
                            int32_t a, int32_t b, uint64_t& rows, int32_t& count) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i limit = _mm_set1_epi16(static_cast<int16_t>(d)), angle = _mm_set1_epi16(static_cast<int16_t>(a));
    const __m128i direction = _mm_set1_epi16(static_cast<int16_t>(b));
    const __m128i belowLow = _mm_set1_epi16(static_cast<int16_t>(passing.low - 1));
    const __m128i high = _mm_set1_epi16(static_cast<int16_t>(passing.high));
    const __m128i ten = _mm_set1_epi16(10), three = _mm_set1_epi16(3);
    const __m128i tolerance = _mm_set1_epi16(kDirectionTolerance);
    for (int32_t base = first; base < last; base += kLanes) {
        const __m128i distance = Load8(t.distance + base);
        const __m128i s = _mm_add_epi16(limit, distance);
        const __m128i toleranceA = _mm_max_epi16(_mm_sub_epi16(ten, _mm_srai_epi16(s, 5)), three);
        __m128i agrees = _mm_and_si128(_mm_cmpgt_epi16(distance, belowLow), _mm_cmpgt_epi16(high, distance));
        agrees = _mm_andnot_si128(_mm_cmpgt_epi16(Folded8(angle, Load8(t.edgeAngle + base)), toleranceA), agrees);
        agrees = _mm_andnot_si128(_mm_cmpgt_epi16(Folded8(direction, Load8(t.relativeDirection + base)), tolerance),
                                  agrees);
        // One bit per lane, those past the range cleared; the agreeing lanes
        // (rare) are then visited without a branch per lane.
        const int32_t remaining = last - base < kLanes ? last - base : kLanes;
        uint32_t mask = static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(agrees, zero))) & ((1u << remaining) - 1);
        for (; mask != 0; mask &= mask - 1) {
            const uint64_t bit = uint64_t{1} << t.row[base + __builtin_ctz(mask)];
            count += (rows & bit) == 0;
            rows |= bit;
        }
    }
}

// The match count of one candidate record.
int32_t ScoreCandidate(const ScreeningTables& t, const uint8_t* record) {
    if (record[0] != (kMarker >> 8) || record[1] != (kMarker & 0xFF)) return 0;
    const int32_t nc = UsableCount(record[3]);
    if (nc == 0) return 0;
    // The minutiae, then the three wrap-around entries (copied in order, so
    // short lists repeat cyclically), then cleared entries up to a whole
    // number of blocks of kChunk minutiae.
    int16_t x[kBlockedMinutiae + kLimitEdges], y[kBlockedMinutiae + kLimitEdges];
    int16_t angle[kBlockedMinutiae + kLimitEdges];
    uint8_t type[kBlockedMinutiae];
    for (int32_t i = 0; i < nc; ++i) {
        const Point p = ReadPoint(record + 2 * kMinutiaWord + 4 * i);
        x[i] = p.x;
        y[i] = p.y;
        angle[i] = p.angle;
        type[i] = p.type;
    }
    for (int32_t k = 0; k < kLimitEdges; ++k) {
        x[nc + k] = x[k];
        y[nc + k] = y[k];
        angle[nc + k] = angle[k];
    }
    for (int32_t i = nc + kLimitEdges; i < kBlockedMinutiae + kLimitEdges; ++i) x[i] = y[i] = angle[i] = 0;

    int32_t matches = 0;
    for (int32_t e = 1; e <= kLimitEdges; ++e) {
        // Limit edge e of every minutia: first all lengths (independent of
        // one another, so their square roots overlap), then the lookups of
        // those that can match.
        int16_t distance[kBlockedMinutiae];
        for (int32_t base = 0; base < nc; base += kChunk) {
            for (int32_t lane = 0; lane < kChunk; ++lane) {
                const int32_t q = base + lane;
                const int32_t dx = x[q + e] - x[q], dy = y[q + e] - y[q];
                distance[q] = static_cast<int16_t>(ShortDistance(dx * dx + dy * dy));
            }
        }
        for (int32_t q = 0; q < nc; ++q) {
            const int32_t d = distance[q];
            if (d >= kWindowDistances) continue;
            const DistanceInterval passing = kPassing.of[d];
            if (passing.low >= passing.high) continue;
            int32_t b = angle[q + e] - angle[q];
            if (b < 0) b += 360;
            int32_t a = 0;
            bool aKnown = false;  // the edge angle is computed once some sector holds an edge of the right length
            uint64_t rows = 0;
            int32_t count = 0;
            const uint32_t sectorsToSearch = kSectorsToSearch[b - kLowestRelative] & t.sectorsHeld[type[q]];
            for (uint32_t sectors = sectorsToSearch; sectors != 0; sectors &= sectors - 1) {
                const uint16_t* group = t.start[type[q]][__builtin_ctz(sectors)];
                const int32_t first = group[passing.low >> kBucketShift];
                const int32_t last = group[((passing.high - 1) >> kBucketShift) + 1];
                if (first == last) continue;
                if (!aKnown) {
                    a = ShortDirection(y[q + e] - y[q], x[q + e] - x[q]) - angle[q];
                    if (a < 0) a += 360;
                    aKnown = true;
                }
                AddAgreeingRows(t, first, last, d, passing, a, b, rows, count);
            }
            matches += count;
        }
    }
    return matches;
}

// The probe's tables; false when nothing can be screened (no probe, no
// usable minutia, no candidates).
bool PrepareScreening(const uint8_t* probe, const uint8_t* candidates, ScreeningTables& tables) {
    if (probe == nullptr) return false;
    const int32_t np = UsableCount(probe[3]);
    if (np == 0 || candidates == nullptr) return false;
    Point probeMinutiae[kMaxMinutiae];
    for (int32_t i = 0; i < np; ++i) probeMinutiae[i] = ReadPoint(probe + 2 * kMinutiaWord + 4 * i);
    BuildScreeningTables(probeMinutiae, np, tables);
    return true;
}

}  // namespace

extern "C" {

int32_t QuickSort(const uint8_t* probe, const uint8_t* candidates, int32_t candidateCount, int32_t* bestIndices) {
    if (candidateCount < 0 || bestIndices == nullptr) return 0;
    int32_t bestScores[kBest];
    for (int k = 0; k < kBest; ++k) {
        bestIndices[k] = -1;
        bestScores[k] = 0;
    }
    ScreeningTables tables;
    if (!PrepareScreening(probe, candidates, tables)) return 1;  // nothing to screen with
    for (int32_t r = 0; r < candidateCount; ++r) {
        const uint8_t* record = candidates + static_cast<size_t>(r) * kRecordBytes;
        Offer(ScoreCandidate(tables, record), r, bestScores, bestIndices);
    }
    return 1;
}

int32_t ScreenScores(const uint8_t* probe, const uint8_t* candidates, int32_t candidateCount, int32_t* scores) {
    if (candidateCount < 0 || scores == nullptr) return -1;
    ScreeningTables tables;
    const bool usable = PrepareScreening(probe, candidates, tables);
    for (int32_t r = 0; r < candidateCount; ++r)
        scores[r] = usable ? ScoreCandidate(tables, candidates + static_cast<size_t>(r) * kRecordBytes) : 0;
    return candidateCount;
}

}  // extern "C"
