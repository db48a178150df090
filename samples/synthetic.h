// Deterministic synthetic fingerprints for the demo, tests and benchmarks.
// A "finger" is a set of minutiae inside the 256 x 288 image; an
// "impression" is that finger seen again: turned, shifted, with small
// position and direction noise, some minutiae lost and some spurious ones.
#ifndef FPMATCH_SAMPLES_SYNTHETIC_H
#define FPMATCH_SAMPLES_SYNTHETIC_H

#include <cstdint>
#include <vector>

#include "fpmatch.h"

namespace fpmatch::samples {

// Small deterministic generator (xorshift), identical on every platform.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull) {}
    uint32_t Next();
    // Uniform in lo..hi, both included.
    int32_t Range(int32_t lo, int32_t hi);

private:
    uint64_t state_;
};

struct ImpressionOptions {
    int32_t maxRotation = 15;   // degrees, either way
    int32_t maxShift = 12;      // pixels, either way
    int32_t positionNoise = 2;  // pixels, either way
    int32_t angleNoise = 4;     // degrees, either way
    int32_t dropPercent = 15;   // chance of losing each minutia
    int32_t spurious = 3;       // up to this many extra minutiae
};

// `count` minutiae at least 10 pixels apart, inside the central part of the
// image, directions 0..359, qualities 6..15, types 0 and 1.
std::vector<Minutia> MakeFinger(uint64_t seed, int count);

// Another impression of the same finger, kept inside the image, at most 50.
std::vector<Minutia> MakeImpression(const std::vector<Minutia>& finger, uint64_t seed,
                                    const ImpressionOptions& options = ImpressionOptions());

// ISO/IEC 19794-2:2005 record (one finger view, 500 dpi, 256 x 288 image).
// Minutia qualities are written as quality * 100 / 15; directions as bytes.
std::vector<uint8_t> MakeIsoRecord(const std::vector<Minutia>& minutiae, uint8_t fingerQuality);

// Native template: version 3, all-foreground mask except the outer ring,
// optional singular points (pixel coordinates, stored halved).
std::vector<uint8_t> MakeNativeTemplate(const std::vector<Minutia>& minutiae, uint8_t quality,
                                        SingularPoint core = {0, 0}, SingularPoint delta = {0, 0});

// The demo's fingers: finger `finger` (32 minutiae), impression
// `impression` of it, as an ISO record or a native template, both with
// quality 60. Noisy impressions turn up to 30 degrees, shift up to 25
// pixels, lose a third of the minutiae and gain up to 8 spurious ones, so
// that genuine scores spread as they do on real data.
std::vector<uint8_t> MakeDemoTemplate(int finger, int impression, bool native, bool noisy);

}  // namespace fpmatch::samples

#endif
