// Throughput of the entry points: one-to-one comparison on real and
// synthetic templates, the list search, screening and decoding.
//
//   build/bench/fpmatch_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "fpmatch.h"
#include "synthetic.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace samples = fpmatch::samples;

struct Fvc {
    std::vector<Bytes> templates;  // finger-major: 10 fingers x 8 impressions per database
    std::vector<int> finger;
};

const Fvc& LoadFvc() {
    static const Fvc fvc = [] {
        Fvc out;
        const std::filesystem::path root(FPMATCH_DATA_DIR);
        for (const char* db : {"DB1_B", "DB2_B", "DB3_B", "DB4_B"})
            for (int f = 101; f <= 110; ++f)
                for (int i = 1; i <= 8; ++i) {
                    std::ifstream in(root / db / (std::to_string(f) + "_" + std::to_string(i) + ".iso"), std::ios::binary);
                    if (!in) continue;
                    out.templates.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
                    out.finger.push_back(f + 1000 * db[2]);
                }
        return out;
    }();
    return fvc;
}

// A feature set bound to its own storage (the library's FeatureStorage).
struct BoundFeatureSet {
    FeatureStorage storage;
    FeatureSet fs;
    BoundFeatureSet() { BindFeatureSet(&fs, &storage); }
};

std::vector<Bytes> SyntheticGallery(int count) {
    std::vector<Bytes> out;
    for (int i = 0; i < count; ++i) out.push_back(samples::MakeIsoRecord(samples::MakeFinger(1000 + i, 40), 60));
    return out;
}

void ComparePairs(benchmark::State& state, bool genuine) {
    const Fvc& fvc = LoadFvc();
    std::vector<std::pair<const Bytes*, const Bytes*>> pairs;
    for (size_t a = 0; a < fvc.templates.size(); ++a)
        for (size_t b = a + 1; b < fvc.templates.size() && pairs.size() < 4000; ++b)
            if ((fvc.finger[a] == fvc.finger[b]) == genuine) pairs.emplace_back(&fvc.templates[a], &fvc.templates[b]);
    if (pairs.empty()) {
        state.SkipWithError("FVC2002 templates not found beside the checkout");
        return;
    }
    size_t k = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Match2Score(pairs[k].first->data(), pairs[k].second->data()));
        k = (k + 1) % pairs.size();
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Match2Score_FvcGenuine(benchmark::State& state) { ComparePairs(state, true); }
void BM_Match2Score_FvcImpostor(benchmark::State& state) { ComparePairs(state, false); }

void BM_Match2Score_Synthetic50(benchmark::State& state) {
    const auto finger = samples::MakeFinger(5, 50);
    const Bytes probe = samples::MakeIsoRecord(finger, 60);
    const Bytes gallery = samples::MakeIsoRecord(samples::MakeImpression(finger, 9), 60);
    for (auto _ : state) benchmark::DoNotOptimize(Match2Score(probe.data(), gallery.data()));
    state.SetItemsProcessed(state.iterations());
}

void BM_MatchListFp(benchmark::State& state) {
    const int entries = static_cast<int>(state.range(0));
    const auto gallery = SyntheticGallery(entries);
    const int32_t stride = 28 + 6 * 50 + 2;
    Bytes list(static_cast<size_t>(stride) * entries, 0);
    for (int i = 0; i < entries; ++i) std::copy(gallery[i].begin(), gallery[i].end(), list.begin() + i * stride);
    const Bytes probe = samples::MakeIsoRecord(samples::MakeFinger(1, 40), 60);
    for (auto _ : state) {
        int32_t index = -1, score = -1;
        benchmark::DoNotOptimize(MatchListFp(probe.data(), list.data(), stride, 0, entries, 101, &index, &score));
    }
    state.SetItemsProcessed(state.iterations() * entries);
}

void BM_QuickSort(benchmark::State& state) {
    const int candidates = static_cast<int>(state.range(0));
    Bytes list(static_cast<size_t>(512) * candidates, 0);
    BoundFeatureSet bound;
    FeatureSet& fs = bound.fs;
    for (int i = 0; i < candidates; ++i) {
        const Bytes iso = samples::MakeIsoRecord(samples::MakeFinger(2000 + i, 40), 60);
        if (DecodeFeature(iso.data(), &fs) == 0) WriteShortTemplate(&fs, list.data() + 512 * i, 512);
    }
    const Bytes probe(list.begin(), list.begin() + 512);
    int32_t best[32];
    for (auto _ : state) benchmark::DoNotOptimize(QuickSort(probe.data(), list.data(), candidates, best));
    state.SetItemsProcessed(state.iterations() * candidates);
}

