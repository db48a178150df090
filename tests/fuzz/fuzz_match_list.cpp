// Fuzz target: one-to-many search (MatchListFp).
//
// Input: one control byte (low 3 bits: number of entries to try, bits 3-4:
// first index), one threshold byte, then the probe template, then up to 6
// list entries, each as long as its header declares. Entries are laid out in
// a list of zero-padded slots (stride = the largest template the decoders
// read). Checks, against Match2Score on the same templates:
//  - result 1 reports an index among those tried, with the score Match2Score
//    gives that entry, at least the threshold, and every entry tried before
//    it scored below the threshold;
//  - result 0 leaves both out-arguments untouched; with a positive threshold
//    an entry that reaches it can only be missed when an earlier tried entry
//    scores 0 (decode failure or no corresponding minutiae stop the search);
//  - a probe that fails to decode gives 0.
#include "fuzz_common.h"

using namespace fpmatch::fuzz;

namespace {
constexpr int kMaxEntries = 6;
constexpr int32_t kUntouched = -12345;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t control = in.Byte();
    const int32_t threshold = static_cast<int32_t>(in.Byte()) - 8;  // -8..247
    const uint8_t* probeBytes;
    const size_t probeLength = in.TakeTemplate(&probeBytes);
    Slot probe(probeBytes, probeLength);

    static uint8_t list[kMaxEntries * kSlot];
    std::memset(list, 0, sizeof list);
    int entries = 0;
    while (entries < kMaxEntries && in.Left() > 0) {
        const uint8_t* p;
        const size_t n = in.TakeTemplate(&p);
        std::memcpy(list + entries * kSlot, p, n);
        ++entries;
    }
    int32_t firstIndex = (control >> 3) & 3;
    int32_t entryCount = control & 7;
    if (firstIndex > kMaxEntries) firstIndex = kMaxEntries;
    if (firstIndex + entryCount > kMaxEntries) entryCount = kMaxEntries - firstIndex;
    if (control & 0x80) entryCount = -entryCount;  // zero or negative counts try nothing

    int32_t foundIndex = kUntouched, foundScore = kUntouched;
    const int32_t result = MatchListFp(probe.bytes, list, static_cast<int32_t>(kSlot), firstIndex, entryCount,
                                       threshold, &foundIndex, &foundScore);
    FUZZ_CHECK(result == 0 || result == 1);
    if (CheckTemplate(probe.bytes, kSlot) != FPMATCH_DECODED || entryCount <= 0) FUZZ_CHECK(result == 0);

    int32_t scores[kMaxEntries] = {};
    for (int i = firstIndex; i < firstIndex + entryCount; ++i) scores[i] = Match2Score(probe.bytes, list + i * kSlot);

    if (result == 1) {
        FUZZ_CHECK(foundIndex >= firstIndex && foundIndex < firstIndex + entryCount);
        FUZZ_CHECK(foundScore >= 0 && foundScore <= 100 && foundScore >= threshold);
        FUZZ_CHECK(foundScore == scores[foundIndex]);
        for (int i = firstIndex; i < foundIndex; ++i) FUZZ_CHECK(scores[i] < threshold);
    } else {
        FUZZ_CHECK(foundIndex == kUntouched && foundScore == kUntouched);
        if (threshold > 0 && CheckTemplate(probe.bytes, kSlot) == FPMATCH_DECODED) {
            for (int i = firstIndex; i < firstIndex + entryCount; ++i) {
                if (scores[i] >= threshold) {
                    bool stopped = false;
                    for (int j = firstIndex; j < i; ++j) stopped = stopped || scores[j] == 0;
                    FUZZ_CHECK(stopped);
                    break;
                }
            }
        }
    }
    return 0;
}
