// Fuzz target: the short template reader and the neighbour graph builders
// (XpdShortChar, BuildCharGraph, BuildLimitGraph) on their own.
//
// The input is one 512-byte short template (shorter inputs are zero-padded).
// Every output array is an exact-size heap array, so a write past 50
// minutiae, 50 char nodes or `count` limit nodes is an ASan report. Checks:
// unpacked fields in their bit ranges, nothing written beyond the entries
// read, char rows sorted by distance with a neighbour count below 50.
#include "fuzz_common.h"

using namespace fpmatch::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ShortSlot record;
    record.Set(data, size);
    int32_t words[256];
    for (int k = 0; k < 256; ++k) words[k] = record.bytes[2 * k] << 8 | record.bytes[2 * k + 1];

    std::unique_ptr<ShortMinutia[]> minutiae(new ShortMinutia[FPMATCH_MAX_MINUTIAE + 3]);
    std::memset(minutiae.get(), 0x5A, (FPMATCH_MAX_MINUTIAE + 3) * sizeof(ShortMinutia));
    int16_t count = -1, format = -1, quality = -1;
    int reserved = 0;
    XpdShortChar(words, minutiae.get(), &count, &format, &quality, &reserved);
    FUZZ_CHECK(format == record.bytes[1]);
    FUZZ_CHECK(quality == record.bytes[2]);
    FUZZ_CHECK(count >= 0 && count <= 255);
    const int n = count > FPMATCH_MAX_MINUTIAE ? FPMATCH_MAX_MINUTIAE : count;
    for (int i = 0; i < n; ++i) {
        const ShortMinutia& m = minutiae[i];
        FUZZ_CHECK(m.x >= 0 && m.x <= 511 && m.y >= 0 && m.y <= 511 && m.angle >= 0 && m.angle <= 511);
        FUZZ_CHECK(m.quality >= 0 && m.quality <= 15 && m.type <= 1);
    }
    // Slots 50..52 belong to the wrap-around copies, never to the reader.
    for (int i = FPMATCH_MAX_MINUTIAE; i < FPMATCH_MAX_MINUTIAE + 3; ++i) FUZZ_CHECK(minutiae[i].x == 0x5A5A);
    if (n == 0) return 0;

    std::unique_ptr<CharNode[]> chars(new CharNode[FPMATCH_MAX_MINUTIAE]);
    BuildCharGraph(n, minutiae.get(), chars.get());
    for (int i = 0; i < n; ++i) {
        const CharNode& node = chars[i];
        FUZZ_CHECK(node.neighbourCount >= 0 && node.neighbourCount < FPMATCH_CHAR_EDGES);
        for (int e = 1; e < node.neighbourCount; ++e)
            FUZZ_CHECK(node.edges[e - 1].distance <= node.edges[e].distance);
        for (int e = 0; e < node.neighbourCount; ++e) FUZZ_CHECK(node.edges[e].distance >= 0);
    }

    for (int k = 0; k < 3; ++k) {
        ShortMinutia copy = minutiae[k];
        minutiae[n + k].x = copy.x;
        minutiae[n + k].y = copy.y;
        minutiae[n + k].angle = copy.angle;
        minutiae[n + k].type = copy.type;
    }
    std::unique_ptr<LimitNode[]> limits(new LimitNode[n]);
    BuildLimitGraph(n, minutiae.get(), limits.get());
    for (int i = 0; i < n; ++i) FUZZ_CHECK(limits[i].edges[0].distance >= 0);
    return 0;
}
