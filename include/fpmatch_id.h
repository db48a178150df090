/* fpmatch_id.h - the fpmatch identification library (libfpmatch-id).
 *
 * Galleries of enrolled subjects kept in one file: create, open, add
 * templates under a subject id, remove subjects, commit, compact, check, and
 * identify a probe among the subjects (or the templates) on every core. The
 * scores are the core library's (fpmatch.h): a subject's score is the best
 * Match2Score of the probe against its templates.
 *
 * Conventions
 *   - Every function returns an int32_t code: 0 (FPM_OK) or a positive count
 *     where it says so, a negative FPM_E_* code on failure. FpmCodeText gives
 *     the fixed text of any code; FpmLastErrorDetail the full message of the
 *     last failure on the calling thread (file, part, system error).
 *   - Codes of the core library are carried in their own ranges
 *     (FpmFromCoreCode), so one text table serves both libraries.
 *   - Handles are opaque. One handle may be used from any number of threads
 *     at once: searches run side by side; add, remove, commit, compact and
 *     refresh wait for the searches under way and then run alone. Close a
 *     handle once, when no other call on it is running.
 *   - Nothing is thrown across this interface; an allocation failure is
 *     FPM_E_NO_MEMORY.
 *
 * Files
 *   One writer at a time: opening for writing takes an exclusive lock on the
 *   file (another process, or another handle in this one, is refused with
 *   FPM_E_LOCKED). Any number of readers in any number of processes; readers
 *   take no lock and never wait. A commit becomes visible in one step: a
 *   reader sees it after FpmGalleryRefresh and never sees half of one; a
 *   writer killed at any moment leaves the last committed state. The format
 *   is described in docs/gallery-format.md; files written by `fpmatch pack`
 *   before this library (format version 1) open read-only and search.
 */
#ifndef FPMATCH_ID_H
#define FPMATCH_ID_H

#include <stddef.h>
#include <stdint.h>

#include "fpmatch.h"

#if defined(FPMATCH_ID_BUILDING_LIBRARY)
#define FPM_API __attribute__((visibility("default")))
#else
#define FPM_API
#endif
#define FPM_CHECK_RESULT __attribute__((warn_unused_result))

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Codes                                                                    */
/* ------------------------------------------------------------------------ */

#define FPM_OK 0
#define FPM_E_NO_MEMORY (-1)       /* an allocation failed */
#define FPM_E_IO (-2)              /* reading, writing, syncing or mapping the file failed */
#define FPM_E_NO_FILE (-3)         /* no such file */
#define FPM_E_EXISTS (-4)          /* create: the file exists already */
#define FPM_E_LOCKED (-5)          /* another writer has the gallery open */
#define FPM_E_READ_ONLY (-6)       /* a change through a read-only handle or to a version-1 gallery */
#define FPM_E_ARGUMENT (-7)        /* a null pointer or an option outside its range */
#define FPM_E_SUBJECT (-8)         /* a subject id that is empty, longer than 255 bytes or not UTF-8 */
#define FPM_E_UNKNOWN_SUBJECT (-9) /* no template of that subject in the gallery */
#define FPM_E_DAMAGED (-10)        /* a checksum or a structure does not hold; the detail names the part */
#define FPM_E_NOT_GALLERY (-11)    /* the file is not a gallery */
#define FPM_E_VERSION (-12)        /* a gallery format version this library does not read */
#define FPM_E_FULL (-13)           /* the gallery would pass 2^31 - 1 templates */
#define FPM_E_PENDING (-14)        /* compact: uncommitted changes; commit or discard them first */
#define FPM_E_NOT_SCREENABLE (-15) /* the probe cannot become a short template for screening */

