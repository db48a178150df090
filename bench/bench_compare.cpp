// One-to-one comparison throughput over FVC2002: every ordered pair of
// different templates within each database (25,280 pairs), one thread.
// Plain Match2Score, and the prepared forms with the probe (and gallery)
// prepared once, as a 1:N search does.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "fpmatch.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Database {
    std::vector<Bytes> templates;
};

// The four databases as stored, every record cut to what it declares; the
// 17 records above 50 minutiae stay in (they score 0, as in real use).
const std::vector<Database>& Databases() {
    static const std::vector<Database> dbs = [] {
        std::vector<Database> out;
        const std::filesystem::path root(FPMATCH_DATA_DIR);
        for (const char* db : {"DB1_B", "DB2_B", "DB3_B", "DB4_B"}) {
            Database d;
            for (int f = 101; f <= 110; ++f)
                for (int i = 1; i <= 8; ++i) {
                    std::ifstream in(root / db / (std::to_string(f) + "_" + std::to_string(i) + ".iso"),
                                     std::ios::binary);
                    if (in) d.templates.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
                }
            if (!d.templates.empty()) out.push_back(std::move(d));
        }
        return out;
    }();
    return dbs;
}

struct Pair {
    const Bytes* probe;
    const Bytes* gallery;
    size_t probeSlot, gallerySlot;  // positions in the prepared arrays
};

std::vector<Pair> OrderedPairs() {
    std::vector<Pair> pairs;
    size_t base = 0;
    for (const Database& d : Databases()) {
        for (size_t a = 0; a < d.templates.size(); ++a)
            for (size_t b = 0; b < d.templates.size(); ++b)
                if (a != b) pairs.push_back({&d.templates[a], &d.templates[b], base + a, base + b});
        base += d.templates.size();
    }
    return pairs;
}

std::vector<const Bytes*> AllTemplates() {
    std::vector<const Bytes*> all;
    for (const Database& d : Databases())
        for (const Bytes& t : d.templates) all.push_back(&t);
    return all;
}

bool NeedData(benchmark::State& state) {
    if (!Databases().empty()) return true;
    state.SkipWithError("FVC2002 templates not found beside the checkout");
    return false;
}

