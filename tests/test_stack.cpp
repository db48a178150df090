// Stack needs of the entry points.
//
// Every entry point must run on a thread with a 128 KB stack and within the
// bound the header states for its kind (FPMATCH_STACK_*, plus the records a
// body keeps on its own stack). The actual need is measured by painting a
// thread stack with a pattern, running one entry point on it and finding the
// deepest byte that changed; the thread's own start-up use (measured with an
// empty body) is subtracted. The figures are printed. The compiler's per-function frame sizes (-fstack-usage, .su
// files beside the library objects) are printed as well, and no library
// function may have an unbounded (variable-size) frame.
#include <gtest/gtest.h>

#include <array>

#include <memory>
#include <elf.h>
#include <link.h>
#include <pthread.h>
#include <sys/mman.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "test_support.h"

namespace {

using fpmatch::test::Bytes;
namespace fs = std::filesystem;

constexpr size_t kSmallStack = 128 * 1024;
constexpr size_t kPaintedStack = 1024 * 1024;
constexpr uint8_t kPaint = 0xA5;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

void* Trampoline(void* arg) {
    (*static_cast<std::function<void()>*>(arg))();
    return nullptr;
}

// Runs `body` on a new thread whose stack is `size` bytes.
bool RunWithStackSize(size_t size, std::function<void()> body) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (pthread_attr_setstacksize(&attr, size) != 0) return false;
    pthread_t thread;
    const bool started = pthread_create(&thread, &attr, Trampoline, &body) == 0;
    pthread_attr_destroy(&attr);
    if (!started) return false;
    pthread_join(thread, nullptr);
    return true;
}

// Bytes of a painted thread stack that `body` touched, thread start-up
// included.
size_t PaintedUse(std::function<void()> body) {
    void* stack = mmap(nullptr, kPaintedStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED) return 0;
    std::memset(stack, kPaint, kPaintedStack);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, stack, kPaintedStack);
    pthread_t thread;
    size_t used = 0;
    if (pthread_create(&thread, &attr, Trampoline, &body) == 0) {
        pthread_join(thread, nullptr);
        const uint8_t* bytes = static_cast<const uint8_t*>(stack);
        size_t untouched = 0;
        while (untouched < kPaintedStack && bytes[untouched] == kPaint) ++untouched;
        used = kPaintedStack - untouched;
    }
    pthread_attr_destroy(&attr);
    munmap(stack, kPaintedStack);
    return used;
}

