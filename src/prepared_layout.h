// Private layout of the prepared probe and prepared gallery records, and the
// compact topology graph the fast comparison works on. Not installed.
//
// The fast comparison computes the same pair scores as CalcPairScore, but
// for all probe/gallery minutia pairs at once: every gallery edge is tested
// against the probe edges in its angle window, taken from one array of all
// probe edges sorted by angle. The base pair selection then replays
// CompareTopoGraph's sequence (type test, reference pruning, best lists) on
// the table of pair scores, so the chosen base pairs are the same.
#ifndef FPMATCH_PREPARED_LAYOUT_H
#define FPMATCH_PREPARED_LAYOUT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <emmintrin.h>

#include "basepair_rules.h"
#include "internal.h"

namespace fpmatch::detail {

constexpr int kMaxRowEdges = kMaxMinutiae - 1;               // a minutia has at most 49 neighbours
constexpr int kMaxEdges = kMaxMinutiae * kMaxRowEdges;       // 2450
constexpr int kEdgePadding = 64;                             // room for whole-vector loads past the end
constexpr int kAngleSlots = FPMATCH_SEARCH_TAB_LENGTH + 1;   // 373: starts of angles 0..372

constexpr int kTypeSlots = 4;  // minutia types 0, 1, 2 and any other (ISO gives 255)
inline int32_t TypeSlot(uint8_t type) { return type < 3 ? type : 3; }

constexpr uint32_t kProbeMagic = 0x50504650u;    // "PFPP" read little-endian
constexpr uint32_t kGalleryMagic = 0x47504650u;  // "PFPG"
constexpr uint32_t kLayoutVersion = 2;

// One directed topology edge in 8 bytes.
struct CompactEdge {
    int16_t angle;     // edgeAngle, 0..359
    int16_t relative;  // relativeDirection, 0..360
    uint8_t distance;  // 1..110
    uint8_t type;      // neighbourType
    uint8_t neighbour; // neighbourIndex
    uint8_t reserved;
};
static_assert(sizeof(CompactEdge) == 8);

// A link: angle in bits 0..8, relative direction in 9..17, distance in
// 18..24, bit 31 set.
inline uint32_t PackLink(int32_t angle, int32_t relative, int32_t distance) {
    return 0x80000000u | static_cast<uint32_t>(angle) | static_cast<uint32_t>(relative) << 9 |
           static_cast<uint32_t>(distance) << 18;
}
inline uint32_t PackLink(const CompactEdge& e) { return PackLink(e.angle, e.relative, e.distance); }
inline int32_t LinkAngle(uint32_t l) { return static_cast<int32_t>(l & 0x1FFu); }
inline int32_t LinkRelative(uint32_t l) { return static_cast<int32_t>(l >> 9 & 0x1FFu); }
inline int32_t LinkDistance(uint32_t l) { return static_cast<int32_t>(l >> 18 & 0x7Fu); }

// The fields every record starts with.
struct RecordHeader {
    uint32_t magic;
    uint32_t layout;
    int32_t status;  // decoder code; 0 = usable
    int32_t width;
    int32_t height;
    int8_t minutiaCount;
    uint8_t format;
    uint8_t quality;
    uint8_t reserved;
};

struct ProbeRecord {
    RecordHeader header;
    FeatureStorage storage;  // minutiae already reordered (central ones first)
    // link[r][i]: the edge from minutia r to minutia i, for the reference
    // test, packed by PackLink; 0 when there is none.
    uint32_t link[kMaxMinutiae][kMaxMinutiae];
    // Every edge of the sorted graph, grouped by the owner's type (only rows
    // of equal type are ever paired), then ordered by angle, owner row and
    // position in the row: within one row this is the row's sorted order.
    int32_t edgeTotal;
    uint16_t angleStart[kTypeSlots][kAngleSlots];  // first position of the group with angle >= v
    int16_t edgeAngle[kMaxEdges + kEdgePadding];
    int16_t edgeDistance[kMaxEdges + kEdgePadding];
    int16_t edgeRelative[kMaxEdges + kEdgePadding];
    uint8_t edgeRow[kMaxEdges + kEdgePadding];
    uint8_t edgeType[kMaxEdges + kEdgePadding];
};

// One pair of neighbours i < j in 32 bits: i in bits 0..5, j in 6..11, their
// distance (1..110) in 12..18 and the direction theta (0..359) of the line
// from i to j in 19..27; bits 28..31 zero. Bits 12..27 are the 16-bit edge
// of a compact gallery record (compact_gallery.cpp). The graph's rows follow
// from its pairs in increasing (i, j) (AddEdgePair).
using PackedPair = uint32_t;
constexpr PackedPair PackPair(int32_t i, int32_t j, int32_t distance, int32_t theta) {
    return static_cast<uint32_t>(i) | static_cast<uint32_t>(j) << 6 | static_cast<uint32_t>(distance) << 12 |
           static_cast<uint32_t>(theta) << 19;
}
constexpr int32_t PairI(PackedPair p) { return static_cast<int32_t>(p & 63u); }
constexpr int32_t PairJ(PackedPair p) { return static_cast<int32_t>(p >> 6 & 63u); }
constexpr int32_t PairDistance(PackedPair p) { return static_cast<int32_t>(p >> 12 & 127u); }
constexpr int32_t PairTheta(PackedPair p) { return static_cast<int32_t>(p >> 19 & 511u); }
constexpr int kMaxPairs = kMaxMinutiae * kMaxRowEdges / 2;  // 1225

struct GalleryRecord {
    RecordHeader header;
    FeatureStorage storage;
    uint8_t rowCount[kMaxMinutiae];
    // Row j's edges in increasing neighbour index, as BuildTopoGraph leaves them.
    CompactEdge rows[kMaxMinutiae][kMaxRowEdges];
};

static_assert(sizeof(ProbeRecord) <= FPMATCH_PREPARED_PROBE_SIZE);
static_assert(sizeof(GalleryRecord) <= FPMATCH_PREPARED_GALLERY_SIZE);
static_assert(alignof(ProbeRecord) <= alignof(PreparedProbe));
static_assert(alignof(GalleryRecord) <= alignof(PreparedGallery));

// The pairs of neighbours among m[0 .. n - 1] (n <= 50): After(i) writes
// those of minutia i with the later ones, (i, j) by increasing j, and
// returns how many.
class NeighbourFinder {
public:
    NeighbourFinder(const Minutia* m, int32_t n);
    int32_t After(int32_t i, PackedPair* pairs) const;

private:
    alignas(16) int16_t xy_[2 * (kMaxMinutiae + 4)];
    const Minutia* m_;
    int32_t n_;
};

// The rows of the topology graph from its neighbour pairs, added in
// increasing (i, j), one minutia i per call of Add: each pair gives row i its
// edge to j and row j its edge to i, with BuildTopoGraph's fields. Row j
// thus receives the edges of smaller owners first, then its own forward
// edges: neighbour order. counts[0 .. n - 1] hold the row lengths.
class RowBuilder {
public:
    RowBuilder(const Minutia* m, int32_t n, CompactEdge (*rows)[kMaxRowEdges], uint8_t* counts);
    void Add(const PackedPair* pairs, int32_t count);

private:
    int32_t fold_[kMaxMinutiae];
    uint64_t neighbourBits_[kMaxMinutiae];
    CompactEdge (*rows_)[kMaxRowEdges];
    uint8_t* counts_;
};

// Which pairs lie within 110 pixels is found four at a time: coordinate
// differences fit 16 bits (decoded coordinates lie in -256..16383), and one
// multiply-add gives dx * dx + dy * dy exactly in 32 bits (SSE2, baseline
// x86-64).
inline NeighbourFinder::NeighbourFinder(const Minutia* m, int32_t n) : m_(m), n_(n) {
    std::memset(xy_, 0, sizeof xy_);
    for (int32_t i = 0; i < n; ++i) {
        xy_[2 * i] = static_cast<int16_t>(m[i].x);
        xy_[2 * i + 1] = static_cast<int16_t>(m[i].y);
    }
}

inline int32_t NeighbourFinder::After(int32_t i, PackedPair* pairs) const {
    const __m128i limit = _mm_set1_epi32(kNeighbourRadiusSquared + 1), zero = _mm_setzero_si128();
    const __m128i own = _mm_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(xy_[2 * i]) |
                                                            static_cast<uint32_t>(static_cast<uint16_t>(xy_[2 * i + 1])) << 16));
    int32_t found = 0;
    // Candidates j > i, four per step from the first multiple of four.
    for (int32_t base = (i + 1) & ~3; base < n_; base += 4) {
        const __m128i d = _mm_sub_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(xy_ + 2 * base)), own);
        const __m128i s = _mm_madd_epi16(d, d);
        // AreNeighbours: 0 < s <= 12100; coincident minutiae are not neighbours.
        const __m128i within = _mm_and_si128(_mm_cmplt_epi32(s, limit), _mm_cmpgt_epi32(s, zero));
        uint32_t mask = static_cast<uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(within)));
        for (; mask != 0; mask &= mask - 1) {
            const int32_t j = base + __builtin_ctz(mask);
            if (j <= i || j >= n_) continue;
            const int32_t dx = m_[j].x - m_[i].x, dy = m_[j].y - m_[i].y;
            pairs[found++] = PackPair(i, j, TableSqrt(dy, dx), TableAtan(dy, dx));
        }
    }
    return found;
}

