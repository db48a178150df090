// info TEMPLATE: what a template holds, as decoded.
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>

#include "commands.h"
#include "common.h"

namespace fpmatch::tool {

namespace {

struct InfoOptions {
    std::string file;
    bool json = false, adapt = false;
};

unsigned Be16(const std::vector<uint8_t>& b, size_t at) { return static_cast<unsigned>(b[at]) << 8 | b[at + 1]; }
unsigned Be32(const std::vector<uint8_t>& b, size_t at) { return Be16(b, at) << 16 | Be16(b, at + 2); }

int Run(const InfoOptions& o) {
    const LoadOptions load{o.adapt};
    std::string reason;
    auto t = LoadTemplate(o.file, load, &reason);
    if (!t) {
        Report(o.file, reason);
        return kExitInput;
    }
    HintIfQualitiesMissing(*t, load);
    Decoded d;
    const int32_t code = d.Decode(t->bytes.data());
    if (code != FPMATCH_DECODED) {
        Report(o.file, "does not decode (code " + std::to_string(code) + ")");
        return kExitInput;
    }
    const FeatureSet& fs = d.fs;
    const bool iso = t->kind == TemplateKind::Iso;
    const std::vector<uint8_t>& b = t->bytes;
    int outside = 0;
    for (int i = 0; i < fs.minutiaCount; ++i)
        if (fs.minutiae[i].x < 0 || fs.minutiae[i].x >= FPMATCH_IMAGE_WIDTH || fs.minutiae[i].y < 0 ||
            fs.minutiae[i].y >= FPMATCH_IMAGE_HEIGHT)
            ++outside;
    std::vector<SingularPoint> singular;
    for (int i = 0; i < 2; ++i)
        if (fs.singularPoints[i].x != 0 || fs.singularPoints[i].y != 0) singular.push_back(fs.singularPoints[i]);
    int background = 0;
    for (uint8_t c : fs.gndTable->cells) background += c;

    if (o.json) {
        Json j;
        j["file"] = t->path;
        j["bytes"] = t->original.size();
        j["format"] = KindName(t->kind);
        j["adapted"] = t->adapted;
        j["formatCode"] = fs.format;
        j["quality"] = fs.quality;
        j["declaredMinutiae"] = t->declaredCount;
        j["decodedMinutiae"] = fs.minutiaCount;
        j["outsideImage"] = outside;
        if (iso) {
            j["record"] = {{"length", Be32(b, 8)},
                           {"imageWidth", Be16(b, 14)},
                           {"imageHeight", Be16(b, 16)},
                           {"resolutionX", Be16(b, 18)},
                           {"resolutionY", Be16(b, 20)},
                           {"fingerViews", b[22]},
                           {"fingerPosition", b[24]},
                           {"impressionType", b[25] & 0x0F}};
        }
        Json m = Json::array();
        for (int i = 0; i < fs.minutiaCount; ++i) m.push_back(MinutiaJson(fs.minutiae[i], i));
        j["minutiae"] = m;
        Json sp = Json::array();
        for (const SingularPoint& p : singular) sp.push_back({{"x", p.x}, {"y", p.y}});
        j["singularPoints"] = sp;
        j["mask"] = {{"present", !iso}, {"backgroundCells", background}, {"cells", FPMATCH_GND_CELLS}};
        if (!iso) {
            Json rows = Json::array();
            for (int r = 0; r < 36; ++r) {
                std::string row;
                for (int c = 0; c < 32; ++c) row += fs.gndTable->cells[r * 32 + c] ? '#' : '.';
                rows.push_back(row);
            }
            j["mask"]["rows"] = rows;
        }
        std::cout << DumpJson(j) << '\n';
        return kExitOk;
    }

    std::ostringstream s;
    s << "file        " << t->path << " (" << t->original.size() << " bytes)\n";
    if (iso) {
        s << "format      ISO/IEC 19794-2:2005 finger minutiae record" << (t->adapted ? ", adapted" : "")
          << " (decoded format code " << int(fs.format) << ")\n";
        s << "record      length " << Be32(b, 8) << ", image " << Be16(b, 14) << " x "
          << Be16(b, 16) << ", resolution " << Be16(b, 18) << " x " << Be16(b, 20) << " px/cm, " << int(b[22])
          << " finger view(s), finger position " << int(b[24]) << ", impression type " << (b[25] & 0x0F) << '\n';
        s << "quality     " << int(fs.quality) << " (finger quality)\n";
    } else {
        s << "format      native template, version 3, format code " << int(fs.format) << '\n';
        s << "quality     " << int(fs.quality) << '\n';
    }
    s << "minutiae    " << t->declaredCount << " declared, " << int(fs.minutiaCount) << " decoded";
    if (!iso && t->declaredCount > 25) s << " (native templates are read up to 25)";
    s << '\n';
    if (outside > 0)
        s << "note        " << outside << " minutiae lie outside the 256 x 288 image the matcher models\n";
    s << "singular    ";
    if (singular.empty()) s << "none";
    for (const SingularPoint& p : singular) s << '(' << p.x << ", " << p.y << ") ";
    s << '\n';
    if (iso) {
        s << "mask        none (ISO records carry no mask: all foreground)\n";
    } else {
        s << "mask        " << background << " of " << FPMATCH_GND_CELLS
          << " cells of 8 x 8 pixels are background (#):\n";
        for (int r = 0; r < 36; ++r) {
            s << "            ";
            for (int c = 0; c < 32; ++c) s << (fs.gndTable->cells[r * 32 + c] ? '#' : '.');
            s << '\n';
        }
    }
    s << "\n   #     x     y  angle  quality  type\n";
    char line[96];
    for (int i = 0; i < fs.minutiaCount; ++i) {
        const Minutia& m = fs.minutiae[i];
        std::snprintf(line, sizeof line, "%4d %5d %5d  %5d  %7d  %s\n", i, m.x, m.y, m.angle, m.quality,
                      TypeName(m.type).c_str());
        s << line;
    }
    std::cout << s.str();
    return kExitOk;
}

struct ConvertOptions {
    std::string in, to, out;
    bool adapt = false;
};

int RunConvert(const ConvertOptions& o) {
    const LoadOptions load{o.adapt};
    std::string reason;
    auto t = LoadTemplate(o.in, load, &reason);
    if (!t) {
        Report(o.in, reason);
        return kExitInput;
    }
    HintIfQualitiesMissing(*t, load);
    Decoded d;
    if (d.Decode(t->bytes.data()) != FPMATCH_DECODED) {
        Report(o.in, "does not decode");
        return kExitInput;
    }
    uint8_t out[1024] = {};
    const int32_t n = o.to == "native" ? WriteNativeTemplate(&d.fs, out, sizeof out)
                                       : WriteShortTemplate(&d.fs, out, sizeof out);
    if (n < 0) {
        Report(o.in, "cannot convert to a " + o.to + " template: " + WriteCodeMessage(n) +
                         (t->kind == TemplateKind::Iso && !o.adapt ? " (--adapt may bring it into range)" : ""));
        return kExitRefused;
    }
    if (!WriteBytes(o.out, out, static_cast<size_t>(n))) return kExitOutput;
    if (t->kind == TemplateKind::Native && t->declaredCount > 25)
        NoteOnce("native25", "only the first 25 minutiae of a native template are decoded and written");
    if (o.to == "native" && d.fs.minutiaCount > FPMATCH_MAX_NATIVE_MINUTIAE)
        NoteOnce("native25", "all " + std::to_string(d.fs.minutiaCount) +
                                 " minutiae were written, but matching reads only the first 25 of a native template");
    std::cout << "wrote " << o.out << " (" << o.to << ", " << n << " bytes, " << int(d.fs.minutiaCount)
              << " minutiae)\n";
    return kExitOk;
}

}  // namespace

void AddInfo(CLI::App& app, int* exitCode) {
    auto o = std::make_shared<InfoOptions>();
    CLI::App* c = app.add_subcommand("info", "Show what a template holds, as decoded");
    c->add_option("template", o->file, "Template file")->required();
    c->add_flag("--json", o->json, "Print as JSON");
    c->add_flag("--adapt", o->adapt, "Show an ISO record as adapted (AdaptIsoRecord)");
    c->callback([o, exitCode] { *exitCode = Run(*o); });
}

void AddConvert(CLI::App& app, int* exitCode) {
    auto o = std::make_shared<ConvertOptions>();
    CLI::App* c = app.add_subcommand("convert", "Write an ISO record or native template as a native or short template");
    c->add_option("input", o->in, "Input template file")->required();
    c->add_option("--to", o->to, "Target format")->required()->check(CLI::IsMember({"native", "short"}));
    c->add_option("-o,--output", o->out, "Output file")->required();
    c->add_flag("--adapt", o->adapt, "Adapt ISO records (AdaptIsoRecord) first");
    c->callback([o, exitCode] { *exitCode = RunConvert(*o); });
}

}  // namespace fpmatch::tool
