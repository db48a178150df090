// Base pair search: topology graphs, their sort, the search table, pair
// scoring with its tolerances and early stop, the best-three list and the
// reference pair that prunes contradicting candidates.
#include <gtest/gtest.h>

#include <vector>

#include "test_support.h"

namespace {

using fpmatch::test::OwnedFeatureSet;

struct Graph {
    int n;
    std::vector<TopoEdge> edges;
    std::vector<uint8_t> counts;
    explicit Graph(int size) : n(size), edges(2500), counts(50, 0) {}
    const TopoEdge* Row(int i) const { return edges.data() + i * n; }
    void SetRow(int i, const std::vector<TopoEdge>& row) {
        for (size_t p = 0; p < row.size(); ++p) edges[i * n + p] = row[p];
        counts[i] = static_cast<uint8_t>(row.size());
    }
};

Graph Build(OwnedFeatureSet& f) {
    Graph g(f.fs.minutiaCount);
    BuildTopoGraph(&f.fs, g.edges.data(), g.counts.data());
    return g;
}

TopoEdge Edge(int angle, int distance, int direction, int type = 0, int index = 0) {
    return TopoEdge{angle, distance, direction, static_cast<uint8_t>(type), static_cast<uint8_t>(index)};
}

TEST(TopoGraph, NeighbourhoodRadiusIs110Inclusive) {
    OwnedFeatureSet f;
    f.Set({Minutia{10, 10, 0, 5, 0}, Minutia{120, 10, 0, 5, 0}, Minutia{120, 11, 0, 5, 0}});
    // (0,1): s = 12100, a neighbour; (0,2): s = 12101, not.
    Graph g = Build(f);
    EXPECT_EQ(g.counts[0], 1);
    EXPECT_EQ(g.Row(0)[0].neighbourIndex, 1);
    EXPECT_EQ(g.Row(0)[0].distance, 110);
    EXPECT_EQ(g.counts[1], 2);
    EXPECT_EQ(g.counts[2], 1);
}

TEST(TopoGraph, CoincidentMinutiaeAreNotNeighbours) {
    OwnedFeatureSet f;
    f.Set({Minutia{50, 50, 10, 5, 0}, Minutia{50, 50, 20, 5, 1}, Minutia{60, 50, 0, 5, 0}});
    Graph g = Build(f);
    EXPECT_EQ(g.counts[0], 1);
    EXPECT_EQ(g.Row(0)[0].neighbourIndex, 2);
    EXPECT_EQ(g.counts[1], 1);
    EXPECT_EQ(g.Row(1)[0].neighbourIndex, 2);
    EXPECT_EQ(g.counts[2], 2);
}

TEST(TopoGraph, EdgeFieldsBothWays) {
    OwnedFeatureSet f;
    f.Set({Minutia{0, 0, 0, 5, 0}, Minutia{10, 0, 90, 5, 1}});
    Graph g = Build(f);
    const TopoEdge ab = g.Row(0)[0], ba = g.Row(1)[0];
    EXPECT_EQ(ab.edgeAngle, 0);
    EXPECT_EQ(ab.distance, 10);
    EXPECT_EQ(ab.relativeDirection, 90);
    EXPECT_EQ(ab.neighbourType, 1);
    EXPECT_EQ(ab.neighbourIndex, 1);
    EXPECT_EQ(ba.edgeAngle, 90);
    EXPECT_EQ(ba.distance, 10);
    EXPECT_EQ(ba.relativeDirection, 270);
    EXPECT_EQ(ba.neighbourType, 0);
    EXPECT_EQ(ba.neighbourIndex, 0);
    f.Set({Minutia{100, 100, 350, 5, 0}, Minutia{100, 120, 0, 5, 0}});
    g = Build(f);
    EXPECT_EQ(g.Row(0)[0].edgeAngle, 100);
}

TEST(TopoGraph, RowsAreStoredWithRowLengthN) {
    OwnedFeatureSet f;
    f.Set({Minutia{100, 100, 0, 5, 0}, Minutia{110, 100, 0, 5, 0}, Minutia{100, 110, 0, 5, 0}});
    Graph g = Build(f);
    // Row 1 begins at entry 3, not at entry 50.
    EXPECT_EQ(g.edges[3].neighbourIndex, 0);
    EXPECT_EQ(g.edges[4].neighbourIndex, 2);
    EXPECT_EQ(g.edges[6].neighbourIndex, 0);
    EXPECT_EQ(g.edges[7].neighbourIndex, 1);
}

TEST(TopoGraph, SingleMinutiaHasNoEdges) {
    OwnedFeatureSet f;
    f.Set({Minutia{100, 100, 0, 5, 0}});
    Graph g = Build(f);
    EXPECT_EQ(g.counts[0], 0);
}

TEST(TopoGraph, EdgesArePairedAndInRangeForEveryDirection) {
    // Native directions run to 511; ISO directions to 360. Every edge must
    // keep its angles in 0..360 so that the search table can index them.
    OwnedFeatureSet f;
    std::vector<Minutia> list;
    for (int i = 0; i < 50; ++i)
        list.push_back(Minutia{60 + (i * 37) % 140, 70 + (i * 53) % 150, (i * 97) % 512, 5, static_cast<uint8_t>(i & 1)});
    list[3].angle = 360;
    list[4].angle = 511;
    f.Set(list);
    Graph g = Build(f);
    for (int i = 0; i < 50; ++i) {
        for (int p = 0; p < g.counts[i]; ++p) {
            const TopoEdge& e = g.Row(i)[p];
            ASSERT_GE(e.edgeAngle, 0);
            ASSERT_LE(e.edgeAngle, 359);
            ASSERT_GE(e.relativeDirection, 0);
            ASSERT_LE(e.relativeDirection, 360);
            if (p > 0) {
                ASSERT_LT(g.Row(i)[p - 1].neighbourIndex, e.neighbourIndex);
            }
            // The reverse edge exists with the same distance.
            const int j = e.neighbourIndex;
            bool found = false;
            for (int q = 0; q < g.counts[j]; ++q)
                if (g.Row(j)[q].neighbourIndex == i) found = g.Row(j)[q].distance == e.distance;
            ASSERT_TRUE(found) << i << "->" << j;
        }
    }
}

TEST(TopoGraph, DirectionsAboveOneTurnActLikeTheirRemainder) {
    OwnedFeatureSet a, b;
    a.Set({Minutia{100, 100, 400, 5, 0}, Minutia{130, 120, 10, 5, 0}});
    b.Set({Minutia{100, 100, 40, 5, 0}, Minutia{130, 120, 10, 5, 0}});
    Graph ga = Build(a), gb = Build(b);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(ga.Row(i)[0].edgeAngle, gb.Row(i)[0].edgeAngle);
        EXPECT_EQ(ga.Row(i)[0].relativeDirection, gb.Row(i)[0].relativeDirection);
    }
}

