// Pairing (CalcIsoPair): on one alignment, each probe minutia takes the
// gallery minutia of lowest cost among those that pass every test, the first
// in list order among equal costs; a gallery minutia already taken leaves
// the probe minutia unpaired.
//
// Only entries whose radius differs by at most 10 can pass, so the gallery
// entries are grouped by radius / 8 (a counting sort that keeps list order)
// and only the groups that can hold such radii are visited; the choice is the
// same. The rule (Agreement) is evaluated in one of two forms:
//   - lane by lane, eight gallery entries at a time in the 16-bit lanes of
//     SSE2 (baseline x86-64), when every value the tests read lies where
//     alignments of decoded templates put it (see "The lanes' form"): the
//     tests' outcomes are unpredictable, and the lanes need no branch per
//     entry;
//   - in 32 bits otherwise.
// The alignment builds its entry lists directly (PairEntries); CalcIsoPair
// builds them from polar lists. tests/test_pairing_forms.cpp compares the
// two forms.
#include <emmintrin.h>

#include <cstdint>

#include "internal.h"

namespace fpmatch::detail {
namespace {

constexpr int32_t kGroups = 64;  // radius groups of 8, the last one open-ended
constexpr int32_t kLanes = 8;

int32_t GroupOf(int64_t radius) {
    const int64_t g = radius < 0 ? 0 : radius >> 3;
    return static_cast<int32_t>(g < kGroups - 1 ? g : kGroups - 1);
}

// The rule: whether gallery entry b can pair with probe entry a, and at what
// cost. In 64 bits, as polar lists handed to CalcIsoPair may hold any int32.
bool Agreement(const PairEntry& a, const PairEntry& b, int32_t* cost) {
    const int64_t dR = Abs(int64_t{a.radius} - b.radius);
    const int64_t sum = int64_t{a.radius} + b.radius;
    if (dR > 10 || dR > (sum >> 6) + 7) return false;
    const int64_t dB = CircularDifference(a.bearing, b.bearing);
    if (dB > (12 - (sum >> 5) > 3 ? 12 - (sum >> 5) : 3)) return false;
    // Direction difference allowing 2 degrees of slack either way.
    const int64_t diff = int64_t{a.direction} - b.direction;
    const int32_t dDir = Min(Min(CircularDifference(diff + 2, 0), CircularDifference(diff, 0)),
                             CircularDifference(diff - 2, 0));
    if (dDir > 10) return false;
    *cost = static_cast<int32_t>(dR + dB + dDir + (a.type == b.type ? 0 : 5));
    return true;
}

// ---- The lanes' form -----------------------------------------------------
//
// With radii in 0..16000 and bearings and directions in 0..360 (what the
// alignments of decoded templates give, unless a minutia lies thousands of
// pixels outside the image), every sum and difference the rule
// forms fits 16 bits, and so does a passing entry's key (cost + 2) * 64 + k:
// dB lies in 0..180 and dDir in -2..10 (CircularDifference of 362 is -2), so
// a cost lies in -2..205, and k < 50. The lowest key is the lowest cost, then
// the lowest list index. CircularDifference(x, 0) is min(|x|, 360 - |x|) for
// every x (checked below), and |x| is max(x, -x): SSE2 has no absolute value
// of 16-bit lanes.
constexpr int32_t kLaneRadius = 16000;
constexpr int32_t kLaneAngle = 360;
constexpr int32_t kNoKey = INT16_MAX;

constexpr bool CircularByMinimum() {
    for (int32_t x = -2 * kLaneAngle - 2; x <= 2 * kLaneAngle + 2; ++x) {
        const int32_t d = Abs(x);
        if (CircularDifference(x, 0) != Min(d, 360 - d)) return false;
    }
    return true;
}
static_assert(CircularByMinimum());

// The direction test's slack of two degrees either way, for differences of
// directions in 0..360: the least of the three circular differences is
// min(|x|, 360 - |x|) - 2, except that |x| of 0 and 1 stay as they are.
constexpr bool SlackByMinimum() {
    for (int32_t x = -kLaneAngle; x <= kLaneAngle; ++x) {
        const int32_t d = Abs(x), c = Min(d, 360 - d);
        const int32_t rule =
            Min(Min(CircularDifference(x + 2, 0), CircularDifference(x, 0)), CircularDifference(x - 2, 0));
        if (rule != (d < 2 ? c : c - 2)) return false;
    }
    return true;
}
static_assert(SlackByMinimum());

bool FitsLanes(const PairEntry& e) {
    // Unsigned comparisons take the lower bounds 0 along, without a branch.
    return (static_cast<uint32_t>(e.radius) <= uint32_t{kLaneRadius}) &
           (static_cast<uint32_t>(e.bearing) <= uint32_t{kLaneAngle}) &
           (static_cast<uint32_t>(e.direction) <= uint32_t{kLaneAngle});
}

// The gallery entries in group order, one array per field, with room for a
// whole vector past the last entry.
struct LaneEntries {
    alignas(16) int16_t radius[kMaxMinutiae + kLanes];
    alignas(16) int16_t bearing[kMaxMinutiae + kLanes];
    alignas(16) int16_t direction[kMaxMinutiae + kLanes];
    alignas(16) int16_t type[kMaxMinutiae + kLanes];
    alignas(16) int16_t k[kMaxMinutiae + kLanes];