inline RowBuilder::RowBuilder(const Minutia* m, int32_t n, CompactEdge (*rows)[kMaxRowEdges], uint8_t* counts)
    : rows_(rows), counts_(counts) {
    // An edge is one 64-bit word (CompactEdge's layout): angle, relative
    // direction, distance, then the neighbour's type and index, which depend
    // on the neighbour alone.
    static_assert(sizeof(CompactEdge) == 8 && offsetof(CompactEdge, distance) == 4 && offsetof(CompactEdge, type) == 5 &&
                  offsetof(CompactEdge, neighbour) == 6);
    for (int32_t k = 0; k < n; ++k) {
        fold_[k] = FoldDirection(m[k].angle);
        neighbourBits_[k] = uint64_t{m[k].type} << 40 | static_cast<uint64_t>(k) << 48;
    }
    std::memset(counts, 0, kMaxMinutiae);
}

__attribute__((always_inline)) inline void RowBuilder::Add(const PackedPair* pairs, int32_t count) {
    if (count <= 0) return;
    // Row i's own fields and its forward edges' place are read once: the
    // edge stores may alias anything, so they would be read again per pair.
    const int32_t i = PairI(pairs[0]);
    const int32_t foldI = fold_[i];
    const uint64_t bitsI = neighbourBits_[i];
    CompactEdge* forwardTo = rows_[i] + counts_[i];
    for (int32_t k = 0; k < count; ++k) {
        const PackedPair p = pairs[k];
        const int32_t j = PairJ(p);
        const EdgeDirections e = DirectionsOf(foldI, fold_[j], PairTheta(p));
        const uint64_t distance = static_cast<uint64_t>(PairDistance(p)) << 32;
        const uint64_t forward = static_cast<uint64_t>(e.angle) | static_cast<uint64_t>(e.relative) << 16 | distance |
                                 neighbourBits_[j];
        const uint64_t backward = static_cast<uint64_t>(e.reverseAngle) |
                                  static_cast<uint64_t>(e.reverseRelative) << 16 | distance | bitsI;
        std::memcpy(forwardTo + k, &forward, sizeof forward);
        std::memcpy(&rows_[j][counts_[j]++], &backward, sizeof backward);
    }
    counts_[i] = static_cast<uint8_t>(counts_[i] + count);
}

