// pack OUT.fpg INPUTS...: template files enrolled into a new gallery, each
// file its own subject named by the path it was read from; or with --append
// added to an existing gallery. Both through the identification library,
// committed in one step.
#include <filesystem>
#include <memory>

#include "commands.h"
#include "enrol.h"
#include "file_io.h"
#include "gallery.h"
#include "id_gallery.h"
#include "report.h"

namespace fpmatch::tool {

namespace {

namespace fs = std::filesystem;

struct PackOptions {
    std::string out;
    std::vector<std::string> inputs;
    std::string list;
    bool append = false, shorts = false, adapt = false, strict = false;
};

int Run(const PackOptions& o) {
    std::error_code ec;
    const bool exists = fs::exists(o.out, ec);
    if (o.append && !exists) {
        Report(o.out, "no such file (--append adds to an existing gallery)");
        return kExitInput;
    }
    int exit = kExitOk;
    GalleryHandle existing;  // --append: the writer; else the file to replace, held against other writers
    if (exists) {
        FpmGallery* g = nullptr;
        int32_t rc = FpmGalleryOpen(o.out.c_str(), FPM_OPEN_WRITE, &g);
        if (rc == FPM_E_READ_ONLY && !o.append) rc = FpmGalleryOpen(o.out.c_str(), FPM_OPEN_READ, &g);  // version 1
        if (rc != FPM_OK) {
            // Never replace a file that is not a gallery (a template given as OUT by mistake).
            const bool foreign = !o.append && rc != FPM_E_LOCKED;
            Report(o.out, foreign ? "exists and is not a readable gallery (" + LibraryText(rc, o.out) + "); not overwritten"
                                  : LibraryText(rc, o.out));
            return foreign ? kExitOutput : kExitInput;
        }
        existing.reset(g);
    }
    int problems = 0;
    std::vector<EnrolItem> items;
    for (std::string& p : ExpandGallery(o.inputs, o.list, &problems)) items.push_back(EnrolItem{p, p});
    if (problems > 0 && o.strict) return kExitInput;
    if (items.empty()) {
        Report("pack", "no templates given (files, folders or --list)");
        return kExitInput;
    }
    std::unique_ptr<NewGallery> fresh;
    if (!o.append) {
        fresh = NewGallery::Create(o.out, &exit);
        if (!fresh) return exit;
    }
    FpmGallery* g = o.append ? existing.get() : fresh->Get();
    const EnrolResult r = Enrol(g, o.out, items, EnrolOptions{o.adapt, o.strict, "packed"});
    if (r.exitCode != 0) return r.exitCode;
    if (r.added == 0) {
        Report("pack", "none of the " + std::to_string(items.size()) + " files is a usable template; nothing written");
        return kExitInput;
    }
    FpmGalleryStat st{};
    if (o.append) {
        const int32_t rc = FpmGalleryCommit(g);
        if (rc != FPM_OK) {
            ReportLibrary(o.out, rc, " (nothing appended)");
            return ExitForCode(rc, true);
        }
        if (!GalleryStat(g, o.out, &st, &exit)) return exit;
    } else {
        if (!fresh->Replace()) return kExitOutput;
        existing.reset();
        const GalleryHandle written = OpenGallery(o.out, FPM_OPEN_READ, &exit);
        if (!written || !GalleryStat(written.get(), o.out, &st, &exit)) return exit;
    }
    const int skipped = r.skipped + problems;
    Print("{} {} templates to {}: {} templates of {} subjects in {} part(s), {} bytes{}\n",
          o.append ? "appended" : "packed", r.added, o.out, st.templates, st.subjects, st.parts, st.fileSize,
          skipped > 0 ? ", " + std::to_string(skipped) + " input(s) skipped" : std::string());
    return skipped > 0 ? kExitSkipped : kExitOk;
}

}  // namespace

void AddPack(CLI::App& app, int* exitCode) {
    auto o = std::make_shared<PackOptions>();
    CLI::App* c = app.add_subcommand(
        "pack", "Enrol template files into a new gallery file (.fpg), each file a subject named by its path; or append");
    c->add_option("out", o->out, "Gallery file to write (an existing gallery is replaced in one step)")->required();
    c->add_option("inputs", o->inputs, "Template files or folders (a folder contributes all its files)");
    c->add_option("--list", o->list, "File naming one template per line (relative to the list's folder)");
    c->add_flag("--append", o->append, "Add the templates to the existing gallery, committed in one step");
    c->add_flag("--shorts", o->shorts,
                "Accepted for older scripts: galleries always store what screening needs (candidate filter records)");
    c->add_flag("--adapt", o->adapt, "Adapt ISO records (AdaptIsoRecord) before packing");
    c->add_flag("--strict", o->strict, "Stop at the first bad template file (nothing is written)");
    SetCommand(c, exitCode, [o] { return Run(*o); });
}

}  // namespace fpmatch::tool
