#include "synthetic.h"

#include <algorithm>
#include <cmath>

namespace fpmatch::samples {

uint32_t Random::Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return static_cast<uint32_t>(state_ >> 32);
}

int32_t Random::Range(int32_t lo, int32_t hi) {
    const uint32_t span = static_cast<uint32_t>(hi - lo) + 1u;
    return lo + static_cast<int32_t>(Next() % span);
}

std::vector<Minutia> MakeFinger(uint64_t seed, int count) {
    Random random(seed);
    std::vector<Minutia> out;
    int attempts = 0;
    while (static_cast<int>(out.size()) < count && attempts < 100000) {
        ++attempts;
        Minutia m{};
        m.x = random.Range(40, 215);
        m.y = random.Range(40, 247);
        const bool crowded = std::any_of(out.begin(), out.end(), [&](const Minutia& o) {
            return (o.x - m.x) * (o.x - m.x) + (o.y - m.y) * (o.y - m.y) < 100;
        });
        if (crowded) continue;
        m.angle = random.Range(0, 359);
        m.quality = static_cast<uint8_t>(random.Range(6, 15));
        m.type = static_cast<uint8_t>(random.Range(0, 1));
        out.push_back(m);
    }
    return out;
}

std::vector<Minutia> MakeImpression(const std::vector<Minutia>& finger, uint64_t seed,
                                    const ImpressionOptions& options) {
    Random random(seed);
    const int32_t rotation = random.Range(-options.maxRotation, options.maxRotation);
    const int32_t shiftX = random.Range(-options.maxShift, options.maxShift);
    const int32_t shiftY = random.Range(-options.maxShift, options.maxShift);
    const double theta = rotation * 3.14159265358979323846 / 180.0;
    const double c = std::cos(theta), s = std::sin(theta);
    std::vector<Minutia> out;
    for (const Minutia& m : finger) {
        if (random.Range(0, 99) < options.dropPercent) continue;
        const double dx = m.x - 128.0, dy = m.y - 144.0;
        Minutia moved = m;
        moved.x = static_cast<int32_t>(std::lround(128.0 + dx * c - dy * s)) + shiftX +
                  random.Range(-options.positionNoise, options.positionNoise);
        moved.y = static_cast<int32_t>(std::lround(144.0 + dx * s + dy * c)) + shiftY +
                  random.Range(-options.positionNoise, options.positionNoise);
        moved.angle = ((m.angle + rotation + random.Range(-options.angleNoise, options.angleNoise)) % 360 + 360) % 360;
        if (moved.x < 1 || moved.x > 255 || moved.y < 0 || moved.y > 287) continue;
        out.push_back(moved);
    }
    const int32_t extra = options.spurious > 0 ? random.Range(0, options.spurious) : 0;
    for (int32_t i = 0; i < extra; ++i) {
        Minutia m{};
        m.x = random.Range(30, 225);
        m.y = random.Range(30, 257);
        m.angle = random.Range(0, 359);
        m.quality = static_cast<uint8_t>(random.Range(4, 12));
        m.type = static_cast<uint8_t>(random.Range(0, 1));
        out.insert(out.begin() + random.Range(0, static_cast<int32_t>(out.size())), m);
    }
    if (out.size() > 50) out.resize(50);
    return out;
}

