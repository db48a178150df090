// ScreenScores: per-candidate screening scores whose ranking is QuickSort's
// list, whole or screened in ranges.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "test_support.h"

namespace {

using fpmatch::test::Bytes;
namespace samples = fpmatch::samples;

// QuickSort's list rebuilt from the scores by the documented rule.
std::vector<int32_t> ListFromScores(const std::vector<int32_t>& scores) {
    std::vector<int32_t> order(scores.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int32_t a, int32_t b) { return scores[a] > scores[b]; });
    std::vector<int32_t> list(FPMATCH_SCREEN_BEST, -1);
    size_t k = 0;
    for (int32_t r : order)
        if (k < list.size() && scores[r] > FPMATCH_SCREEN_LIST_THRESHOLD) list[k++] = r;
    return list;
}

Bytes Short(const Bytes& tmpl) {
    fpmatch::test::OwnedFeatureSet set;
    Bytes out(FPMATCH_SHORT_TEMPLATE_SIZE, 0);
    if (set.Decode(tmpl) != FPMATCH_DECODED) return out;  // no marker: scores 0
    if (set.fs.minutiaCount > 0 && WriteShortTemplate(&set.fs, out.data(), out.size()) != FPMATCH_SHORT_TEMPLATE_SIZE)
        out.assign(out.size(), 0);
    return out;
}

void ExpectQuickSortList(const Bytes& shorts, int32_t count, int* listed) {
    for (int32_t p = 0; p < count; ++p) {
        const uint8_t* probe = shorts.data() + FPMATCH_SHORT_TEMPLATE_SIZE * p;
        std::vector<int32_t> scores(static_cast<size_t>(count), -5);
        ASSERT_EQ(ScreenScores(probe, shorts.data(), count, scores.data()), count);
        std::vector<int32_t> best(FPMATCH_SCREEN_BEST);
        ASSERT_EQ(QuickSort(probe, shorts.data(), count, best.data()), 1);
        ASSERT_EQ(ListFromScores(scores), best) << "probe " << p;
        // In two ranges, the same scores.
        const int32_t half = count / 2;
        std::vector<int32_t> split(static_cast<size_t>(count), -5);
        ASSERT_EQ(ScreenScores(probe, shorts.data(), half, split.data()), half);
        ASSERT_EQ(ScreenScores(probe, shorts.data() + FPMATCH_SHORT_TEMPLATE_SIZE * half, count - half,
                               split.data() + half),
                  count - half);
        ASSERT_EQ(split, scores);
        *listed += static_cast<int>(std::count_if(best.begin(), best.end(), [](int32_t b) { return b >= 0; }));
    }
}

TEST(ScreenScores, RankLikeQuickSortOnGeneratedTemplates) {
    Bytes shorts;
    int32_t count = 0;
    for (uint64_t f = 1; f <= 20; ++f)
        for (uint64_t i = 0; i < 3; ++i) {
            const auto finger = samples::MakeFinger(300 + f, static_cast<int>(5 + 2 * f));
            const Bytes s = Short(samples::MakeIsoRecord(i == 0 ? finger : samples::MakeImpression(finger, 10 * f + i), 60));
            shorts.insert(shorts.end(), s.begin(), s.end());
            ++count;
        }
    Bytes unmarked(FPMATCH_SHORT_TEMPLATE_SIZE, 0);  // no 03 01 marker
    shorts.insert(shorts.end(), unmarked.begin(), unmarked.end());
    ++count;
    int listed = 0;
    ExpectQuickSortList(shorts, count, &listed);
    EXPECT_GT(listed, count);
}

TEST(ScreenScores, RankLikeQuickSortOnFvc) {
    FPMATCH_REQUIRE_FVC(fvc);
    Bytes shorts;
    for (const auto& t : fvc) {
        Bytes record = t.bytes;
        if (record[27] > 50) record[27] = 50;  // the first 50, as the README's figures
        const Bytes s = Short(record);
        shorts.insert(shorts.end(), s.begin(), s.end());
    }
    int listed = 0;
    ExpectQuickSortList(shorts, static_cast<int32_t>(fvc.size()), &listed);
    EXPECT_GT(listed, 1000);
}

TEST(ScreenScores, RefusalsAndEmptyProbes) {
    int32_t scores[2] = {-5, -5};
    const Bytes probe = Short(samples::MakeIsoRecord(samples::MakeFinger(9, 30), 60));
    EXPECT_EQ(ScreenScores(probe.data(), probe.data(), -1, scores), -1);
    EXPECT_EQ(ScreenScores(probe.data(), probe.data(), 1, nullptr), -1);
    EXPECT_EQ(scores[0], -5);
    EXPECT_EQ(ScreenScores(nullptr, probe.data(), 1, scores), 1);
    EXPECT_EQ(scores[0], 0);
    EXPECT_EQ(ScreenScores(probe.data(), probe.data(), 1, scores), 1);
    EXPECT_GT(scores[0], FPMATCH_SCREEN_LIST_THRESHOLD);
    EXPECT_EQ(ScreenScores(probe.data(), probe.data(), 0, scores), 0);
}

}  // namespace
