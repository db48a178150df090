// Candidate filter, search side: FilterScores. For each record:
//
//  1. Correspondences. For every base of the record, the probe minutiae that
//     at least two of the base's neighbour cells name (two bit-sliced masks
//     over its five cells).
//  2. Votes. Each correspondence (base b, probe minutia p) votes for the turn
//     t = direction(b) - direction(p) (256 steps) and for the shift that
//     brings p, turned by t about the image centre, onto b; its weight is 2
//     when the two minutiae are of one type, else 1.
//  3. Clusters. The turn histogram in 32 sectors picks the two heaviest
//     windows of two neighbouring sectors (ties by lower sector); within
//     each, the votes' shifts fall in 16-pixel squares and the heaviest
//     2 x 2 block of squares is the window's weight.
//  4. Score: the heavier window's weight times 65536 / sqrt(pairs + 1), so
//     that templates with many pairs do not win by chance.
// Integer arithmetic throughout; every value read from a record or a probe
// indexes a table of its full range, so no bytes can lead outside them.
#include <cstdint>
#include <cstring>

#include "filter_layout.h"

namespace fpmatch::detail::filter {
namespace {

constexpr int32_t kTurnSectors = 32;      // 8 steps of 256 each
constexpr int32_t kSectorShift = 3;
constexpr int32_t kShiftShift = 4;        // squares of 16 pixels
constexpr int32_t kShiftSquares = 48;     // shifts -384..383 in each axis
constexpr int32_t kShiftOrigin = 384;
constexpr int32_t kMaxVotes = kBases * kProbeSlots;
constexpr int32_t kMaxSlots = kBases * kSlots;

// sin(2 pi k / 256) * 16384, rounded, k = 0..64.
constexpr int16_t kQuarterSine[65] = {
    0,     402,   804,   1205,  1606,  2006,  2404,  2801,  3196,  3590,  3981,  4370,  4756,
    5139,  5520,  5897,  6270,  6639,  7005,  7366,  7723,  8076,  8423,  8765,  9102,  9434,
    9760,  10080, 10394, 10702, 11003, 11297, 11585, 11866, 12140, 12406, 12665, 12916, 13160,
    13395, 13623, 13842, 14053, 14256, 14449, 14635, 14811, 14978, 15137, 15286, 15426, 15557,
    15679, 15791, 15893, 15986, 16069, 16143, 16207, 16261, 16305, 16340, 16364, 16379, 16384};

constexpr int32_t Sine(int32_t k) {
    k &= 255;
    if (k <= 64) return kQuarterSine[k];
    if (k <= 128) return kQuarterSine[128 - k];
    if (k <= 192) return -kQuarterSine[k - 128];
    return -kQuarterSine[256 - k];
}

struct TurnTable {
    int32_t cosine[256], sine[256];
};
constexpr TurnTable MakeTurnTable() {
    TurnTable t{};
    for (int32_t k = 0; k < 256; ++k) {
        t.sine[k] = Sine(k);
        t.cosine[k] = Sine(k + 64);
    }
    return t;
}
constexpr TurnTable kTurns = MakeTurnTable();

constexpr int32_t SquareRoot(int64_t v) {
    int64_t r = 0;
    while ((r + 1) * (r + 1) <= v) ++r;
    return static_cast<int32_t>(r);
}

// 65536 / sqrt(pairs + 1), as 2^24 / floor(256 sqrt(pairs + 1)).
struct Scale {
    int32_t factor[kMaxSlots + 1];
};
constexpr Scale MakeScale() {
    Scale s{};
    for (int32_t n = 0; n <= kMaxSlots; ++n) s.factor[n] = (1 << 24) / SquareRoot(static_cast<int64_t>(n + 1) << 16);
    return s;
}
constexpr Scale kScale = MakeScale();

// A correspondence: probe minutia p in bits 0..5, base b in bits 8..12,
// weight in bits 13..14, turn in bits 16..23 (its sector in 19..23).
inline uint32_t Correspondence(int32_t base, int32_t p, int32_t weight, int32_t turn) {
    return static_cast<uint32_t>(turn) << 16 | static_cast<uint32_t>(weight) << 13 | static_cast<uint32_t>(base) << 8 |
           static_cast<uint32_t>(p);
}
inline int32_t SectorOf(uint32_t c) { return static_cast<int32_t>(c >> (16 + kSectorShift)); }

// Work space of one FilterScores call (about 22 KB). A block's sum counts
// only while its stamp is the current one, so blocks need no clearing
// between windows; `turns` is all zero between records.
struct Work {
    uint32_t blocks[kShiftSquares][kShiftSquares];  // stamp << 16 | sum
    uint32_t stamp;
    int32_t turns[kTurnSectors];
    uint64_t twice[kBases];
    int32_t namer[kBases];
    uint32_t found[kMaxVotes];
    uint16_t window[kMaxVotes];  // the current window's correspondences
};

inline uint64_t Load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

// Heaviest 2 x 2 block of shift squares among the `count` correspondences
// whose turn lies in sector `sector` or the next.
int32_t HeaviestBlock(const ProbeLayout& probe, const uint8_t* record, Work& w, int32_t count, int32_t sector) {
    int32_t selected = 0;
    for (int32_t k = 0; k < count; ++k) {
        w.window[selected] = static_cast<uint16_t>(k);
        selected += ((SectorOf(w.found[k]) - sector) & (kTurnSectors - 1)) <= 1;
    }
    if (++w.stamp == 0x10000u) {  // stamps used up: start afresh
        std::memset(w.blocks, 0, sizeof w.blocks);
        w.stamp = 1;
    }
    const uint32_t stamp = w.stamp << 16;
    int32_t best = 0;
    for (int32_t k = 0; k < selected; ++k) {
        const uint32_t c = w.found[w.window[k]];
        const int32_t p = static_cast<int32_t>(c & 63);
        const uint8_t* base = record + kHeaderBytes + kBaseBytes * static_cast<int32_t>(c >> 8 & 31);
        const int32_t turn = static_cast<int32_t>(c >> 16 & 255);
        const int32_t cosine = kTurns.cosine[turn], sine = kTurns.sine[turn];
        const int32_t px = probe.x[p], py = probe.y[p];
        // The shift that brings p, turned about the image centre, onto the base.
        const int32_t x = 2 * base[8] + 1 - kCentreX - ((px * cosine - py * sine + 8192) >> 14);
        const int32_t y = 2 * base[9] + 1 - kCentreY - ((px * sine + py * cosine + 8192) >> 14);
        const int32_t sx = (x + kShiftOrigin) >> kShiftShift, sy = (y + kShiftOrigin) >> kShiftShift;
        // Squares 1..47: every block the vote weighs in lies inside.
        if (sx < 1 || sx >= kShiftSquares || sy < 1 || sy >= kShiftSquares) continue;
        const uint32_t weight = c >> 13 & 3;
        // A vote in square (sx, sy) weighs in the blocks whose corner squares
        // are (sx - 1 .. sx, sy - 1 .. sy).
        for (int32_t cx = sx - 1; cx <= sx; ++cx)
            for (int32_t cy = sy - 1; cy <= sy; ++cy) {
                uint32_t& block = w.blocks[cx][cy];
                block = ((block & 0xFFFF0000u) == stamp ? block : stamp) + weight;
                const int32_t sum = static_cast<int32_t>(block & 0xFFFFu);
                best = sum > best ? sum : best;
            }
    }
    return best;
}

int32_t ScoreRecord(const ProbeLayout& probe, const uint8_t* record, Work& w) {
    const int32_t bases = record[1], occupied = record[2];
    if (record[0] != kRecordVersion || record[3] != FPMATCH_DECODED || bases > kBases || occupied > kSlots * bases)
        return 0;
    const uint64_t* cells = probe.cells;
    // The bases naming at least one probe minutia twice, with those minutiae
    // (kept without a branch per base: most bases name none or one).
    int32_t named = 0;
    for (int32_t b = 0; b < bases; ++b) {
        const uint64_t slots = Load64(record + kHeaderBytes + kBaseBytes * b);
        // Minutiae named by two or more of the five cells.
        const uint64_t m0 = cells[slots & (kCells - 1)], m1 = cells[slots >> kSlotBits & (kCells - 1)];
        const uint64_t m2 = cells[slots >> (2 * kSlotBits) & (kCells - 1)];
        const uint64_t m3 = cells[slots >> (3 * kSlotBits) & (kCells - 1)];
        const uint64_t m4 = cells[slots >> (4 * kSlotBits) & (kCells - 1)];
        const uint64_t once01 = m0 | m1, once012 = once01 | m2, once0123 = once012 | m3;
        const uint64_t twice = (m0 & m1) | (once01 & m2) | (once012 & m3) | (once0123 & m4);
        w.twice[named] = twice;
        w.namer[named] = b;
        named += twice != 0;
    }
    int32_t count = 0;
    for (int32_t k = 0; k < named; ++k) {
        const int32_t b = w.namer[k];
        const uint8_t* base = record + kHeaderBytes + kBaseBytes * b;
        const int32_t direction = base[10], type = base[7] >> (kTypeBit - 56) & 1;
        for (uint64_t twice = w.twice[k]; twice != 0; twice &= twice - 1) {
            const int32_t p = __builtin_ctzll(twice);
            const int32_t turn = (direction - probe.direction[p]) & 255;
            const int32_t weight = 1 + (type == probe.type[p]);
            w.turns[turn >> kSectorShift] += weight;
            w.found[count++] = Correspondence(b, p, weight, turn);
        }
    }
    if (count == 0) return 0;
    // The two heaviest windows of two neighbouring sectors, equal weights by
    // lower sector: the largest keys weight << 5 | (31 - sector).
    int32_t keys[kTurnSectors];
    for (int32_t r = 0; r < kTurnSectors; ++r)
        keys[r] = (w.turns[r] + w.turns[(r + 1) & (kTurnSectors - 1)]) << 5 | (kTurnSectors - 1 - r);
    int32_t firstKey = 0;
    for (int32_t r = 0; r < kTurnSectors; ++r) firstKey = keys[r] > firstKey ? keys[r] : firstKey;
    const int32_t first = kTurnSectors - 1 - (firstKey & (kTurnSectors - 1));
    keys[first] = -1;
    int32_t secondKey = -1;
    for (int32_t r = 0; r < kTurnSectors; ++r) secondKey = keys[r] > secondKey ? keys[r] : secondKey;
    const int32_t second = kTurnSectors - 1 - (secondKey & (kTurnSectors - 1));
    for (int32_t k = 0; k < count; ++k) w.turns[SectorOf(w.found[k])] = 0;
    // A block weighs no more than its window: the second window only counts
    // when it outweighs the first one's heaviest block.
    int32_t best = HeaviestBlock(probe, record, w, count, first);
    if ((secondKey >> 5) > best) {
        const int32_t other = HeaviestBlock(probe, record, w, count, second);
        best = other > best ? other : best;
    }
    return best * kScale.factor[occupied];
}

}  // namespace
}  // namespace fpmatch::detail::filter

extern "C" int32_t FilterScores(const FilterProbe* probe, const uint8_t* records, int32_t stride, int32_t count,
                                int32_t* scores) {
    using namespace fpmatch::detail::filter;
    if (probe == nullptr || records == nullptr || scores == nullptr || count < 0 || stride < FPMATCH_FILTER_RECORD_SIZE)
        return -1;
    const auto& p = *reinterpret_cast<const ProbeLayout*>(probe);
    if (p.magic != kProbeMagic || p.version != kRecordVersion || p.status != FPMATCH_DECODED) return -1;
    Work w;
    std::memset(w.blocks, 0, sizeof w.blocks);
    w.stamp = 0;
    std::memset(w.turns, 0, sizeof w.turns);
    for (int32_t r = 0; r < count; ++r)
        scores[r] = ScoreRecord(p, records + static_cast<int64_t>(r) * stride, w);
    return count;
}
