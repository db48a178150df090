// pack --shards N PREFIX INPUTS...: template files, folders and packed
// galleries split into N balanced gallery files, entries in input order.
// No MPI: it runs on one machine before the shards are placed.
#include "mpi_commands.h"

#include <iostream>
#include <memory>

#include "file_io.h"
#include "gallery.h"
#include "gallery_file.h"
#include "report.h"
#include "shards.h"
#include "template_load.h"

namespace fpmatch::tool {

namespace {

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Adds every entry of a packed gallery (bytes and name) to `batch`.
bool AddGallery(const std::string& path, PackBatch* batch, std::string* reason) {
    const auto g = MappedGallery::Open(path, reason);
    if (!g) return false;
    for (int32_t i = 0; i < g->Info().entryCount; ++i) {
        GalleryEntry e{};
        if (!g->Entry(i, &e, reason)) {
            *reason = "entry " + std::to_string(i) + ": " + *reason;
            return false;
        }
        batch->Add(std::vector<uint8_t>(e.templateData, e.templateData + e.templateLength),
                   std::string(e.name, static_cast<size_t>(e.nameLength)));
    }
    return true;
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
    PackBatch all;
    int skipped = problems;
    for (const std::string& p : paths) {
        std::string reason;
        bool ok = false;
        if (EndsWith(p, ".fpg")) {
            PackBatch one;
            ok = AddGallery(p, &one, &reason);
            if (ok)
                for (size_t i = 0; i < one.Count(); ++i)
                    all.Add(std::vector<uint8_t>(one.arena.begin() + static_cast<ptrdiff_t>(one.offsets[i]),
                                                 one.arena.begin() + static_cast<ptrdiff_t>(one.offsets[i] + one.lengths[i])),
                            one.names[i]);
        } else if (auto t = LoadTemplate(p, load, &reason)) {
            HintIfQualitiesMissing(*t, load);
            all.Add(t->bytes, p);
            ok = true;
        }
        if (!ok) {
            Report(p, reason + (o.strict ? "" : " (skipped)"));
            if (o.strict) return kExitInput;
            ++skipped;
        }
    }
    const int64_t total = static_cast<int64_t>(all.Count());
    if (total < o.shards) {
        Report("pack", std::to_string(total) + " usable template(s) cannot fill " + std::to_string(o.shards) +
                           " shards; nothing written");
        return kExitInput;
    }
    for (int s = 0; s < o.shards; ++s) {
        const int64_t from = PartBegin(total, o.shards, s), to = PartBegin(total, o.shards, s + 1);
        PackBatch part;
        for (int64_t i = from; i < to; ++i) {
            const size_t k = static_cast<size_t>(i);
            part.Add(std::vector<uint8_t>(all.arena.begin() + static_cast<ptrdiff_t>(all.offsets[k]),
                                          all.arena.begin() + static_cast<ptrdiff_t>(all.offsets[k] + all.lengths[k])),
                     all.names[k]);
        }
        const std::string out = ShardFileName(o.prefix, s, o.shards);
        PackResult r;
        std::string reason;
        if (!WriteNewGallery(out, part, o.shorts, &r, &reason)) {
            Report(out, reason);
            return kExitOutput;
        }
        std::cout << "shard " << s << ": " << out << ": entries " << from << ".." << (to - 1) << ", " << r.info.usedSize
                  << " bytes" << (r.shorts ? ", with short templates" : "") << '\n';
    }
    if (skipped > 0) std::cout << skipped << " input(s) skipped\n";
    return skipped > 0 ? kExitSkipped : kExitOk;
}

}  // namespace fpmatch::tool
