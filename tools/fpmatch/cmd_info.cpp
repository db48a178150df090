// info TEMPLATE: what a template holds: native templates and ISO records as
// the matcher decodes them, ISO records the matcher refuses for their
// minutia count as recorded, short screening templates as XpdShortChar
// unpacks them.
#include <memory>
#include <vector>

#include <fmt/core.h>

#include "commands.h"
#include "file_io.h"
#include "output.h"
#include "printable.h"
#include "report.h"
#include "template_load.h"

namespace fpmatch::tool {

namespace {

struct InfoOptions {
    std::string file;
    bool json = false, adapt = false;
};

unsigned Be16(const std::vector<uint8_t>& b, size_t at) { return static_cast<unsigned>(b[at]) << 8 | b[at + 1]; }
unsigned Be32(const std::vector<uint8_t>& b, size_t at) { return Be16(b, at) << 16 | Be16(b, at + 2); }

// A minutia row: decoded (matcher's units) or as recorded.
struct Row {
    int x, y, angle, quality;
    std::string type;
};

// The entries of an ISO record's first finger view, as recorded: angle in
// degrees counter-clockwise (units of 360/256), quality 0..100, type from
// the two-bit code.
std::vector<Row> RecordedIsoMinutiae(const std::vector<uint8_t>& b) {
    static const char* const kTypes[4] = {"other", "ending", "bifurcation", "reserved"};
    std::vector<Row> rows;
    for (size_t i = 0; i < b[27]; ++i) {
        const uint8_t* e = &b[28 + 6 * i];
        rows.push_back({(e[0] & 0x3F) << 8 | e[1], (e[2] & 0x3F) << 8 | e[3], e[4] * 360 / 256, e[5], kTypes[e[0] >> 6]});
    }
    return rows;
}

struct Description {
    std::vector<Row> minutiae;
    bool recorded = false;  // rows as recorded rather than decoded
    int formatCode = -1, quality = 0, decoded = 0;
    std::vector<SingularPoint> singular;
    const GndTable* mask = nullptr;  // native templates
    int outside = 0;
};

std::string MaskRow(const GndTable& mask, int r) {
    std::string row;
    for (int c = 0; c < 32; ++c) row += mask.cells[r * 32 + c] ? '#' : '.';
    return row;
}

int Run(const InfoOptions& o) {
    LoadOptions load{o.adapt};
    load.acceptShort = true;
    load.describe = true;
    std::string reason;
    auto t = LoadTemplate(o.file, load, &reason);
    if (!t) {
        Report(DisplayPath(o.file), reason);
        return kExitInput;
    }
    HintIfQualitiesMissing(*t, load);
    const bool iso = t->kind == TemplateKind::Iso;
    const std::vector<uint8_t>& b = t->bytes;
    Description d;
    auto storage = std::make_unique<FeatureStorage>();
    FeatureSet fs;
    if (t->kind == TemplateKind::Short) {
        int32_t words[FPMATCH_SHORT_TEMPLATE_SIZE / 2];
        for (size_t k = 0; k < FPMATCH_SHORT_TEMPLATE_SIZE / 2; ++k) words[k] = static_cast<int32_t>(Be16(b, 2 * k));
        ShortMinutia m[FPMATCH_MAX_MINUTIAE] = {};
        int16_t count = 0, format = 0, quality = 0;
        XpdShortChar(words, m, &count, &format, &quality, nullptr);
        d.formatCode = format;
        d.quality = quality;
        d.decoded = std::min<int>(count, FPMATCH_MAX_MINUTIAE);
        for (int i = 0; i < d.decoded; ++i) d.minutiae.push_back({m[i].x, m[i].y, m[i].angle, m[i].quality, TypeName(m[i].type)});
    } else if (!t->refusal.empty()) {
        d.minutiae = RecordedIsoMinutiae(b);
        d.recorded = true;
        d.quality = b[26];
    } else {
        const int32_t code = DecodeTemplate(*t, storage.get(), &fs);
        if (code != FPMATCH_DECODED) {
            Report(DisplayPath(o.file), "does not decode: " + DecodeCodeMessage(code));
            return kExitInput;
        }
        d.formatCode = fs.format;
        d.quality = fs.quality;
        d.decoded = fs.minutiaCount;
        for (int i = 0; i < fs.minutiaCount; ++i) {
            const Minutia& m = fs.minutiae[i];
            d.minutiae.push_back({m.x, m.y, m.angle, m.quality, TypeName(m.type)});
            if (m.x < 0 || m.x >= FPMATCH_IMAGE_WIDTH || m.y < 0 || m.y >= FPMATCH_IMAGE_HEIGHT) ++d.outside;
        }
        for (int i = 0; i < 2; ++i)
            if (fs.singularPoints[i].x != 0 || fs.singularPoints[i].y != 0) d.singular.push_back(fs.singularPoints[i]);
        if (t->kind == TemplateKind::Native) d.mask = fs.gndTable;
    }
    int background = 0;
    if (d.mask != nullptr)
        for (uint8_t c : d.mask->cells) background += c;

    if (o.json) {
        Json j;
        j["file"] = t->path;
        j["bytes"] = t->original.size();
        j["format"] = KindName(t->kind);
        j["adapted"] = t->adapted;
        j["matchable"] = t->refusal.empty() && t->kind != TemplateKind::Short;
        if (!t->refusal.empty()) j["refusal"] = t->refusal;
        if (d.formatCode >= 0) j["formatCode"] = d.formatCode;
        j["quality"] = d.quality;
        j["declaredMinutiae"] = t->declaredCount;
        if (!d.recorded) j["decodedMinutiae"] = d.decoded;
        j["minutiaValues"] = d.recorded ? "recorded" : "decoded";
        if (t->kind != TemplateKind::Short) j["outsideImage"] = d.outside;
        if (iso) {
            j["record"] = {{"length", Be32(b, 8)},        {"imageWidth", Be16(b, 14)},  {"imageHeight", Be16(b, 16)},
                           {"resolutionX", Be16(b, 18)},  {"resolutionY", Be16(b, 20)}, {"fingerViews", b[22]},
                           {"fingerPosition", b[24]},     {"impressionType", b[25] & 0x0F}};
        }
        Json m = Json::array();
        for (size_t i = 0; i < d.minutiae.size(); ++i) {
            const Row& r = d.minutiae[i];
            m.push_back({{"index", i}, {"x", r.x}, {"y", r.y}, {"angle", r.angle}, {"quality", r.quality}, {"type", r.type}});
        }
        j["minutiae"] = m;
        if (t->kind != TemplateKind::Short) {
            Json sp = Json::array();
            for (const SingularPoint& p : d.singular) sp.push_back({{"x", p.x}, {"y", p.y}});
            j["singularPoints"] = sp;
        }
        if (d.mask != nullptr) {
            Json rows = Json::array();
            for (int r = 0; r < 36; ++r) rows.push_back(MaskRow(*d.mask, r));
            j["mask"] = {{"present", true}, {"backgroundCells", background}, {"cells", FPMATCH_GND_CELLS}, {"rows", rows}};
        } else {
            j["mask"] = {{"present", false}};
        }
        PrintJson(j);
        return kExitOk;
    }

    std::string s = fmt::format("file        {} ({} bytes)\n", Printable(DisplayPath(t->path)), t->original.size());
    switch (t->kind) {
        case TemplateKind::Iso:
            s += fmt::format("format      ISO/IEC 19794-2:2005 finger minutiae record{}", t->adapted ? ", adapted" : "");
            s += d.recorded ? "\n" : fmt::format(" (decoded format code {})\n", d.formatCode);
            s += fmt::format(
                "record      length {}, image {} x {}, resolution {} x {} px/cm, {} finger view(s), finger position {}, "
                "impression type {}\n",
                Be32(b, 8), Be16(b, 14), Be16(b, 16), Be16(b, 18), Be16(b, 20), b[22], b[24], b[25] & 0x0F);
            s += fmt::format("quality     {} (finger quality)\n", d.quality);
            break;
        case TemplateKind::Native:
            s += fmt::format("format      native template, version 3, format code {}\n", d.formatCode);
            s += fmt::format("quality     {}\n", d.quality);
            break;
        case TemplateKind::Short:
            s += fmt::format("format      short screening template (512 bytes, 03 01), format code {}; for screen only\n",
                             d.formatCode);
            s += fmt::format("quality     {}\n", d.quality);
            break;
    }
    if (d.recorded)
        s += fmt::format("minutiae    {} declared\n", t->declaredCount);
    else
        s += fmt::format("minutiae    {} declared, {} decoded{}\n", t->declaredCount, d.decoded,
                         t->kind == TemplateKind::Native && t->declaredCount > 25 ? " (native templates are read up to 25)"
                                                                                  : "");
    if (!t->refusal.empty()) s += fmt::format("matching    refused: {}\n", t->refusal);
    if (d.outside > 0)
        s += fmt::format("note        {} minutiae lie outside the 256 x 288 image the matcher models\n", d.outside);
    if (t->kind != TemplateKind::Short) {
        s += "singular    ";
        if (d.singular.empty()) s += "none";
        for (const SingularPoint& p : d.singular) s += fmt::format("({}, {}) ", p.x, p.y);
        s += '\n';
    }
    if (d.mask != nullptr) {
        s += fmt::format("mask        {} of {} cells of 8 x 8 pixels are background (#):\n", background, FPMATCH_GND_CELLS);
        for (int r = 0; r < 36; ++r) s += "            " + MaskRow(*d.mask, r) + '\n';
    } else if (iso) {
        s += "mask        none (ISO records carry no mask: all foreground)\n";
    } else {
        s += "mask        none (short templates carry no mask)\n";
    }
    s += d.recorded ? "\nminutiae as recorded (angle in degrees counter-clockwise, quality 0..100):\n" : "\n";
    s += "   #     x     y  angle  quality  type\n";
    for (size_t i = 0; i < d.minutiae.size(); ++i) {
        const Row& r = d.minutiae[i];
        s += fmt::format("{:4} {:5} {:5}  {:5}  {:7}  {}\n", i, r.x, r.y, r.angle, r.quality, r.type);
    }
    WriteOut(s);
    return kExitOk;
}

}  // namespace

void AddInfo(CLI::App& app, int* exitCode) {
    auto o = std::make_shared<InfoOptions>();
    CLI::App* c = app.add_subcommand("info", "Show what a template holds, as decoded");
    c->add_option("template", o->file, "Template file (- for standard input)")->required();
    c->add_flag("--json", o->json, "Print as JSON");
    c->add_flag("--adapt", o->adapt, "Show an ISO record as adapted (AdaptIsoRecord)");
    SetCommand(c, exitCode, [o] { return Run(*o); });
}

}  // namespace fpmatch::tool
