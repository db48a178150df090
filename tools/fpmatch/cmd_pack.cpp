// pack OUT.fpg INPUTS...: packs template files into one gallery file, or with
// --append adds them to an existing gallery as a new segment.
#include <filesystem>
#include <iostream>
#include <memory>

#include "commands.h"
#include "file_io.h"
#include "gallery.h"
#include "output.h"
#include "report.h"
#include "template_load.h"
#include "gallery_file.h"

namespace fpmatch::tool {

namespace {

namespace fs = std::filesystem;

struct PackOptions {
    std::string out;
    std::vector<std::string> inputs;
    std::string list;
    bool append = false, shorts = false, adapt = false, strict = false;
};

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec) && !ec;
}

int Run(const PackOptions& o) {
    std::error_code ec;
    const bool exists = fs::exists(o.out, ec);
    if (o.append && !exists) {
        Report(o.out, "no such file (--append adds to an existing gallery)");
        return kExitInput;
    }
    if (!o.append && exists) {
        // Never replace a file that is not a gallery (a template given as OUT by mistake).
        std::string reason;
        if (!MappedGallery::Open(o.out, &reason)) {
            Report(o.out, "exists and is not a readable gallery (" + reason + "); not overwritten");
            return kExitOutput;
        }
    }
    if (o.append) {
        // Refuse a bad gallery before reading any template.
        std::string reason;
        if (!MappedGallery::Open(o.out, &reason)) {
            Report(o.out, reason);
            return kExitInput;
        }
    }

    int problems = 0;
    const std::vector<std::string> paths = ExpandGallery(o.inputs, o.list, &problems);
    if (problems > 0 && o.strict) return kExitInput;
    if (paths.empty()) {
        Report("pack", "no templates given (files, folders or --list)");
        return kExitInput;
    }
    const LoadOptions load{o.adapt};
    PackBatch batch;
    int skipped = problems;
    for (const std::string& p : paths) {
        if (exists && SameFile(p, o.out)) continue;  // the gallery itself inside an input folder
        std::string reason;
        auto t = LoadTemplate(p, load, &reason);
        if (!t) {
            Report(p, reason + (o.strict ? "" : " (skipped)"));
            if (o.strict) return kExitInput;
            ++skipped;
            continue;
        }
        HintIfQualitiesMissing(*t, load);
        batch.Add(t->bytes, p);
    }
    if (batch.Count() == 0) {
        Report("pack", "none of the " + std::to_string(paths.size()) + " files is a usable template; nothing written");
        return kExitInput;
    }

    PackResult r;
    std::string reason;
    bool badGallery = false;
    const bool done = o.append ? AppendToGallery(o.out, batch, o.shorts, &r, &reason, &badGallery)
                               : WriteNewGallery(o.out, batch, o.shorts, &r, &reason);
    if (!done) {
        Report(o.out, reason);
        return badGallery ? kExitInput : kExitOutput;
    }
    if (r.cut > 0)
        NoteOnce("cut", std::to_string(r.cut) + " template(s) longer than " + std::to_string(kMaxKeptTemplate) +
                            " bytes were stored cut to that length (the matcher reads at most 328)");
    if (r.withoutShort > 0)
        NoteOnce("noshort", std::to_string(r.withoutShort) +
                                " template(s) cannot become short templates (a minutia outside 0..511 or of another "
                                "type); screening will not list them (try --adapt)");
    std::cout << (o.append ? "appended " : "packed ") << batch.Count() << " templates to " << o.out << ": "
              << r.info.entryCount << " entries in " << r.info.segmentCount << " segment(s), " << r.info.usedSize
              << " bytes, slots of " << r.stride << " bytes" << (r.shorts ? ", with short templates" : "")
              << (skipped > 0 ? ", " + std::to_string(skipped) + " input(s) skipped" : std::string()) << '\n';
    return skipped > 0 ? kExitSkipped : kExitOk;
}

}  // namespace

void AddPack(CLI::App& app, int* exitCode) {
    auto o = std::make_shared<PackOptions>();
    CLI::App* c = app.add_subcommand("pack", "Pack template files into one gallery file (.fpg), or append to one");
    c->add_option("out", o->out, "Gallery file to write")->required();
    c->add_option("inputs", o->inputs, "Template files or folders (a folder contributes all its files)");
    c->add_option("--list", o->list, "File naming one template per line (relative to the list's folder)");
    c->add_flag("--append", o->append,
                "Add the templates to the existing gallery as a new segment, without rewriting it");
    c->add_flag("--shorts", o->shorts,
                "Also store 512-byte short templates for screening (kept on --append when the gallery has them)");
    c->add_flag("--adapt", o->adapt, "Adapt ISO records (AdaptIsoRecord) before packing");
    c->add_flag("--strict", o->strict, "Stop at the first bad template file (nothing is written)");
    SetCommand(c, exitCode, [o] { return Run(*o); });
}

}  // namespace fpmatch::tool
