#include "test_support.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace fpmatch::test {

OwnedFeatureSet::OwnedFeatureSet() { BindFeatureSet(&fs, &storage); }

int32_t OwnedFeatureSet::Decode(const Bytes& bytes) { return DecodeFeature(bytes.data(), &fs); }

void OwnedFeatureSet::Set(const std::vector<Minutia>& list, uint8_t quality) {
    fs.width = 256;
    fs.height = 288;
    fs.minutiaCount = static_cast<int8_t>(list.size());
    fs.quality = quality;
    std::copy(list.begin(), list.end(), minutiae);
    std::memset(&gnd, 0, sizeof gnd);
    std::memset(singular, 0, sizeof singular);
    BuildBlockQty(nullptr, &fs);
}

uint32_t PackNative(int32_t x, int32_t y, int32_t angle, int32_t quality, int32_t type) {
    return (static_cast<uint32_t>(x) & 0x1FFu) << 23 | (static_cast<uint32_t>(y) & 0x1FFu) << 14 |
           (static_cast<uint32_t>(angle) & 0x1FFu) << 5 | (static_cast<uint32_t>(quality) & 0xFu) << 1 |
           (static_cast<uint32_t>(type) & 1u);
}

void PutNativeMinutia(Bytes& t, size_t index, uint32_t word) {
    const size_t at = 56 + 4 * index;
    if (t.size() < at + 4) t.resize(at + 4, 0);
    t[at] = static_cast<uint8_t>(word >> 24);
    t[at + 1] = static_cast<uint8_t>(word >> 16);
    t[at + 2] = static_cast<uint8_t>(word >> 8);
    t[at + 3] = static_cast<uint8_t>(word);
}

Bytes NativeHeader(uint8_t count, uint8_t quality) {
    Bytes t(256, 0);
    t[0] = 3;
    t[2] = quality;
    t[3] = count;
    return t;
}

Bytes IsoHeader(uint8_t count, uint8_t fingerQuality) {
    Bytes r(28 + 6 * 255 + 2, 0);
    const char id[8] = {'F', 'M', 'R', 0, ' ', '2', '0', 0};
    std::memcpy(r.data(), id, 8);
    r[22] = 1;
    r[26] = fingerQuality;
    r[27] = count;
    return r;
}

void PutIsoMinutia(Bytes& r, size_t index, const uint8_t entry[6]) {
    std::memcpy(&r[28 + 6 * index], entry, 6);
}

Bytes ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::filesystem::path FvcRoot() {
    std::filesystem::path root(FPMATCH_DATA_DIR);
    std::error_code ec;
    if (std::filesystem::is_directory(root / "DB1_B", ec)) return root;
    return {};
}

std::vector<FvcTemplate> LoadFvc() {
    std::vector<FvcTemplate> out;
    const auto root = FvcRoot();
    if (root.empty()) return out;
    for (const char* db : {"DB1_B", "DB2_B", "DB3_B", "DB4_B"}) {
        for (int finger = 101; finger <= 110; ++finger) {
            for (int impression = 1; impression <= 8; ++impression) {
                auto path = root / db / (std::to_string(finger) + "_" + std::to_string(impression) + ".iso");
                if (!std::filesystem::exists(path)) continue;
                out.push_back({db, finger, impression, path, ReadFile(path)});
            }
        }
    }
    return out;
}

Bytes ShortTemplateOf(const Bytes& tmpl) {
    Bytes padded(tmpl);
    padded.resize(std::max<size_t>(padded.size(), 512), 0);
    OwnedFeatureSet set;
    Bytes out(512, 0);
    if (set.Decode(padded) == 0) {
        Bytes tmp(512, 0);
        if (WriteShortTemplate(&set.fs, tmp.data(), tmp.size()) == 512) out = tmp;
    }
    return out;
}

bool AppendGallerySegment(Bytes& g, const std::vector<Bytes>& templates, const std::vector<std::string>& names,
                          int32_t stride, bool shorts, bool linkOnly) {
    GalleryInfo info{};
    if (g.empty()) {
        g.assign(FPMATCH_GALLERY_HEADER_SIZE, 0);
        info.usedSize = FPMATCH_GALLERY_HEADER_SIZE;
    } else if (CheckGallery(g.data(), g.size(), &info) < 0) {
        return false;
    }
    Bytes nameBytes;
    for (const auto& n : names) nameBytes.insert(nameBytes.end(), n.begin(), n.end());
    GallerySegment seg{};
    seg.offset = (info.usedSize + 63) / 64 * 64;
    seg.firstIndex = info.entryCount;
    seg.entryCount = static_cast<int32_t>(templates.size());
    seg.stride = stride;
    seg.hasShorts = shorts;
    seg.namesSize = nameBytes.size();
    if (names.size() != templates.size() || PlanGallerySegment(&seg) != 0) return false;
    g.resize(seg.endOffset, 0);
    if (WriteGallerySegmentHeader(&seg, g.data() + seg.offset, g.size() - seg.offset) != 96) return false;
    uint64_t nameAt = 0;
    for (size_t j = 0; j < templates.size(); ++j) {
        const Bytes& t = templates[j];
        const size_t kept = std::min<size_t>(t.size(), static_cast<size_t>(stride));
        if (WriteGalleryEntry(nameAt, static_cast<int32_t>(names[j].size()), static_cast<int32_t>(kept),
                              g.data() + seg.directoryOffset + 16 * j, 16) != 16)
            return false;
        nameAt += names[j].size();
        std::copy_n(t.begin(), kept, g.begin() + static_cast<ptrdiff_t>(seg.templatesOffset + j * stride));
        if (shorts) {
            const Bytes s = ShortTemplateOf(t);
            std::copy(s.begin(), s.end(), g.begin() + static_cast<ptrdiff_t>(seg.shortsOffset + 512 * j));
        }
    }
    std::copy(nameBytes.begin(), nameBytes.end(), g.begin() + static_cast<ptrdiff_t>(seg.namesOffset));
    if (info.segmentCount > 0) {
        GallerySegment last{};
        if (GetGallerySegment(g.data(), g.size(), info.segmentCount - 1, &last) != 0) return false;
        last.nextOffset = seg.offset;
        if (WriteGallerySegmentHeader(&last, g.data() + last.offset, 96) != 96) return false;
    }
    if (linkOnly) return true;
    info.entryCount += seg.entryCount;
    info.segmentCount += 1;
    if (info.firstSegmentOffset == 0) info.firstSegmentOffset = seg.offset;
    info.lastSegmentOffset = seg.offset;
    info.usedSize = seg.endOffset;
    return WriteGalleryHeader(&info, g.data(), g.size()) == 64;
}

}  // namespace fpmatch::test
