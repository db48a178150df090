// Compact gallery records: a gallery template prepared once, at enrolment,
// into what its comparisons need, in a few hundred bytes to about 3 KB.
//
// Layout 1 (integers little-endian):
//    0  3  magic "FPC"
//    3  1  layout (1)
//    4  2  record length in bytes
//    6  1  minutia count n, 1..50
//    7  1  flags: bit 0 = the native foreground mask follows (n <= 25);
//          other bits 0
//    8  2  neighbour pair count E, 0..n(n-1)/2
//   10  4  singular points 0 and 1 as the native template stores them
//          (x / 2, y / 2, one byte each); zeros for ISO records
//   14  2  reserved, 0
//   16 6n  minutiae in decoded order, 48 bits each: x + 256 (15 bits), y
//          (14), direction (9), quality 0..40 (6), type code (2: 0 for 255,
//          else type + 1), 2 bits 0
//      34  the native mask words (bytes 6..39 of the template), when flagged
//     288  the block quality map
//       A  neighbour bits: bit k of the stream (least significant first)
//          tells whether the k-th pair (i, j), i < j, in increasing (i, j)
//          order, are neighbours; A = ceil(n(n-1)/2 / 8), padding bits 0
//      2E  one 16-bit edge per neighbour pair in the same order: distance
//          1..110 (bits 0..6) and the direction 0..359 of the line from i to
//          j (bits 7..15)
// The bytes depend on the template alone. Reading validates every field
// first (CheckRecord); what follows from a valid record is exactly what
// preparing the template gives: its decoded minutiae, singular points, mask,
// block qualities and the rows of its topology graph (RowBuilder), so the
// comparison equals Match2Score without decoding or building a graph.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <emmintrin.h>

#include "internal.h"
#include "internal_paths.h"
#include "prepared_layout.h"

