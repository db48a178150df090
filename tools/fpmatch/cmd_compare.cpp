// compare PROBE GALLERY: the score, or with --json the whole comparison as
// the stages see it.
#include <iostream>
#include <memory>

#include "analysis.h"
#include "commands.h"

namespace fpmatch::tool {

namespace {

struct CompareOptions {
    std::string probe, gallery;
    bool json = false, adapt = false;
};

Json SideJson(const Template& t, const Decoded* d, int32_t code) {
    Json j;
    j["file"] = t.path;
    j["format"] = KindName(t.kind);
    j["adapted"] = t.adapted;
    j["declaredMinutiae"] = t.declaredCount;
    j["decodeCode"] = code;
    if (d != nullptr && code == FPMATCH_DECODED) {
        j["formatCode"] = d->fs.format;
        j["quality"] = d->fs.quality;
        j["decodedMinutiae"] = d->fs.minutiaCount;
    }
    return j;
}

int Run(const CompareOptions& o) {
    const LoadOptions load{o.adapt};
    const auto probe = LoadRequired(o.probe, load);
    if (!probe) return kExitInput;
    const auto gallery = LoadRequired(o.gallery, load);
    if (!gallery) return kExitInput;
    HintIfQualitiesMissing(*probe, load);
    HintIfQualitiesMissing(*gallery, load);
    if (!o.json) {
        std::cout << Match2Score(probe->bytes.data(), gallery->bytes.data()) << '\n';
        return kExitOk;
    }
    const MatchAnalysis a = AnalyzeMatch(*probe, *gallery);
    int exit = kExitOk;
    if (a.pipelineScore != a.libraryScore) {
        Report("internal", "the stages re-run give " + std::to_string(a.pipelineScore) + " but Match2Score gives " +
                               std::to_string(a.libraryScore));
        exit = kExitInternal;
    }
    Json j;
    j["score"] = a.libraryScore;
    j["probe"] = SideJson(*probe, a.probe.get(), a.probeCode);
    j["gallery"] = SideJson(*gallery, a.gallery.get(), a.galleryCode);
    j["basePairCount"] = a.basePairCount;
    j["indexNote"] = "probe indices refer to the probe's minutiae reordered centre-first, as matched";
    Json pairs = Json::array();
    bool replicated = true;
    for (size_t i = 0; i < a.basePairs.size(); ++i) {
        const BasePair& bp = a.basePairs[i];
        const Alignment& al = a.alignments[i];
        Json p;
        p["probeIndex"] = bp.probeIndex;
        p["galleryIndex"] = bp.galleryIndex;
        p["pairScore"] = bp.pairScore;
        p["matchScore"] = bp.matchScore;
        p["probeMinutia"] = MinutiaJson(a.probe->fs.minutiae[bp.probeIndex], -1);
        p["galleryMinutia"] = MinutiaJson(a.gallery->fs.minutiae[bp.galleryIndex], -1);
        p["rotation"] = al.probeToGallery.angle;
        p["shift"] = {al.probeToGallery.shiftX, al.probeToGallery.shiftY};
        p["keptProbe"] = al.keptProbe;
        p["keptGallery"] = al.keptGallery;
        p["overlapOk"] = al.overlapOk;
        p["pairedMinutiae"] = al.pairs.size();
        pairs.push_back(p);
        if ((al.replicatedScore < 0 ? 0 : al.replicatedScore) != bp.matchScore) replicated = false;
    }
    j["basePairs"] = pairs;
    if (!a.alignments.empty()) {
        const Alignment& best = a.alignments[0];
        Json b;
        b["basePair"] = 0;
        b["pairedMinutiae"] = best.pairs.size();
        Json list = Json::array();
        for (const MinutiaPair& mp : best.pairs) {
            Json e;
            e["probe"] = MinutiaJson(best.keptProbeSet[mp.probeIndex], mp.probeIndex);
            e["gallery"] = MinutiaJson(a.gallery->fs.minutiae[mp.galleryIndex], mp.galleryIndex);
            const Minutia& moved = best.movedGallerySet[mp.galleryIndex];
            e["galleryInProbeFrame"] = {{"x", moved.x}, {"y", moved.y}, {"angle", moved.angle}};
            list.push_back(e);
        }
        b["pairs"] = list;
        j["bestAlignment"] = b;
    }
    if (!replicated) {
        Report("warning", "the pairing shown may differ from the library's: its re-computed alignment scores do not "
                          "match the base pairs' matchScore");
    }
    j["pairingMatchesLibrary"] = replicated;
    std::cout << DumpJson(j) << '\n';
    return exit;
}

}  // namespace

void AddCompare(CLI::App& app, int* exitCode) {
    auto o = std::make_shared<CompareOptions>();
    CLI::App* c = app.add_subcommand("compare", "Score one probe template against one gallery template (0..100)");
    c->add_option("probe", o->probe, "Probe template file")->required();
    c->add_option("gallery", o->gallery, "Gallery template file")->required();
    c->add_flag("--json", o->json,
                "Print the comparison in detail: formats and minutia counts as decoded, the base pairs with their pair "
                "and match scores, the pairing of the best alignment");
    c->add_flag("--adapt", o->adapt, "Adapt ISO records (AdaptIsoRecord) before matching");
    c->callback([o, exitCode] { *exitCode = Run(*o); });
}

}  // namespace fpmatch::tool
