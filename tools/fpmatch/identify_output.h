// Output of identification over a packed gallery, shared by
// `fpmatch identify --gallery` and fpmatch-mpi so that both print the same
// bytes for the same result.
//
// Text: per probe a line with the probe's path, then one line per hit,
// RANK<TAB>SCORE<TAB>INDEX<TAB>NAME (rank from 1).
// JSON: {"gallery": PATH, "top": K, "threshold": T,
//        "probes": [{"probe": PATH, "hits": [{"name", "index", "score"}, ...]}, ...]}
#ifndef FPMATCH_TOOL_IDENTIFY_OUTPUT_H
#define FPMATCH_TOOL_IDENTIFY_OUTPUT_H

#include <cstdint>
#include <string>
#include <vector>

namespace fpmatch::tool {

// One hit with the gallery entry's name.
struct NamedHit {
    int32_t index = 0;  // global gallery position
    int32_t score = 0;
    std::string name;
};

// The hits of one probe, best first (HitBefore order), already cut to the
// top K and to the threshold.
struct ProbeHits {
    std::string probe;
    std::vector<NamedHit> hits;
};

// Prints the results on standard output (through Print/PrintJson: a failed
// write throws OutputError).
// How many hits per probe a packed-gallery search lists when --top is not
// given (fpmatch identify --gallery and fpmatch-mpi identify).
constexpr int32_t kDefaultGalleryTop = 10;

void PrintGalleryHits(const std::string& gallery, int32_t top, int32_t threshold,
                      const std::vector<ProbeHits>& results, bool json);

}  // namespace fpmatch::tool

#endif
