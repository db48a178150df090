// Fuzz target: compact gallery records.
//
// Byte 0 chooses the form of the rest:
//  - even: two templates, then byte edits (offset, value). The gallery
//    template's compact record is made twice over buffers of different
//    contents and must come out identical, be accepted by
//    CheckCompactGallery and score what Match2Score gives, alone and in a
//    list. Edited, it is either refused (score 0, outcome damaged) or scored
//    in 0..100, the list and a batch of two agreeing with the single call.
//  - odd: the rest is a record as stored, passed in an exact-size copy, so
//    that AddressSanitizer reports any read past it: refused or scored in
//    0..100, never read beyond its length.
#include "fuzz_common.h"

using namespace fpmatch::fuzz;

namespace {

PreparedProbe probeRecord;

void CheckRead(const uint8_t* record, size_t length, int32_t expected) {
    const int32_t checked = CheckCompactGallery(record, length);
    FUZZ_CHECK(checked == FPMATCH_COMPACT_DAMAGED || (checked > 0 && static_cast<size_t>(checked) <= length &&
                                                      checked <= FPMATCH_COMPACT_GALLERY_MAX_SIZE));
    const int32_t score = MatchPreparedCompact(&probeRecord, record, length);
    FUZZ_CHECK(score >= 0 && score <= 100);
    int32_t outcome = -9;
    const int32_t listed =
        length <= INT32_MAX ? MatchPreparedCompactList(&probeRecord, record, static_cast<int32_t>(length), 0, 1, &outcome)
                            : -1;
    if (listed == 1) {
        FUZZ_CHECK(outcome >= FPMATCH_OUTCOME_DAMAGED && outcome <= 100);
        FUZZ_CHECK((outcome == FPMATCH_OUTCOME_DAMAGED) == (checked == FPMATCH_COMPACT_DAMAGED));
        FUZZ_CHECK((outcome < 0 ? 0 : outcome) == score);
    }
    // The same record packed, for a batch of the probe twice: each gets the
    // list's outcome, and the batch refuses when the list does.
    if (length <= INT32_MAX) {
        const uint32_t offsets[2] = {0, static_cast<uint32_t>(length)};
        const PreparedProbe* both[2] = {&probeRecord, &probeRecord};
        int32_t outcomes[2] = {-9, -9};
        const int32_t batched = MatchPreparedCompactPackedBatch(both, 2, record, length, offsets, 0, 1, outcomes);
        FUZZ_CHECK(batched == listed);
        if (batched == 1) FUZZ_CHECK(outcomes[0] == outcome && outcomes[1] == outcome);
    }
    if (checked == FPMATCH_COMPACT_DAMAGED) FUZZ_CHECK(score == 0);
    if (expected >= 0) FUZZ_CHECK(score == expected && checked > 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t mode = in.Byte();
    if (mode & 1) {
        // A fixed probe: a synthetic-looking ISO record of three minutiae.
        static const uint8_t probe[46] = {'F', 'M', 'R', 0, ' ', '2', '0', 0, 0, 0, 0, 46, 0, 0, 1, 0,
                                          1, 32, 1, 32, 0, 197, 0, 197, 1, 0, 60, 3, 0x40, 100, 0, 120,
                                          64, 60, 0x80, 130, 0, 140, 128, 60, 0x40, 110, 0, 170, 10, 60};
        PrepareProbe(probe, &probeRecord);
        auto copy = ExactCopy(in.Data(), in.Left());
        CheckRead(copy.get(), in.Left(), -1);
        return 0;
    }
    const uint8_t *probeBytes, *galleryBytes;
    const size_t probeLength = in.TakeTemplate(&probeBytes);
    const size_t galleryLength = in.TakeTemplate(&galleryBytes);
    Slot probe(probeBytes, probeLength), gallery(galleryBytes, galleryLength);
    PrepareProbe(probe.bytes, &probeRecord);

    uint8_t first[FPMATCH_COMPACT_GALLERY_MAX_SIZE], second[FPMATCH_COMPACT_GALLERY_MAX_SIZE];
    std::memset(first, 0x00, sizeof first);
    std::memset(second, 0xFF, sizeof second);
    const int32_t length = CompactGalleryTemplate(gallery.bytes, first, sizeof first);
    FUZZ_CHECK(CompactGalleryTemplate(gallery.bytes, second, sizeof second) == length);
    if (length < 0) {
        FUZZ_CHECK(length == FPMATCH_COMPACT_BAD_VERSION || length == FPMATCH_COMPACT_BAD_COUNT);
        return 0;
    }
    FUZZ_CHECK(length <= FPMATCH_COMPACT_GALLERY_MAX_SIZE);
    FUZZ_CHECK(std::memcmp(first, second, static_cast<size_t>(length)) == 0);
    // A buffer one byte short is refused and left untouched.
    FUZZ_CHECK(CompactGalleryTemplate(gallery.bytes, second, static_cast<size_t>(length) - 1) ==
               FPMATCH_COMPACT_OUT_TOO_SMALL);
    FUZZ_CHECK(std::memcmp(first, second, static_cast<size_t>(length)) == 0);

    auto record = ExactCopy(first, static_cast<size_t>(length));
    CheckRead(record.get(), static_cast<size_t>(length), Match2Score(probe.bytes, gallery.bytes));
    bool edited = false;
    while (in.Left() >= 3) {
        const size_t offset = (static_cast<size_t>(in.Byte()) << 8 | in.Byte()) % static_cast<size_t>(length);
        record[offset] = in.Byte();
        edited = true;
    }
    if (edited) CheckRead(record.get(), static_cast<size_t>(length), -1);
    return 0;
}
