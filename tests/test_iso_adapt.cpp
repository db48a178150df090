// AdaptIsoRecord: the opt-in rewrite of ISO/IEC 19794-2:2005 records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using fpmatch::test::Bytes;
using fpmatch::test::OwnedFeatureSet;

// One 6-byte minutia entry as fields.
struct Entry {
    int32_t x = 0;
    int32_t y = 0;
    uint8_t typeCode = 1;  // top two bits of byte 0
    uint8_t reserved = 0;  // top two bits of byte 2
    uint8_t angle = 0;
    uint8_t quality = 0;
};

struct View {
    std::vector<Entry> entries;
    Bytes extData;
    uint8_t fingerQuality = 60;
    uint8_t position = 1;
};

struct RecordLayout {
    std::vector<View> views;
    uint32_t width = 300, height = 400;
    uint32_t resolutionX = 197, resolutionY = 197;
};

void Put16(Bytes& b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}

uint32_t Get16(const Bytes& b, size_t at) { return static_cast<uint32_t>(b[at]) << 8 | b[at + 1]; }

uint32_t Get32(const Bytes& b, size_t at) {
    return static_cast<uint32_t>(b[at]) << 24 | static_cast<uint32_t>(b[at + 1]) << 16 |
           static_cast<uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

void PutEntry(Bytes& b, size_t at, const Entry& e) {
    b[at] = static_cast<uint8_t>(e.typeCode << 6 | (e.x >> 8 & 0x3F));
    b[at + 1] = static_cast<uint8_t>(e.x);
    b[at + 2] = static_cast<uint8_t>(e.reserved << 6 | (e.y >> 8 & 0x3F));
    b[at + 3] = static_cast<uint8_t>(e.y);
    b[at + 4] = e.angle;
    b[at + 5] = e.quality;
}

Entry GetEntry(const Bytes& b, size_t at) {
    Entry e;
    e.typeCode = b[at] >> 6;
    e.x = (b[at] & 0x3F) << 8 | b[at + 1];
    e.reserved = b[at + 2] >> 6;
    e.y = (b[at + 2] & 0x3F) << 8 | b[at + 3];
    e.angle = b[at + 4];
    e.quality = b[at + 5];
    return e;
}

// A well-formed record with a correct record length field.
Bytes Build(const RecordLayout& layout) {
    Bytes r(24, 0);
    const char id[8] = {'F', 'M', 'R', 0, ' ', '2', '0', 0};
    std::memcpy(r.data(), id, 8);
    Put16(r, 14, layout.width);
    Put16(r, 16, layout.height);
    Put16(r, 18, layout.resolutionX);
    Put16(r, 20, layout.resolutionY);
    r[22] = static_cast<uint8_t>(layout.views.size());
    for (size_t v = 0; v < layout.views.size(); ++v) {
        const View& view = layout.views[v];
        const size_t at = r.size();
        r.resize(at + 4 + 6 * view.entries.size() + 2 + view.extData.size(), 0);
        r[at] = view.position;
        r[at + 1] = static_cast<uint8_t>(v);
        r[at + 2] = view.fingerQuality;
        r[at + 3] = static_cast<uint8_t>(view.entries.size());
        for (size_t i = 0; i < view.entries.size(); ++i) PutEntry(r, at + 4 + 6 * i, view.entries[i]);
        const size_t ext = at + 4 + 6 * view.entries.size();
        Put16(r, ext, static_cast<uint32_t>(view.extData.size()));
        std::copy(view.extData.begin(), view.extData.end(), r.begin() + static_cast<long>(ext + 2));
    }
    const uint32_t length = static_cast<uint32_t>(r.size());
    r[8] = static_cast<uint8_t>(length >> 24);
    r[9] = static_cast<uint8_t>(length >> 16);
    r[10] = static_cast<uint8_t>(length >> 8);
    r[11] = static_cast<uint8_t>(length);
    return r;
}

RecordLayout OneView(std::vector<Entry> entries) {
    RecordLayout layout;
    layout.views.push_back(View{std::move(entries), {}, 60, 1});
    return layout;
}

// Adapts into a buffer pre-filled with 0xAA; the result holds exactly the
// returned number of bytes (or is left as the untouched buffer on refusal).
struct Adapted {
    int32_t code;
    Bytes bytes;
};

Adapted Adapt(const Bytes& record, size_t capacity = 4096) {
    Bytes out(capacity, 0xAA);
    const int32_t code = AdaptIsoRecord(record.data(), record.size(), out.data(), out.size());
    if (code > 0) out.resize(static_cast<size_t>(code));
    return {code, out};
}

std::vector<Entry> EntriesOf(const Bytes& r, size_t viewOffset = 24) {
    std::vector<Entry> out;
    for (size_t i = 0; i < r[viewOffset + 3]; ++i) out.push_back(GetEntry(r, viewOffset + 4 + 6 * i));
    return out;
}

// Entries with the given coordinates and a non-zero quality, so only the
// geometric steps apply.
std::vector<Entry> At(const std::vector<std::pair<int32_t, int32_t>>& points, uint8_t quality = 40) {
    std::vector<Entry> out;
    for (const auto& [x, y] : points) {
        Entry e;
        e.x = x;
        e.y = y;
        e.quality = quality;
        out.push_back(e);
    }
    return out;
}

// ---------------------------------------------------------------- the cap

TEST(IsoAdaptCap, KeepsFirstFiftyAndFixesBothLengths) {
    std::vector<Entry> entries;
    // Entries 0..49 already centred (box 30..226 x 46..242); the ten dropped
    // ones lie far away and must not influence the recentring.
    for (int i = 0; i < 60; ++i) {
        Entry e;
        e.x = i < 50 ? 30 + 4 * i : 5000 + i;
        e.y = i < 50 ? 46 + 4 * i : 9000 + i;
        e.angle = static_cast<uint8_t>(i);
        e.quality = 30;
        e.typeCode = static_cast<uint8_t>(1 + i % 2);
        entries.push_back(e);
    }
    RecordLayout layout = OneView(entries);
    layout.views[0].extData = {0x00, 0x02, 0x00, 0x06, 0x11, 0x22};
    const Bytes record = Build(layout);
    ASSERT_EQ(record.size(), 24u + 4 + 360 + 2 + 6);

    const Adapted a = Adapt(record);
    ASSERT_EQ(a.code, static_cast<int32_t>(24 + 4 + 300 + 2 + 6));
    EXPECT_EQ(Get32(a.bytes, 8), a.bytes.size());
    EXPECT_EQ(a.bytes[27], 50);
    const auto kept = EntriesOf(a.bytes);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(kept[i].x, entries[i].x) << i;
        EXPECT_EQ(kept[i].y, entries[i].y) << i;
        EXPECT_EQ(kept[i].angle, entries[i].angle) << i;
        EXPECT_EQ(kept[i].typeCode, entries[i].typeCode) << i;
    }
    // Extended data length and block right behind the kept entries.
    EXPECT_EQ(Get16(a.bytes, 328), 6u);
    EXPECT_EQ(Bytes(a.bytes.begin() + 330, a.bytes.end()), layout.views[0].extData);

    OwnedFeatureSet fs;
    ASSERT_EQ(fs.Decode(a.bytes), 0);
    EXPECT_EQ(fs.fs.minutiaCount, 50);
    EXPECT_EQ(CheckTemplate(a.bytes.data(), a.bytes.size()), 0);
}