TEST(TopoGraphSort, SelectionSortTieOrderAndClearedTail) {
    OwnedFeatureSet f;
    f.Set({Minutia{0, 0, 0, 0, 0}, Minutia{0, 0, 0, 0, 0}, Minutia{0, 0, 0, 0, 0}, Minutia{0, 0, 0, 0, 0}});
    Graph g(4);
    g.SetRow(0, {Edge(5, 10, 0, 0, 1), Edge(5, 11, 0, 0, 2), Edge(3, 12, 0, 0, 3)});
    g.edges[3] = Edge(99, 99, 99, 1, 9);  // stale tail entry
    SortTopoGraph(&f.fs, g.edges.data(), g.counts.data());
    EXPECT_EQ(g.Row(0)[0].neighbourIndex, 3);  // c
    EXPECT_EQ(g.Row(0)[1].neighbourIndex, 2);  // b
    EXPECT_EQ(g.Row(0)[2].neighbourIndex, 1);  // a
    EXPECT_EQ(g.Row(0)[3].distance, 0);
    EXPECT_EQ(g.Row(0)[3].edgeAngle, 0);
    EXPECT_EQ(g.Row(0)[3].neighbourIndex, 0);
}

// Rows of angles 0..359 are sorted by the bitmap form of the selection sort,
// rows with other angles by the plain scan; both must take the steps the
// selection sort defines, ties included.
TEST(TopoGraphSort, EveryRowTakesTheSelectionSortSteps) {
    auto reference = [](std::vector<TopoEdge> row) {
        for (size_t p = 0; p < row.size(); ++p) {
            size_t chosen = p;
            for (size_t q = p + 1; q < row.size(); ++q)
                if (row[q].edgeAngle < row[chosen].edgeAngle) chosen = q;
            std::swap(row[p], row[chosen]);
        }
        return row;
    };
    fpmatch::samples::Random rng(5);
    OwnedFeatureSet f;
    f.Set(std::vector<Minutia>(50, Minutia{0, 0, 0, 0, 0}));
    for (int trial = 0; trial < 400; ++trial) {
        const int k = rng.Range(0, 49);
        // Few distinct angles, so that ties abound; now and then one out of
        // range (a hand-made row).
        const int spread = rng.Range(1, 360);
        std::vector<TopoEdge> row;
        for (int p = 0; p < k; ++p) row.push_back(Edge(rng.Range(0, spread - 1), 1 + p, 0, 0, p));
        if (k > 0 && trial % 5 == 0) row[static_cast<size_t>(rng.Range(0, k - 1))].edgeAngle = 360 + rng.Range(0, 20);
        Graph g(50);
        g.SetRow(0, row);
        SortTopoGraph(&f.fs, g.edges.data(), g.counts.data());
        const auto want = reference(row);
        for (int p = 0; p < k; ++p)
            ASSERT_EQ(g.Row(0)[p].neighbourIndex, want[static_cast<size_t>(p)].neighbourIndex) << trial << " " << p;
    }
}