class Stack : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        using namespace fpmatch::samples;
        // The deepest cases: 50 minutiae on both sides, close enough for
        // full topology graphs, and real templates.
        const auto finger = MakeFinger(911, 50);
        iso50_ = Padded(MakeIsoRecord(finger, 60));
        iso50b_ = Padded(MakeIsoRecord(MakeImpression(finger, 912), 60));
        native_ = Padded(MakeNativeTemplate(MakeFinger(913, 25), 60, {120, 140}, {60, 200}));
        const auto fvc = fpmatch::test::LoadFvc();
        if (fvc.size() > 1) {
            real_ = Padded(fvc[0].bytes);
            realMate_ = Padded(fvc[1].bytes);
        } else {
            real_ = iso50_;
            realMate_ = iso50b_;
        }
        for (const Bytes* t : {&iso50_, &iso50b_, &native_, &real_, &realMate_}) list_.insert(list_.end(), t->begin(), t->end());
        // The same five templates as a packed gallery of two segments.
        ASSERT_TRUE(fpmatch::test::AppendGallerySegment(gallery_, {iso50_, iso50b_}, {"a", "b"}, 512, false));
        ASSERT_TRUE(fpmatch::test::AppendGallerySegment(gallery_, {native_, real_, realMate_}, {"c", "d", "e"}, 512, true));
        for (const Bytes* t : {&iso50_, &iso50b_, &native_, &real_, &realMate_}) {
            fpmatch::test::OwnedFeatureSet set;
            ASSERT_EQ(set.Decode(*t), 0);
            Bytes s(512, 0);
            ASSERT_EQ(WriteShortTemplate(&set.fs, s.data(), s.size()), 512);
            shorts_.insert(shorts_.end(), s.begin(), s.end());
        }
    }
    static Bytes Padded(Bytes b) {
        b.resize(512, 0);
        return b;
    }
    static inline Bytes iso50_, iso50b_, native_, real_, realMate_, list_, shorts_, gallery_;

    struct EntryPoint {
        const char* name;
        std::function<void()> body;
        size_t bound;  // what the header states, with the body's own records
    };
    static std::vector<EntryPoint> EntryPoints(int32_t* sink) {
        return {
            {"Match2Score (ISO, 50 minutiae each)", [=] { *sink = Match2Score(iso50_.data(), iso50b_.data()); },
             FPMATCH_STACK_COMPARISON},
            {"Match2Score (real templates)", [=] { *sink = Match2Score(real_.data(), realMate_.data()); },
             FPMATCH_STACK_COMPARISON},
            {"Match2Fp (native)", [=] { *sink = Match2Fp(native_.data(), native_.data()); }, FPMATCH_STACK_COMPARISON},
            {"ExplainMatch (ISO, 50 minutiae each; the record on the heap)",
             [=, out = std::make_shared<MatchExplanation>()] {
                 *sink = ExplainMatch(iso50_.data(), iso50b_.data(), out.get());
             },
             FPMATCH_STACK_COMPARISON},
            {"MatchListFp (5 entries)",
             [=] {
                 int32_t index = 0, score = 0;
                 *sink = MatchListFp(iso50_.data(), list_.data(), 512, 0, 5, 101, &index, &score);
             },
             FPMATCH_STACK_COMPARISON},
            {"PrepareProbe + MatchPreparedPair (records on the stack)",
             [=] {
                 PreparedProbe probe;
                 PreparedGallery gallery;
                 PrepareProbe(iso50_.data(), &probe);
                 PrepareGallery(iso50b_.data(), &gallery);
                 *sink = MatchPreparedPair(&probe, &gallery);
             },
             FPMATCH_STACK_PREPARED + sizeof(PreparedProbe) + sizeof(PreparedGallery)},
            {"PrepareProbe + SearchTopK (5 entries)",
             [=] {
                 PreparedProbe probe;
                 SearchHit hits[3];
                 PrepareProbe(real_.data(), &probe);
                 *sink = SearchTopK(&probe, list_.data(), 512, 0, 5, 3, hits) * 1000 + hits[0].score;
             },
             FPMATCH_STACK_PREPARED + sizeof(PreparedProbe)},
            {"PrepareProbe + SearchGalleryTopK (5 entries, 2 segments)",
             [=] {
                 PreparedProbe probe;
                 SearchHit hits[3];
                 PrepareProbe(real_.data(), &probe);
                 *sink = SearchGalleryTopK(&probe, gallery_.data(), gallery_.size(), 0, 5, 3, hits) * 1000 + hits[0].score;
             },
             FPMATCH_STACK_PREPARED + sizeof(PreparedProbe)},
            {"CompactGalleryTemplate (ISO, 50 minutiae)",
             [=] {
                 uint8_t out[FPMATCH_COMPACT_GALLERY_MAX_SIZE];
                 *sink = CompactGalleryTemplate(iso50b_.data(), out, sizeof out);
             },
             FPMATCH_STACK_PREPARED + FPMATCH_COMPACT_GALLERY_MAX_SIZE},
            {"PrepareProbe + MatchPreparedCompactList (2 entries)",
             [=] {
                 PreparedProbe probe;
                 uint8_t list[2 * FPMATCH_COMPACT_GALLERY_MAX_SIZE];
                 int32_t outcomes[2];
                 PrepareProbe(iso50_.data(), &probe);
                 CompactGalleryTemplate(iso50b_.data(), list, FPMATCH_COMPACT_GALLERY_MAX_SIZE);
                 CompactGalleryTemplate(real_.data(), list + FPMATCH_COMPACT_GALLERY_MAX_SIZE, FPMATCH_COMPACT_GALLERY_MAX_SIZE);
                 *sink = MatchPreparedCompactList(&probe, list, FPMATCH_COMPACT_GALLERY_MAX_SIZE, 0, 2, outcomes) * 1000 +
                         outcomes[0];
             },
             FPMATCH_STACK_PREPARED + sizeof(PreparedProbe) + 2 * FPMATCH_COMPACT_GALLERY_MAX_SIZE},
            {"PrepareProbe x2 + MatchPreparedCompactPackedBatch (2 entries; the probes on the heap)",
             [=, probes = std::make_shared<std::array<PreparedProbe, 2>>()] {
                 uint8_t records[2 * FPMATCH_COMPACT_GALLERY_MAX_SIZE];
                 uint32_t offsets[3] = {0, 0, 0};
                 offsets[1] = static_cast<uint32_t>(CompactGalleryTemplate(iso50b_.data(), records, FPMATCH_COMPACT_GALLERY_MAX_SIZE));
                 offsets[2] = offsets[1] + static_cast<uint32_t>(CompactGalleryTemplate(real_.data(), records + offsets[1],
                                                                                        FPMATCH_COMPACT_GALLERY_MAX_SIZE));
                 PrepareProbe(iso50_.data(), &(*probes)[0]);
                 PrepareProbe(realMate_.data(), &(*probes)[1]);
                 const PreparedProbe* pointers[2] = {&(*probes)[0], &(*probes)[1]};
                 int32_t outcomes[4];
                 *sink = MatchPreparedCompactPackedBatch(pointers, 2, records, offsets[2], offsets, 0, 2, outcomes) * 1000 +
                         outcomes[3];
             },
             FPMATCH_STACK_BATCH + 2 * FPMATCH_COMPACT_GALLERY_MAX_SIZE},
            {"QuickSort (5 candidates, 50-minutia probe)",
             [=] {
                 int32_t best[FPMATCH_SCREEN_BEST];
                 *sink = QuickSort(shorts_.data(), shorts_.data(), 5, best);
             },
             FPMATCH_STACK_SCREENING},
            {"MakeFilterRecord (ISO, 50 minutiae)",
             [=] {
                 uint8_t record[FPMATCH_FILTER_RECORD_SIZE];
                 *sink = MakeFilterRecord(iso50_.data(), record) * 1000 + record[1];
             },
             FPMATCH_STACK_SCREENING},
            {"PrepareFilterProbe + FilterScores (5 records; the probe on the heap)",
             [=, probe = std::make_shared<FilterProbe>()] {
                 uint8_t records[5 * FPMATCH_FILTER_RECORD_SIZE];
                 const Bytes* t[5] = {&iso50_, &iso50b_, &native_, &real_, &realMate_};
                 for (int k = 0; k < 5; ++k) MakeFilterRecord(t[k]->data(), records + k * FPMATCH_FILTER_RECORD_SIZE);
                 int32_t scores[5];
                 PrepareFilterProbe(iso50_.data(), probe.get());
                 *sink = FilterScores(probe.get(), records, FPMATCH_FILTER_RECORD_SIZE, 5, scores) * 1000 + (scores[1] > 0);
             },
             FPMATCH_STACK_SCREENING},
            {"ScreenScores (5 candidates, 50-minutia probe)",
             [=] {
                 int32_t scores[5];
                 *sink = ScreenScores(shorts_.data(), shorts_.data(), 5, scores) * 1000 + scores[0];
             },
             FPMATCH_STACK_SCREENING},
            {"DecodeFeature (and the caller's feature set)",
             [=] {
                 fpmatch::test::OwnedFeatureSet set;
                 *sink = DecodeFeature(iso50_.data(), &set.fs);
             },
             FPMATCH_STACK_HELPERS + sizeof(fpmatch::test::OwnedFeatureSet)},
            {"AdaptIsoRecord",
             [=] {
                 uint8_t out[512];
                 *sink = AdaptIsoRecord(real_.data(), 512, out, sizeof out);
             },
             FPMATCH_STACK_HELPERS + 512},
            {"GetGalleryEntry",
             [=] {
                 GalleryEntry entry;
                 *sink = GetGalleryEntry(gallery_.data(), gallery_.size(), 3, &entry) * 1000 + entry.templateLength;
             },
             FPMATCH_STACK_HELPERS},
        };
    }
};

