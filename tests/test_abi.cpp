// ABI guards: the layout of every public record is fixed by static_asserts (an
// accidental change fails the build), and the shared library's symbol table
// is checked against the frozen list tests/exported_symbols.txt: exactly
// those names exported, no writable data of the library's own, no heap
// functions imported. The header's declared names must match the list too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <vector>
#include <sstream>
#include <string>

#include "test_support.h"

// Records of the x86-64 Linux ABI (LP64): sizes and field offsets.
static_assert(sizeof(Minutia) == 16);
static_assert(offsetof(Minutia, x) == 0);
static_assert(offsetof(Minutia, y) == 4);
static_assert(offsetof(Minutia, angle) == 8);
static_assert(offsetof(Minutia, quality) == 12);
static_assert(offsetof(Minutia, type) == 13);
static_assert(sizeof(SingularPoint) == 8);
static_assert(offsetof(SingularPoint, x) == 0);
static_assert(offsetof(SingularPoint, y) == 4);
static_assert(sizeof(GndTable) == 1152);
static_assert(offsetof(GndTable, cells) == 0);
static_assert(sizeof(BlockQtyMap) == 288);
static_assert(offsetof(BlockQtyMap, blocks) == 0);
static_assert(sizeof(FeatureSet) == 48);
static_assert(offsetof(FeatureSet, width) == 0);
static_assert(offsetof(FeatureSet, height) == 4);
static_assert(offsetof(FeatureSet, minutiaCount) == 8);
static_assert(offsetof(FeatureSet, format) == 9);
static_assert(offsetof(FeatureSet, quality) == 10);
static_assert(offsetof(FeatureSet, minutiae) == 16);
static_assert(offsetof(FeatureSet, singularPoints) == 24);
static_assert(offsetof(FeatureSet, gndTable) == 32);
static_assert(offsetof(FeatureSet, blockQty) == 40);
static_assert(sizeof(TopoEdge) == 16);
static_assert(offsetof(TopoEdge, edgeAngle) == 0);
static_assert(offsetof(TopoEdge, distance) == 4);
static_assert(offsetof(TopoEdge, relativeDirection) == 8);
static_assert(offsetof(TopoEdge, neighbourType) == 12);
static_assert(offsetof(TopoEdge, neighbourIndex) == 13);
static_assert(sizeof(TopoGraph) == 40052);
static_assert(offsetof(TopoGraph, edges) == 0);
static_assert(offsetof(TopoGraph, edgeCounts) == 40000);
static_assert(sizeof(BasePair) == 16);
static_assert(offsetof(BasePair, probeIndex) == 0);
static_assert(offsetof(BasePair, galleryIndex) == 4);
static_assert(offsetof(BasePair, pairScore) == 8);
static_assert(offsetof(BasePair, matchScore) == 12);
static_assert(sizeof(RigidTransform) == 20);
static_assert(offsetof(RigidTransform, pivotX) == 0);
static_assert(offsetof(RigidTransform, pivotY) == 4);
static_assert(offsetof(RigidTransform, shiftX) == 8);
static_assert(offsetof(RigidTransform, shiftY) == 12);
static_assert(offsetof(RigidTransform, angle) == 16);
static_assert(sizeof(PolarMinutia) == 12);
static_assert(offsetof(PolarMinutia, index) == 0);
static_assert(offsetof(PolarMinutia, radius) == 4);
static_assert(offsetof(PolarMinutia, bearing) == 8);
static_assert(sizeof(MinutiaPair) == 8);
static_assert(offsetof(MinutiaPair, probeIndex) == 0);
static_assert(offsetof(MinutiaPair, galleryIndex) == 4);
static_assert(sizeof(ShortMinutia) == 10);
static_assert(offsetof(ShortMinutia, x) == 0);
static_assert(offsetof(ShortMinutia, y) == 2);
static_assert(offsetof(ShortMinutia, angle) == 4);
static_assert(offsetof(ShortMinutia, type) == 6);
static_assert(offsetof(ShortMinutia, quality) == 8);
static_assert(sizeof(NeighbourEdge) == 12);
static_assert(offsetof(NeighbourEdge, distance) == 0);
static_assert(offsetof(NeighbourEdge, edgeAngle) == 4);
static_assert(offsetof(NeighbourEdge, relativeDirection) == 6);
static_assert(offsetof(NeighbourEdge, neighbourType) == 8);
static_assert(sizeof(CharNode) == 612);
static_assert(offsetof(CharNode, index) == 0);
static_assert(offsetof(CharNode, x) == 2);
static_assert(offsetof(CharNode, y) == 4);
static_assert(offsetof(CharNode, angle) == 6);
static_assert(offsetof(CharNode, type) == 8);
static_assert(offsetof(CharNode, neighbourCount) == 10);
static_assert(offsetof(CharNode, edges) == 12);
static_assert(sizeof(LimitNode) == 48);
static_assert(offsetof(LimitNode, index) == 0);
static_assert(offsetof(LimitNode, x) == 2);
static_assert(offsetof(LimitNode, y) == 4);
static_assert(offsetof(LimitNode, angle) == 6);
static_assert(offsetof(LimitNode, type) == 8);
static_assert(offsetof(LimitNode, neighbourCount) == 10);
static_assert(offsetof(LimitNode, edges) == 12);
static_assert(sizeof(GalleryInfo) == 40);
static_assert(offsetof(GalleryInfo, shortCount) == 12);
static_assert(offsetof(GalleryInfo, firstSegmentOffset) == 16);
static_assert(offsetof(GalleryInfo, usedSize) == 32);
static_assert(sizeof(GallerySegment) == 80);
static_assert(offsetof(GallerySegment, firstIndex) == 16);
static_assert(offsetof(GallerySegment, hasShorts) == 28);
static_assert(offsetof(GallerySegment, directoryOffset) == 32);
static_assert(offsetof(GallerySegment, endOffset) == 72);
static_assert(sizeof(GalleryEntry) == 40);
static_assert(offsetof(GalleryEntry, templateLength) == 8);
static_assert(offsetof(GalleryEntry, name) == 16);
static_assert(offsetof(GalleryEntry, nameLength) == 24);
static_assert(offsetof(GalleryEntry, shortTemplate) == 32);
static_assert(sizeof(FeatureStorage) == 2264);
static_assert(offsetof(FeatureStorage, minutiae) == 0);
static_assert(offsetof(FeatureStorage, singularPoints) == 800);
static_assert(offsetof(FeatureStorage, gndTable) == 824);
static_assert(offsetof(FeatureStorage, blockQty) == 1976);
static_assert(sizeof(AlignmentExplanation) == 1272);
static_assert(offsetof(AlignmentExplanation, basePair) == 0);
static_assert(offsetof(AlignmentExplanation, stage) == 16);
static_assert(offsetof(AlignmentExplanation, rotation) == 20);
static_assert(offsetof(AlignmentExplanation, pairCount) == 40);
static_assert(offsetof(AlignmentExplanation, unpairedGalleryNear) == 68);
static_assert(offsetof(AlignmentExplanation, pairs) == 72);
static_assert(offsetof(AlignmentExplanation, movedGallery) == 472);
static_assert(sizeof(MatchExplanation) == 5440);
static_assert(offsetof(MatchExplanation, score) == 0);
static_assert(offsetof(MatchExplanation, basePairCount) == 20);
static_assert(offsetof(MatchExplanation, probeMinutiae) == 24);
static_assert(offsetof(MatchExplanation, galleryMinutiae) == 824);
static_assert(offsetof(MatchExplanation, alignments) == 1624);
static_assert(sizeof(void*) == 8, "the layout above is the LP64 one");

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

