// pack --shards N PREFIX INPUTS...: template files, folders and galleries
// enrolled into N balanced gallery files, templates in input order, through
// the identification library. A template file is its own subject, named by
// its path (as `fpmatch pack` names them); a gallery's templates keep their
// subjects. No MPI: it runs on one machine before the shards are placed.
#include "mpi_commands.h"

#include <filesystem>
#include <memory>

#include <fmt/core.h>

#include "file_io.h"
#include "gallery.h"
#include "id_gallery.h"
#include "report.h"
#include "shards.h"
#include "template_load.h"

namespace fpmatch::tool {

namespace {

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// One template to store: its subject and the bytes to hand the library.
struct Stored {
    std::string subject;
    std::vector<uint8_t> bytes;
};

// Adds the committed templates of a gallery, in position order. Returns
// false with `reason` set when the library refuses the file.
bool AddGallery(const std::string& path, std::vector<Stored>* out, std::string* reason) {
    FpmGallery* g = nullptr;
    int32_t rc = FpmGalleryOpen(path.c_str(), FPM_OPEN_READ, &g);
    const GalleryHandle handle(g);
    FpmGalleryStat st{};
    if (rc == FPM_OK) rc = FpmGalleryGetStat(g, &st);
    for (int64_t p = 0; rc == FPM_OK && p < st.entries; ++p) {
        FpmEntry e{};
        rc = FpmGalleryGetEntry(g, p, &e);
        if (rc == FPM_OK && !e.removed)
            out->push_back(Stored{SubjectOf(e), std::vector<uint8_t>(e.templateData, e.templateData + e.templateLength)});
    }
    if (rc != FPM_OK) *reason = LibraryText(rc, path);
    return rc == FPM_OK;
}

}  // namespace

int RunPackShards(const PackShardsOptions& o) {
    int problems = 0;
    const std::vector<std::string> paths = ExpandGallery(o.inputs, o.list, &problems);
    if (problems > 0 && o.strict) return kExitInput;
    if (paths.empty()) {
        Report("pack", "no templates given (files, folders, galleries or --list)");
        return kExitInput;
    }
    const LoadOptions load{o.adapt};
    std::vector<Stored> all;
    int skipped = problems;
    for (const std::string& p : paths) {
        std::string reason;
        bool ok = false;
        if (EndsWith(p, ".fpg")) {
            ok = AddGallery(p, &all, &reason);
        } else if (auto t = LoadTemplate(p, load, &reason)) {
            HintIfQualitiesMissing(*t, load);
            all.push_back(Stored{p, std::move(t->bytes)});  // adapted already with --adapt
            ok = true;
        }
        if (!ok) {
            Report(p, reason + (o.strict ? "" : " (skipped)"));
            if (o.strict) return kExitInput;
            ++skipped;
        }
    }
    const auto total = static_cast<int64_t>(all.size());
    if (total < o.shards) {
        Report("pack", std::to_string(total) + " usable template(s) cannot fill " + std::to_string(o.shards) +
                           " shards; nothing written");
        return kExitInput;
    }
    // Every shard is written and committed aside first; only then are they
    // put in place, so a refusal leaves every PREFIX.S.fpg as it was.
    std::vector<std::unique_ptr<NewGallery>> written;
    std::vector<std::string> lines;
    for (int s = 0; s < o.shards; ++s) {
        const int64_t from = PartBegin(total, o.shards, s), to = PartBegin(total, o.shards, s + 1);
        const std::string out = ShardFileName(o.prefix, s, o.shards);
        int exit = kExitOk;
        auto shard = NewGallery::Create(out, &exit);
        if (!shard) return exit;
        for (int64_t i = from; i < to; ++i) {
            const Stored& t = all[static_cast<size_t>(i)];
            const int32_t rc = FpmGalleryAdd(shard->Get(), t.subject.c_str(), t.bytes.data(), t.bytes.size(), 0);
            if (rc != FPM_OK) {
                // Not skipped: the shards would no longer follow the input order.
                Report(t.subject, LibraryText(rc) + "; nothing written");
                return IsTemplateCode(rc) || rc == FPM_E_SUBJECT ? kExitInput : ExitForCode(rc, true);
            }
        }
        if (!shard->Commit()) return kExitOutput;
        lines.push_back(fmt::format("shard {}: {}: entries {}..{}", s, out, from, to - 1));
        written.push_back(std::move(shard));
    }
    for (int s = 0; s < o.shards; ++s) {
        if (!written[static_cast<size_t>(s)]->Place()) return kExitOutput;
        std::error_code ec;
        Print("{}, {} bytes\n", lines[static_cast<size_t>(s)],
              std::filesystem::file_size(ShardFileName(o.prefix, s, o.shards), ec));
    }
    if (skipped > 0) Print("{} input(s) skipped\n", skipped);
    return skipped > 0 ? kExitSkipped : kExitOk;
}

}  // namespace fpmatch::tool
