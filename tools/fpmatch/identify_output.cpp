#include "identify_output.h"

#include "file_io.h"
#include "id_gallery.h"
#include "output.h"

namespace fpmatch::tool {

void PrintGalleryHits(const std::string& gallery, bool byEntry, int32_t top, int32_t threshold,
                      const std::vector<ProbeHits>& results, bool json) {
    if (json) {
        Json probes = Json::array();
        for (const ProbeHits& p : results) {
            Json hits = Json::array();
            for (const FpmHit& h : p.hits) hits.push_back({{"subject", SubjectOf(h)}, {"score", h.score}, {"entry", h.entry}});
            probes.push_back({{"probe", p.probe}, {"hits", hits}});
        }
        Json j;
        j["gallery"] = gallery;
        j["by"] = byEntry ? "entry" : "subject";
        j["top"] = top;
        j["threshold"] = threshold;
        j["probes"] = probes;
        PrintJson(j);
        return;
    }
    for (const ProbeHits& p : results) {
        Print("{}\n", p.probe);
        int rank = 0;
        for (const FpmHit& h : p.hits) Print("{}\t{}\t{}\t{}\n", ++rank, h.score, h.entry, SubjectOf(h));
    }
}

}  // namespace fpmatch::tool
