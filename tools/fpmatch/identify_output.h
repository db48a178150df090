// Output of identification over a gallery, shared by `fpmatch identify
// --gallery` and fpmatch-mpi so that both print the same bytes for the same
// result.
//
// Text: per probe a line with the probe's path, then one line per hit,
// RANK<TAB>SCORE<TAB>ENTRY<TAB>SUBJECT (rank from 1; ENTRY is the id of the
// template that gave the score).
// JSON: {"gallery": PATH, "by": "subject"|"entry", "top": K, "threshold": T,
//        "probes": [{"probe": PATH, "hits": [{"subject", "score", "entry"}, ...]}, ...]}
#ifndef FPMATCH_TOOL_IDENTIFY_OUTPUT_H
#define FPMATCH_TOOL_IDENTIFY_OUTPUT_H

#include <cstdint>
#include <string>
#include <vector>

#include "fpmatch_id.h"

namespace fpmatch::tool {

// The hits of one probe in hit order, already cut to the top K and to the
// threshold.
struct ProbeHits {
    std::string probe;
    std::vector<FpmHit> hits;
};

// Prints the results on standard output (through Print/PrintJson: a failed
// write throws OutputError).
// How many hits per probe a packed-gallery search lists when --top is not
// given (fpmatch identify --gallery and fpmatch-mpi identify).
constexpr int32_t kDefaultGalleryTop = 10;

void PrintGalleryHits(const std::string& gallery, bool byEntry, int32_t top, int32_t threshold,
                      const std::vector<ProbeHits>& results, bool json);

}  // namespace fpmatch::tool

#endif