TEST(IsoAdaptCap, FiftyOrFewerKeepTheirCount) {
    for (int count : {1, 49, 50}) {
        std::vector<std::pair<int32_t, int32_t>> points;
        for (int i = 0; i < count; ++i) points.push_back({100 + i, 100 + i});
        const Bytes record = Build(OneView(At(points)));
        const Adapted a = Adapt(record);
        ASSERT_EQ(a.code, static_cast<int32_t>(record.size())) << count;
        EXPECT_EQ(a.bytes[27], count);
    }
    std::vector<std::pair<int32_t, int32_t>> points;
    for (int i = 0; i < 51; ++i) points.push_back({100 + i, 100 + i});
    const Adapted a = Adapt(Build(OneView(At(points))));
    EXPECT_EQ(a.code, static_cast<int32_t>(24 + 4 + 300 + 2));
    EXPECT_EQ(a.bytes[27], 50);
}

TEST(IsoAdaptCap, AllowsTheFullByteCount) {
    std::vector<std::pair<int32_t, int32_t>> points;
    for (int i = 0; i < 255; ++i) points.push_back({10 + i, 20 + i});
    const Bytes record = Build(OneView(At(points)));
    const Adapted a = Adapt(record);
    ASSERT_EQ(a.code, static_cast<int32_t>(24 + 4 + 300 + 2));
    OwnedFeatureSet fs;
    EXPECT_EQ(fs.Decode(a.bytes), 0);
    EXPECT_EQ(fs.fs.minutiaCount, 50);
}

// ---------------------------------------------------------------- recentring

// Decoded-order coordinates after adaptation of a single view of `points`.
std::vector<std::pair<int32_t, int32_t>> Recentred(const std::vector<std::pair<int32_t, int32_t>>& points,
                                                   RecordLayout layout = RecordLayout()) {
    layout.views = {View{At(points), {}, 60, 1}};
    const Adapted a = Adapt(Build(layout));
    EXPECT_GT(a.code, 0);
    std::vector<std::pair<int32_t, int32_t>> out;
    if (a.code <= 0) return out;
    for (const Entry& e : EntriesOf(a.bytes)) out.push_back({e.x, e.y});
    return out;
}

using Points = std::vector<std::pair<int32_t, int32_t>>;

TEST(IsoAdaptRecentre, MovesTheBoxCentreToTheFrameCentre) {
    // cx = (100 + 200) / 2 = 150 -> tx = -22; cy = (50 + 100) / 2 = 75 -> ty = 69.
    EXPECT_EQ(Recentred({{100, 50}, {200, 100}, {150, 60}}), (Points{{78, 119}, {178, 169}, {128, 129}}));
    // Odd sums are floored: (101 + 200) / 2 = 150, (51 + 100) / 2 = 75.
    EXPECT_EQ(Recentred({{101, 51}, {200, 100}}), (Points{{79, 120}, {178, 169}}));
    // A single minutia lands on the centre itself.
    EXPECT_EQ(Recentred({{7000, 9000}}), (Points{{128, 144}}));
    // Already centred: nothing moves.
    EXPECT_EQ(Recentred({{28, 44}, {228, 244}}), (Points{{28, 44}, {228, 244}}));
}

