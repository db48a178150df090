// Hit rate against penetration rate of the candidate filter (FilterScores)
// and of short-template screening (ScreenScores), for two-stage
// identification.
//
// A probe's rank-1 hit is the full search's best entry (Match2Score, equal
// scores by lower position) when it is a mate of the probe (same database,
// same finger). A stage-one method keeps the hit at penetration p when the
// entry is among the floor(p * (gallery - 1)) best by that method's score
// (equal scores by lower position), the probe itself left out.
//
//   1. FVC2002: the 320 records of DB1_B..DB4_B, each adapted with
//      AdaptIsoRecord, in one gallery; each record is a probe against the
//      other 319.
//   2. The same 320 records spread evenly among N synthetic distractors
//      (samples/synthetic.cpp: random fingers of 20..50 minutiae, adapted);
//      the full search runs over the whole gallery, so a distractor can
//      take rank 1 from a mate.
// The program also times FilterScores per record and the full search per
// entry (MatchPreparedList over the gallery's template slots) and prints
// the two-stage cost at each penetration.
//
//   build/bench/fpmatch_filter_eval [--data DIR] [--distractors N]
//                                   [--threads N] [--no-screen]
// Defaults: the FVC2002 folder of the build, 100000 distractors, every
// hardware thread, ScreenScores included. --distractors 0 runs part 1 only.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fpmatch.h"
#include "synthetic.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace samples = fpmatch::samples;

constexpr int32_t kSlot = 336;  // template slot: any adapted record fits
constexpr int kPenetrations[] = {1, 2, 5, 10, 20};

struct Options {
    std::string data = FPMATCH_DATA_DIR;
    int32_t distractors = 100000;
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    bool screen = true;
};

struct Entry {
    Bytes slot;          // adapted template, zero padded to kSlot
    int32_t finger = -1; // database * 1000 + finger for real records; -1 for distractors
};

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Runs body(i) for i in 0..count-1 on `threads` threads.
void ParallelFor(int32_t count, unsigned threads, const std::function<void(int32_t)>& body) {
    std::atomic<int32_t> next{0};
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t)
        pool.emplace_back([&] {
            for (int32_t i; (i = next++) < count;) body(i);
        });
    for (auto& t : pool) t.join();
}

Bytes Adapted(const Bytes& record) {
    Bytes out(kSlot, 0);
    const int32_t n = AdaptIsoRecord(record.data(), record.size(), out.data(), out.size());
    if (n < 0) return {};
    return out;
}

std::vector<Entry> LoadFvc(const std::string& root) {
    std::vector<Entry> out;
    const char* dbs[] = {"DB1_B", "DB2_B", "DB3_B", "DB4_B"};
    for (int d = 0; d < 4; ++d)
        for (int f = 101; f <= 110; ++f)
            for (int i = 1; i <= 8; ++i) {
                std::ifstream in(std::filesystem::path(root) / dbs[d] / (std::to_string(f) + "_" + std::to_string(i) + ".iso"),
                                 std::ios::binary);
                if (!in) continue;
                const Bytes raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
                Entry e;
                e.slot = Adapted(raw);
                e.finger = (d + 1) * 1000 + f;
                if (!e.slot.empty()) out.push_back(std::move(e));
            }
    return out;
}

Bytes ShortOf(const Bytes& tmpl) {
    FeatureStorage storage;
    FeatureSet set;
    BindFeatureSet(&set, &storage);
    Bytes out(FPMATCH_SHORT_TEMPLATE_SIZE, 0);  // no marker: screens 0
    if (DecodeFeature(tmpl.data(), &set) != FPMATCH_DECODED ||
        WriteShortTemplate(&set, out.data(), out.size()) != FPMATCH_SHORT_TEMPLATE_SIZE)
        std::fill(out.begin(), out.end(), 0);
    return out;
}

// Everything a method needs, laid out as one gallery.
struct Gallery {
    std::vector<Entry> entries;
    Bytes slots, records, shorts;
    std::vector<int32_t> probes;  // positions of the real records
};