// The 320 FVC2002 records as 512-byte short templates laid end to end, in
// database, finger, impression order. Records declaring more than 50
// minutiae are cut to their first 50, which the decoder accepts.
const Bytes& FvcShortList() {
    static const Bytes list = [] {
        Bytes out;
        BoundFeatureSet bound;
        for (const Bytes& t : LoadFvc().templates) {
            Bytes iso = t;
            if (iso.size() > 27 && iso[27] > 50) iso[27] = 50;
            Bytes record(512, 0);
            if (DecodeFeature(iso.data(), &bound.fs) != 0 || WriteShortTemplate(&bound.fs, record.data(), 512) != 512)
                continue;
            out.insert(out.end(), record.begin(), record.end());
        }
        return out;
    }();
    return list;
}

// Each FVC2002 short template in turn screens the whole list of 320.
void BM_QuickSort_Fvc(benchmark::State& state) {
    const Bytes& list = FvcShortList();
    const int32_t count = static_cast<int32_t>(list.size() / 512);
    if (count == 0) {
        state.SkipWithError("FVC2002 templates not found beside the checkout");
        return;
    }
    int32_t best[32];
    int32_t probe = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(QuickSort(list.data() + 512 * static_cast<size_t>(probe), list.data(), count, best));
        probe = (probe + 1) % count;
    }
    state.SetItemsProcessed(state.iterations() * count);
}

// The 320 FVC2002 records, adapted (AdaptIsoRecord), as filter records laid
// end to end, and the adapted records themselves.
struct FvcFilter {
    std::vector<Bytes> adapted;
    Bytes records;
};
const FvcFilter& LoadFvcFilter() {
    static const FvcFilter f = [] {
        FvcFilter out;
        for (const Bytes& t : LoadFvc().templates) {
            Bytes a(336, 0);
            if (AdaptIsoRecord(t.data(), t.size(), a.data(), a.size()) < 0) continue;
            Bytes r(FPMATCH_FILTER_RECORD_SIZE);
            MakeFilterRecord(a.data(), r.data());
            out.records.insert(out.records.end(), r.begin(), r.end());
            out.adapted.push_back(std::move(a));
        }
        return out;
    }();
    return f;
}

// Each FVC2002 record in turn, prepared as a filter probe, scores all 320
// records (items: records scored).
void BM_FilterScores_Fvc(benchmark::State& state) {
    const FvcFilter& f = LoadFvcFilter();
    const int32_t count = static_cast<int32_t>(f.adapted.size());
    if (count == 0) {
        state.SkipWithError("FVC2002 templates not found beside the checkout");
        return;
    }
    std::vector<FilterProbe> probes(f.adapted.size());
    for (size_t i = 0; i < f.adapted.size(); ++i) PrepareFilterProbe(f.adapted[i].data(), &probes[i]);
    std::vector<int32_t> scores(f.adapted.size());
    size_t probe = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(FilterScores(&probes[probe], f.records.data(), FPMATCH_FILTER_RECORD_SIZE, count, scores.data()));
        probe = (probe + 1) % probes.size();
    }
    state.SetItemsProcessed(state.iterations() * count);
}

void BM_MakeFilterRecord_Fvc(benchmark::State& state) {
    const FvcFilter& f = LoadFvcFilter();
    if (f.adapted.empty()) {
        state.SkipWithError("FVC2002 templates not found beside the checkout");
        return;
    }
    uint8_t record[FPMATCH_FILTER_RECORD_SIZE];
    size_t k = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(MakeFilterRecord(f.adapted[k].data(), record));
        k = (k + 1) % f.adapted.size();
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_PrepareFilterProbe_Fvc(benchmark::State& state) {
    const FvcFilter& f = LoadFvcFilter();
    if (f.adapted.empty()) {
        state.SkipWithError("FVC2002 templates not found beside the checkout");
        return;
    }
    auto probe = std::make_unique<FilterProbe>();
    size_t k = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(PrepareFilterProbe(f.adapted[k].data(), probe.get()));
        k = (k + 1) % f.adapted.size();
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_DecodeFeature(benchmark::State& state) {
    const Bytes iso = samples::MakeIsoRecord(samples::MakeFinger(3, 50), 60);
    BoundFeatureSet bound;
    FeatureSet& fs = bound.fs;
    for (auto _ : state) benchmark::DoNotOptimize(DecodeFeature(iso.data(), &fs));
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_Match2Score_FvcGenuine);
BENCHMARK(BM_Match2Score_FvcImpostor);
BENCHMARK(BM_Match2Score_Synthetic50);
BENCHMARK(BM_MatchListFp)->Arg(1000);
BENCHMARK(BM_QuickSort)->Arg(10000);
BENCHMARK(BM_QuickSort_Fvc)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FilterScores_Fvc);
BENCHMARK(BM_MakeFilterRecord_Fvc);
BENCHMARK(BM_PrepareFilterProbe_Fvc);
BENCHMARK(BM_DecodeFeature);
BENCHMARK_MAIN();
