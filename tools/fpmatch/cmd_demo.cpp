// demo: genuine and impostor scores on built-in synthetic fingerprints.
// make-sample (hidden): writes synthetic good and bad template files for the
// tool's tests.
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>

#include "commands.h"
#include "common.h"
#include "synthetic.h"

namespace fpmatch::tool {

namespace {

namespace fs = std::filesystem;
using samples::MakeFinger;
using samples::MakeImpression;
using samples::MakeIsoRecord;
using samples::MakeNativeTemplate;

constexpr int kMinutiaePerFinger = 32;

uint64_t FingerSeed(int finger) { return 7000 + static_cast<uint64_t>(finger); }
uint64_t ImpressionSeed(int finger, int impression) { return 100000 + 97 * static_cast<uint64_t>(finger) + impression; }

// Impressions as the demo shows them: turned up to 30 degrees, shifted up to
// 25 pixels, noisy, a third of the minutiae lost and up to 8 spurious ones, so
// that genuine scores spread as they do on real data.
samples::ImpressionOptions NoisyImpressions() {
    samples::ImpressionOptions o;
    o.maxRotation = 30;
    o.maxShift = 25;
    o.positionNoise = 4;
    o.angleNoise = 8;
    o.dropPercent = 30;
    o.spurious = 8;
    return o;
}

std::vector<uint8_t> MakeTemplate(int finger, int impression, bool native, bool noisy = false) {
    const auto base = MakeFinger(FingerSeed(finger), kMinutiaePerFinger);
    const auto seen = MakeImpression(base, ImpressionSeed(finger, impression),
                                     noisy ? NoisyImpressions() : samples::ImpressionOptions());
    return native ? MakeNativeTemplate(seen, 60) : MakeIsoRecord(seen, 60);
}

struct DemoOptions {
    int fingers = 5, impressions = 3;
    std::string format = "iso";
    std::string noise = "high";
    std::string write;
};

int RunDemo(const DemoOptions& o) {
    const bool native = o.format == "native";
    std::vector<std::vector<std::vector<uint8_t>>> t(o.fingers);
    for (int f = 0; f < o.fingers; ++f)
        for (int i = 0; i < o.impressions; ++i) t[f].push_back(MakeTemplate(f + 1, i + 1, native, o.noise == "high"));
    std::cout << "fpmatch demo: " << o.fingers << " synthetic fingers, " << o.impressions << " impressions each, as "
              << (native ? "native templates" : "ISO/IEC 19794-2 records") << ", " << o.noise
              << " impression noise (library algorithm " << AlgVersion()
              << ")\n\ngenuine (same finger, impression a against b):\n";
    int gMin = 101, gMax = -1, iMin = 101, iMax = -1;
    double gSum = 0, iSum = 0;
    int gN = 0, iN = 0;
    char line[128];
    for (int f = 0; f < o.fingers; ++f)
        for (int a = 0; a < o.impressions; ++a)
            for (int b = a + 1; b < o.impressions; ++b) {
                const int s = Match2Score(t[f][a].data(), t[f][b].data());
                std::snprintf(line, sizeof line, "  finger %d  %d vs %d  %3d\n", f + 1, a + 1, b + 1, s);
                std::cout << line;
                gMin = std::min(gMin, s), gMax = std::max(gMax, s), gSum += s, ++gN;
            }
    std::cout << "\nimpostor (first impressions of different fingers):\n";
    for (int f = 0; f < o.fingers; ++f)
        for (int g = f + 1; g < o.fingers; ++g) {
            const int s = Match2Score(t[f][0].data(), t[g][0].data());
            std::snprintf(line, sizeof line, "  finger %d vs finger %d  %3d\n", f + 1, g + 1, s);
            std::cout << line;
            iMin = std::min(iMin, s), iMax = std::max(iMax, s), iSum += s, ++iN;
        }
    std::snprintf(line, sizeof line, "\ngenuine  %d comparisons: min %d, mean %.1f, max %d\n", gN, gMin, gN ? gSum / gN : 0.0,
                  gMax);
    std::cout << line;
    std::snprintf(line, sizeof line, "impostor %d comparisons: min %d, mean %.1f, max %d\n", iN, iMin, iN ? iSum / iN : 0.0,
                  iMax);
    std::cout << line;
    if (!o.write.empty()) {
        std::error_code ec;
        fs::create_directories(o.write, ec);
        if (ec) {
            Report(o.write, "cannot create folder: " + ec.message());
            return kExitOutput;
        }
        for (int f = 0; f < o.fingers; ++f)
            for (int i = 0; i < o.impressions; ++i) {
                const std::string name = std::to_string(100 + f + 1) + "_" + std::to_string(i + 1) + (native ? ".tpl" : ".iso");
                if (!WriteBytes((fs::path(o.write) / name).string(), t[f][i].data(), t[f][i].size())) return kExitOutput;
            }
        std::cout << "wrote " << o.fingers * o.impressions << " templates to " << o.write << '\n';
    }
    return kExitOk;
}

struct SampleOptions {
    std::string dir;
    int many = 0;
};

bool Put(const fs::path& path, const std::vector<uint8_t>& bytes) {
    fs::create_directories(path.parent_path());
    return WriteBytes(path.string(), bytes.data(), bytes.size());
}

int RunMakeSample(const SampleOptions& o) {
    const fs::path d(o.dir);
    bool ok = true;
    for (int f = 1; f <= 5; ++f)
        for (int i = 1; i <= 4; ++i) {
            const std::string stem = std::to_string(100 + f) + "_" + std::to_string(i);
            ok &= Put(d / "iso" / (stem + ".iso"), MakeTemplate(f, i, false));
            ok &= Put(d / "native" / (stem + ".tpl"), MakeTemplate(f, i, true));
        }
    for (int i = 1; i <= 3; ++i)
        ok &= Put(d / "onefinger" / ("101_" + std::to_string(i) + ".iso"), MakeTemplate(1, i, false));
    const std::vector<uint8_t> good = MakeTemplate(1, 1, false);
    ok &= Put(d / "bad" / "empty.iso", {});
    ok &= Put(d / "bad" / "truncated.iso", std::vector<uint8_t>(good.begin(), good.begin() + 60));
    std::vector<uint8_t> header(good.begin(), good.begin() + 20);
    ok &= Put(d / "bad" / "header.iso", header);
    std::vector<uint8_t> count = good;
    count[27] = 60;
    ok &= Put(d / "bad" / "count60.iso", count);
    std::vector<uint8_t> length = good;
    length[11] = static_cast<uint8_t>(length[11] + 40);
    ok &= Put(d / "bad" / "lengthfield.iso", length);
    std::vector<uint8_t> native = MakeTemplate(1, 1, true);
    native[3] = 0;
    ok &= Put(d / "bad" / "count0.tpl", native);
    ok &= Put(d / "bad" / "short.tpl", {3, 0, 60});
    const std::string text = "not a template\n";
    ok &= Put(d / "bad" / "notes.txt", std::vector<uint8_t>(text.begin(), text.end()));
    // A record without minutia qualities, and one with a minutia beyond what a
    // native template can hold.
    std::vector<uint8_t> noqual = good;
    for (size_t i = 0; i < noqual[27]; ++i) noqual[28 + 6 * i + 5] = 0;
    ok &= Put(d / "noqual" / "101_1.iso", noqual);
    std::vector<uint8_t> wide = good;
    wide[28] = static_cast<uint8_t>((wide[28] & 0xC0) | 0x02);  // x = 512 + low byte
    ok &= Put(d / "wide" / "wide.iso", wide);
    // A valid record of one minutia: it never yields a base pair.
    const auto finger = MakeFinger(FingerSeed(1), kMinutiaePerFinger);
    ok &= Put(d / "lonely" / "lonely.iso", MakeIsoRecord({finger.front()}, 60));
    fs::create_directories(d / "emptydir");
    for (int k = 0; k < o.many && ok; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "%06d.iso", k);
        ok &= Put(d / "many" / name, MakeTemplate(1000 + k / 4, 1 + k % 4, false));
    }
    return ok ? kExitOk : kExitOutput;
}

}  // namespace