namespace fpmatch::detail {

namespace {

constexpr auto kBitsSet = [] {
    std::array<uint8_t, 256> t{};
    for (int v = 1; v < 256; ++v) t[static_cast<size_t>(v)] = static_cast<uint8_t>(t[static_cast<size_t>(v >> 1)] + (v & 1));
    return t;
}();

constexpr uint8_t kCompactLayout = 1;
constexpr size_t kHeaderBytes = 16;
constexpr size_t kMinutiaBytes = 6;
constexpr size_t kMaskBytes = 34;
constexpr size_t kMaskOffsetInTemplate = 6;  // native mask words
constexpr size_t kSingularOffsetInTemplate = 40;
constexpr uint8_t kMaskFlag = 1;
constexpr int32_t kLowestX = -256;
constexpr int32_t kHighestX = 16383;
constexpr uint32_t kHighestQuality = 40;
constexpr uint8_t kHighestBlock = 41;  // or 255 (prepared_check.cpp)

constexpr int32_t PairsOf(int32_t n) { return n * (n - 1) / 2; }

// Where the parts of a record of n minutiae and E pairs lie.
struct Layout {
    size_t minutiae, mask, blocks, neighbours, edges, end;
};

constexpr Layout LayoutOf(int32_t n, bool mask, int32_t pairs) {
    Layout l{};
    l.minutiae = kHeaderBytes;
    l.mask = l.minutiae + kMinutiaBytes * static_cast<size_t>(n);
    l.blocks = l.mask + (mask ? kMaskBytes : 0);
    l.neighbours = l.blocks + FPMATCH_BLOCKS;
    l.edges = l.neighbours + (static_cast<size_t>(PairsOf(n)) + 7) / 8;
    l.end = l.edges + 2 * static_cast<size_t>(pairs);
    return l;
}
// The largest records: ISO with 50 minutiae all neighbours; native ones (a
// mask, at most 25 minutiae) stay far below.
static_assert(LayoutOf(kMaxMinutiae, false, PairsOf(kMaxMinutiae)).end == FPMATCH_COMPACT_GALLERY_MAX_SIZE);
static_assert(LayoutOf(FPMATCH_MAX_NATIVE_MINUTIAE, true, PairsOf(FPMATCH_MAX_NATIVE_MINUTIAE)).end <
              FPMATCH_COMPACT_GALLERY_MAX_SIZE);

uint32_t Read16Le(const uint8_t* p) { return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8; }
void Write16Le(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
// A minutia's 48 bits. The block map follows the minutiae, so 8 bytes can
// always be read.
uint64_t Read48(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v & 0xFFFFFFFFFFFFull;
}

// Up to 57 bits of a bit stream of `size` bytes from bit `at`, the bytes
// past the stream read as 0.
uint64_t StreamBits(const uint8_t* stream, size_t size, size_t at) {
    uint8_t window[8] = {};
    const size_t first = at >> 3;
    if (first < size) std::memcpy(window, stream + first, size - first < 8 ? size - first : 8);
    uint64_t v;
    std::memcpy(&v, window, sizeof v);
    return v >> (at & 7);
}

struct Parsed {
    int32_t count, pairs;
    bool mask;
    Layout layout;
};

// Every field of the record is within what CompactGalleryTemplate writes;
// the record's length is at most `length`.
bool CheckRecord(const uint8_t* r, size_t length, Parsed* out) {
    if (r == nullptr || length < kHeaderBytes) return false;
    if (r[0] != 'F' || r[1] != 'P' || r[2] != 'C' || r[3] != kCompactLayout) return false;
    const int32_t n = r[6];
    const uint8_t flags = r[7];
    const int32_t pairs = static_cast<int32_t>(Read16Le(r + 8));
    if (n < 1 || n > kMaxMinutiae || flags > kMaskFlag || pairs > PairsOf(n) || r[14] != 0 || r[15] != 0) return false;
    if (flags == kMaskFlag && n > FPMATCH_MAX_NATIVE_MINUTIAE) return false;  // a native template's mask
    const Layout l = LayoutOf(n, flags == kMaskFlag, pairs);
    if (Read16Le(r + 4) != l.end || l.end > length) return false;
    bool bad = false;
    for (int32_t k = 0; k < n; ++k) {
        const uint64_t m = Read48(r + l.minutiae + kMinutiaBytes * static_cast<size_t>(k));
        bad |= ((m & 0x7FFFu) > static_cast<uint64_t>(kHighestX - kLowestX)) | ((m >> 38 & 63u) > kHighestQuality) |
               ((m >> 46) != 0);
    }
    // Block qualities plus one (255 wraps to 0) at most kHighestBlock + 1.
    __m128i blocks = _mm_setzero_si128();
    for (size_t b = 0; b < FPMATCH_BLOCKS; b += 16)
        blocks = _mm_max_epu8(blocks, _mm_add_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r + l.blocks + b)),
                                                   _mm_set1_epi8(1)));
    bad |= _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_subs_epu8(blocks, _mm_set1_epi8(kHighestBlock + 1)),
                                            _mm_setzero_si128())) != 0xFFFF;
    // As many neighbour bits as pairs, none in the padding.
    const size_t bits = static_cast<size_t>(PairsOf(n)), bytes = l.edges - l.neighbours;
    int32_t set = 0;
    // Counted by table: the baseline instruction set has no popcount, and
    // the builtin would call into libgcc_s.
    for (size_t b = 0; b < bytes; ++b) set += kBitsSet[r[l.neighbours + b]];
    if (bits % 8 != 0) bad |= (r[l.edges - 1] >> (bits % 8)) != 0;
    bad |= set != pairs;
    // Edges: distance 1..110, direction 0..359, eight at a time (saturating
    // subtraction leaves a non-zero lane only above the bound).
    const __m128i seven = _mm_set1_epi16(127), zero = _mm_setzero_si128();
    __m128i over = zero, none = zero;
    int32_t e = 0;
    for (; e + 8 <= pairs; e += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r + l.edges + 2 * static_cast<size_t>(e)));
        const __m128i distance = _mm_and_si128(v, seven);
        over = _mm_or_si128(over, _mm_subs_epu16(distance, _mm_set1_epi16(kNeighbourRadius)));
        over = _mm_or_si128(over, _mm_subs_epu16(_mm_srli_epi16(v, 7), _mm_set1_epi16(359)));
        none = _mm_or_si128(none, _mm_cmpeq_epi16(distance, zero));
    }
    bad |= _mm_movemask_epi8(_mm_cmpeq_epi16(over, zero)) != 0xFFFF;
    bad |= _mm_movemask_epi8(none) != 0;
    for (; e < pairs; ++e) {
        const uint32_t edge = Read16Le(r + l.edges + 2 * static_cast<size_t>(e));
        const uint32_t distance = edge & 127u, theta = edge >> 7;
        bad |= (distance < 1) | (distance > static_cast<uint32_t>(kNeighbourRadius)) | (theta > 359);
    }
    if (bad) return false;
    *out = Parsed{n, pairs, flags == kMaskFlag, l};
    return true;
}

