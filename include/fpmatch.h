/*
 * fpmatch: fingerprint minutiae matching.
 *
 * Copyright 2026 the fpmatch authors.
 * SPDX-License-Identifier: Apache-2.0 (see the LICENSE file).
 *
 * One header for the whole library. Every exported function, record and
 * constant table is declared here with C linkage; the header compiles as C99
 * and as C++.
 *
 * Thread safety: every function is reentrant. The library keeps no state
 * between calls, takes no locks, allocates nothing on the heap and shares
 * nothing between calls except the two constant tables AtanTab2D and SqrtTab.
 * Any number of threads may call any function at once, provided no two calls
 * write the same caller buffer.
 *
 * Memory: callers own every buffer. Template buffers are passed without
 * lengths (apart from the Check/Write/Adapt helpers) and must hold the whole
 * template:
 *   - native template: 56 + 4 * min(count, 25) bytes, at most 156;
 *   - ISO/IEC 19794-2:2005 record: 28 + 6 * count bytes, at most 328;
 *   - short screening template: always 512 bytes.
 * TemplateLength() tells how many bytes a template needs, CheckTemplate()
 * whether a buffer of known length is safe to pass.
 *
 * Stack: the FPMATCH_STACK_* constants below give the most stack each kind
 * of entry point needs at its deepest point (about 83 KB for a one-to-one
 * comparison, 35 KB for the prepared comparisons besides the caller's
 * records, 78 KB for a batch of probes, 27 KB for a screening call); 128 KB
 * per thread is enough for every entry point.
 */
#ifndef FPMATCH_H
#define FPMATCH_H

#include <stddef.h>
#include <stdint.h>

#if defined(FPMATCH_BUILDING_LIBRARY)
#define FPMATCH_API __attribute__((visibility("default")))
#else
#define FPMATCH_API
#endif

/* ------------------------------------------------------------------------ */
/* Version                                                                  */
/* ------------------------------------------------------------------------ */

/* Version of this header and of the library it declares. These lines are the
 * one place the version is kept: the build reads its project version (shared
 * library file name, pkg-config and CMake package versions, jar manifest,
 * Debian packages) from them. The major version is the shared library's
 * soname version (libfpmatch.so.1). */
#define FPMATCH_VERSION_MAJOR 1
#define FPMATCH_VERSION_MINOR 4
#define FPMATCH_VERSION_PATCH 4
#define FPMATCH_VERSION_STRING "1.4.4"

/* Stack needed at the deepest point, in bytes, as measured for this build
 * (tests/test_stack.cpp runs every entry point on a painted stack and fails
 * when one needs more than its constant states):
 *   - one-to-one comparisons of templates: Match2Score, Match2Fp,
 *     MatchListFp, ExplainMatch;
 *   - prepared comparisons and preparing, besides any record the caller keeps
 *     on its stack: PrepareProbe, PrepareGallery, MatchPrepared,
 *     MatchPreparedPair, MatchPreparedList, SearchTopK, SearchGalleryTopK,
 *     CompactGalleryTemplate, MatchPreparedCompact, MatchPreparedCompactList,
 *     MatchPreparedCompactPacked;
 *   - batches, whose probes walk each gallery record together (besides the
 *     caller's records): MatchPreparedCompactPackedBatch;
 *   - screening: QuickSort, ScreenScores, MakeFilterRecord,
 *     PrepareFilterProbe, FilterScores;
 *   - helpers: decoding, writing and adapting templates, the gallery readers
 *     and writers. */
#define FPMATCH_STACK_COMPARISON (88 * 1024)
#define FPMATCH_STACK_PREPARED (36 * 1024)
#define FPMATCH_STACK_BATCH (84 * 1024)
#define FPMATCH_STACK_SCREENING (28 * 1024)
#define FPMATCH_STACK_HELPERS (8 * 1024)