TEST(IsoAdaptRecentre, KeepsXAtLeastOneAndYAtLeastZero) {
    // Wide in x: cx = 205, tx = -77 would give x = -67; clamped to tx = -9.
    EXPECT_EQ(Recentred({{10, 100}, {400, 188}}), (Points{{1, 100}, {391, 188}}));
    // Tall in y: cy = 260, ty = -116 would give y = -96; clamped to ty = -20.
    EXPECT_EQ(Recentred({{100, 20}, {156, 500}}), (Points{{100, 0}, {156, 480}}));
    // A minutia at x = 0 on a wide print moves to x = 1 (the matcher skips x = 0).
    EXPECT_EQ(Recentred({{0, 0}, {300, 400}}), (Points{{1, 0}, {301, 400}}));
    // x = 0 and a narrow box: the usual shift already lifts it.
    EXPECT_EQ(Recentred({{0, 0}, {10, 10}}), (Points{{123, 139}, {133, 149}}));
}

TEST(IsoAdaptRecentre, KeepsTypeAndReservedBits) {
    std::vector<Entry> entries;
    for (uint8_t t = 0; t < 4; ++t) {
        Entry e;
        e.x = 300 + 40 * t;
        e.y = 500 + 40 * t;
        e.typeCode = t;
        e.reserved = static_cast<uint8_t>(3 - t);
        e.angle = static_cast<uint8_t>(17 * t);
        e.quality = static_cast<uint8_t>(10 + t);
        entries.push_back(e);
    }
    const Adapted a = Adapt(Build(OneView(entries)));
    ASSERT_GT(a.code, 0);
    const auto out = EntriesOf(a.bytes);
    // Box 300..420 x 500..620: cx 360 -> tx -232; cy 560 -> ty -416.
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(out[i].typeCode, entries[i].typeCode);
        EXPECT_EQ(out[i].reserved, entries[i].reserved);
        EXPECT_EQ(out[i].angle, entries[i].angle);
        EXPECT_EQ(out[i].quality, entries[i].quality);
        EXPECT_EQ(out[i].x, entries[i].x - 232);
        EXPECT_EQ(out[i].y, entries[i].y - 416);
    }
}

TEST(IsoAdaptRecentre, RefusesACoordinateBeyondFourteenBits) {
    // The x >= 1 guard on a box spanning the whole 14-bit range would need x = 16384.
    EXPECT_EQ(Adapt(Build(OneView(At({{0, 10}, {16383, 10}})))).code, FPMATCH_ADAPT_OUT_OF_RANGE);
    // One less fits exactly.
    EXPECT_EQ(Recentred({{0, 10}, {16382, 10}}), (Points{{1, 144}, {16383, 144}}));
    // y spans the whole range without trouble: ty = -miny = 0.
    EXPECT_EQ(Recentred({{10, 0}, {10, 16383}}), (Points{{128, 0}, {128, 16383}}));
}

TEST(IsoAdaptRecentre, RaisesTheImageSizeToCoverTheMinutiae) {
    RecordLayout layout;
    layout.width = 100;
    layout.height = 120;
    // Box 10..60 x 10..30 moves to 103..153 x 134..154.
    EXPECT_EQ(Recentred({{10, 10}, {60, 30}}, layout), (Points{{103, 134}, {153, 154}}));
    layout.views = {View{At({{10, 10}, {60, 30}}), {}, 60, 1}};
    const Adapted a = Adapt(Build(layout));
    EXPECT_EQ(Get16(a.bytes, 14), 154u);
    EXPECT_EQ(Get16(a.bytes, 16), 155u);
    // A large enough image is left as it is.
    const Adapted b = Adapt(Build(OneView(At({{10, 10}, {60, 30}}))));
    EXPECT_EQ(Get16(b.bytes, 14), 300u);
    EXPECT_EQ(Get16(b.bytes, 16), 400u);
    // A later view outside the image raises it as well.
    RecordLayout two = OneView(At({{10, 10}, {60, 30}}));
    two.views.push_back(View{At({{3000, 4000}}), {}, 60, 2});
    const Adapted c = Adapt(Build(two));
    EXPECT_EQ(Get16(c.bytes, 14), 3001u);
    EXPECT_EQ(Get16(c.bytes, 16), 4001u);
}

// ---------------------------------------------------------------- quality

TEST(IsoAdaptQuality, FillsOnlyWhenEveryQualityIsZero) {
    std::vector<Entry> zeros = At({{100, 100}, {150, 150}, {120, 180}}, 0);
    RecordLayout layout = OneView(zeros);
    layout.views[0].fingerQuality = 0;
    Adapted a = Adapt(Build(layout));
    ASSERT_GT(a.code, 0);
    for (const Entry& e : EntriesOf(a.bytes)) EXPECT_EQ(e.quality, 100);
    EXPECT_EQ(a.bytes[26], 0) << "finger quality is kept";
    OwnedFeatureSet fs;
    ASSERT_EQ(fs.Decode(a.bytes), 0);
    for (int i = 0; i < fs.fs.minutiaCount; ++i) EXPECT_EQ(fs.minutiae[i].quality, 16);

    // One filled quality: all are kept as they are.
    std::vector<Entry> mixed = zeros;
    mixed[2].quality = 1;
    a = Adapt(Build(OneView(mixed)));
    ASSERT_GT(a.code, 0);
    const auto out = EntriesOf(a.bytes);
    EXPECT_EQ(out[0].quality, 0);
    EXPECT_EQ(out[1].quality, 0);
    EXPECT_EQ(out[2].quality, 1);
}