// The gallery record a valid compact record stands for, as FillGallery
// writes it from the template.
void Expand(const uint8_t* r, const Parsed& p, GalleryRecord* g) {
    const Layout& l = p.layout;
    const int32_t n = p.count;
    std::memset(&g->header, 0, sizeof g->header);
    g->header.width = kImageWidth;
    g->header.height = kImageHeight;
    g->header.minutiaCount = static_cast<int8_t>(n);
    FeatureStorage& s = g->storage;
    for (int32_t k = 0; k < n; ++k) {
        const uint64_t v = Read48(r + l.minutiae + kMinutiaBytes * static_cast<size_t>(k));
        const uint32_t typeCode = static_cast<uint32_t>(v >> 44 & 3u);
        s.minutiae[k] = Minutia{static_cast<int32_t>(v & 0x7FFFu) + kLowestX, static_cast<int32_t>(v >> 15 & 0x3FFFu),
                                static_cast<int32_t>(v >> 29 & 0x1FFu), static_cast<uint8_t>(v >> 38 & 63u),
                                static_cast<uint8_t>(typeCode - 1)};
    }
    s.singularPoints[0] = {r[10] * 2, r[11] * 2};
    s.singularPoints[1] = {r[12] * 2, r[13] * 2};
    s.singularPoints[2] = {0, 0};
    if (p.mask) {
        // The decoder's own expansion, reading the stored mask words where a
        // template keeps them.
        FeatureSet fs;
        BindFeatureSet(&fs, &s);
        ExpandGndTable(r + l.mask - kMaskOffsetInTemplate, &fs);
    } else {
        std::memset(s.gndTable.cells, 0, sizeof s.gndTable.cells);  // ISO: all foreground
    }
    std::memcpy(s.blockQty.blocks, r + l.blocks, FPMATCH_BLOCKS);
    // The neighbour pairs, row by row: row i's neighbours j > i from its
    // stretch of bits, in increasing j.
    RowBuilder rows(s.minutiae, n, g->rows, g->rowCount);
    const size_t bytes = l.edges - l.neighbours;
    size_t at = 0, edge = l.edges;
    for (int32_t i = 0; i + 1 < n; ++i) {
        const int32_t width = n - 1 - i;
        uint64_t bits = StreamBits(r + l.neighbours, bytes, at) & ((uint64_t{1} << width) - 1);
        at += static_cast<size_t>(width);
        PackedPair pairs[kMaxRowEdges];
        int32_t found = 0;
        for (; bits != 0; bits &= bits - 1, edge += 2)
            pairs[found++] = static_cast<uint32_t>(i) | static_cast<uint32_t>(i + 1 + __builtin_ctzll(bits)) << 6 |
                             Read16Le(r + edge) << 12;
        rows.Add(pairs, found);
    }
}