    void Put(int32_t at, const PairEntry& e, int32_t index) {
        radius[at] = static_cast<int16_t>(e.radius);
        bearing[at] = static_cast<int16_t>(e.bearing);
        direction[at] = static_cast<int16_t>(e.direction);
        type[at] = static_cast<int16_t>(e.type);
        k[at] = static_cast<int16_t>(index);
    }
};

inline __m128i Load(const int16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline __m128i Abs16(__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); }
inline __m128i Circular16(__m128i x) {
    const __m128i d = Abs16(x);
    return _mm_min_epi16(d, _mm_sub_epi16(_mm_set1_epi16(360), d));
}

// The lowest key among entries first..last - 1 that agree with a, or kNoKey.
int32_t LowestKey(const PairEntry& a, const LaneEntries& g, int32_t first, int32_t last) {
    const __m128i ar = _mm_set1_epi16(static_cast<int16_t>(a.radius));
    const __m128i ab = _mm_set1_epi16(static_cast<int16_t>(a.bearing));
    const __m128i ad = _mm_set1_epi16(static_cast<int16_t>(a.direction));
    const __m128i at = _mm_set1_epi16(static_cast<int16_t>(a.type));
    const __m128i two = _mm_set1_epi16(2), four = _mm_set1_epi16(4);
    const __m128i eight = _mm_set1_epi16(8), eleven = _mm_set1_epi16(11), thirteen = _mm_set1_epi16(13);
    const __m128i noKey = _mm_set1_epi16(kNoKey), full = _mm_set1_epi16(360);
    const __m128i laneIndex = _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7);
    __m128i best = noKey;
    for (int32_t t = first; t < last; t += kLanes) {
        const __m128i br = Load(g.radius + t);
        const __m128i dR = Abs16(_mm_sub_epi16(ar, br));
        const __m128i sum = _mm_add_epi16(ar, br);
        // dR <= 10, dR <= (sum >> 6) + 7, dB <= max(12 - (sum >> 5), 3), dDir <= 10,
        // each as x < bound + 1.
        __m128i pass = _mm_and_si128(_mm_cmpgt_epi16(eleven, dR),
                                     _mm_cmpgt_epi16(_mm_add_epi16(_mm_srai_epi16(sum, 6), eight), dR));
        const __m128i dB = Circular16(_mm_sub_epi16(ab, Load(g.bearing + t)));
        const __m128i bearingWindow = _mm_max_epi16(_mm_sub_epi16(thirteen, _mm_srai_epi16(sum, 5)), four);
        pass = _mm_and_si128(pass, _mm_cmpgt_epi16(bearingWindow, dB));
        // dDir by the slack's form (SlackByMinimum).
        const __m128i dDirection = Abs16(_mm_sub_epi16(ad, Load(g.direction + t)));
        const __m128i circular = _mm_min_epi16(dDirection, _mm_sub_epi16(full, dDirection));
        const __m128i dDir =
            _mm_add_epi16(_mm_sub_epi16(circular, two), _mm_and_si128(_mm_cmpgt_epi16(two, dDirection), two));
        pass = _mm_and_si128(pass, _mm_cmpgt_epi16(eleven, dDir));
        pass = _mm_and_si128(pass, _mm_cmpgt_epi16(_mm_set1_epi16(static_cast<int16_t>(last - t)), laneIndex));
        const __m128i typePenalty = _mm_andnot_si128(_mm_cmpeq_epi16(at, Load(g.type + t)), _mm_set1_epi16(5));
        const __m128i cost = _mm_add_epi16(_mm_add_epi16(dR, dB), _mm_add_epi16(dDir, typePenalty));
        const __m128i key = _mm_add_epi16(_mm_slli_epi16(_mm_add_epi16(cost, two), 6), Load(g.k + t));
        best = _mm_min_epi16(best, _mm_or_si128(_mm_and_si128(pass, key), _mm_andnot_si128(pass, noKey)));
    }
    best = _mm_min_epi16(best, _mm_shuffle_epi32(best, 0x4E));
    best = _mm_min_epi16(best, _mm_shuffle_epi32(best, 0xB1));
    best = _mm_min_epi16(best, _mm_shufflelo_epi16(best, 0xB1));
    return static_cast<int16_t>(_mm_cvtsi128_si32(best));
}

// ---- The pairing ---------------------------------------------------------

struct Candidate {
    PairEntry entry;
    int32_t k;
};

}  // namespace

