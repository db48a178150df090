// Template decoding: native templates, ISO/IEC 19794-2:2005 records, the
// foreground mask and the block quality map.
#include <cstdint>
#include <cstring>

#include "internal.h"

namespace {

using fpmatch::detail::kImageHeight;
using fpmatch::detail::kImageWidth;
using fpmatch::detail::kMaxMinutiae;
using fpmatch::detail::Read16;
using fpmatch::detail::Read32;

constexpr int kNativeVersion = 3;
constexpr int kNativeMinutiaLimit = FPMATCH_MAX_NATIVE_MINUTIAE;
constexpr size_t kNativeMinutiaeOffset = 56;
constexpr size_t kNativeMaskOffset = 6;
constexpr size_t kIsoMinutiaeOffset = 28;

// A count byte is valid when, read as a signed byte, it lies in 1..50.
inline bool CountInRange(int8_t count) { return count > 0 && count <= kMaxMinutiae; }

inline void SetDimensions(FeatureSet* fs) {
    fs->width = kImageWidth;
    fs->height = kImageHeight;
}

// n / d for n below 2^16 and d in 1..255 without a division instruction:
// with m = floor(2^32 / d) + 1, (n * m) >> 32 is exact while n * d < 2^32.
constexpr uint64_t ReciprocalOf(uint32_t d) { return (uint64_t{1} << 32) / d + 1; }
struct Reciprocals {
    uint64_t m[256];
};
constexpr Reciprocals MakeReciprocals() {
    Reciprocals r{};
    r.m[0] = 0;
    for (uint32_t d = 1; d < 256; ++d) r.m[d] = ReciprocalOf(d);
    return r;
}
constexpr Reciprocals kReciprocals = MakeReciprocals();
constexpr uint32_t DivideSmall(uint32_t n, uint32_t d) {
    return static_cast<uint32_t>((n * kReciprocals.m[d]) >> 32);
}
static_assert(DivideSmall(65535, 255) == 65535 / 255 && DivideSmall(65534, 7) == 65534 / 7 &&
              DivideSmall(12750, 50) == 255 && DivideSmall(49, 50) == 0 && DivideSmall(100, 1) == 100);

}  // namespace

