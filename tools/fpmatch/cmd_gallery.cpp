// gallery create|add|remove|compact|info|check GALLERY ...: galleries of
// enrolled subjects, every step a call of the identification library; and
// gallery-info FILE, the library's view of a gallery file of either format
// version.
#include <filesystem>
#include <memory>

#include "commands.h"
#include "enrol.h"
#include "file_io.h"
#include "id_gallery.h"
#include "output.h"
#include "report.h"

namespace fpmatch::tool {

namespace {

namespace fs = std::filesystem;

struct GalleryOptions {
    std::string gallery;
    std::vector<std::string> inputs;  // add: files and folders; remove: subjects
    std::string list, subject;
    bool adapt = false, strict = false;
    bool subjects = false, entries = false, json = false;  // info
};

std::string Plural(int64_t n, const char* one, const char* many) { return fmt::format("{} {}", n, n == 1 ? one : many); }

// "40 templates of 12 subjects"
std::string Counts(const FpmGalleryStat& st) {
    return Plural(st.templates, "template", "templates") + " of " + Plural(st.subjects, "subject", "subjects");
}

// Commits the writer's batch; reports a refusal.
bool Commit(FpmGallery* g, const std::string& path, int* exit) {
    const int32_t rc = FpmGalleryCommit(g);
    if (rc == FPM_OK) return true;
    ReportLibrary(path, rc, " (nothing committed)");
    *exit = ExitForCode(rc, true);
    return false;
}

int RunCreate(const GalleryOptions& o) {
    FpmGallery* g = nullptr;
    const int32_t rc = FpmGalleryCreate(o.gallery.c_str(), &g);
    if (rc != FPM_OK) {
        ReportLibrary(o.gallery, rc);
        return ExitForCode(rc, true);
    }
    FpmGalleryClose(g);
    Print("created {}: an empty gallery\n", o.gallery);
    return kExitOk;
}

int RunAdd(const GalleryOptions& o) {
    int exit = kExitOk;
    const GalleryHandle g = OpenGallery(o.gallery, FPM_OPEN_WRITE, &exit);
    if (!g) return exit;
    int problems = 0;
    const std::vector<EnrolItem> items = ExpandEnrolment(o.inputs, o.list, o.subject, &problems);
    if (problems > 0 && o.strict) return kExitInput;
    if (items.empty()) {
        Report("gallery add", "no templates given (files, folders or --list)");
        return kExitInput;
    }
    const EnrolResult r = Enrol(g.get(), o.gallery, items, EnrolOptions{o.adapt, o.strict, "added"});
    if (r.exitCode != 0) return r.exitCode;  // closing drops the batch
    if (r.added == 0) {
        Report("gallery add", "none of the " + Plural(static_cast<int64_t>(items.size()), "file", "files") +
                                  " could be enrolled; nothing committed");
        return kExitInput;
    }
    if (!Commit(g.get(), o.gallery, &exit)) return exit;
    FpmGalleryStat st{};
    if (!GalleryStat(g.get(), o.gallery, &st, &exit)) return exit;
    const int skipped = r.skipped + problems;
    Print("added {} to {}: {} in all{}\n", Plural(r.added, "template", "templates"), o.gallery, Counts(st),
          skipped > 0 ? fmt::format(", {} input(s) skipped", skipped) : std::string());
    return skipped > 0 ? kExitSkipped : kExitOk;
}

int RunRemove(const GalleryOptions& o) {
    int exit = kExitOk;
    const GalleryHandle g = OpenGallery(o.gallery, FPM_OPEN_WRITE, &exit);
    if (!g) return exit;
    int64_t templates = 0, subjects = 0;
    int skipped = 0;
    for (const std::string& subject : o.inputs) {
        const int32_t n = FpmGalleryRemove(g.get(), subject.c_str());
        if (n > 0) {
            templates += n;
            ++subjects;
            continue;
        }
        Report(o.gallery, LibraryText(n, o.gallery) + (o.strict ? "; nothing removed" : " (skipped)"));
        if (o.strict) return kExitInput;
        ++skipped;
    }
    if (subjects == 0) return kExitInput;
    if (!Commit(g.get(), o.gallery, &exit)) return exit;
    FpmGalleryStat st{};
    if (!GalleryStat(g.get(), o.gallery, &st, &exit)) return exit;
    Print("removed {} ({}) from {}: {} left\n", Plural(subjects, "subject", "subjects"),
          Plural(templates, "template", "templates"), o.gallery, Counts(st));
    return skipped > 0 ? kExitSkipped : kExitOk;
}

int RunCompact(const GalleryOptions& o) {
    int exit = kExitOk;
    const GalleryHandle g = OpenGallery(o.gallery, FPM_OPEN_WRITE, &exit);
    if (!g) return exit;
    FpmGalleryStat before{}, after{};
    if (!GalleryStat(g.get(), o.gallery, &before, &exit)) return exit;
    const int32_t rc = FpmGalleryCompact(g.get());
    if (rc != FPM_OK) {
        ReportLibrary(o.gallery, rc, " (the gallery is unchanged)");
        return ExitForCode(rc, true);
    }
    if (!GalleryStat(g.get(), o.gallery, &after, &exit)) return exit;
    Print("compacted {}: {}, {} bytes (was {} bytes, {} dropped)\n", o.gallery, Counts(after), after.fileSize,
          before.fileSize, Plural(before.removed, "removed template", "removed templates"));
    return kExitOk;
}

int RunCheck(const GalleryOptions& o) {
    int exit = kExitOk;
    const GalleryHandle g = OpenGallery(o.gallery, FPM_OPEN_READ, &exit);
    if (!g) return exit;
    const int32_t rc = FpmGalleryCheck(g.get());
    if (rc != FPM_OK) {
        ReportLibrary(o.gallery, rc);
        return ExitForCode(rc, false);
    }
    FpmGalleryStat st{};
    if (!GalleryStat(g.get(), o.gallery, &st, &exit)) return exit;
    Print("{}: intact: {}, {} part(s), commit {}\n", o.gallery, Counts(st), st.parts, st.commit);
    return kExitOk;
}

// info and gallery-info: the counts the library gives; or every subject
// and every stored entry (as text only these lists; JSON holds all).
int RunInfo(const GalleryOptions& o) {
    int exit = kExitOk;
    const GalleryHandle g = OpenGallery(o.gallery, FPM_OPEN_READ, &exit);
    if (!g) return exit;
    FpmGalleryStat st{};
    if (!GalleryStat(g.get(), o.gallery, &st, &exit)) return exit;
    FpmGalleryStorage storage{};
    if (const int32_t rc = FpmGalleryGetStorage(g.get(), &storage); rc != FPM_OK) {
        ReportLibrary(o.gallery, rc);
        return ExitForCode(rc, false);
    }
    std::error_code ec;
    const uint64_t bytes = fs::file_size(o.gallery, ec);
    Json j;
    j["file"] = o.gallery;
    j["fileBytes"] = bytes;
    j["version"] = st.version;
    j["commit"] = st.commit;
    j["templates"] = st.templates;
    j["subjects"] = st.subjects;
    j["entries"] = st.entries;
    j["removed"] = st.removed;
    j["shortTemplates"] = st.shorts;
    j["compactRecords"] = storage.compactRecords;
    j["filterRecords"] = storage.filterRecords;
    j["compactRecordBytes"] = storage.compactBytes;
    j["parts"] = st.parts;
    j["usedBytes"] = st.fileSize;
    j["nextId"] = st.nextId;
    if (!o.json && !o.subjects && !o.entries) {
        Print("file        {} ({} bytes)\n", o.gallery, bytes);
        if (st.version == 1)
            Print("format      version 1 (packed before galleries had subjects: searched, not changed)\n");
        else
            Print("format      version {}, commit {}\n", st.version, st.commit);
        Print("templates   {}\n", Counts(st));
        if (st.removed > 0)
            Print("removed     {} of {} stored (compact drops them)\n", st.removed, st.entries);
        // Version-2 galleries screen by filter records; only version 1
        // stores short templates.
        if (st.version == 1) Print("shorts      {} of {} templates\n", st.shorts, st.templates);
        // Templates without a compact record (parts written before 1.1) are
        // searched more slowly until a compaction makes theirs.
        if (st.version == 2)
            Print("prepared    {} of {} templates{}\n", storage.compactRecords, storage.templates,
                  storage.compactRecords < storage.templates ? " (`fpmatch gallery compact` prepares the rest)" : "");
        Print("parts       {}\n", st.parts);
        if (!ec && bytes > st.fileSize)
            Print("note        {} bytes after the committed state are ignored (an interrupted commit)\n",
                  bytes - st.fileSize);
    }
    int damaged = 0;
    if (o.subjects) {
        Json list = Json::array();
        char subject[FPM_SUBJECT_MAX + 1];
        for (int64_t k = 0; k < st.subjects; ++k) {
            int32_t templates = 0;
            const int32_t rc = FpmGalleryGetSubject(g.get(), k, subject, &templates);
            if (rc != FPM_OK) {
                ReportLibrary(o.gallery, rc);
                return ExitForCode(rc, false);
            }
            if (o.json)
                list.push_back({{"subject", subject}, {"templates", templates}});
            else
                Print("{}\t{}\n", subject, templates);
        }
        j["subjectList"] = list;
    }
    if (o.entries) {
        Json list = Json::array();
        for (int64_t p = 0; p < st.entries; ++p) {
            FpmEntry e{};
            const int32_t rc = FpmGalleryGetEntry(g.get(), p, &e);
            if (rc != FPM_OK) {
                ReportLibrary(o.gallery, rc);
                ++damaged;
                continue;
            }
            if (o.json)
                list.push_back({{"position", p}, {"entry", e.id}, {"subject", SubjectOf(e)},
                                {"templateBytes", e.templateLength}, {"shortTemplate", e.shortTemplate != nullptr},
                                {"removed", e.removed != 0}});
            else
                Print("{}\t{}\t{} bytes{}\n", e.id, SubjectOf(e), e.templateLength, e.removed ? "\tremoved" : "");
        }
        j["entryList"] = list;
    }
    if (o.json) PrintJson(j);
    return damaged > 0 ? kExitSkipped : kExitOk;
}

CLI::App* Sub(CLI::App* parent, const char* name, const char* about, GalleryOptions* o) {
    CLI::App* c = parent->add_subcommand(name, about);
    c->add_option("gallery", o->gallery, "Gallery file (.fpg)")->required();
    return c;
}

void AddInfoOptions(CLI::App* c, GalleryOptions* o) {
    c->add_flag("--subjects", o->subjects, "List every subject with the number of its templates");
    c->add_flag("--entries", o->entries, "List every stored template: id, subject, bytes (and removed ones, until compaction)");
    c->add_flag("--json", o->json, "Print as JSON");
}

}  // namespace

void AddGallery(CLI::App& app, int* exitCode) {
    CLI::App* gallery = app.add_subcommand(
        "gallery", "Galleries of enrolled subjects: create, add templates, remove subjects, compact, info, check");
    gallery->require_subcommand(1);

    auto create = std::make_shared<GalleryOptions>();
    SetCommand(Sub(gallery, "create", "Create a new, empty gallery file", create.get()), exitCode,
               [create] { return RunCreate(*create); });

    auto add = std::make_shared<GalleryOptions>();
    CLI::App* a = Sub(gallery, "add",
                      "Enrol template files: each under the subject of its folder and finger (DB1_B/101 for "
                      "DB1_B/101_3.iso), --subject, or its --list line; committed in one step",
                      add.get());
    a->add_option("inputs", add->inputs, "Template files or folders (a folder contributes its files)");
    a->add_option("--list", add->list,
                  "File of lines SUBJECT<TAB>PATH or PATH (relative to the list's folder; # starts a comment)");
    a->add_option("--subject", add->subject, "Enrol every given file under this subject id");
    a->add_flag("--adapt", add->adapt, "Adapt ISO records (AdaptIsoRecord) before they are stored");
    a->add_flag("--strict", add->strict, "Stop at the first file that cannot be enrolled (nothing is committed)");
    SetCommand(a, exitCode, [add] { return RunAdd(*add); });

    auto remove = std::make_shared<GalleryOptions>();
    CLI::App* r = Sub(gallery, "remove", "Remove subjects (all their templates), committed in one step", remove.get());
    r->add_option("subjects", remove->inputs, "Subject ids")->required();
    r->add_flag("--strict", remove->strict, "Stop at the first unknown subject (nothing is removed)");
    SetCommand(r, exitCode, [remove] { return RunRemove(*remove); });

    auto compact = std::make_shared<GalleryOptions>();
    SetCommand(Sub(gallery, "compact", "Rewrite the gallery without its removed templates (results stay the same)",
                   compact.get()),
               exitCode, [compact] { return RunCompact(*compact); });

    auto info = std::make_shared<GalleryOptions>();
    CLI::App* i = Sub(gallery, "info", "Show what a gallery holds: templates, subjects, removed templates, parts",
                      info.get());
    AddInfoOptions(i, info.get());
    SetCommand(i, exitCode, [info] { return RunInfo(*info); });

    auto check = std::make_shared<GalleryOptions>();
    SetCommand(Sub(gallery, "check", "Verify every checksum and record of a gallery (exit 3 when damaged)",
                   check.get()),
               exitCode, [check] { return RunCheck(*check); });
}

void AddGalleryInfo(CLI::App& app, int* exitCode) {
    auto o = std::make_shared<GalleryOptions>();
    CLI::App* c = app.add_subcommand("gallery-info", "Show what a gallery file (.fpg, either format version) holds");
    c->add_option("file", o->gallery, "Gallery file")->required();
    AddInfoOptions(c, o.get());
    SetCommand(c, exitCode, [o] { return RunInfo(*o); });
}

}  // namespace fpmatch::tool