void AddDemo(CLI::App& app, int* exitCode) {
    auto o = std::make_shared<DemoOptions>();
    CLI::App* c = app.add_subcommand("demo", "Genuine and impostor scores on built-in synthetic fingerprints");
    c->add_option("--fingers", o->fingers, "Number of synthetic fingers")->check(CLI::Range(2, 100));
    c->add_option("--impressions", o->impressions, "Impressions per finger")->check(CLI::Range(2, 20));
    c->add_option("--format", o->format, "Template format of the demo data")->check(CLI::IsMember({"iso", "native"}));
    c->add_option("--noise", o->noise, "How much impressions of one finger differ (rotation, shift, lost and spurious minutiae)")
        ->check(CLI::IsMember({"low", "high"}));
    c->add_option("--write", o->write, "Also write the templates to this folder as FINGER_IMPRESSION files");
    c->callback([o, exitCode] { *exitCode = RunDemo(*o); });
}

void AddMakeSample(CLI::App& app, int* exitCode) {
    auto o = std::make_shared<SampleOptions>();
    CLI::App* c = app.add_subcommand("make-sample", "Write synthetic good and bad template files (for tests)");
    c->group("");  // hidden
    c->add_option("folder", o->dir, "Folder to fill")->required();
    c->add_option("--many", o->many, "Also write this many templates to folder/many");
    c->callback([o, exitCode] { *exitCode = RunMakeSample(*o); });
}

}  // namespace fpmatch::tool