void BM_Match2Score_FvcPairs(benchmark::State& state) {
    if (!NeedData(state)) return;
    const auto pairs = OrderedPairs();
    size_t k = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Match2Score(pairs[k].probe->data(), pairs[k].gallery->data()));
        if (++k == pairs.size()) k = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_MatchPreparedPair_FvcPairs(benchmark::State& state) {
    if (!NeedData(state)) return;
    const auto pairs = OrderedPairs();
    const auto all = AllTemplates();
    auto probes = std::make_unique<PreparedProbe[]>(all.size());
    auto galleries = std::make_unique<PreparedGallery[]>(all.size());
    for (size_t t = 0; t < all.size(); ++t) {
        PrepareProbe(all[t]->data(), &probes[t]);
        PrepareGallery(all[t]->data(), &galleries[t]);
    }
    size_t k = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(MatchPreparedPair(&probes[pairs[k].probeSlot], &galleries[pairs[k].gallerySlot]));
        if (++k == pairs.size()) k = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_MatchPrepared_FvcPairs(benchmark::State& state) {
    if (!NeedData(state)) return;
    const auto pairs = OrderedPairs();
    const auto all = AllTemplates();
    auto probes = std::make_unique<PreparedProbe[]>(all.size());
    for (size_t t = 0; t < all.size(); ++t) PrepareProbe(all[t]->data(), &probes[t]);
    size_t k = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(MatchPrepared(&probes[pairs[k].probeSlot], pairs[k].gallery->data()));
        if (++k == pairs.size()) k = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

// Each probe against its whole database laid out as one list; items are
// entries compared.
void BM_MatchPreparedList_FvcPerEntry(benchmark::State& state) {
    if (!NeedData(state)) return;
    const size_t stride = 340;
    std::vector<Bytes> lists;
    std::vector<std::unique_ptr<PreparedProbe>> probes;
    std::vector<size_t> listOf;
    for (const Database& d : Databases()) {
        Bytes list(stride * d.templates.size(), 0);
        for (size_t t = 0; t < d.templates.size(); ++t) {
            std::copy(d.templates[t].begin(), d.templates[t].end(), list.begin() + stride * t);
            probes.push_back(std::make_unique<PreparedProbe>());
            PrepareProbe(d.templates[t].data(), probes.back().get());
            listOf.push_back(lists.size());
        }
        lists.push_back(std::move(list));
    }
    std::vector<int32_t> outcomes(80);
    size_t k = 0;
    int64_t entries = 0;
    for (auto _ : state) {
        const Bytes& list = lists[listOf[k]];
        const int32_t n = static_cast<int32_t>(list.size() / stride);
        benchmark::DoNotOptimize(MatchPreparedList(probes[k].get(), list.data(), static_cast<int32_t>(stride), 0, n,
                                                   outcomes.data()));
        entries += n;
        if (++k == probes.size()) k = 0;
    }
    state.SetItemsProcessed(entries);
}

// The same as compact records, each database's records in slots of its
// largest record's length (templates that do not decode leave a zero slot).
void BM_MatchPreparedCompactList_FvcPerEntry(benchmark::State& state) {
    if (!NeedData(state)) return;
    std::vector<Bytes> lists;
    std::vector<size_t> strides;
    std::vector<std::unique_ptr<PreparedProbe>> probes;
    std::vector<size_t> listOf;
    size_t bytes = 0, records = 0;
    for (const Database& d : Databases()) {
        std::vector<Bytes> compact;
        size_t stride = 16;
        for (const Bytes& t : d.templates) {
            Bytes r(FPMATCH_COMPACT_GALLERY_MAX_SIZE);
            const int32_t length = CompactGalleryTemplate(t.data(), r.data(), r.size());
            r.resize(length > 0 ? static_cast<size_t>(length) : 0);
            if (length > 0) {
                bytes += r.size();
                ++records;
            }
            stride = std::max(stride, r.size());
            compact.push_back(std::move(r));
        }
        Bytes list(stride * compact.size(), 0);
        for (size_t t = 0; t < compact.size(); ++t) {
            std::copy(compact[t].begin(), compact[t].end(), list.begin() + static_cast<long>(stride * t));
            probes.push_back(std::make_unique<PreparedProbe>());
            PrepareProbe(d.templates[t].data(), probes.back().get());
            listOf.push_back(lists.size());
        }
        lists.push_back(std::move(list));
        strides.push_back(stride);
    }
    std::vector<int32_t> outcomes(80);
    size_t k = 0;
    int64_t entries = 0;
    for (auto _ : state) {
        const size_t l = listOf[k];
        const int32_t n = static_cast<int32_t>(lists[l].size() / strides[l]);
        benchmark::DoNotOptimize(MatchPreparedCompactList(probes[k].get(), lists[l].data(),
                                                          static_cast<int32_t>(strides[l]), 0, n, outcomes.data()));
        entries += n;
        if (++k == probes.size()) k = 0;
    }
    state.SetItemsProcessed(entries);
    state.counters["bytes_per_record"] = static_cast<double>(bytes) / static_cast<double>(records);
}

// All FVC2002 compact records end to end, compared with the same 16 probes
// (records that prepare, evenly spread) in batches of state.range(0): 1 calls
// MatchPreparedCompactPacked per probe, more one
// MatchPreparedCompactPackedBatch per batch. Items are comparisons.
void BM_MatchPreparedCompactPacked_FvcBatch(benchmark::State& state) {
    if (!NeedData(state)) return;
    const auto all = AllTemplates();
    Bytes records;
    std::vector<uint32_t> offsets{0};
    std::vector<std::unique_ptr<PreparedProbe>> probes;
    for (size_t t = 0; t < all.size(); ++t) {
        Bytes r(FPMATCH_COMPACT_GALLERY_MAX_SIZE);
        const int32_t length = CompactGalleryTemplate(all[t]->data(), r.data(), r.size());
        records.insert(records.end(), r.begin(), r.begin() + std::max(length, 0));
        offsets.push_back(static_cast<uint32_t>(records.size()));
        auto probe = std::make_unique<PreparedProbe>();
        if (PrepareProbe(all[t]->data(), probe.get()) == FPMATCH_DECODED) probes.push_back(std::move(probe));
    }
    std::vector<const PreparedProbe*> pointers;
    for (size_t p = 0; p < 16; ++p) pointers.push_back(probes[p * probes.size() / 16].get());
    const auto batch = static_cast<size_t>(state.range(0));
    const auto n = static_cast<int32_t>(all.size());
    std::vector<int32_t> outcomes(batch * all.size());
    for (auto _ : state) {
        for (size_t p = 0; p + batch <= pointers.size(); p += batch) {
            if (batch == 1)
                benchmark::DoNotOptimize(MatchPreparedCompactPacked(pointers[p], records.data(), records.size(),
                                                                    offsets.data(), 0, n, outcomes.data()));
            else
                benchmark::DoNotOptimize(MatchPreparedCompactPackedBatch(pointers.data() + p, static_cast<int32_t>(batch),
                                                                         records.data(), records.size(), offsets.data(),
                                                                         0, n, outcomes.data()));
        }
    }
    state.SetItemsProcessed(state.iterations() * 16 * n);
}

void BM_CompactGalleryTemplate_Fvc(benchmark::State& state) {
    if (!NeedData(state)) return;
    const auto all = AllTemplates();
    std::vector<uint8_t> out(FPMATCH_COMPACT_GALLERY_MAX_SIZE);
    size_t k = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(CompactGalleryTemplate(all[k]->data(), out.data(), out.size()));
        if (++k == all.size()) k = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_PrepareProbe_Fvc(benchmark::State& state) {
    if (!NeedData(state)) return;
    const auto all = AllTemplates();
    auto prepared = std::make_unique<PreparedProbe>();
    size_t k = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(PrepareProbe(all[k]->data(), prepared.get()));
        if (++k == all.size()) k = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_PrepareGallery_Fvc(benchmark::State& state) {
    if (!NeedData(state)) return;
    const auto all = AllTemplates();
    auto prepared = std::make_unique<PreparedGallery>();
    size_t k = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(PrepareGallery(all[k]->data(), prepared.get()));
        if (++k == all.size()) k = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_Match2Score_FvcPairs);
BENCHMARK(BM_MatchPreparedPair_FvcPairs);
BENCHMARK(BM_MatchPrepared_FvcPairs);
BENCHMARK(BM_MatchPreparedList_FvcPerEntry);
BENCHMARK(BM_MatchPreparedCompactList_FvcPerEntry);
BENCHMARK(BM_MatchPreparedCompactPacked_FvcBatch)->Arg(1)->Arg(4)->Arg(16);
BENCHMARK(BM_CompactGalleryTemplate_Fvc);
BENCHMARK(BM_PrepareProbe_Fvc);
BENCHMARK(BM_PrepareGallery_Fvc);
