// The single-process reference for the fpmatch-mpi tests: every entry of
// the gallery (one file or shards, numbered in order) scored against each
// probe with Match2Score, one entry at a time, ranked score descending then
// index ascending, printed as fpmatch-mpi prints its result.
//   mpi_reference --gallery A[,B...] --top K [--threshold T] [--adapt] [--json] PROBE...
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "gallery_file.h"
#include "identify_output.h"
#include "report.h"
#include "template_load.h"

using namespace fpmatch::tool;

int main(int argc, char** argv) {
    std::string gallery;
    int top = 0, threshold = 0;
    bool adapt = false, json = false;
    std::vector<std::string> probes;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--gallery" && i + 1 < argc) gallery = argv[++i];
        else if (a == "--top" && i + 1 < argc) top = std::atoi(argv[++i]);
        else if (a == "--threshold" && i + 1 < argc) threshold = std::atoi(argv[++i]);
        else if (a == "--adapt") adapt = true;
        else if (a == "--json") json = true;
        else probes.push_back(a);
    }
    if (gallery.empty() || top <= 0 || probes.empty()) {
        std::fprintf(stderr, "usage: mpi_reference --gallery A[,B...] --top K [--threshold T] [--adapt] [--json] PROBE...\n");
        return 2;
    }
    return RunAtBoundary([&] {
        // Every entry's template and name, in global order.
        std::vector<std::unique_ptr<MappedGallery>> maps;
        std::vector<std::pair<const MappedGallery*, int32_t>> entries;
        for (size_t from = 0; from <= gallery.size();) {
            const size_t comma = std::min(gallery.find(',', from), gallery.size());
            std::string reason;
            maps.push_back(MappedGallery::Open(gallery.substr(from, comma - from), &reason));
            if (!maps.back()) {
                Report(gallery.substr(from, comma - from), reason);
                return kExitInput;
            }
            for (int32_t i = 0; i < maps.back()->Info().entryCount; ++i) entries.emplace_back(maps.back().get(), i);
            from = comma + 1;
        }
        std::vector<ProbeHits> results;
        for (const std::string& path : probes) {
            std::string reason;
            const auto t = LoadTemplate(path, LoadOptions{adapt}, &reason);
            if (!t) {
                Report(path, reason);
                return kExitInput;
            }
            std::vector<NamedHit> all;
            for (size_t i = 0; i < entries.size(); ++i) {
                GalleryEntry e{};
                std::string why;
                const int32_t score = entries[i].first->Entry(entries[i].second, &e, &why)
                                          ? Match2Score(t->bytes.data(), e.templateData)
                                          : 0;
                all.push_back(NamedHit{static_cast<int32_t>(i), score, entries[i].first->Name(entries[i].second)});
            }
            std::stable_sort(all.begin(), all.end(), [](const NamedHit& a, const NamedHit& b) { return a.score > b.score; });
            ProbeHits ph{path, {}};
            for (size_t i = 0; i < all.size() && i < static_cast<size_t>(top); ++i)
                if (all[i].score >= threshold) ph.hits.push_back(all[i]);
            results.push_back(std::move(ph));
        }
        PrintGalleryHits(gallery, top, threshold, results, json);
        return kExitOk;
    });
}
