// Score components of one alignment (positions of the paired minutiae,
// singular points, unpaired minutiae) and the final 0..100 score from the
// base pairs' alignment scores. alignment.cpp combines them.
#include <cmath>
#include <cstdint>

#include "internal.h"

namespace {

using namespace fpmatch::detail;

constexpr int32_t kNearSquared = 8100;  // 90 pixels

inline bool IsAbsent(const SingularPoint& p) { return p.x == 0 && p.y == 0; }

// Entry 1 equal to (0, 2) is a marker, not a point.
inline bool HasMarker(const SingularPoint* triple) { return triple[1].x == 0 && triple[1].y == 2; }

// A triple holds two points when entry 1 has x != 0 or y > 2.
inline int32_t PointCount(const SingularPoint* triple) {
    return triple[1].x != 0 || triple[1].y > 2 ? 2 : 1;
}

// Penalty for singular points of one side that land well inside the other
// template's foreground (no background cell in their 3 x 3 neighbourhood).
int32_t OneSidedSingularPenalty(const SingularPoint* moved, int32_t weight, const uint8_t* otherGndTable) {
    int32_t penalty = 0;
    const int32_t points = PointCount(moved);
    for (int32_t t = 0; t < points; ++t) {
        const int32_t col = moved[t].x >> 3, row = moved[t].y >> 3;
        if (row < 1 || row > 34 || col < 1 || col > 30) continue;
        int32_t sum = 0;
        for (int32_t r = row - 1; r <= row + 1; ++r)
            for (int32_t c = col - 1; c <= col + 1; ++c) sum += otherGndTable[r * 32 + c];
        if (sum == 0) penalty += weight;
    }
    return penalty;
}

}  // namespace

namespace fpmatch::detail {

void NegScore(int32_t centerX, int32_t centerY, const MinutiaPair* pairs, int32_t pairCount, const Minutia* set,
              uint64_t present, const uint8_t* otherBlockQty, int32_t side, int32_t* total, int32_t* nearTotal) {
    // The unpaired minutiae as bits: present and not paired. Their order
    // does not matter to the sums, and visiting only them spares a branch
    // per minutia that the pairing makes unpredictable.
    pairCount = ClampCount(pairCount);
    uint64_t paired = 0;
    for (int32_t t = 0; t < pairCount; ++t) {
        const int32_t slot = side == 0 ? pairs[t].probeIndex : pairs[t].galleryIndex;
        if (IsSlot(slot)) paired |= uint64_t{1} << slot;
    }
    int32_t sum = 0, nearSum = 0;
    for (uint64_t unpaired = present & ~paired; unpaired != 0; unpaired &= unpaired - 1) {
        const Minutia& m = set[__builtin_ctzll(unpaired)];
        const int64_t dx = int64_t{m.x} - centerX, dy = int64_t{m.y} - centerY;
        int32_t q = m.quality;
        // Moved sets always lie inside the image; the bound only guards
        // direct callers.
        if (m.x >= 0 && m.x < kImageWidth && m.y >= 0 && m.y < kImageHeight)
            q = Min(q, otherBlockQty[(m.y >> 4) * 16 + (m.x >> 4)]);
        if (q > 10) q += (q - 10) * (q - 10);
        sum += q;
        nearSum += SquaredLength(dx, dy) <= kNearSquared ? q : 0;
    }
    *total = sum;
    *nearTotal = nearSum;
}

}  // namespace fpmatch::detail