int32_t PairEntries(const PairEntry* probe, int32_t probeCount, const PairEntry* gallery, int32_t galleryCount,
                    MinutiaPair* pairs, bool inLanes) {
    probeCount = ClampCount(probeCount);
    galleryCount = ClampCount(galleryCount);
    bool fits = true;
    for (int32_t j = 0; j < probeCount; ++j) fits &= FitsLanes(probe[j]);
    for (int32_t k = 0; k < galleryCount; ++k) fits &= FitsLanes(gallery[k]);
    inLanes = inLanes && fits;

    int32_t groupStart[kGroups + 1] = {};
    for (int32_t k = 0; k < galleryCount; ++k) ++groupStart[GroupOf(gallery[k].radius) + 1];
    for (int32_t g = 0; g < kGroups; ++g) groupStart[g + 1] += groupStart[g];
    // One form's storage or the other's: the comparison's stack stays as it was.
    union {
        LaneEntries lanes;
        Candidate grouped[kMaxMinutiae];
    };
    {
        int32_t cursor[kGroups];
        for (int32_t g = 0; g < kGroups; ++g) cursor[g] = groupStart[g];
        for (int32_t k = 0; k < galleryCount; ++k) {
            const int32_t at = cursor[GroupOf(gallery[k].radius)]++;
            if (inLanes) {
                lanes.Put(at, gallery[k], k);
            } else {
                grouped[at] = Candidate{gallery[k], k};
            }
        }
        // The lanes past the last entry are read and masked off.
        if (inLanes)
            for (int32_t at = galleryCount; at < galleryCount + kLanes; ++at) lanes.Put(at, PairEntry{}, 0);
    }

    uint64_t taken = 0;
    int32_t made = 0;
    for (int32_t j = 0; j < probeCount; ++j) {
        const PairEntry& a = probe[j];
        const int32_t first = groupStart[GroupOf(static_cast<int64_t>(a.radius) - 10)];
        const int32_t last = groupStart[GroupOf(static_cast<int64_t>(a.radius) + 10) + 1];
        if (first == last) continue;  // no gallery entry near its radius
        int32_t best = -1;
        if (inLanes) {
            const int32_t key = LowestKey(a, lanes, first, last);
            if (key != kNoKey) best = key & 63;
        } else {
            int32_t bestCost = 1080;
            for (int32_t t = first; t < last; ++t) {
                int32_t cost;
                if (!Agreement(a, grouped[t].entry, &cost)) continue;
                if (cost < bestCost || (cost == bestCost && grouped[t].k < best)) {
                    bestCost = cost;
                    best = grouped[t].k;
                }
            }
        }
        if (best < 0) continue;
        // A gallery entry already taken leaves this probe entry unpaired.
        if (taken >> best & 1u) continue;
        taken |= uint64_t{1} << best;
        pairs[made++] = MinutiaPair{a.slot, gallery[best].slot};
    }
    return made;
}

int32_t PairPolar(const Minutia* probeSet, const PolarMinutia* probePolar, int32_t probeCount,
                  const Minutia* gallerySet, const PolarMinutia* galleryPolar, int32_t galleryCount,
                  MinutiaPair* pairs, bool inLanes) {
    // Entries that name no slot can never be chosen and are left out; the
    // others keep their order, which is all the tie rule reads of it.
    auto entries = [](const Minutia* set, const PolarMinutia* polar, int32_t count, PairEntry* out) {
        int32_t n = 0;
        for (int32_t k = 0; k < ClampCount(count); ++k) {
            const PolarMinutia& p = polar[k];
            if (!IsSlot(p.index)) continue;
            out[n++] = EntryOf(set[p.index], p.radius, p.bearing, p.index);
        }
        return n;
    };
    PairEntry probe[kMaxMinutiae], gallery[kMaxMinutiae];
    const int32_t np = entries(probeSet, probePolar, probeCount, probe);
    const int32_t ng = entries(gallerySet, galleryPolar, galleryCount, gallery);
    return PairEntries(probe, np, gallery, ng, pairs, inLanes);
}

}  // namespace fpmatch::detail

extern "C" int32_t CalcIsoPair(const Minutia* probeSet, const PolarMinutia* probePolar, int32_t probeCount,
                               const Minutia* gallerySet, const PolarMinutia* galleryPolar, int32_t galleryCount,
                               MinutiaPair* pairs) {
    return fpmatch::detail::PairPolar(probeSet, probePolar, probeCount, gallerySet, galleryPolar, galleryCount, pairs,
                                      true);
}
