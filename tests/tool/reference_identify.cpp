// The brute-force reference for the identification tests of fpmatch and
// fpmatch-mpi: every committed template of the gallery (one file, or shard
// files whose template ids follow one another: each shard's ids plus the
// next template ids of the shards before it) scored against each probe with
// Match2Score, one template at a time; ranked by score descending, then
// template id ascending; by subject, each subject once with its best
// template. Printed as `fpmatch identify --gallery` prints its result.
//   reference_identify --gallery A[,B...] [--top K] [--threshold T] [--entries] [--adapt] [--json] PROBE...
//   reference_identify --gallery A --verify SUBJECT [--adapt] PROBE   (the subject's best score)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "commands.h"
#include "id_gallery.h"
#include "identify_output.h"
#include "report.h"
#include "template_load.h"

using namespace fpmatch::tool;

namespace {

// A committed template: its id in the whole, its subject, its bytes.
struct Stored {
    int64_t id;
    std::string subject;
    const uint8_t* bytes;
};

FpmHit Hit(const Stored& s, int32_t score) {
    FpmHit h{};
    h.entry = s.id;
    h.score = score;
    h.subjectLength = static_cast<int32_t>(s.subject.size());
    std::memcpy(h.subject, s.subject.data(), s.subject.size());
    return h;
}

}  // namespace

int main(int argc, char** argv) {
    std::string gallery, verify;
    int top = 10, threshold = 0;
    bool adapt = false, json = false, entries = false;
    std::vector<std::string> probes;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--gallery" && i + 1 < argc) gallery = argv[++i];
        else if (a == "--verify" && i + 1 < argc) verify = argv[++i];
        else if (a == "--top" && i + 1 < argc) top = std::atoi(argv[++i]);
        else if (a == "--threshold" && i + 1 < argc) threshold = std::atoi(argv[++i]);
        else if (a == "--adapt") adapt = true;
        else if (a == "--json") json = true;
        else if (a == "--entries") entries = true;
        else probes.push_back(a);
    }
    if (gallery.empty() || top < 0 || probes.empty()) {
        std::fprintf(stderr, "usage: reference_identify --gallery A[,B...] [--top K] [--threshold T] [--entries] "
                             "[--adapt] [--json] [--verify SUBJECT] PROBE...\n");
        return 2;
    }
    return RunAtBoundary([&]() -> int {
        std::vector<GalleryHandle> open;
        std::vector<Stored> stored;
        int64_t offset = 0;
        for (size_t from = 0; from <= gallery.size();) {
            const size_t comma = std::min(gallery.find(',', from), gallery.size());
            const std::string path = gallery.substr(from, comma - from);
            from = comma + 1;
            int exit = 0;
            open.push_back(OpenGallery(path, FPM_OPEN_READ, &exit));
            FpmGalleryStat st{};
            if (!open.back() || !GalleryStat(open.back().get(), path, &st, &exit)) return exit;
            for (int64_t p = 0; p < st.entries; ++p) {
                FpmEntry e{};
                if (const int32_t rc = FpmGalleryGetEntry(open.back().get(), p, &e); rc != FPM_OK) {
                    ReportLibrary(path, rc);
                    return kExitInput;
                }
                if (!e.removed) stored.push_back(Stored{offset + e.id, SubjectOf(e), e.templateData});
            }
            offset += st.nextId;
        }
        std::vector<ProbeHits> results;
        for (const std::string& path : probes) {
            std::string reason;
            const auto t = LoadTemplate(path, LoadOptions{adapt}, &reason);
            if (!t) {
                Report(path, reason);
                return kExitInput;
            }
            // Every template's score, in id order; by subject the best of each.
            std::vector<FpmHit> all;
            std::map<std::string, size_t> bestOf;
            for (const Stored& s : stored) {
                const int32_t score = Match2Score(t->bytes.data(), s.bytes);
                if (entries) {
                    all.push_back(Hit(s, score));
                    continue;
                }
                const auto [it, fresh] = bestOf.emplace(s.subject, all.size());
                if (fresh) all.push_back(Hit(s, score));
                else if (score > all[it->second].score) all[it->second] = Hit(s, score);
            }
            if (!verify.empty()) {
                const auto it = bestOf.find(verify);
                if (it == bestOf.end()) return kExitInput;
                std::printf("%d\n", all[it->second].score);
                return kExitOk;
            }
            std::stable_sort(all.begin(), all.end(), [](const FpmHit& a, const FpmHit& b) {
                return a.score != b.score ? a.score > b.score : a.entry < b.entry;
            });
            ProbeHits ph{t->path, {}};
            for (const FpmHit& h : all)
                if (h.score >= threshold && (top == 0 || ph.hits.size() < static_cast<size_t>(top))) ph.hits.push_back(h);
            results.push_back(std::move(ph));
        }
        PrintGalleryHits(gallery, entries, top, threshold, results, json);
        return kExitOk;
    });
}