// Prepare a record from a template (prepared_build.cpp). Only the fields the
// comparison reads are written; the public entry points clear the whole
// record first. Return the decoder's code, also kept in header.status.
int32_t FillProbe(const uint8_t* tmpl, ProbeRecord* r);
int32_t FillGallery(const uint8_t* tmpl, GalleryRecord* r);

// A record read back (prepared_check.cpp): the record when every field the
// comparison reads holds what preparing can write, else null.
const ProbeRecord* UsableProbe(const PreparedProbe* p);
const GalleryRecord* UsableGallery(const PreparedGallery* g);

// The comparison of two usable records (prepared.cpp): the score, or -1 when
// no base pair is found.
int32_t ScorePreparedPair(const ProbeRecord& probe, const GalleryRecord& gallery, int32_t path);

// Pair scores of probe minutia i with gallery minutia j: what CalcPairScore
// gives for the two graph rows. Only the positive ones are written: bit j of
// positive[i] tells that score[i][j] holds one; every other pair scores 0.
struct PairScoreTable {
    uint64_t positive[kMaxMinutiae];
    int16_t score[kMaxMinutiae][kMaxMinutiae];
};

// The probe edges a pair score walk reads (pair_scores_walk.inc): one
// probe's, or a group's (probe_group.cpp). row[] holds the owner's row, plus
// 64 times the probe's place in a group.
constexpr int kGroupProbes = 4;
struct WalkEdges {
    const uint16_t (*angleStart)[kAngleSlots];
    const int16_t* angle;
    const int16_t* distance;
    const int16_t* relative;
    const uint8_t* row;
    const uint8_t* type;
    int32_t total;
    int32_t probes;                   // 1..kGroupProbes
    int32_t minutiae[kGroupProbes];   // each probe's minutia count
};

