// screen PROBE GALLERY...: fast pre-selection over short templates built from
// the inputs (or given as short templates); prints the 32 best candidates.
#include <memory>

#include "commands.h"
#include "conversion.h"
#include "file_io.h"
#include "gallery.h"
#include "output.h"
#include "report.h"

namespace fpmatch::tool {

namespace {

struct ScreenOptions {
    std::string probe;
    std::vector<std::string> gallery;
    std::string list;
    bool strict = false, adapt = false, json = false;
};

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
    std::vector<uint8_t> packed;
    std::vector<size_t> source;  // packed position -> gallery template
    packed.reserve(g.templates.size() * FPMATCH_SHORT_TEMPLATE_SIZE);
    for (size_t i = 0; i < g.templates.size(); ++i) {
        uint8_t buf[FPMATCH_SHORT_TEMPLATE_SIZE] = {};
        if (!MakeShortTemplate(g.templates[i], buf, &reason)) {
            Report(DisplayPath(g.templates[i].path), reason + (o.strict ? "" : " (skipped)"));
            ++g.skipped;
            if (o.strict) return kExitInput;
            continue;
        }
        packed.insert(packed.end(), buf, buf + FPMATCH_SHORT_TEMPLATE_SIZE);
        source.push_back(i);
    }
    if (source.empty()) {
        Report("gallery", fmt::format("none of the {} gallery files is usable for screening", g.files));
        return kExitInput;
    }
    int32_t best[FPMATCH_SCREEN_BEST];
    if (QuickSort(probeShort, packed.data(), static_cast<int32_t>(source.size()), best) != 1) {
        Report("internal error", "QuickSort refused the candidate list");
        return kExitInternal;
    }
    Json list = Json::array();
    int rank = 0;
    for (int32_t b : best) {
        if (b < 0 || static_cast<size_t>(b) >= source.size()) continue;
        ++rank;
        const Template& t = g.templates[source[static_cast<size_t>(b)]];
        if (o.json)
            list.push_back({{"rank", rank}, {"file", t.path}});
        else
            Print("{}\t{}\n", rank, t.path);
    }
    if (o.json) {
        Json j;
        j["probe"] = probe->path;
        j["screened"] = source.size();
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
        "screen", "Fast candidate pre-selection: the 32 gallery templates whose local structures best agree with "
                  "the probe's, best first (no scores)");
    c->add_option("probe", o->probe, "Probe template file (- for standard input; a short template is taken as it is)")
        ->required();
    c->add_option("gallery", o->gallery, "Gallery template files or folders (short templates are taken as they are)");
    c->add_option("--list", o->list, "File naming one gallery template per line (relative to the list's folder)");
    c->add_flag("--strict", o->strict, "Stop at the first bad gallery file instead of skipping it");
    c->add_flag("--adapt", o->adapt, "Adapt ISO records (AdaptIsoRecord) first");
    c->add_flag("--json", o->json, "Print the candidates as JSON");
    SetCommand(c, exitCode, [o] { return Run(*o); });
}

}  // namespace fpmatch::tool
