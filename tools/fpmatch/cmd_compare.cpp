// compare PROBE GALLERY: the score, or with --json the whole comparison as
// the library explains it (ExplainMatch).
#include <memory>

#include "commands.h"
#include "file_io.h"
#include "output.h"
#include "report.h"
#include "template_load.h"

namespace fpmatch::tool {

namespace {

struct CompareOptions {
    std::string probe, gallery;
    bool json = false, adapt = false;
};

Json SideJson(const Template& t, int32_t code, int32_t decoded) {
    Json j;
    j["file"] = t.path;
    j["format"] = KindName(t.kind);
    j["adapted"] = t.adapted;
    j["declaredMinutiae"] = t.declaredCount;
    j["decodeCode"] = code;
    if (code == FPMATCH_DECODED) j["decodedMinutiae"] = decoded;
    return j;
}

const char* StageName(int32_t stage) {
    switch (stage) {
        case FPMATCH_ALIGN_LITTLE_OVERLAP: return "too little overlap";
        case FPMATCH_ALIGN_NO_PAIRS: return "no minutiae paired";
        case FPMATCH_ALIGN_SCORED: return "scored";
        default: return "not aligned";
    }
}

Json ExplanationJson(const MatchExplanation& e, const Template& probe, const Template& gallery) {
    Json j;
    j["score"] = e.score;
    j["probe"] = SideJson(probe, e.probeCode, e.probeCount);
    j["gallery"] = SideJson(gallery, e.galleryCode, e.galleryCount);
    j["basePairCount"] = e.basePairCount;
    j["indexNote"] = "probe indices refer to the probe's minutiae reordered centre-first, as matched";
    Json pairs = Json::array();
    for (int32_t i = 0; i < e.basePairCount; ++i) {
        const AlignmentExplanation& a = e.alignments[i];
        const BasePair& bp = a.basePair;
        Json p;
        p["probeIndex"] = bp.probeIndex;
        p["galleryIndex"] = bp.galleryIndex;
        p["pairScore"] = bp.pairScore;
        p["matchScore"] = bp.matchScore;
        p["alignment"] = StageName(a.stage);
        p["probeMinutia"] = MinutiaJson(e.probeMinutiae[bp.probeIndex], -1);
        p["galleryMinutia"] = MinutiaJson(e.galleryMinutiae[bp.galleryIndex], -1);
        if (a.stage >= FPMATCH_ALIGN_LITTLE_OVERLAP) {
            p["rotation"] = a.rotation;
            p["shift"] = {a.shiftX, a.shiftY};
            p["keptProbe"] = a.keptProbe;
            p["keptGallery"] = a.keptGallery;
        }
        if (a.stage >= FPMATCH_ALIGN_NO_PAIRS) p["pairedMinutiae"] = a.pairCount;
        if (a.stage == FPMATCH_ALIGN_SCORED) {
            p["positionScore"] = a.positionScore;
            p["positionScoreNear"] = a.positionScoreNear;
            p["singularPenalty"] = a.singularPenalty;
            p["unpaired"] = {{"probe", a.unpairedProbe},
                             {"probeNear", a.unpairedProbeNear},
                             {"gallery", a.unpairedGallery},
                             {"galleryNear", a.unpairedGalleryNear}};
        }
        pairs.push_back(p);
    }
    j["basePairs"] = pairs;
    if (e.basePairCount > 0) {
        const AlignmentExplanation& best = e.alignments[0];
        Json b;
        b["basePair"] = 0;
        b["pairedMinutiae"] = best.pairCount;
        Json list = Json::array();
        for (int32_t k = 0; k < best.pairCount; ++k) {
            const MinutiaPair& mp = best.pairs[k];
            const Minutia& moved = best.movedGallery[mp.galleryIndex];
            Json entry;
            entry["probe"] = MinutiaJson(e.probeMinutiae[mp.probeIndex], mp.probeIndex);
            entry["gallery"] = MinutiaJson(e.galleryMinutiae[mp.galleryIndex], mp.galleryIndex);
            entry["galleryInProbeFrame"] = {{"x", moved.x}, {"y", moved.y}, {"angle", moved.angle}};
            list.push_back(entry);
        }
        b["pairs"] = list;
        j["bestAlignment"] = b;
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
        Print("{}\n", Match2Score(probe->bytes.data(), gallery->bytes.data()));
        return kExitOk;
    }
    auto e = std::make_unique<MatchExplanation>();
    ExplainMatch(probe->bytes.data(), gallery->bytes.data(), e.get());
    PrintJson(ExplanationJson(*e, *probe, *gallery));
    return kExitOk;
}

}  // namespace

void AddCompare(CLI::App& app, int* exitCode) {
    auto o = std::make_shared<CompareOptions>();
    CLI::App* c = app.add_subcommand("compare", "Score one probe template against one gallery template (0..100)");
    c->add_option("probe", o->probe, "Probe template file (- for standard input)")->required();
    c->add_option("gallery", o->gallery, "Gallery template file (- for standard input)")->required();
    c->add_flag("--json", o->json,
                "Print the comparison as the library explains it (ExplainMatch): minutia counts as decoded, the base "
                "pairs with their scores, rotation, shift and overlap, the pairing of the best alignment");
    c->add_flag("--adapt", o->adapt, "Adapt ISO records (AdaptIsoRecord) before matching");
    SetCommand(c, exitCode, [o] { return Run(*o); });
}

}  // namespace fpmatch::tool