TEST(SearchTable, CountsEdgesBelowEachAngle) {
    const std::vector<TopoEdge> row = {Edge(5, 1, 0), Edge(5, 1, 0), Edge(9, 1, 0)};
    uint8_t table[372];
    TopoGraphSearchTab(row.data(), 3, 372, table);
    for (int v = 0; v <= 5; ++v) EXPECT_EQ(table[v], 0) << v;
    for (int v = 6; v <= 9; ++v) EXPECT_EQ(table[v], 2) << v;
    for (int v = 10; v < 372; ++v) ASSERT_EQ(table[v], 3) << v;
    std::fill(std::begin(table), std::end(table), 7);
    TopoGraphSearchTab(row.data(), 0, 372, table);
    for (uint8_t v : table) ASSERT_EQ(v, 0);
}

struct PairScoreCase {
    std::vector<TopoEdge> probe, gallery;
    int Score() const {
        uint8_t table[372];
        TopoGraphSearchTab(probe.data(), static_cast<int>(probe.size()), 372, table);
        return CalcPairScore(probe.data(), gallery.data(), table, static_cast<int>(gallery.size()));
    }
};

TEST(PairScore, AwardsByNeighbourType) {
    EXPECT_EQ((PairScoreCase{{Edge(50, 30, 40, 1)}, {Edge(50, 30, 40, 1)}}.Score()), 30);
    EXPECT_EQ((PairScoreCase{{Edge(50, 30, 40, 1)}, {Edge(50, 30, 40, 0)}}.Score()), 20);
    // Direction tolerance 10 either way, circular.
    EXPECT_EQ((PairScoreCase{{Edge(50, 30, 355)}, {Edge(50, 30, 5)}}.Score()), 30);
    EXPECT_EQ((PairScoreCase{{Edge(50, 30, 354)}, {Edge(50, 30, 5)}}.Score()), 0);
}

TEST(PairScore, AngleWindowDoesNotWrap) {
    EXPECT_EQ((PairScoreCase{{Edge(13, 30, 0)}, {Edge(3, 30, 0)}}.Score()), 30);
    EXPECT_EQ((PairScoreCase{{Edge(0, 30, 0)}, {Edge(3, 30, 0)}}.Score()), 30);
    EXPECT_EQ((PairScoreCase{{Edge(14, 30, 0)}, {Edge(3, 30, 0)}}.Score()), 0);
    EXPECT_EQ((PairScoreCase{{Edge(3, 30, 0)}, {Edge(355, 30, 0)}}.Score()), 0);
    EXPECT_EQ((PairScoreCase{{Edge(345, 30, 0)}, {Edge(355, 30, 0)}}.Score()), 30);
    EXPECT_EQ((PairScoreCase{{Edge(359, 30, 0)}, {Edge(355, 30, 0)}}.Score()), 30);
}

TEST(PairScore, DistanceAndAngleTolerancesGrowAndShrinkWithLength) {
    // Sum 200: distance tolerance 10, angle bound 7.
    EXPECT_EQ((PairScoreCase{{Edge(50, 95, 0)}, {Edge(50, 105, 0)}}.Score()), 30);
    EXPECT_EQ((PairScoreCase{{Edge(50, 94, 0)}, {Edge(50, 106, 0)}}.Score()), 0);
    EXPECT_EQ((PairScoreCase{{Edge(57, 100, 0)}, {Edge(50, 100, 0)}}.Score()), 30);
    EXPECT_EQ((PairScoreCase{{Edge(58, 100, 0)}, {Edge(50, 100, 0)}}.Score()), 0);
    // Sum below 20: angle bound 13, but the window stops at 10.
    EXPECT_EQ((PairScoreCase{{Edge(60, 5, 0)}, {Edge(50, 5, 0)}}.Score()), 30);
    EXPECT_EQ((PairScoreCase{{Edge(61, 5, 0)}, {Edge(50, 5, 0)}}.Score()), 0);
    // Sum 220: bound 6.
    EXPECT_EQ((PairScoreCase{{Edge(56, 110, 0)}, {Edge(50, 110, 0)}}.Score()), 30);
    EXPECT_EQ((PairScoreCase{{Edge(57, 110, 0)}, {Edge(50, 110, 0)}}.Score()), 0);
}

