// Fuzz target: the candidate filter (MakeFilterRecord, PrepareFilterProbe)
// and its record reader (FilterScores).
//
// The input is two templates (probe, gallery) followed by byte edits.
// Checks:
//  - the record and the prepared probe are the same bytes whatever their
//    buffers held before;
//  - FilterScores over three records in an exact-size heap buffer (the
//    gallery's record, a copy with the edits applied, and the input's first
//    bytes with a plausible header) reads nothing outside it
//    (AddressSanitizer), scores are 0 or more, and every record scores alone
//    what it scores in the block;
//  - with the edits applied to the prepared probe instead, FilterScores
//    refuses (-1) or scores 0 or more.
#include <vector>

#include "fuzz_common.h"

using namespace fpmatch::fuzz;

namespace {

constexpr size_t kRecord = FPMATCH_FILTER_RECORD_SIZE;

// Large records live outside the fuzzer's stack.
FilterProbe probeRecord, probeAgain;

void CheckBlock(const FilterProbe* probe, const uint8_t* records, int32_t count, bool mayRefuse) {
    int32_t scores[3] = {-7, -7, -7};
    const int32_t n = FilterScores(probe, records, static_cast<int32_t>(kRecord), count, scores);
    if (n == -1) {
        FUZZ_CHECK(mayRefuse && scores[0] == -7);
        return;
    }
    FUZZ_CHECK(n == count);
    for (int32_t r = 0; r < count; ++r) {
        FUZZ_CHECK(scores[r] >= 0);
        int32_t alone = -7;
        FUZZ_CHECK(FilterScores(probe, records + kRecord * static_cast<size_t>(r), static_cast<int32_t>(kRecord), 1, &alone) == 1);
        FUZZ_CHECK(alone == scores[r]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t *probeBytes, *galleryBytes;
    const size_t probeLength = in.TakeTemplate(&probeBytes);
    const size_t galleryLength = in.TakeTemplate(&galleryBytes);
    Slot probe(probeBytes, probeLength), gallery(galleryBytes, galleryLength);

    // Same bytes whatever the buffers held.
    std::vector<uint8_t> records(3 * kRecord, 0xA5);
    uint8_t again[kRecord] = {};
    const int32_t code = MakeFilterRecord(gallery.bytes, records.data());
    FUZZ_CHECK(MakeFilterRecord(gallery.bytes, again) == code);
    FUZZ_CHECK(std::memcmp(records.data(), again, kRecord) == 0);
    std::memset(&probeRecord, 0x5A, sizeof probeRecord);
    const int32_t probeCode = PrepareFilterProbe(probe.bytes, &probeRecord);
    FUZZ_CHECK(PrepareFilterProbe(probe.bytes, &probeAgain) == probeCode);
    FUZZ_CHECK(std::memcmp(&probeRecord, &probeAgain, sizeof probeRecord) == 0);

    // Record 1: the record, edited; record 2: the input's first bytes with a
    // plausible header (version 1, decoded, at most 32 bases, slots they hold).
    std::memcpy(records.data() + kRecord, records.data(), kRecord);
    uint8_t* raw = records.data() + 2 * kRecord;
    std::memset(raw, 0, kRecord);
    std::memcpy(raw, data, size < kRecord ? size : kRecord);
    raw[0] = FPMATCH_FILTER_VERSION;
    raw[1] = static_cast<uint8_t>(raw[1] % 33);
    raw[2] = static_cast<uint8_t>(raw[2] % (5 * raw[1] + 1));
    raw[3] = 0;
    std::vector<uint8_t> edits;
    while (in.Left() >= 4) {
        for (int k = 0; k < 4; ++k) edits.push_back(in.Byte());
        const size_t offset = static_cast<size_t>(edits[edits.size() - 3]) << 8 | edits[edits.size() - 2];
        if (!(edits[edits.size() - 4] & 1)) records[kRecord + offset % kRecord] = edits.back();
    }
    // Exact size: AddressSanitizer reports a read past the third record.
    const auto exact = ExactCopy(records.data(), 3 * kRecord);
    CheckBlock(&probeRecord, exact.get(), 3, probeCode != 0);

    // The probe edited (odd selectors), scored against the same records.
    bool edited = false;
    for (size_t e = 0; e + 4 <= edits.size(); e += 4) {
        if (!(edits[e] & 1)) continue;
        const size_t offset = static_cast<size_t>(edits[e + 1]) << 8 | edits[e + 2];
        reinterpret_cast<uint8_t*>(&probeRecord)[offset % sizeof probeRecord] = edits[e + 3];
        edited = true;
    }
    if (edited) CheckBlock(&probeRecord, exact.get(), 3, true);
    return 0;
}
