// demo: genuine and impostor scores on built-in synthetic fingerprints.
#include <algorithm>
#include <filesystem>
#include <memory>

#include <fmt/core.h>

#include "commands.h"
#include "file_io.h"
#include "printable.h"
#include "report.h"
#include "synthetic.h"

namespace fpmatch::tool {

namespace {

namespace fs = std::filesystem;

struct DemoOptions {
    int fingers = 5, impressions = 3;
    std::string format = "iso";
    std::string noise = "high";
    std::string write;
};

int Run(const DemoOptions& o) {
    const bool native = o.format == "native";
    std::vector<std::vector<std::vector<uint8_t>>> t(static_cast<size_t>(o.fingers));
    for (int f = 0; f < o.fingers; ++f)
        for (int i = 0; i < o.impressions; ++i)
            t[f].push_back(samples::MakeDemoTemplate(f + 1, i + 1, native, o.noise == "high"));
    std::string s = fmt::format(
        "fpmatch demo: {} synthetic fingers, {} impressions each, as {}, {} impression noise (library algorithm "
        "{})\n\ngenuine (same finger, impression a against b):\n",
        o.fingers, o.impressions, native ? "native templates" : "ISO/IEC 19794-2 records", o.noise, AlgVersion());
    int gMin = 101, gMax = -1, iMin = 101, iMax = -1;
    double gSum = 0, iSum = 0;
    int gN = 0, iN = 0;
    for (int f = 0; f < o.fingers; ++f)
        for (int a = 0; a < o.impressions; ++a)
            for (int b = a + 1; b < o.impressions; ++b) {
                const int score = Match2Score(t[f][a].data(), t[f][b].data());
                s += fmt::format("  finger {}  {} vs {}  {:3}\n", f + 1, a + 1, b + 1, score);
                gMin = std::min(gMin, score), gMax = std::max(gMax, score), gSum += score, ++gN;
            }
    s += "\nimpostor (first impressions of different fingers):\n";
    for (int f = 0; f < o.fingers; ++f)
        for (int g = f + 1; g < o.fingers; ++g) {
            const int score = Match2Score(t[f][0].data(), t[g][0].data());
            s += fmt::format("  finger {} vs finger {}  {:3}\n", f + 1, g + 1, score);
            iMin = std::min(iMin, score), iMax = std::max(iMax, score), iSum += score, ++iN;
        }
    s += fmt::format("\ngenuine  {} comparisons: min {}, mean {:.1f}, max {}\n", gN, gMin, gN ? gSum / gN : 0.0, gMax);
    s += fmt::format("impostor {} comparisons: min {}, mean {:.1f}, max {}\n", iN, iMin, iN ? iSum / iN : 0.0, iMax);
    WriteOut(s);
    if (!o.write.empty()) {
        std::error_code ec;
        fs::create_directories(o.write, ec);
        if (ec) {
            Report(o.write, "cannot create folder: " + ec.message());
            return kExitOutput;
        }
        for (int f = 0; f < o.fingers; ++f)
            for (int i = 0; i < o.impressions; ++i) {
                const std::string name = fmt::format("{}_{}{}", 100 + f + 1, i + 1, native ? ".tpl" : ".iso");
                if (!WriteFileBytes((fs::path(o.write) / name).string(), t[f][i].data(), t[f][i].size()))
                    return kExitOutput;
            }
        Print("wrote {} templates to {}\n", o.fingers * o.impressions, Printable(o.write));
    }
    return kExitOk;
}

}  // namespace

void AddDemo(CLI::App& app, int* exitCode) {
    auto o = std::make_shared<DemoOptions>();
    CLI::App* c = app.add_subcommand("demo", "Genuine and impostor scores on built-in synthetic fingerprints");
    c->add_option("--fingers", o->fingers, "Number of synthetic fingers")->check(WholeNumber(2, 100));
    c->add_option("--impressions", o->impressions, "Impressions per finger")->check(WholeNumber(2, 20));
    c->add_option("--format", o->format, "Template format of the demo data")->check(CLI::IsMember({"iso", "native"}));
    c->add_option("--noise", o->noise, "How much impressions of one finger differ (rotation, shift, lost and spurious minutiae)")
        ->check(CLI::IsMember({"low", "high"}));
    c->add_option("--write", o->write, "Also write the templates to this folder as FINGER_IMPRESSION files");
    SetCommand(c, exitCode, [o] { return Run(*o); });
}

}  // namespace fpmatch::tool