TEST_F(Stack, EveryEntryPointRunsOn128KB) {
    int32_t expected = 0, onSmall = -1;
    for (const auto& entry : EntryPoints(&expected)) {
        SCOPED_TRACE(entry.name);
        entry.body();
        const int32_t want = expected;
        auto small = EntryPoints(&onSmall);
        for (auto& e : small)
            if (std::strcmp(e.name, entry.name) == 0) {
                ASSERT_TRUE(RunWithStackSize(kSanitized ? 8 * kSmallStack : kSmallStack, e.body));
            }
        EXPECT_EQ(onSmall, want) << "different result on a small stack";
    }
}

TEST_F(Stack, MeasuredNeedFitsWithMargin) {
    const size_t baseline = PaintedUse([] {});
    std::printf("thread start-up stack use: %zu bytes\n", baseline);
    int32_t sink = 0;
    size_t deepest = 0;
    for (const auto& entry : EntryPoints(&sink)) {
        const size_t used = PaintedUse(entry.body);
        const size_t need = used > baseline ? used - baseline : 0;
        deepest = std::max(deepest, need);
        std::printf("%-45s %7zu bytes (%.1f KB), stated at most %zu\n", entry.name, need, need / 1024.0,
                    entry.bound);
        if (!kSanitized) {
            EXPECT_LT(need, kSmallStack - 16 * 1024) << entry.name;
            EXPECT_LE(need, entry.bound) << entry.name << ": more than the header states (FPMATCH_STACK_*)";
        }
    }
    EXPECT_GT(deepest, 0u);
}

