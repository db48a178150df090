// Template writers: native and short templates from decoded feature sets.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "test_support.h"

namespace {

using fpmatch::test::Bytes;
using fpmatch::test::OwnedFeatureSet;

// A feature set of `count` minutiae covering the fields' ranges: x from
// -256 (or 0) upwards, y to 511, angles including 0, 360 and 511, every
// quality 0..15, both types.
void Fill(OwnedFeatureSet& o, int count, bool nonNegativeX) {
    std::vector<Minutia> list;
    for (int i = 0; i < count; ++i) {
        Minutia m{};
        m.x = nonNegativeX ? (i * 97) % 512 : (i * 97) % 512 - 256;
        m.y = (i * 211 + 3) % 512;
        m.angle = i == 1 ? 360 : i == 2 ? 511 : (i * 37) % 512;
        m.quality = static_cast<uint8_t>(i % 16);
        m.type = static_cast<uint8_t>(i % 2);
        list.push_back(m);
    }
    o.Set(list, 77);
    o.fs.format = 9;
}

void ExpectSameMinutia(const Minutia& a, const Minutia& b, int i) {
    EXPECT_EQ(a.x, b.x) << i;
    EXPECT_EQ(a.y, b.y) << i;
    EXPECT_EQ(a.angle, b.angle) << i;
    EXPECT_EQ(a.quality, b.quality) << i;
    EXPECT_EQ(a.type, b.type) << i;
}

struct ShortRead {
    int16_t count = 0, format = 0, quality = 0;
    ShortMinutia m[50]{};
};

ShortRead ReadShort(const Bytes& t) {
    int32_t words[256];
    for (int k = 0; k < 256; ++k) words[k] = t[2 * k] << 8 | t[2 * k + 1];
    ShortRead r;
    XpdShortChar(words, r.m, &r.count, &r.format, &r.quality, nullptr);
    return r;
}

void ExpectSameAsShort(const Minutia& a, const ShortMinutia& b, int i) {
    EXPECT_EQ(a.x, b.x) << i;
    EXPECT_EQ(a.y, b.y) << i;
    EXPECT_EQ(a.angle, b.angle) << i;
    EXPECT_EQ(a.quality, b.quality) << i;
    EXPECT_EQ(a.type, b.type) << i;
}

// ---- Native ------------------------------------------------------------------

TEST(WriteNativeTemplate, DecodesBackToTheSameFirst25Minutiae) {
    for (int count : {1, 24, 25, 26, 50}) {
        SCOPED_TRACE(count);
        OwnedFeatureSet source;
        Fill(source, count, false);
        source.singular[0] = {20, 40};
        source.singular[1] = {0, 2};
        Bytes t(256, 0xEE);
        const int32_t written = WriteNativeTemplate(&source.fs, t.data(), t.size());
        ASSERT_EQ(written, 56 + 4 * count);
        EXPECT_EQ(t[0], 3);
        EXPECT_EQ(t[1], 9);
        EXPECT_EQ(t[2], 77);
        EXPECT_EQ(t[3], count);
        for (size_t b = static_cast<size_t>(written); b < t.size(); ++b) ASSERT_EQ(t[b], 0xEE) << b;
        OwnedFeatureSet back;
        ASSERT_EQ(back.Decode(t), 0);
        ASSERT_EQ(back.fs.minutiaCount, count < 25 ? count : 25);
        EXPECT_EQ(back.fs.format, 9);
        EXPECT_EQ(back.fs.quality, 77);
        for (int i = 0; i < back.fs.minutiaCount; ++i) ExpectSameMinutia(source.minutiae[i], back.minutiae[i], i);
        EXPECT_EQ(back.singular[0].x, 20);
        EXPECT_EQ(back.singular[0].y, 40);
        EXPECT_EQ(back.singular[1].x, 0);
        EXPECT_EQ(back.singular[1].y, 2);  // the (0, 2) marker survives
        // Minutiae 25..49 are written even though the decoder stops at 25.
        if (count == 50) {
            const uint32_t w = static_cast<uint32_t>(t[56 + 4 * 49]) << 24 | t[57 + 4 * 49] << 16 |
                               t[58 + 4 * 49] << 8 | t[59 + 4 * 49];
            EXPECT_EQ(w, fpmatch::test::PackNative(source.minutiae[49].x, source.minutiae[49].y,
                                                   source.minutiae[49].angle, source.minutiae[49].quality,
                                                   source.minutiae[49].type));
        }
    }
}

TEST(WriteNativeTemplate, RewritesADecodedTemplateByteForByte) {
    const auto finger = fpmatch::samples::MakeFinger(42, 25);
    const Bytes original = fpmatch::samples::MakeNativeTemplate(finger, 88, {100, 120}, {30, 200});
    OwnedFeatureSet decoded;
    ASSERT_EQ(decoded.Decode(original), 0);
    Bytes again(original.size());
    ASSERT_EQ(WriteNativeTemplate(&decoded.fs, again.data(), again.size()), static_cast<int32_t>(original.size()));
    EXPECT_EQ(again, original);
}

TEST(WriteNativeTemplate, MaskIsTheInverseOfItsExpansion) {
    OwnedFeatureSet source;
    Fill(source, 5, false);
    // A random 2 x 2-cell pattern in the inner area, garbage in the ring.
    fpmatch::samples::Random random(7);
    std::memset(source.gnd.cells, 1, sizeof source.gnd.cells);
    for (int w = 0; w < 17; ++w) {
        for (int k = 0; k < 15; ++k) {
            const uint8_t bit = static_cast<uint8_t>(random.Next() & 1u);
            for (int dr = 1; dr <= 2; ++dr)
                for (int dc = 1; dc <= 2; ++dc) source.gnd.cells[(2 * w + dr) * 32 + 2 * k + dc] = bit;
        }
    }
    for (int c = 0; c < 32; ++c) source.gnd.cells[c] = 0;
    Bytes t(256);
    ASSERT_GT(WriteNativeTemplate(&source.fs, t.data(), t.size()), 0);
    EXPECT_EQ(t[7] & 1, 0);  // bit 0 of a mask word is unused
    OwnedFeatureSet back;
    ASSERT_EQ(back.Decode(t), 0);
    for (int r = 0; r < 36; ++r) {
        for (int c = 0; c < 32; ++c) {
            const bool ring = r == 0 || r == 35 || c == 0 || c == 31;
            ASSERT_EQ(back.gnd.cells[r * 32 + c], ring ? 1 : source.gnd.cells[r * 32 + c]) << r << "," << c;
        }
    }
    // A square with any foreground cell is written as foreground.
    std::memset(source.gnd.cells, 0, sizeof source.gnd.cells);
    source.gnd.cells[1 * 32 + 1] = 1;
    source.gnd.cells[1 * 32 + 2] = 1;
    source.gnd.cells[2 * 32 + 1] = 1;
    source.gnd.cells[1 * 32 + 3] = 1;  // next square: all four background
    source.gnd.cells[1 * 32 + 4] = 1;
    source.gnd.cells[2 * 32 + 3] = 1;
    source.gnd.cells[2 * 32 + 4] = 1;
    ASSERT_GT(WriteNativeTemplate(&source.fs, t.data(), t.size()), 0);
    EXPECT_EQ(t[6], 0x40);
    EXPECT_EQ(t[7], 0x00);
}

TEST(WriteNativeTemplate, SingularPointsAreHalved) {
    OwnedFeatureSet source;
    Fill(source, 3, false);
    source.singular[0] = {21, 511};
    source.singular[1] = {510, 0};
    source.singular[2] = {77, 77};  // no place for a third point
    Bytes t(256, 0);
    ASSERT_GT(WriteNativeTemplate(&source.fs, t.data(), t.size()), 0);
    EXPECT_EQ(t[40], 10);
    EXPECT_EQ(t[41], 255);
    EXPECT_EQ(t[42], 255);
    EXPECT_EQ(t[43], 0);
    for (int b = 44; b < 56; ++b) EXPECT_EQ(t[b], 0) << b;
    EXPECT_EQ(t[4], 0);
    EXPECT_EQ(t[5], 0);
}

// ---- Short ---------------------------------------------------------------------

TEST(WriteShortTemplate, ReadsBackAllMinutiae) {
    for (int count : {1, 25, 50}) {
        SCOPED_TRACE(count);
        OwnedFeatureSet source;
        Fill(source, count, true);
        source.singular[0] = {20, 40};
        Bytes t(600, 0xEE);
        ASSERT_EQ(WriteShortTemplate(&source.fs, t.data(), t.size()), 512);
        EXPECT_EQ(t[0], 3);
        EXPECT_EQ(t[1], 1);  // the screening marker, whatever the format field
        EXPECT_EQ(t[2], 77);
        EXPECT_EQ(t[3], count);
        for (int b = 4; b < 56; ++b) ASSERT_EQ(t[b], 0) << b;
        for (int b = 56 + 4 * count; b < 512; ++b) ASSERT_EQ(t[b], 0) << b;
        for (int b = 512; b < 600; ++b) ASSERT_EQ(t[b], 0xEE) << b;
        const ShortRead r = ReadShort(t);
        EXPECT_EQ(r.count, count);
        EXPECT_EQ(r.format, 1);
        EXPECT_EQ(r.quality, 77);
        for (int i = 0; i < count; ++i) ExpectSameAsShort(source.minutiae[i], r.m[i], i);
    }
}

TEST(WriteShortTemplate, PassesTheScreeningMarkerTest) {
    OwnedFeatureSet source;
    std::vector<Minutia> finger = fpmatch::samples::MakeFinger(3, 30);
    source.Set(finger);
    Bytes t(512);
    ASSERT_EQ(WriteShortTemplate(&source.fs, t.data(), t.size()), 512);
    int32_t best[32];
    ASSERT_EQ(QuickSort(t.data(), t.data(), 1, best), 1);
    EXPECT_EQ(best[0], 0);
}

// ---- Both: ISO round trips and refusals ----------------------------------------

TEST(TemplateWriters, IsoRecordRoundTrips) {
    const auto finger = fpmatch::samples::MakeFinger(11, 40);
    const Bytes iso = fpmatch::samples::MakeIsoRecord(finger, 55);
    OwnedFeatureSet decoded;
    ASSERT_EQ(decoded.Decode(iso), 0);
    ASSERT_EQ(decoded.fs.minutiaCount, 40);
    Bytes s(512);
    ASSERT_EQ(WriteShortTemplate(&decoded.fs, s.data(), s.size()), 512);
    const ShortRead r = ReadShort(s);
    ASSERT_EQ(r.count, 40);
    bool sawQuality16 = false;
    for (int i = 0; i < 40; ++i) {
        Minutia expected = decoded.minutiae[i];
        if (expected.quality > 15) {
            sawQuality16 = true;
            expected.quality = 15;  // saturated
        }
        ExpectSameAsShort(expected, r.m[i], i);
    }
    EXPECT_TRUE(sawQuality16);  // ISO quality 100 decodes to 16

    Bytes n(256);
    ASSERT_EQ(WriteNativeTemplate(&decoded.fs, n.data(), n.size()), 56 + 4 * 40);
    OwnedFeatureSet back;
    ASSERT_EQ(back.Decode(n), 0);
    EXPECT_EQ(back.fs.format, 1);
    EXPECT_EQ(back.fs.quality, 55);
    ASSERT_EQ(back.fs.minutiaCount, 25);
    for (int i = 0; i < 25; ++i) {
        Minutia expected = decoded.minutiae[i];
        if (expected.quality > 15) expected.quality = 15;
        ExpectSameMinutia(expected, back.minutiae[i], i);
    }
}

TEST(TemplateWriters, FvcRecordsWriteAsShortTemplates) {
    FPMATCH_REQUIRE_FVC(fvc);
    int native = 0, nativeRefused = 0;
    for (const auto& t : fvc) {
        Bytes iso = t.bytes;
        if (iso[27] > 50) iso[27] = 50;  // keep the first 50 minutiae
        OwnedFeatureSet decoded;
        ASSERT_EQ(decoded.Decode(iso), 0) << t.path;
        Bytes s(512);
        ASSERT_EQ(WriteShortTemplate(&decoded.fs, s.data(), s.size()), 512) << t.path;
        const ShortRead r = ReadShort(s);
        ASSERT_EQ(r.count, decoded.fs.minutiaCount);
        for (int i = 0; i < r.count; ++i) ExpectSameAsShort(decoded.minutiae[i], r.m[i], i);
        // The native x field stops at 255; FVC images are 300 pixels wide.
        bool wide = false;
        for (int i = 0; i < decoded.fs.minutiaCount; ++i) wide = wide || decoded.minutiae[i].x > 255;
        Bytes n(256);
        const int32_t code = WriteNativeTemplate(&decoded.fs, n.data(), n.size());
        if (wide) {
            EXPECT_EQ(code, FPMATCH_WRITE_BAD_POSITION) << t.path;
            ++nativeRefused;
        } else {
            ASSERT_EQ(code, 56 + 4 * decoded.fs.minutiaCount) << t.path;
            OwnedFeatureSet back;
            ASSERT_EQ(back.Decode(n), 0);
            for (int i = 0; i < back.fs.minutiaCount; ++i) ExpectSameMinutia(decoded.minutiae[i], back.minutiae[i], i);
            ++native;
        }
    }
    std::printf("[ FVC      ] native templates written: %d, refused for x above 255: %d\n", native, nativeRefused);
}

using Writer = int32_t (*)(const FeatureSet*, uint8_t*, size_t);

// Expects `code` and an untouched buffer.
void ExpectRefused(Writer write, const FeatureSet* fs, int32_t code, size_t length = 512) {
    Bytes t(512, 0xEE);
    EXPECT_EQ(write(fs, t.data(), length), code);
    EXPECT_EQ(t, Bytes(512, 0xEE));
}

TEST(TemplateWriters, RefuseWhatDoesNotFit) {
    for (Writer write : {&WriteNativeTemplate, &WriteShortTemplate}) {
        const bool isNative = write == &WriteNativeTemplate;
        SCOPED_TRACE(isNative ? "native" : "short");
        OwnedFeatureSet o;
        Fill(o, 10, true);
        for (auto& m : o.minutiae) m.x &= 0xFF;  // fits both
        Bytes t(512);
        ASSERT_GT(write(&o.fs, t.data(), t.size()), 0);

        EXPECT_EQ(write(nullptr, t.data(), t.size()), FPMATCH_WRITE_NULL_INPUT);
        EXPECT_EQ(write(&o.fs, nullptr, 512), FPMATCH_WRITE_NULL_INPUT);
        {
            FeatureSet copy = o.fs;
            copy.minutiae = nullptr;
            ExpectRefused(write, &copy, FPMATCH_WRITE_NULL_INPUT);
        }
        // Too small by one byte; exactly enough succeeds.
        const size_t needed = isNative ? 56 + 4 * 10 : 512;
        ExpectRefused(write, &o.fs, FPMATCH_WRITE_TOO_SMALL, needed - 1);
        ExpectRefused(write, &o.fs, FPMATCH_WRITE_TOO_SMALL, 0);
        EXPECT_GT(write(&o.fs, t.data(), needed), 0);

        for (int count : {0, -1, 51, -128}) {
            o.fs.minutiaCount = static_cast<int8_t>(count);
            ExpectRefused(write, &o.fs, FPMATCH_WRITE_BAD_COUNT);
        }
        o.fs.minutiaCount = 10;

        struct FieldCase {
            int32_t Minutia::*field;
            int32_t value;
            int32_t code;  // 0: accepted
        };
        const std::vector<FieldCase> cases{
            {&Minutia::x, -1, isNative ? 0 : FPMATCH_WRITE_BAD_POSITION},
            {&Minutia::x, -256, isNative ? 0 : FPMATCH_WRITE_BAD_POSITION},
            {&Minutia::x, -257, FPMATCH_WRITE_BAD_POSITION},
            {&Minutia::x, 255, 0},
            {&Minutia::x, 256, isNative ? FPMATCH_WRITE_BAD_POSITION : 0},
            {&Minutia::x, 511, isNative ? FPMATCH_WRITE_BAD_POSITION : 0},
            {&Minutia::x, 512, FPMATCH_WRITE_BAD_POSITION},
            {&Minutia::y, -1, FPMATCH_WRITE_BAD_POSITION},
            {&Minutia::y, 511, 0},
            {&Minutia::y, 512, FPMATCH_WRITE_BAD_POSITION},
            {&Minutia::y, 16383, FPMATCH_WRITE_BAD_POSITION},
            {&Minutia::angle, -1, FPMATCH_WRITE_BAD_ANGLE},
            {&Minutia::angle, 360, 0},
            {&Minutia::angle, 511, 0},
            {&Minutia::angle, 512, FPMATCH_WRITE_BAD_ANGLE},
        };
        for (const FieldCase& c : cases) {
            SCOPED_TRACE(testing::Message() << "value " << c.value);
            const int32_t saved = o.minutiae[9].*c.field;
            o.minutiae[9].*c.field = c.value;
            if (c.code == 0) {
                Bytes out(512, 0);
                ASSERT_GT(write(&o.fs, out.data(), out.size()), 0);
                if (isNative) {
                    OwnedFeatureSet back;
                    ASSERT_EQ(back.Decode(out), 0);
                    EXPECT_EQ(back.minutiae[9].*c.field, c.value);
                } else {
                    const ShortRead r = ReadShort(out);
                    const int16_t got = c.field == &Minutia::x ? r.m[9].x : c.field == &Minutia::y ? r.m[9].y : r.m[9].angle;
                    EXPECT_EQ(got, c.value);
                }
            } else {
                ExpectRefused(write, &o.fs, c.code);
            }
            o.minutiae[9].*c.field = saved;
        }
        // Types a single bit cannot hold.
        for (int type : {2, 255}) {
            o.minutiae[0].type = static_cast<uint8_t>(type);
            ExpectRefused(write, &o.fs, FPMATCH_WRITE_BAD_TYPE);
        }
        o.minutiae[0].type = 1;
        // Qualities above 15 saturate.
        o.minutiae[3].quality = 16;
        o.minutiae[4].quality = 255;
        Bytes out(512, 0);
        ASSERT_GT(write(&o.fs, out.data(), out.size()), 0);
        if (isNative) {
            OwnedFeatureSet back;
            ASSERT_EQ(back.Decode(out), 0);
            EXPECT_EQ(back.minutiae[3].quality, 15);
            EXPECT_EQ(back.minutiae[4].quality, 15);
            EXPECT_EQ(back.minutiae[5].quality, o.minutiae[5].quality);
        } else {
            const ShortRead r = ReadShort(out);
            EXPECT_EQ(r.m[3].quality, 15);
            EXPECT_EQ(r.m[4].quality, 15);
        }
        // Only the counted minutiae are checked.
        o.fs.minutiaCount = 9;
        o.minutiae[9].angle = 9999;
        EXPECT_GT(write(&o.fs, out.data(), out.size()), 0);
    }
}

TEST(WriteNativeTemplate, RefusesSingularPointsAndMissingStorage) {
    OwnedFeatureSet o;
    Fill(o, 4, false);
    for (SingularPoint bad : {SingularPoint{-2, 0}, SingularPoint{0, -1}, SingularPoint{512, 0}, SingularPoint{0, 600}}) {
        o.singular[1] = bad;
        ExpectRefused(&WriteNativeTemplate, &o.fs, FPMATCH_WRITE_BAD_SINGULAR);
        o.singular[1] = {0, 0};
        o.singular[0] = bad;
        ExpectRefused(&WriteNativeTemplate, &o.fs, FPMATCH_WRITE_BAD_SINGULAR);
        o.singular[0] = {0, 0};
    }
    FeatureSet copy = o.fs;
    copy.gndTable = nullptr;
    ExpectRefused(&WriteNativeTemplate, &copy, FPMATCH_WRITE_NULL_INPUT);
    copy = o.fs;
    copy.singularPoints = nullptr;
    ExpectRefused(&WriteNativeTemplate, &copy, FPMATCH_WRITE_NULL_INPUT);
    // The short template needs neither.
    copy.gndTable = nullptr;
    Bytes t(512);
    EXPECT_EQ(WriteShortTemplate(&copy, t.data(), t.size()), FPMATCH_WRITE_BAD_POSITION);  // negative x
    for (int i = 0; i < 4; ++i) o.minutiae[i].x = 10 * i;
    copy = o.fs;
    copy.gndTable = nullptr;
    copy.singularPoints = nullptr;
    EXPECT_EQ(WriteShortTemplate(&copy, t.data(), t.size()), 512);
}

}  // namespace
