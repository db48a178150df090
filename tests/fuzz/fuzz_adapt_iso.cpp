// Fuzz target: ISO record adaptation (AdaptIsoRecord).
//
// Input: one byte choosing the output capacity (exact, short by a few bytes,
// or generous), then the record. The record and the output are exact-size
// heap arrays, so any read or write beyond them is an ASan report. Checks:
//  - a refusal is a negative code and leaves the output untouched;
//  - a result never exceeds the capacity, and the adapted record is accepted
//    by CheckTemplate at its returned length, with 1..50 minutiae at x >= 1;
//  - an adapted record adapts to itself, byte for byte;
//  - adapting in place gives the same bytes;
//  - the adapted record compares (Match2Score) without fault.
#include "fuzz_common.h"

using namespace fpmatch::fuzz;

namespace {
constexpr uint8_t kSentinel = 0xCD;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t control = in.Byte();
    const size_t length = in.Left();
    auto record = ExactCopy(in.Data(), length);

    size_t capacity = length + (control & 0x3F);
    if (control & 0x80) capacity = (control & 0x3F) < length ? length - (control & 0x3F) : 0;
    std::unique_ptr<uint8_t[]> out(new uint8_t[capacity ? capacity : 1]);
    std::memset(out.get(), kSentinel, capacity ? capacity : 1);

    const int32_t n = AdaptIsoRecord(record.get(), length, out.get(), capacity);
    if (n < 0) {
        FUZZ_CHECK(n >= FPMATCH_ADAPT_OUT_TOO_SMALL);
        for (size_t i = 0; i < capacity; ++i) FUZZ_CHECK(out[i] == kSentinel);
        return 0;
    }
    FUZZ_CHECK(static_cast<size_t>(n) <= capacity);
    FUZZ_CHECK(n >= 28 + 6);

    auto adapted = ExactCopy(out.get(), n);
    FUZZ_CHECK(CheckTemplate(adapted.get(), n) == FPMATCH_DECODED);
    OwnedSet set;
    FUZZ_CHECK(DecodeFeature(adapted.get(), &set.fs) == FPMATCH_DECODED);
    CheckDecoded(adapted.get(), set.fs);
    for (int i = 0; i < set.fs.minutiaCount; ++i) FUZZ_CHECK(set.minutiae[i].x >= 1);

    std::unique_ptr<uint8_t[]> twice(new uint8_t[n]);
    FUZZ_CHECK(AdaptIsoRecord(adapted.get(), n, twice.get(), n) == n);
    FUZZ_CHECK(std::memcmp(twice.get(), adapted.get(), n) == 0);

    // In place, in a buffer that holds the record and room for the result.
    const size_t room = length > static_cast<size_t>(n) ? length : n;
    std::unique_ptr<uint8_t[]> inPlace(new uint8_t[room]);
    std::memcpy(inPlace.get(), record.get(), length);
    FUZZ_CHECK(AdaptIsoRecord(inPlace.get(), length, inPlace.get(), room) == n);
    FUZZ_CHECK(std::memcmp(inPlace.get(), adapted.get(), n) == 0);

    Slot slot(adapted.get(), n);
    const int32_t score = Match2Score(slot.bytes, slot.bytes);
    FUZZ_CHECK(score >= 0 && score <= 100);
    return 0;
}
