// Ranking of templates that the caller holds in memory, laid out at a fixed
// stride: every core, one score byte per entry, then the ranking SearchTopK
// gives over the whole list. The Python and Java bindings rank their
// in-memory lists here rather than splitting and merging searches of their
// own.
#include <algorithm>
#include <vector>

#include "internal.h"
#include "parallel.h"

namespace fpmatch::id {

namespace {

constexpr int64_t kListBlock = 256;  // entries compared per task
constexpr int32_t kScores = 101;     // 0..100

// Whether entry i holds, up to the end of the list, a whole template that
// decodes; the comparison reads no other entry.
bool Whole(const uint8_t* list, size_t length, int32_t stride, int64_t i) {
    const size_t offset = static_cast<size_t>(i) * static_cast<size_t>(stride);
    return CheckTemplate(list + offset, length - offset) == FPMATCH_DECODED;
}

// Scores of entries [lo, hi): whole runs compared in one library call each,
// every other entry 0, as SearchTopK ranks an entry that does not decode.
void ScoreBlock(const PreparedProbe* probe, const uint8_t* list, size_t length, int32_t stride, int64_t lo,
                int64_t hi, uint8_t* scores) {
    int32_t outcomes[kListBlock];
    for (int64_t i = lo; i < hi;) {
        const int64_t start = i;
        while (i < hi && Whole(list, length, stride, i)) ++i;
        const auto n = static_cast<int32_t>(i - start);
        if (n > 0) {
            MatchPreparedList(probe, list, stride, static_cast<int32_t>(start), n, outcomes);
            for (int32_t k = 0; k < n; ++k) scores[start + k] = static_cast<uint8_t>(std::max(outcomes[k], 0));
        }
        if (i < hi) scores[i++] = 0;
    }
}

// The first `wanted` entries in SearchTopK's order (score descending, equal
// scores by lower index), by counting: how many of each score are taken,
// then one pass in index order that puts each taken entry in its place.
int32_t RankScores(const std::vector<uint8_t>& scores, int64_t wanted, SearchHit* hits) {
    int64_t count[kScores] = {};
    for (uint8_t s : scores) ++count[s];
    int64_t quota[kScores] = {}, place[kScores] = {};
    int64_t left = wanted;
    for (int32_t s = kScores - 1; s >= 0; --s) {
        place[s] = wanted - left;
        quota[s] = std::min(left, count[s]);
        left -= quota[s];
    }
    for (size_t i = 0; i < scores.size(); ++i) {
        const uint8_t s = scores[i];
        if (quota[s] == 0) continue;
        --quota[s];
        hits[place[s]++] = SearchHit{static_cast<int32_t>(i), s};
    }
    return static_cast<int32_t>(wanted);
}

}  // namespace

}  // namespace fpmatch::id

extern "C" {

using namespace fpmatch::id;

int32_t FpmSearchList(const PreparedProbe* probe, const uint8_t* list, size_t listLength, int32_t stride,
                      int32_t top, int32_t threads, SearchHit* hits, int32_t capacity) {
    return Guarded([&]() -> int32_t {
        if (probe == nullptr || (list == nullptr && listLength > 0) || (hits == nullptr && capacity > 0))
            return Fail(FPM_E_ARGUMENT, "list search: a null pointer");
        if (stride < 1 || top < 0 || threads < 0 || capacity < 0)
            return Fail(FPM_E_ARGUMENT, "list search: stride below 1, or a negative top, thread count or capacity");
        const auto step = static_cast<size_t>(stride);
        const size_t entries = listLength / step + (listLength % step != 0);
        if (entries > size_t{INT32_MAX} + 1)
            return Fail(FPM_E_ARGUMENT, "list search: more than 2^31 entries (a hit's index is 32-bit)");
        // The library refuses a probe record that does not read back; asked
        // for no entry, it tells just that.
        const uint8_t noEntry = 0;
        int32_t noOutcome = 0;
        if (MatchPreparedList(probe, &noEntry, 1, 0, 0, &noOutcome) < 0)
            return Fail(FPM_E_ARGUMENT, "list search: the probe did not prepare");
        const auto count = static_cast<int64_t>(entries);
        std::vector<uint8_t> scores(entries);
        const int64_t blocks = (count + kListBlock - 1) / kListBlock;
        Parallel(threads, blocks, [&](int64_t b) {
            const int64_t lo = b * kListBlock;
            ScoreBlock(probe, list, listLength, stride, lo, std::min(count, lo + kListBlock), scores.data());
        });
        const int64_t wanted = std::min<int64_t>({top == 0 ? count : top, count, capacity});
        return RankScores(scores, wanted, hits);
    });
}

}  // extern "C"
