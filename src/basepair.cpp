// Base pair search: topology graphs of both templates and their comparison.
//
// Every minutia is described by its neighbours within 110 pixels (distance,
// direction of the line and neighbour direction, all relative to its own
// direction). Probe and gallery minutiae of equal type are scored by how many
// of their edges agree, and the three best pairs become base pairs for the
// alignment.
#include <cstdint>
#include <cstring>

#include "basepair_rules.h"
#include "internal.h"

namespace {

using namespace fpmatch::detail;

constexpr uint8_t kNotNeighbour = FPMATCH_TOPO_INDEX_NONE;

// Counts outside 1..50 describe no graph that fits the 50 x 50 storage.
inline int32_t GraphSize(const FeatureSet* fs) {
    const int32_t n = fs->minutiaCount;
    return n > 0 && n <= kMaxMinutiae ? n : 0;
}

}  // namespace

extern "C" {

void BuildTopoGraph(const FeatureSet* fs, TopoEdge* matrix, uint8_t* edgeCounts) {
    const int32_t n = GraphSize(fs);
    const Minutia* m = fs->minutiae;
    for (int32_t i = 0; i < n; ++i) {
        matrix[i * n + i].distance = 0;
        const int32_t ownAngle = FoldDirection(m[i].angle);
        for (int32_t j = i + 1; j < n; ++j) {
            TopoEdge& forward = matrix[i * n + j];
            TopoEdge& backward = matrix[j * n + i];
            const int64_t dx = int64_t{m[j].x} - m[i].x, dy = int64_t{m[j].y} - m[i].y;
            if (!AreNeighbours(SquaredLength(dx, dy))) {
                forward.distance = 0;
                backward.distance = 0;
                continue;
            }
            // Within 110 pixels both components fit the lookup tables.
            const auto x = static_cast<int32_t>(dx), y = static_cast<int32_t>(dy);
            const int32_t d = TableSqrt(y, x);
            const EdgeDirections e = DirectionsOf(ownAngle, FoldDirection(m[j].angle), TableAtan(y, x));
            forward = {e.angle, d, e.relative, m[j].type, static_cast<uint8_t>(j)};
            backward = {e.reverseAngle, d, e.reverseRelative, m[i].type, static_cast<uint8_t>(i)};
        }
    }
    // Compaction: real edges to the front of each row, in neighbour order.
    for (int32_t i = 0; i < n; ++i) {
        TopoEdge* row = matrix + i * n;
        int32_t kept = 0;
        for (int32_t p = 0; p < n; ++p) {
            if (row[p].distance > 0) {
                if (kept != p) row[kept] = row[p];
                ++kept;
            }
        }
        edgeCounts[i] = static_cast<uint8_t>(kept);
    }
}

void SortTopoGraph(const FeatureSet* fs, TopoEdge* matrix, const uint8_t* edgeCounts) {
    const int32_t n = GraphSize(fs);
    for (int32_t i = 0; i < n; ++i) {
        TopoEdge* row = matrix + i * n;
        const int32_t k = edgeCounts[i] < n ? edgeCounts[i] : n;
        // Selection sort by edgeAngle; the first of equal values is chosen,
        // which fixes the order of ties. Rows as BuildTopoGraph writes them
        // (angles 0..359) take the same steps through SortRowByAngle, as the
        // fast comparison's rows do; hand-made rows with other angles are
        // sorted by the plain scan.
        bool inRange = true;
        for (int32_t p = 0; p < k; ++p) inRange &= row[p].edgeAngle >= 0 && row[p].edgeAngle <= 359;
        if (inRange) {
            uint64_t positions[360] = {};
            SortRowByAngle(row, k, positions, [](const TopoEdge& e) { return e.edgeAngle; });
        }
        for (int32_t p = 0; p < k && !inRange; ++p) {
            int32_t chosen = p;
            for (int32_t q = p + 1; q < k; ++q)
                if (row[q].edgeAngle < row[chosen].edgeAngle) chosen = q;
            if (chosen != p) {
                const TopoEdge t = row[p];
                row[p] = row[chosen];
                row[chosen] = t;
            }
        }
        // The tail reads as all-zero bytes, padding included.
        if (k < n) std::memset(row + k, 0, sizeof(TopoEdge) * static_cast<size_t>(n - k));
    }
}

void TopoGraphSearchTab(const TopoEdge* row, int32_t edgeCount, int32_t tableLength, uint8_t* table) {
    if (tableLength <= 0) return;
    std::memset(table, 0, static_cast<size_t>(tableLength));
    if (edgeCount <= 0) return;
    // table[v] = number of edges whose edgeAngle is below v.
    for (int32_t j = 1; j < edgeCount; ++j) {
        int64_t v = int64_t{row[j - 1].edgeAngle} + 1;
        if (v < 0) v = 0;
        for (; v <= row[j].edgeAngle && v < tableLength; ++v) table[v] = static_cast<uint8_t>(j);
    }
    int64_t v = int64_t{row[edgeCount - 1].edgeAngle} + 1;
    if (v < 0) v = 0;
    for (; v < tableLength; ++v) table[v] = static_cast<uint8_t>(edgeCount);
}

int32_t CalcPairScore(const TopoEdge* probeRow, const TopoEdge* galleryRow, const uint8_t* searchTab,
                      int32_t galleryEdgeCount) {
    int32_t score = 0;
    for (int32_t g = 0; g < galleryEdgeCount; ++g) {
        const TopoEdge& ge = galleryRow[g];
        const int32_t a = ge.edgeAngle;
        // The window does not wrap around 0/360. Its upper end is kept inside
        // the table, which matters only for angles outside 0..359.
        const int32_t lo = WindowLow(a);
        int32_t hiNext = WindowEnd(Min(a, FPMATCH_SEARCH_TAB_LENGTH));  // (no overflow near INT32_MAX)
        if (hiNext > FPMATCH_SEARCH_TAB_LENGTH - 1) hiNext = FPMATCH_SEARCH_TAB_LENGTH - 1;
        if (lo < hiNext) {
            for (int32_t p = searchTab[lo]; p < searchTab[hiNext]; ++p) {
                const TopoEdge& pe = probeRow[p];
                if (!EdgesAgree(pe.edgeAngle, pe.distance, pe.relativeDirection, a, ge.distance,
                                ge.relativeDirection))
                    continue;
                score += EdgeAward(pe.neighbourType, ge.neighbourType);
                break;
            }
        }
        if (score == 0 && g >= EarlyStopEdge(galleryEdgeCount)) return 0;
    }
    return score;
}

void BuildTopoIndex(const TopoEdge* row, int32_t edgeCount, uint8_t* index) {
    std::memset(index, kNotNeighbour, kMaxMinutiae);
    for (int32_t p = 0; p < edgeCount && p < kMaxMinutiae; ++p) {
        const uint8_t v = row[p].neighbourIndex;
        if (v < kMaxMinutiae) index[v] = static_cast<uint8_t>(p);
    }
}

void InsertBasePair(BasePair basePair, BasePair* list, int32_t capacity) {
    InsertIntoList(basePair, list, capacity);
}

int32_t CompareTopoGraph(const FeatureSet* probe, const FeatureSet* gallery, const TopoEdge* probeGraph,
                         const TopoEdge* galleryGraph, BasePair* basePairs, const uint8_t* probeEdgeCounts,
                         const uint8_t* galleryEdgeCounts) {
    const int32_t nP = GraphSize(probe), nG = GraphSize(gallery);
    uint8_t searchTab[FPMATCH_SEARCH_TAB_LENGTH];
    uint8_t probeIndex[kMaxMinutiae], galleryIndex[kMaxMinutiae];
    int32_t referenceProbe = -1, referenceGallery = -1;
    const TopoEdge* probeRow = probeGraph;
    // Every pair of equal type is scored unless it contradicts the reference
    // pair; the search table belongs to the probe row being visited.
    auto visit = [&](int32_t i, auto consider) {
        probeRow = probeGraph + i * nP;
        TopoGraphSearchTab(probeRow, probeEdgeCounts[i], FPMATCH_SEARCH_TAB_LENGTH, searchTab);
        for (int32_t j = 0; j < nG; ++j)
            if (probe->minutiae[i].type == gallery->minutiae[j].type) consider(j);
    };
    auto contradicts = [&](int32_t i, int32_t j) {
        const uint8_t u = probeIndex[i], w = galleryIndex[j];
        if (u >= kNotNeighbour || w >= kNotNeighbour) return false;
        const TopoEdge& pe = probeGraph[referenceProbe * nP + u];
        const TopoEdge& ge = galleryGraph[referenceGallery * nG + w];
        return ContradictsReference(pe.distance, pe.edgeAngle, pe.relativeDirection, ge.distance, ge.edgeAngle,
                                    ge.relativeDirection);
    };
    auto score = [&](int32_t, int32_t j) {
        return CalcPairScore(probeRow, galleryGraph + j * nG, searchTab, galleryEdgeCounts[j]);
    };
    auto newReference = [&](int32_t i, int32_t j) {
        if (referenceProbe != i) {
            referenceProbe = i;
            BuildTopoIndex(probeRow, probeEdgeCounts[i], probeIndex);
        }
        if (referenceGallery != j) {
            referenceGallery = j;
            BuildTopoIndex(galleryGraph + j * nG, galleryEdgeCounts[j], galleryIndex);
        }
    };
    return SelectBasePairs(nP, visit, contradicts, score, newReference, basePairs);
}

int32_t CalcBasePair(const FeatureSet* probe, const FeatureSet* gallery, BasePair* basePairs) {
    if (GraphSize(probe) == 0 || GraphSize(gallery) == 0) return 0;
    // The two graphs are the largest working storage of a comparison (about
    // 80 KB); they live on this call's stack.
    TopoEdge probeGraph[FPMATCH_TOPO_EDGES];
    TopoEdge galleryGraph[FPMATCH_TOPO_EDGES];
    uint8_t probeEdgeCounts[kMaxMinutiae];
    uint8_t galleryEdgeCounts[kMaxMinutiae];
    BuildTopoGraph(probe, probeGraph, probeEdgeCounts);
    SortTopoGraph(probe, probeGraph, probeEdgeCounts);
    BuildTopoGraph(gallery, galleryGraph, galleryEdgeCounts);
    return CompareTopoGraph(probe, gallery, probeGraph, galleryGraph, basePairs, probeEdgeCounts,
                            galleryEdgeCounts);
}

}  // extern "C"
