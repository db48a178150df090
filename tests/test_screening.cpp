// Candidate screening: short template reader, neighbour graphs and QuickSort.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "test_support.h"
// Private to the library: the edge lengths and directions QuickSort computes.
#include "../src/short_geometry.h"

namespace {

using fpmatch::test::Bytes;

struct Point {
    int32_t x, y, angle, type;
};

uint32_t PackShort(int32_t x, int32_t y, int32_t angle, int32_t quality, int32_t type) {
    return static_cast<uint32_t>(x) << 23 | static_cast<uint32_t>(y) << 14 | static_cast<uint32_t>(angle) << 5 |
           static_cast<uint32_t>(quality) << 1 | static_cast<uint32_t>(type);
}

void PutWord(Bytes& r, size_t index, uint32_t word) {
    const size_t at = 56 + 4 * index;
    r[at] = static_cast<uint8_t>(word >> 24);
    r[at + 1] = static_cast<uint8_t>(word >> 16);
    r[at + 2] = static_cast<uint8_t>(word >> 8);
    r[at + 3] = static_cast<uint8_t>(word);
}

// A 512-byte short template holding `points` (count byte = their number).
Bytes MakeShort(const std::vector<Point>& points, uint8_t version = 3, uint8_t format = 1) {
    Bytes r(512, 0);
    r[0] = version;
    r[1] = format;
    r[2] = 60;
    r[3] = static_cast<uint8_t>(points.size());
    for (size_t i = 0; i < points.size() && i < 50; ++i) {
        const Point& p = points[i];
        PutWord(r, i, PackShort(p.x, p.y, p.angle, 7, p.type));
    }
    return r;
}

Bytes MakeShort(const std::vector<Minutia>& minutiae) {
    std::vector<Point> points;
    for (const Minutia& m : minutiae) points.push_back({m.x, m.y, m.angle, m.type});
    return MakeShort(points);
}

std::vector<int32_t> ToWords(const Bytes& r) {
    std::vector<int32_t> w(256);
    for (int k = 0; k < 256; ++k) w[k] = r[2 * k] << 8 | r[2 * k + 1];
    return w;
}

Bytes Concat(const std::vector<Bytes>& records) {
    Bytes out;
    for (const Bytes& r : records) out.insert(out.end(), r.begin(), r.end());
    return out;
}

std::vector<int32_t> Screen(const Bytes& probe, const std::vector<Bytes>& candidates) {
    std::vector<int32_t> best(32, 1234);
    const Bytes list = Concat(candidates);
    EXPECT_EQ(QuickSort(probe.data(), list.data(), static_cast<int32_t>(candidates.size()), best.data()), 1);
    return best;
}

std::vector<int32_t> Expected(std::vector<int32_t> head) {
    head.resize(32, -1);
    return head;
}

bool Listed(const std::vector<int32_t>& best, int32_t position) {
    return std::find(best.begin(), best.end(), position) != best.end();
}

// ---- Exact scores ----------------------------------------------------------
// The counting probe is two ridge endings 3 pixels apart on a horizontal
// line, both pointing down (90). Only the left one's row can match an edge
// between two coincident candidate minutiae of direction 90 (distance 0,
// edge angle 270, relative direction 0). A candidate made of clusters of
// coincident ridge endings at well separated places, followed by three far
// bifurcations (never compared: the probe has none), therefore scores
// exactly sum over clusters of f(t), f(t) = number of in-cluster links among
// the next three: f(2) = 1, f(t) = 3t - 6 for t >= 3.
Bytes CountingProbe() { return MakeShort(std::vector<Point>{{100, 100, 90, 0}, {103, 100, 90, 0}}); }

int32_t ClusterScore(int t) {
    int32_t s = 0;
    for (int i = 0; i < t; ++i) s += std::min(3, t - 1 - i);
    return s;
}

Bytes CandidateScoring(int32_t score) {
    const int32_t rest = score % 3;
    std::vector<int> clusters{(score - rest) / 3 + 2};
    for (int32_t k = 0; k < rest; ++k) clusters.push_back(2);
    const Point places[] = {{20, 20, 90, 0}, {80, 200, 90, 0}, {200, 60, 90, 0}, {150, 250, 90, 0}};
    std::vector<Point> points;
    int32_t expected = 0;
    for (size_t c = 0; c < clusters.size(); ++c) {
        for (int k = 0; k < clusters[c]; ++k) points.push_back(places[c]);
        expected += ClusterScore(clusters[c]);
    }
    EXPECT_EQ(expected, score);
    for (int k = 0; k < 3; ++k) points.push_back({240, 280, 0, 1});
    return MakeShort(points);
}

// ---- Single lookups ---------------------------------------------------------
// A probe ridge ending p at (128, 100) with direction `probeAngle`, one
// bifurcation straight below it at `testDistance` with direction
// probeAngle + 180 + directionOffset, and bifurcations at `otherDistances`
// to the right, left and above (parallel to p, so they never agree with a
// relative direction of 180). The candidate alternates X (direction
// candidateAngle) and Y straight below it at candidateDistance (direction
// candidateAngle + 180): X, Y, X, Y. Each of its minutiae has two edges of
// that distance, edge angle 90 - candidateAngle and relative direction 180,
// plus one zero-length edge. The candidate scores 8 when p's row matches the
// test edge and 0 otherwise, so "listed" tells whether one lookup matched.
struct LookupCase {
    int32_t probeAngle = 0;
    int32_t testDistance = 60;
    int32_t directionOffset = 0;
    std::vector<int32_t> otherDistances;
    int32_t candidateAngle = 0;
    int32_t candidateDistance = 62;
};

bool LookupMatches(const LookupCase& c) {
    std::vector<Point> probe{{128, 100, c.probeAngle, 0},
                             {128, 100 + c.testDistance, (c.probeAngle + 180 + c.directionOffset) % 360, 1}};
    const int32_t dirs[3][2] = {{1, 0}, {-1, 0}, {0, -1}};
    for (size_t k = 0; k < c.otherDistances.size(); ++k) {
        const int32_t d = c.otherDistances[k];
        probe.push_back({128 + dirs[k % 3][0] * d, 100 + dirs[k % 3][1] * d, c.probeAngle, 1});
    }
    const Point x{50, 20, c.candidateAngle, 0};
    const Point y{50, 20 + c.candidateDistance, (c.candidateAngle + 180) % 360, 0};
    const auto best = Screen(MakeShort(probe), {MakeShort(std::vector<Point>{x, y, x, y})});
    EXPECT_TRUE(best[0] == -1 || best[0] == 0);
    return best[0] == 0;
}

// ---- Short template reader -----------------------------------------------

TEST(XpdShortChar, UnpacksHeaderAndFields) {
    Bytes r(512, 0);
    r[0] = 0x03; r[1] = 0x01; r[2] = 0x64; r[3] = 0x05;
    const uint8_t words[5][4] = {
        {0xFF, 0xFF, 0xFF, 0xFF}, {0x80, 0x00, 0x00, 0x00}, {0x00, 0x80, 0x40, 0x21}, {0x40, 0x24, 0x8C, 0x95}, {0, 0, 0, 0}};
    for (int i = 0; i < 5; ++i) std::memcpy(&r[56 + 4 * i], words[i], 4);
    const auto w = ToWords(r);
    ShortMinutia m[50];
    int16_t count = -1, format = -1, quality = -1;
    int reserved = 77;
    XpdShortChar(w.data(), m, &count, &format, &quality, &reserved);
    EXPECT_EQ(count, 5);
    EXPECT_EQ(format, 1);
    EXPECT_EQ(quality, 100);
    EXPECT_EQ(reserved, 77);
    // FF FF FF FF: every field at its maximum.
    EXPECT_EQ(m[0].x, 511); EXPECT_EQ(m[0].y, 511); EXPECT_EQ(m[0].angle, 511);
    EXPECT_EQ(m[0].quality, 15); EXPECT_EQ(m[0].type, 1);
    // 80 00 00 00: x is unsigned here (the native reader gives -256).
    EXPECT_EQ(m[1].x, 256); EXPECT_EQ(m[1].y, 0); EXPECT_EQ(m[1].angle, 0);
    EXPECT_EQ(m[1].quality, 0); EXPECT_EQ(m[1].type, 0);
    // 00 80 40 21: the lowest bit of each field.
    EXPECT_EQ(m[2].x, 1); EXPECT_EQ(m[2].y, 1); EXPECT_EQ(m[2].angle, 1);
    EXPECT_EQ(m[2].quality, 0); EXPECT_EQ(m[2].type, 1);
    // The native layout's example word.
    EXPECT_EQ(m[3].x, 128); EXPECT_EQ(m[3].y, 146); EXPECT_EQ(m[3].angle, 100);
    EXPECT_EQ(m[3].quality, 10); EXPECT_EQ(m[3].type, 1);
}

TEST(XpdShortChar, CountZeroLeavesEntriesUntouched) {
    Bytes r(512, 0xAB);
    r[0] = 3; r[1] = 1; r[3] = 0;
    const auto w = ToWords(r);
    ShortMinutia m[50];
    std::memset(m, 0x5A, sizeof m);
    ShortMinutia before[50];
    std::memcpy(before, m, sizeof m);
    int16_t count = -1, format = 0, quality = 0;
    XpdShortChar(w.data(), m, &count, &format, &quality, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(std::memcmp(before, m, sizeof m), 0);
}

TEST(XpdShortChar, IgnoresBytesOutsideHeaderAndCountedMinutiae) {
    Bytes r = MakeShort(std::vector<Point>{{10, 20, 30, 1}, {40, 50, 60, 0}, {70, 80, 359, 1}});
    auto read = [](const Bytes& rec, ShortMinutia* m) {
        const auto w = ToWords(rec);
        int16_t count = 0, format = 0, quality = 0;
        XpdShortChar(w.data(), m, &count, &format, &quality, nullptr);
        return std::vector<int16_t>{count, format, quality};
    };
    ShortMinutia reference[50] = {};
    const auto header = read(r, reference);
    for (size_t byte : {4u, 20u, 40u, 55u, 56u + 4 * 3, 56u + 4 * 49 + 3, 256u, 400u, 511u}) {
        Bytes changed = r;
        changed[byte] ^= 0xFF;
        ShortMinutia m[50] = {};
        EXPECT_EQ(read(changed, m), header) << "byte " << byte;
        EXPECT_EQ(std::memcmp(reference, m, sizeof m), 0) << "byte " << byte;
    }
}

TEST(XpdShortChar, CountAboveFiftyIsReportedButNeverUnpackedPastFifty) {
    for (int countByte : {51, 128, 255}) {
        Bytes r(512, 0xFF);
        r[3] = static_cast<uint8_t>(countByte);
        const auto w = ToWords(r);
        ShortMinutia m[60];
        std::memset(m, 0x5A, sizeof m);
        int16_t count = 0, format = 0, quality = 0;
        XpdShortChar(w.data(), m, &count, &format, &quality, nullptr);
        EXPECT_EQ(count, countByte);
        EXPECT_EQ(m[49].x, 511);
        for (int i = 50; i < 60; ++i) EXPECT_EQ(m[i].x, 0x5A5A) << i;
    }
}

// ---- Directions of short template displacements -----------------------------

// QuickSort takes the directions of its edges from an integer step
// table instead of math_Atang: equal for every displacement between two
// 9-bit coordinates.
TEST(ShortDirection, EqualsMathAtangForEveryDisplacementOfNineBitCoordinates) {
    long differing = 0;
    for (int32_t dy = -511; dy <= 511; ++dy) {
        for (int32_t dx = -511; dx <= 511; ++dx) {
            const int32_t expected = math_Atang(dy, dx);
            const int32_t actual = fpmatch::detail::ShortDirection(dy, dx);
            if (actual != expected && differing++ < 5)
                ADD_FAILURE() << "dy " << dy << " dx " << dx << ": " << actual << ", math_Atang " << expected;
        }
    }
    EXPECT_EQ(differing, 0);
}

// QuickSort rounds edge lengths in single precision: the same nearest integer
// as the graph builders' form for every displacement of 9-bit coordinates.
TEST(ShortDistance, EqualsTheGraphBuildersLengthForEveryDisplacementOfNineBitCoordinates) {
    long differing = 0;
    ShortMinutia m[4] = {};
    LimitNode node[1];
    for (int32_t dy = 0; dy <= 511; ++dy) {
        for (int32_t dx = 0; dx <= 511; ++dx) {
            m[1].x = m[2].x = m[3].x = static_cast<int16_t>(dx);
            m[1].y = m[2].y = m[3].y = static_cast<int16_t>(dy);
            BuildLimitGraph(1, m, node);
            const int32_t actual = fpmatch::detail::ShortDistance(dx * dx + dy * dy);
            if (actual != node[0].edges[0].distance && differing++ < 5)
                ADD_FAILURE() << "dx " << dx << " dy " << dy << ": " << actual << ", graph " << node[0].edges[0].distance;
        }
    }
    EXPECT_EQ(differing, 0);
}

// ---- Neighbour graphs --------------------------------------------------------

std::vector<ShortMinutia> Minutiae(const std::vector<Point>& points) {
    std::vector<ShortMinutia> out;
    for (const Point& p : points) {
        ShortMinutia m{};
        m.x = static_cast<int16_t>(p.x);
        m.y = static_cast<int16_t>(p.y);
        m.angle = static_cast<int16_t>(p.angle);
        m.type = static_cast<uint8_t>(p.type);
        out.push_back(m);
    }
    return out;
}

struct CharGraph {
    CharNode nodes[50];
    CharGraph() { std::memset(nodes, 0xAB, sizeof nodes); }
};

bool AllZero(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    return std::all_of(b, b + n, [](uint8_t v) { return v == 0; });
}

// A row is sound when it is sorted, ends with the terminator in slot n - 1
// and every slot after it is cleared.
void ExpectSoundRow(const CharNode& node, int n) {
    ASSERT_EQ(node.neighbourCount, n - 1);
    for (int k = 1; k < n; ++k) EXPECT_LE(node.edges[k - 1].distance, node.edges[k].distance) << "slot " << k;
    EXPECT_EQ(node.edges[n - 1].distance, 500);
    EXPECT_EQ(node.edges[n - 1].edgeAngle, 0);
    EXPECT_EQ(node.edges[n - 1].relativeDirection, 0);
    for (int k = 0; k < n - 1; ++k) EXPECT_LT(node.edges[k].distance, 501);
    EXPECT_TRUE(AllZero(&node.edges[n], sizeof(NeighbourEdge) * (50 - n)));
}

TEST(BuildCharGraph, OneMinutiaGivesTerminatorOnlyAndClearsEverythingElse) {
    const auto m = Minutiae({{100, 100, 45, 1}});
    CharGraph g;
    BuildCharGraph(1, m.data(), g.nodes);
    EXPECT_EQ(g.nodes[0].index, 0);
    EXPECT_EQ(g.nodes[0].x, 100);
    EXPECT_EQ(g.nodes[0].angle, 45);
    EXPECT_EQ(g.nodes[0].type, 1);
    EXPECT_EQ(g.nodes[0].neighbourCount, 0);
    EXPECT_EQ(g.nodes[0].edges[0].distance, 500);
    EXPECT_TRUE(AllZero(&g.nodes[0].edges[1], sizeof(NeighbourEdge) * 49));
    EXPECT_TRUE(AllZero(&g.nodes[1], sizeof(CharNode) * 49));
}

TEST(BuildCharGraph, RowsAreSortedAndTerminated) {
    for (int n : {2, 7, 30, 50}) {
        const auto finger = fpmatch::samples::MakeFinger(1000 + n, n);
        ASSERT_EQ(static_cast<int>(finger.size()), n);
        std::vector<Point> points;
        for (const Minutia& f : finger) points.push_back({f.x, f.y, f.angle, f.type});
        const auto m = Minutiae(points);
        CharGraph g;
        BuildCharGraph(n, m.data(), g.nodes);
        for (int i = 0; i < n; ++i) {
            SCOPED_TRACE(testing::Message() << "n " << n << " node " << i);
            EXPECT_EQ(g.nodes[i].index, i);
            ExpectSoundRow(g.nodes[i], n);
            for (int k = 0; k < n - 1; ++k) EXPECT_LT(g.nodes[i].edges[k].distance, 400);
        }
        if (n < 50) {
            EXPECT_TRUE(AllZero(&g.nodes[n], sizeof(CharNode) * (50 - n)));
        }
    }
}

TEST(BuildCharGraph, EdgeGeometry) {
    // Equal distances keep index order: minutia 1 (right) before 2 (left).
    const auto m = Minutiae({{100, 100, 0, 0}, {110, 100, 10, 1}, {90, 100, 350, 0}, {100, 113, 0, 0}});
    CharGraph g;
    BuildCharGraph(4, m.data(), g.nodes);
    const CharNode& n0 = g.nodes[0];
    EXPECT_EQ(n0.edges[0].distance, 10);
    EXPECT_EQ(n0.edges[0].edgeAngle, 360);  // straight right: 360, not 0
    EXPECT_EQ(n0.edges[0].relativeDirection, 10);
    EXPECT_EQ(n0.edges[0].neighbourType, 1);
    EXPECT_EQ(n0.edges[1].distance, 10);
    EXPECT_EQ(n0.edges[1].edgeAngle, 180);
    EXPECT_EQ(n0.edges[1].relativeDirection, 350);
    EXPECT_EQ(n0.edges[2].distance, 13);
    EXPECT_EQ(n0.edges[2].edgeAngle, 90);  // straight below
    EXPECT_EQ(n0.edges[3].distance, 500);
    // Minutia 2 (direction 350) sees 1 (direction 10) at 20 pixels, its
    // third edge: relative direction 10 - 350 + 360 = 20; the reverse 340.
    EXPECT_EQ(g.nodes[2].edges[2].distance, 20);
    EXPECT_EQ(g.nodes[2].edges[2].relativeDirection, 20);
    EXPECT_EQ(g.nodes[1].edges[2].distance, 20);
    EXPECT_EQ(g.nodes[1].edges[2].relativeDirection, 340);

    // Neighbour straight below a minutia pointing at 180, straight right of
    // one pointing at 90.
    const auto below = Minutiae({{50, 50, 180, 0}, {50, 60, 0, 0}});
    BuildCharGraph(2, below.data(), g.nodes);
    EXPECT_EQ(g.nodes[0].edges[0].edgeAngle, 270);
    const auto right = Minutiae({{50, 50, 90, 0}, {60, 50, 0, 0}});
    BuildCharGraph(2, right.data(), g.nodes);
    EXPECT_EQ(g.nodes[0].edges[0].edgeAngle, 270);

    // Rounded distances: 3-4-5, 1-1 gives 1, 1-2 gives 2.
    const auto d = Minutiae({{0, 0, 0, 0}, {3, 4, 0, 0}, {200, 200, 0, 0}, {201, 201, 0, 0}, {100, 300, 0, 0},
                             {101, 302, 0, 0}});
    BuildCharGraph(6, d.data(), g.nodes);
    EXPECT_EQ(g.nodes[0].edges[0].distance, 5);
    EXPECT_EQ(g.nodes[2].edges[0].distance, 1);
    EXPECT_EQ(g.nodes[4].edges[0].distance, 2);
}

TEST(BuildCharGraph, CoincidentMinutiaeLeaveTerminatorsInTheMissingSlots) {
    // Minutiae 0, 1 and 3 share a position: each row has only the edges to
    // 2 and 4; the three slots without an edge become terminators.
    const auto m = Minutiae({{100, 100, 0, 0}, {100, 100, 90, 1}, {120, 100, 0, 0}, {100, 100, 5, 0}, {100, 130, 0, 1}});
    CharGraph g;
    BuildCharGraph(5, m.data(), g.nodes);
    for (int i : {0, 1, 3}) {
        SCOPED_TRACE(i);
        const CharNode& node = g.nodes[i];
        ExpectSoundRow(node, 5);
        EXPECT_EQ(node.edges[0].distance, 20);
        EXPECT_EQ(node.edges[1].distance, 30);
        for (int k = 2; k < 5; ++k) {
            EXPECT_EQ(node.edges[k].distance, 500);
            EXPECT_EQ(node.edges[k].edgeAngle, 0);
            EXPECT_EQ(node.edges[k].relativeDirection, 0);
            EXPECT_EQ(node.edges[k].neighbourType, 0);
        }
    }
    // All minutiae at one place: every row is terminators only.
    const auto same = Minutiae(std::vector<Point>(50, Point{7, 7, 7, 1}));
    BuildCharGraph(50, same.data(), g.nodes);
    for (int i = 0; i < 50; ++i)
        for (int k = 0; k < 50; ++k) ASSERT_EQ(g.nodes[i].edges[k].distance, 500);
}

TEST(BuildCharGraph, EdgesOfFourHundredPixelsOrMoreAreLeftOut) {
    // 9-bit coordinates reach 511: (0, 0) to (511, 511) is 723 pixels.
    const auto m = Minutiae({{0, 0, 0, 0}, {511, 511, 0, 0}, {10, 0, 0, 0}, {300, 300, 0, 0}, {0, 399, 0, 0}});
    CharGraph g;
    BuildCharGraph(5, m.data(), g.nodes);
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        ExpectSoundRow(g.nodes[i], 5);
        for (int k = 0; k < 4; ++k) {
            const int32_t d = g.nodes[i].edges[k].distance;
            EXPECT_TRUE(d < 400 || d == 500) << d;
        }
    }
    // Row 0: 10, 399 kept; 424 (to 300,300) and 723 left out.
    EXPECT_EQ(g.nodes[0].edges[0].distance, 10);
    EXPECT_EQ(g.nodes[0].edges[1].distance, 399);
    EXPECT_EQ(g.nodes[0].edges[2].distance, 500);
}

TEST(BuildLimitGraph, LinksToTheNextThreeCyclically) {
    LimitNode g[50];
    std::memset(g, 0xAB, sizeof g);
    // One minutia: three zero-length links to its own copies.
    for (int angle : {0, 30}) {
        auto one = Minutiae(std::vector<Point>(4, Point{100, 100, angle, 1}));
        BuildLimitGraph(1, one.data(), g);
        EXPECT_EQ(g[0].neighbourCount, 3);
        for (int e = 0; e < 3; ++e) {
            EXPECT_EQ(g[0].edges[e].distance, 0);
            EXPECT_EQ(g[0].edges[e].relativeDirection, 0);
            EXPECT_EQ(g[0].edges[e].edgeAngle, angle == 0 ? 0 : 360 - angle);
        }
        EXPECT_EQ(g[1].index, 0xAB);  // nodes beyond the count are not written
    }
    // Five minutiae on a line, i at x = 10 + i: the distance tells the target.
    std::vector<Point> five;
    for (int i = 0; i < 5; ++i) five.push_back({10 + 10 * i, 50, 0, i % 2});
    for (int k = 0; k < 3; ++k) five.push_back(five[k]);
    const auto m5 = Minutiae(five);
    BuildLimitGraph(5, m5.data(), g);
    auto target = [&](int node, int e) {
        const NeighbourEdge& edge = g[node].edges[e];
        const int32_t dx = edge.edgeAngle == 360 ? edge.distance : -edge.distance;
        return (m5[node].x + dx - 10) / 10;
    };
    EXPECT_EQ(target(3, 0), 4); EXPECT_EQ(target(3, 1), 0); EXPECT_EQ(target(3, 2), 1);
    EXPECT_EQ(target(4, 0), 0); EXPECT_EQ(target(4, 1), 1); EXPECT_EQ(target(4, 2), 2);
    EXPECT_EQ(g[3].edges[0].neighbourType, 0);
    EXPECT_EQ(g[3].edges[1].neighbourType, 0);
    EXPECT_EQ(g[3].edges[2].neighbourType, 1);
    // Two minutiae: 0 -> 1, 0, 1 and 1 -> 0, 1, 0.
    const auto m2 = Minutiae({{10, 50, 0, 0}, {20, 50, 0, 0}, {10, 50, 0, 0}, {20, 50, 0, 0}, {10, 50, 0, 0}});
    BuildLimitGraph(2, m2.data(), g);
    EXPECT_EQ(g[0].edges[0].distance, 10); EXPECT_EQ(g[0].edges[1].distance, 0); EXPECT_EQ(g[0].edges[2].distance, 10);
    EXPECT_EQ(g[1].edges[0].distance, 10); EXPECT_EQ(g[1].edges[1].distance, 0); EXPECT_EQ(g[1].edges[2].distance, 10);
}

// ---- QuickSort: results and the best list --------------------------------

TEST(QuickSort, NegativeCountWritesNothing) {
    const Bytes probe = CountingProbe();
    std::vector<int32_t> best(32, 5);
    EXPECT_EQ(QuickSort(probe.data(), probe.data(), -1, best.data()), 0);
    EXPECT_EQ(best, std::vector<int32_t>(32, 5));
}

TEST(QuickSort, ProbeWithoutMinutiaeNeverReadsTheList) {
    Bytes probe(512, 0);
    probe[0] = 3; probe[1] = 1;
    std::vector<int32_t> best(32, 5);
    EXPECT_EQ(QuickSort(probe.data(), nullptr, 1000000, best.data()), 1);
    EXPECT_EQ(best, std::vector<int32_t>(32, -1));
    // A count byte above 50 is a corrupt record: treated the same way.
    Bytes corrupt = CandidateScoring(40);
    corrupt[3] = 51;
    best.assign(32, 5);
    EXPECT_EQ(QuickSort(corrupt.data(), nullptr, 1000000, best.data()), 1);
    EXPECT_EQ(best, std::vector<int32_t>(32, -1));
}

TEST(QuickSort, EmptyListAndNullArguments) {
    const Bytes probe = CountingProbe();
    std::vector<int32_t> best(32, 5);
    EXPECT_EQ(QuickSort(probe.data(), nullptr, 0, best.data()), 1);
    EXPECT_EQ(best, std::vector<int32_t>(32, -1));
    best.assign(32, 5);
    EXPECT_EQ(QuickSort(nullptr, probe.data(), 1, best.data()), 1);
    EXPECT_EQ(best, std::vector<int32_t>(32, -1));
    best.assign(32, 5);
    EXPECT_EQ(QuickSort(probe.data(), nullptr, 3, best.data()), 1);
    EXPECT_EQ(best, std::vector<int32_t>(32, -1));
    EXPECT_EQ(QuickSort(probe.data(), probe.data(), 1, nullptr), 0);
}

TEST(QuickSort, ListedOnlyAboveSeven) {
    const Bytes probe = CountingProbe();
    EXPECT_EQ(Screen(probe, {CandidateScoring(7)}), Expected({}));
    EXPECT_EQ(Screen(probe, {CandidateScoring(8)}), Expected({0}));
    EXPECT_EQ(Screen(probe, {CandidateScoring(7), CandidateScoring(8), CandidateScoring(9)}), Expected({2, 1}));
}

TEST(QuickSort, MarkerIsTestedOnCandidatesOnly) {
    const Bytes probe = CountingProbe();
    Bytes wrongFormat = CandidateScoring(30);
    wrongFormat[1] = 2;
    Bytes wrongVersion = CandidateScoring(30);
    wrongVersion[0] = 2;
    // Rejected records keep their position numbers.
    EXPECT_EQ(Screen(probe, {wrongFormat, wrongVersion, CandidateScoring(9)}), Expected({2}));
    // The probe's own marker is not looked at.
    Bytes oddProbe = probe;
    oddProbe[0] = 0x77; oddProbe[1] = 0x02;
    EXPECT_EQ(Screen(oddProbe, {CandidateScoring(9)}), Expected({0}));
}

TEST(QuickSort, CandidateCountAboveFiftyScoresNothing) {
    const Bytes probe = CountingProbe();
    Bytes over = CandidateScoring(40);
    over[3] = 51;
    Bytes far = CandidateScoring(40);
    far[3] = 255;
    EXPECT_EQ(Screen(probe, {over, far, CandidateScoring(8)}), Expected({2}));
    Bytes none = CandidateScoring(40);
    none[3] = 0;
    EXPECT_EQ(Screen(probe, {none}), Expected({}));
}

TEST(QuickSort, DescendingOrderWithEarlierCandidatesAheadOnTies) {
    const Bytes probe = CountingProbe();
    EXPECT_EQ(Screen(probe, {CandidateScoring(20), CandidateScoring(30), CandidateScoring(20), CandidateScoring(40)}),
              Expected({3, 1, 0, 2}));

    std::vector<Bytes> ascending;
    for (int32_t s = 8; s <= 47; ++s) ascending.push_back(CandidateScoring(s));
    std::vector<int32_t> expected;
    for (int32_t p = 39; p >= 8; --p) expected.push_back(p);
    EXPECT_EQ(Screen(probe, ascending), expected);

    const std::vector<Bytes> equal(33, CandidateScoring(10));
    std::vector<int32_t> first32;
    for (int32_t p = 0; p < 32; ++p) first32.push_back(p);
    EXPECT_EQ(Screen(probe, equal), first32);

    // A later, higher score still pushes into a full list of equals.
    std::vector<Bytes> pushed(33, CandidateScoring(10));
    pushed.push_back(CandidateScoring(11));
    std::vector<int32_t> withNewcomer{33};
    for (int32_t p = 0; p < 31; ++p) withNewcomer.push_back(p);
    EXPECT_EQ(Screen(probe, pushed), withNewcomer);
}

TEST(QuickSort, CandidateEqualToProbeIsListedFirst) {
    std::vector<Bytes> list;
    for (int f = 0; f < 10; ++f) list.push_back(MakeShort(fpmatch::samples::MakeFinger(500 + f, 30)));
    for (int f : {0, 4, 9}) {
        const auto best = Screen(list[f], list);
        EXPECT_EQ(best[0], f);
    }
    // Four minutiae are enough.
    const Bytes four = MakeShort(std::vector<Point>{{60, 60, 10, 0}, {120, 70, 200, 0}, {90, 150, 300, 1}, {150, 200, 45, 0}});
    EXPECT_EQ(Screen(four, {four}), Expected({0}));
}

TEST(QuickSort, OneMinutiaProbeScoresNothing) {
    const Bytes probe = MakeShort(std::vector<Point>{{100, 100, 90, 0}});
    std::vector<Bytes> list{probe, CandidateScoring(47), MakeShort(fpmatch::samples::MakeFinger(7, 50))};
    EXPECT_EQ(Screen(probe, list), Expected({}));
}

// ---- QuickSort: the row lookup ---------------------------------------------

TEST(QuickSortLookup, WorkedBinarySearchFindsTheEdgeInsideTheWindow) {
    // Row 20, 35, 50, 60, 75, 90 and a limit edge of 62 (window 54..70).
    LookupCase c;
    c.candidateDistance = 62;
    c.testDistance = 60;
    c.otherDistances = {20, 35, 50, 75, 90};
    EXPECT_TRUE(LookupMatches(c));
    // The agreeing edge at 50 or 75 lies outside the window.
    c.testDistance = 50;
    c.otherDistances = {20, 35, 60, 75, 90};
    EXPECT_FALSE(LookupMatches(c));
    c.testDistance = 75;
    c.otherDistances = {20, 35, 50, 60, 90};
    EXPECT_FALSE(LookupMatches(c));
    // The agreeing edge alone.
    c.testDistance = 60;
    c.otherDistances = {};
    EXPECT_TRUE(LookupMatches(c));
    // A full row of 49 edges, with disagreeing edges inside the window.
    for (int32_t d = 10; d <= 57; ++d) c.otherDistances.push_back(d);
    EXPECT_TRUE(LookupMatches(c));
}

TEST(QuickSortLookup, DistanceWindowAndTolerance) {
    LookupCase c;
    c.candidateDistance = 100;
    c.testDistance = 108;  // s 208: window 92..108, distance tolerance 9
    EXPECT_TRUE(LookupMatches(c));
    c.testDistance = 109;  // outside the window: never tested
    EXPECT_FALSE(LookupMatches(c));
    c.testDistance = 92;  // s 192: tolerance 9, difference 8
    EXPECT_TRUE(LookupMatches(c));
    c.testDistance = 91;  // below the window
    EXPECT_FALSE(LookupMatches(c));
    // s 117: tolerance 7; s 116: tolerance 7 but difference 8.
    c.candidateDistance = 62;
    c.testDistance = 55;
    EXPECT_TRUE(LookupMatches(c));
    c.testDistance = 54;
    EXPECT_FALSE(LookupMatches(c));
}

TEST(QuickSortLookup, EdgeAngleAndDirectionTolerances) {
    LookupCase c;
    c.candidateDistance = 130;
    c.testDistance = 130;  // s 260: edge-angle tolerance 3
    c.probeAngle = 3;
    EXPECT_TRUE(LookupMatches(c));
    c.probeAngle = 4;
    EXPECT_FALSE(LookupMatches(c));
    // Edge angles 359 and 2 differ by 3 across the wrap.
    c.candidateAngle = 91;
    c.probeAngle = 88;
    EXPECT_TRUE(LookupMatches(c));
    c.probeAngle = 87;
    EXPECT_FALSE(LookupMatches(c));
    // Short edges allow 10 degrees.
    c = LookupCase{};
    c.candidateDistance = 12;
    c.testDistance = 12;
    c.probeAngle = 10;
    EXPECT_TRUE(LookupMatches(c));
    c.probeAngle = 11;
    EXPECT_FALSE(LookupMatches(c));
    // Relative direction: 8 passes, 9 does not.
    c = LookupCase{};
    c.candidateDistance = 60;
    c.directionOffset = 8;
    EXPECT_TRUE(LookupMatches(c));
    c.directionOffset = 9;
    EXPECT_FALSE(LookupMatches(c));
    c.directionOffset = 352;
    EXPECT_TRUE(LookupMatches(c));
}

// ---- QuickSort: hostile templates ----------------------------------------

TEST(QuickSortLookup, TerminatorNeverMatchesAFarLimitEdge) {
    // Limit edges of exactly 500 pixels, edge angle 360 and relative
    // direction 0 would agree with a terminator taken as an edge.
    const Point a{0, 10, 0, 0}, b{500, 10, 0, 0};
    const Bytes candidate = MakeShort(std::vector<Point>{a, b, a, b});
    const Bytes probe = MakeShort(std::vector<Point>{{100, 100, 0, 0}, {150, 160, 0, 0}});
    EXPECT_EQ(Screen(probe, {candidate}), Expected({}));
}

TEST(QuickSortLookup, WindowsBeyondTheTerminatorStayInsideTheRow) {
    // Full probe rows (49 edges) and candidate edges of about 700 pixels:
    // every slot of a row lies below such a window.
    std::vector<Point> probe;
    for (int i = 0; i < 50; ++i) probe.push_back({5 * i, 3 * i, 0, 0});
    const Point a{0, 0, 0, 0}, b{511, 478, 0, 0};
    std::vector<Point> far;
    for (int i = 0; i < 50; ++i) far.push_back(i % 2 ? b : a);
    EXPECT_EQ(Screen(MakeShort(probe), {MakeShort(far), MakeShort(far)}), Expected({}));
}

TEST(QuickSort, ArbitraryBytesStayInBounds) {
    fpmatch::samples::Random random(2024);
    std::vector<Bytes> list;
    for (int r = 0; r < 64; ++r) {
        Bytes rec(512);
        for (auto& b : rec) b = static_cast<uint8_t>(random.Next());
        if (r % 4 != 3) { rec[0] = 3; rec[1] = 1; }
        if (r % 3 == 0) rec[3] = static_cast<uint8_t>(random.Range(1, 50));
        list.push_back(rec);
    }
    for (int p = 0; p < 16; ++p) {
        const auto best = Screen(list[p], list);
        // Listed positions are distinct, valid and packed at the front.
        bool empty = false;
        std::vector<int32_t> seen;
        for (int32_t v : best) {
            if (v == -1) { empty = true; continue; }
            EXPECT_FALSE(empty);
            EXPECT_GE(v, 0);
            EXPECT_LT(v, 64);
            EXPECT_FALSE(Listed(seen, v));
            seen.push_back(v);
        }
    }
}

// ---- Real data ---------------------------------------------------------------

TEST(QuickSortFvc, GenuineCandidatesRankAmongTheBest32) {
    FPMATCH_REQUIRE_FVC(fvc);
    ASSERT_EQ(fvc.size(), 320u);
    // Records declaring more than 50 minutiae are cut to their first 50 (the
    // decoder refuses them otherwise); coordinates all fit the 9-bit fields.
    std::vector<Bytes> shorts;
    int truncated = 0;
    for (const auto& t : fvc) {
        Bytes iso = t.bytes;
        if (iso[27] > 50) {
            iso[27] = 50;
            ++truncated;
        }
        fpmatch::test::OwnedFeatureSet owned;
        ASSERT_EQ(owned.Decode(iso), 0) << t.path;
        Bytes s(512);
        ASSERT_EQ(WriteShortTemplate(&owned.fs, s.data(), s.size()), 512) << t.path;
        shorts.push_back(s);
    }
    EXPECT_EQ(truncated, 17);
    const Bytes list = Concat(shorts);
    long genuineListed = 0, genuineTotal = 0, selfFirst = 0;
    double chance = 0;
    for (size_t p = 0; p < fvc.size(); ++p) {
        std::vector<int32_t> best(32);
        ASSERT_EQ(QuickSort(shorts[p].data(), list.data(), 320, best.data()), 1);
        if (best[0] == static_cast<int32_t>(p)) ++selfFirst;
        int others = 0;
        for (int32_t v : best) {
            if (v < 0 || v == static_cast<int32_t>(p)) continue;
            ++others;
            const auto& c = fvc[static_cast<size_t>(v)];
            if (c.database == fvc[p].database && c.finger == fvc[p].finger) ++genuineListed;
        }
        for (const auto& c : fvc)
            if (&c != &fvc[p] && c.database == fvc[p].database && c.finger == fvc[p].finger) ++genuineTotal;
        // Expected share if the listed others were drawn at random from 319.
        chance += others / 319.0;
    }
    const double share = static_cast<double>(genuineListed) / static_cast<double>(genuineTotal);
    chance /= static_cast<double>(fvc.size());
    std::printf("[ FVC      ] genuine candidates in the best 32: %ld of %ld (%.1f%%); chance %.1f%%; "
                "probe itself first: %ld of 320\n",
                genuineListed, genuineTotal, 100.0 * share, 100.0 * chance, selfFirst);
    EXPECT_GT(share, 2.0 * chance);
    EXPECT_GT(selfFirst, 300);
}

}  // namespace
