// The rules of the base pair search, defined once. The exported stage
// functions (basepair.cpp: BuildTopoGraph, SortTopoGraph, CalcPairScore,
// CompareTopoGraph, InsertBasePair) and the fast comparison
// (prepared_build.cpp, prepared.cpp, pair_scores*.cpp) both take them from
// here:
//   - neighbours: two minutiae at a distance of 1..110 pixels;
//   - an edge: direction to the neighbour and the neighbour's direction,
//     both relative to the owner's direction, and the distance;
//   - agreement of a probe edge and a gallery edge: distance, turn and facing
//     tolerances; the probe edges looked at lie in an angle window;
//   - the pair score: 30 per agreeing gallery edge of equal neighbour type,
//     20 otherwise; 0 when none of the first max(5, k / 2) + 1 gallery edges
//     agreed;
//   - the selection: probe rows in order, gallery minutiae of equal type in
//     order, candidates that contradict the reference pair skipped, the
//     reference pair the best one above 150, three best per probe row, then
//     three best overall, newcomers behind equal scores.
// Private to the library. Not installed.
#ifndef FPMATCH_BASEPAIR_RULES_H
#define FPMATCH_BASEPAIR_RULES_H

#include <cstdint>

#include "internal.h"

namespace fpmatch::detail {

// ------------------------------------------------------------ neighbours

constexpr int32_t kNeighbourRadius = 110;
constexpr int32_t kNeighbourRadiusSquared = kNeighbourRadius * kNeighbourRadius;

// Coincident minutiae (squared distance 0) are not neighbours.
constexpr bool AreNeighbours(int64_t squaredDistance) {
    return squaredDistance > 0 && squaredDistance <= kNeighbourRadiusSquared;
}

// The two directed edges between minutia `own` and a neighbour `other`,
// from the direction `theta` (0..359) of the line from own to other. Both
// directions are folded (FoldDirection). The reverse edge reuses the same
// measurement, turned by 180 degrees.
struct EdgeDirections {
    int32_t angle;           // own -> other: line direction less own direction, 0..359
    int32_t relative;        // other's direction less own's, 0..360 (360: own 0, other 360)
    int32_t reverseAngle;    // other -> own, 0..359
    int32_t reverseRelative; // 0 when relative is 0, else 360 - relative: 0..359
};

// Formed in 64 bits: a hand-made set may hold any int32 direction; what
// leaves int32 then is kept modulo 2^32.
constexpr EdgeDirections DirectionsOf(int32_t ownAngle, int32_t otherAngle, int32_t theta) {
    int64_t r = int64_t{otherAngle} - ownAngle;
    if (r < 0) r += 360;
    int64_t a = int64_t{theta} - ownAngle;
    if (a < 0) a += 360;
    int64_t b = int64_t{theta} + 180 - otherAngle;
    if (b < 0) {
        b += 360;
    } else if (b > 359) {
        b -= 360;
    }
    return EdgeDirections{static_cast<int32_t>(a), static_cast<int32_t>(r), static_cast<int32_t>(b),
                          static_cast<int32_t>(r == 0 ? 0 : 360 - r)};
}

// ------------------------------------------------------------- agreement

// The probe edges a gallery edge of angle `a` looks at: angles lo .. end - 1
// with lo = max(0, a - 10), end = a + 11 (the window does not wrap).
constexpr int32_t kAngleWindow = 10;
constexpr int32_t WindowLow(int32_t a) { return a < kAngleWindow ? 0 : a - kAngleWindow; }
constexpr int32_t WindowEnd(int32_t a) { return a + kAngleWindow + 1; }

// Tolerances, with s = the sum of the two distances:
//   |pd - d| <= (s >> 6) + 7, |pa - a| <= 12 - ((s - 20) >> 5),
//   circular difference of the relative directions <= 10.
constexpr int32_t kDistanceShift = 6;
constexpr int32_t kDistanceSlack = 7;
constexpr int32_t kTurnSlack = 12;
constexpr int32_t kTurnBias = 20;
constexpr int32_t kTurnShift = 5;
constexpr int32_t kFacingSlack = 10;

// The three tests, each on its own (in 64 bits, as edges of hand-made
// graphs may hold any int32).
constexpr bool NearDistances(int64_t pd, int64_t d) {
    return Abs(pd - d) <= ((pd + d) >> kDistanceShift) + kDistanceSlack;
}
constexpr bool Turned(int64_t pa, int64_t a, int64_t pd, int64_t d) {
    return Abs(pa - a) <= kTurnSlack - ((pd + d - kTurnBias) >> kTurnShift);
}
constexpr bool Facing(int32_t pr, int32_t r) { return CircularDifference(pr, r) <= kFacingSlack; }

// Whether probe edge (pa, pd, pr) agrees with gallery edge (a, d, r).
// Evaluated without branches: the tests are cheap and their outcome is
// unpredictable.
inline bool EdgesAgree(int32_t pa, int32_t pd, int32_t pr, int32_t a, int32_t d, int32_t r) {
    const bool near = NearDistances(pd, d), turned = Turned(pa, a, pd, d), facing = Facing(pr, r);
    return near & turned & facing;
}

// The same tests in the forms the SIMD paths (pair_scores_simd.cpp)
// evaluate lane by lane, equal to the ones above wherever they are used
// (checked below at compile time over every distance 0..127 and every angle
// and direction difference the records can hold):
//   - near: pd within [NearLow(d), NearHigh(d)], a table of the distances
//     NearDistances accepts (for a given d they form one interval);
//   - turned: |pa - a| + ((pd + d - 20) >> 5) <= 12;
//   - facing: |pr - r| <= 10 or |pr - r| >= 350 (the circular difference
//     turns |pr - r| above 180 into 360 - |pr - r|).
constexpr int32_t kKernelDistances = 128;  // distances 0..127: every record field that passes the checks
struct NearRanges {
    int16_t low[kKernelDistances];
    int16_t high[kKernelDistances];
};
constexpr NearRanges MakeNearRanges() {
    NearRanges t{};
    for (int32_t d = 0; d < kKernelDistances; ++d) {
        t.low[d] = kKernelDistances;
        t.high[d] = -1;
        for (int32_t pd = 0; pd < kKernelDistances; ++pd)
            if (NearDistances(pd, d)) {
                if (t.low[d] > pd) t.low[d] = static_cast<int16_t>(pd);
                t.high[d] = static_cast<int16_t>(pd);
            }
    }
    return t;
}
inline constexpr NearRanges kNearRanges = MakeNearRanges();
constexpr bool TurnedBySum(int32_t pa, int32_t a, int32_t pd, int32_t d) {
    return Abs(pa - a) + ((pd + d - kTurnBias) >> kTurnShift) <= kTurnSlack;
}
constexpr bool FacingByDifference(int32_t pr, int32_t r) {
    return Abs(pr - r) <= kFacingSlack || Abs(pr - r) >= 360 - kFacingSlack;
}
// Evaluated once, in pair_scores.cpp. The turn depends on pd + d alone and
// the facing test on pr - r alone.
constexpr bool KernelFormsAgree() {
    for (int32_t d = 0; d < kKernelDistances; ++d)
        for (int32_t pd = 0; pd < kKernelDistances; ++pd)
            if (NearDistances(pd, d) != (pd >= kNearRanges.low[d] && pd <= kNearRanges.high[d])) return false;
    for (int32_t sum = 0; sum < 2 * kKernelDistances; ++sum)
        for (int32_t turn = -30; turn <= 30; ++turn)
            if (Turned(180 + turn, 180, sum, 0) != TurnedBySum(180 + turn, 180, sum, 0)) return false;
    for (int32_t difference = -511; difference <= 511; ++difference)
        if (Facing(511 + difference, 511) != FacingByDifference(511 + difference, 511)) return false;
    return true;
}

// ------------------------------------------------------------ pair score

constexpr int32_t kSameTypeAward = 30;
constexpr int32_t kOtherTypeAward = 20;

// What one agreeing gallery edge adds to the pair score.
constexpr int32_t EdgeAward(uint8_t probeNeighbourType, uint8_t galleryNeighbourType) {
    return probeNeighbourType == galleryNeighbourType ? kSameTypeAward : kOtherTypeAward;
}

// A pair whose gallery row has k edges scores 0 when none of its gallery
// edges 0 .. EarlyStopEdge(k) agreed: the score gives up once more than 5,
// and more than half, of the gallery edges found nothing.
constexpr int32_t kEarlyStopMinimum = 5;
constexpr int32_t EarlyStopEdge(int32_t k) { return (k >> 1) > kEarlyStopMinimum ? (k >> 1) : kEarlyStopMinimum; }

// ------------------------------------------------------------- selection

// A pair becomes the reference once it scores above this (and above the
// reference so far).
constexpr int32_t kReferenceStartScore = 150;

// Whether a candidate contradicts the reference pair: its probe minutia's
// edge from the reference probe minutia (pd, pa, pr) and its gallery
// minutia's edge from the reference gallery minutia (gd, ga, gr) disagree.
constexpr int32_t kReferenceDistanceSlack = 9;
constexpr int32_t kReferenceTurnSlack = 12;
constexpr int32_t kReferenceFacingSlack = 10;
constexpr bool ContradictsReference(int32_t pd, int32_t pa, int32_t pr, int32_t gd, int32_t ga, int32_t gr) {
    return Abs(int64_t{pd} - gd) > kReferenceDistanceSlack || CircularDifference(pa, ga) > kReferenceTurnSlack ||
           CircularDifference(pr, gr) > kReferenceFacingSlack;
}

constexpr int32_t kBasePairs = 3;

// Whether a pair scoring `score` enters a best list of `capacity` kept in
// descending score: only above the last entry (newcomers go behind equal
// scores). InsertIntoList applies it.
inline bool EntersList(int32_t score, const BasePair* list, int32_t capacity) {
    return capacity > 0 && score > list[capacity - 1].pairScore;
}

// InsertBasePair: the pair goes behind every entry of equal or higher score;
// the last entry falls off. Inline, so that the selection's lists of three
// unroll.
inline void InsertIntoList(BasePair basePair, BasePair* list, int32_t capacity) {
    int32_t q = 0;
    while (q < capacity && !(basePair.pairScore > list[q].pairScore)) ++q;
    if (q == capacity) return;
    for (int32_t t = capacity - 1; t > q; --t) list[t] = list[t - 1];
    list[q] = basePair;
}

// The selection walk. For each probe row i in order, `visit(i, consider)`
// calls consider(j) for the gallery minutiae j of i's type in increasing
// order (it may leave out pairs that score 0: they change nothing).
// `contradicts(i, j)` tells whether (i, j) contradicts the current reference
// (only asked once there is one), `score(i, j)` gives the pair score and
// `newReference(i, j)` is told when (i, j) becomes the reference. Fills
// basePairs (zeroed, room for 3) and returns how many score above 0.
template <class Visit, class Contradicts, class Score, class NewReference>
inline int32_t SelectBasePairs(int32_t probeCount, Visit visit, Contradicts contradicts, Score score,
                               NewReference newReference, BasePair* basePairs) {
    int32_t referenceScore = kReferenceStartScore;
    bool haveReference = false;
    for (int32_t i = 0; i < probeCount; ++i) {
        BasePair rowList[kBasePairs] = {};
        visit(i, [&](int32_t j) {
            if (haveReference && contradicts(i, j)) return;
            const int32_t s = score(i, j);
            if (s > referenceScore) {
                referenceScore = s;
                haveReference = true;
                newReference(i, j);
            }
            if (s > 0 && EntersList(s, rowList, kBasePairs)) InsertIntoList(BasePair{i, j, s, 0}, rowList, kBasePairs);
        });
        for (const BasePair& candidate : rowList)
            if (EntersList(candidate.pairScore, basePairs, kBasePairs)) InsertIntoList(candidate, basePairs, kBasePairs);
    }
    int32_t found = 0;
    for (int32_t t = 0; t < kBasePairs; ++t)
        if (basePairs[t].pairScore > 0) ++found;
    return found;
}

// ------------------------------------------------------------- row order

// A probe row is sorted by edge angle with a selection sort: step p takes
// the first edge (lowest position) of smallest angle among positions
// p .. k - 1 and swaps it with the edge at p. SortRowByAngle takes the same
// steps without scanning, for rows of at most 64 edges with angles 0..359: a
// bitmap of the angles still unsorted finds the smallest angle, and per
// angle a bitmap of the positions holding it finds the first of them.
// `positions` (360 words) is all zero on entry and on return.
template <class Edge, class AngleOf>
inline void SortRowByAngle(Edge* row, int32_t k, uint64_t* positions, AngleOf angleOf) {
    uint64_t angles[6] = {};  // bit v: an unsorted edge has angle v
    for (int32_t q = 0; q < k; ++q) {
        const int32_t v = angleOf(row[q]);
        angles[v >> 6] |= uint64_t{1} << (v & 63);
        positions[v] |= uint64_t{1} << q;
    }
    for (int32_t p = 0; p < k; ++p) {
        int32_t w = 0;
        while (angles[w] == 0) ++w;
        const int32_t smallest = w * 64 + __builtin_ctzll(angles[w]);
        const int32_t chosen = __builtin_ctzll(positions[smallest]);
        const int32_t displaced = angleOf(row[p]);
        positions[smallest] &= positions[smallest] - 1;  // the chosen edge is placed
        if (positions[smallest] == 0) angles[w] &= angles[w] - 1;
        if (chosen != p) {
            // The edge at p moves to the chosen edge's place.
            positions[displaced] = (positions[displaced] & ~(uint64_t{1} << p)) | uint64_t{1} << chosen;
            const Edge t = row[p];
            row[p] = row[chosen];
            row[chosen] = t;
        }
    }
}

}  // namespace fpmatch::detail

#endif