struct Symbol {
    char type;
    std::string name;
};

// Runs nm with `options` on the built library and returns its symbols.
std::vector<Symbol> Nm(const std::string& options) {
    const std::string command = "nm " + options + " '" FPMATCH_LIBRARY_FILE "' 2>/dev/null";
    std::vector<Symbol> out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe)) {
        std::istringstream in(line);
        std::string a, b, c;
        in >> a >> b >> c;
        // "addr T name" for defined symbols, "U name" / "w name" for undefined.
        Symbol s;
        if (c.empty()) {
            s.type = a.empty() ? '?' : a[0];
            s.name = b;
        } else {
            s.type = b.empty() ? '?' : b[0];
            s.name = c;
        }
        const auto at = s.name.find('@');
        if (at != std::string::npos) s.name.erase(at);
        if (!s.name.empty()) out.push_back(s);
    }
    pclose(pipe);
    return out;
}

// The frozen names, as listed and as a set.
struct FrozenList {
    std::set<std::string> required;
    std::vector<std::string> inFileOrder;
};

FrozenList ReadFrozenList() {
    FrozenList list;
    std::ifstream in(std::string(FPMATCH_SOURCE_DIR) + "/tests/exported_symbols.txt");
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        std::string name;
        words >> name;
        list.inFileOrder.push_back(name);
        list.required.insert(name);
    }
    return list;
}