extern "C" {

void CalcPosScore(const Minutia* probeSet, const Minutia* gallerySet, int32_t centerX, int32_t centerY,
                  const MinutiaPair* pairs, int32_t pairCount, int32_t* total, int32_t* nearTotal) {
    // Summed in 64 bits: pairs of minutiae far outside any image give
    // sums beyond int32 (kept modulo 2^32), never an overflow.
    int64_t sum = 0, nearSum = 0;
    pairCount = ClampCount(pairCount);
    for (int32_t t = 0; t < pairCount; ++t) {
        if (!IsSlot(pairs[t].probeIndex) || !IsSlot(pairs[t].galleryIndex)) continue;
        const Minutia& A = probeSet[pairs[t].probeIndex];
        const Minutia& B = gallerySet[pairs[t].galleryIndex];
        const int32_t dAng = CircularDifference(FoldDirection(A.angle), FoldDirection(B.angle));
        int64_t s = 2 * Min(A.quality, B.quality) + 5;
        if (A.type == B.type) s += 10;
        s -= Abs(int64_t{A.x} - B.x) + Abs(int64_t{A.y} - B.y) + dAng;
        sum += s;
        const int64_t ax = int64_t{A.x} - centerX, ay = int64_t{A.y} - centerY;
        const int64_t bx = int64_t{B.x} - centerX, by = int64_t{B.y} - centerY;
        const int64_t dA = SquaredLength(ax, ay), dB = SquaredLength(bx, by);
        if ((dA < dB ? dA : dB) / 4 <= 2025) nearSum += s;
    }
    *total = static_cast<int32_t>(sum);
    *nearTotal = static_cast<int32_t>(nearSum);
}

void CalcSingularScore(const SingularPoint* probeSingular, const SingularPoint* gallerySingular,
                       const SingularPoint* movedProbeSingular, const SingularPoint* movedGallerySingular,
                       const uint8_t* probeGndTable, const uint8_t* galleryGndTable, int32_t* penalty) {
    const bool hasP = !IsAbsent(movedProbeSingular[0]);
    const bool hasG = !IsAbsent(movedGallerySingular[0]);
    if (!hasP && !hasG) {
        *penalty = 0;
    } else if (hasP && !hasG) {
        *penalty = OneSidedSingularPenalty(movedProbeSingular, HasMarker(probeSingular) ? 16 : 32, galleryGndTable);
    } else if (hasG && !hasP) {
        *penalty = OneSidedSingularPenalty(movedGallerySingular, HasMarker(gallerySingular) ? 16 : 32,
                                           probeGndTable);
    } else {
        // Both sides: nearest pair of points, in the probe frame.
        const int32_t nP = PointCount(probeSingular), nG = PointCount(movedGallerySingular);
        const int32_t allowance = HasMarker(probeSingular) || HasMarker(gallerySingular) ? 32 : 16;
        int64_t nearest = 6400;
        for (int32_t i = 0; i < nP; ++i) {
            for (int32_t j = 0; j < nG; ++j) {
                const int64_t dx = int64_t{probeSingular[i].x} - movedGallerySingular[j].x;
                const int64_t dy = int64_t{probeSingular[i].y} - movedGallerySingular[j].y;
                const int64_t squared = SquaredLength(dx, dy);
                if (squared < nearest) nearest = squared;
            }
        }
        *penalty = Max(static_cast<int32_t>(std::sqrt(static_cast<double>(nearest))) - allowance, 0);
    }
}

void CalcNegScore(int32_t centerX, int32_t centerY, const MinutiaPair* pairs, int32_t pairCount,
                  const Minutia* set, int32_t count, const uint8_t* otherBlockQty, int32_t side, int32_t* total,
                  int32_t* nearTotal) {
    // The present minutiae: those with x != 0.
    count = ClampCount(count);
    uint64_t present = 0;
    for (int32_t i = 0; i < count; ++i) present |= static_cast<uint64_t>(set[i].x != 0) << i;
    NegScore(centerX, centerY, pairs, pairCount, set, present, otherBlockQty, side, total, nearTotal);
}

int32_t CalcLastScore(BasePair* basePairs, const Minutia* probeMinutiae, const Minutia* galleryMinutiae,
                      int32_t count) {
    if (count <= 0) return 0;
    // Exchange sort, highest matchScore first.
    for (int32_t i = 0; i < count; ++i) {
        for (int32_t j = i + 1; j < count; ++j) {
            if (basePairs[i].matchScore < basePairs[j].matchScore) {
                const BasePair t = basePairs[i];
                basePairs[i] = basePairs[j];
                basePairs[j] = t;
            }
        }
    }
    auto distance = [](const Minutia& a, const Minutia& b) {
        const int64_t squared = SquaredLength(int64_t{a.x} - b.x, int64_t{a.y} - b.y);
        return static_cast<int64_t>(std::sqrt(static_cast<double>(squared)));
    };
    const BasePair& first = basePairs[0];
    const int32_t best = first.matchScore;
    int32_t second = 0;
    if (IsSlot(first.probeIndex) && IsSlot(first.galleryIndex)) {
        const Minutia& P0 = probeMinutiae[first.probeIndex];
        const Minutia& G0 = galleryMinutiae[first.galleryIndex];
        // The best other base pair whose base minutiae lie as far apart in the
        // probe as in the gallery (within 20 pixels) adds its score.
        for (int32_t k = 1; k < count; ++k) {
            if (!IsSlot(basePairs[k].probeIndex) || !IsSlot(basePairs[k].galleryIndex)) continue;
            const int64_t dP = distance(probeMinutiae[basePairs[k].probeIndex], P0);
            const int64_t dG = distance(galleryMinutiae[basePairs[k].galleryIndex], G0);
            if (dP - dG >= -20 && dP - dG <= 20) {
                second = basePairs[k].matchScore;
                break;
            }
        }
    }
    const int64_t total = (int64_t{best} + second) / 2;
    return total > 100 ? 100 : static_cast<int32_t>(total);
}

}  // extern "C"
