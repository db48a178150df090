// Fuzz target: the template writers (WriteNativeTemplate, WriteShortTemplate)
// on decoded feature sets.
//
// The input is one template (native or ISO), decoded from a padded slot.
// Output buffers are exact-size heap arrays filled with a sentinel. Checks:
//  - a refusal is a negative code and leaves the output untouched;
//  - a native template is 56 + 4 * count bytes, refused (untouched) by a
//    buffer one byte short, accepted by CheckTemplate at its exact length and
//    decodes back to the same minutiae (qualities capped at 15), singular
//    points (even coordinates) and, for native sources, the same mask;
//  - a short template is 512 bytes, carries the 03 01 marker and unpacks
//    (XpdShortChar) to the same minutiae;
//  - writing is deterministic.
#include "fuzz_common.h"

using namespace fpmatch::fuzz;

namespace {

constexpr uint8_t kSentinel = 0xCD;

bool Untouched(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != kSentinel) return false;
    return true;
}

void CheckNative(const FeatureSet& fs, bool nativeSource) {
    constexpr size_t kCapacity = 56 + 4 * FPMATCH_MAX_MINUTIAE;
    std::unique_ptr<uint8_t[]> out(new uint8_t[kCapacity]);
    std::memset(out.get(), kSentinel, kCapacity);
    const int32_t n = WriteNativeTemplate(&fs, out.get(), kCapacity);
    if (n < 0) {
        FUZZ_CHECK(n >= FPMATCH_WRITE_BAD_SINGULAR);
        FUZZ_CHECK(Untouched(out.get(), kCapacity));
        return;
    }
    FUZZ_CHECK(n == 56 + 4 * fs.minutiaCount);

    // Same bytes again, and a refusal one byte short.
    std::unique_ptr<uint8_t[]> again(new uint8_t[n]);
    FUZZ_CHECK(WriteNativeTemplate(&fs, again.get(), n) == n);
    FUZZ_CHECK(std::memcmp(again.get(), out.get(), n) == 0);
    std::unique_ptr<uint8_t[]> small(new uint8_t[n - 1]);
    std::memset(small.get(), kSentinel, n - 1);
    FUZZ_CHECK(WriteNativeTemplate(&fs, small.get(), n - 1) == FPMATCH_WRITE_TOO_SMALL);
    FUZZ_CHECK(Untouched(small.get(), n - 1));

    FUZZ_CHECK(CheckTemplate(again.get(), n) == FPMATCH_DECODED);
    OwnedSet back;
    FUZZ_CHECK(DecodeFeature(again.get(), &back.fs) == FPMATCH_DECODED);
    const int kept = fs.minutiaCount > FPMATCH_MAX_NATIVE_MINUTIAE ? FPMATCH_MAX_NATIVE_MINUTIAE : fs.minutiaCount;
    FUZZ_CHECK(back.fs.minutiaCount == kept);
    FUZZ_CHECK(back.fs.quality == fs.quality);
    for (int i = 0; i < kept; ++i) {
        const Minutia &a = fs.minutiae[i], &b = back.minutiae[i];
        FUZZ_CHECK(a.x == b.x && a.y == b.y && a.angle == b.angle && a.type == b.type);
        FUZZ_CHECK(b.quality == (a.quality > 15 ? 15 : a.quality));
    }
    for (int i = 0; i < 2; ++i) {
        FUZZ_CHECK(back.singular[i].x == (fs.singularPoints[i].x & ~1));
        FUZZ_CHECK(back.singular[i].y == (fs.singularPoints[i].y & ~1));
    }
    if (nativeSource) FUZZ_CHECK(std::memcmp(&back.gnd, fs.gndTable, sizeof(GndTable)) == 0);
}

void CheckShort(const FeatureSet& fs) {
    std::unique_ptr<uint8_t[]> out(new uint8_t[kShort]);
    std::memset(out.get(), kSentinel, kShort);
    const int32_t n = WriteShortTemplate(&fs, out.get(), kShort);
    if (n < 0) {
        FUZZ_CHECK(n >= FPMATCH_WRITE_BAD_SINGULAR);
        FUZZ_CHECK(Untouched(out.get(), kShort));
        return;
    }
    FUZZ_CHECK(n == static_cast<int32_t>(kShort));
    FUZZ_CHECK(out[0] == 0x03 && out[1] == 0x01 && out[3] == fs.minutiaCount);
    std::unique_ptr<uint8_t[]> small(new uint8_t[kShort - 1]);
    std::memset(small.get(), kSentinel, kShort - 1);
    FUZZ_CHECK(WriteShortTemplate(&fs, small.get(), kShort - 1) == FPMATCH_WRITE_TOO_SMALL);
    FUZZ_CHECK(Untouched(small.get(), kShort - 1));

    int32_t words[256];
    for (int k = 0; k < 256; ++k) words[k] = out[2 * k] << 8 | out[2 * k + 1];
    ShortMinutia minutiae[FPMATCH_MAX_MINUTIAE + 3];
    int16_t count = 0, format = 0, quality = 0;
    int reserved = 0;
    XpdShortChar(words, minutiae, &count, &format, &quality, &reserved);
    FUZZ_CHECK(count == fs.minutiaCount && format == 1 && quality == fs.quality);
    for (int i = 0; i < count; ++i) {
        const Minutia& a = fs.minutiae[i];
        FUZZ_CHECK(minutiae[i].x == a.x && minutiae[i].y == a.y && minutiae[i].angle == a.angle &&
                   minutiae[i].type == a.type);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Slot slot(data, size);
    OwnedSet set;
    if (DecodeFeature(slot.bytes, &set.fs) != FPMATCH_DECODED) return 0;
    CheckNative(set.fs, !IsIso(slot.bytes));
    CheckShort(set.fs);

    // A native source rewritten compares exactly as the original.
    if (!IsIso(slot.bytes)) {
        uint8_t rewritten[56 + 4 * FPMATCH_MAX_MINUTIAE] = {};
        if (WriteNativeTemplate(&set.fs, rewritten, sizeof rewritten) > 0) {
            FUZZ_CHECK(Match2Score(rewritten, slot.bytes) == Match2Score(slot.bytes, slot.bytes));
        }
    }
    return 0;
}