TEST(Abi, FrozenListIsSorted) {
    const FrozenList frozen = ReadFrozenList();
    EXPECT_TRUE(std::is_sorted(frozen.inFileOrder.begin(), frozen.inFileOrder.end()));
}

// The library, the header it was built with and the build's project version
// (which configure reads from the header) agree, and the soname carries the
// major version.
TEST(Abi, VersionStringIsTheHeaderVersion) {
    EXPECT_STREQ(VersionString(), FPMATCH_VERSION_STRING);
    EXPECT_STREQ(VersionString(), FPMATCH_PROJECT_VERSION);
    EXPECT_EQ(std::to_string(FPMATCH_VERSION_MAJOR) + "." + std::to_string(FPMATCH_VERSION_MINOR) + "." +
                  std::to_string(FPMATCH_VERSION_PATCH),
              FPMATCH_VERSION_STRING);
    const std::string file = FPMATCH_LIBRARY_FILE;
    EXPECT_NE(file.find(".so." FPMATCH_VERSION_STRING), std::string::npos) << file;
}

bool NmAvailable() { return !Nm("-D --defined-only").empty(); }

TEST(Abi, ExportsExactlyTheFrozenList) {
    if (!NmAvailable()) GTEST_SKIP() << "nm not available";
    const FrozenList frozen = ReadFrozenList();
    ASSERT_FALSE(frozen.required.empty());
    std::set<std::string> exported;
    for (const auto& s : Nm("-D --defined-only")) {
        // Sanitizer builds add their own instrumentation symbols.
        if (kSanitized && s.name.rfind("__", 0) == 0) continue;
        exported.insert(s.name);
    }
    for (const auto& name : frozen.required) EXPECT_TRUE(exported.count(name)) << name << " is not exported";
    // The JNI functions are libfpmatch-jni.so's, never the core's, whatever
    // the build machine has.
    for (const auto& name : exported)
        EXPECT_NE(name.rfind("Java_", 0), 0u) << name << " is exported; JNI functions belong in libfpmatch-jni.so";
    for (const auto& name : frozen.required)
        EXPECT_NE(name.rfind("Java_", 0), 0u) << name << " is listed in tests/exported_symbols.txt";
    for (const auto& name : exported)
        EXPECT_TRUE(frozen.required.count(name)) << name << " is exported but not in tests/exported_symbols.txt";
}

TEST(Abi, ExportedFunctionsAndTablesHaveTheRightKind) {
    if (!NmAvailable()) GTEST_SKIP() << "nm not available";
    for (const auto& s : Nm("-D --defined-only")) {
        if (s.name == "AtanTab2D" || s.name == "SqrtTab") {
            EXPECT_EQ(s.type, 'R') << s.name << " must be read-only data";
        } else if (s.name.rfind("__", 0) != 0) {
            EXPECT_EQ(s.type, 'T') << s.name << " must be a function";
        }
    }
}

