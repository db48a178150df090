// gallery-info FILE.fpg: what a packed gallery holds (version, counts,
// segments, short templates), optionally every entry.
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

struct GalleryInfoOptions {
    std::string file;
    bool entries = false, json = false;
};

int Run(const GalleryInfoOptions& o) {
    std::string reason;
    const auto g = MappedGallery::Open(o.file, &reason);
    if (!g) {
        Report(o.file, reason);
        return kExitInput;
    }
    const GalleryInfo& info = g->Info();
    Json segments = Json::array();
    for (int32_t s = 0; s < info.segmentCount; ++s) {
        GallerySegment seg{};
        if (!g->Segment(s, &seg, &reason)) {
            Report(o.file, reason);
            return kExitInput;
        }
        segments.push_back({{"firstIndex", seg.firstIndex},
                            {"entries", seg.entryCount},
                            {"stride", seg.stride},
                            {"shortTemplates", seg.hasShorts != 0},
                            {"offset", seg.offset},
                            {"bytes", seg.endOffset - seg.offset}});
    }
    int damaged = 0;
    Json entries = Json::array();
    if (o.entries) {
        for (int32_t i = 0; i < info.entryCount; ++i) {
            GalleryEntry e{};
            if (!g->Entry(i, &e, &reason)) {
                Report(o.file, reason);
                ++damaged;
                continue;
            }
            const std::string name(e.name, static_cast<size_t>(e.nameLength));
            const int32_t check = CheckTemplate(e.templateData, static_cast<size_t>(e.templateLength));
            if (o.json)
                entries.push_back({{"index", i}, {"name", name}, {"templateBytes", e.templateLength},
                                   {"checkTemplate", check}, {"shortTemplate", e.shortTemplate != nullptr}});
            else
                std::cout << i << '\t' << name << '\t' << e.templateLength << " bytes"
                          << (check != 0 ? "\tCheckTemplate " + std::to_string(check) : std::string()) << '\n';
        }
    }
    if (o.json) {
        Json j;
        j["file"] = o.file;
        j["fileBytes"] = g->Size();
        j["version"] = info.version;
        j["entries"] = info.entryCount;
        j["segmentCount"] = info.segmentCount;
        j["shortTemplates"] = info.shortCount;
        j["usedBytes"] = info.usedSize;
        j["segments"] = segments;
        if (o.entries) j["entryList"] = entries;
        PrintJson(j);
    } else if (!o.entries) {
        std::cout << "file        " << o.file << " (" << g->Size() << " bytes)\n"
                  << "format      packed gallery, version " << info.version << '\n'
                  << "entries     " << info.entryCount << " in " << info.segmentCount << " segment(s)\n"
                  << "shorts      " << info.shortCount << " of " << info.entryCount << " entries\n";
        if (info.entryCount > 0)
            std::cout << "bytes/entry " << (info.usedSize + info.entryCount / 2) / static_cast<uint64_t>(info.entryCount)
                      << '\n';
        for (size_t s = 0; s < segments.size(); ++s) {
            const Json& seg = segments[s];
            const int32_t first = seg["firstIndex"].get<int32_t>(), n = seg["entries"].get<int32_t>();
            std::cout << "segment " << s << "   entries " << first << ".." << first + n - 1 << ", slots of "
                      << seg["stride"].get<int32_t>() << " bytes"
                      << (seg["shortTemplates"].get<bool>() ? ", short templates" : "") << '\n';
        }
        if (g->Size() > info.usedSize)
            std::cout << "note        " << g->Size() - info.usedSize
                      << " bytes after the gallery's end are ignored (an interrupted append)\n";
    }
    return damaged > 0 ? kExitSkipped : kExitOk;
}

}  // namespace

void AddGalleryInfo(CLI::App& app, int* exitCode) {
    auto o = std::make_shared<GalleryInfoOptions>();
    CLI::App* c = app.add_subcommand("gallery-info", "Show what a packed gallery file (.fpg) holds");
    c->add_option("file", o->file, "Gallery file")->required();
    c->add_flag("--entries", o->entries, "List every entry: index, name, template bytes");
    c->add_flag("--json", o->json, "Print as JSON");
    SetCommand(c, exitCode, [o] { return Run(*o); });
}

}  // namespace fpmatch::tool