inline WalkEdges EdgesOf(const ProbeRecord& probe) {
    return WalkEdges{probe.angleStart, probe.edgeAngle, probe.edgeDistance, probe.edgeRelative, probe.edgeRow,
                     probe.edgeType, probe.edgeTotal, 1, {probe.header.minutiaCount, 0, 0, 0}};
}

// Fills tables[p] for each probe p of `edges`, for i < its minutia count and
// j < gallery count, on the given code path. Every path gives the same
// tables, and a group's tables are its probes' own.
void ComputePairScores(const WalkEdges& edges, const GalleryRecord& gallery, PairScoreTable* tables, int32_t path);

// The kernels of the SIMD paths (one per instruction set), same contract.
void ComputePairScoresPortable(const WalkEdges& edges, const GalleryRecord& gallery, PairScoreTable* tables);
void ComputePairScoresAvx2(const WalkEdges& edges, const GalleryRecord& gallery, PairScoreTable* tables);
void ComputePairScoresAvx3(const WalkEdges& edges, const GalleryRecord& gallery, PairScoreTable* tables);

// The comparison from the pair scores on: the score, or -1 when no base pair
// is found (prepared.cpp).
int32_t ScoreFromTable(const ProbeRecord& probe, const GalleryRecord& gallery, const PairScoreTable& table);

// Probes compared with the same gallery records walk each record's graph
// once for up to kGroupProbes of them: their edges merged into one array,
// every angle's edges probe by probe (probe_group.cpp). Groups live on the
// stack of a batch comparison, so a group holds at most kGroupEdges edges.
constexpr int kGroupEdges = 3072;
struct ProbeGroup {
    uint16_t angleStart[kTypeSlots][kAngleSlots];
    int16_t edgeAngle[kGroupEdges + kEdgePadding];
    int16_t edgeDistance[kGroupEdges + kEdgePadding];
    int16_t edgeRelative[kGroupEdges + kEdgePadding];
    uint8_t edgeRow[kGroupEdges + kEdgePadding];
    uint8_t edgeType[kGroupEdges + kEdgePadding];
    WalkEdges edges;
};

// Groups probes[0 ..]: takes the longest prefix (at most kGroupProbes) whose
// edges fit, each with edges laid out as its angle starts say (as
// PrepareProbe writes them), and returns how many it took; 0 when probes[0]
// cannot be grouped (it is then compared on its own).
int32_t GroupProbes(const ProbeRecord* const* probes, int32_t count, ProbeGroup* group);

}  // namespace fpmatch::detail

#endif
