// Writes deterministic synthetic templates for the Python tests:
//   fpmatch_python_samples DIR
// DIR/iso/F_I.iso and DIR/native/F_I.tpl for 6 fingers of 3 impressions,
// with strong impression noise so that the scores spread over 0..100, and
// fingers of 20 to 50 minutiae.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "synthetic.h"

namespace fs = std::filesystem;
using namespace fpmatch::samples;

namespace {

bool Write(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const fs::path dir = argv[1];
    fs::create_directories(dir / "iso");
    fs::create_directories(dir / "native");
    ImpressionOptions noisy;
    noisy.maxRotation = 25;
    noisy.positionNoise = 4;
    noisy.angleNoise = 8;
    noisy.dropPercent = 30;
    noisy.spurious = 8;
    const int counts[] = {20, 28, 35, 42, 50, 50};
    for (int finger = 1; finger <= 6; ++finger) {
        const auto base = MakeFinger(1000 + finger, counts[finger - 1]);
        for (int impression = 1; impression <= 3; ++impression) {
            const auto seen = MakeImpression(base, 100 * finger + impression, noisy);
            const std::string name = std::to_string(100 + finger) + "_" + std::to_string(impression);
            if (!Write(dir / "iso" / (name + ".iso"), MakeIsoRecord(seen, 60)) ||
                !Write(dir / "native" / (name + ".tpl"), MakeNativeTemplate(seen, 60, {120, 140}, {100, 220}))) {
                std::fprintf(stderr, "cannot write to %s\n", dir.c_str());
                return 1;
            }
        }
    }
    return 0;
}