Gallery Lay(std::vector<Entry> entries, bool shorts, unsigned threads) {
    Gallery g;
    g.entries = std::move(entries);
    const int32_t n = static_cast<int32_t>(g.entries.size());
    g.slots.resize(static_cast<size_t>(n) * kSlot);
    g.records.resize(static_cast<size_t>(n) * FPMATCH_FILTER_RECORD_SIZE);
    if (shorts) g.shorts.resize(static_cast<size_t>(n) * FPMATCH_SHORT_TEMPLATE_SIZE);
    ParallelFor(n, threads, [&](int32_t i) {
        const Bytes& t = g.entries[static_cast<size_t>(i)].slot;
        std::copy(t.begin(), t.end(), g.slots.begin() + static_cast<ptrdiff_t>(i) * kSlot);
        MakeFilterRecord(t.data(), &g.records[static_cast<size_t>(i) * FPMATCH_FILTER_RECORD_SIZE]);
        if (shorts) {
            const Bytes s = ShortOf(t);
            std::copy(s.begin(), s.end(), g.shorts.begin() + static_cast<ptrdiff_t>(i) * FPMATCH_SHORT_TEMPLATE_SIZE);
        }
    });
    for (int32_t i = 0; i < n; ++i)
        if (g.entries[static_cast<size_t>(i)].finger >= 0) g.probes.push_back(i);
    return g;
}

// Rank of `target` among every position but `probe` by descending score,
// equal scores by lower position.
int64_t RankOf(const std::vector<int32_t>& scores, int32_t probe, int32_t target) {
    int64_t rank = 0;
    const int32_t t = scores[static_cast<size_t>(target)];
    for (int32_t j = 0; j < static_cast<int32_t>(scores.size()); ++j)
        if (j != probe && j != target && (scores[static_cast<size_t>(j)] > t || (scores[static_cast<size_t>(j)] == t && j < target)))
            ++rank;
    return rank;
}

struct Result {
    int32_t probes = 0, hits = 0;
    std::vector<int64_t> filterRank, screenRank;  // per hit
    double fullSeconds = 0, filterSeconds = 0, screenSeconds = 0;  // thread CPU, summed
    int64_t compared = 0, filtered = 0, screened = 0;
};

double ThreadCpu() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

