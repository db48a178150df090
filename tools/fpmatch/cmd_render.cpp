// render PROBE GALLERY -o OUT.svg: both minutia sets in the probe's frame
// after the best alignment, as the library explains it (ExplainMatch).
#include <cmath>
#include <memory>

#include <fmt/core.h>

#include "commands.h"
#include "file_io.h"
#include "printable.h"
#include "report.h"
#include "template_load.h"

namespace fpmatch::tool {

namespace {

struct RenderOptions {
    std::string probe, gallery, out;
    bool adapt = false;
};

constexpr double kScale = 2.0;
constexpr double kMargin = 20.0;
constexpr double kPi = 3.14159265358979323846;

double X(double x) { return kMargin + x * kScale; }

// One minutia: a circle (ending), a square (bifurcation) or a triangle
// (other types), with a tail along its direction.
void DrawMinutia(std::string& s, const Minutia& m, const char* colour, double size) {
    const double x = X(m.x), y = X(m.y);
    const double a = m.angle * kPi / 180.0;
    s += fmt::format("<line x1=\"{:.1f}\" y1=\"{:.1f}\" x2=\"{:.1f}\" y2=\"{:.1f}\" stroke=\"{}\" stroke-width=\"1.5\"/>\n",
                     x, y, x + 7 * kScale * std::cos(a), y + 7 * kScale * std::sin(a), colour);
    if (m.type == 0)
        s += fmt::format("<circle cx=\"{:.1f}\" cy=\"{:.1f}\" r=\"{:.1f}\" fill=\"none\" stroke=\"{}\" stroke-width=\"1.5\"/>\n",
                         x, y, size, colour);
    else if (m.type == 1)
        s += fmt::format(
            "<rect x=\"{:.1f}\" y=\"{:.1f}\" width=\"{:.1f}\" height=\"{:.1f}\" fill=\"none\" stroke=\"{}\" "
            "stroke-width=\"1.5\"/>\n",
            x - size, y - size, 2 * size, 2 * size, colour);
    else
        s += fmt::format(
            "<polygon points=\"{:.1f},{:.1f} {:.1f},{:.1f} {:.1f},{:.1f}\" fill=\"none\" stroke=\"{}\" "
            "stroke-width=\"1.5\"/>\n",
            x, y - size, x - size, y + size, x + size, y + size, colour);
}

std::string Escaped(const std::string& t) {
    std::string e;
    for (char ch : t) e += ch == '<' ? std::string("&lt;") : ch == '&' ? std::string("&amp;") : std::string(1, ch);
    return e;
}

int Run(const RenderOptions& o) {
    const LoadOptions load{o.adapt};
    const auto probe = LoadRequired(o.probe, load);
    if (!probe) return kExitInput;
    const auto gallery = LoadRequired(o.gallery, load);
    if (!gallery) return kExitInput;
    HintIfQualitiesMissing(*probe, load);
    HintIfQualitiesMissing(*gallery, load);
    auto e = std::make_unique<MatchExplanation>();
    ExplainMatch(probe->bytes.data(), gallery->bytes.data(), e.get());
    // The probe's mask, for its background cells.
    auto storage = std::make_unique<FeatureStorage>();
    FeatureSet decoded;
    const bool probeDecoded = DecodeTemplate(*probe, storage.get(), &decoded) == FPMATCH_DECODED;

    const double w = FPMATCH_IMAGE_WIDTH * kScale + 2 * kMargin, h = FPMATCH_IMAGE_HEIGHT * kScale + 2 * kMargin;
    std::string s = fmt::format(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{}\" height=\"{}\" font-family=\"sans-serif\" "
        "font-size=\"12\">\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n",
        w + 300, h);
    for (int r = 0; probeDecoded && r < 36; ++r)
        for (int c = 0; c < 32; ++c)
            if (decoded.gndTable->cells[r * 32 + c])
                s += fmt::format("<rect x=\"{:.1f}\" y=\"{:.1f}\" width=\"{:.1f}\" height=\"{:.1f}\" fill=\"#eee\"/>\n",
                                 X(c * 8), X(r * 8), 8 * kScale, 8 * kScale);
    s += fmt::format("<rect x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\" fill=\"none\" stroke=\"#888\"/>\n", kMargin,
                     kMargin, FPMATCH_IMAGE_WIDTH * kScale, FPMATCH_IMAGE_HEIGHT * kScale);
    const AlignmentExplanation* best = e->basePairCount > 0 ? &e->alignments[0] : nullptr;
    if (best != nullptr) {
        for (int32_t k = 0; k < best->pairCount; ++k) {
            const Minutia& pm = e->probeMinutiae[best->pairs[k].probeIndex];
            const Minutia& gm = best->movedGallery[best->pairs[k].galleryIndex];
            s += fmt::format(
                "<circle cx=\"{:.1f}\" cy=\"{:.1f}\" r=\"10\" fill=\"#2ca02c\" fill-opacity=\"0.25\"/>\n"
                "<line x1=\"{:.1f}\" y1=\"{:.1f}\" x2=\"{:.1f}\" y2=\"{:.1f}\" stroke=\"#2ca02c\" stroke-width=\"3\"/>\n",
                X(pm.x), X(pm.y), X(pm.x), X(pm.y), X(gm.x), X(gm.y));
        }
        for (const Minutia& gm : best->movedGallery)
            if (gm.x > 0) DrawMinutia(s, gm, "#d62728", 4);
    }
    for (int32_t i = 0; i < e->probeCount; ++i) DrawMinutia(s, e->probeMinutiae[i], "#1f77b4", 4);
    if (best != nullptr) {
        const Minutia& base = e->probeMinutiae[best->basePair.probeIndex];
        s += fmt::format("<circle cx=\"{:.1f}\" cy=\"{:.1f}\" r=\"11\" fill=\"none\" stroke=\"#ff7f0e\" stroke-width=\"3\"/>\n",
                         X(base.x), X(base.y));
    }
    // Legend.
    auto text = [&](double y, const std::string& t, const char* colour = "black") {
        s += fmt::format("<text x=\"{}\" y=\"{}\" fill=\"{}\">{}</text>\n", w + 10, y, colour, Escaped(Printable(t)));
    };
    text(30, fmt::format("score {}", e->score));
    text(50, "probe: " + probe->name, "#1f77b4");
    text(68, "gallery (aligned): " + gallery->name, "#d62728");
    const int32_t paired = best != nullptr ? best->pairCount : 0;
    if (best != nullptr) {
        text(86, fmt::format("{} paired minutiae (green)", paired), "#2ca02c");
        text(104, fmt::format("base pair (orange): probe {}, gallery {}", best->basePair.probeIndex,
                              best->basePair.galleryIndex),
             "#ff7f0e");
        // The alignment's rotation as the library reports it (compare --json):
        // the probe turned by it lands in the gallery's frame; the gallery
        // drawn here is turned by its opposite into the probe's.
        text(122, fmt::format("rotation {} deg", best->rotation));
    } else {
        text(86, "no base pair: nothing aligned");
    }
    text(150, "circle: ending, square: bifurcation");
    text(168, "grey: probe background");
    s += "</svg>\n";
    if (!WriteFileText(o.out, s)) return kExitOutput;
    if (!IsStdout(o.out)) Print("wrote {} (score {}, {} paired minutiae)\n", Printable(o.out), e->score, paired);
    return kExitOk;
}

}  // namespace

void AddRender(CLI::App& app, int* exitCode) {
    auto o = std::make_shared<RenderOptions>();
    CLI::App* c = app.add_subcommand("render", "Draw both minutia sets in the probe's frame after the best alignment (SVG)");
    c->add_option("probe", o->probe, "Probe template file (- for standard input)")->required();
    c->add_option("gallery", o->gallery, "Gallery template file (- for standard input)")->required();
    c->add_option("-o,--output", o->out, "SVG file to write (- for standard output)")->required();
    c->add_flag("--adapt", o->adapt, "Adapt ISO records (AdaptIsoRecord) first");
    SetCommand(c, exitCode, [o] { return Run(*o); });
}

}  // namespace fpmatch::tool
