// Helpers shared by the test programs.
#ifndef FPMATCH_TEST_SUPPORT_H
#define FPMATCH_TEST_SUPPORT_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "fpmatch.h"
#include "synthetic.h"

namespace fpmatch::test {

using Bytes = std::vector<uint8_t>;

// A feature set bound to its own storage (the library's FeatureStorage),
// cleared, ready for decoding. The storage's parts are reachable by short
// names.
struct OwnedFeatureSet {
    FeatureStorage storage{};
    FeatureSet fs{};
    Minutia (&minutiae)[FPMATCH_MAX_MINUTIAE] = storage.minutiae;
    SingularPoint (&singular)[3] = storage.singularPoints;
    GndTable& gnd = storage.gndTable;
    BlockQtyMap& blocks = storage.blockQty;
    OwnedFeatureSet();
    OwnedFeatureSet(const OwnedFeatureSet&) = delete;
    OwnedFeatureSet& operator=(const OwnedFeatureSet&) = delete;
    // Decodes `bytes`; returns the decoder's code.
    int32_t Decode(const Bytes& bytes);
    // Fills minutiae directly (for stage tests), with an all-foreground mask
    // and width/height set as a decoder would.
    void Set(const std::vector<Minutia>& list, uint8_t quality = 60);
};

// One packed native minutia word, as four big-endian bytes at `at`.
void PutNativeMinutia(Bytes& t, size_t index, uint32_t word);
uint32_t PackNative(int32_t x, int32_t y, int32_t angle, int32_t quality, int32_t type);

// A native template of `count` declared minutiae (bytes zero) with version 3.
Bytes NativeHeader(uint8_t count, uint8_t quality = 60);
// An ISO record of `count` declared minutiae (entries zero).
Bytes IsoHeader(uint8_t count, uint8_t fingerQuality = 60);
void PutIsoMinutia(Bytes& r, size_t index, const uint8_t entry[6]);

Bytes ReadFile(const std::filesystem::path& path);

// The FVC2002 folder beside the checkout, or empty when absent.
std::filesystem::path FvcRoot();
struct FvcTemplate {
    std::string database;  // DB1_B .. DB4_B
    int finger;            // 101..110
    int impression;        // 1..8
    std::filesystem::path path;
    Bytes bytes;
};
// All templates, sorted by database, finger, impression; empty when absent.
std::vector<FvcTemplate> LoadFvc();

// Packed galleries built with the library's writers, as the tool lays them
// out. AppendGallerySegment adds one segment of `templates` (each kept up to
// `stride` bytes) with `names` at the end of `gallery` (empty: a new
// gallery), with 512-byte short templates (zeros where a template has none)
// when `shorts`; with `linkOnly` the previous segment is linked but the file
// header is not rewritten (an interrupted append). Returns false when a
// library call refuses.
bool AppendGallerySegment(Bytes& gallery, const std::vector<Bytes>& templates, const std::vector<std::string>& names,
                          int32_t stride, bool shorts, bool linkOnly = false);
// The short template of a template, or 512 zeros when it has none.
Bytes ShortTemplateOf(const Bytes& tmpl);

}  // namespace fpmatch::test

// Skips the current test when the FVC2002 data is not beside the checkout.
#define FPMATCH_REQUIRE_FVC(var)                                              \
    const auto var = ::fpmatch::test::LoadFvc();                              \
    if (var.empty()) GTEST_SKIP() << "FVC2002 templates not found beside the checkout"

#endif
