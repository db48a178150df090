// identify PROBE GALLERY...: every gallery template scored against the probe,
// best first; or with --first the library's list search for the first
// template that reaches a threshold.
#include <algorithm>
#include <climits>
#include <iostream>
#include <memory>
#include <numeric>

#include "commands.h"
#include "common.h"

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

// Bytes of a checked template that the decoder reads.
size_t NeededBytes(const Template& t) {
    const int count = t.declaredCount;
    return t.kind == TemplateKind::Iso ? 28 + 6 * static_cast<size_t>(count)
                                       : 56 + 4 * static_cast<size_t>(std::min(count, 25));
}

struct FirstResult {
    bool found = false;
    int32_t index = -1, score = 0;
    std::vector<size_t> noBasePair;  // entries where the library's search stopped
};

// The library's list search over the gallery packed at a fixed stride. The
// search stops at an entry that shares no base pair with the probe; the tool
// then locates that entry and resumes the search after it, so every template
// is examined in gallery order.
FirstResult SearchFirst(const Template& probe, const std::vector<Template>& gallery, int threshold,
                        unsigned threads) {
    size_t stride = 1;
    for (const Template& t : gallery) stride = std::max(stride, NeededBytes(t));
    std::vector<uint8_t> packed(stride * gallery.size(), 0);
    for (size_t i = 0; i < gallery.size(); ++i)
        std::copy_n(gallery[i].bytes.begin(), std::min(stride, gallery[i].bytes.size()), packed.begin() + i * stride);
    const int32_t n = static_cast<int32_t>(gallery.size());
    const int32_t s = static_cast<int32_t>(stride);
    FirstResult r;
    // Whether entry i shares a base pair with the probe (-1: not known yet). A
    // one-entry search with the lowest threshold succeeds exactly when it does.
    std::vector<int8_t> has(gallery.size(), -1);
    const int32_t chunk = static_cast<int32_t>(64 * ResolveThreads(threads));
    auto fill = [&](int32_t from) {
        const int32_t to = std::min<int32_t>(n, from + chunk);
        ParallelFor(static_cast<size_t>(to - from), threads, "locating", [&](size_t k) {
            const size_t i = static_cast<size_t>(from) + k;
            if (has[i] >= 0) return;
            int32_t i2 = 0, s2 = 0;
            has[i] = static_cast<int8_t>(
                MatchListFp(probe.bytes.data(), packed.data(), s, static_cast<int32_t>(i), 1, INT32_MIN, &i2, &s2));
        });
    };
    int32_t cursor = 0;
    while (cursor < n) {
        int32_t index = -1, score = 0;
        if (MatchListFp(probe.bytes.data(), packed.data(), s, cursor, n - cursor, threshold, &index, &score) == 1) {
            r.found = true;
            r.index = index;
            r.score = score;
            return r;
        }
        // Either every entry was examined, or the search stopped at the first
        // entry without a base pair: find that entry and resume after it.
        int32_t stop = cursor;
        while (stop < n) {
            if (has[static_cast<size_t>(stop)] < 0) fill(stop);
            if (has[static_cast<size_t>(stop)] == 0) break;
            ++stop;
        }
        if (stop >= n) return r;
        r.noBasePair.push_back(static_cast<size_t>(stop));
        cursor = stop + 1;
    }
    return r;
}

int Run(const IdentifyOptions& o) {
    const LoadOptions load{o.adapt};
    const auto probe = LoadRequired(o.probe, load);
    if (!probe) return kExitInput;
    HintIfQualitiesMissing(*probe, load);
    std::optional<LoadedGallery> loaded = LoadGalleryArguments(o.gallery, o.list, load, o.strict);
    if (!loaded) return kExitInput;
    LoadedGallery& g = *loaded;
    if (g.templates.empty()) {
        Report("gallery", "none of the " + std::to_string(g.files) + " gallery files is a usable template");
        return kExitInput;
    }
    const int partial = g.Left() > 0 ? kExitSkipped : kExitOk;
    const std::vector<Template>& gallery = g.templates;

    if (o.first) {
        const FirstResult r = SearchFirst(*probe, gallery, o.threshold, o.threads);
        if (!r.noBasePair.empty())
            NoteOnce("nobasepair", std::to_string(r.noBasePair.size()) +
                                       " gallery template(s) share no base pair with the probe; the library's list "
                                       "search stops at such a template, the tool resumed after each");
        if (o.json) {
            Json j;
            j["threshold"] = o.threshold;
            j["found"] = r.found;
            if (r.found) {
                j["position"] = r.index;
                j["file"] = gallery[r.index].path;
                j["score"] = r.score;
            }
            j["searched"] = gallery.size();
            j["skipped"] = g.skipped;
            j["noBasePair"] = r.noBasePair.size();
            std::cout << DumpJson(j) << '\n';
        } else if (r.found) {
            std::cout << r.score << '\t' << gallery[r.index].path << '\n';
        } else {
            std::cout << "no template reaches " << o.threshold << '\n';
        }
        return partial;
    }

    std::vector<int32_t> scores(gallery.size(), 0);
    ParallelFor(gallery.size(), o.threads, "scored", [&](size_t i) {
        scores[i] = Match2Score(probe->bytes.data(), gallery[i].bytes.data());
    });
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
            std::cout << rank << '\t' << scores[i] << '\t' << gallery[i].path << '\n';
    }
    if (o.json) {
        Json j;
        j["probe"] = probe->path;
        j["scored"] = gallery.size();
        j["skipped"] = g.Left();
        j["results"] = list;
        std::cout << DumpJson(j) << '\n';
    }
    return partial;
}

}  // namespace

void AddIdentify(CLI::App& app, int* exitCode) {
    auto o = std::make_shared<IdentifyOptions>();
    CLI::App* c = app.add_subcommand("identify", "Score a probe against a gallery, best first");
    c->add_option("probe", o->probe, "Probe template file")->required();
    c->add_option("gallery", o->gallery, "Gallery template files or folders (a folder contributes all its files)");
    c->add_option("--list", o->list, "File naming one gallery template per line (relative to the list's folder)");
    c->add_option("--top", o->top, "Print only the K best (0: all)")->check(CLI::NonNegativeNumber);
    auto* threshold = c->add_option("--threshold", o->threshold, "Print only scores >= T (with --first: the score to reach)");
    c->add_option("--threads", o->threads, "Threads (0: all cores); results do not depend on it");
    auto* first = c->add_flag("--first", o->first,
                              "Report the first gallery template (in gallery order) whose score reaches --threshold, "
                              "with the library's list search over the usable templates packed at a fixed stride; "
                              "the search resumes after any template that shares no base pair with the probe");
    first->needs(threshold);
    c->add_flag("--strict", o->strict, "Stop at the first bad gallery file instead of skipping it");
    c->add_flag("--adapt", o->adapt, "Adapt ISO records (AdaptIsoRecord) before matching");
    c->add_flag("--json", o->json, "Print the results as JSON");
    c->callback([o, exitCode] { *exitCode = Run(*o); });
}

}  // namespace fpmatch::tool