TEST(IsoAdaptQuality, LooksOnlyAtTheKeptEntries) {
    std::vector<std::pair<int32_t, int32_t>> points;
    for (int i = 0; i < 51; ++i) points.push_back({100 + i, 100 + i});
    std::vector<Entry> entries = At(points, 0);
    entries[50].quality = 80;  // dropped by the cap
    const Adapted a = Adapt(Build(OneView(entries)));
    ASSERT_GT(a.code, 0);
    for (const Entry& e : EntriesOf(a.bytes)) EXPECT_EQ(e.quality, 100);
}

// ---------------------------------------------------------------- resolution

TEST(IsoAdaptResolution, ScalesEachAxisToFiveHundredDpi) {
    RecordLayout layout;
    layout.resolutionX = 98;   // about 250 dpi: x roughly doubles
    layout.resolutionY = 394;  // 1000 dpi: y halves
    layout.width = 150;
    layout.height = 800;
    // x: 50 -> round(100.51) = 101, 100 -> round(201.02) = 201.
    // y: 101 -> round(50.5) = 51 (halves up), 301 -> round(150.5) = 151.
    // Box 101..201 x 51..151: cx 151 -> tx -23; cy 101 -> ty 43.
    EXPECT_EQ(Recentred({{50, 101}, {100, 301}}, layout), (Points{{78, 94}, {178, 194}}));
    layout.views = {View{At({{50, 101}, {100, 301}}), {}, 60, 1}};
    const Adapted a = Adapt(Build(layout));
    EXPECT_EQ(Get16(a.bytes, 18), 197u);
    EXPECT_EQ(Get16(a.bytes, 20), 197u);
    EXPECT_EQ(Get16(a.bytes, 14), 302u);  // round(301.53)
    EXPECT_EQ(Get16(a.bytes, 16), 400u);  // 800 / 2
}

TEST(IsoAdaptResolution, LeavesUnknownAndNativeResolutionAlone) {
    RecordLayout layout;
    layout.resolutionX = 0;
    layout.resolutionY = 197;
    layout.width = 0;
    layout.height = 400;
    EXPECT_EQ(Recentred({{100, 100}, {300, 200}}, layout), (Points{{28, 94}, {228, 194}}));
    layout.views = {View{At({{100, 100}, {300, 200}}), {}, 60, 1}};
    const Adapted a = Adapt(Build(layout));
    EXPECT_EQ(Get16(a.bytes, 18), 0u);
    EXPECT_EQ(Get16(a.bytes, 20), 197u);
    EXPECT_EQ(Get16(a.bytes, 14), 229u) << "an unknown width is raised to cover the minutiae";
    EXPECT_EQ(Get16(a.bytes, 16), 400u);
}

TEST(IsoAdaptResolution, ScalesLaterViewsWithTheSharedHeader) {
    RecordLayout layout;
    layout.resolutionX = 394;
    layout.resolutionY = 394;
    layout.views.push_back(View{At({{200, 200}, {400, 300}}), {}, 60, 1});
    View second{At({{1000, 2000}, {11, 12}}), {0xDE, 0xAD}, 70, 2};
    second.entries[0].typeCode = 2;
    second.entries[0].reserved = 1;
    layout.views.push_back(second);
    const Adapted a = Adapt(Build(layout));
    ASSERT_GT(a.code, 0);
    // First view: scaled to 100..200 x 100..150, then recentred.
    EXPECT_EQ(EntriesOf(a.bytes)[0].x, 78);
    EXPECT_EQ(EntriesOf(a.bytes)[0].y, 119);
    // Second view: only scaled, bits and everything else kept.
    const size_t second_at = 24 + 4 + 12 + 2;
    const auto later = EntriesOf(a.bytes, second_at);
    ASSERT_EQ(later.size(), 2u);
    EXPECT_EQ(later[0].x, 500);
    EXPECT_EQ(later[0].y, 1000);
    EXPECT_EQ(later[0].typeCode, 2);
    EXPECT_EQ(later[0].reserved, 1);
    EXPECT_EQ(later[1].x, 6);  // 5.5 rounds up
    EXPECT_EQ(later[1].y, 6);
    EXPECT_EQ(later[1].quality, 40) << "later views keep their qualities";
    EXPECT_EQ(a.bytes[second_at + 2], 70);
    EXPECT_EQ(Get16(a.bytes, second_at + 16), 2u);
    EXPECT_EQ(a.bytes[second_at + 18], 0xDE);
}

TEST(IsoAdaptResolution, RefusesWhatNoLongerFits) {
    RecordLayout layout;
    layout.resolutionX = 1;  // every x becomes 197 times larger
    layout.views = {View{At({{0, 0}, {100, 10}}), {}, 60, 1}};
    EXPECT_EQ(Adapt(Build(layout)).code, FPMATCH_ADAPT_OUT_OF_RANGE);
    // The first view fits once recentred, but the image size would not.
    layout.views = {View{At({{0, 0}, {1, 10}}), {}, 60, 1}};
    layout.width = 400;
    EXPECT_EQ(Adapt(Build(layout)).code, FPMATCH_ADAPT_OUT_OF_RANGE);
    layout.width = 300;
    EXPECT_GT(Adapt(Build(layout)).code, 0);  // 300 * 197 = 59100 still fits
    // A later view that would overflow once scaled.
    layout.views.push_back(View{At({{100, 0}}), {}, 60, 1});
    EXPECT_EQ(Adapt(Build(layout)).code, FPMATCH_ADAPT_OUT_OF_RANGE);
}

