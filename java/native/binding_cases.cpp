#include "binding_cases.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>

#include "fpmatch.h"
#include "synthetic.h"

namespace fpmatch::java_test {
namespace {

using samples::MakeFinger;
using samples::MakeImpression;
using samples::MakeIsoRecord;
using samples::MakeNativeTemplate;

constexpr int32_t kNativeStride = 256;  // room for any native template
constexpr int32_t kIsoStride = 336;     // room for a synthetic ISO record of 30 minutiae
constexpr int32_t kFvcStride = 448;     // room for the longest FVC2002 record (444 bytes)

Bytes Native(uint64_t fingerSeed, uint64_t impressionSeed) {
    return MakeNativeTemplate(MakeImpression(MakeFinger(fingerSeed, 30), impressionSeed), 60);
}

Bytes Iso(uint64_t fingerSeed, uint64_t impressionSeed) {
    return MakeIsoRecord(MakeImpression(MakeFinger(fingerSeed, 30), impressionSeed), 60);
}

// An impression with heavy noise, many lost and many spurious minutiae: it
// matches the gallery (finger 11) with a score well below the gallery's
// own copy, different for each seed.
samples::ImpressionOptions Hard() {
    samples::ImpressionOptions o;
    o.dropPercent = 40;
    o.spurious = 10;
    o.positionNoise = 4;
    o.angleNoise = 8;
    return o;
}
Bytes HardNative(uint64_t impressionSeed) {
    return MakeNativeTemplate(MakeImpression(MakeFinger(11, 30), impressionSeed, Hard()), 60);
}
Bytes HardIso(uint64_t impressionSeed) {
    return MakeIsoRecord(MakeImpression(MakeFinger(11, 30), impressionSeed, Hard()), 60);
}

// Lays the templates out every `stride` bytes; the array ends with the last
// stride unless `arrayLength` says otherwise (longer: zero filled; shorter:
// cut).
Bytes Layout(const std::vector<Bytes>& templates, int32_t stride, size_t arrayLength = SIZE_MAX) {
    Bytes out(templates.size() * static_cast<size_t>(stride), 0);
    for (size_t i = 0; i < templates.size(); ++i) {
        const size_t at = i * static_cast<size_t>(stride);
        if (out.size() < at + templates[i].size()) out.resize(at + templates[i].size(), 0);
        std::copy(templates[i].begin(), templates[i].end(), out.begin() + static_cast<std::ptrdiff_t>(at));
    }
    if (arrayLength != SIZE_MAX) out.resize(arrayLength, 0);
    return out;
}

int32_t Length(const Bytes& b) { return static_cast<int32_t>(b.size()); }

Bytes ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void AddSyntheticCases(std::vector<BindingCase>& cases) {
    const Bytes gallery = Native(11, 100);
    const Bytes isoGallery = Iso(11, 100);
    // Four impressions of the gallery's finger with different scores below
    // the gallery's own copy, and impressions of other fingers.
    const Bytes a = HardNative(1103), b = HardNative(1104), c = HardNative(1105), d = HardNative(1100);
    const Bytes other1 = Native(12, 201), other2 = Native(13, 301);

    const Bytes nativeList = Layout({a, other1, d, other2, b}, kNativeStride);
    cases.push_back({"native list", nativeList, Length(nativeList), gallery, kNativeStride, true, -1});

    const Bytes isoList = Layout({HardIso(1103), Iso(12, 201), HardIso(1100), isoGallery, HardIso(1105)}, kIsoStride);
    cases.push_back({"ISO list", isoList, Length(isoList), isoGallery, kIsoStride, true, 3 * kIsoStride});

    // Native probes against an ISO gallery and the other way round.
    const Bytes mixed = Layout({HardIso(1104), b, other1, HardIso(1105), Iso(13, 301)}, kIsoStride);
    cases.push_back({"mixed list, native gallery", mixed, Length(mixed), gallery, kIsoStride, true, -1});
    cases.push_back({"mixed list, ISO gallery", mixed, Length(mixed), isoGallery, kIsoStride, true, -1});

    // listLength shorter than one stride: nothing is compared, not even the
    // gallery's own copy at offset 0.
    const Bytes selfFirst = Layout({gallery, a}, kNativeStride);
    cases.push_back({"listLength below stride", selfFirst, kNativeStride - 1, gallery, kNativeStride, true, -1, true});
    cases.push_back({"listLength 0", selfFirst, 0, gallery, kNativeStride, true, -1, true});
    cases.push_back({"negative listLength", selfFirst, -1000, gallery, kNativeStride, true, -1, true});

    // listLength 1000, stride 256: probes at 0, 256 and 512 only; a fourth
    // template at 768 lies whole inside the array but is not listed.
    const Bytes selfFourth = Layout({a, c, b, gallery}, 256);
    cases.push_back({"1000 / 256, gallery copy at 768", selfFourth, 1000, gallery, 256, true, 256, true});
    const Bytes selfThird = Layout({a, c, gallery, b}, 256);
    cases.push_back({"1000 / 256, gallery copy at 512", selfThird, 1000, gallery, 256, true, 512});

    // A partial stride at the end of listLength is ignored.
    cases.push_back({"partial tail", selfThird, 2 * 256 + 200, gallery, 256, true, 256, true});

    // listLength beyond the array: the array ends 60 bytes into the fourth
    // template (the gallery's copy), which is therefore cut off and skipped.
    const Bytes cut = Layout({a, c, b, gallery}, 256, 3 * 256 + 60);
    cases.push_back({"listLength beyond array, last probe cut", cut, 10 * 256, gallery, 256, false, 256, true});
    cases.push_back({"listLength INT_MAX", cut, INT32_MAX, gallery, 256, false, 256, true});
    // Every byte offset is a probe: most fail to decode, some are junk that
    // decodes; nothing past the end of the array may be read.
    cases.push_back({"stride 1 over the whole array, listLength INT_MAX", cut, INT32_MAX, gallery, 1, false});
    const Bytes exact = Layout({a, gallery}, 256, 256 + gallery.size());
    cases.push_back({"stride 1, listLength = array", exact, Length(exact), gallery, 1, false, 256});

    // Gallery problems.
    Bytes galleryCut(gallery.begin(), gallery.begin() + 100);
    cases.push_back({"gallery cut off by its array", selfThird, Length(selfThird), galleryCut, 256, false});
    Bytes galleryPadded = gallery;
    galleryPadded.resize(gallery.size() + 100, 0x5A);
    cases.push_back({"gallery with trailing bytes", selfThird, Length(selfThird), galleryPadded, 256, true, 512});
    Bytes galleryBadVersion = gallery;
    galleryBadVersion[0] = 2;
    cases.push_back({"gallery of a wrong version", selfThird, Length(selfThird), galleryBadVersion, 256, true});
    cases.push_back({"empty gallery", selfThird, Length(selfThird), Bytes{}, 256, false});

    // Probes that do not decode score 0 and do not stop the loop: the best
    // probe comes after them.
    Bytes badVersion = gallery;
    badVersion[0] = 2;
    Bytes countZero = gallery;
    countZero[3] = 0;
    Bytes count51 = gallery;
    count51[3] = 51;
    Bytes isoCountZero = isoGallery;
    isoCountZero[27] = 0;
    const Bytes withBad = Layout({badVersion, countZero, a, count51, isoCountZero, c, other1}, kIsoStride);
    cases.push_back({"undecodable probes between", withBad, Length(withBad), gallery, kIsoStride, true,
                     5 * kIsoStride});

    // Stride shorter than a template: later templates overwrite the tails of
    // earlier ones, which are still read whole from the array.
    const Bytes overlapping = Layout({a, other1, c, b}, 100);
    cases.push_back({"stride 100, overlapping", overlapping, Length(overlapping), gallery, 100, false});

    cases.push_back({"empty probe array", Bytes{}, 0, gallery, kNativeStride, true});
    cases.push_back({"empty probe array, listLength 1000", Bytes{}, 1000, gallery, kNativeStride, false});
}

void AddFvcCases(std::vector<BindingCase>& cases, const std::filesystem::path& root) {
    std::error_code ec;
    if (root.empty() || !std::filesystem::is_directory(root / "DB1_B", ec)) return;
    auto load = [&](const char* db, int finger, int impression) {
        return ReadFile(root / db / (std::to_string(finger) + "_" + std::to_string(impression) + ".iso"));
    };
    std::vector<Bytes> everything;
    for (const char* db : {"DB1_B", "DB2_B", "DB3_B", "DB4_B"}) {
        // Impressions 2 to 8 of fingers 101 and 102 against impression 1 of
        // each: genuine and impostor scores, without the gallery's own copy.
        std::vector<Bytes> probes;
        for (int finger : {101, 102})
            for (int impression = 2; impression <= 8; ++impression) probes.push_back(load(db, finger, impression));
        for (int finger = 101; finger <= 110; ++finger)
            for (int impression = 1; impression <= 8; ++impression) everything.push_back(load(db, finger, impression));
        const Bytes list = Layout(probes, kFvcStride);
        for (int finger : {101, 102}) {
            cases.push_back({std::string("FVC ") + db + " fingers 101-102 vs " + std::to_string(finger) + "_1", list,
                             Length(list), load(db, finger, 1), kFvcStride, true});
        }
        // ISO probes against a native gallery of a synthetic finger.
        cases.push_back({std::string("FVC ") + db + " vs synthetic native", list, Length(list), Native(11, 100),
                         kFvcStride, true});
    }
    const Bytes all = Layout(everything, kFvcStride);
    cases.push_back({"FVC all 320 vs DB2_B 105_3", all, Length(all), load("DB2_B", 105, 3), kFvcStride, true});
    // DB1_B's 80 records followed by the gallery's own record, which the
    // array's end cuts off.
    const Bytes gallery = load("DB4_B", 110, 8);
    std::vector<Bytes> db1(everything.begin(), everything.begin() + 80);
    db1.push_back(gallery);
    const Bytes db1Cut = Layout(db1, kFvcStride, 80 * kFvcStride + 40);
    cases.push_back({"FVC DB1_B, gallery's own record cut", db1Cut, 81 * kFvcStride, gallery, kFvcStride, false, -1,
                     true});
}

}  // namespace

std::vector<BindingCase> MakeBindingCases(const std::filesystem::path& fvcRoot) {
    std::vector<BindingCase> cases;
    AddSyntheticCases(cases);
    AddFvcCases(cases, fvcRoot);
    return cases;
}

int32_t ExpectedBest(const BindingCase& c) {
    if (c.stride <= 0) return 0;
    const int32_t galleryCheck = CheckTemplate(c.gallery.data(), c.gallery.size());
    if (galleryCheck == FPMATCH_TRUNCATED || galleryCheck == FPMATCH_NULL_INPUT) return 0;
    const int64_t count = c.listLength / c.stride;
    int32_t best = 0;
    for (int64_t i = 0; i < count; ++i) {
        const uint64_t offset = static_cast<uint64_t>(i) * static_cast<uint64_t>(c.stride);
        if (offset >= c.probeList.size()) break;
        const uint8_t* probe = c.probeList.data() + offset;
        if (CheckTemplate(probe, c.probeList.size() - offset) == FPMATCH_TRUNCATED) continue;
        best = std::max(best, Match2Fp(probe, c.gallery.data()));
    }
    return best;
}

int32_t UncheckedBest(const BindingCase& c) {
    int32_t best = 0;
    for (int32_t score : ProbeScores(c)) best = std::max(best, score);
    return best;
}

std::vector<int32_t> ProbeScores(const BindingCase& c) {
    std::vector<int32_t> scores;
    if (c.stride <= 0) return scores;
    const int32_t count = c.listLength / c.stride;
    for (int32_t i = 0; i < count; ++i) scores.push_back(Match2Fp(c.probeList.data() + i * c.stride, c.gallery.data()));
    return scores;
}

}  // namespace fpmatch::java_test
