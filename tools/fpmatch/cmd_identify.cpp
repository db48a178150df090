// identify PROBE GALLERY...: every gallery template scored against the probe,
// best first; or with --first the first template in gallery order that
// reaches a threshold.
#include <algorithm>
#include <climits>
#include <memory>
#include <numeric>

#include "commands.h"
#include "file_io.h"
#include "gallery.h"
#include "output.h"
#include "parallel.h"
#include "report.h"

namespace fpmatch::tool {

namespace {

struct IdentifyOptions {
    std::string probe;
    std::vector<std::string> gallery;
    std::string list;
    int top = 0;
    int threshold = 0;
    unsigned threads = 0;
    bool first = false, strict = false, adapt = false, json = false;
};

constexpr int32_t kFirstBlock = 64;  // entries per MatchPreparedList call in --first

struct FirstResult {
    bool found = false;
    size_t index = 0;
    int32_t score = 0;
    size_t examined = 0;  // entries compared, in gallery order, up to the one found
};

// The usable templates packed at a fixed stride (the longest TemplateLength).
std::vector<uint8_t> Pack(const std::vector<Template>& gallery, int32_t* stride) {
    size_t s = 1;
    for (const Template& t : gallery) s = std::max<size_t>(s, static_cast<size_t>(TemplateLength(t.bytes.data(), t.bytes.size())));
    std::vector<uint8_t> packed(s * gallery.size(), 0);
    for (size_t i = 0; i < gallery.size(); ++i)
        std::copy_n(gallery[i].bytes.begin(), std::min(s, gallery[i].bytes.size()), packed.begin() + i * s);
    *stride = static_cast<int32_t>(s);
    return packed;
}

// One pass in gallery order: blocks of the packed gallery are compared on
// every thread (MatchPreparedList: one outcome per entry, never stopping),
// wave after wave, until a wave holds an entry that reaches the threshold.
FirstResult SearchFirst(const PreparedProbe& probe, const std::vector<Template>& gallery, int threshold,
                        unsigned threads) {
    int32_t stride = 0;
    const std::vector<uint8_t> packed = Pack(gallery, &stride);
    const int32_t n = static_cast<int32_t>(gallery.size());
    std::vector<int32_t> outcomes(gallery.size(), 0);
    const int32_t wave = kFirstBlock * 4 * static_cast<int32_t>(ResolveThreads(threads));
    FirstResult r;
    for (int32_t from = 0; from < n; from += wave) {
        const int32_t to = std::min(n, from + wave);
        const size_t blocks = static_cast<size_t>((to - from + kFirstBlock - 1) / kFirstBlock);
        ParallelFor(blocks, threads, "searched", [&](size_t b) {
            const int32_t first = from + static_cast<int32_t>(b) * kFirstBlock;
            const int32_t count = std::min(kFirstBlock, to - first);
            MatchPreparedList(&probe, packed.data(), stride, first, count, outcomes.data() + first);
        });
        for (int32_t i = from; i < to; ++i) {
            // An entry without a score (no base pair) scores 0, as in Match2Score.
            const int32_t score = std::max(outcomes[static_cast<size_t>(i)], 0);
            if (score >= threshold) {
                r.found = true;
                r.index = static_cast<size_t>(i);
                r.score = score;
                r.examined = static_cast<size_t>(i) + 1;
                return r;
            }
        }
    }
    r.examined = gallery.size();
    return r;
}

int Run(const IdentifyOptions& o) {
    const LoadOptions load{o.adapt};
    const auto probe = LoadRequired(o.probe, load);
    if (!probe) return kExitInput;
    HintIfQualitiesMissing(*probe, load);
    std::optional<LoadedGallery> loaded = LoadGalleryArguments(o.gallery, o.list, load, o.strict);
    if (!loaded) return kExitInput;
    const LoadedGallery& g = *loaded;
    const int partial = g.Left() > 0 ? kExitSkipped : kExitOk;
    const std::vector<Template>& gallery = g.templates;
    auto prepared = std::make_unique<PreparedProbe>();
    PrepareProbe(probe->bytes.data(), prepared.get());

    if (o.first) {
        const FirstResult r = SearchFirst(*prepared, gallery, o.threshold, o.threads);
        if (o.json) {
            Json j;
            j["probe"] = probe->path;
            j["threshold"] = o.threshold;
            j["found"] = r.found;
            if (r.found) {
                j["position"] = r.index;
                j["file"] = gallery[r.index].path;
                j["score"] = r.score;
            }
            j["searched"] = r.examined;
            j["skipped"] = g.Left();
            PrintJson(j);
        } else if (r.found) {
            Print("{}\t{}\n", r.score, gallery[r.index].path);
        } else {
            Print("no template reaches {}\n", o.threshold);
        }
        return partial;
    }

    std::vector<int32_t> scores(gallery.size(), 0);
    ParallelFor(gallery.size(), o.threads, "scored",
                [&](size_t i) { scores[i] = MatchPrepared(prepared.get(), gallery[i].bytes.data()); });
    std::vector<size_t> order(gallery.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return scores[a] > scores[b]; });
    Json list = Json::array();
    int rank = 0;
    for (size_t i : order) {
        if (scores[i] < o.threshold) break;
        if (o.top > 0 && rank >= o.top) break;
        ++rank;
        if (o.json)
            list.push_back({{"rank", rank}, {"score", scores[i]}, {"file", gallery[i].path}});
        else
            Print("{}\t{}\t{}\n", rank, scores[i], gallery[i].path);
    }
    if (o.json) {
        Json j;
        j["probe"] = probe->path;
        j["threshold"] = o.threshold;
        j["scored"] = gallery.size();
        j["skipped"] = g.Left();
        j["results"] = list;
        PrintJson(j);
    } else if (rank == 0) {
        Print("no template reaches {}\n", o.threshold);
    }
    return partial;
}

}  // namespace

void AddIdentify(CLI::App& app, int* exitCode) {
    auto o = std::make_shared<IdentifyOptions>();
    CLI::App* c = app.add_subcommand("identify", "Score a probe against a gallery, best first");
    c->add_option("probe", o->probe, "Probe template file (- for standard input)")->required();
    c->add_option("gallery", o->gallery,
                  "Gallery template files or folders (a folder contributes its files, not its sub-folders)");
    c->add_option("--list", o->list, "File naming one gallery template per line (relative to the list's folder)");
    c->add_option("--top", o->top, "Print only the K best (0: all)")->check(CLI::Range(0, INT_MAX));
    auto* threshold = c->add_option("--threshold", o->threshold,
                                    "Print only scores >= T, 0..100 (with --first: the score to reach)")
                          ->check(CLI::Range(0, 100));
    c->add_option("--threads", o->threads, "Threads (0: all cores); results do not depend on it")
        ->check(CLI::Range(0, 1024));
    auto* first = c->add_flag("--first", o->first,
                              "Report the first gallery template (in gallery order) whose score reaches --threshold "
                              "(one pass over the usable templates)");
    first->needs(threshold);
    c->add_flag("--strict", o->strict, "Stop at the first bad gallery file instead of skipping it");
    c->add_flag("--adapt", o->adapt, "Adapt ISO records (AdaptIsoRecord) before matching");
    c->add_flag("--json", o->json, "Print the results as JSON");
    SetCommand(c, exitCode, [o] { return Run(*o); });
}

}  // namespace fpmatch::tool