std::vector<uint8_t> MakeIsoRecord(const std::vector<Minutia>& minutiae, uint8_t fingerQuality) {
    const size_t count = std::min<size_t>(minutiae.size(), 255);
    const size_t length = 24 + 4 + 6 * count + 2;
    std::vector<uint8_t> r(length, 0);
    r[0] = 'F'; r[1] = 'M'; r[2] = 'R'; r[3] = 0;
    r[4] = ' '; r[5] = '2'; r[6] = '0'; r[7] = 0;
    r[8] = static_cast<uint8_t>(length >> 24); r[9] = static_cast<uint8_t>(length >> 16);
    r[10] = static_cast<uint8_t>(length >> 8); r[11] = static_cast<uint8_t>(length);
    r[14] = 1; r[15] = 0;          // image width 256
    r[16] = 1; r[17] = 0x20;       // image height 288
    r[18] = 0; r[19] = 197;        // 197 px/cm in x
    r[20] = 0; r[21] = 197;        // and in y
    r[22] = 1;                     // one finger view
    r[24] = 1;                     // finger position: right thumb
    r[25] = 0;                     // view 0, impression type 0
    r[26] = fingerQuality;
    r[27] = static_cast<uint8_t>(count);
    for (size_t i = 0; i < count; ++i) {
        const Minutia& m = minutiae[i];
        uint8_t* e = &r[28 + 6 * i];
        const uint32_t code = m.type == 0 ? 1u : 2u;
        const uint32_t x = static_cast<uint32_t>(std::clamp(m.x, 0, 16383));
        const uint32_t y = static_cast<uint32_t>(std::clamp(m.y, 0, 16383));
        e[0] = static_cast<uint8_t>((code << 6) | (x >> 8));
        e[1] = static_cast<uint8_t>(x);
        e[2] = static_cast<uint8_t>(y >> 8);
        e[3] = static_cast<uint8_t>(y);
        // The reader decodes 360 - b * 360 / 256; pick the byte closest to it.
        const int32_t a = ((m.angle % 360) + 360) % 360;
        e[4] = static_cast<uint8_t>(((360 - a) % 360) * 256 / 360);
        e[5] = static_cast<uint8_t>(std::min<int32_t>(100, m.quality * 100 / 15));
    }
    return r;  // extended data length 0 closes the record
}

std::vector<uint8_t> MakeNativeTemplate(const std::vector<Minutia>& minutiae, uint8_t quality,
                                        SingularPoint core, SingularPoint delta) {
    const size_t count = std::min<size_t>(minutiae.size(), 50);
    std::vector<uint8_t> t(56 + 4 * std::max<size_t>(count, 1), 0);
    t[0] = 3;
    t[1] = 0;
    t[2] = quality;
    t[3] = static_cast<uint8_t>(count);
    t[40] = static_cast<uint8_t>(core.x / 2);
    t[41] = static_cast<uint8_t>(core.y / 2);
    t[42] = static_cast<uint8_t>(delta.x / 2);
    t[43] = static_cast<uint8_t>(delta.y / 2);
    for (size_t i = 0; i < count; ++i) {
        const Minutia& m = minutiae[i];
        const uint32_t word = (static_cast<uint32_t>(m.x) & 0x1FFu) << 23 | (static_cast<uint32_t>(m.y) & 0x1FFu) << 14 |
                              (static_cast<uint32_t>(m.angle) & 0x1FFu) << 5 | (m.quality & 0xFu) << 1 | (m.type & 1u);
        t[56 + 4 * i] = static_cast<uint8_t>(word >> 24);
        t[57 + 4 * i] = static_cast<uint8_t>(word >> 16);
        t[58 + 4 * i] = static_cast<uint8_t>(word >> 8);
        t[59 + 4 * i] = static_cast<uint8_t>(word);
    }
    return t;
}

std::vector<uint8_t> MakeDemoTemplate(int finger, int impression, bool native, bool noisy) {
    constexpr int kMinutiaePerFinger = 32;
    ImpressionOptions options;
    if (noisy) {
        options.maxRotation = 30;
        options.maxShift = 25;
        options.positionNoise = 4;
        options.angleNoise = 8;
        options.dropPercent = 30;
        options.spurious = 8;
    }
    const auto base = MakeFinger(7000 + static_cast<uint64_t>(finger), kMinutiaePerFinger);
    const auto seen = MakeImpression(base, 100000 + 97 * static_cast<uint64_t>(finger) + static_cast<uint64_t>(impression),
                                     options);
    return native ? MakeNativeTemplate(seen, 60) : MakeIsoRecord(seen, 60);
}

}  // namespace fpmatch::samples
