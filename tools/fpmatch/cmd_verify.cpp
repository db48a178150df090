// verify --gallery FILE SUBJECT PROBE: the best score of the probe against
// the templates of one enrolled subject (FpmGalleryVerify).
#include <memory>

#include "commands.h"
#include "file_io.h"
#include "id_gallery.h"
#include "output.h"
#include "report.h"
#include "template_load.h"

namespace fpmatch::tool {

namespace {

struct VerifyOptions {
    std::string gallery, subject, probe;
    bool adapt = false, json = false;
};

int Run(const VerifyOptions& o) {
    int exit = kExitOk;
    const GalleryHandle g = OpenGallery(o.gallery, FPM_OPEN_READ, &exit);
    if (!g) return exit;
    const LoadOptions load{o.adapt};
    const auto probe = LoadRequired(o.probe, load);
    if (!probe) return kExitInput;
    HintIfQualitiesMissing(*probe, load);
    FpmHit best{};
    const int32_t score = FpmGalleryVerify(g.get(), o.subject.c_str(), probe->original.data(), probe->original.size(),
                                           o.adapt ? 1 : 0, &best);
    if (score < 0) {
        ReportLibrary(IsTemplateCode(score) ? DisplayPath(probe->path) : o.gallery, score);
        return ExitForCode(score, false);
    }
    if (o.json) {
        Json j;
        j["gallery"] = o.gallery;
        j["subject"] = o.subject;
        j["probe"] = probe->path;
        j["score"] = score;
        j["entry"] = best.entry;
        PrintJson(j);
    } else {
        Print("{}\n", score);
    }
    return kExitOk;
}

}  // namespace

void AddVerify(CLI::App& app, int* exitCode) {
    auto o = std::make_shared<VerifyOptions>();
    CLI::App* c = app.add_subcommand("verify", "The best score of a probe against one enrolled subject's templates");
    c->add_option("--gallery", o->gallery, "Gallery file (.fpg)")->required();
    c->add_option("subject", o->subject, "Subject id")->required();
    c->add_option("probe", o->probe, "Probe template file (- for standard input)")->required();
    c->add_flag("--adapt", o->adapt, "Adapt an ISO probe record (AdaptIsoRecord) before matching");
    c->add_flag("--json", o->json, "Print the score with the template that gave it as JSON");
    SetCommand(c, exitCode, [o] { return Run(*o); });
}

}  // namespace fpmatch::tool