int32_t Build(const uint8_t* tmpl, uint8_t* out) {
    FeatureStorage storage;
    FeatureSet fs;
    BindFeatureSet(&fs, &storage);
    const int32_t code = DecodeFeature(tmpl, &fs);
    if (code == FPMATCH_BAD_VERSION) return FPMATCH_COMPACT_BAD_VERSION;
    if (code != FPMATCH_DECODED) return FPMATCH_COMPACT_BAD_COUNT;
    const int32_t n = fs.minutiaCount;
    const bool native = !(tmpl[0] == 'F' && tmpl[1] == 'M');
    PackedPair pairs[kMaxPairs];
    const NeighbourFinder finder(fs.minutiae, n);
    int32_t count = 0;
    for (int32_t i = 0; i < n; ++i) count += finder.After(i, pairs + count);
    const Layout l = LayoutOf(n, native, count);
    std::memset(out, 0, l.end);
    out[0] = 'F';
    out[1] = 'P';
    out[2] = 'C';
    out[3] = kCompactLayout;
    Write16Le(out + 4, static_cast<uint32_t>(l.end));
    out[6] = static_cast<uint8_t>(n);
    out[7] = native ? kMaskFlag : 0;
    Write16Le(out + 8, static_cast<uint32_t>(count));
    if (native) std::memcpy(out + 10, tmpl + kSingularOffsetInTemplate, 4);
    for (int32_t k = 0; k < n; ++k) {
        const Minutia& m = fs.minutiae[k];
        const uint64_t v = static_cast<uint64_t>(m.x - kLowestX) | static_cast<uint64_t>(m.y) << 15 |
                           static_cast<uint64_t>(m.angle) << 29 | static_cast<uint64_t>(m.quality) << 38 |
                           static_cast<uint64_t>((m.type + 1) & 3) << 44;
        for (size_t b = 0; b < kMinutiaBytes; ++b) out[l.minutiae + kMinutiaBytes * static_cast<size_t>(k) + b] = static_cast<uint8_t>(v >> (8 * b));
    }
    if (native) std::memcpy(out + l.mask, tmpl + kMaskOffsetInTemplate, kMaskBytes);
    std::memcpy(out + l.blocks, fs.blockQty->blocks, FPMATCH_BLOCKS);
    for (int32_t k = 0; k < count; ++k) {
        const int32_t i = PairI(pairs[k]), j = PairJ(pairs[k]);
        // Pair (i, j) is bit PairsOf(n) - PairsOf(n - i) + (j - i - 1).
        const size_t bit = static_cast<size_t>(PairsOf(n) - PairsOf(n - i) + (j - i - 1));
        out[l.neighbours + bit / 8] = static_cast<uint8_t>(out[l.neighbours + bit / 8] | 1u << (bit % 8));
        Write16Le(out + l.edges + 2 * static_cast<size_t>(k), pairs[k] >> 12);
    }
    return static_cast<int32_t>(l.end);
}

int32_t OutcomeOf(int32_t score) { return score < 0 ? FPMATCH_OUTCOME_NO_BASE_PAIR : score; }

// The outcomes of a group's probes: one walk of the record's graph for all.
// Its own frame holds the group's tables, which the single probe paths do
// not need on their stack.
__attribute__((noinline)) void GroupOutcomes(const ProbeRecord* const* probes, int32_t count, const ProbeGroup& group,
                                             const GalleryRecord& gallery, int32_t path, int32_t* outcomes,
                                             size_t step) {
    PairScoreTable tables[kGroupProbes];
    ComputePairScores(group.edges, gallery, tables, path);
    for (int32_t p = 0; p < count; ++p)
        outcomes[static_cast<size_t>(p) * step] = OutcomeOf(ScoreFromTable(*probes[p], gallery, tables[p]));
}

