// Fuzz target: prepared probes and galleries.
//
// The input is two templates (as for the match target) followed by byte
// edits. Checks:
//  - MatchPreparedPair, MatchPrepared, MatchPreparedList and SearchTopK give
//    what Match2Score gives for the two templates;
//  - preparing writes every byte: a record prepared over the previous
//    input's (edited) record equals one prepared over a buffer of 0xFF;
//  - after the edits are applied to the prepared records (as if they had
//    been damaged on disk), every call stays in bounds and scores 0..100.
#include "fuzz_common.h"

using namespace fpmatch::fuzz;

namespace {

// Large records live outside the fuzzer's stack.
PreparedProbe probeRecord, probeAgain;
PreparedGallery galleryRecord, galleryAgain;

void CheckRecords(const uint8_t* galleryBytes, int32_t expected) {
    const int32_t pair = MatchPreparedPair(&probeRecord, &galleryRecord);
    const int32_t prepared = MatchPrepared(&probeRecord, galleryBytes);
    int32_t outcome = -9;
    const int32_t listed = MatchPreparedList(&probeRecord, galleryBytes, 0, 0, 1, &outcome);
    SearchHit hit{-1, -1};
    const int32_t ranked = SearchTopK(&probeRecord, galleryBytes, 0, 0, 1, 1, &hit);
    FUZZ_CHECK(pair >= 0 && pair <= 100 && prepared >= 0 && prepared <= 100);
    FUZZ_CHECK(listed == -1 || (listed == 1 && outcome >= FPMATCH_OUTCOME_NO_BASE_PAIR && outcome <= 100));
    FUZZ_CHECK(ranked == -1 || (ranked == 1 && hit.index == 0 && hit.score >= 0 && hit.score <= 100));
    if (expected < 0) return;
    FUZZ_CHECK(pair == expected && prepared == expected);
    FUZZ_CHECK(listed == -1 ? expected == 0 : (outcome < 0 ? 0 : outcome) == expected);
    FUZZ_CHECK(ranked == -1 ? expected == 0 : hit.score == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t *probeBytes, *galleryBytes;
    const size_t probeLength = in.TakeTemplate(&probeBytes);
    const size_t galleryLength = in.TakeTemplate(&galleryBytes);
    Slot probe(probeBytes, probeLength), gallery(galleryBytes, galleryLength);

    const int32_t probeCode = PrepareProbe(probe.bytes, &probeRecord);
    const int32_t galleryCode = PrepareGallery(gallery.bytes, &galleryRecord);
    std::memset(&probeAgain, 0xFF, sizeof probeAgain);
    std::memset(&galleryAgain, 0xFF, sizeof galleryAgain);
    FUZZ_CHECK(PrepareProbe(probe.bytes, &probeAgain) == probeCode);
    FUZZ_CHECK(PrepareGallery(gallery.bytes, &galleryAgain) == galleryCode);
    FUZZ_CHECK(std::memcmp(&probeAgain, &probeRecord, sizeof probeRecord) == 0);
    FUZZ_CHECK(std::memcmp(&galleryAgain, &galleryRecord, sizeof galleryRecord) == 0);
    CheckRecords(gallery.bytes, Match2Score(probe.bytes, gallery.bytes));

    // Edits: target record, 16-bit offset, value.
    bool edited = false;
    while (in.Left() >= 4) {
        const bool onProbe = in.Byte() & 1;
        const size_t offset = static_cast<size_t>(in.Byte()) << 8 | in.Byte();
        const uint8_t value = in.Byte();
        auto* bytes = onProbe ? reinterpret_cast<uint8_t*>(&probeRecord) : reinterpret_cast<uint8_t*>(&galleryRecord);
        bytes[offset % (onProbe ? sizeof probeRecord : sizeof galleryRecord)] = value;
        edited = true;
    }
    if (edited) CheckRecords(gallery.bytes, -1);
    return 0;
}