TEST(Abi, NoWritableDataOfItsOwn) {
    if (kSanitized) GTEST_SKIP() << "sanitizers add writable data of their own";
    if (!NmAvailable()) GTEST_SKIP() << "nm not available";
    // Linker and C runtime start-up objects, present in every shared library.
    const std::regex toolchain(
        "_DYNAMIC|_GLOBAL_OFFSET_TABLE_|__TMC_END__|__dso_handle|__bss_start|_edata|_end|"
        "__do_global_dtors_aux_fini_array_entry|__frame_dummy_init_array_entry|completed\\..*|"
        "__init_array_(start|end)|__fini_array_(start|end)|DW\\.ref\\.__gxx_personality_v0|"
        // The compiler runtime's processor description, filled once at load
        // and read to choose the SIMD path.
        "__cpu_model|__cpu_features2");
    for (const auto& s : Nm("")) {
        if (s.type != 'd' && s.type != 'D' && s.type != 'b' && s.type != 'B') continue;
        EXPECT_TRUE(std::regex_match(s.name, toolchain)) << "writable symbol " << s.type << " " << s.name;
    }
}

TEST(Abi, ImportsNoHeapFunctions) {
    if (!NmAvailable()) GTEST_SKIP() << "nm not available";
    const std::set<std::string> heap = {
        "malloc", "calloc", "realloc", "free", "aligned_alloc", "posix_memalign", "memalign", "valloc",
        "pvalloc", "reallocarray", "strdup", "strndup", "__cxa_allocate_exception", "__cxa_throw"};
    for (const auto& s : Nm("-D --undefined-only")) {
        EXPECT_FALSE(heap.count(s.name)) << "imports " << s.name;
        // operator new / new[] / delete / delete[] in every overload.
        EXPECT_FALSE(s.name.rfind("_Znw", 0) == 0 || s.name.rfind("_Zna", 0) == 0 ||
                     s.name.rfind("_Zdl", 0) == 0 || s.name.rfind("_Zda", 0) == 0)
            << "imports " << s.name;
        // Nothing from the C++ runtime at all (iostreams, exceptions, RTTI).
        EXPECT_FALSE(s.name.rfind("_ZNSt", 0) == 0 || s.name.rfind("_ZSt", 0) == 0 ||
                     (s.name.rfind("__cxa_", 0) == 0 && s.name != "__cxa_finalize"))
            << "imports " << s.name;
    }
}

// Every FPMATCH_API declaration of include/fpmatch.h, by name.
std::set<std::string> HeaderNames() {
    std::ifstream in(std::string(FPMATCH_SOURCE_DIR) + "/include/fpmatch.h");
    std::stringstream text;
    text << in.rdbuf();
    std::string header = text.str();
    // Drop comments so that prose mentioning the macro does not count.
    header = std::regex_replace(header, std::regex("/\\*[^*]*\\*+([^/*][^*]*\\*+)*/"), " ");
    header = std::regex_replace(header, std::regex("//[^\n]*"), " ");
    // And preprocessor lines (the macro's own definition).
    header = std::regex_replace(header, std::regex("(^|\n)[ \t]*#[^\n]*"), "\n");
    std::set<std::string> names;
    const std::regex declaration("FPMATCH_API\\s+([^;(\\[]*?)([A-Za-z_][A-Za-z0-9_]*)\\s*[(\\[]");
    for (auto it = std::sregex_iterator(header.begin(), header.end(), declaration); it != std::sregex_iterator(); ++it)
        names.insert((*it)[2].str());
    return names;
}

TEST(Abi, HeaderDeclaresTheFrozenList) {
    const FrozenList frozen = ReadFrozenList();
    const auto declared = HeaderNames();
    ASSERT_GE(declared.size(), 30u);
    for (const auto& name : frozen.required) EXPECT_TRUE(declared.count(name)) << name << " is not declared FPMATCH_API";
    for (const auto& name : declared)
        EXPECT_TRUE(frozen.required.count(name))
            << name << " is declared FPMATCH_API but not in tests/exported_symbols.txt";
}

TEST(Abi, RecordsHaveTheDocumentedCapacities) {
    EXPECT_EQ(sizeof(TopoGraph::edges) / sizeof(TopoEdge), 2500u);
    EXPECT_EQ(sizeof(CharNode::edges) / sizeof(NeighbourEdge), 50u);
    EXPECT_EQ(sizeof(LimitNode::edges) / sizeof(NeighbourEdge), 3u);
    EXPECT_EQ(sizeof(AtanTab2D), 144u * 128u);
    EXPECT_EQ(sizeof(SqrtTab), 144u * 128u);
}

}  // namespace
