// Fuzz target: the template decoders on their own.
//
// The input is one template, native or ISO. Checks:
//  - CheckTemplate on the exact input length; when it accepts, DecodeFeature
//    on an exact-size copy succeeds (no read beyond the accepted length);
//  - DecodeFeature on a padded copy returns the code CheckTemplate predicted
//    (0, 1 or 2) whenever the header is complete;
//  - every successful decode meets the decoded-set invariants, does not
//    depend on the prior contents of its storage, and agrees with the
//    stage decoders (ExpandFeature / ExpandIsoFeature) called directly;
//  - MinutiaMoveTop is a stable partition that keeps every minutia.
#include "fuzz_common.h"

using namespace fpmatch::fuzz;

namespace {

bool Central(const Minutia& m) { return m.x >= 64 && m.x <= 192 && m.y >= 80 && m.y <= 208; }

void CheckMoveTop(const FeatureSet& fs) {
    const int n = fs.minutiaCount;
    Minutia before[FPMATCH_MAX_MINUTIAE], after[FPMATCH_MAX_MINUTIAE], scratch[FPMATCH_MAX_MINUTIAE];
    std::memcpy(before, fs.minutiae, n * sizeof(Minutia));
    std::memcpy(after, fs.minutiae, n * sizeof(Minutia));
    MinutiaMoveTop(&fs, after, scratch);
    int k = 0;
    for (int pass = 0; pass < 2; ++pass)
        for (int i = 0; i < n; ++i)
            if (Central(before[i]) == (pass == 0)) {
                FUZZ_CHECK(before[i].x == after[k].x && before[i].y == after[k].y &&
                           before[i].angle == after[k].angle && before[i].type == after[k].type &&
                           before[i].quality == after[k].quality);
                ++k;
            }
    FUZZ_CHECK(k == n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int32_t check = CheckTemplate(data, size);
    FUZZ_CHECK(check >= 0 && check <= 3);
    FUZZ_CHECK(CheckTemplate(nullptr, size) == FPMATCH_NULL_INPUT);

    if (check == FPMATCH_DECODED) {
        auto exact = ExactCopy(data, size);
        OwnedSet set;
        FUZZ_CHECK(DecodeFeature(exact.get(), &set.fs) == FPMATCH_DECODED);
        CheckDecoded(exact.get(), set.fs);
    }
    if (size == 0) return 0;

    Slot slot(data, size);
    OwnedSet a, b;
    a.Reset(0x00);
    b.Reset(0xFF);
    const int32_t code = DecodeFeature(slot.bytes, &a.fs);
    FUZZ_CHECK(code >= 0 && code <= 2);
    FUZZ_CHECK(DecodeFeature(slot.bytes, &b.fs) == code);
    if (IsIso(slot.bytes)) FUZZ_CHECK(code != FPMATCH_BAD_VERSION);
    // A complete header decides the code; only a truncated body may differ.
    if (check == FPMATCH_BAD_VERSION || check == FPMATCH_BAD_COUNT || check == FPMATCH_DECODED)
        FUZZ_CHECK(code == check);
    if (code != FPMATCH_DECODED) return 0;

    CheckDecoded(slot.bytes, a.fs);
    FUZZ_CHECK(SameDecode(a.fs, b.fs));

    // The stage decoders alone give the same minutiae.
    OwnedSet c;
    const int32_t stage = IsIso(slot.bytes) ? ExpandIsoFeature(slot.bytes, &c.fs) : ExpandFeature(slot.bytes, &c.fs);
    FUZZ_CHECK(stage == FPMATCH_DECODED);
    FUZZ_CHECK(c.fs.minutiaCount == a.fs.minutiaCount);
    for (int i = 0; i < a.fs.minutiaCount; ++i)
        FUZZ_CHECK(c.minutiae[i].x == a.minutiae[i].x && c.minutiae[i].y == a.minutiae[i].y &&
                   c.minutiae[i].angle == a.minutiae[i].angle);

    // Rebuilding the block map is idempotent.
    BlockQtyMap saved = a.blocks;
    BuildBlockQty(nullptr, &a.fs);
    FUZZ_CHECK(std::memcmp(&saved, &a.blocks, sizeof saved) == 0);

    CheckMoveTop(a.fs);
    return 0;
}