#ifdef __cplusplus
extern "C" {
#endif

/* Returns the version of the library that is running, "MAJOR.MINOR.PATCH"
 * (FPMATCH_VERSION_STRING when it was built), a static string the caller
 * must not free or modify. */
FPMATCH_API const char *VersionString(void);

/* ------------------------------------------------------------------------ */
/* Decoded template model                                                   */
/* ------------------------------------------------------------------------ */

#define FPMATCH_IMAGE_WIDTH 256
#define FPMATCH_IMAGE_HEIGHT 288
#define FPMATCH_MAX_MINUTIAE 50
#define FPMATCH_MAX_NATIVE_MINUTIAE 25
#define FPMATCH_GND_CELLS 1152   /* 36 rows of 32 cells of 8 x 8 pixels */
#define FPMATCH_BLOCKS 288       /* 18 rows of 16 blocks of 16 x 16 pixels */
#define FPMATCH_SHORT_TEMPLATE_SIZE 512

/* One minutia. Native templates: x -256..255, y 0..511, angle 0..511 as
 * stored. ISO records: x, y 0..16383, angle 2..360. type 0 ridge ending,
 * 1 bifurcation (ISO records may also give 2 and 255). */
typedef struct Minutia {
    int32_t x;
    int32_t y;
    int32_t angle;
    uint8_t quality;
    uint8_t type;
} Minutia;

/* A singular point; (0, 0) means absent. */
typedef struct SingularPoint {
    int32_t x;
    int32_t y;
} SingularPoint;

/* Foreground mask: cell of pixel (x, y) at (y >> 3) * 32 + (x >> 3);
 * 1 = background, 0 = foreground. */
typedef struct GndTable {
    uint8_t cells[FPMATCH_GND_CELLS];
} GndTable;

/* Block quality map: block of pixel (x, y) at (y >> 4) * 16 + (x >> 4). */
typedef struct BlockQtyMap {
    uint8_t blocks[FPMATCH_BLOCKS];
} BlockQtyMap;

/* A decoded template. It owns nothing: clear it to zero and bind the four
 * pointers to storage of the caller (50 minutiae, 3 singular points, one mask,
 * one block map) before decoding into it. */
typedef struct FeatureSet {
    int32_t width;          /* always 256 after a decode */
    int32_t height;         /* always 288 after a decode */
    int8_t minutiaCount;    /* 1..50 after a decode, at most 25 from native */
    uint8_t format;         /* native byte 1; 1 for ISO records */
    uint8_t quality;        /* template (finger) quality */
    Minutia *minutiae;
    SingularPoint *singularPoints;
    GndTable *gndTable;
    BlockQtyMap *blockQty;
} FeatureSet;

/* Storage for one decoded template: what a FeatureSet points at. */
typedef struct FeatureStorage {
    Minutia minutiae[FPMATCH_MAX_MINUTIAE];
    SingularPoint singularPoints[3];
    GndTable gndTable;
    BlockQtyMap blockQty;
} FeatureStorage;

/* Clears *featureSet and binds its four pointers to `storage` (the storage
 * itself is not cleared), ready for DecodeFeature. Returns 0, or
 * FPMATCH_NULL_INPUT (4) when either pointer is null (nothing written). */
FPMATCH_API int32_t BindFeatureSet(FeatureSet *featureSet, FeatureStorage *storage);

/* ------------------------------------------------------------------------ */
/* Comparison entry points                                                  */
/* ------------------------------------------------------------------------ */

/* Returns the algorithm version, 1. */
FPMATCH_API int32_t AlgVersion(void);

/* Compares two templates (native or ISO, told apart by their first bytes).
 * Returns the similarity score 0..100; 0 also when either template fails to
 * decode or no corresponding minutiae are found. The comparison is not
 * symmetric. Both buffers must hold their whole template (see above). */
FPMATCH_API int32_t Match2Score(const uint8_t *probeTemplate, const uint8_t *galleryTemplate);

/* Same as Match2Score. */
FPMATCH_API int32_t Match2Fp(const uint8_t *probeTemplate, const uint8_t *galleryTemplate);

/* Searches entries firstIndex .. firstIndex + entryCount - 1 of a list of
 * gallery templates laid out every `stride` bytes from `list` for the first
 * one whose score with the probe is at least `threshold`. Returns 1 and
 * writes its index and score, or 0 (out-arguments untouched) when no entry
 * reaches the threshold, the probe fails to decode, or the search meets an
 * entry that fails to decode or has no corresponding minutiae (the search
 * stops there). Offsets are computed in 64 bits, so lists beyond 2 GiB
 * work; entries past index INT32_MAX, which foundIndex could not report, end
 * the search. Each tried entry must hold its whole template. */
FPMATCH_API int32_t MatchListFp(const uint8_t *probeTemplate, const uint8_t *list, int32_t stride,
                                int32_t firstIndex, int32_t entryCount, int32_t threshold,
                                int32_t *foundIndex, int32_t *foundScore);

/* Stable partition of the probe's minutiae: those within 64 pixels of the
 * image centre in x and y first. `scratch` needs room for minutiaCount
 * records. */
FPMATCH_API void MinutiaMoveTop(const FeatureSet *featureSet, Minutia *minutiae, Minutia *scratch);

/* ------------------------------------------------------------------------ */
/* Prepared templates: decode and build once, compare many times           */
/* ------------------------------------------------------------------------ */

/* A prepared probe holds everything of a probe that does not depend on the
 * gallery (decoded and reordered minutiae, mask, block quality map, sorted
 * topology graph and its look-up tables); a prepared gallery holds a decoded
 * gallery template and its topology graph. Both are plain fixed-size byte
 * records: no pointers inside, so they may be copied, written to a file and
 * read back by the same library version, and shared read-only by any number
 * of threads. Preparing writes every byte of the record, so two preparations
 * of one template are byte for byte identical and a saved record carries
 * nothing of the buffer's earlier contents. Their layout is private and may
 * change between versions; every field a comparison reads is checked when a
 * record is read, and a record of another layout, or with any field outside
 * what preparing writes, is refused (scores 0), never read out of bounds.
 * Preparing allocates nothing; a prepared probe is about
 * 40 KB and a prepared gallery about 24 KB, so a thread that keeps one of
 * each on its stack needs that much more stack. */
#define FPMATCH_PREPARED_PROBE_SIZE 40960
#define FPMATCH_PREPARED_GALLERY_SIZE 24576

typedef struct PreparedProbe {
    uint64_t opaque[FPMATCH_PREPARED_PROBE_SIZE / 8];
} PreparedProbe;

typedef struct PreparedGallery {
    uint64_t opaque[FPMATCH_PREPARED_GALLERY_SIZE / 8];
} PreparedGallery;

/* Decodes and prepares a probe template. Returns the decoder's code: 0, 1
 * (native version byte not 3) or 2 (minutia count outside 1..50), or
 * FPMATCH_NULL_INPUT (4) for a null pointer. On failure the record is still
 * written, marked as failed: every comparison with it scores 0. */
FPMATCH_API int32_t PrepareProbe(const uint8_t *probeTemplate, PreparedProbe *prepared);

/* Decodes and prepares a gallery template. Returns as PrepareProbe. */
FPMATCH_API int32_t PrepareGallery(const uint8_t *galleryTemplate, PreparedGallery *prepared);

/* Match2Score(probe template, galleryTemplate), with the probe's share of the
 * work done once. Returns 0..100, exactly what Match2Score returns for the
 * two templates; 0 when either fails to prepare or decode. */
FPMATCH_API int32_t MatchPrepared(const PreparedProbe *probe, const uint8_t *galleryTemplate);

/* Match2Score of the two templates the records were prepared from. */
FPMATCH_API int32_t MatchPreparedPair(const PreparedProbe *probe, const PreparedGallery *gallery);

/* Outcomes of MatchPreparedList besides a score 0..100. */
#define FPMATCH_OUTCOME_NOT_DECODED (-1)  /* the entry fails to decode */
#define FPMATCH_OUTCOME_NO_BASE_PAIR (-2) /* no corresponding minutiae found */

/* Compares the prepared probe with entries firstIndex .. firstIndex +
 * entryCount - 1 of a list laid out every `stride` bytes from `list`, and
 * writes one outcome per entry to outcomes[0 .. entryCount - 1]: the score
 * (what Match2Score gives), FPMATCH_OUTCOME_NOT_DECODED or
 * FPMATCH_OUTCOME_NO_BASE_PAIR (both score 0 in Match2Score). Never stops
 * early. Entries past index INT32_MAX are not compared. Returns the number
 * of outcomes written, or -1 (nothing written) when the probe failed to
 * prepare or a pointer is null. Each entry must hold its whole template. */
FPMATCH_API int32_t MatchPreparedList(const PreparedProbe *probe, const uint8_t *list, int32_t stride,
                                      int32_t firstIndex, int32_t entryCount, int32_t *outcomes);

/* One entry of a ranked search. */
typedef struct SearchHit {
    int32_t index; /* position in the list, counted from `list` */
    int32_t score; /* 0..100, what Match2Score gives */
} SearchHit;

/* Ranks entries firstIndex .. firstIndex + entryCount - 1 of a list (laid out
 * as for MatchPreparedList) by their score with the prepared probe and writes
 * the k best to hits[0 .. k - 1]: score descending, equal scores by lower
 * index. Entries that fail to decode or share no base pair rank with score 0,
 * as Match2Score scores them. Returns the number of hits written,
 * min(k, entries compared), or -1 when the probe failed to prepare or a
 * pointer is null. A range can be split and the hits of the parts merged by
 * the same order; that gives the same result as one call. */
FPMATCH_API int32_t SearchTopK(const PreparedProbe *probe, const uint8_t *list, int32_t stride,
                               int32_t firstIndex, int32_t entryCount, int32_t k, SearchHit *hits);

/* ------------------------------------------------------------------------ */
/* Compact gallery records: gallery templates prepared at enrolment         */
/* ------------------------------------------------------------------------ */

/* A compact gallery record holds what comparing a gallery template needs --
 * its decoded minutiae, singular points, foreground mask, block qualities and
 * the neighbour pairs of its topology graph with their distances and
 * directions -- so that a search compares it without decoding the template
 * or building its graph. Its size depends on the template: 16 + 6 * count
 * + 288 bytes, 34 more for a native mask, one bit per pair of minutiae and 2
 * bytes per pair of neighbours; about 1 KB for an FVC2002 record (mean 30
 * minutiae), at most FPMATCH_COMPACT_GALLERY_MAX_SIZE (50 minutiae, every
 * two of them neighbours). The bytes depend on
 * the template alone and start with "FPC" and a layout byte (1); a reader
 * refuses layouts it does not know. Every reading function validates the
 * whole record first, so any bytes at all may be passed: nothing past the
 * given length is read and a damaged record is refused, never scored. */
#define FPMATCH_COMPACT_GALLERY_MAX_SIZE 3208

/* Refusals of the compact record functions. */
#define FPMATCH_COMPACT_NULL_INPUT (-1)    /* a required pointer is NULL */
#define FPMATCH_COMPACT_OUT_TOO_SMALL (-2) /* outLength below the record's length */
#define FPMATCH_COMPACT_BAD_VERSION (-3)   /* the template: native version byte not 3 */
#define FPMATCH_COMPACT_BAD_COUNT (-4)     /* the template: minutia count outside 1..50 */
#define FPMATCH_COMPACT_DAMAGED (-5)       /* not a valid compact record of a known layout */

/* Outcome of a list entry that is not a valid compact record (besides
 * FPMATCH_OUTCOME_NO_BASE_PAIR and the scores). */
#define FPMATCH_OUTCOME_DAMAGED (-3)

/* Writes the compact record of a gallery template (native or ISO; the buffer
 * must hold the whole template) to out[0 .. length - 1]. Returns the
 * record's length, at most FPMATCH_COMPACT_GALLERY_MAX_SIZE, or a negative
 * FPMATCH_COMPACT_* code with `out` untouched. Allocates nothing; stack:
 * FPMATCH_STACK_PREPARED. */
FPMATCH_API int32_t CompactGalleryTemplate(const uint8_t *galleryTemplate, uint8_t *out, size_t outLength);

/* Validates a compact record held in the first `length` bytes of `compact`.
 * Returns its length (at most `length`), FPMATCH_COMPACT_DAMAGED or
 * FPMATCH_COMPACT_NULL_INPUT. */
FPMATCH_API int32_t CheckCompactGallery(const uint8_t *compact, size_t length);

/* Match2Score of the probe template and the gallery template the compact
 * record was made from. `length` bytes of `compact` are readable (the record
 * may be shorter). Returns 0..100; 0 also when the probe failed to prepare
 * or the record is damaged. */
FPMATCH_API int32_t MatchPreparedCompact(const PreparedProbe *probe, const uint8_t *compact, size_t length);

/* Compares the prepared probe with compact records laid out every `stride`
 * bytes from `list` (each in its slot of `stride` readable bytes), entries
 * firstIndex .. firstIndex + entryCount - 1, and writes one outcome per entry
 * to outcomes[0 .. entryCount - 1]: the score (what Match2Score gives),
 * FPMATCH_OUTCOME_NO_BASE_PAIR (scores 0) or FPMATCH_OUTCOME_DAMAGED (not a
 * valid record). Entries past index INT32_MAX are not compared. Returns the
 * number of outcomes written, or -1 (nothing written) when the probe failed
 * to prepare, a pointer is null or stride is negative. */
FPMATCH_API int32_t MatchPreparedCompactList(const PreparedProbe *probe, const uint8_t *list, int32_t stride,
                                             int32_t firstIndex, int32_t entryCount, int32_t *outcomes);

/* As MatchPreparedCompactList, for records of their own lengths stored end
 * to end: record i lies in bytes offsets[i] .. offsets[i + 1] - 1 of the
 * `recordsLength` bytes from `records`. Reads offsets[firstIndex] ..
 * offsets[firstIndex + entryCount]; an entry whose offsets are out of order
 * or past recordsLength gives FPMATCH_OUTCOME_DAMAGED. Returns the number of
 * outcomes written, or -1 (nothing written) when the probe failed to prepare
 * or a pointer is null. */
FPMATCH_API int32_t MatchPreparedCompactPacked(const PreparedProbe *probe, const uint8_t *records,
                                               size_t recordsLength, const uint32_t *offsets, int32_t firstIndex,
                                               int32_t entryCount, int32_t *outcomes);

/* Most probes one MatchPreparedCompactPackedBatch call compares. */
#define FPMATCH_BATCH_MAX_PROBES 64

/* MatchPreparedCompactPacked for several probes at once, up to four at a
 * time: each record is checked and expanded once for them (about a sixth of
 * a comparison) and its graph walked once for all four (about a third when
 * walked for one); probes whose edges do not fit one group together are
 * compared in smaller groups. Stack: FPMATCH_STACK_BATCH. The
 * outcome of probe p for entry firstIndex + k goes to
 * outcomes[p * entryCount + k] (probeCount * entryCount ints), equal to what
 * MatchPreparedCompactPacked gives that probe. Returns the number of entries
 * compared, or -1 (nothing written) when probeCount is not
 * 1..FPMATCH_BATCH_MAX_PROBES, a probe failed to prepare or a pointer is
 * null. */
FPMATCH_API int32_t MatchPreparedCompactPackedBatch(const PreparedProbe *const *probes, int32_t probeCount,
                                                    const uint8_t *records, size_t recordsLength,
                                                    const uint32_t *offsets, int32_t firstIndex,
                                                    int32_t entryCount, int32_t *outcomes);

/* ------------------------------------------------------------------------ */
/* Packed galleries (.fpg)                                                  */
/* ------------------------------------------------------------------------ */

/* A packed gallery is one file holding many templates with their names, read
 * in place from a caller's buffer (typically the memory-mapped file). The
 * library does no file I/O: it validates the buffer, finds entries, ranks a
 * range of entries, and writes the fixed-size headers for writers. Every
 * reading function validates the structure it relies on first, so any bytes
 * at all may be passed: nothing outside [gallery, gallery + size) is read.
 *
 * The layout (format version 1) is described in docs/gallery-format.md.
 * Opening validates the file header and every segment header
 * (O(segments)), never the entries; the directory record of an entry is
 * checked when the entry is read. Every template slot holds at least 328
 * bytes, so any slot, even a damaged one, is safe to hand to the matcher. */

#define FPMATCH_GALLERY_VERSION 1
#define FPMATCH_GALLERY_HEADER_SIZE 64
#define FPMATCH_GALLERY_SEGMENT_HEADER_SIZE 96
#define FPMATCH_GALLERY_ENTRY_SIZE 16
#define FPMATCH_GALLERY_MIN_STRIDE 328
#define FPMATCH_GALLERY_MAX_STRIDE 1048576
#define FPMATCH_GALLERY_MAX_SEGMENTS 65536

/* Refusals of the gallery functions (each returns one negative code). The
 * structural codes -2 .. -10 are what CheckGallery returns for a damaged or
 * foreign buffer; every other reading function returns them too. */
#define FPMATCH_GALLERY_NULL_INPUT (-1)        /* a required pointer is NULL */
#define FPMATCH_GALLERY_NOT_GALLERY (-2)       /* the bytes do not start with the magic */
#define FPMATCH_GALLERY_BAD_VERSION (-3)       /* a format version this library does not read */
#define FPMATCH_GALLERY_TRUNCATED_HEADER (-4)  /* shorter than the file header */
#define FPMATCH_GALLERY_BAD_HEADER (-5)        /* header size, entry or segment count or used
                                                  size out of range */
#define FPMATCH_GALLERY_TRUNCATED (-6)         /* shorter than the used size the header declares */
#define FPMATCH_GALLERY_BAD_SEGMENT (-7)       /* a segment header outside the used size, out of
                                                  order, with a wrong magic, or not the declared
                                                  last segment */
#define FPMATCH_GALLERY_BAD_STRIDE (-8)        /* a stride outside 328..1048576 */
#define FPMATCH_GALLERY_SECTION_OUT_OF_BOUNDS (-9) /* a directory, template, short template or
                                                      names area inside the file header or
                                                      past the used size */
#define FPMATCH_GALLERY_COUNT_MISMATCH (-10)   /* segment counts and first indices disagree with
                                                  each other or with the header */
#define FPMATCH_GALLERY_BAD_RANGE (-11)        /* an index or range outside the gallery */
#define FPMATCH_GALLERY_BAD_ENTRY (-12)        /* an entry's name or template length does not
                                                  fit its segment */
#define FPMATCH_GALLERY_BAD_PROBE (-13)        /* the prepared probe failed to prepare */
#define FPMATCH_GALLERY_OUT_TOO_SMALL (-14)    /* writers: the output buffer is too small */

/* What CheckGallery reports; also the input of WriteGalleryHeader. */
typedef struct GalleryInfo {
    int32_t version;       /* format version of the file */
    int32_t entryCount;
    int32_t segmentCount;
    int32_t shortCount;    /* entries whose segment holds short templates */
    uint64_t firstSegmentOffset;
    uint64_t lastSegmentOffset;
    uint64_t usedSize;     /* bytes that belong to the gallery */
} GalleryInfo;

/* One segment: where its parts lie in the file. */
typedef struct GallerySegment {
    uint64_t offset;           /* of the segment header */
    uint64_t nextOffset;       /* next segment header as stored; 0 for none */
    int32_t firstIndex;
    int32_t entryCount;
    int32_t stride;
    int32_t hasShorts;         /* 1 when the segment holds short templates */
    uint64_t directoryOffset;
    uint64_t templatesOffset;  /* entry firstIndex + j at templatesOffset + j * stride */
    uint64_t shortsOffset;     /* entry firstIndex + j at shortsOffset + j * 512; 0 when none */
    uint64_t namesOffset;
    uint64_t namesSize;
    uint64_t endOffset;        /* first byte after the segment's last area */
} GallerySegment;

/* One entry, pointing into the caller's buffer. */
typedef struct GalleryEntry {
    const uint8_t *templateData; /* its slot: `stride` readable bytes */
    int32_t templateLength;      /* 1..stride */
    int32_t segment;             /* 0-based segment number */
    const char *name;            /* UTF-8, not NUL-terminated */
    int32_t nameLength;
    int32_t stride;
    const uint8_t *shortTemplate; /* 512 bytes, or NULL when its segment has none */
} GalleryEntry;

/* Validates the structure of a gallery of `size` bytes: file header, every
 * segment header and the bounds of every segment's areas (O(segments); no
 * entry is read). Returns the entry count (0 or more) and fills `info` when
 * it is not NULL, or a negative FPMATCH_GALLERY_* code (info untouched). */
FPMATCH_API int32_t CheckGallery(const uint8_t *gallery, size_t size, GalleryInfo *info);

/* Describes segment `segment` (0-based, in entry order) of a gallery.
 * Returns 0, or a negative code (FPMATCH_GALLERY_BAD_RANGE for a segment
 * number outside the gallery); `out` is written only on success. */
FPMATCH_API int32_t GetGallerySegment(const uint8_t *gallery, size_t size, int32_t segment,
                                      GallerySegment *out);

/* Finds entry `index` of a gallery. Returns 0 and fills `entry`, or a
 * negative code: FPMATCH_GALLERY_BAD_RANGE for an index outside
 * 0..entryCount-1, FPMATCH_GALLERY_BAD_ENTRY when its directory record puts
 * its name outside the names area or gives a template length outside
 * 1..stride. Validates the structure first (O(segments) per call). */
FPMATCH_API int32_t GetGalleryEntry(const uint8_t *gallery, size_t size, int32_t index, GalleryEntry *entry);

/* Ranks entries firstIndex .. firstIndex + entryCount - 1 of a gallery (the
 * range is cut at the gallery's end) by their score with the prepared probe
 * and writes the k best to hits[0 .. k - 1], with gallery indices: exactly
 * what SearchTopK gives over the same templates laid out in one list (score
 * descending, equal scores by lower index; entries that fail to decode or
 * share no base pair rank with score 0). One SearchTopK runs per segment the
 * range touches; the results are merged on the stack (2 KB), nothing is
 * allocated. Returns the number of hits written, min(k, entries in range), 0
 * for k <= 0, or a negative code: a structural one, FPMATCH_GALLERY_BAD_RANGE
 * (firstIndex outside 0..entry count, or entryCount < 0),
 * FPMATCH_GALLERY_BAD_PROBE, FPMATCH_GALLERY_NULL_INPUT (hits NULL with
 * k > 0). Ranges may be split (e.g. one per thread) and their hits merged by
 * the same order; that equals one call over the whole range. */
FPMATCH_API int32_t SearchGalleryTopK(const PreparedProbe *probe, const uint8_t *gallery, size_t size,
                                      int32_t firstIndex, int32_t entryCount, int32_t k, SearchHit *hits);

/* Writers. They write nothing on a refusal. */

/* Completes the layout of a new segment: from offset, firstIndex,
 * entryCount, stride, hasShorts and namesSize (the other fields are
 * ignored) it sets directoryOffset (right after the header), templatesOffset
 * and shortsOffset (64-byte aligned), namesOffset, endOffset, and nextOffset
 * to 0. Returns 0, or FPMATCH_GALLERY_NULL_INPUT, FPMATCH_GALLERY_BAD_SEGMENT
 * (offset below the file header), FPMATCH_GALLERY_BAD_STRIDE,
 * FPMATCH_GALLERY_BAD_RANGE (entryCount < 1, firstIndex < 0, or the last
 * index beyond INT32_MAX) or FPMATCH_GALLERY_SECTION_OUT_OF_BOUNDS (the end
 * beyond 2^62). */
FPMATCH_API int32_t PlanGallerySegment(GallerySegment *segment);

/* Writes the 96-byte header of `segment` (its offsets, counts, stride,
 * flags and next offset as given) to out. Returns 96, or
 * FPMATCH_GALLERY_NULL_INPUT, FPMATCH_GALLERY_OUT_TOO_SMALL,
 * FPMATCH_GALLERY_BAD_STRIDE, FPMATCH_GALLERY_BAD_RANGE (negative index or
 * count). */
FPMATCH_API int32_t WriteGallerySegmentHeader(const GallerySegment *segment, uint8_t *out, size_t outLength);

/* Writes the 64-byte file header (version FPMATCH_GALLERY_VERSION) from
 * info's entryCount, segmentCount, firstSegmentOffset, lastSegmentOffset and
 * usedSize. Returns 64, or FPMATCH_GALLERY_NULL_INPUT,
 * FPMATCH_GALLERY_OUT_TOO_SMALL, FPMATCH_GALLERY_BAD_HEADER (a negative
 * count or more than FPMATCH_GALLERY_MAX_SEGMENTS segments). */
FPMATCH_API int32_t WriteGalleryHeader(const GalleryInfo *info, uint8_t *out, size_t outLength);

/* Writes one 16-byte directory record. Returns 16, or
 * FPMATCH_GALLERY_NULL_INPUT, FPMATCH_GALLERY_OUT_TOO_SMALL,
 * FPMATCH_GALLERY_BAD_ENTRY (negative nameLength, templateLength < 1). */
FPMATCH_API int32_t WriteGalleryEntry(uint64_t nameOffset, int32_t nameLength, int32_t templateLength,
                                      uint8_t *out, size_t outLength);

/* ------------------------------------------------------------------------ */
/* Template decoding                                                        */
/* ------------------------------------------------------------------------ */

/* Result codes of the decoders. */
#define FPMATCH_DECODED 0
#define FPMATCH_BAD_VERSION 1
#define FPMATCH_BAD_COUNT 2

/* Decodes a native template or an ISO/IEC 19794-2:2005 record (first two
 * bytes "FM") into a cleared, bound feature set, including its mask and block
 * quality map. Returns 0, 1 (native version byte not 3) or 2 (minutia count
 * outside 1..50). */
FPMATCH_API int32_t DecodeFeature(const uint8_t *tmpl, FeatureSet *featureSet);

/* Native header, minutiae (first 25) and singular points. Returns 0, 1, 2. */
FPMATCH_API int32_t ExpandFeature(const uint8_t *tmpl, FeatureSet *featureSet);

/* Writes the whole foreground mask from the native mask words. */
FPMATCH_API void ExpandGndTable(const uint8_t *tmpl, FeatureSet *featureSet);

/* ISO/IEC 19794-2:2005 record, first finger view. Returns 0 or 2. */
FPMATCH_API int32_t ExpandIsoFeature(const uint8_t *tmpl, FeatureSet *featureSet);

/* Fills the block quality map of a decoded feature set. `tmpl` is not read. */
FPMATCH_API void BuildBlockQty(const uint8_t *tmpl, FeatureSet *featureSet);

/* ------------------------------------------------------------------------ */
/* Geometry lookups                                                         */
/* ------------------------------------------------------------------------ */

/* 144 rows (|dy|) of 128 columns (|dx|), row by row:
 * AtanTab2D = round(atan2(r, c) in degrees), SqrtTab = round(sqrt(r^2 + c^2)). */
#define FPMATCH_TABLE_ROWS 144
#define FPMATCH_TABLE_COLUMNS 128
FPMATCH_API extern const uint8_t AtanTab2D[FPMATCH_TABLE_ROWS * FPMATCH_TABLE_COLUMNS];
FPMATCH_API extern const uint8_t SqrtTab[FPMATCH_TABLE_ROWS * FPMATCH_TABLE_COLUMNS];

/* Direction of (dx, dy) in whole degrees, 0..359 (360 just below the
 * positive x axis), computed with atan. No range limit. */
FPMATCH_API int32_t math_Atang(int32_t dy, int32_t dx);

/* Direction of (dx, dy) from AtanTab2D where |dy| <= 143 and |dx| <= 127;
 * outside the table, math_Atang(dy, dx), except 0 (as in the table) on the
 * positive x axis. */
FPMATCH_API int32_t math_AtangUseTab(int32_t dy, int32_t dx);

/* Length of (dx, dy) from SqrtTab where |dy| <= 143 and |dx| <= 127;
 * outside the table, sqrt(dx^2 + dy^2) rounded to nearest (at most
 * INT32_MAX). */
FPMATCH_API int32_t math_SqrtUseTab(int32_t dy, int32_t dx);

/* ------------------------------------------------------------------------ */
/* Base pair search                                                         */
/* ------------------------------------------------------------------------ */

/* One directed edge of a topology graph. */
typedef struct TopoEdge {
    int32_t edgeAngle;          /* direction to the neighbour less own angle */
    int32_t distance;           /* 1..110; 0 = no edge */
    int32_t relativeDirection;  /* neighbour angle less own angle */
    uint8_t neighbourType;
    uint8_t neighbourIndex;
} TopoEdge;

/* Storage of one topology graph: an n x n matrix stored with row length n
 * (n = minutiaCount) inside room for 50 x 50 edges, and the edge counts. */
#define FPMATCH_TOPO_EDGES (FPMATCH_MAX_MINUTIAE * FPMATCH_MAX_MINUTIAE)
#define FPMATCH_SEARCH_TAB_LENGTH 372
#define FPMATCH_TOPO_INDEX_NONE 50

typedef struct TopoGraph {
    TopoEdge edges[FPMATCH_TOPO_EDGES];
    uint8_t edgeCounts[FPMATCH_MAX_MINUTIAE];
} TopoGraph;

/* A candidate correspondence of one probe and one gallery minutia. */
typedef struct BasePair {
    int32_t probeIndex;
    int32_t galleryIndex;
    int32_t pairScore;
    int32_t matchScore;
} BasePair;

/* Fills the n x n edge matrix (row length n) and the per-row edge counts;
 * rows list neighbours within 110 pixels in increasing index. */
FPMATCH_API void BuildTopoGraph(const FeatureSet *featureSet, TopoEdge *matrix, uint8_t *edgeCounts);

/* Sorts every row by edgeAngle (selection sort) and zeroes the row tails. */
FPMATCH_API void SortTopoGraph(const FeatureSet *featureSet, TopoEdge *matrix, const uint8_t *edgeCounts);

/* Proposes up to three base pairs into a zeroed list of three, in descending
 * pairScore. Returns how many were found, 0..3. */
FPMATCH_API int32_t CalcBasePair(const FeatureSet *probe, const FeatureSet *gallery, BasePair *basePairs);

/* Scores every probe/gallery minutia pair of equal type and keeps the best
 * three in basePairs. Returns the number of entries with pairScore > 0. */
FPMATCH_API int32_t CompareTopoGraph(const FeatureSet *probe, const FeatureSet *gallery,
                                     const TopoEdge *probeGraph, const TopoEdge *galleryGraph,
                                     BasePair *basePairs, const uint8_t *probeEdgeCounts,
                                     const uint8_t *galleryEdgeCounts);

/* Search table of a sorted probe row of edgeCount edges: entry v = number of
 * edges with edgeAngle below v. `tableLength` entries are written (372). */
FPMATCH_API void TopoGraphSearchTab(const TopoEdge *row, int32_t edgeCount, int32_t tableLength,
                                    uint8_t *table);

/* Neighbourhood agreement of a probe row (with its search table) and a
 * gallery row of galleryEdgeCount edges. Returns 0 or more. */
FPMATCH_API int32_t CalcPairScore(const TopoEdge *probeRow, const TopoEdge *galleryRow,
                                  const uint8_t *searchTab, int32_t galleryEdgeCount);

/* index[v] = position in the row of the edge to minutia v, or 50. */
FPMATCH_API void BuildTopoIndex(const TopoEdge *row, int32_t edgeCount, uint8_t *index);

/* Inserts into a list kept in descending pairScore; equal scores go behind. */
FPMATCH_API void InsertBasePair(BasePair basePair, BasePair *list, int32_t capacity);

/* ------------------------------------------------------------------------ */
/* Alignment scoring                                                        */
/* ------------------------------------------------------------------------ */

/* Rotation about (pivotX, pivotY) by `angle` degrees (-179..180), then a
 * translation by (shiftX, shiftY). */
typedef struct RigidTransform {
    int32_t pivotX;
    int32_t pivotY;
    int32_t shiftX;
    int32_t shiftY;
    int32_t angle;
} RigidTransform;

/* A minutia in polar coordinates about a centre. */
typedef struct PolarMinutia {
    int32_t index;
    int32_t radius;
    int32_t bearing;
} PolarMinutia;

/* One paired probe and gallery minutia, as slots of the working sets. */
typedef struct MinutiaPair {
    int32_t probeIndex;
    int32_t galleryIndex;
} MinutiaPair;

/* Moves the source's minutiae and singular points by `transform`, keeping
 * those that land inside the image on foreground of otherGndTable (1152
 * cells). `moved` (minutiaCount slots) and `movedSingular` (3) must be
 * cleared by the caller; keptCopy may be NULL. Returns the number kept. */
FPMATCH_API int32_t MinutiasTransform(const FeatureSet *source, Minutia *keptCopy, Minutia *moved,
                                      SingularPoint *movedSingular, const uint8_t *otherGndTable,
                                      RigidTransform transform);

/* Aligns on each of the `count` base pairs and writes its matchScore; a
 * base pair that aligns nothing (see FPMATCH_ALIGN_*) keeps the one it had. */
FPMATCH_API void CalcMatchScore(const FeatureSet *probe, const FeatureSet *gallery, BasePair *basePairs,
                                int32_t count);

/* Polar coordinates about (centerX, centerY) of every slot 0..count-1 whose
 * x is above 0, appended to `out` in slot order. */
FPMATCH_API void XYtoPolar(const Minutia *set, uint32_t count, int32_t centerX, int32_t centerY,
                           PolarMinutia *out);

/* Pairs two polar lists one to one, greedily in probe order. Returns the
 * number of pairs written to `pairs` (room for 50). */
FPMATCH_API int32_t CalcIsoPair(const Minutia *probeSet, const PolarMinutia *probePolar, int32_t probeCount,
                                const Minutia *gallerySet, const PolarMinutia *galleryPolar,
                                int32_t galleryCount, MinutiaPair *pairs);

/* Position score of the pairs, over all and within about 90 pixels of the
 * centre. */
FPMATCH_API void CalcPosScore(const Minutia *probeSet, const Minutia *gallerySet, int32_t centerX,
                              int32_t centerY, const MinutiaPair *pairs, int32_t pairCount,
                              int32_t *total, int32_t *nearTotal);

/* Penalty for singular points that do not correspond. The mask tables hold
 * 1152 cells each. */
FPMATCH_API void CalcSingularScore(const SingularPoint *probeSingular, const SingularPoint *gallerySingular,
                                   const SingularPoint *movedProbeSingular,
                                   const SingularPoint *movedGallerySingular, const uint8_t *probeGndTable,
                                   const uint8_t *galleryGndTable, int32_t *penalty);

/* Penalty for one side's unpaired minutiae (side 0 probe, else gallery),
 * weighted by the other template's block quality (288 entries). */
FPMATCH_API void CalcNegScore(int32_t centerX, int32_t centerY, const MinutiaPair *pairs, int32_t pairCount,
                              const Minutia *set, int32_t count, const uint8_t *otherBlockQty, int32_t side,
                              int32_t *total, int32_t *nearTotal);

/* Sorts the base pairs by matchScore (descending, in place) and returns the
 * final score 0..100. count must be 1..3. */
FPMATCH_API int32_t CalcLastScore(BasePair *basePairs, const Minutia *probeMinutiae,
                                  const Minutia *galleryMinutiae, int32_t count);

/* ------------------------------------------------------------------------ */
/* Explaining a comparison                                                  */
/* ------------------------------------------------------------------------ */

/* How far the alignment on one base pair got (AlignmentExplanation.stage). */
#define FPMATCH_ALIGN_NOT_ALIGNED 0    /* base pair indices outside the sets */
#define FPMATCH_ALIGN_LITTLE_OVERLAP 1 /* fewer than 3 minutiae a side kept, or
                                          neither side kept a quarter, or the
                                          base minutiae lie more than INT32_MAX
                                          pixels or degrees apart */
#define FPMATCH_ALIGN_NO_PAIRS 2       /* aligned, but no minutiae paired */
#define FPMATCH_ALIGN_SCORED 3         /* paired and scored: matchScore is the
                                          alignment's score */

/* The alignment of two templates on one base pair, as the scoring computed
 * it. Minutia slots refer to MatchExplanation.probeMinutiae (the probe as
 * matched, reordered centre-first) and MatchExplanation.galleryMinutiae. */
typedef struct AlignmentExplanation {
    BasePair basePair;       /* slots, pairScore and the final matchScore */
    int32_t stage;           /* FPMATCH_ALIGN_* */
    int32_t rotation;        /* degrees, -179..180: the probe turned by this
                                about its base minutia lands in the gallery
                                frame (the gallery turns by -rotation) */
    int32_t shiftX;          /* gallery base minutia less probe base minutia */
    int32_t shiftY;
    int32_t keptProbe;       /* probe minutiae landing on gallery foreground,
                                base minutia excluded */
    int32_t keptGallery;     /* the same for the gallery in the probe frame */
    int32_t pairCount;       /* entries of pairs[] */
    int32_t positionScore;   /* pairs' position score, singular penalty taken */
    int32_t positionScoreNear; /* the same within about 90 pixels of the base */
    int32_t singularPenalty;
    int32_t unpairedProbe;   /* penalty of unpaired probe minutiae */
    int32_t unpairedProbeNear;
    int32_t unpairedGallery; /* penalty of unpaired gallery minutiae */
    int32_t unpairedGalleryNear;
    MinutiaPair pairs[FPMATCH_MAX_MINUTIAE];   /* probe slot, gallery slot */
    Minutia movedGallery[FPMATCH_MAX_MINUTIAE]; /* gallery slot moved into the
                                                   probe frame; all zero where
                                                   not kept and for the base */
} AlignmentExplanation;

/* Everything ExplainMatch reports about one comparison. */
typedef struct MatchExplanation {
    int32_t score;           /* what Match2Score returns */
    int32_t probeCode;       /* decoder codes (DecodeFeature) */
    int32_t galleryCode;
    int32_t probeCount;      /* minutiae as decoded (0 when not decoded) */
    int32_t galleryCount;
    int32_t basePairCount;   /* 0..3 */
    Minutia probeMinutiae[FPMATCH_MAX_MINUTIAE];   /* reordered centre-first */
    Minutia galleryMinutiae[FPMATCH_MAX_MINUTIAE];
    AlignmentExplanation alignments[3]; /* one per base pair, best matchScore
                                           first, as the final score reads
                                           them */
} MatchExplanation;

/* Compares two templates as Match2Score does, by the same code, and fills
 * `out` (caller-owned, 5440 bytes) with the decoded minutiae, the base pairs
 * and for each its alignment: rotation, shift, overlap, the pairing and the
 * score components. Returns the score 0..100 (exactly Match2Score's), or -1
 * when a pointer is null (nothing written). Both templates are decoded even
 * when the probe fails to, so that both codes are reported. */
FPMATCH_API int32_t ExplainMatch(const uint8_t *probeTemplate, const uint8_t *galleryTemplate,
                                 MatchExplanation *out);

/* ------------------------------------------------------------------------ */
/* Candidate screening over 512-byte short templates                        */
/* ------------------------------------------------------------------------ */

typedef struct ShortMinutia {
    int16_t x;
    int16_t y;
    int16_t angle;
    uint8_t type;
    int16_t quality;
} ShortMinutia;

typedef struct NeighbourEdge {
    int32_t distance;
    int16_t edgeAngle;
    int16_t relativeDirection;
    uint8_t neighbourType;
} NeighbourEdge;

#define FPMATCH_CHAR_EDGES 50
#define FPMATCH_LIMIT_EDGES 3
#define FPMATCH_SCREEN_BEST 32

typedef struct CharNode {
    uint8_t index;
    int16_t x;
    int16_t y;
    int16_t angle;
    uint8_t type;
    int16_t neighbourCount;
    NeighbourEdge edges[FPMATCH_CHAR_EDGES];
} CharNode;

typedef struct LimitNode {
    uint8_t index;
    int16_t x;
    int16_t y;
    int16_t angle;
    uint8_t type;
    int16_t neighbourCount;
    NeighbourEdge edges[FPMATCH_LIMIT_EDGES];
} LimitNode;

/* Unpacks a short template given as 256 words (word k = byte 2k * 256 +
 * byte 2k+1). Writes at most 50 minutiae; `reserved` is not used. */
FPMATCH_API void XpdShortChar(const int32_t *words, ShortMinutia *minutiae, int16_t *minutiaCount,
                              int16_t *format, int16_t *quality, void *reserved);

/* Probe char graph: all 50 nodes written; edges sorted by distance. */
FPMATCH_API void BuildCharGraph(int32_t count, const ShortMinutia *minutiae, CharNode *graph);

/* Candidate limit graph: edges to the next three minutiae; `minutiae` holds
 * count + 3 entries (the last three cyclic copies of the first). */
FPMATCH_API void BuildLimitGraph(int32_t count, const ShortMinutia *minutiae, LimitNode *graph);

/* Screens candidateCount 512-byte short templates against the probe and
 * writes the list positions of the 32 best (descending, -1 where empty) to
 * bestIndices. Returns 0 for a negative count (nothing written), else 1. */
FPMATCH_API int32_t QuickSort(const uint8_t *probe, const uint8_t *candidates, int32_t candidateCount,
                              int32_t *bestIndices);

/* QuickSort lists only candidates scoring above this. */
#define FPMATCH_SCREEN_LIST_THRESHOLD 7

/* The screening score of every candidate: writes to scores[r] (r = 0 ..
 * candidateCount - 1) the score QuickSort ranks candidate r by, the number
 * of the candidate's neighbour edges that reappear in the probe's rows; 0
 * for a candidate without the 03 01 marker or without minutiae, and for
 * every candidate when the probe is null or holds no minutiae. QuickSort's
 * list is the candidates scoring above FPMATCH_SCREEN_LIST_THRESHOLD, by
 * descending score, equal scores by position, the first 32. Each score
 * depends on its candidate only, so a list may be screened in ranges (on
 * several threads). Returns candidateCount, or -1 (nothing written) for a
 * negative count or a null `scores`. Stack: FPMATCH_STACK_SCREENING. */
FPMATCH_API int32_t ScreenScores(const uint8_t *probe, const uint8_t *candidates, int32_t candidateCount,
                                 int32_t *scores);

/* ------------------------------------------------------------------------ */
/* Candidate filter for two-stage identification                            */
/* ------------------------------------------------------------------------ */

/* A fixed-size filter record is computed once per gallery template (at
 * enrolment) and stored beside it; a probe is prepared once per search; then
 * FilterScores gives every record a score, and a search compares in full
 * only the records with the best scores. The record describes the
 * template's central minutiae by the shapes of the pairs they form with
 * their nearest neighbours and by their positions; the score counts the
 * minutiae of the two templates whose neighbourhoods agree and that agree
 * on one turn and one shift of the finger. Scores depend on the probe and
 * the one record only, so blocks of records may be scored separately (on
 * several threads) and their scores compared.
 *
 * On the 320 FVC2002 records (ISO, adapted with AdaptIsoRecord), each
 * record searched against the other 319, keeping the 31 best by filter
 * score (10 %) keeps the full search's best entry for every probe whose
 * best entry is a mate; the README gives the whole curve.
 *
 * Records are plain bytes (version byte first; FPMATCH_FILTER_VERSION), the
 * same on every machine for the same template: no pointers, every byte
 * written. Any bytes may be passed as a record: a record of another layout
 * version, or a damaged one, gets a score (0 when its header is not
 * plausible) and is never read outside its FPMATCH_FILTER_RECORD_SIZE
 * bytes. A prepared filter probe (about 33 KB) is caller-owned storage like
 * PreparedProbe. */
#define FPMATCH_FILTER_RECORD_SIZE 360
#define FPMATCH_FILTER_VERSION 1
#define FPMATCH_FILTER_PROBE_SIZE 33280

typedef struct FilterProbe {
    uint64_t opaque[FPMATCH_FILTER_PROBE_SIZE / 8];
} FilterProbe;

/* Writes the filter record of a gallery template (native or ISO) to
 * out[0 .. FPMATCH_FILTER_RECORD_SIZE - 1], every byte. Returns the
 * decoder's code: 0, 1 (native version byte not 3) or 2 (minutia count
 * outside 1..50); on failure the record is still written and scores 0.
 * Returns FPMATCH_NULL_INPUT (4) when out is null (nothing written) or the
 * template is null (the record is written as failed). Stack: about 6 KB. */
FPMATCH_API int32_t MakeFilterRecord(const uint8_t *galleryTemplate, uint8_t *out);

/* Prepares a probe template for FilterScores, writing every byte of
 * *probe. Returns as MakeFilterRecord (FPMATCH_NULL_INPUT when probe is
 * null, nothing written); a probe that failed to prepare makes FilterScores
 * refuse. */
FPMATCH_API int32_t PrepareFilterProbe(const uint8_t *probeTemplate, FilterProbe *probe);

/* Scores `count` filter records laid out every `stride` bytes from
 * `records` (stride at least FPMATCH_FILTER_RECORD_SIZE; offsets in 64
 * bits) and writes scores[r] for record r: 0 or more, higher for records
 * more likely to be the probe's mates. Rank by descending score, equal
 * scores by lower position. Returns count, or -1 (nothing written) when a
 * pointer is null, count is negative, stride is below the record size, or
 * the probe failed to prepare (or is not a prepared filter probe). Stack:
 * about 24 KB. */
FPMATCH_API int32_t FilterScores(const FilterProbe *probe, const uint8_t *records, int32_t stride, int32_t count,
                                 int32_t *scores);

/* ------------------------------------------------------------------------ */
/* Helpers for callers                                                      */
/* ------------------------------------------------------------------------ */

/* Result codes of CheckTemplate, besides the decoder codes 0, 1 and 2. */
#define FPMATCH_TRUNCATED 3   /* shorter than what its header declares */
#define FPMATCH_NULL_INPUT 4  /* null pointer */

/* Tells whether a template buffer of `length` bytes may be given to the
 * decoders and the comparison functions. Returns 0 when it holds every byte
 * the decoder reads (TemplateLength) and decodes, 1 (native version byte not
 * 3), 2 (minutia count outside 1..50), 3 (shorter than TemplateLength, or too
 * short to tell) or 4 (null). */
FPMATCH_API int32_t CheckTemplate(const uint8_t *tmpl, size_t length);

/* Number of bytes the decoder reads from this template, told from the
 * header bytes among the first `available` (which may be fewer than the
 * result; compare them to see whether a buffer is complete):
 *   - ISO record ("FM"): 28 + 6 * count, 34..328; 28 when the count byte
 *     (byte 27) is outside 1..50 (the decoder reads bytes 0, 1, 27);
 *   - native template: 56 + 4 * min(count, 25), 60..156; 4 when the count
 *     (byte 3) is outside 1..50; 1 when byte 0 is not 3 (only byte 0 read).
 * Returns 0 when `tmpl` is null or `available` is too short to tell: no byte
 * (or only an "F"), an ISO record shorter than 28 bytes, a native template
 * shorter than 4. Short screening templates are always 512 bytes. */
FPMATCH_API int32_t TemplateLength(const uint8_t *tmpl, size_t available);

/* --- Template writers (section owned by the template writer) ------------ */

/* Refusals of the writers. `out` is left untouched by every one of them; a
 * field that does not fit its bits is refused, never wrapped. */
#define FPMATCH_WRITE_NULL_INPUT (-1)   /* featureSet, out, or a pointer the
                                           writer reads, is NULL */
#define FPMATCH_WRITE_TOO_SMALL (-2)    /* outLength below the template size */
#define FPMATCH_WRITE_BAD_COUNT (-3)    /* minutiaCount outside 1..50 */
#define FPMATCH_WRITE_BAD_POSITION (-4) /* x or y does not fit (see below) */
#define FPMATCH_WRITE_BAD_ANGLE (-5)    /* angle outside 0..511 */
#define FPMATCH_WRITE_BAD_TYPE (-6)     /* type neither 0 nor 1 (ISO 2, 255) */
#define FPMATCH_WRITE_BAD_SINGULAR (-7) /* singular point 0 or 1 outside 0..511 */

/* Writes a decoded feature set as a native template into `out` (capacity
 * `outLength` bytes): version 3, format byte = featureSet->format, quality,
 * count, the foreground mask (a 16 x 16 square is background only when all
 * four of its mask cells are; the outer ring of cells has no bit), singular
 * points 0 and 1 halved (odd coordinates lose their low bit; the third point
 * has no place and is not written), then all minutiaCount packed minutiae
 * (the decoder reads the first 25). Minutiae need x -256..255, y 0..511,
 * angle 0..511 (360 is kept as 360), type 0 or 1; qualities above 15 are
 * written as 15. Returns 56 + 4 * minutiaCount, or a negative
 * FPMATCH_WRITE_* code. */
FPMATCH_API int32_t WriteNativeTemplate(const FeatureSet *featureSet, uint8_t *out, size_t outLength);

/* Writes a decoded feature set as a 512-byte short screening template:
 * bytes 03 01 (the marker every screened candidate must carry), quality,
 * count, zeros, the packed minutiae from byte 56, zeros to byte 511. x and y
 * must lie in 0..511 (x is unsigned here); angle, type and quality as for
 * WriteNativeTemplate. Mask and singular points are not written. Returns 512,
 * or a negative FPMATCH_WRITE_* code. */
FPMATCH_API int32_t WriteShortTemplate(const FeatureSet *featureSet, uint8_t *out, size_t outLength);

/* --- ISO record adaptation (section owned by the ISO adapter) ----------- */

/* Refusals of AdaptIsoRecord. `out` is left untouched by every one of them. */
#define FPMATCH_ADAPT_NULL_INPUT (-1)      /* record or out is NULL */
#define FPMATCH_ADAPT_TRUNCATED (-2)       /* buffer shorter than the 24-byte record header */
#define FPMATCH_ADAPT_BAD_IDENTIFIER (-3)  /* bytes 0..3 are not "FMR\0" */
#define FPMATCH_ADAPT_BAD_VERSION (-4)     /* bytes 4..7 are not " 20\0" */
#define FPMATCH_ADAPT_LENGTH_EXCEEDS_BUFFER (-5) /* record length field > `length` */
#define FPMATCH_ADAPT_NO_VIEWS (-6)        /* number of finger views is 0 */
#define FPMATCH_ADAPT_VIEW_TRUNCATED (-7)  /* a finger view header, its minutia
                                            * entries, its extended data length
                                            * or its extended data runs past the
                                            * record length field */
#define FPMATCH_ADAPT_LENGTH_MISMATCH (-8) /* the finger views end before the
                                            * record length field says */
#define FPMATCH_ADAPT_NO_MINUTIAE (-9)     /* first finger view has no minutia */
#define FPMATCH_ADAPT_OUT_OF_RANGE (-10)   /* an adapted coordinate would leave
                                            * 0..16383 or an image size 0..65535 */
#define FPMATCH_ADAPT_OUT_TOO_SMALL (-11)  /* outCapacity below the adapted length */

/* Writes an adapted copy of an ISO/IEC 19794-2:2005 record of `length`
 * bytes (the record is the first record-length-field bytes; anything after
 * them is ignored) into `out` (capacity `outCapacity`). Returns the adapted
 * record's length, or a negative FPMATCH_ADAPT_* code. The whole record is
 * validated first. The first finger view is then adapted to the matcher's
 * 256 x 288 frame:
 *   1. more than 50 minutiae: entries 0..49 kept, count 50 (the record
 *      length shrinks; the extended data follows the kept entries);
 *   2. x or y resolution neither 197 px/cm nor 0: coordinates scaled to
 *      197 px/cm per axis, rounded to nearest; the header's resolution and
 *      image size of that axis are rewritten (scaled), and the coordinates of
 *      later finger views are scaled too so the shared header stays true;
 *   3. recentred: the bounding box centre of the minutiae is moved to
 *      (128, 144), keeping x >= 1 and y >= 0 (type and reserved bits kept);
 *      the image size is raised where any minutia of the record would lie
 *      outside it;
 *   4. when every quality byte of the kept minutiae is 0, each becomes 100
 *      (the finger quality byte is kept).
 * Everything else (later finger views apart from the scaling in 2, extended
 * data) is copied unchanged.
 * An adapted record adapts to itself. `out` may be `record` itself (in-place
 * adaptation); other overlaps are not allowed. Allocates nothing. */
FPMATCH_API int32_t AdaptIsoRecord(const uint8_t *record, size_t length, uint8_t *out, size_t outCapacity);

#ifdef __cplusplus
}
#endif

#endif /* FPMATCH_H */
