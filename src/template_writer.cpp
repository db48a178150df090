// Template writers: a decoded feature set back to bytes, as a native
// template or as a 512-byte short screening template. Everything is checked
// before the first byte is written, so a refusal leaves `out` untouched.
#include <cstdint>
#include <cstring>

#include "internal.h"

namespace {

using fpmatch::detail::kMaxMinutiae;
using fpmatch::detail::Write16;
using fpmatch::detail::Write32;

constexpr size_t kMinutiaeOffset = 56;
constexpr size_t kMaskOffset = 6;
constexpr size_t kSingularOffset = 40;
constexpr int kMaskWords = 17;
constexpr int kMaskSquares = 15;  // bits 15..1 of a mask word
constexpr uint8_t kNativeVersion = 3;
constexpr uint8_t kShortFormat = 1;  // with the version byte: marker 0x0301
constexpr uint8_t kMaxQuality = 15;

enum class XRange { Signed9, Unsigned9 };

int32_t CheckMinutia(const Minutia& m, XRange xRange) {
    const bool xFits = xRange == XRange::Signed9 ? (m.x >= -256 && m.x <= 255) : (m.x >= 0 && m.x <= 511);
    if (!xFits || m.y < 0 || m.y > 511) return FPMATCH_WRITE_BAD_POSITION;
    if (m.angle < 0 || m.angle > 511) return FPMATCH_WRITE_BAD_ANGLE;
    if (m.type > 1) return FPMATCH_WRITE_BAD_TYPE;
    return 0;
}

// Checks the buffer size, then every counted minutia; returns 0 or a
// FPMATCH_WRITE_* code.
int32_t CheckCommon(const FeatureSet* fs, size_t outLength, size_t needed, XRange xRange) {
    if (outLength < needed) return FPMATCH_WRITE_TOO_SMALL;
    for (int i = 0; i < fs->minutiaCount; ++i) {
        const int32_t code = CheckMinutia(fs->minutiae[i], xRange);
        if (code != 0) return code;
    }
    return 0;
}

inline bool CountFits(const FeatureSet* fs) { return fs->minutiaCount >= 1 && fs->minutiaCount <= kMaxMinutiae; }

inline bool SingularFits(const SingularPoint& p) { return p.x >= 0 && p.x <= 511 && p.y >= 0 && p.y <= 511; }

void PutMinutiae(const FeatureSet* fs, uint8_t* out) {
    for (int i = 0; i < fs->minutiaCount; ++i) {
        const Minutia& m = fs->minutiae[i];
        const uint32_t quality = m.quality > kMaxQuality ? kMaxQuality : m.quality;
        // x as 9 bits: a negative native x keeps its two's complement bits.
        const uint32_t word = (static_cast<uint32_t>(m.x) & 0x1FFu) << 23 | static_cast<uint32_t>(m.y) << 14 |
                              static_cast<uint32_t>(m.angle) << 5 | quality << 1 | m.type;
        Write32(out + kMinutiaeOffset + 4 * static_cast<size_t>(i), word);
    }
}

// Mask word w, bit 15 - k describes cell rows 2w+1, 2w+2 and columns 2k+1,
// 2k+2: background (1) only when all four cells are background.
void PutMask(const GndTable& table, uint8_t* out) {
    const uint8_t* cells = table.cells;
    for (int w = 0; w < kMaskWords; ++w) {
        uint32_t word = 0;
        for (int k = 0; k < kMaskSquares; ++k) {
            const int row = 2 * w + 1, col = 2 * k + 1;
            const bool background = cells[row * 32 + col] != 0 && cells[row * 32 + col + 1] != 0 &&
                                    cells[(row + 1) * 32 + col] != 0 && cells[(row + 1) * 32 + col + 1] != 0;
            if (background) word |= 1u << (15 - k);
        }
        Write16(out + kMaskOffset + 2 * w, word);
    }
}

}  // namespace

extern "C" {

int32_t WriteNativeTemplate(const FeatureSet* fs, uint8_t* out, size_t outLength) {
    if (fs == nullptr || out == nullptr || fs->minutiae == nullptr || fs->gndTable == nullptr ||
        fs->singularPoints == nullptr) {
        return FPMATCH_WRITE_NULL_INPUT;
    }
    if (!CountFits(fs)) return FPMATCH_WRITE_BAD_COUNT;
    const size_t length = kMinutiaeOffset + 4 * static_cast<size_t>(fs->minutiaCount);
    const int32_t code = CheckCommon(fs, outLength, length, XRange::Signed9);
    if (code != 0) return code;
    const SingularPoint* sp = fs->singularPoints;
    if (!SingularFits(sp[0]) || !SingularFits(sp[1])) return FPMATCH_WRITE_BAD_SINGULAR;

    std::memset(out, 0, length);
    out[0] = kNativeVersion;
    out[1] = fs->format;
    out[2] = fs->quality;
    out[3] = static_cast<uint8_t>(fs->minutiaCount);
    PutMask(*fs->gndTable, out);
    // Stored in units of two pixels.
    out[kSingularOffset] = static_cast<uint8_t>(sp[0].x / 2);
    out[kSingularOffset + 1] = static_cast<uint8_t>(sp[0].y / 2);
    out[kSingularOffset + 2] = static_cast<uint8_t>(sp[1].x / 2);
    out[kSingularOffset + 3] = static_cast<uint8_t>(sp[1].y / 2);
    PutMinutiae(fs, out);
    return static_cast<int32_t>(length);
}

int32_t WriteShortTemplate(const FeatureSet* fs, uint8_t* out, size_t outLength) {
    if (fs == nullptr || out == nullptr || fs->minutiae == nullptr) return FPMATCH_WRITE_NULL_INPUT;
    if (!CountFits(fs)) return FPMATCH_WRITE_BAD_COUNT;
    const int32_t code = CheckCommon(fs, outLength, FPMATCH_SHORT_TEMPLATE_SIZE, XRange::Unsigned9);
    if (code != 0) return code;

    std::memset(out, 0, FPMATCH_SHORT_TEMPLATE_SIZE);
    out[0] = kNativeVersion;
    out[1] = kShortFormat;
    out[2] = fs->quality;
    out[3] = static_cast<uint8_t>(fs->minutiaCount);
    PutMinutiae(fs, out);
    return FPMATCH_SHORT_TEMPLATE_SIZE;
}

}  // extern "C"