/* Core codes carried in the identification library's code space. */
#define FPM_FAMILY_TEMPLATE 1 /* CheckTemplate codes 1..4 (and the decoders' 1, 2) */
#define FPM_FAMILY_GALLERY 2  /* FPMATCH_GALLERY_* codes -1..-14 (version-1 galleries) */
#define FPM_FAMILY_ADAPT 3    /* FPMATCH_ADAPT_* codes -1..-11 */
#define FPM_FAMILY_WRITE 4    /* FPMATCH_WRITE_* codes -1..-7 */
#define FPM_E_TEMPLATE_BASE (-100) /* template code k is -100 - k */
#define FPM_E_GALLERY_BASE (-200)  /* gallery code c is -200 + c */
#define FPM_E_ADAPT_BASE (-300)    /* adapt code c is -300 + c */
#define FPM_E_WRITE_BASE (-400)    /* writer code c is -400 + c */

/* The identification library's code for core code `code` of `family`.
 * Returns the code above, FPM_OK for a core code 0, or FPM_E_ARGUMENT for
 * an unknown family. */
FPM_API int32_t FpmFromCoreCode(int32_t family, int32_t code);

/* The fixed English text of a code (never NULL; "unknown code" for one
 * this library does not define). Static storage. */
FPM_API const char *FpmCodeText(int32_t code);

/* The full message of the last failure of a call of this library on the
 * calling thread: the code's text with the file, the part and the system's
 * reason where they are known. Valid until the thread's next call; "" when
 * no call has failed. */
FPM_API const char *FpmLastErrorDetail(void);

/* ------------------------------------------------------------------------ */
/* Galleries                                                                */
/* ------------------------------------------------------------------------ */

typedef struct FpmGallery FpmGallery;

#define FPM_SUBJECT_MAX 255 /* bytes of a subject id (UTF-8, no NUL) */
#define FPM_OPEN_READ 0
#define FPM_OPEN_WRITE 1

/* Creates a new empty gallery at `path` (which must not exist) and opens it
 * for writing. The empty gallery is on disk, synced, before this returns.
 * Returns FPM_OK and sets *gallery, or a code (*gallery untouched). */
FPM_API int32_t FpmGalleryCreate(const char *path, FpmGallery **gallery) FPM_CHECK_RESULT;

/* Opens a gallery for reading (FPM_OPEN_READ) or writing (FPM_OPEN_WRITE).
 * Opening checks the file's header and the header of every part (time in
 * the number of parts, not templates), plus the removal lists. Returns
 * FPM_OK and sets *gallery, or a code. */
FPM_API int32_t FpmGalleryOpen(const char *path, int32_t mode, FpmGallery **gallery) FPM_CHECK_RESULT;

/* Closes the handle, dropping uncommitted changes and the writer's lock.
 * NULL is accepted. */
FPM_API void FpmGalleryClose(FpmGallery *gallery);

typedef struct FpmGalleryStat {
    int32_t version;    /* format version of the file (1 or 2) */
    int32_t writable;   /* 1 for a writer's handle */
    int64_t templates;  /* templates that can be found (removed ones not counted) */
    int64_t subjects;   /* subjects with at least one such template */
    int64_t entries;    /* stored templates, removed ones included (positions 0..entries-1) */
    int64_t removed;    /* stored but removed templates (compaction drops them) */
    int64_t shorts;     /* templates stored with a short screening template */
    int64_t parts;      /* parts of the file */
    uint64_t commit;    /* number of the commit this handle sees */
    uint64_t fileSize;  /* bytes of the file that belong to that commit */
    int64_t pendingTemplates; /* added, not yet committed */
    int64_t pendingRemovals;  /* templates whose removal is not yet committed */
    int64_t nextId;     /* the id the next committed template gets: every stored id is
                           below it (version 1: the entry count, ids being positions) */
} FpmGalleryStat;

/* Fills *stat for the state this handle sees. Counting subjects reads every
 * entry the first time after an open or refresh. Returns FPM_OK or a code. */
FPM_API int32_t FpmGalleryGetStat(FpmGallery *gallery, FpmGalleryStat *stat);

/* What the committed, findable templates are stored with, for searching.
 * A template with a compact record is compared without being decoded; one
 * without (parts written before fpmatch 1.1) is prepared on the fly, more
 * slowly, until FpmGalleryCompact gives it one. */
