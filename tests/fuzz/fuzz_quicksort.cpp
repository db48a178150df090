// Fuzz target: candidate screening (QuickSort) over 512-byte short templates.
//
// Input: one control byte, then the probe and up to 6 candidates, each in a
// compact form (bytes 0-3 of the record, then 4 bytes per counted minutia,
// at most 50) that is expanded into a zero-padded 512-byte record. Control
// bits 0-2 choose the candidate count (limited to the candidates present);
// bit 7 asks for a count of -1. Checks:
//  - a negative count returns 0 and leaves the result array untouched;
//  - otherwise 1, and the result array is well formed (positions in range,
//    no duplicates, -1 only at the tail);
//  - a candidate's score does not depend on its neighbours, so a candidate
//    is listed in the full run exactly when it is listed when screened
//    alone, and two listed candidates keep their relative order when
//    screened as a pair;
//  - a candidate without the 03 01 marker is never listed.
#include "fuzz_common.h"

using namespace fpmatch::fuzz;

namespace {

constexpr int kMaxCandidates = 6;

// Expands one compact short template into a 512-byte record.
void TakeShort(Input& in, uint8_t* record) {
    std::memset(record, 0, kShort);
    const uint8_t* p;
    const size_t header = in.Take(4, &p);
    if (header) std::memcpy(record, p, header);
    size_t count = header == 4 ? p[3] : 0;
    if (count > 50) count = 50;
    const size_t n = in.Take(4 * count, &p);
    if (n) std::memcpy(record + 56, p, n);
}

bool Listed(const int32_t* best, int32_t position) {
    for (int k = 0; k < FPMATCH_SCREEN_BEST; ++k)
        if (best[k] == position) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t control = in.Byte();
    static uint8_t probe[kShort];
    static uint8_t candidates[kMaxCandidates * kShort];
    TakeShort(in, probe);
    int present = 0;
    while (present < kMaxCandidates && in.Left() > 0) TakeShort(in, candidates + present * kShort), ++present;
    int32_t count = control & 7;
    if (count > present) count = present;

    int32_t best[FPMATCH_SCREEN_BEST];
    if (control & 0x80) {
        for (auto& b : best) b = 5;
        FUZZ_CHECK(QuickSort(probe, candidates, -1, best) == 0);
        for (auto b : best) FUZZ_CHECK(b == 5);
        return 0;
    }

    for (auto& b : best) b = 7777;
    FUZZ_CHECK(QuickSort(probe, candidates, count, best) == 1);
    CheckBestList(best, count);
    if (probe[3] == 0) {
        for (auto b : best) FUZZ_CHECK(b == -1);
    }

    // The same candidates screened one at a time.
    for (int32_t r = 0; r < count; ++r) {
        const uint8_t* record = candidates + r * kShort;
        int32_t alone[FPMATCH_SCREEN_BEST];
        FUZZ_CHECK(QuickSort(probe, record, 1, alone) == 1);
        CheckBestList(alone, 1);
        FUZZ_CHECK(Listed(alone, 0) == Listed(best, r));
        if (record[0] != 0x03 || record[1] != 0x01) FUZZ_CHECK(!Listed(best, r));
    }

    // Relative order of listed candidates, screened as pairs.
    for (int u = 0; u < FPMATCH_SCREEN_BEST && best[u] >= 0; ++u) {
        for (int v = u + 1; v < FPMATCH_SCREEN_BEST && best[v] >= 0; ++v) {
            const int32_t a = best[u] < best[v] ? best[u] : best[v];
            const int32_t b = best[u] < best[v] ? best[v] : best[u];
            static uint8_t pair[2 * kShort];
            std::memcpy(pair, candidates + a * kShort, kShort);
            std::memcpy(pair + kShort, candidates + b * kShort, kShort);
            int32_t two[FPMATCH_SCREEN_BEST];
            FUZZ_CHECK(QuickSort(probe, pair, 2, two) == 1);
            CheckBestList(two, 2);
            const int32_t first = best[u] == a ? 0 : 1;
            FUZZ_CHECK(two[0] == first && two[1] == 1 - first);
        }
    }
    return 0;
}