// ---------------------------------------------------------------- pass-through

TEST(IsoAdaptCopy, KeepsExtendedDataAndLaterViews) {
    RecordLayout layout;
    layout.views.push_back(View{At({{100, 100}, {160, 190}}), {0x00, 0x01, 0x00, 0x05, 0x07}, 55, 3});
    layout.views.push_back(View{At({{1, 2}, {299, 399}}, 0), {}, 20, 4});
    layout.views.push_back(View{{}, {0x42}, 0, 5});
    const Bytes record = Build(layout);
    const Adapted a = Adapt(record);
    ASSERT_EQ(a.code, static_cast<int32_t>(record.size()));
    // Only the first view's entries changed; the header too is unchanged here.
    const size_t entriesEnd = 24 + 4 + 12;
    EXPECT_EQ(Bytes(a.bytes.begin(), a.bytes.begin() + 28), Bytes(record.begin(), record.begin() + 28));
    EXPECT_EQ(Bytes(a.bytes.begin() + entriesEnd, a.bytes.end()),
              Bytes(record.begin() + entriesEnd, record.end()));
    EXPECT_NE(Bytes(a.bytes.begin() + 28, a.bytes.begin() + entriesEnd),
              Bytes(record.begin() + 28, record.begin() + entriesEnd));
}

TEST(IsoAdaptCopy, IgnoresBytesAfterTheRecord) {
    Bytes record = Build(OneView(At({{100, 100}, {200, 220}})));
    const Adapted plain = Adapt(record);
    record.insert(record.end(), {1, 2, 3, 4, 5});
    const Adapted padded = Adapt(record);
    ASSERT_GT(padded.code, 0);
    EXPECT_EQ(padded.bytes, plain.bytes);
}

TEST(IsoAdaptCopy, WritesExactlyTheReturnedLength) {
    std::vector<std::pair<int32_t, int32_t>> points;
    for (int i = 0; i < 55; ++i) points.push_back({100 + i, 100 + 2 * i});
    const Bytes record = Build(OneView(At(points)));
    Bytes out(record.size() + 8, 0xAA);
    const int32_t n = AdaptIsoRecord(record.data(), record.size(), out.data(), out.size());
    ASSERT_EQ(n, static_cast<int32_t>(24 + 4 + 300 + 2));
    for (size_t i = static_cast<size_t>(n); i < out.size(); ++i) EXPECT_EQ(out[i], 0xAA) << i;
    // Exactly the adapted length is enough capacity.
    Bytes exact(static_cast<size_t>(n));
    EXPECT_EQ(AdaptIsoRecord(record.data(), record.size(), exact.data(), exact.size()), n);
    EXPECT_EQ(exact, Bytes(out.begin(), out.begin() + n));
}

TEST(IsoAdaptCopy, InPlaceMatchesACopyAndIsIdempotent) {
    RecordLayout layout;
    std::vector<std::pair<int32_t, int32_t>> points;
    for (int i = 0; i < 60; ++i) points.push_back({20 + 5 * i, 300 - 3 * i});
    layout.resolutionX = 150;
    layout.views.push_back(View{At(points, 0), {9, 8, 7}, 0, 1});
    layout.views.push_back(View{At({{40, 50}}), {}, 0, 2});
    Bytes record = Build(layout);
    const Adapted copy = Adapt(record);
    ASSERT_GT(copy.code, 0);
    const int32_t n = AdaptIsoRecord(record.data(), record.size(), record.data(), record.size());
    ASSERT_EQ(n, copy.code);
    record.resize(static_cast<size_t>(n));
    EXPECT_EQ(record, copy.bytes);
    const Adapted again = Adapt(copy.bytes);
    EXPECT_EQ(again.bytes, copy.bytes) << "an adapted record adapts to itself";
    // With the x >= 1 guard active too.
    const Adapted guarded = Adapt(Build(OneView(At({{10, 20}, {900, 40}}))));
    EXPECT_EQ(Adapt(guarded.bytes).bytes, guarded.bytes);
}

// ---------------------------------------------------------------- refusals