TEST(PairScore, FirstAcceptableProbeEdgeDecidesTheAward) {
    // Two acceptable probe edges; the first in sorted order (type 0) counts.
    EXPECT_EQ((PairScoreCase{{Edge(48, 30, 0, 0), Edge(50, 30, 0, 1)}, {Edge(50, 30, 0, 1)}}.Score()), 20);
    // A probe edge may serve several gallery edges.
    EXPECT_EQ((PairScoreCase{{Edge(50, 30, 0)}, {Edge(49, 30, 0), Edge(51, 30, 0)}}.Score()), 60);
}

TEST(PairScore, EarlyStop) {
    auto withMatchAt = [](int edges, int matchAt) {
        PairScoreCase c;
        c.probe = {Edge(200, 30, 0)};
        for (int g = 0; g < edges; ++g) c.gallery.push_back(Edge(g == matchAt ? 200 : 20, 30, 0));
        return c.Score();
    };
    EXPECT_EQ(withMatchAt(12, 6), 30);  // 7th edge still looked at
    EXPECT_EQ(withMatchAt(12, 7), 0);   // stopped after the 7th
    EXPECT_EQ(withMatchAt(10, 5), 30);
    EXPECT_EQ(withMatchAt(10, 6), 0);   // stopped after the 6th
    EXPECT_EQ(withMatchAt(5, 4), 30);   // five edges are looked at in full
}

TEST(TopoIndex, PositionsOfNeighbours) {
    const std::vector<TopoEdge> row = {Edge(0, 1, 0, 0, 7), Edge(0, 1, 0, 0, 2)};
    uint8_t index[50];
    BuildTopoIndex(row.data(), 2, index);
    for (int v = 0; v < 50; ++v) EXPECT_EQ(index[v], v == 7 ? 0 : (v == 2 ? 1 : 50)) << v;
}

TEST(InsertBasePairList, DescendingWithNewcomersBehindEquals) {
    BasePair list[3] = {{0, 0, 90, 0}, {1, 0, 60, 0}, {2, 0, 60, 0}};
    InsertBasePair(BasePair{9, 9, 60, 0}, list, 3);
    EXPECT_EQ(list[0].probeIndex, 0);
    EXPECT_EQ(list[1].probeIndex, 1);
    EXPECT_EQ(list[2].probeIndex, 2);
    InsertBasePair(BasePair{8, 8, 70, 0}, list, 3);
    EXPECT_EQ(list[0].pairScore, 90);
    EXPECT_EQ(list[1].pairScore, 70);
    EXPECT_EQ(list[1].probeIndex, 8);
    EXPECT_EQ(list[2].pairScore, 60);
    EXPECT_EQ(list[2].probeIndex, 1);
    BasePair empty[3] = {};
    InsertBasePair(BasePair{1, 1, 0, 0}, empty, 3);
    EXPECT_EQ(empty[0].probeIndex, 0);
}

// Graph comparison on hand-made graphs: the feature sets supply only types.
// Rows are n entries long, so a graph of n minutiae holds n - 1 edges a row.
struct Comparison {
    OwnedFeatureSet probe, gallery;
    Graph pg, gg;
    BasePair pairs[3] = {};
    Comparison(int nP, int nG) : pg(nP), gg(nG) {
        probe.Set(std::vector<Minutia>(nP, Minutia{100, 100, 0, 5, 0}));
        gallery.Set(std::vector<Minutia>(nG, Minutia{100, 100, 0, 5, 0}));
    }
    int Run() {
        SortTopoGraph(&probe.fs, pg.edges.data(), pg.counts.data());
        return CompareTopoGraph(&probe.fs, &gallery.fs, pg.edges.data(), gg.edges.data(), pairs, pg.counts.data(),
                                gg.counts.data());
    }
};

std::vector<TopoEdge> Fan(int matches, int firstIndex) {
    std::vector<TopoEdge> row;
    for (int k = 0; k < matches; ++k) row.push_back(Edge(20 + 40 * k, 30, 0, 0, firstIndex + k));
    return row;
}

