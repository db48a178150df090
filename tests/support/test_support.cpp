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

}  // namespace fpmatch::test