TEST(IsoAdaptRefusal, EveryMalformedRecordHasItsOwnCode) {
    const Bytes good = Build(OneView(At({{100, 100}, {200, 200}})));
    ASSERT_EQ(Adapt(good).code, static_cast<int32_t>(good.size()));
    auto with = [&](auto change) {
        Bytes r = good;
        change(r);
        return Adapt(r);
    };
    std::map<int32_t, std::string> seen;
    auto expect = [&](const Adapted& a, int32_t code, const char* what) {
        EXPECT_EQ(a.code, code) << what;
        EXPECT_TRUE(std::all_of(a.bytes.begin(), a.bytes.end(), [](uint8_t b) { return b == 0xAA; }))
            << what << ": out must stay untouched";
        seen[a.code] = what;
    };
    expect(Adapt(Bytes(good.begin(), good.begin() + 23)), FPMATCH_ADAPT_TRUNCATED, "shorter than the header");
    expect(with([](Bytes& r) { r[2] = 'X'; }), FPMATCH_ADAPT_BAD_IDENTIFIER, "identifier");
    expect(with([](Bytes& r) { r[3] = 1; }), FPMATCH_ADAPT_BAD_IDENTIFIER, "identifier terminator");
    expect(with([](Bytes& r) { r[5] = '3'; }), FPMATCH_ADAPT_BAD_VERSION, "version 030");
    expect(with([](Bytes& r) { r[7] = ' '; }), FPMATCH_ADAPT_BAD_VERSION, "version terminator");
    expect(with([](Bytes& r) { r[11] += 1; }), FPMATCH_ADAPT_LENGTH_EXCEEDS_BUFFER, "length + 1");
    expect(with([](Bytes& r) { r[8] = 0xFF; }), FPMATCH_ADAPT_LENGTH_EXCEEDS_BUFFER, "huge length");
    expect(Adapt(Bytes(good.begin(), good.end() - 1)), FPMATCH_ADAPT_LENGTH_EXCEEDS_BUFFER, "cut short");
    expect(with([](Bytes& r) { r[22] = 0; }), FPMATCH_ADAPT_NO_VIEWS, "zero views");
    expect(with([](Bytes& r) { r[27] = 3; }), FPMATCH_ADAPT_VIEW_TRUNCATED, "entries past the end");
    expect(with([](Bytes& r) { r[27] = 255; }), FPMATCH_ADAPT_VIEW_TRUNCATED, "count 255");
    expect(with([](Bytes& r) { r[41] = 1; }), FPMATCH_ADAPT_VIEW_TRUNCATED, "extended data past the end");
    expect(with([](Bytes& r) { r[22] = 2; }), FPMATCH_ADAPT_VIEW_TRUNCATED, "second view header missing");
    expect(with([](Bytes& r) { r[11] = 20; }), FPMATCH_ADAPT_VIEW_TRUNCATED, "length inside the header");
    expect(with([](Bytes& r) {
               r.push_back(0);
               r[11] += 1;
           }),
           FPMATCH_ADAPT_LENGTH_MISMATCH, "a stray byte inside the record");
    expect(Adapt(Build(OneView({}))), FPMATCH_ADAPT_NO_MINUTIAE, "first view empty");
    expect(Adapt(good, good.size() - 1), FPMATCH_ADAPT_OUT_TOO_SMALL, "capacity");
    EXPECT_EQ(seen.size(), 9u) << "one code per kind of refusal";
    uint8_t out[64] = {};
    EXPECT_EQ(AdaptIsoRecord(good.data(), 0, out, sizeof out), FPMATCH_ADAPT_TRUNCATED);
}

TEST(IsoAdaptRefusal, CapacityIsMeasuredAgainstTheAdaptedLength) {
    std::vector<std::pair<int32_t, int32_t>> points;
    for (int i = 0; i < 52; ++i) points.push_back({100 + i, 100 + i});
    const Bytes record = Build(OneView(At(points)));
    Bytes out(24 + 4 + 300 + 2, 0);
    EXPECT_EQ(AdaptIsoRecord(record.data(), record.size(), out.data(), out.size()), 330);
    EXPECT_EQ(AdaptIsoRecord(record.data(), record.size(), out.data(), out.size() - 1),
              FPMATCH_ADAPT_OUT_TOO_SMALL);
}

TEST(IsoAdaptRefusal, NullPointers) {
    const Bytes good = Build(OneView(At({{100, 100}})));
    uint8_t out[64] = {};
    EXPECT_EQ(AdaptIsoRecord(nullptr, good.size(), out, sizeof out), FPMATCH_ADAPT_NULL_INPUT);
    EXPECT_EQ(AdaptIsoRecord(good.data(), good.size(), nullptr, 64), FPMATCH_ADAPT_NULL_INPUT);
    EXPECT_EQ(AdaptIsoRecord(nullptr, 0, nullptr, 0), FPMATCH_ADAPT_NULL_INPUT);
}

TEST(IsoAdaptRefusal, CodesAreDistinctAndNegative) {
    const int32_t codes[] = {FPMATCH_ADAPT_NULL_INPUT,       FPMATCH_ADAPT_TRUNCATED,
                             FPMATCH_ADAPT_BAD_IDENTIFIER,   FPMATCH_ADAPT_BAD_VERSION,
                             FPMATCH_ADAPT_LENGTH_EXCEEDS_BUFFER, FPMATCH_ADAPT_NO_VIEWS,
                             FPMATCH_ADAPT_VIEW_TRUNCATED,   FPMATCH_ADAPT_LENGTH_MISMATCH,
                             FPMATCH_ADAPT_NO_MINUTIAE,      FPMATCH_ADAPT_OUT_OF_RANGE,
                             FPMATCH_ADAPT_OUT_TOO_SMALL};
    for (size_t i = 0; i < std::size(codes); ++i) {
        EXPECT_LT(codes[i], 0);
        for (size_t j = i + 1; j < std::size(codes); ++j) EXPECT_NE(codes[i], codes[j]);
    }
}

