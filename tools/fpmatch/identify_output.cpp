#include "identify_output.h"

#include "file_io.h"
#include "output.h"

namespace fpmatch::tool {

void PrintGalleryHits(const std::string& gallery, int32_t top, int32_t threshold,
                      const std::vector<ProbeHits>& results, bool json) {
    if (json) {
        Json probes = Json::array();
        for (const ProbeHits& p : results) {
            Json hits = Json::array();
            for (const NamedHit& h : p.hits) hits.push_back({{"name", h.name}, {"index", h.index}, {"score", h.score}});
            probes.push_back({{"probe", p.probe}, {"hits", hits}});
        }
        Json j;
        j["gallery"] = gallery;
        j["top"] = top;
        j["threshold"] = threshold;
        j["probes"] = probes;
        PrintJson(j);
        return;
    }
    for (const ProbeHits& p : results) {
        Print("{}\n", p.probe);
        int rank = 0;
        for (const NamedHit& h : p.hits) Print("{}\t{}\t{}\t{}\n", ++rank, h.score, h.index, h.name);
    }
}

}  // namespace fpmatch::tool