typedef struct FpmGalleryStorage {
    int64_t templates;      /* templates that can be found, as in FpmGalleryStat */
    int64_t compactRecords; /* of them, stored with a compact record */
    int64_t filterRecords;  /* of them, stored with a candidate filter record */
    uint64_t compactBytes;  /* bytes of compact records in the committed parts,
                               removed templates' included */
} FpmGalleryStorage;

/* Fills *storage for the state this handle sees; reads every part's
 * directory once. Returns FPM_OK or a code. */
FPM_API int32_t FpmGalleryGetStorage(FpmGallery *gallery, FpmGalleryStorage *storage);

/* One stored template. The pointers point into the handle's map of the
 * file and stay valid until the next refresh, commit, compact or close. */
typedef struct FpmEntry {
    int64_t id;                   /* template id: given at add, kept by compaction */
    const uint8_t *templateData;  /* templateLength bytes */
    int32_t templateLength;
    int32_t removed;              /* 1 when removed (not yet compacted away) */
    const uint8_t *shortTemplate; /* 512 bytes, or NULL when none is stored */
    int32_t subjectLength;
    char subject[FPM_SUBJECT_MAX + 1]; /* NUL-terminated */
} FpmEntry;

/* The entry at `position` (0 .. entries - 1, in file order). Returns FPM_OK,
 * FPM_E_ARGUMENT for a position outside the gallery, or FPM_E_DAMAGED when
 * its directory record does not fit its part. */
FPM_API int32_t FpmGalleryGetEntry(FpmGallery *gallery, int64_t position, FpmEntry *entry);

/* Subject number k (0 .. subjects - 1, in the order of their first stored
 * template) with the number of its templates. Returns FPM_OK or a code. */
FPM_API int32_t FpmGalleryGetSubject(FpmGallery *gallery, int64_t k, char subject[FPM_SUBJECT_MAX + 1],
                                     int32_t *templates);

/* ------------------------------------------------------------------------ */
/* Changes (writers only; visible to searches after FpmGalleryCommit)       */
/* ------------------------------------------------------------------------ */

#define FPM_ADD_ADAPT 1 /* adapt an ISO/IEC 19794-2 record first (AdaptIsoRecord) */

/* The most bytes of a template a gallery stores: TemplateLength() of any
 * template, the bytes the comparison reads (an ISO record's extended data
 * is not kept). */
#define FPM_STORED_TEMPLATE_MAX 328

/* Adds a template under `subject` (NUL-terminated UTF-8, 1..255 bytes). The
 * template must pass CheckTemplate (after adaptation with FPM_ADD_ADAPT);
 * the bytes the comparison reads are stored, with its candidate filter
 * record (MakeFilterRecord) for screened searches. A subject may hold any
 * number of templates. Returns FPM_OK, or a code with nothing added: FPM_E_SUBJECT,
 * a template or adapt code, FPM_E_READ_ONLY, FPM_E_FULL, FPM_E_ARGUMENT. */
FPM_API int32_t FpmGalleryAdd(FpmGallery *gallery, const char *subject, const uint8_t *tmpl, size_t length,
                              int32_t flags) FPM_CHECK_RESULT;

/* Removes every template of `subject`, committed or added in this batch.
 * Returns the number of templates removed (1 or more), or a code with
 * nothing changed: FPM_E_UNKNOWN_SUBJECT, FPM_E_SUBJECT, FPM_E_READ_ONLY. */
FPM_API int32_t FpmGalleryRemove(FpmGallery *gallery, const char *subject) FPM_CHECK_RESULT;

/* Makes the batch of adds and removals durable in one step (written, synced,
 * then switched to in one header write, synced). Returns FPM_OK (also for an
 * empty batch), or a code; on failure the file keeps its last committed
 * state and the batch stays pending. */
FPM_API int32_t FpmGalleryCommit(FpmGallery *gallery) FPM_CHECK_RESULT;

