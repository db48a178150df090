// Packed galleries at scale: a gallery of 1,000,000 synthetic ISO records
// (1,000 distinct fingers repeated, in 4 segments as if appended three
// times) is written once to a temporary file with the library's writers and
// memory-mapped. Measured:
//   BM_GalleryOpen          mmap + CheckGallery + munmap of the whole file;
//   BM_GalleryEntry         GetGalleryEntry of a random entry (names, slots);
//   BM_SearchGalleryTopK    ranked search of 4,000 entries across a segment
//                           boundary, per entry (items), against
//   BM_SearchTopK_Flat      SearchTopK over the same templates in one list.
// The file is removed at exit. FPMATCH_BENCH_GALLERY=path keeps it there.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fpmatch.h"
#include "synthetic.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace samples = fpmatch::samples;

constexpr int32_t kEntries = 1000000;
constexpr int32_t kDistinct = 1000;
constexpr int32_t kSegments = 4;
constexpr int32_t kStride = 336;

const std::vector<Bytes>& Distinct() {
    static const std::vector<Bytes> templates = [] {
        std::vector<Bytes> out;
        for (int32_t f = 0; f < kDistinct; ++f) out.push_back(samples::MakeIsoRecord(samples::MakeFinger(7000 + f, 20 + f % 25), 60));
        return out;
    }();
    return templates;
}

std::string Name(int32_t i) { return "person-" + std::to_string(i) + "/right-index"; }

struct Mapped {
    std::string path;
    const uint8_t* data = nullptr;
    size_t size = 0;
    double writeSeconds = 0;
};

void Put(std::ofstream& out, const uint8_t* p, size_t n) { out.write(reinterpret_cast<const char*>(p), static_cast<std::streamsize>(n)); }
void Pad(std::ofstream& out, uint64_t to) {
    static const uint8_t zeros[4096] = {};
    for (uint64_t at = static_cast<uint64_t>(out.tellp()); at < to;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(to - at, sizeof zeros));
        Put(out, zeros, n);
        at += n;
    }
}

// Writes the gallery: header, then kSegments segments one after the other.
void WriteGallery(const std::string& path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    uint8_t buf[FPMATCH_GALLERY_SEGMENT_HEADER_SIZE];
    std::vector<GallerySegment> segs(kSegments);
    uint64_t at = FPMATCH_GALLERY_HEADER_SIZE;
    for (int32_t s = 0; s < kSegments; ++s) {
        GallerySegment& seg = segs[static_cast<size_t>(s)];
        seg.offset = (at + 63) / 64 * 64;
        seg.firstIndex = s * (kEntries / kSegments);
        seg.entryCount = kEntries / kSegments;
        seg.stride = kStride;
        for (int32_t j = 0; j < seg.entryCount; ++j) seg.namesSize += Name(seg.firstIndex + j).size();
        PlanGallerySegment(&seg);
        at = seg.endOffset;
    }
    GalleryInfo info{};
    info.entryCount = kEntries;
    info.segmentCount = kSegments;
    info.firstSegmentOffset = segs.front().offset;
    info.lastSegmentOffset = segs.back().offset;
    info.usedSize = segs.back().endOffset;
    WriteGalleryHeader(&info, buf, sizeof buf);
    Put(out, buf, FPMATCH_GALLERY_HEADER_SIZE);
    Bytes slot(kStride);
    for (int32_t s = 0; s < kSegments; ++s) {
        GallerySegment seg = segs[static_cast<size_t>(s)];
        if (s + 1 < kSegments) seg.nextOffset = segs[static_cast<size_t>(s) + 1].offset;
        Pad(out, seg.offset);
        WriteGallerySegmentHeader(&seg, buf, sizeof buf);
        Put(out, buf, sizeof buf);
        uint64_t nameAt = 0;
        for (int32_t j = 0; j < seg.entryCount; ++j) {
            const int32_t i = seg.firstIndex + j;
            const Bytes& t = Distinct()[static_cast<size_t>(i % kDistinct)];
            const size_t nameLength = Name(i).size();
            WriteGalleryEntry(nameAt, static_cast<int32_t>(nameLength), static_cast<int32_t>(t.size()), buf, 16);
            Put(out, buf, 16);
            nameAt += nameLength;
        }
        Pad(out, seg.templatesOffset);
        for (int32_t j = 0; j < seg.entryCount; ++j) {
            const Bytes& t = Distinct()[static_cast<size_t>((seg.firstIndex + j) % kDistinct)];
            std::fill(slot.begin(), slot.end(), 0);
            std::copy(t.begin(), t.end(), slot.begin());
            Put(out, slot.data(), slot.size());
        }
        Pad(out, seg.namesOffset);
        for (int32_t j = 0; j < seg.entryCount; ++j) {
            const std::string n = Name(seg.firstIndex + j);
            Put(out, reinterpret_cast<const uint8_t*>(n.data()), n.size());
        }
    }
}