// Every prefix and every single-byte corruption of a multi-view record is
// either refused or adapted into something the decoder and CheckTemplate
// accept; nothing reads or writes outside the buffers (see the sanitizer run).
TEST(IsoAdaptRefusal, SurvivesEveryPrefixAndByteCorruption) {
    RecordLayout layout;
    layout.views.push_back(View{At({{100, 100}, {156, 188}, {20, 30}}), {1, 2, 3}, 55, 3});
    layout.views.push_back(View{At({{1, 2}}), {}, 20, 4});
    const Bytes record = Build(layout);
    auto check = [](const Bytes& r) {
        const Adapted a = Adapt(r, 512);
        if (a.code < 0) return;
        ASSERT_EQ(Get32(a.bytes, 8), a.bytes.size());
        ASSERT_EQ(CheckTemplate(a.bytes.data(), a.bytes.size()), 0);
        OwnedFeatureSet fs;
        ASSERT_EQ(fs.Decode(a.bytes), 0);
        for (int i = 0; i < fs.fs.minutiaCount; ++i) {
            EXPECT_GE(fs.minutiae[i].x, 1);
            EXPECT_GE(fs.minutiae[i].y, 0);
        }
    };
    for (size_t n = 0; n <= record.size(); ++n) {
        Bytes prefix(record.begin(), record.begin() + static_cast<long>(n));
        check(prefix);
    }
    for (size_t at = 0; at < record.size(); ++at) {
        for (int v : {0x00, 0x01, 0x3F, 0x80, 0xFF}) {
            Bytes r = record;
            r[at] = static_cast<uint8_t>(v);
            check(r);
        }
    }
}

// ---------------------------------------------------------------- real records

TEST(IsoAdaptFvc, EveryRecordAdaptsAndDecodes) {
    FPMATCH_REQUIRE_FVC(all);
    int capped = 0;
    for (const auto& t : all) {
        SCOPED_TRACE(t.path.string());
        const Adapted a = Adapt(t.bytes);
        ASSERT_GT(a.code, 0);
        const size_t declared = t.bytes[27];
        const size_t kept = std::min<size_t>(declared, 50);
        capped += declared > 50;
        EXPECT_EQ(a.bytes.size(), t.bytes.size() - 6 * (declared - kept));
        EXPECT_EQ(CheckTemplate(a.bytes.data(), a.bytes.size()), 0);
        OwnedFeatureSet fs;
        ASSERT_EQ(fs.Decode(a.bytes), 0);
        ASSERT_EQ(fs.fs.minutiaCount, static_cast<int8_t>(kept));
        int32_t lowX = 1 << 20, highX = -1, lowY = 1 << 20, highY = -1;
        for (int i = 0; i < fs.fs.minutiaCount; ++i) {
            const Minutia& m = fs.minutiae[i];
            lowX = std::min(lowX, m.x);
            highX = std::max(highX, m.x);
            lowY = std::min(lowY, m.y);
            highY = std::max(highY, m.y);
            EXPECT_EQ(m.quality, 16) << "every FVC quality byte is 0 and is filled";
        }
        EXPECT_GE(lowX, 1);
        EXPECT_GE(lowY, 0);
        // Either centred (floored) or held by a guard.
        EXPECT_TRUE((lowX + highX) / 2 == 128 || lowX == 1);
        EXPECT_TRUE((lowY + highY) / 2 == 144 || lowY == 0);
        EXPECT_EQ(Adapt(a.bytes).bytes, a.bytes);
    }
    EXPECT_EQ(capped, 17);
}

// Adaptation is a byte transform: scoring adapted records goes through the
// unchanged matcher, whichever buffer holds the bytes.
TEST(IsoAdaptFvc, ScoresOfAdaptedRecordsComeFromTheBytesAlone) {
    FPMATCH_REQUIRE_FVC(all);
    for (size_t i = 0; i + 1 < all.size(); i += 7) {
        const auto& a = all[i];
        const auto& b = all[i + 1];
        SCOPED_TRACE(a.path.string() + " vs " + b.path.string());
        // Adapter output buffers, larger than the records and padded with 0xAA.
        Bytes outA(1024, 0xAA), outB(1024, 0xAA);
        const int32_t na = AdaptIsoRecord(a.bytes.data(), a.bytes.size(), outA.data(), outA.size());
        const int32_t nb = AdaptIsoRecord(b.bytes.data(), b.bytes.size(), outB.data(), outB.size());
        ASSERT_GT(na, 0);
        ASSERT_GT(nb, 0);
        const int32_t viaBuffers = Match2Score(outA.data(), outB.data());
        // The same bytes, in exact-size copies and adapted in place.
        Bytes exactA(outA.begin(), outA.begin() + na), exactB(outB.begin(), outB.begin() + nb);
        Bytes inPlaceA = a.bytes, inPlaceB = b.bytes;
        ASSERT_EQ(AdaptIsoRecord(inPlaceA.data(), inPlaceA.size(), inPlaceA.data(), inPlaceA.size()), na);
        ASSERT_EQ(AdaptIsoRecord(inPlaceB.data(), inPlaceB.size(), inPlaceB.data(), inPlaceB.size()), nb);
        EXPECT_EQ(Match2Score(exactA.data(), exactB.data()), viaBuffers);
        EXPECT_EQ(Match2Score(inPlaceA.data(), inPlaceB.data()), viaBuffers);
        EXPECT_EQ(Match2Fp(exactA.data(), exactB.data()), viaBuffers);
    }
}

