// screen PROBE GALLERY...: fast pre-selection over short templates built from
// the inputs (or given as short templates); prints the best candidates with
// their screening scores (by default QuickSort's list of 32).
#include <algorithm>
#include <climits>
#include <memory>
#include <numeric>

#include "commands.h"
#include "conversion.h"
#include "file_io.h"
#include "gallery.h"
#include "output.h"
#include "parallel.h"
#include "printable.h"
#include "report.h"

namespace fpmatch::tool {

namespace {

struct ScreenOptions {
    std::string probe;
    std::vector<std::string> gallery;
    std::string list;
    int top = FPMATCH_SCREEN_BEST;
    unsigned threads = 0;
    bool strict = false, adapt = false, json = false;
};

constexpr size_t kBlock = 256;  // candidates per ScreenScores call

int Run(const ScreenOptions& o) {
    LoadOptions load{o.adapt};
    load.acceptShort = true;
    const auto probe = LoadRequired(o.probe, load);
    if (!probe) return kExitInput;
    HintIfQualitiesMissing(*probe, load);
    uint8_t probeShort[FPMATCH_SHORT_TEMPLATE_SIZE] = {};
    std::string reason;
    if (!MakeShortTemplate(*probe, probeShort, &reason)) {
        Report(DisplayPath(o.probe), reason);
        return kExitRefused;
    }
    std::optional<LoadedGallery> loaded = LoadGalleryArguments(o.gallery, o.list, load, o.strict);
    if (!loaded) return kExitInput;
    LoadedGallery& g = *loaded;
    // Short templates of the gallery, built on every thread, failures
    // reported in gallery order.
    const size_t n = g.templates.size();
    std::vector<uint8_t> built(n * FPMATCH_SHORT_TEMPLATE_SIZE, 0);
    std::vector<std::string> failure(n);
    ParallelFor(n, o.threads, "prepared", [&](size_t i) {
        std::string why;
        if (!MakeShortTemplate(g.templates[i], built.data() + i * FPMATCH_SHORT_TEMPLATE_SIZE, &why))
            failure[i] = why.empty() ? "cannot make a short template" : why;
    });
    std::vector<uint8_t> packed;
    std::vector<size_t> source;  // packed position -> gallery template
    packed.reserve(built.size());
    for (size_t i = 0; i < n; ++i) {
        if (!failure[i].empty()) {
            Report(DisplayPath(g.templates[i].path), failure[i] + (o.strict ? "" : " (skipped)"));
            ++g.skipped;
            if (o.strict) return kExitInput;
            continue;
        }
        const uint8_t* b = built.data() + i * FPMATCH_SHORT_TEMPLATE_SIZE;
        packed.insert(packed.end(), b, b + FPMATCH_SHORT_TEMPLATE_SIZE);
        source.push_back(i);
    }
    if (source.empty()) {
        Report("gallery", fmt::format("none of the {} gallery files is usable for screening", g.files));
        return kExitInput;
    }
    // Every candidate's score, in blocks on every thread; the ranking is
    // QuickSort's: above the list threshold, best first, ties in gallery
    // order.
    const size_t count = source.size();
    std::vector<int32_t> scores(count, 0);
    ParallelFor((count + kBlock - 1) / kBlock, o.threads, "screened", [&](size_t b) {
        const size_t from = b * kBlock, to = std::min(count, from + kBlock);
        ScreenScores(probeShort, packed.data() + from * FPMATCH_SHORT_TEMPLATE_SIZE, static_cast<int32_t>(to - from),
                     scores.data() + from);
    });
    std::vector<size_t> order(count);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return scores[a] > scores[b]; });
    Json list = Json::array();
    int rank = 0;
    for (size_t k : order) {
        if (scores[k] <= FPMATCH_SCREEN_LIST_THRESHOLD || (o.top > 0 && rank >= o.top)) break;
        ++rank;
        const Template& t = g.templates[source[k]];
        if (o.json)
            list.push_back({{"rank", rank}, {"score", scores[k]}, {"file", t.path}});
        else
            Print("{}\t{}\t{}\n", rank, scores[k], Printable(t.path));
    }
    if (o.json) {
        Json j;
        j["probe"] = probe->path;
        j["screened"] = count;
        j["skipped"] = g.Left();
        j["candidates"] = list;
        PrintJson(j);
    } else if (rank == 0) {
        Print("no candidate\n");
    }
    return g.Left() > 0 ? kExitSkipped : kExitOk;
}

}  // namespace

void AddScreen(CLI::App& app, int* exitCode) {
    auto o = std::make_shared<ScreenOptions>();
    CLI::App* c = app.add_subcommand(
        "screen", "Fast candidate pre-selection: the gallery templates whose local structures best agree with the "
                  "probe's, best first, with their screening scores (by default QuickSort's 32)");
    c->add_option("probe", o->probe, "Probe template file (- for standard input; a short template is taken as it is)")
        ->required();
    c->add_option("gallery", o->gallery, "Gallery template files or folders (short templates are taken as they are)");
    c->add_option("--list", o->list, "File naming one gallery template per line (relative to the list's folder)");
    c->add_option("--top", o->top, "Print the K best candidates (0: every candidate scoring above 7)")
        ->check(WholeNumber(0, INT_MAX));
    c->add_option("--threads", o->threads, "Threads (0: all cores); results do not depend on it")
        ->check(WholeNumber(0, 1024));
    c->add_flag("--strict", o->strict, "Stop at the first bad gallery file instead of skipping it");
    c->add_flag("--adapt", o->adapt, "Adapt ISO records (AdaptIsoRecord) first");
    c->add_flag("--json", o->json, "Print the candidates as JSON");
    SetCommand(c, exitCode, [o] { return Run(*o); });
}

}  // namespace fpmatch::tool
