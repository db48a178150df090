// Prepared records as bytes: preparing writes every byte of the record (two
// preparations of one template are identical whatever the buffer held), and
// a record read back is checked field by field: a record with a field
// outside what preparing writes is refused, one whose field is read through
// a mask or clamp scores the same on every code path.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "internal_paths.h"
#include "prepared_layout.h"
#include "test_support.h"

namespace {

using fpmatch::test::Bytes;
using namespace fpmatch::detail;
namespace samples = fpmatch::samples;

template <class Record>
std::unique_ptr<Record> Filled(uint8_t fill) {
    auto r = std::make_unique<Record>();
    std::memset(r.get(), fill, sizeof(Record));
    return r;
}

// Templates that reach every part of a record: real records, native ones
// with singular points and mask holes, and ones that do not decode.
std::vector<Bytes> Templates() {
    std::vector<Bytes> out;
    for (const auto& t : fpmatch::test::LoadFvc()) out.push_back(t.bytes);
    samples::Random rng(77);
    for (int i = 0; i < 40; ++i) {
        const auto finger = samples::MakeFinger(rng.Next(), rng.Range(1, 50));
        out.push_back(samples::MakeIsoRecord(finger, static_cast<uint8_t>(rng.Range(0, 100))));
        auto native = samples::MakeNativeTemplate(samples::MakeImpression(finger, rng.Next()),
                                                  static_cast<uint8_t>(rng.Range(0, 255)),
                                                  {rng.Range(0, 255) * 2, rng.Range(0, 255) * 2}, {0, 2});
        native[10] = static_cast<uint8_t>(rng.Next());  // mask holes
        out.push_back(native);
    }
    Bytes bad = out.back();
    bad[3] = 60;  // count outside 1..50
    out.push_back(bad);
    bad[0] = 2;  // native version not 3
    out.push_back(bad);
    for (Bytes& t : out) t.resize(512, 0);
    return out;
}

TEST(PreparedRecords, EveryByteDependsOnlyOnTheTemplate) {
    int compared = 0;
    for (const Bytes& t : Templates()) {
        auto p1 = Filled<PreparedProbe>(0x00), p2 = Filled<PreparedProbe>(0xFF), p3 = Filled<PreparedProbe>(0x5A);
        const int32_t code = PrepareProbe(t.data(), p1.get());
        ASSERT_EQ(PrepareProbe(t.data(), p2.get()), code);
        ASSERT_EQ(PrepareProbe(t.data(), p3.get()), code);
        ASSERT_EQ(std::memcmp(p1.get(), p2.get(), sizeof(PreparedProbe)), 0) << "probe, code " << code;
        ASSERT_EQ(std::memcmp(p1.get(), p3.get(), sizeof(PreparedProbe)), 0) << "probe, code " << code;
        auto g1 = Filled<PreparedGallery>(0x00), g2 = Filled<PreparedGallery>(0xFF);
        ASSERT_EQ(PrepareGallery(t.data(), g1.get()), code);
        ASSERT_EQ(PrepareGallery(t.data(), g2.get()), code);
        ASSERT_EQ(std::memcmp(g1.get(), g2.get(), sizeof(PreparedGallery)), 0) << "gallery, code " << code;
        ++compared;
    }
    // A null template writes a failed record, also in full.
    auto p1 = Filled<PreparedProbe>(0x00), p2 = Filled<PreparedProbe>(0xFF);
    EXPECT_EQ(PrepareProbe(nullptr, p1.get()), FPMATCH_NULL_INPUT);
    EXPECT_EQ(PrepareProbe(nullptr, p2.get()), FPMATCH_NULL_INPUT);
    EXPECT_EQ(std::memcmp(p1.get(), p2.get(), sizeof(PreparedProbe)), 0);
    EXPECT_GE(compared, 82);
}

// An edge's relative direction is 360 when its owner points at 0 and its
// neighbour at 360, both valid native directions: such a record is prepared,
// accepted when read back and scored as Match2Score scores the templates.
TEST(PreparedRecords, RelativeDirectionOf360IsAccepted) {
    auto m = samples::MakeFinger(17, 20);
    m[0].angle = 0;
    m[1] = m[0];
    m[1].x += 20;
    m[1].angle = 360;
    Bytes t = samples::MakeNativeTemplate(m, 60, {0, 0}, {0, 0});
    t.resize(512, 0);
    auto probe = std::make_unique<PreparedProbe>();
    auto gallery = std::make_unique<PreparedGallery>();
    ASSERT_EQ(PrepareProbe(t.data(), probe.get()), 0);
    ASSERT_EQ(PrepareGallery(t.data(), gallery.get()), 0);
    const auto& r = *reinterpret_cast<const ProbeRecord*>(probe.get());
    EXPECT_TRUE(std::find(r.edgeRelative, r.edgeRelative + r.edgeTotal, 360) != r.edgeRelative + r.edgeTotal);
    EXPECT_NE(UsableProbe(probe.get()), nullptr);
    const int32_t score = Match2Score(t.data(), t.data());
    EXPECT_GT(score, 0);
    EXPECT_EQ(MatchPreparedPair(probe.get(), gallery.get()), score);
}

// ------------------------------------------------------------ crafted fields

enum class Side { kProbe, kGallery };
enum class Verdict { kRefused, kScoredAlike };

struct Row {
    const char* field;
    Side side;
    std::function<void(ProbeRecord&, GalleryRecord&)> edit;
    Verdict verdict;
};

// The first gallery row with an edge.
int EdgeRow(const GalleryRecord& g) {
    for (int j = 0; j < g.header.minutiaCount; ++j)
        if (g.rowCount[j] > 0) return j;
    return 0;
}

std::vector<Row> Rows() {
    using P = ProbeRecord;
    using G = GalleryRecord;
    const auto R = Verdict::kRefused, A = Verdict::kScoredAlike;
    const auto kP = Side::kProbe, kG = Side::kGallery;
    auto minutia = [](Side s, auto set) {
        return [=](P& p, G& g) { set(s == Side::kProbe ? p.storage.minutiae[0] : g.storage.minutiae[0]); };
    };
    auto storage = [](Side s, auto set) {
        return [=](P& p, G& g) { set(s == Side::kProbe ? p.storage : g.storage); };
    };
    auto header = [](Side s, auto set) {
        return [=](P& p, G& g) { set(s == Side::kProbe ? p.header : g.header); };
    };
    auto edge = [](auto set) { return [=](P&, G& g) { set(g.rows[EdgeRow(g)][0]); }; };
    return {
        {"magic", kP, header(kP, [](RecordHeader& h) { h.magic ^= 1; }), R},
        {"magic of the other kind", kG, header(kG, [](RecordHeader& h) { h.magic = kProbeMagic; }), R},
        {"layout 1", kP, header(kP, [](RecordHeader& h) { h.layout = 1; }), R},
        {"status 2", kG, header(kG, [](RecordHeader& h) { h.status = 2; }), R},
        {"width 255", kP, header(kP, [](RecordHeader& h) { h.width = 255; }), R},
        {"height 289", kG, header(kG, [](RecordHeader& h) { h.height = 289; }), R},
        {"count 0", kP, header(kP, [](RecordHeader& h) { h.minutiaCount = 0; }), R},
        {"count 51", kG, header(kG, [](RecordHeader& h) { h.minutiaCount = 51; }), R},
        {"count -1", kP, header(kP, [](RecordHeader& h) { h.minutiaCount = -1; }), R},
        {"reserved 1", kP, header(kP, [](RecordHeader& h) { h.reserved = 1; }), R},
        {"x -256", kP, minutia(kP, [](Minutia& m) { m.x = -256; }), A},
        {"x -257", kP, minutia(kP, [](Minutia& m) { m.x = -257; }), R},
        {"x 16383", kG, minutia(kG, [](Minutia& m) { m.x = 16383; }), A},
        {"x 16384", kG, minutia(kG, [](Minutia& m) { m.x = 16384; }), R},
        {"x INT32_MIN", kP, minutia(kP, [](Minutia& m) { m.x = INT32_MIN; }), R},
        {"y -1", kG, minutia(kG, [](Minutia& m) { m.y = -1; }), R},
        {"y 16383", kP, minutia(kP, [](Minutia& m) { m.y = 16383; }), A},
        {"y INT32_MAX", kP, minutia(kP, [](Minutia& m) { m.y = INT32_MAX; }), R},
        {"angle 511", kP, minutia(kP, [](Minutia& m) { m.angle = 511; }), A},
        {"angle 512", kG, minutia(kG, [](Minutia& m) { m.angle = 512; }), R},
        {"angle -1", kP, minutia(kP, [](Minutia& m) { m.angle = -1; }), R},
        {"quality 40", kG, minutia(kG, [](Minutia& m) { m.quality = 40; }), A},
        {"quality 41", kP, minutia(kP, [](Minutia& m) { m.quality = 41; }), R},
        {"type 255", kP, minutia(kP, [](Minutia& m) { m.type = 255; }), A},
        {"type 3", kG, minutia(kG, [](Minutia& m) { m.type = 3; }), R},
        {"singular (510, 510)", kP, storage(kP, [](FeatureStorage& s) { s.singularPoints[0] = {510, 510}; }), A},
        {"singular (511, 2)", kG, storage(kG, [](FeatureStorage& s) { s.singularPoints[1] = {511, 2}; }), R},
        {"singular (-1, 10)", kP, storage(kP, [](FeatureStorage& s) { s.singularPoints[0] = {-1, 10}; }), R},
        {"singular INT32_MAX", kG,
         storage(kG, [](FeatureStorage& s) { s.singularPoints[0] = {INT32_MAX, INT32_MAX}; }), R},
        {"singular INT32_MIN", kP,
         storage(kP, [](FeatureStorage& s) { s.singularPoints[1] = {INT32_MIN, INT32_MIN}; }), R},
        {"third singular point", kP, storage(kP, [](FeatureStorage& s) { s.singularPoints[2] = {2, 0}; }), R},
        {"mask cell 1", kG, storage(kG, [](FeatureStorage& s) { s.gndTable.cells[700] = 1; }), A},
        {"mask cell 2", kG, storage(kG, [](FeatureStorage& s) { s.gndTable.cells[1151] = 2; }), R},
        {"block 41", kP, storage(kP, [](FeatureStorage& s) { s.blockQty.blocks[0] = 41; }), A},
        {"block 42", kP, storage(kP, [](FeatureStorage& s) { s.blockQty.blocks[287] = 42; }), R},
        {"block 255", kG, storage(kG, [](FeatureStorage& s) { s.blockQty.blocks[100] = 255; }), A},
        {"block 254", kG, storage(kG, [](FeatureStorage& s) { s.blockQty.blocks[100] = 254; }), R},
        {"edge total -1", kP, [](P& p, G&) { p.edgeTotal = -1; }, R},
        {"edge total 2451", kP, [](P& p, G&) { p.edgeTotal = kMaxEdges + 1; }, R},
        {"edge total 0", kP, [](P& p, G&) { p.edgeTotal = 0; }, A},
        {"probe edge angle 359", kP, [](P& p, G&) { p.edgeAngle[p.edgeTotal - 1] = 359; }, A},
        {"probe edge angle 360", kP, [](P& p, G&) { p.edgeAngle[p.edgeTotal - 1] = 360; }, R},
        {"probe edge angle -1", kP, [](P& p, G&) { p.edgeAngle[0] = -1; }, R},
        {"probe edge relative 360", kP, [](P& p, G&) { p.edgeRelative[3] = 360; }, A},
        {"probe edge relative 361", kP, [](P& p, G&) { p.edgeRelative[3] = 361; }, R},
        {"probe edge distance 0", kP, [](P& p, G&) { p.edgeDistance[0] = 0; }, R},
        {"probe edge distance 110", kP, [](P& p, G&) { p.edgeDistance[0] = 110; }, A},
        {"probe edge distance 111", kP, [](P& p, G&) { p.edgeDistance[p.edgeTotal - 1] = 111; }, R},
        {"probe edge distance INT16_MIN", kP, [](P& p, G&) { p.edgeDistance[1] = INT16_MIN; }, R},
        {"probe edge row 200 (read masked)", kP, [](P& p, G&) { p.edgeRow[0] = 200; }, A},
        {"probe edge type 7", kP, [](P& p, G&) { p.edgeType[0] = 7; }, A},
        {"group start 65535 (clamped)", kP, [](P& p, G&) { p.angleStart[0][100] = 65535; }, A},
        {"group starts decreasing", kP, [](P& p, G&) { p.angleStart[1][0] = 0; }, A},
        {"link all ones (read masked)", kP, [](P& p, G&) { p.link[0][1] = 0xFFFFFFFFu; }, A},
        {"row count n", kG, [](P&, G& g) { g.rowCount[0] = static_cast<uint8_t>(g.header.minutiaCount); }, R},
        {"row count 255", kG, [](P&, G& g) { g.rowCount[1] = 255; }, R},
        {"gallery edge angle 359", kG, edge([](CompactEdge& e) { e.angle = 359; }), A},
        {"gallery edge angle 360", kG, edge([](CompactEdge& e) { e.angle = 360; }), R},
        {"gallery edge angle 512", kG, edge([](CompactEdge& e) { e.angle = 512; }), R},
        {"gallery edge angle -1", kG, edge([](CompactEdge& e) { e.angle = -1; }), R},
        {"gallery edge relative 360", kG, edge([](CompactEdge& e) { e.relative = 360; }), A},
        {"gallery edge relative 361", kG, edge([](CompactEdge& e) { e.relative = 361; }), R},
        {"gallery edge relative -32768", kG, edge([](CompactEdge& e) { e.relative = INT16_MIN; }), R},
        {"gallery edge distance 127", kG, edge([](CompactEdge& e) { e.distance = 127; }), A},
        {"gallery edge distance 128", kG, edge([](CompactEdge& e) { e.distance = 128; }), R},
        {"gallery edge neighbour 63 (ignored)", kG, edge([](CompactEdge& e) { e.neighbour = 63; }), A},
        {"gallery edge neighbour 64", kG, edge([](CompactEdge& e) { e.neighbour = 64; }), R},
        {"gallery edge reserved 1", kG, edge([](CompactEdge& e) { e.reserved = 1; }), R},
    };
}

std::vector<int> Paths() {
    std::vector<int> out;
    for (int p = 0; p < kPathCount; ++p)
        if (SupportedPaths() & (1 << p)) out.push_back(p);
    return out;
}

void CheckRows(const Bytes& probeTemplate, const Bytes& galleryTemplate) {
    auto probe = std::make_unique<PreparedProbe>();
    auto gallery = std::make_unique<PreparedGallery>();
    ASSERT_EQ(PrepareProbe(probeTemplate.data(), probe.get()), 0);
    ASSERT_EQ(PrepareGallery(galleryTemplate.data(), gallery.get()), 0);
    ASSERT_GT(MatchPreparedPair(probe.get(), gallery.get()), 0) << "the unedited pair must score";
    for (const Row& row : Rows()) {
        SCOPED_TRACE(row.field);
        auto p = std::make_unique<PreparedProbe>(*probe);
        auto g = std::make_unique<PreparedGallery>(*gallery);
        row.edit(*reinterpret_cast<ProbeRecord*>(p.get()), *reinterpret_cast<GalleryRecord*>(g.get()));
        const bool usable = row.side == Side::kProbe ? UsableProbe(p.get()) != nullptr : UsableGallery(g.get()) != nullptr;
        EXPECT_EQ(usable, row.verdict == Verdict::kScoredAlike);
        int32_t outcome = -9;
        SearchHit hit{};
        const int32_t listed = MatchPreparedList(p.get(), galleryTemplate.data(), 0, 0, 1, &outcome);
        const int32_t ranked = SearchTopK(p.get(), galleryTemplate.data(), 0, 0, 1, 1, &hit);
        const int32_t first = MatchPreparedPairOnPath(p.get(), g.get(), kPathPortable);
        for (int path : Paths()) {
            const int32_t pair = MatchPreparedPairOnPath(p.get(), g.get(), path);
            const int32_t one = MatchPreparedOnPath(p.get(), galleryTemplate.data(), path);
            if (row.verdict == Verdict::kRefused) {
                EXPECT_EQ(pair, 0) << PathName(path);
                if (row.side == Side::kProbe) {
                    EXPECT_EQ(one, 0) << PathName(path);
                }
            } else {
                EXPECT_EQ(pair, first) << PathName(path);
                EXPECT_TRUE(pair >= 0 && pair <= 100) << pair;
            }
        }
        if (row.side == Side::kProbe && row.verdict == Verdict::kRefused) {
            EXPECT_EQ(listed, -1);
            EXPECT_EQ(ranked, -1);
        } else {
            EXPECT_EQ(listed, 1);
            EXPECT_EQ(ranked, 1);
        }
    }
}

TEST(PreparedRecords, CraftedFieldsAreRefusedOrScoredAlikeOnEveryPath) {
    // Native templates with singular points on both sides and mask holes.
    const auto finger = samples::MakeFinger(4242, 25);
    Bytes a = samples::MakeNativeTemplate(finger, 60, {240, 260}, {100, 300});
    Bytes b = samples::MakeNativeTemplate(samples::MakeImpression(finger, 4243), 60, {244, 262}, {0, 2});
    a.resize(512, 0);
    b.resize(512, 0);
    CheckRows(a, b);
    // Real records, 50 minutiae or near it.
    const auto fvc = fpmatch::test::LoadFvc();
    if (fvc.size() < 2) GTEST_SKIP() << "FVC2002 templates not found beside the checkout";
    Bytes p = fvc[0].bytes, q = fvc[1].bytes;
    p.resize(512, 0);
    q.resize(512, 0);
    CheckRows(p, q);
}

}  // namespace
