// Writes the tool tests' synthetic template files, good and bad, into a
// folder: make_samples FOLDER [--many N]. Part of the tests, not of the
// installed tool.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "fpmatch.h"
#include "synthetic.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using fpmatch::samples::MakeDemoTemplate;

bool g_ok = true;

// Writes one file, creating its folder; reports and remembers a failure.
void Put(const fs::path& path, const Bytes& bytes) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    std::FILE* f = ec ? nullptr : std::fopen(path.c_str(), "wb");
    const bool written = f != nullptr && (bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
    if (f != nullptr && std::fclose(f) != 0) ec = std::error_code(errno, std::generic_category());
    if (!written || ec) {
        std::fprintf(stderr, "make_samples: %s: cannot write: %s\n", path.c_str(),
                     ec ? ec.message().c_str() : std::strerror(errno));
        g_ok = false;
    }
}

Bytes Iso(int finger, int impression) { return MakeDemoTemplate(finger, impression, false, false); }
Bytes Native(int finger, int impression) { return MakeDemoTemplate(finger, impression, true, false); }

// An ISO record of `count` minutiae spread `spread` pixels wide in x.
Bytes WideIso(int count, int spread) {
    std::vector<Minutia> m;
    for (int i = 0; i < count; ++i)
        m.push_back(Minutia{20 + spread * i / (count > 1 ? count - 1 : 1), 30 + (i * 37) % 220, (i * 53) % 360, 10,
                            static_cast<uint8_t>(i % 2)});
    return fpmatch::samples::MakeIsoRecord(m, 60);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: make_samples FOLDER [--many N]\n");
        return 2;
    }
    const fs::path d(argv[1]);
    const int many = argc >= 4 && std::strcmp(argv[2], "--many") == 0 ? std::atoi(argv[3]) : 0;
    for (int f = 1; f <= 5; ++f)
        for (int i = 1; i <= 4; ++i) {
            const std::string stem = std::to_string(100 + f) + "_" + std::to_string(i);
            Put(d / "iso" / (stem + ".iso"), Iso(f, i));
            Put(d / "native" / (stem + ".tpl"), Native(f, i));
            // The same set under a folder name that needs quoting in CSV.
            Put(d / "comma,folder" / (stem + ".iso"), Iso(f, i));
        }
    for (int i = 1; i <= 3; ++i) Put(d / "onefinger" / ("101_" + std::to_string(i) + ".iso"), Iso(1, i));
    const Bytes good = Iso(1, 1);
    Put(d / "bad" / "empty.iso", {});
    Put(d / "bad" / "truncated.iso", Bytes(good.begin(), good.begin() + 60));
    Put(d / "bad" / "header.iso", Bytes(good.begin(), good.begin() + 20));
    Bytes count = good;
    count[27] = 60;
    Put(d / "bad" / "count60.iso", count);
    Bytes length = good;
    length[11] = static_cast<uint8_t>(length[11] + 40);
    Put(d / "bad" / "lengthfield.iso", length);
    Bytes native = Native(1, 1);
    native[3] = 0;
    Put(d / "bad" / "count0.tpl", native);
    Put(d / "bad" / "short.tpl", {3, 0, 60});
    const std::string text = "not a template\n";
    Put(d / "bad" / "notes.txt", Bytes(text.begin(), text.end()));
    // Records of another format or version, which the decoder would misread.
    Bytes fmx = good;
    fmx[2] = 'X';
    Put(d / "foreign" / "fmx.iso", fmx);
    Bytes v30 = good;
    v30[5] = '3';
    Put(d / "foreign" / "v30.iso", v30);
    // A record without minutia qualities, and one with a minutia beyond what
    // a native template can hold.
    Bytes noqual = good;
    for (size_t i = 0; i < noqual[27]; ++i) noqual[28 + 6 * i + 5] = 0;
    Put(d / "noqual" / "101_1.iso", noqual);
    Bytes wide = good;
    wide[28] = static_cast<uint8_t>((wide[28] & 0xC0) | 0x02);  // x = 512 + low byte
    Put(d / "wide" / "wide.iso", wide);
    // Complete records of 55 minutiae: the matcher takes 1..50; and one
    // spread 700 pixels wide, which adapts but does not fit a native template.
    Put(d / "big" / "many55.iso", WideIso(55, 200));
    Put(d / "big" / "spread.iso", WideIso(30, 700));
    // A short screening template, written by the library.
    {
        FeatureStorage storage;
        FeatureSet fs;
        BindFeatureSet(&fs, &storage);
        Bytes shortTemplate(FPMATCH_SHORT_TEMPLATE_SIZE, 0);
        if (DecodeFeature(good.data(), &fs) != FPMATCH_DECODED ||
            WriteShortTemplate(&fs, shortTemplate.data(), shortTemplate.size()) != FPMATCH_SHORT_TEMPLATE_SIZE) {
            std::fprintf(stderr, "make_samples: cannot make the short template\n");
            g_ok = false;
        }
        Put(d / "short" / "101_1.short", shortTemplate);
    }
    // A valid record of one minutia: it never yields a base pair.
    Put(d / "lonely" / "lonely.iso", fpmatch::samples::MakeIsoRecord({fpmatch::samples::MakeFinger(7001, 32).front()}, 60));
    // An evaluation folder with names eval cannot use, and a gallery folder
    // with a sub-folder.
    for (int f = 1; f <= 3; ++f)
        for (int i = 1; i <= 2; ++i) Put(d / "names" / (std::to_string(100 + f) + "_" + std::to_string(i) + ".iso"), Iso(f, i));
    Put(d / "names" / "99999999999_1.iso", Iso(4, 1));
    Put(d / "names" / "alice_2.iso", Iso(4, 2));
    Put(d / "names" / "inner" / "105_1.iso", Iso(5, 1));
    // Galleries as `fpmatch pack` wrote them before galleries had subjects
    // (format version 1), written with the core library's gallery writers:
    // the ISO set in two segments with short templates, and without them.
    {
        std::vector<Bytes> templates;
        std::vector<std::string> names;
        for (int f = 1; f <= 5; ++f)
            for (int i = 1; i <= 4; ++i) {
                templates.push_back(Iso(f, i));
                names.push_back((d / "iso" / (std::to_string(100 + f) + "_" + std::to_string(i) + ".iso")).string());
            }
        Bytes v1, plain;
        const bool written =
            fpmatch::test::AppendGallerySegment(v1, {templates.begin(), templates.begin() + 12},
                                                {names.begin(), names.begin() + 12}, 328, true) &&
            fpmatch::test::AppendGallerySegment(v1, {templates.begin() + 12, templates.end()},
                                                {names.begin() + 12, names.end()}, 336, true) &&
            fpmatch::test::AppendGallerySegment(plain, templates, names, 328, false);
        if (!written) {
            std::fprintf(stderr, "make_samples: cannot write the version-1 galleries\n");
            g_ok = false;
        }
        Put(d / "v1" / "iso.fpg", v1);
        Put(d / "v1" / "noshorts.fpg", plain);
    }
    std::error_code ec;
    fs::create_directories(d / "emptydir", ec);
    for (int k = 0; k < many && g_ok; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "%06d.iso", k);
        Put(d / "many" / name, Iso(1000 + k / 4, 1 + k % 4));
    }
    return g_ok ? 0 : 1;
}