Result Evaluate(const Gallery& g, bool screen, unsigned threads) {
    const int32_t n = static_cast<int32_t>(g.entries.size());
    const int32_t probes = static_cast<int32_t>(g.probes.size());
    std::vector<int64_t> filterRank(static_cast<size_t>(probes), -1), screenRank(static_cast<size_t>(probes), -1);
    std::vector<double> full(static_cast<size_t>(probes)), filter(static_cast<size_t>(probes)),
        screenTime(static_cast<size_t>(probes));
    std::atomic<int32_t> done{0};
    const double started = Now();
    ParallelFor(probes, threads, [&](int32_t k) {
        const int32_t i = g.probes[static_cast<size_t>(k)];
        const uint8_t* probeTemplate = g.entries[static_cast<size_t>(i)].slot.data();
        // Full search.
        auto prepared = std::make_unique<PreparedProbe>();
        PrepareProbe(probeTemplate, prepared.get());
        std::vector<int32_t> scores(static_cast<size_t>(n));
        double t0 = ThreadCpu();
        MatchPreparedList(prepared.get(), g.slots.data(), kSlot, 0, n, scores.data());
        full[static_cast<size_t>(k)] = ThreadCpu() - t0;
        int32_t best = -1, bestScore = -1;
        for (int32_t j = 0; j < n; ++j) {
            const int32_t s = std::max(scores[static_cast<size_t>(j)], 0);
            if (j != i && s > bestScore) {
                bestScore = s;
                best = j;
            }
        }
        const bool hit = g.entries[static_cast<size_t>(best)].finger == g.entries[static_cast<size_t>(i)].finger;
        // Filter.
        auto filterProbe = std::make_unique<FilterProbe>();
        PrepareFilterProbe(probeTemplate, filterProbe.get());
        t0 = ThreadCpu();
        FilterScores(filterProbe.get(), g.records.data(), FPMATCH_FILTER_RECORD_SIZE, n, scores.data());
        filter[static_cast<size_t>(k)] = ThreadCpu() - t0;
        if (hit) filterRank[static_cast<size_t>(k)] = RankOf(scores, i, best);
        // Short-template screening.
        if (screen) {
            t0 = ThreadCpu();
            ScreenScores(g.shorts.data() + static_cast<size_t>(i) * FPMATCH_SHORT_TEMPLATE_SIZE, g.shorts.data(), n,
                         scores.data());
            screenTime[static_cast<size_t>(k)] = ThreadCpu() - t0;
            if (hit) screenRank[static_cast<size_t>(k)] = RankOf(scores, i, best);
        }
        const int32_t finished = ++done;
        if (n > 1000 && finished % 16 == 0)
            std::fprintf(stderr, "  %d of %d probes searched (%.0f s)\n", finished, probes, Now() - started);
    });
    Result r;
    r.probes = probes;
    for (int32_t k = 0; k < probes; ++k) {
        r.fullSeconds += full[static_cast<size_t>(k)];
        r.filterSeconds += filter[static_cast<size_t>(k)];
        r.screenSeconds += screenTime[static_cast<size_t>(k)];
        if (filterRank[static_cast<size_t>(k)] < 0) continue;
        ++r.hits;
        r.filterRank.push_back(filterRank[static_cast<size_t>(k)]);
        r.screenRank.push_back(screenRank[static_cast<size_t>(k)]);
    }
    r.compared = r.filtered = static_cast<int64_t>(probes) * n;
    r.screened = screen ? r.compared : 0;
    return r;
}

int64_t Kept(const std::vector<int64_t>& ranks, int64_t keep) {
    return std::count_if(ranks.begin(), ranks.end(), [&](int64_t r) { return r >= 0 && r < keep; });
}

void PrintTable(const char* title, const Result& r, int64_t galleryOthers, bool screen) {
    std::printf("\n%s\n", title);
    std::printf("probes %d, rank-1 hits (best entry a mate) %d, each probe against %lld others\n", r.probes, r.hits,
                static_cast<long long>(galleryOthers));
    const double fullPer = r.fullSeconds / static_cast<double>(r.compared);
    const double filterPer = r.filterSeconds / static_cast<double>(r.filtered);
    std::printf("  penetration  kept entries   FilterScores          %s   two-stage cost (filter + kept)\n",
                screen ? "ScreenScores        " : "");
    for (int p : kPenetrations) {
        const int64_t keep = static_cast<int64_t>(p) * galleryOthers / 100;
        const int64_t f = Kept(r.filterRank, keep);
        std::printf("  %9d %%  %12lld   %5lld / %d %6.1f %%", p, static_cast<long long>(keep), static_cast<long long>(f),
                    r.hits, 100.0 * static_cast<double>(f) / r.hits);
        if (screen) {
            const int64_t s = Kept(r.screenRank, keep);
            std::printf("   %5lld / %d %6.1f %%", static_cast<long long>(s), r.hits, 100.0 * static_cast<double>(s) / r.hits);
        }
        const double twoStage = filterPer + fullPer * static_cast<double>(keep) / static_cast<double>(galleryOthers);
        std::printf("   %5.2f %% of the full search (%.1fx faster)\n", 100.0 * twoStage / fullPer, fullPer / twoStage);
    }
    if (galleryOthers == 319) {
        std::printf("  %11s  %12d   %5lld / %d %6.1f %%", "(32 kept)", 32, static_cast<long long>(Kept(r.filterRank, 32)),
                    r.hits, 100.0 * static_cast<double>(Kept(r.filterRank, 32)) / r.hits);
        if (screen)
            std::printf("   %5lld / %d %6.1f %%", static_cast<long long>(Kept(r.screenRank, 32)), r.hits,
                        100.0 * static_cast<double>(Kept(r.screenRank, 32)) / r.hits);
        std::printf("\n");
    }
    int64_t worst = 0;
    for (int64_t rank : r.filterRank) worst = std::max(worst, rank);
    std::printf("  filter: the hit needing the most candidates ranks %lld (keep %lld to hold every hit)\n",
                static_cast<long long>(worst), static_cast<long long>(worst + 1));
    std::printf("  cost per gallery entry (thread CPU time): full search %.2f us, FilterScores %.3f us (%.2f %% of it)",
                fullPer * 1e6, filterPer * 1e6, 100.0 * filterPer / fullPer);
    if (screen) std::printf(", ScreenScores %.3f us", r.screenSeconds / static_cast<double>(r.screened) * 1e6);
    std::printf("\n");
}

