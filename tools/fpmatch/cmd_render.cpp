// render PROBE GALLERY -o OUT.svg: both minutia sets in the probe's frame
// after the best alignment.
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>

#include "analysis.h"
#include "commands.h"

namespace fpmatch::tool {

namespace {

struct RenderOptions {
    std::string probe, gallery, out;
    bool adapt = false;
};

constexpr double kScale = 2.0;
constexpr double kMargin = 20.0;

// One minutia: a circle (ending), a square (bifurcation) or a triangle
// (other types), with a tail along its direction.
void DrawMinutia(std::ostringstream& s, const Minutia& m, const char* colour, double size) {
    const double x = kMargin + m.x * kScale, y = kMargin + m.y * kScale;
    const double a = m.angle * 3.14159265358979323846 / 180.0;
    char buf[320];
    std::snprintf(buf, sizeof buf,
                  "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" stroke-width=\"1.5\"/>\n", x, y,
                  x + 7 * kScale * std::cos(a), y + 7 * kScale * std::sin(a), colour);
    s << buf;
    if (m.type == 0)
        std::snprintf(buf, sizeof buf, "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"%.1f\" fill=\"none\" stroke=\"%s\" stroke-width=\"1.5\"/>\n",
                      x, y, size, colour);
    else if (m.type == 1)
        std::snprintf(buf, sizeof buf,
                      "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"none\" stroke=\"%s\" stroke-width=\"1.5\"/>\n",
                      x - size, y - size, 2 * size, 2 * size, colour);
    else
        std::snprintf(buf, sizeof buf,
                      "<polygon points=\"%.1f,%.1f %.1f,%.1f %.1f,%.1f\" fill=\"none\" stroke=\"%s\" stroke-width=\"1.5\"/>\n",
                      x, y - size, x - size, y + size, x + size, y + size, colour);
    s << buf;
}

int Run(const RenderOptions& o) {
    const LoadOptions load{o.adapt};
    const auto probe = LoadRequired(o.probe, load);
    if (!probe) return kExitInput;
    const auto gallery = LoadRequired(o.gallery, load);
    if (!gallery) return kExitInput;
    HintIfQualitiesMissing(*probe, load);
    HintIfQualitiesMissing(*gallery, load);
    const MatchAnalysis a = AnalyzeMatch(*probe, *gallery);
    const double w = FPMATCH_IMAGE_WIDTH * kScale + 2 * kMargin, h = FPMATCH_IMAGE_HEIGHT * kScale + 2 * kMargin;
    std::ostringstream s;
    char buf[320];
    s << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << w + 300 << "\" height=\"" << h
      << "\" font-family=\"sans-serif\" font-size=\"12\">\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    // The probe's background cells, then the image frame.
    const FeatureSet& p = a.probe->fs;
    for (int r = 0; r < 36; ++r)
        for (int c = 0; c < 32; ++c)
            if (p.gndTable->cells[r * 32 + c]) {
                std::snprintf(buf, sizeof buf, "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"#eee\"/>\n",
                              kMargin + c * 8 * kScale, kMargin + r * 8 * kScale, 8 * kScale, 8 * kScale);
                s << buf;
            }
    s << "<rect x=\"" << kMargin << "\" y=\"" << kMargin << "\" width=\"" << FPMATCH_IMAGE_WIDTH * kScale
      << "\" height=\"" << FPMATCH_IMAGE_HEIGHT * kScale << "\" fill=\"none\" stroke=\"#888\"/>\n";
    const Alignment* best = a.alignments.empty() ? nullptr : &a.alignments[0];
    if (best != nullptr) {
        for (const MinutiaPair& mp : best->pairs) {
            const Minutia& pm = p.minutiae[mp.probeIndex];
            const Minutia& gm = best->movedGallerySet[mp.galleryIndex];
            std::snprintf(buf, sizeof buf,
                          "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"10\" fill=\"#2ca02c\" fill-opacity=\"0.25\"/>\n"
                          "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#2ca02c\" stroke-width=\"3\"/>\n",
                          kMargin + pm.x * kScale, kMargin + pm.y * kScale, kMargin + pm.x * kScale, kMargin + pm.y * kScale,
                          kMargin + gm.x * kScale, kMargin + gm.y * kScale);
            s << buf;
        }
        for (const Minutia& gm : best->movedGallerySet)
            if (gm.x > 0) DrawMinutia(s, gm, "#d62728", 4);
    }
    for (int i = 0; i < p.minutiaCount; ++i) DrawMinutia(s, p.minutiae[i], "#1f77b4", 4);
    if (best != nullptr) {
        const Minutia& base = p.minutiae[best->basePair.probeIndex];
        std::snprintf(buf, sizeof buf,
                      "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"11\" fill=\"none\" stroke=\"#ff7f0e\" stroke-width=\"3\"/>\n",
                      kMargin + base.x * kScale, kMargin + base.y * kScale);
        s << buf;
    }
    // Legend.
    const double lx = w + 10;
    auto text = [&](double y, const std::string& t, const char* colour = "black") {
        std::string e;
        for (char ch : t) e += ch == '<' ? std::string("&lt;") : ch == '&' ? std::string("&amp;") : std::string(1, ch);
        s << "<text x=\"" << lx << "\" y=\"" << y << "\" fill=\"" << colour << "\">" << e << "</text>\n";
    };
    text(30, "score " + std::to_string(a.libraryScore));
    text(50, "probe: " + probe->name, "#1f77b4");
    text(68, "gallery (aligned): " + gallery->name, "#d62728");
    if (best != nullptr) {
        text(86, std::to_string(best->pairs.size()) + " paired minutiae (green)", "#2ca02c");
        text(104, "base pair (orange): probe " + std::to_string(best->basePair.probeIndex) + ", gallery " +
                      std::to_string(best->basePair.galleryIndex), "#ff7f0e");
        text(122, "rotation " + std::to_string(best->galleryToProbe.angle) + " deg");
    } else {
        text(86, "no base pair: nothing aligned");
    }
    text(150, "circle: ending, square: bifurcation");
    text(168, "grey: probe background");
    s << "</svg>\n";
    if (!WriteFile(o.out, s.str())) return kExitOutput;
    std::cout << "wrote " << o.out << " (score " << a.libraryScore << ", "
              << (best ? std::to_string(best->pairs.size()) : std::string("0")) << " paired minutiae)\n";
    return a.pipelineScore == a.libraryScore ? kExitOk : kExitInternal;
}

}  // namespace

void AddRender(CLI::App& app, int* exitCode) {
    auto o = std::make_shared<RenderOptions>();
    CLI::App* c = app.add_subcommand("render", "Draw both minutia sets in the probe's frame after the best alignment (SVG)");
    c->add_option("probe", o->probe, "Probe template file")->required();
    c->add_option("gallery", o->gallery, "Gallery template file")->required();
    c->add_option("-o,--output", o->out, "SVG file to write")->required();
    c->add_flag("--adapt", o->adapt, "Adapt ISO records (AdaptIsoRecord) first");
    c->callback([o, exitCode] { *exitCode = Run(*o); });
}

}  // namespace fpmatch::tool
