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

#include <cstdint>

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
inline uint32_t PackLink(const CompactEdge& e) {
    return 0x80000000u | static_cast<uint32_t>(e.angle) | static_cast<uint32_t>(e.relative) << 9 |
           static_cast<uint32_t>(e.distance) << 18;
}
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

// Prepare a record from a template (prepared_build.cpp). Only the fields the
// comparison reads are written; the public entry points clear the whole
// record first. Return the decoder's code, also kept in header.status.
int32_t FillProbe(const uint8_t* tmpl, ProbeRecord* r);
int32_t FillGallery(const uint8_t* tmpl, GalleryRecord* r);

// A record read back (prepared_check.cpp): the record when every field the
// comparison reads holds what preparing can write, else null.
const ProbeRecord* UsableProbe(const PreparedProbe* p);
const GalleryRecord* UsableGallery(const PreparedGallery* g);

// Pair scores of probe minutia i with gallery minutia j: what CalcPairScore
// gives for the two graph rows. Only the positive ones are written: bit j of
// positive[i] tells that score[i][j] holds one; every other pair scores 0.
struct PairScoreTable {
    uint64_t positive[kMaxMinutiae];
    int16_t score[kMaxMinutiae][kMaxMinutiae];
};

// Fills the table for i < probe count, j < gallery count, on the given code
// path. Every path gives the same table.
void ComputePairScores(const ProbeRecord& probe, const GalleryRecord& gallery, PairScoreTable* table,
                       int32_t path);

// The kernels of the SIMD paths (one per instruction set), same contract.
void ComputePairScoresPortable(const ProbeRecord& probe, const GalleryRecord& gallery, PairScoreTable* table);
void ComputePairScoresAvx2(const ProbeRecord& probe, const GalleryRecord& gallery, PairScoreTable* table);
void ComputePairScoresAvx3(const ProbeRecord& probe, const GalleryRecord& gallery, PairScoreTable* table);

}  // namespace fpmatch::detail

#endif
