// Searches over a packed gallery on every thread: the k best entries for a
// probe, the first entry reaching a threshold, and two-stage identification
// (screening on the short templates, then full comparison of the kept
// candidates). Shared by `fpmatch identify --gallery` and fpmatch-mpi; each
// result is the same for any number of threads, and a range searched in
// parts and merged with MergeHits equals one search over the whole range.
#ifndef FPMATCH_TOOL_GALLERY_SEARCH_H
#define FPMATCH_TOOL_GALLERY_SEARCH_H

#include <cstdint>
#include <vector>

#include "fpmatch.h"
#include "gallery_file.h"

namespace fpmatch::tool {

// Orders hits as the library does: score descending, equal scores by lower
// index.
bool HitBefore(const SearchHit& a, const SearchHit& b);

// The k first of several ranked lists, in HitBefore order.
std::vector<SearchHit> MergeHits(std::vector<SearchHit> hits, int32_t k);

// The k best of entries first .. first + count - 1 (SearchGalleryTopK over
// blocks of the range on `threads` threads, merged).
std::vector<SearchHit> RankGallery(const MappedGallery& gallery, const PreparedProbe& probe, int32_t first,
                                   int32_t count, int32_t k, unsigned threads);

// The first entry of first .. first + count - 1, in gallery order, whose
// score reaches `threshold`: {index, score}, or index -1 when none does.
// Every thread compares a block of each wave (MatchPreparedList), so the
// gallery is passed over once.
SearchHit FirstInGallery(const MappedGallery& gallery, const PreparedProbe& probe, int32_t first, int32_t count,
                         int32_t threshold, unsigned threads);

// Two-stage identification: every entry's short template is screened
// against the probe's short template (ScreenScores; an entry without one
// scores 0), the `keep` best screening scores (ties by lower index) go on to
// the full comparison, and the k best of those are returned. Needs a gallery
// packed with short templates.
std::vector<SearchHit> RankScreened(const MappedGallery& gallery, const PreparedProbe& probe,
                                    const uint8_t* probeShort, int32_t keep, int32_t k, unsigned threads);

// Whether every segment of the gallery holds short templates.
bool GalleryHasShorts(const MappedGallery& gallery);

}  // namespace fpmatch::tool

#endif
