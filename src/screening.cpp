// Candidate screening over 512-byte short templates: the short template
// reader, the probe's distance-sorted char graph, the candidates' limit
// graphs and the driver that keeps the 32 best candidates.
//
// Every index below is bounded by the fixed capacities (50 minutiae, 50 edge
// slots per char node, 53 candidate entries), whatever the template bytes
// hold: count bytes above 50 are treated as "no minutiae", char graph rows
// only hold edges below 400 pixels and are padded with terminators, and the
// row lookup never walks past the row's terminator slot.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "internal.h"

namespace {

using fpmatch::detail::kMaxMinutiae;

constexpr int kRecordBytes = FPMATCH_SHORT_TEMPLATE_SIZE;
constexpr int kWords = kRecordBytes / 2;
constexpr int kMinutiaWord = 28;        // minutia i: words 28 + 2i, 29 + 2i
constexpr int32_t kMarker = 0x0301;     // version 3, format 1
constexpr int kBest = FPMATCH_SCREEN_BEST;
constexpr int kLimitEdges = FPMATCH_LIMIT_EDGES;
constexpr int kCharEdges = FPMATCH_CHAR_EDGES;
constexpr int32_t kListThreshold = FPMATCH_SCREEN_LIST_THRESHOLD;  // listed only above this count
constexpr int32_t kSortCeiling = 400;   // running-minimum start and consumed mark
constexpr int32_t kTerminator = 500;    // distance of the row terminator
constexpr int32_t kWindowBelow = 8;
constexpr int32_t kWindowWidth = 16;
constexpr int32_t kForwardStep = 20;
constexpr int32_t kHalvingSteps = 3;
constexpr int32_t kDirectionTolerance = 8;

// Usable minutia count of a record: its count byte, or 0 when the byte claims
// more minutiae than the minutia area holds (such a record is corrupt, as the
// template decoders also refuse counts above 50).
inline int32_t UsableCount(int16_t count) { return count <= kMaxMinutiae ? count : 0; }

// One edge from minutia `from` to minutia `to`.
inline NeighbourEdge MakeEdge(const ShortMinutia& from, const ShortMinutia& to, int32_t dx, int32_t dy,
                              int32_t squared) {
    NeighbourEdge e{};
    int32_t edgeAngle = math_Atang(dy, dx) - from.angle;
    if (edgeAngle < 0) edgeAngle += 360;
    int32_t relative = to.angle - from.angle;
    if (relative < 0) relative += 360;
    // Single precision in and out, double precision root: the rounding the
    // screening has always used.
    const float rooted = static_cast<float>(std::sqrt(static_cast<double>(static_cast<float>(squared))) + 0.5);
    e.distance = static_cast<int32_t>(rooted);
    e.edgeAngle = static_cast<int16_t>(edgeAngle);
    e.relativeDirection = static_cast<int16_t>(relative);
    e.neighbourType = to.type;
    return e;
}

template <typename Node>
inline void FillHeader(Node& node, int32_t i, const ShortMinutia& m, int16_t neighbourCount) {
    node.index = static_cast<uint8_t>(i);
    node.x = m.x;
    node.y = m.y;
    node.angle = m.angle;
    node.type = m.type;
    node.neighbourCount = neighbourCount;
}

// Folded difference of two angles: 0 and 360 count as equal.
inline int32_t FoldedDifference(int32_t u, int32_t v) {
    int32_t t = u > v ? u - v : v - u;
    if (t > 180) t -= 360;
    return t < 0 ? -t : t;
}

// Looks limit edge `limit` up in a char node row. The row holds real edges
// sorted by distance, then terminators (distance 500) up to and including
// slot neighbourCount; the lookup never leaves slots 0..neighbourCount.
bool LookUpEdge(const NeighbourEdge& limit, const CharNode& node) {
    const NeighbourEdge* row = node.edges;
    const int32_t m = node.neighbourCount;  // 0..49: terminator slot
    const int32_t d = limit.distance;
    const int32_t low = d - kWindowBelow;
    const int32_t high = low + kWindowWidth;

    int32_t lo = 0, hi = m - 1;
    for (int32_t step = 0; step < kHalvingSteps; ++step) {
        const int32_t mid = (lo + hi) / 2;  // m = 0: (0 + -1) / 2 = 0, the terminator
        if (row[mid].distance < low) {
            lo = mid;
        } else {
            hi = mid;
        }
    }

    int32_t j = lo;
    while (j < lo + kForwardStep && j < m && row[j].distance < low) ++j;

    for (; j <= m; ++j) {
        const NeighbourEdge& e = row[j];
        // The terminator (and the padding before it) ends the scan even when
        // a far-out limit edge puts the window above 500.
        if (e.distance > high || e.distance >= kTerminator) return false;
        const int32_t s = d + e.distance;
        const int32_t deltaD = d - e.distance;
        int32_t toleranceA = 10 - s / 32;
        if (toleranceA < 3) toleranceA = 3;
        if (FoldedDifference(limit.edgeAngle, e.edgeAngle) > toleranceA) continue;
        int32_t toleranceD = 6 + s / 64;
        if (toleranceD > 9) toleranceD = 9;
        if ((deltaD < 0 ? -deltaD : deltaD) > toleranceD) continue;
        if (FoldedDifference(limit.relativeDirection, e.relativeDirection) > kDirectionTolerance) continue;
        return true;
    }
    return false;
}

void UnpackWords(const uint8_t* record, int32_t* words) {
    for (int k = 0; k < kWords; ++k) words[k] = record[2 * k] << 8 | record[2 * k + 1];
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

// The probe's share of screening: its char graph.
struct ScreenProbe {
    CharNode charGraph[kMaxMinutiae];
    int32_t np = 0;
};

// Working storage of one candidate, reused for each.
struct CandidateScratch {
    int32_t words[kWords];
    ShortMinutia minutiae[kMaxMinutiae + kLimitEdges] = {};
    LimitNode limitGraph[kMaxMinutiae];
};

// Unpacks the probe and builds its char graph; false when it holds no usable
// minutia (nothing can be screened with it).
bool PrepareScreenProbe(const uint8_t* probe, ScreenProbe* out);

// The number of the candidate's limit graph edges that reappear in the
// probe's char graph: the score QuickSort ranks by (0 without the marker or
// without usable minutiae).
int32_t CandidateScore(const ScreenProbe& probe, const uint8_t* record, CandidateScratch* w);

}  // namespace

extern "C" {

void XpdShortChar(const int32_t* words, ShortMinutia* minutiae, int16_t* minutiaCount, int16_t* format,
                  int16_t* quality, void* /*reserved*/) {
    const int16_t count = static_cast<int16_t>(words[1] & 0xFF);
    *minutiaCount = count;
    *format = static_cast<int16_t>(words[0] & 0xFF);
    *quality = static_cast<int16_t>((words[1] >> 8) & 0xFF);
    // The minutia area holds 50 minutiae; a larger count byte is reported as
    // read but never unpacked beyond them.
    const int32_t unpacked = count < kMaxMinutiae ? count : kMaxMinutiae;
    for (int32_t i = 0; i < unpacked; ++i) {
        const uint32_t c = static_cast<uint32_t>(words[kMinutiaWord + 2 * i] & 0xFFFF) << 16 |
                           static_cast<uint32_t>(words[kMinutiaWord + 2 * i + 1] & 0xFFFF);
        ShortMinutia& m = minutiae[i];
        m.x = static_cast<int16_t>(c >> 23);
        m.y = static_cast<int16_t>((c >> 14) & 0x1FFu);
        m.angle = static_cast<int16_t>((c >> 5) & 0x1FFu);
        m.quality = static_cast<int16_t>((c >> 1) & 0xFu);
        m.type = static_cast<uint8_t>(c & 1u);
    }
}

void BuildCharGraph(int32_t count, const ShortMinutia* minutiae, CharNode* graph) {
    std::memset(graph, 0, sizeof(CharNode) * kMaxMinutiae);
    const int32_t n = count < kMaxMinutiae ? count : kMaxMinutiae;
    NeighbourEdge scratch[kCharEdges];
    for (int32_t i = 0; i < n; ++i) {
        const ShortMinutia& mi = minutiae[i];
        // Neighbours at the same position as minutia i (i itself included)
        // are left out, so the list may hold fewer than n - 1 edges.
        int32_t gathered = 0;
        for (int32_t p = 0; p < n; ++p) {
            const int32_t dx = minutiae[p].x - mi.x;
            const int32_t dy = minutiae[p].y - mi.y;
            const int32_t s = dx * dx + dy * dy;
            if (s == 0) continue;
            scratch[gathered++] = MakeEdge(mi, minutiae[p], dx, dy, s);
        }
        CharNode& node = graph[i];
        FillHeader(node, i, mi, static_cast<int16_t>(n - 1));
        // Selection by repeated minimum: equal distances keep index order.
        // Edges of 400 pixels or more (possible only outside the image) are
        // never taken; every slot that receives no edge becomes a
        // terminator, so the row stays sorted and ends in slot n - 1.
        for (int32_t k = 0; k < n - 1; ++k) {
            int32_t best = -1;
            int32_t minimum = kSortCeiling;
            for (int32_t e = 0; e < gathered; ++e) {
                if (scratch[e].distance < minimum) {
                    minimum = scratch[e].distance;
                    best = e;
                }
            }
            if (best < 0) {
                node.edges[k].distance = kTerminator;
                continue;
            }
            node.edges[k] = scratch[best];
            scratch[best].distance = kSortCeiling;
        }
        node.edges[n - 1].distance = kTerminator;
    }
}

void BuildLimitGraph(int32_t count, const ShortMinutia* minutiae, LimitNode* graph) {
    const int32_t n = count < kMaxMinutiae ? count : kMaxMinutiae;
    for (int32_t i = 0; i < n; ++i) {
        const ShortMinutia& mi = minutiae[i];
        LimitNode& node = graph[i];
        FillHeader(node, i, mi, static_cast<int16_t>(kLimitEdges));
        for (int32_t e = 0; e < kLimitEdges; ++e) {
            const ShortMinutia& mj = minutiae[i + 1 + e];
            const int32_t dx = mj.x - mi.x;
            const int32_t dy = mj.y - mi.y;
            node.edges[e] = MakeEdge(mi, mj, dx, dy, dx * dx + dy * dy);
        }
    }
}

int32_t QuickSort(const uint8_t* probe, const uint8_t* candidates, int32_t candidateCount, int32_t* bestIndices) {
    if (candidateCount < 0 || bestIndices == nullptr) return 0;
    int32_t bestScores[kBest];
    for (int k = 0; k < kBest; ++k) {
        bestIndices[k] = -1;
        bestScores[k] = 0;
    }
    if (probe == nullptr) return 1;  // nothing to screen with
    ScreenProbe screenProbe;
    if (!PrepareScreenProbe(probe, &screenProbe) || candidates == nullptr) return 1;
    CandidateScratch scratch;
    for (int32_t r = 0; r < candidateCount; ++r)
        Offer(CandidateScore(screenProbe, candidates + static_cast<size_t>(r) * kRecordBytes, &scratch), r,
              bestScores, bestIndices);
    return 1;
}

int32_t ScreenScores(const uint8_t* probe, const uint8_t* candidates, int32_t candidateCount, int32_t* scores) {
    if (candidateCount < 0 || scores == nullptr) return -1;
    ScreenProbe screenProbe;
    const bool usable = probe != nullptr && PrepareScreenProbe(probe, &screenProbe) && candidates != nullptr;
    CandidateScratch scratch;
    for (int32_t r = 0; r < candidateCount; ++r)
        scores[r] = usable ? CandidateScore(screenProbe, candidates + static_cast<size_t>(r) * kRecordBytes, &scratch)
                           : 0;
    return candidateCount;
}

}  // extern "C"

namespace {

bool PrepareScreenProbe(const uint8_t* probe, ScreenProbe* out) {
    int32_t words[kWords];
    UnpackWords(probe, words);
    ShortMinutia probeMinutiae[kMaxMinutiae] = {};
    int16_t probeCount = 0, format = 0, quality = 0;
    int32_t reserved = 0;
    XpdShortChar(words, probeMinutiae, &probeCount, &format, &quality, &reserved);
    out->np = UsableCount(probeCount);
    if (out->np == 0) return false;
    BuildCharGraph(out->np, probeMinutiae, out->charGraph);
    return true;
}

int32_t CandidateScore(const ScreenProbe& probe, const uint8_t* record, CandidateScratch* w) {
    UnpackWords(record, w->words);
    if (w->words[0] != kMarker) return 0;
    int16_t count16 = 0, format = 0, quality = 0;
    int32_t reserved = 0;
    XpdShortChar(w->words, w->minutiae, &count16, &format, &quality, &reserved);
    const int32_t nc = UsableCount(count16);
    if (nc <= 0) return 0;
    // Wrap-around entries, copied in order so that short lists repeat
    // cyclically.
    for (int32_t k = 0; k < kLimitEdges; ++k) {
        ShortMinutia& wrap = w->minutiae[nc + k];
        const ShortMinutia& from = w->minutiae[k];
        wrap.x = from.x;
        wrap.y = from.y;
        wrap.angle = from.angle;
        wrap.type = from.type;
    }
    BuildLimitGraph(nc, w->minutiae, w->limitGraph);
    int32_t matches = 0;
    for (int32_t q = 0; q < nc; ++q) {
        const LimitNode& limitNode = w->limitGraph[q];
        for (int32_t p = 0; p < probe.np; ++p) {
            if (limitNode.type != probe.charGraph[p].type) continue;
            for (int32_t e = 0; e < kLimitEdges; ++e) {
                if (LookUpEdge(limitNode.edges[e], probe.charGraph[p])) ++matches;
            }
        }
    }
    return matches;
}

}  // namespace