/* Drops the uncommitted batch. Returns FPM_OK or FPM_E_READ_ONLY. */
FPM_API int32_t FpmGalleryDiscard(FpmGallery *gallery);

/* Rewrites the gallery without its removed templates: written beside the
 * file, synced, and renamed over it in one step; template ids, subjects and
 * every search result stay the same. Readers that have the old file open go
 * on reading it until they refresh. Returns FPM_OK, FPM_E_PENDING when the
 * batch is not empty, or a code (the gallery is then unchanged). */
FPM_API int32_t FpmGalleryCompact(FpmGallery *gallery) FPM_CHECK_RESULT;

/* Moves a handle to the last committed state of its file (following a
 * compaction's rename). Returns 1 when the state changed, 0 when not, or a
 * code (the handle keeps its state). A writer's handle is always current. */
FPM_API int32_t FpmGalleryRefresh(FpmGallery *gallery);

/* Verifies every checksum and every directory record of the state the
 * handle sees (reads the whole file). Returns FPM_OK or FPM_E_DAMAGED, with
 * the damaged part named in FpmLastErrorDetail. */
FPM_API int32_t FpmGalleryCheck(FpmGallery *gallery);

/* ------------------------------------------------------------------------ */
/* Search                                                                   */
/* ------------------------------------------------------------------------ */

/* One hit: a subject (or, by entry, one template) with its score. */
typedef struct FpmHit {
    int64_t entry;  /* id of the template that gave the score */
    int32_t score;  /* 0..100, what Match2Score gives */
    int32_t subjectLength;
    char subject[FPM_SUBJECT_MAX + 1]; /* NUL-terminated */
} FpmHit;

typedef struct FpmSearchOptions {
    int32_t top;        /* hits wanted, 1 or more; 0 = all */
    int32_t threshold;  /* only hits scoring at least this, 0..100 */
    int32_t threads;    /* 0 = every core, else 1 or more */
    int32_t screen;     /* 0: compare every template; N > 0: screen first
                           and compare the N best candidates in full */
    int32_t byEntry;    /* 1: rank templates, not subjects */
    int32_t adaptProbe; /* 1: adapt an ISO probe first (AdaptIsoRecord) */
    int64_t first;      /* search positions first .. first + count - 1 */
    int64_t count;      /* -1: to the end */
} FpmSearchOptions;

/* Default options: top 10, threshold 0, every core, no screening, by
 * subject, no adaptation, the whole gallery. */
FPM_API void FpmSearchOptionsInit(FpmSearchOptions *options);

/* Hit order, the same for every search and merge: score descending, equal
 * scores by lower template id. By subject, each subject appears once, with
 * its best template (the first in that order): the subject ranking is the
 * template ranking with later templates of a listed subject left out. So a
 * gallery searched in ranges (threads, processes, shards) and merged with
 * FpmMergeHits gives the same hits as one search, when every range keeps
 * at least `top` hits. */

/* Identifies a probe template among the gallery's committed templates.
 * Writes up to `capacity` hits in hit order to hits[] (top 0: all, up to
 * capacity). With screening, every template's stored candidate filter
 * record is scored against the probe (FilterScores; galleries written
 * without filter records, such as version-1 files, screen the short
 * templates with ScreenScores instead, a template without one scoring 0),
 * the `screen` best scores (ties by position) go on to the full comparison,
 * and the hits are ranked among those; with screen at least the number of
 * templates searched the result equals the full search. A probe that
 * cannot be screened returns FPM_E_NOT_SCREENABLE under screening. The candidates are chosen within the searched range, so
 * screened searches of parts of a gallery, merged, need not equal one
 * screened search of the whole. Returns the number of hits written, or a
 * code. */
FPM_API int32_t FpmGalleryIdentify(FpmGallery *gallery, const uint8_t *probe, size_t probeLength,
                                   const FpmSearchOptions *options, FpmHit *hits, int32_t capacity);