std::string TempPath() {
    if (const char* keep = std::getenv("FPMATCH_BENCH_GALLERY")) return keep;
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/fpmatch_bench_" + std::to_string(getpid()) + ".fpg";
}

const Mapped& Gallery() {
    static const Mapped m = [] {
        Mapped r;
        r.path = TempPath();
        struct stat st {};
        const bool reuse = std::getenv("FPMATCH_BENCH_GALLERY") && stat(r.path.c_str(), &st) == 0;
        const auto t0 = std::chrono::steady_clock::now();
        if (!reuse) WriteGallery(r.path);
        r.writeSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (!std::getenv("FPMATCH_BENCH_GALLERY"))
            std::atexit([] { std::remove(TempPath().c_str()); });
        const int fd = open(r.path.c_str(), O_RDONLY);
        fstat(fd, &st);
        r.size = static_cast<size_t>(st.st_size);
        r.data = static_cast<const uint8_t*>(mmap(nullptr, r.size, PROT_READ, MAP_SHARED, fd, 0));
        close(fd);
        std::fprintf(stderr, "gallery %s: %d entries, %zu bytes (%.1f bytes per entry), written in %.2f s\n",
                     r.path.c_str(), kEntries, r.size, static_cast<double>(r.size) / kEntries, r.writeSeconds);
        return r;
    }();
    return m;
}

void BM_GalleryOpen(benchmark::State& state) {
    const std::string path = Gallery().path;
    int32_t entries = 0;
    for (auto _ : state) {
        const int fd = open(path.c_str(), O_RDONLY);
        struct stat st {};
        fstat(fd, &st);
        void* p = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
        close(fd);
        entries = CheckGallery(static_cast<const uint8_t*>(p), static_cast<size_t>(st.st_size), nullptr);
        munmap(p, static_cast<size_t>(st.st_size));
    }
    if (entries != kEntries) state.SkipWithError("the gallery did not validate");
    state.counters["entries"] = entries;
}

void BM_GalleryEntry(benchmark::State& state) {
    const Mapped& g = Gallery();
    std::mt19937 rng(5);
    std::uniform_int_distribution<int32_t> pick(0, kEntries - 1);
    GalleryEntry e{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(GetGalleryEntry(g.data, g.size, pick(rng), &e));
        benchmark::DoNotOptimize(e.name);
    }
    state.SetItemsProcessed(state.iterations());
}

constexpr int32_t kSearched = 4000;
constexpr int32_t kSearchFirst = kEntries / kSegments - kSearched / 2;  // across the first boundary

const PreparedProbe& Probe() {
    static const std::unique_ptr<PreparedProbe> p = [] {
        auto r = std::make_unique<PreparedProbe>();
        const Bytes probe = samples::MakeIsoRecord(samples::MakeImpression(samples::MakeFinger(7000 + 3, 23), 99), 60);
        Bytes padded(probe);
        padded.resize(512, 0);
        PrepareProbe(padded.data(), r.get());
        return r;
    }();
    return *p;
}

void BM_SearchGalleryTopK(benchmark::State& state) {
    const Mapped& g = Gallery();
    const int32_t k = static_cast<int32_t>(state.range(0));
    std::vector<SearchHit> hits(static_cast<size_t>(k));
    for (auto _ : state)
        benchmark::DoNotOptimize(SearchGalleryTopK(&Probe(), g.data, g.size, kSearchFirst, kSearched, k, hits.data()));
    state.SetItemsProcessed(state.iterations() * kSearched);
}

void BM_SearchTopK_Flat(benchmark::State& state) {
    const int32_t k = static_cast<int32_t>(state.range(0));
    Bytes list(static_cast<size_t>(kSearched) * kStride, 0);
    for (int32_t j = 0; j < kSearched; ++j) {
        const Bytes& t = Distinct()[static_cast<size_t>((kSearchFirst + j) % kDistinct)];
        std::copy(t.begin(), t.end(), list.begin() + static_cast<ptrdiff_t>(j) * kStride);
    }
    std::vector<SearchHit> hits(static_cast<size_t>(k));
    for (auto _ : state)
        benchmark::DoNotOptimize(SearchTopK(&Probe(), list.data(), kStride, 0, kSearched, k, hits.data()));
    state.SetItemsProcessed(state.iterations() * kSearched);
}

}  // namespace

BENCHMARK(BM_GalleryOpen)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GalleryEntry);
BENCHMARK(BM_SearchGalleryTopK)->Arg(10)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SearchTopK_Flat)->Arg(10)->Arg(1000)->Unit(benchmark::kMillisecond);