extern "C" {

int32_t ExpandFeature(const uint8_t* tmpl, FeatureSet* fs) {
    if (tmpl[0] != kNativeVersion) return FPMATCH_BAD_VERSION;
    fs->minutiaCount = static_cast<int8_t>(tmpl[3]);
    if (!CountInRange(fs->minutiaCount)) return FPMATCH_BAD_COUNT;
    if (fs->minutiaCount > kNativeMinutiaLimit) fs->minutiaCount = kNativeMinutiaLimit;
    fs->format = tmpl[1];
    fs->quality = tmpl[2];
    for (int i = 0; i < fs->minutiaCount; ++i) {
        const uint32_t word = Read32(tmpl + kNativeMinutiaeOffset + 4 * i);
        Minutia& m = fs->minutiae[i];
        const int32_t x = static_cast<int32_t>(word >> 23);  // 9 bits, two's complement
        m.x = x >= 256 ? x - 512 : x;
        m.y = static_cast<int32_t>((word >> 14) & 0x1FFu);
        m.angle = static_cast<int32_t>((word >> 5) & 0x1FFu);
        m.quality = static_cast<uint8_t>((word >> 1) & 0xFu);
        m.type = static_cast<uint8_t>(word & 1u);
    }
    // Singular points are stored in units of two pixels.
    fs->singularPoints[0] = {tmpl[40] * 2, tmpl[41] * 2};
    fs->singularPoints[1] = {tmpl[42] * 2, tmpl[43] * 2};
    fs->singularPoints[2] = {0, 0};
    SetDimensions(fs);
    return FPMATCH_DECODED;
}

void ExpandGndTable(const uint8_t* tmpl, FeatureSet* fs) {
    uint8_t* cells = fs->gndTable->cells;
    std::memset(cells, 1, FPMATCH_GND_CELLS);
    // Word w, bit 15 - k covers cell rows 2w+1, 2w+2 and columns 2k+1, 2k+2.
    for (int w = 0; w < 17; ++w) {
        const uint32_t word = Read16(tmpl + kNativeMaskOffset + 2 * w);
        for (int k = 0; k < 15; ++k) {
            const uint8_t bit = static_cast<uint8_t>((word >> (15 - k)) & 1u);
            const int row = 2 * w + 1, col = 2 * k + 1;
            cells[row * 32 + col] = bit;
            cells[row * 32 + col + 1] = bit;
            cells[(row + 1) * 32 + col] = bit;
            cells[(row + 1) * 32 + col + 1] = bit;
        }
    }
}

int32_t ExpandIsoFeature(const uint8_t* tmpl, FeatureSet* fs) {
    fs->minutiaCount = static_cast<int8_t>(tmpl[27]);
    if (!CountInRange(fs->minutiaCount)) return FPMATCH_BAD_COUNT;
    fs->format = 1;
    fs->quality = tmpl[26];
    for (int i = 0; i < fs->minutiaCount; ++i) {
        const uint8_t* e = tmpl + kIsoMinutiaeOffset + 6 * i;
        Minutia& m = fs->minutiae[i];
        // Type code 1 ending -> 0, 2 bifurcation -> 1, 0 other -> 255, 3 -> 2.
        m.type = static_cast<uint8_t>((e[0] >> 6) - 1);
        m.x = (e[0] & 0x3F) * 256 + e[1];
        m.y = (e[2] & 0x3F) * 256 + e[3];
        // Units of 360/256 degree, counter-clockwise in the record: a stored 0
        // becomes 360.
        m.angle = 360 - (e[4] * 360) / 256;
        m.quality = static_cast<uint8_t>((e[5] * 16) / 100);
    }
    for (int i = 0; i < 3; ++i) fs->singularPoints[i] = {0, 0};
    SetDimensions(fs);
    return FPMATCH_DECODED;
}

void BuildBlockQty(const uint8_t* /*tmpl*/, FeatureSet* fs) {
    constexpr int kBlockColumns = 16, kBlockRows = 18;
    uint32_t sums[FPMATCH_BLOCKS] = {};
    uint8_t counts[FPMATCH_BLOCKS] = {};
    const uint8_t fallback = static_cast<uint8_t>(fs->quality / 6 - 1);
    // A hand-made set may hold up to 127 minutiae and any coordinates: the
    // slots read stop at 50, and the bounds are formed in 64 bits.
    const int32_t count = fpmatch::detail::ClampCount(fs->minutiaCount);
    for (int i = 0; i < count; ++i) {
        const Minutia& m = fs->minutiae[i];
        int64_t left = int64_t{m.x} - 15, right = int64_t{m.x} + 16;
        int64_t top = int64_t{m.y} - 15, bottom = int64_t{m.y} + 16;
        if (left < 0) left = 0;
        if (right > kImageWidth - 1) right = kImageWidth - 1;
        if (top < 0) top = 0;
        if (bottom > kImageHeight - 1) bottom = kImageHeight - 1;
        // Arithmetic shifts: a bound below 0 gives an empty range.
        for (int64_t r = top >> 4; r <= bottom >> 4; ++r) {
            for (int64_t c = left >> 4; c <= right >> 4; ++c) {
                sums[r * kBlockColumns + c] += m.quality;
                ++counts[r * kBlockColumns + c];
            }
        }
    }
    const uint8_t* cells = fs->gndTable->cells;
    uint8_t* out = fs->blockQty->blocks;
    for (int r = 0; r < kBlockRows; ++r) {
        for (int c = 0; c < kBlockColumns; ++c) {
            const int b = r * kBlockColumns + c;
            // Only the block's top-left mask cell decides whether it is background.
            if (cells[(2 * r) * 32 + 2 * c] == 1 || counts[b] == 0) {
                out[b] = fallback;
            } else {
                out[b] = static_cast<uint8_t>(DivideSmall(sums[b], counts[b]));
            }
        }
    }
}

int32_t DecodeFeature(const uint8_t* tmpl, FeatureSet* fs) {
    if (tmpl[0] == 'F' && tmpl[1] == 'M') {
        const int32_t code = ExpandIsoFeature(tmpl, fs);
        if (code != FPMATCH_DECODED) return code;
        std::memset(fs->gndTable->cells, 0, FPMATCH_GND_CELLS);  // no mask: all foreground
        BuildBlockQty(tmpl, fs);
        return FPMATCH_DECODED;
    }
    const int32_t code = ExpandFeature(tmpl, fs);
    if (code != FPMATCH_DECODED) return code;
    ExpandGndTable(tmpl, fs);
    BuildBlockQty(tmpl, fs);
    return FPMATCH_DECODED;
}

int32_t TemplateLength(const uint8_t* tmpl, size_t available) {
    if (tmpl == nullptr || available == 0) return 0;
    const bool iso = tmpl[0] == 'F' && (available < 2 || tmpl[1] == 'M');
    if (iso) {
        if (available < kIsoMinutiaeOffset) return 0;  // "F" alone included
        const int8_t count = static_cast<int8_t>(tmpl[27]);
        if (!CountInRange(count)) return static_cast<int32_t>(kIsoMinutiaeOffset);
        return static_cast<int32_t>(kIsoMinutiaeOffset) + 6 * count;
    }
    if (tmpl[0] != kNativeVersion) return 1;
    if (available < 4) return 0;
    int8_t count = static_cast<int8_t>(tmpl[3]);
    if (!CountInRange(count)) return 4;
    if (count > kNativeMinutiaLimit) count = kNativeMinutiaLimit;
    return static_cast<int32_t>(kNativeMinutiaeOffset) + 4 * count;
}

int32_t CheckTemplate(const uint8_t* tmpl, size_t length) {
    if (tmpl == nullptr) return FPMATCH_NULL_INPUT;
    const int32_t needed = TemplateLength(tmpl, length);
    if (needed == 0 || length < static_cast<size_t>(needed)) return FPMATCH_TRUNCATED;
    // Every byte the decoder reads is present: the decoder's verdict.
    if (tmpl[0] == 'F' && tmpl[1] == 'M') return CountInRange(static_cast<int8_t>(tmpl[27])) ? FPMATCH_DECODED : FPMATCH_BAD_COUNT;
    if (tmpl[0] != kNativeVersion) return FPMATCH_BAD_VERSION;
    return CountInRange(static_cast<int8_t>(tmpl[3])) ? FPMATCH_DECODED : FPMATCH_BAD_COUNT;
}

int32_t BindFeatureSet(FeatureSet* fs, FeatureStorage* storage) {
    if (fs == nullptr || storage == nullptr) return FPMATCH_NULL_INPUT;
    std::memset(fs, 0, sizeof(*fs));
    fs->minutiae = storage->minutiae;
    fs->singularPoints = storage->singularPoints;
    fs->gndTable = &storage->gndTable;
    fs->blockQty = &storage->blockQty;
    return 0;
}

}  // extern "C"
