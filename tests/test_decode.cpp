// Template decoding: dispatch, native templates, ISO records, mask, block
// quality map, buffer checks and the real FVC2002 records.
#include <gtest/gtest.h>

#include <cstring>

#include "test_support.h"

namespace {

using fpmatch::test::Bytes;
using fpmatch::test::IsoHeader;
using fpmatch::test::NativeHeader;
using fpmatch::test::OwnedFeatureSet;
using fpmatch::test::PackNative;
using fpmatch::test::PutIsoMinutia;
using fpmatch::test::PutNativeMinutia;

Minutia DecodeOneNative(uint32_t word) {
    Bytes t = NativeHeader(1);
    PutNativeMinutia(t, 0, word);
    OwnedFeatureSet f;
    EXPECT_EQ(f.Decode(t), 0);
    return f.minutiae[0];
}

Minutia DecodeOneIso(std::initializer_list<uint8_t> entry) {
    Bytes r = IsoHeader(1);
    PutIsoMinutia(r, 0, std::data(entry));
    OwnedFeatureSet f;
    EXPECT_EQ(f.Decode(r), 0);
    return f.minutiae[0];
}

TEST(NativeDecoding, ResultCodes) {
    OwnedFeatureSet f;
    Bytes t = NativeHeader(5);
    t[0] = 2;
    EXPECT_EQ(f.Decode(t), 1);
    for (int count : {0, 51, 128, 200, 255}) {
        t = NativeHeader(static_cast<uint8_t>(count));
        EXPECT_EQ(f.Decode(t), 2) << count;
    }
    // 'F' followed by anything but 'M' goes the native way and fails there.
    t = NativeHeader(5);
    t[0] = 'F';
    t[1] = 'X';
    EXPECT_EQ(f.Decode(t), 1);
}

TEST(NativeDecoding, CountAbove25KeepsTheFirst25) {
    for (int declared : {25, 30, 50}) {
        Bytes t = NativeHeader(static_cast<uint8_t>(declared));
        for (int i = 0; i < 50; ++i) PutNativeMinutia(t, i, PackNative(i + 1, 2 * i, i, 3, i & 1));
        OwnedFeatureSet f;
        ASSERT_EQ(f.Decode(t), 0);
        EXPECT_EQ(f.fs.minutiaCount, 25);
        for (int i = 0; i < 25; ++i) {
            EXPECT_EQ(f.minutiae[i].x, i + 1);
            EXPECT_EQ(f.minutiae[i].y, 2 * i);
            EXPECT_EQ(f.minutiae[i].angle, i);
        }
    }
}

TEST(NativeDecoding, PackedWords) {
    Minutia m = DecodeOneNative(0x40248C95);
    EXPECT_EQ(m.x, 128);
    EXPECT_EQ(m.y, 146);
    EXPECT_EQ(m.angle, 100);
    EXPECT_EQ(m.quality, 10);
    EXPECT_EQ(m.type, 1);
    m = DecodeOneNative(0xFF800000);
    EXPECT_EQ(m.x, -1);
    EXPECT_EQ(m.y, 0);
    EXPECT_EQ(m.angle, 0);
    EXPECT_EQ(m.quality, 0);
    EXPECT_EQ(m.type, 0);
    EXPECT_EQ(DecodeOneNative(0x80000000).x, -256);
    // Every field at its maximum: angles are not reduced by the decoder.
    m = DecodeOneNative(0x7FFFFFFF);
    EXPECT_EQ(m.x, 255);
    EXPECT_EQ(m.y, 511);
    EXPECT_EQ(m.angle, 511);
    EXPECT_EQ(m.quality, 15);
}

TEST(NativeDecoding, HeaderFieldsAndSingularPoints) {
    Bytes t = NativeHeader(1, 77);
    t[1] = 9;
    t[40] = 10;
    t[41] = 20;
    PutNativeMinutia(t, 0, PackNative(100, 100, 0, 5, 0));
    OwnedFeatureSet f;
    f.singular[2] = {7, 7};
    ASSERT_EQ(f.Decode(t), 0);
    EXPECT_EQ(f.fs.format, 9);
    EXPECT_EQ(f.fs.quality, 77);
    EXPECT_EQ(f.fs.width, 256);
    EXPECT_EQ(f.fs.height, 288);
    EXPECT_EQ(f.singular[0].x, 20);
    EXPECT_EQ(f.singular[0].y, 40);
    EXPECT_EQ(f.singular[1].x, 0);
    EXPECT_EQ(f.singular[1].y, 0);
    EXPECT_EQ(f.singular[2].x, 0);
    EXPECT_EQ(f.singular[2].y, 0);
    t[42] = 0;
    t[43] = 1;  // the marker entry
    ASSERT_EQ(f.Decode(t), 0);
    EXPECT_EQ(f.singular[1].x, 0);
    EXPECT_EQ(f.singular[1].y, 2);
}

TEST(NativeDecoding, MaskWords) {
    Bytes t = NativeHeader(1);
    PutNativeMinutia(t, 0, PackNative(100, 100, 0, 5, 0));
    OwnedFeatureSet f;
    ASSERT_EQ(f.Decode(t), 0);
    for (int row = 0; row < 36; ++row) {
        for (int col = 0; col < 32; ++col) {
            const bool ring = row == 0 || row == 35 || col == 0 || col == 31;
            ASSERT_EQ(f.gnd.cells[row * 32 + col], ring ? 1 : 0) << row << "," << col;
        }
    }
    t[6] = 0x80;  // word 0, bit 15: rows 1-2, columns 1-2
    ASSERT_EQ(f.Decode(t), 0);
    for (int row = 1; row <= 34; ++row)
        for (int col = 1; col <= 30; ++col)
            ASSERT_EQ(f.gnd.cells[row * 32 + col], (row <= 2 && col <= 2) ? 1 : 0) << row << "," << col;
    // Last word, bit 1 (k = 14): rows 33-34, columns 29-30.
    t[6] = 0;
    t[6 + 32] = 0x00;
    t[7 + 32] = 0x02;
    ASSERT_EQ(f.Decode(t), 0);
    EXPECT_EQ(f.gnd.cells[33 * 32 + 29], 1);
    EXPECT_EQ(f.gnd.cells[34 * 32 + 30], 1);
    EXPECT_EQ(f.gnd.cells[32 * 32 + 29], 0);
}

TEST(IsoDecoding, Entries) {
    Minutia m = DecodeOneIso({0x40, 0x64, 0x00, 0xC8, 0x40, 0x3C});
    EXPECT_EQ(m.type, 0);
    EXPECT_EQ(m.x, 100);
    EXPECT_EQ(m.y, 200);
    EXPECT_EQ(m.angle, 270);
    EXPECT_EQ(m.quality, 9);
    m = DecodeOneIso({0x80, 0x0A, 0xC0, 0x14, 0x00, 0x64});
    EXPECT_EQ(m.type, 1);
    EXPECT_EQ(m.x, 10);
    EXPECT_EQ(m.y, 20);
    EXPECT_EQ(m.angle, 360);
    EXPECT_EQ(m.quality, 16);
    m = DecodeOneIso({0x05, 0x21, 0x00, 0x10, 0x80, 0xFF});
    EXPECT_EQ(m.type, 255);
    EXPECT_EQ(m.x, 5 * 256 + 0x21);
    EXPECT_EQ(m.angle, 180);
    EXPECT_EQ(m.quality, 40);
    EXPECT_EQ(DecodeOneIso({0xC0, 0x01, 0x00, 0x01, 0xC0, 0}).type, 2);
    EXPECT_EQ(DecodeOneIso({0x40, 0x01, 0x00, 0x01, 0xC0, 0}).angle, 90);
    EXPECT_EQ(DecodeOneIso({0x40, 0x01, 0x00, 0x01, 0xFF, 0}).angle, 2);
    // Coordinates are not scaled or clipped to the modelled image.
    m = DecodeOneIso({0x7F, 0xFF, 0x3F, 0xFF, 0x00, 0});
    EXPECT_EQ(m.x, 16383);
    EXPECT_EQ(m.y, 16383);
}

TEST(IsoDecoding, CountsAndFixedFields) {
    OwnedFeatureSet f;
    for (int count : {0, 51, 128, 200}) {
        Bytes r = IsoHeader(static_cast<uint8_t>(count));
        EXPECT_EQ(f.Decode(r), 2) << count;
    }
    Bytes r = IsoHeader(50, 60);
    for (int i = 0; i < 50; ++i) {
        const uint8_t e[6] = {0x40, static_cast<uint8_t>(i + 1), 0, 50, 0, 50};
        PutIsoMinutia(r, i, e);
    }
    std::memset(&f.gnd, 7, sizeof f.gnd);
    f.singular[1] = {5, 5};
    ASSERT_EQ(f.Decode(r), 0);
    EXPECT_EQ(f.fs.minutiaCount, 50);
    EXPECT_EQ(f.minutiae[49].x, 50);
    EXPECT_EQ(f.fs.format, 1);
    EXPECT_EQ(f.fs.quality, 60);
    for (uint8_t cell : f.gnd.cells) ASSERT_EQ(cell, 0);
    for (const SingularPoint& p : f.singular) {
        EXPECT_EQ(p.x, 0);
        EXPECT_EQ(p.y, 0);
    }
}

TEST(BlockQuality, MinutiaFootprints) {
    OwnedFeatureSet f;
    auto touched = [&](int x, int y) {
        f.Set({Minutia{x, y, 0, 12, 0}}, 0);  // quality 0: default 255 elsewhere
        std::vector<int> blocks;
        for (int b = 0; b < 288; ++b)
            if (f.blocks.blocks[b] != 255) blocks.push_back(b);
        return blocks;
    };
    EXPECT_EQ(touched(100, 100), (std::vector<int>{85, 86, 87, 101, 102, 103, 117, 118, 119}));
    EXPECT_EQ(touched(0, 0), (std::vector<int>{0, 1, 16, 17}));
    EXPECT_EQ(touched(250, 280), (std::vector<int>{16 * 16 + 14, 16 * 16 + 15, 17 * 16 + 14, 17 * 16 + 15}));
    EXPECT_EQ(touched(-10, 100).size(), 3u);  // column 0 only
    EXPECT_TRUE(touched(-17, 100).empty());
    EXPECT_TRUE(touched(271, 100).empty());
    EXPECT_TRUE(touched(100, 303).empty());
    EXPECT_TRUE(touched(16383, 16383).empty());
}

TEST(BlockQuality, MeanAndDefault) {
    OwnedFeatureSet f;
    f.Set({Minutia{100, 100, 0, 5, 0}, Minutia{102, 101, 0, 10, 0}}, 60);
    EXPECT_EQ(f.blocks.blocks[6 * 16 + 6], 7);
    EXPECT_EQ(f.blocks.blocks[0], 9);  // 60 / 6 - 1
    f.Set({Minutia{100, 100, 0, 5, 0}}, 5);
    EXPECT_EQ(f.blocks.blocks[0], 255);
    f.Set({Minutia{100, 100, 0, 5, 0}}, 3);
    EXPECT_EQ(f.blocks.blocks[0], 255);
}

TEST(BlockQuality, NativeOuterRingIsAlwaysDefault) {
    Bytes t = NativeHeader(2, 60);
    PutNativeMinutia(t, 0, PackNative(5, 5, 0, 15, 0));
    PutNativeMinutia(t, 1, PackNative(100, 5, 0, 15, 0));
    OwnedFeatureSet f;
    ASSERT_EQ(f.Decode(t), 0);
    for (int c = 0; c < 16; ++c) EXPECT_EQ(f.blocks.blocks[c], 9) << c;
    for (int r = 0; r < 18; ++r) EXPECT_EQ(f.blocks.blocks[r * 16], 9) << r;
    // ISO records have an all-foreground mask, so the same minutiae count.
    Bytes r = IsoHeader(1, 60);
    const uint8_t e[6] = {0x40, 5, 0, 5, 0, 100};
    PutIsoMinutia(r, 0, e);
    ASSERT_EQ(f.Decode(r), 0);
    EXPECT_EQ(f.blocks.blocks[0], 16);
}

TEST(TemplateCheck, LengthsTheDecoderNeeds) {
    Bytes t = NativeHeader(30);
    EXPECT_EQ(CheckTemplate(t.data(), 156), 0);  // 25 minutiae used
    EXPECT_EQ(CheckTemplate(t.data(), 155), 3);
    t[3] = 1;
    EXPECT_EQ(CheckTemplate(t.data(), 60), 0);
    EXPECT_EQ(CheckTemplate(t.data(), 59), 3);
    t[3] = 0;
    EXPECT_EQ(CheckTemplate(t.data(), 4), 2);
    t[0] = 4;
    EXPECT_EQ(CheckTemplate(t.data(), 1), 1);
    Bytes r = IsoHeader(50);
    EXPECT_EQ(CheckTemplate(r.data(), 328), 0);
    EXPECT_EQ(CheckTemplate(r.data(), 327), 3);
    EXPECT_EQ(CheckTemplate(r.data(), 27), 3);
    r[27] = 51;
    EXPECT_EQ(CheckTemplate(r.data(), 28), 2);
    EXPECT_EQ(CheckTemplate(r.data(), 1), 3);  // "F" alone: byte 1 is still read
    EXPECT_EQ(CheckTemplate(nullptr, 100), 4);
    EXPECT_EQ(CheckTemplate(r.data(), 0), 3);
}

// One row per rule of TemplateLength: the bytes the decoder reads, or 0 when
// the available bytes cannot tell.
TEST(TemplateCheck, TemplateLengthRules) {
    struct Row {
        const char* what;
        Bytes bytes;
        size_t available;
        int32_t length;
    };
    Bytes native30 = NativeHeader(30), native1 = NativeHeader(1), native0 = NativeHeader(0);
    Bytes nativeNeg = NativeHeader(0x80), version4 = NativeHeader(5);
    version4[0] = 4;
    Bytes iso50 = IsoHeader(50), iso1 = IsoHeader(1), iso51 = IsoHeader(51), iso0 = IsoHeader(0);
    const Row rows[] = {
        {"native, 30 declared: 25 read", native30, 200, 156},
        {"native, 1 declared", native1, 200, 60},
        {"native, length known from 4 bytes", native1, 4, 60},
        {"native, 3 bytes cannot tell", native1, 3, 0},
        {"native, count 0: header read", native0, 200, 4},
        {"native, count -128: header read", nativeNeg, 200, 4},
        {"not version 3: byte 0 read", version4, 200, 1},
        {"not version 3, one byte", version4, 1, 1},
        {"ISO, 50 declared", iso50, 400, 328},
        {"ISO, 1 declared", iso1, 400, 34},
        {"ISO, length known from 28 bytes", iso50, 28, 328},
        {"ISO, 27 bytes cannot tell", iso50, 27, 0},
        {"ISO, count 51: bytes 0, 1, 27 read", iso51, 400, 28},
        {"ISO, count 0", iso0, 400, 28},
        {"\"F\" alone cannot tell", iso50, 1, 0},
        {"nothing", iso50, 0, 0},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(TemplateLength(r.bytes.data(), r.available), r.length) << r.what;
        // CheckTemplate accepts exactly the buffers that hold that length.
        if (r.length > 0 && r.available >= static_cast<size_t>(r.length))
            EXPECT_NE(CheckTemplate(r.bytes.data(), r.available), FPMATCH_TRUNCATED) << r.what;
        else
            EXPECT_EQ(CheckTemplate(r.bytes.data(), r.available), FPMATCH_TRUNCATED) << r.what;
    }
    EXPECT_EQ(TemplateLength(nullptr, 100), 0);
}

TEST(RealTemplates, AllDecodeExceptThoseAbove50Minutiae) {
    FPMATCH_REQUIRE_FVC(fvc);
    ASSERT_EQ(fvc.size(), 320u);
    int decoded = 0, refused = 0;
    for (const auto& t : fvc) {
        OwnedFeatureSet f;
        const int code = f.Decode(t.bytes);
        const int declared = t.bytes[27];
        ASSERT_EQ(CheckTemplate(t.bytes.data(), t.bytes.size()), code) << t.path;
        if (declared > 50) {
            EXPECT_EQ(code, 2) << t.path;
            ++refused;
        } else {
            ASSERT_EQ(code, 0) << t.path;
            EXPECT_EQ(f.fs.minutiaCount, declared);
            ++decoded;
        }
    }
    EXPECT_EQ(refused, 17);
    EXPECT_EQ(decoded, 303);
}

}  // namespace
