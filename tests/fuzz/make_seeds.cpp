// Writes seed inputs for every fuzz target, in the input form each target
// expects, from synthetic fingers (samples/synthetic.h) and, when present,
// the FVC2002 templates beside the checkout.
//
//   fuzz_make_seeds <folder>            all seeds (synthetic and real)
//   fuzz_make_seeds --small <folder>    a few small synthetic seeds only
//
// One subfolder per target is created below <folder>.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "synthetic.h"
#include "test_support.h"

namespace fs = std::filesystem;
using fpmatch::samples::MakeFinger;
using fpmatch::samples::MakeImpression;
using fpmatch::samples::MakeIsoRecord;
using fpmatch::samples::MakeNativeTemplate;
using Bytes = std::vector<uint8_t>;

namespace {

fs::path gRoot;
int gWritten = 0;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
    const fs::path dir = gRoot / target;
    fs::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ++gWritten;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Compact short template as the screening target reads it: bytes 0-3, then
// the packed minutiae. Coordinates kept in 0..511, angles in 0..359.
Bytes CompactShort(const std::vector<Minutia>& minutiae, uint8_t quality) {
    const size_t count = std::min<size_t>(minutiae.size(), 50);
    Bytes out{3, 1, quality, static_cast<uint8_t>(count)};
    for (size_t i = 0; i < count; ++i) {
        const Minutia& m = minutiae[i];
        const uint32_t x = static_cast<uint32_t>(std::clamp(m.x, 0, 511));
        const uint32_t y = static_cast<uint32_t>(std::clamp(m.y, 0, 511));
        const uint32_t a = static_cast<uint32_t>(((m.angle % 360) + 360) % 360);
        const uint32_t q = std::min<uint32_t>(m.quality, 15);
        const uint32_t word = x << 23 | y << 14 | a << 5 | q << 1 | (m.type & 1u);
        for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(word >> s));
    }
    return out;
}

// Full 512-byte short template.
Bytes FullShort(const std::vector<Minutia>& minutiae, uint8_t quality) {
    Bytes compact = CompactShort(minutiae, quality);
    Bytes out(512, 0);
    std::copy(compact.begin(), compact.begin() + 4, out.begin());
    std::copy(compact.begin() + 4, compact.end(), out.begin() + 56);
    return out;
}

std::vector<Minutia> Decoded(const Bytes& tmpl) {
    fpmatch::test::OwnedFeatureSet set;
    Bytes padded(tmpl);
    padded.resize(std::max<size_t>(padded.size(), 512), 0);
    if (set.Decode(padded) != 0) return {};
    return std::vector<Minutia>(set.minutiae, set.minutiae + set.fs.minutiaCount);
}

struct Finger {
    std::string name;
    std::vector<Bytes> impressions;  // templates as stored
};

void WriteAll(const std::vector<Finger>& fingers) {
    for (size_t f = 0; f < fingers.size(); ++f) {
        const Finger& finger = fingers[f];
        const auto& imp = finger.impressions;
        for (size_t i = 0; i < imp.size(); ++i) {
            const std::string id = finger.name + "_" + std::to_string(i + 1);
            Write("decode", id, imp[i]);
            Write("writers", id, imp[i]);
            Write("adapt_iso", id, Cat({{static_cast<uint8_t>(i * 7)}, imp[i]}));
        }
        if (imp.size() < 2) continue;
        // Same finger, and this finger against the next one.
        const Finger& other = fingers[(f + 1) % fingers.size()];
        Write("match", finger.name + "_same", Cat({imp[0], imp[1]}));
        Write("match", finger.name + "_other", Cat({imp[0], other.impressions[0]}));
        // The same pair, then edits of the prepared records: the header, the
        // probe's angle index and edge arrays, a gallery row.
        Write("prepared", finger.name + "_same", Cat({imp[0], imp[1]}));
        Write("prepared", finger.name + "_edited",
              Cat({imp[0], imp[1], {1, 0x00, 0x0C, 0x7F, 1, 0x4E, 0x20, 0xFF, 0, 0x09, 0x10, 0xC8, 0, 0x00, 0x02, 0x00}}));
        // The filter: a mate, another finger, and edits of the record (its
        // header, a base's slots and position) and of the prepared probe.
        Write("filter", finger.name + "_same", Cat({imp[0], imp[1]}));
        Write("filter", finger.name + "_other", Cat({imp[0], other.impressions[0]}));
        Write("filter", finger.name + "_edited",
              Cat({imp[0], imp[1], {0, 0x00, 0x01, 0x21, 2, 0x00, 0x05, 0xFF, 0, 0x00, 0x0E, 0xF0, 1, 0x12, 0x34, 0xFF}}));
        // Compact records: made from the pair (then edited), and as stored.
        Write("compact", finger.name + "_same", Cat({{0}, imp[0], imp[1]}));
        Write("compact", finger.name + "_edited", Cat({{2}, imp[0], imp[1], {0, 7, 60, 0, 40, 0xFF, 1, 0x20, 3}}));
        {
            Bytes record(FPMATCH_COMPACT_GALLERY_MAX_SIZE);
            const int32_t length = CompactGalleryTemplate(imp[1].data(), record.data(), record.size());
            if (length > 0) {
                record.resize(static_cast<size_t>(length));
                Write("compact", finger.name + "_stored", Cat({{1}, record}));
            }
        }
        // Probe, then a non-matching and a matching entry: threshold 20.
        Write("match_list", finger.name, Cat({{0x03, 28}, imp[0], other.impressions[0], imp[1], imp.back()}));
        const auto probe = Decoded(imp[0]);
        if (probe.empty()) continue;
        Bytes screen = Cat({{6}, CompactShort(probe, 60)});
        for (size_t i = 1; i < imp.size() && i < 4; ++i) {
            const auto c = Decoded(imp[i]);
            if (!c.empty()) screen = Cat({screen, CompactShort(c, 60)});
        }
        const auto o = Decoded(other.impressions[0]);
        if (!o.empty()) screen = Cat({screen, CompactShort(o, 60)});
        Write("quicksort", finger.name, screen);
        Write("short_reader", finger.name, FullShort(probe, 60));
    }
}