// Outcomes of one record against `count` usable probes, written every
// `step` ints from `outcomes`: the record is checked and expanded once.
// With a group (of exactly these probes), its graph is walked once for all.
void CompactOutcomes(const ProbeRecord* const* probes, int32_t count, const ProbeGroup* group,
                     const uint8_t* record, size_t length, int32_t path, int32_t* outcomes, size_t step) {
    Parsed parsed;
    if (!CheckRecord(record, length, &parsed)) {
        for (int32_t p = 0; p < count; ++p) outcomes[static_cast<size_t>(p) * step] = FPMATCH_OUTCOME_DAMAGED;
        return;
    }
    GalleryRecord gallery;
    Expand(record, parsed, &gallery);
    if (group != nullptr) {
        GroupOutcomes(probes, count, *group, gallery, path, outcomes, step);
        return;
    }
    for (int32_t p = 0; p < count; ++p)
        outcomes[static_cast<size_t>(p) * step] = OutcomeOf(ScorePreparedPair(*probes[p], gallery, path));
}

int32_t CompactOutcome(const ProbeRecord& probe, const uint8_t* record, size_t length, int32_t path) {
    const ProbeRecord* probes[1] = {&probe};
    int32_t outcome;
    CompactOutcomes(probes, 1, nullptr, record, length, path, &outcome, 1);
    return outcome;
}

// One pass over the packed list's entries for `count` usable probes (walked
// together as `group` when one is given): outcomes of entry firstIndex + k
// for probe p at outcomes[p * step + k]. Returns the number of entries.
int32_t PackedPass(const ProbeRecord* const* probes, int32_t count, const ProbeGroup* group, const uint8_t* records,
                   size_t recordsLength, const uint32_t* offsets, int32_t firstIndex, int32_t entryCount,
                   int32_t path, int32_t* outcomes, size_t step) {
    int32_t written = 0;
    for (int64_t i = firstIndex; written < entryCount && i < INT32_MAX; ++i) {
        const uint32_t from = offsets[i], to = offsets[i + 1];
        int32_t* out = outcomes + written++;
        if (from <= to && to <= recordsLength) {
            CompactOutcomes(probes, count, group, records + from, to - from, path, out, step);
        } else {
            for (int32_t p = 0; p < count; ++p) out[static_cast<size_t>(p) * step] = FPMATCH_OUTCOME_DAMAGED;
        }
    }
    return written;
}

// Several probes: a pass for each group (one on the stack at a time), or
// for each probe that no other joins. Its own frame holds the group.
__attribute__((noinline)) int32_t PackedInGroups(const ProbeRecord* const* probes, int32_t count, const uint8_t* records,
                                                 size_t recordsLength, const uint32_t* offsets, int32_t firstIndex,
                                                 int32_t entryCount, int32_t path, int32_t* outcomes, size_t step) {
    ProbeGroup group;
    int32_t written = 0;
    for (int32_t first = 0, taken = 0; first < count; first += taken) {
        taken = count - first > 1 ? GroupProbes(probes + first, count - first, &group) : 0;
        const bool together = taken > 1;
        if (!together) taken = 1;
        written = PackedPass(probes + first, taken, together ? &group : nullptr, records, recordsLength, offsets,
                             firstIndex, entryCount, path, outcomes + static_cast<size_t>(first) * step, step);
    }
    return written;
}

// The packed list's entries for `count` usable probes: outcomes of entry
// firstIndex + k for probe p at outcomes[p * entryCount + k].
int32_t MatchPacked(const ProbeRecord* const* probes, int32_t count, const uint8_t* records, size_t recordsLength,
                    const uint32_t* offsets, int32_t firstIndex, int32_t entryCount, int32_t* outcomes) {
    const int32_t path = BestPath();
    const size_t step = entryCount < 0 ? 0 : static_cast<size_t>(entryCount);
    if (count == 1)
        return PackedPass(probes, 1, nullptr, records, recordsLength, offsets, firstIndex, entryCount, path, outcomes,
                          step);
    return PackedInGroups(probes, count, records, recordsLength, offsets, firstIndex, entryCount, path, outcomes, step);
}

}  // namespace