TEST_F(Stack, FrameSizesAreFixed) {
    // The .su files lie beside the library objects in the build tree.
    fs::path build = fs::path(FPMATCH_LIBRARY_FILE).parent_path();
    const fs::path objects = build / "CMakeFiles" / "fpmatch_objects.dir" / "src";
    std::error_code ec;
    if (!fs::is_directory(objects, ec)) GTEST_SKIP() << "no -fstack-usage output at " << objects;
    struct Frame {
        size_t bytes;
        std::string function, qualifier;
    };
    std::vector<Frame> frames;
    for (const auto& entry : fs::directory_iterator(objects)) {
        if (entry.path().extension() != ".su") continue;
        std::ifstream in(entry.path());
        std::string line;
        while (std::getline(in, line)) {
            // file:line:col:function<TAB>bytes<TAB>qualifier
            const auto tab1 = line.find('\t'), tab2 = line.rfind('\t');
            if (tab1 == std::string::npos || tab2 == tab1) continue;
            Frame f{std::stoul(line.substr(tab1 + 1, tab2 - tab1 - 1)), line.substr(0, tab1), line.substr(tab2 + 1)};
            const auto colon = f.function.find(':', f.function.find(".cpp:") + 5);
            f.function = f.function.substr(f.function.find(':', colon + 1) + 1);
            frames.push_back(f);
        }
    }
    if (frames.empty()) GTEST_SKIP() << "no .su files";
    std::sort(frames.begin(), frames.end(), [](const Frame& a, const Frame& b) { return a.bytes > b.bytes; });
    std::printf("largest frames (-fstack-usage):\n");
    for (size_t i = 0; i < frames.size() && i < 8; ++i)
        std::printf("  %7zu %-16s %s\n", frames[i].bytes, frames[i].qualifier.c_str(), frames[i].function.c_str());
    for (const auto& f : frames) {
        // "dynamic,bounded" is a realigned frame; plain "dynamic" is a
        // variable-size one (alloca or a variable-length array).
        EXPECT_FALSE(f.qualifier == "dynamic") << f.function << " has a variable-size frame";
        EXPECT_LT(f.bytes, 96u * 1024u) << f.function;
    }
}

// A library call that reaches libc through a lazily bound entry runs the
// dynamic linker's resolver deep inside the call, on the caller's stack,
// and the resolver saves the vector registers there (about 2.5 KB with
// AVX-512, more with AMX): beyond the stated bounds. The library is linked
// to bind everything at load time.
TEST(StackBinding, LibraryBindsAtLoad) {
    struct Search {
        std::string path;
        bool found = false, bindNow = false;
    } search{FPMATCH_LIBRARY_FILE};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            auto* s = static_cast<Search*>(data);
            std::error_code ec;
            if (info->dlpi_name == nullptr || !fs::equivalent(info->dlpi_name, s->path, ec)) return 0;
            s->found = true;
            for (int h = 0; h < info->dlpi_phnum; ++h) {
                if (info->dlpi_phdr[h].p_type != PT_DYNAMIC) continue;
                // The dynamic section as loaded; its flags are plain values.
                const auto* d = reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + info->dlpi_phdr[h].p_vaddr);
                for (; d->d_tag != DT_NULL; ++d)
                    s->bindNow |= (d->d_tag == DT_FLAGS && (d->d_un.d_val & DF_BIND_NOW)) ||
                                  (d->d_tag == DT_FLAGS_1 && (d->d_un.d_val & DF_1_NOW));
            }
            return 1;
        },
        &search);
    ASSERT_TRUE(search.found) << search.path << " is not loaded";
    EXPECT_TRUE(search.bindNow) << search.path << " is linked for lazy binding";
}

}  // namespace