// ---------------------------------------------------------------- measured effect

struct Metrics {
    double eer, fmr100, fmr1000, zeroFmr;
};

// Error rates over integer scores, a comparison accepted when its score
// reaches the threshold. EER as in the FVC reports: the midpoint of the
// interval where the FNMR and FMR curves cross.
Metrics Measure(const std::vector<int32_t>& genuine, const std::vector<int32_t>& impostor) {
    auto fmr = [&](int t) {
        return static_cast<double>(std::count_if(impostor.begin(), impostor.end(), [t](int32_t s) { return s >= t; })) /
               static_cast<double>(impostor.size());
    };
    auto fnmr = [&](int t) {
        return static_cast<double>(std::count_if(genuine.begin(), genuine.end(), [t](int32_t s) { return s < t; })) /
               static_cast<double>(genuine.size());
    };
    constexpr int kLow = 0, kHigh = 101;  // scores are 0..100
    int t1 = kLow, t2 = kHigh;
    for (int t = kLow; t <= kHigh; ++t)
        if (fnmr(t) <= fmr(t)) t1 = t;
    for (int t = kHigh; t >= kLow; --t)
        if (fnmr(t) >= fmr(t)) t2 = t;
    double low, high;
    if (fnmr(t1) + fmr(t1) <= fnmr(t2) + fmr(t2)) {
        low = fnmr(t1);
        high = fmr(t1);
    } else {
        low = fmr(t2);
        high = fnmr(t2);
    }
    Metrics m{(low + high) / 2, 1, 1, 1};
    for (int t = kLow; t <= kHigh; ++t) {
        const double a = fmr(t), r = fnmr(t);
        if (a <= 0.01) m.fmr100 = std::min(m.fmr100, r);
        if (a <= 0.001) m.fmr1000 = std::min(m.fmr1000, r);
        if (a == 0) m.zeroFmr = std::min(m.zeroFmr, r);
    }
    return m;
}

// Prints the error rates of the four databases, records as they are and
// adapted. Genuine: every pair of impressions of a finger once (28 per finger,
// 280 per database). Impostor: every pair of templates of different fingers
// once (2880 per database). Each pair is scored once, earlier template first.
TEST(IsoAdaptFvc, ReportsErrorRatesAsIsAndAdapted) {
    FPMATCH_REQUIRE_FVC(all);
    std::map<std::string, std::vector<const fpmatch::test::FvcTemplate*>> byDatabase;
    for (const auto& t : all) byDatabase[t.database].push_back(&t);

    Metrics sum[2] = {};
    bool anyScore = false;
    std::printf("%-6s %-8s %7s %7s %8s %8s  (genuine/impostor)\n", "DB", "reading", "EER", "FMR100", "FMR1000",
                "ZeroFMR");
    for (const auto& [database, templates] : byDatabase) {
        // Adapted copies; a record that cannot be adapted keeps an empty buffer
        // and scores 0.
        std::vector<Bytes> adapted;
        for (const auto* t : templates) {
            Adapted a = Adapt(t->bytes, t->bytes.size());
            adapted.push_back(a.code > 0 ? a.bytes : Bytes());
        }
        for (int reading = 0; reading < 2; ++reading) {
            std::vector<int32_t> genuine, impostor;
            for (size_t i = 0; i < templates.size(); ++i) {
                for (size_t j = i + 1; j < templates.size(); ++j) {
                    const Bytes& a = reading == 0 ? templates[i]->bytes : adapted[i];
                    const Bytes& b = reading == 0 ? templates[j]->bytes : adapted[j];
                    const int32_t score = a.empty() || b.empty() ? 0 : Match2Score(a.data(), b.data());
                    anyScore = anyScore || score > 0;
                    (templates[i]->finger == templates[j]->finger ? genuine : impostor).push_back(score);
                }
            }
            EXPECT_EQ(genuine.size(), 280u);
            EXPECT_EQ(impostor.size(), 2880u);
            const Metrics m = Measure(genuine, impostor);
            sum[reading].eer += m.eer / 4;
            sum[reading].fmr100 += m.fmr100 / 4;
            sum[reading].fmr1000 += m.fmr1000 / 4;
            sum[reading].zeroFmr += m.zeroFmr / 4;
            std::printf("%-6s %-8s %6.2f%% %6.2f%% %7.2f%% %7.2f%%  (%zu/%zu)\n", database.c_str(),
                        reading == 0 ? "as-is" : "adapted", 100 * m.eer, 100 * m.fmr100, 100 * m.fmr1000,
                        100 * m.zeroFmr, genuine.size(), impostor.size());
        }
    }
    for (int reading = 0; reading < 2; ++reading) {
        const Metrics& m = sum[reading];
        std::printf("%-6s %-8s %6.2f%% %6.2f%% %7.2f%% %7.2f%%\n", "mean", reading == 0 ? "as-is" : "adapted",
                    100 * m.eer, 100 * m.fmr100, 100 * m.fmr1000, 100 * m.zeroFmr);
    }
    std::fflush(stdout);
    // A matcher that scores every pair 0 is a total regression, not a reason
    // to skip.
    ASSERT_TRUE(anyScore) << "the matcher gave no score above 0 on any FVC2002 pair";
    EXPECT_LT(sum[1].eer, sum[0].eer) << "adaptation should lower the mean EER";
}

}  // namespace