TEST(CompareGraphs, NoCommonTypeGivesNothing) {
    Comparison c(2, 2);
    c.gallery.minutiae[0].type = c.gallery.minutiae[1].type = 1;
    c.pg.SetRow(0, Fan(3, 10));
    c.gg.SetRow(0, Fan(3, 10));
    EXPECT_EQ(c.Run(), 0);
    for (const BasePair& p : c.pairs) EXPECT_EQ(p.pairScore, 0);
}

TEST(CompareGraphs, EqualScoresKeepSmallestIndices) {
    Comparison c(1, 4);
    c.pg.SetRow(0, Fan(1, 10));
    for (int j = 0; j < 4; ++j) c.gg.SetRow(j, Fan(1, 10));
    EXPECT_EQ(c.Run(), 3);
    for (int t = 0; t < 3; ++t) {
        EXPECT_EQ(c.pairs[t].probeIndex, 0);
        EXPECT_EQ(c.pairs[t].galleryIndex, t);
        EXPECT_EQ(c.pairs[t].pairScore, 30);
        EXPECT_EQ(c.pairs[t].matchScore, 0);
    }
}

// Probe and gallery minutia 0 share `matches` edges; both have an edge to
// minutia 1 that disagrees in distance (40 against 50). Minutiae 1 have one
// edge each that agrees.
void ReferenceCase(Comparison& c, int matches, int probeNeighbourIndex) {
    std::vector<TopoEdge> p0 = Fan(matches, 10), g0 = Fan(matches, 10);
    p0.push_back(Edge(300, 40, 0, 0, probeNeighbourIndex));
    g0.push_back(Edge(300, 50, 0, 0, 1));
    c.pg.SetRow(0, p0);
    c.gg.SetRow(0, g0);
    c.pg.SetRow(1, {Edge(330, 20, 0, 0, 30)});
    c.gg.SetRow(1, {Edge(330, 20, 0, 0, 30)});
}

TEST(CompareGraphs, ReferencePairPrunesContradictingCandidates) {
    Comparison c(10, 10);
    ReferenceCase(c, 6, 1);  // scores 180: a reference pair
    EXPECT_EQ(c.Run(), 1);
    EXPECT_EQ(c.pairs[0].pairScore, 180);
    EXPECT_EQ(c.pairs[1].pairScore, 0);  // (1, 1) was skipped unscored
}

TEST(CompareGraphs, NonNeighbourOfReferenceIsScored) {
    Comparison c(10, 10);
    ReferenceCase(c, 6, 20);  // probe 1 is not a neighbour of probe 0
    EXPECT_EQ(c.Run(), 2);
    EXPECT_EQ(c.pairs[1].probeIndex, 1);
    EXPECT_EQ(c.pairs[1].galleryIndex, 1);
    EXPECT_EQ(c.pairs[1].pairScore, 30);
}

TEST(CompareGraphs, ScoreOf150IsNoReference) {
    Comparison c(10, 10);
    ReferenceCase(c, 5, 1);
    EXPECT_EQ(c.Run(), 2);
    EXPECT_EQ(c.pairs[0].pairScore, 150);
    EXPECT_EQ(c.pairs[1].pairScore, 30);
}

TEST(BasePairSearch, SingleMinutiaNeverYieldsABasePair) {
    OwnedFeatureSet a, b;
    a.Set({Minutia{100, 100, 0, 5, 0}});
    b.Set({Minutia{100, 100, 0, 5, 0}, Minutia{120, 100, 0, 5, 0}});
    BasePair pairs[3] = {};
    EXPECT_EQ(CalcBasePair(&a.fs, &b.fs, pairs), 0);
    EXPECT_EQ(CalcBasePair(&b.fs, &a.fs, pairs), 0);
}

TEST(BasePairSearch, SameTemplateFindsThreeDescendingPairs) {
    OwnedFeatureSet a, b;
    const auto finger = fpmatch::samples::MakeFinger(7, 30);
    a.Set(finger);
    b.Set(finger);
    BasePair pairs[3] = {};
    ASSERT_EQ(CalcBasePair(&a.fs, &b.fs, pairs), 3);
    EXPECT_GE(pairs[0].pairScore, pairs[1].pairScore);
    EXPECT_GE(pairs[1].pairScore, pairs[2].pairScore);
    EXPECT_EQ(pairs[0].probeIndex, pairs[0].galleryIndex);
    for (const BasePair& p : pairs) EXPECT_EQ(p.matchScore, 0);
}

}  // namespace