/* Identifies several probes in one pass over the gallery: each stored
 * compact record is read once for all of them (MatchPreparedCompactPackedBatch),
 * so a batch costs less than one FpmGalleryIdentify per probe. probes[k]
 * (probeLengths[k] bytes) gets exactly the hits FpmGalleryIdentify gives it
 * with the same options, written to hits[k * capacity .. k * capacity +
 * capacity - 1] (hits holds probeCount * capacity), and counts[k] receives
 * their number, or the probe's own code (a template or adapt code;
 * FPM_E_NOT_SCREENABLE under screening), FpmLastErrorDetail then telling the
 * last such failure. A screened search gains nothing from the batch: its
 * candidates differ from probe to probe. Needs one byte per template for
 * each of up to FPMATCH_BATCH_MAX_PROBES probes at a time besides the
 * caller's buffers. Returns FPM_OK, or a code for the whole
 * call (FPM_E_ARGUMENT, FPM_E_DAMAGED, FPM_E_NO_MEMORY), counts[] then not
 * to be read. */
FPM_API int32_t FpmGalleryIdentifyBatch(FpmGallery *gallery, const uint8_t *const *probes,
                                        const size_t *probeLengths, int32_t probeCount,
                                        const FpmSearchOptions *options, FpmHit *hits, int32_t capacity,
                                        int32_t *counts);

/* The best score of the probe against the templates of `subject`: writes it
 * with the template's id to *hit (when not NULL) and returns the score
 * 0..100, or a code (FPM_E_UNKNOWN_SUBJECT, a template code, ...). The
 * first verification or removal after an open or refresh reads every entry
 * and indexes the subject ids. */
FPM_API int32_t FpmGalleryVerify(FpmGallery *gallery, const char *subject, const uint8_t *probe,
                                 size_t probeLength, int32_t adaptProbe, FpmHit *hit);

/* Merges hit lists (concatenated in `hits`, `count` of them) into one list
 * in hit order: by subject (bySubject 1) each subject once, with its best
 * hit; hits below `threshold` dropped; the first `top` (0 = all) written to
 * out[0 .. capacity - 1]. `out` may not overlap `hits`. Returns the number
 * written, or FPM_E_ARGUMENT. */
FPM_API int32_t FpmMergeHits(const FpmHit *hits, int64_t count, int32_t bySubject, int32_t top,
                             int32_t threshold, FpmHit *out, int32_t capacity);

/* Ranks templates the caller holds in memory: entries laid out every
 * `stride` bytes in list[0 .. listLength - 1] (the last one may be cut
 * short), compared with a prepared probe (PrepareProbe) on `threads`
 * threads (0: every core). An entry whose bytes, from its start to the end
 * of the list, do not hold a whole template that decodes (CheckTemplate) is
 * not read and ranks with score 0, as SearchTopK ranks an entry that fails
 * to decode. Writes the `top` best (0: every entry), at most `capacity`, to
 * hits[] in SearchTopK's order: score descending, equal scores by lower
 * index. The hits are those of one SearchTopK over the whole list, whatever
 * the thread count. Needs one byte per entry besides the caller's buffers.
 * Returns the number of hits written, FPM_E_ARGUMENT (a null pointer, a
 * stride below 1, a negative top, thread count or capacity, more than 2^31
 * entries, or a probe record that does not read back) or FPM_E_NO_MEMORY. */
FPM_API int32_t FpmSearchList(const PreparedProbe *probe, const uint8_t *list, size_t listLength, int32_t stride,
                              int32_t top, int32_t threads, SearchHit *hits, int32_t capacity);

/* The folder-and-finger subject of a template file name, as `fpmatch
 * gallery add` enrols files: "DB1_B/101_3.iso" gives "DB1_B/101" (the
 * parent folder's name, "/", the name up to its last "_"; without a "_",
 * the name without its extension). Writes a NUL-terminated id to out and
 * returns its length, or FPM_E_SUBJECT when none can be made. */
FPM_API int32_t FpmSubjectFromPath(const char *path, char out[FPM_SUBJECT_MAX + 1]);

#ifdef __cplusplus
}
#endif

#endif /* FPMATCH_ID_H */
