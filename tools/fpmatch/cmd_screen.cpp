// screen PROBE GALLERY...: fast pre-selection over short templates built from
// the inputs; prints the 32 best candidates.
#include <iostream>
#include <memory>

#include "commands.h"
#include "common.h"

namespace fpmatch::tool {

namespace {

struct ScreenOptions {
    std::string probe;
    std::vector<std::string> gallery;
    std::string list;
    bool strict = false, adapt = false, json = false;
};

// Short template of a checked template; returns the library's code (512 on
// success).
int32_t MakeShort(const Template& t, uint8_t* out) {
    Decoded d;
    const int32_t code = d.Decode(t.bytes.data());
    if (code != FPMATCH_DECODED) return FPMATCH_WRITE_BAD_COUNT;
    return WriteShortTemplate(&d.fs, out, FPMATCH_SHORT_TEMPLATE_SIZE);
}

int Run(const ScreenOptions& o) {
    const LoadOptions load{o.adapt};
    const auto probe = LoadRequired(o.probe, load);
    if (!probe) return kExitInput;
    HintIfQualitiesMissing(*probe, load);
    uint8_t probeShort[FPMATCH_SHORT_TEMPLATE_SIZE] = {};
    const int32_t pc = MakeShort(*probe, probeShort);
    if (pc != FPMATCH_SHORT_TEMPLATE_SIZE) {
        Report(o.probe, "cannot make a short template: " + WriteCodeMessage(pc));
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
        const int32_t c = MakeShort(g.templates[i], buf);
        if (c != FPMATCH_SHORT_TEMPLATE_SIZE) {
            Report(g.templates[i].path, "cannot make a short template: " + WriteCodeMessage(c) +
                                            (o.strict ? "" : " (skipped)"));
            ++g.skipped;
            if (o.strict) return kExitInput;
            continue;
        }
        packed.insert(packed.end(), buf, buf + FPMATCH_SHORT_TEMPLATE_SIZE);
        source.push_back(i);
    }
    if (source.empty()) {
        Report("gallery", "none of the " + std::to_string(g.files) + " gallery files is usable for screening");
        return kExitInput;
    }
    int32_t best[FPMATCH_SCREEN_BEST];
    if (QuickSort(probeShort, packed.data(), static_cast<int32_t>(source.size()), best) != 1) {
        Report("internal", "QuickSort refused the candidate list");
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
            std::cout << rank << '\t' << t.path << '\n';
    }
    if (o.json) {
        Json j;
        j["probe"] = probe->path;
        j["screened"] = source.size();
        j["skipped"] = g.Left();
        j["candidates"] = list;
        std::cout << DumpJson(j) << '\n';
    } else if (rank == 0) {
        std::cout << "no candidate\n";
    }
    return g.Left() > 0 ? kExitSkipped : kExitOk;
}

}  // namespace

void AddScreen(CLI::App& app, int* exitCode) {
    auto o = std::make_shared<ScreenOptions>();
    CLI::App* c = app.add_subcommand(
        "screen", "Fast candidate pre-selection: the 32 gallery templates whose local structures best agree with "
                  "the probe's, best first (no scores)");
    c->add_option("probe", o->probe, "Probe template file")->required();
    c->add_option("gallery", o->gallery, "Gallery template files or folders");
    c->add_option("--list", o->list, "File naming one gallery template per line (relative to the list's folder)");
    c->add_flag("--strict", o->strict, "Stop at the first bad gallery file instead of skipping it");
    c->add_flag("--adapt", o->adapt, "Adapt ISO records (AdaptIsoRecord) first");
    c->add_flag("--json", o->json, "Print the candidates as JSON");
    c->callback([o, exitCode] { *exitCode = Run(*o); });
}

}  // namespace fpmatch::tool