// Packed galleries of a few entries each: one segment; three segments of
// different strides, the middle one with short templates; an empty gallery.
void WriteGalleries(const std::vector<Finger>& fingers, const std::string& prefix) {
    std::vector<Bytes> templates;
    std::vector<std::string> names;
    for (const Finger& f : fingers)
        for (size_t i = 0; i < f.impressions.size() && templates.size() < 6; ++i) {
            templates.push_back(f.impressions[i]);
            names.push_back(f.name + "_" + std::to_string(i + 1));
        }
    if (templates.empty()) return;
    using fpmatch::test::AppendGallerySegment;
    Bytes one;
    if (AppendGallerySegment(one, templates, names, 328, false)) Write("gallery", prefix + "_one_segment", one);
    Bytes three;
    const size_t a = templates.size() / 3, b = 2 * templates.size() / 3;
    auto part = [&](size_t from, size_t to, auto& v) { return std::vector(v.begin() + from, v.begin() + to); };
    if (a > 0 && AppendGallerySegment(three, part(0, a, templates), part(0, a, names), 328, false) &&
        AppendGallerySegment(three, part(a, b, templates), part(a, b, names), 336, true) &&
        AppendGallerySegment(three, part(b, templates.size(), templates), part(b, names.size(), names), 400, false))
        Write("gallery", prefix + "_three_segments", three);
    GalleryInfo none{};
    none.usedSize = FPMATCH_GALLERY_HEADER_SIZE;
    Bytes empty(FPMATCH_GALLERY_HEADER_SIZE, 0);
    if (WriteGalleryHeader(&none, empty.data(), empty.size()) > 0) Write("gallery", prefix + "_empty", empty);
}

}  // namespace

int main(int argc, char** argv) {
    bool small = false;
    int arg = 1;
    if (arg < argc && std::strcmp(argv[arg], "--small") == 0) small = true, ++arg;
    if (arg >= argc) {
        std::fprintf(stderr, "usage: fuzz_make_seeds [--small] <folder>\n");
        return 2;
    }
    gRoot = argv[arg];

    std::vector<Finger> synthetic;
    const int fingerCount = small ? 1 : 12;
    for (int s = 0; s < fingerCount; ++s) {
        const int count = small ? 16 : 8 + 4 * s;
        const auto base = MakeFinger(1000 + s, count);
        Finger nat{"syn_native_" + std::to_string(s), {}}, iso{"syn_iso_" + std::to_string(s), {}};
        for (int i = 0; i < (small ? 2 : 3); ++i) {
            const auto imp = i == 0 ? base : MakeImpression(base, 2000 + 10 * s + i);
            nat.impressions.push_back(MakeNativeTemplate(imp, 60, {120, 130}, {0, 0}));
            iso.impressions.push_back(MakeIsoRecord(imp, 60));
        }
        synthetic.push_back(nat);
        synthetic.push_back(iso);
    }
    WriteAll(synthetic);
    WriteGalleries(synthetic, "syn");

    if (!small) {
        const auto fvc = fpmatch::test::LoadFvc();
        std::vector<Finger> real;
        for (const auto& t : fvc) {
            const std::string name = t.database + "_" + std::to_string(t.finger);
            if (real.empty() || real.back().name != name) real.push_back({name, {}});
            real.back().impressions.push_back(t.bytes);
        }
        if (!real.empty()) WriteAll(real);
        if (!real.empty()) WriteGalleries(real, "fvc");
    }
    std::printf("wrote %d seeds below %s\n", gWritten, gRoot.c_str());
    return 0;
}