int32_t MatchPreparedCompactOnPath(const PreparedProbe* probe, const uint8_t* compact, size_t length, int32_t path) {
    const ProbeRecord* p = UsableProbe(probe);
    if (p == nullptr) return 0;
    const int32_t outcome = CompactOutcome(*p, compact, length, UsablePath(path));
    return outcome < 0 ? 0 : outcome;
}

}  // namespace fpmatch::detail

extern "C" {

using namespace fpmatch::detail;

int32_t CompactGalleryTemplate(const uint8_t* galleryTemplate, uint8_t* out, size_t outLength) {
    if (galleryTemplate == nullptr || out == nullptr) return FPMATCH_COMPACT_NULL_INPUT;
    // Built in full on the stack, then copied: `out` is written only when it
    // takes the whole record.
    uint8_t record[FPMATCH_COMPACT_GALLERY_MAX_SIZE];
    const int32_t length = Build(galleryTemplate, record);
    if (length < 0) return length;
    if (outLength < static_cast<size_t>(length)) return FPMATCH_COMPACT_OUT_TOO_SMALL;
    std::memcpy(out, record, static_cast<size_t>(length));
    return length;
}

int32_t CheckCompactGallery(const uint8_t* compact, size_t length) {
    if (compact == nullptr) return FPMATCH_COMPACT_NULL_INPUT;
    Parsed parsed;
    return CheckRecord(compact, length, &parsed) ? static_cast<int32_t>(parsed.layout.end) : FPMATCH_COMPACT_DAMAGED;
}

int32_t MatchPreparedCompact(const PreparedProbe* probe, const uint8_t* compact, size_t length) {
    return MatchPreparedCompactOnPath(probe, compact, length, BestPath());
}

int32_t MatchPreparedCompactList(const PreparedProbe* probe, const uint8_t* list, int32_t stride, int32_t firstIndex,
                                 int32_t entryCount, int32_t* outcomes) {
    const ProbeRecord* p = UsableProbe(probe);
    if (p == nullptr || list == nullptr || outcomes == nullptr || stride < 0) return -1;
    const int32_t path = BestPath();
    int32_t written = 0;
    for (int64_t i = firstIndex; written < entryCount && i <= INT32_MAX; ++i)
        outcomes[written++] =
            CompactOutcome(*p, list + i * static_cast<int64_t>(stride), static_cast<size_t>(stride), path);
    return written;
}

int32_t MatchPreparedCompactPacked(const PreparedProbe* probe, const uint8_t* records, size_t recordsLength,
                                   const uint32_t* offsets, int32_t firstIndex, int32_t entryCount, int32_t* outcomes) {
    const ProbeRecord* p = UsableProbe(probe);
    if (p == nullptr || records == nullptr || offsets == nullptr || outcomes == nullptr) return -1;
    return MatchPacked(&p, 1, records, recordsLength, offsets, firstIndex, entryCount, outcomes);
}

int32_t MatchPreparedCompactPackedBatch(const PreparedProbe* const* probes, int32_t probeCount,
                                        const uint8_t* records, size_t recordsLength, const uint32_t* offsets,
                                        int32_t firstIndex, int32_t entryCount, int32_t* outcomes) {
    if (probes == nullptr || probeCount < 1 || probeCount > FPMATCH_BATCH_MAX_PROBES || records == nullptr ||
        offsets == nullptr || outcomes == nullptr)
        return -1;
    const ProbeRecord* usable[FPMATCH_BATCH_MAX_PROBES];
    for (int32_t p = 0; p < probeCount; ++p)
        if ((usable[p] = UsableProbe(probes[p])) == nullptr) return -1;
    return MatchPacked(usable, probeCount, records, recordsLength, offsets, firstIndex, entryCount, outcomes);
}

}  // extern "C"