int Run(const Options& o) {
    std::vector<Entry> fvc = LoadFvc(o.data);
    if (fvc.size() != 320) {
        std::fprintf(stderr, "fpmatch_filter_eval: found %zu of the 320 FVC2002 records in %s\n", fvc.size(), o.data.c_str());
        return 1;
    }
    std::printf("filter record %d bytes, prepared filter probe %d bytes; %u threads; %s\n", FPMATCH_FILTER_RECORD_SIZE,
                FPMATCH_FILTER_PROBE_SIZE, o.threads, VersionString());
    {
        const Gallery g = Lay(fvc, o.screen, o.threads);
        const Result r = Evaluate(g, o.screen, o.threads);
        PrintTable("FVC2002 DB1_B..DB4_B, adapted, one gallery of 320", r, 319, o.screen);
    }
    if (o.distractors <= 0) return 0;
    const double t0 = Now();
    std::vector<Entry> all(static_cast<size_t>(o.distractors) + fvc.size());
    // Real record k at position k * total / 320: spread evenly.
    const size_t total = all.size();
    std::vector<char> real(total, 0);
    for (size_t k = 0; k < fvc.size(); ++k) {
        const size_t at = k * total / fvc.size();
        all[at] = fvc[k];
        real[at] = 1;
    }
    std::vector<size_t> free;
    for (size_t i = 0; i < total; ++i)
        if (!real[i]) free.push_back(i);
    ParallelFor(static_cast<int32_t>(free.size()), o.threads, [&](int32_t d) {
        const auto finger = samples::MakeFinger(5000000 + static_cast<uint64_t>(d), 20 + d % 31);
        all[free[static_cast<size_t>(d)]].slot = Adapted(samples::MakeIsoRecord(finger, 60));
    });
    const Gallery g = Lay(std::move(all), o.screen, o.threads);
    std::fprintf(stderr, "gallery of %zu laid out in %.1f s; searching\n", total, Now() - t0);
    const Result r = Evaluate(g, o.screen, o.threads);
    const std::string title = "The 320 FVC2002 records among " + std::to_string(o.distractors) +
                              " synthetic distractors (gallery of " + std::to_string(total) + ")";
    PrintTable(title.c_str(), r, static_cast<int64_t>(total) - 1, o.screen);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int a = 1; a < argc; ++a) {
        const std::string arg = argv[a];
        const bool hasValue = a + 1 < argc;
        if (arg == "--data" && hasValue) {
            o.data = argv[++a];
        } else if (arg == "--distractors" && hasValue) {
            o.distractors = std::atoi(argv[++a]);
        } else if (arg == "--threads" && hasValue) {
            o.threads = static_cast<unsigned>(std::max(1, std::atoi(argv[++a])));
        } else if (arg == "--no-screen") {
            o.screen = false;
        } else {
            std::fprintf(stderr, "usage: %s [--data DIR] [--distractors N] [--threads N] [--no-screen]\n", argv[0]);
            return 2;
        }
    }
    return Run(o);
}
