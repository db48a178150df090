// identify on every rank of MPI_COMM_WORLD: each rank maps the shards that
// hold its part of the gallery and ranks its part on its threads; rank 0
// reads the probes, broadcasts them, gathers every rank's k best and merges
// them. Every step that can fail on one rank ends in a collective where all
// ranks learn whether any failed, so no rank waits for one that gave up and
// no partial answer is printed.
#include <mpi.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "commands.h"
#include "gallery_file.h"
#include "gallery_search.h"
#include "identify_output.h"
#include "mpi_commands.h"
#include "report.h"
#include "shards.h"
#include "template_load.h"

namespace fpmatch::tool {

namespace {

std::string HostName() {
    char name[MPI_MAX_PROCESSOR_NAME] = {};
    int length = 0;
    MPI_Get_processor_name(name, &length);
    return std::string(name, static_cast<size_t>(std::max(length, 0)));
}

// Every rank's text (collective); element r is rank r's.
std::vector<std::string> AllTexts(const std::string& mine, int ranks) {
    int length = static_cast<int>(mine.size());
    std::vector<int> lengths(static_cast<size_t>(ranks)), starts(static_cast<size_t>(ranks));
    MPI_Allgather(&length, 1, MPI_INT, lengths.data(), 1, MPI_INT, MPI_COMM_WORLD);
    int total = 0;
    for (int r = 0; r < ranks; ++r) {
        starts[static_cast<size_t>(r)] = total;
        total += lengths[static_cast<size_t>(r)];
    }
    std::string all(static_cast<size_t>(total), '\0');
    MPI_Allgatherv(mine.data(), length, MPI_CHAR, all.data(), lengths.data(), starts.data(), MPI_CHAR, MPI_COMM_WORLD);
    std::vector<std::string> texts;
    for (int r = 0; r < ranks; ++r)
        texts.push_back(all.substr(static_cast<size_t>(starts[static_cast<size_t>(r)]),
                                   static_cast<size_t>(lengths[static_cast<size_t>(r)])));
    return texts;
}

// Collective: true when no rank reports a failure. Otherwise rank 0 reports
// every failing rank's lines ("rank R (HOST): ...").
bool AllRanksOk(const std::vector<std::string>& failures, int rank, int ranks) {
    std::string mine;
    for (const std::string& f : failures) mine += f + '\n';
    const std::vector<std::string> all = AllTexts(mine, ranks);
    bool ok = true;
    for (int r = 0; r < ranks; ++r) {
        const std::string& text = all[static_cast<size_t>(r)];
        if (text.empty()) continue;
        ok = false;
        if (rank != 0) continue;
        size_t from = 0;
        while (from < text.size()) {
            const size_t end = text.find('\n', from);
            const size_t colon = text.find('\t', from);
            // A line is "HOST\tWHAT\tREASON".
            const std::string host = text.substr(from, colon - from);
            const size_t second = text.find('\t', colon + 1);
            Report("rank " + std::to_string(r) + " (" + host + "): " + text.substr(colon + 1, second - colon - 1),
                   text.substr(second + 1, end - second - 1));
            from = end + 1;
        }
    }
    return ok;
}

// Rank 0's value of an int, on every rank.
int FromRankZero(int value) {
    MPI_Bcast(&value, 1, MPI_INT, 0, MPI_COMM_WORLD);
    return value;
}

void PutInt(std::vector<char>* out, int32_t v) {
    char b[4];
    std::memcpy(b, &v, 4);
    out->insert(out->end(), b, b + 4);
}
int32_t GetInt(const char* data, size_t* at) {
    int32_t v;
    std::memcpy(&v, data + *at, 4);
    *at += 4;
    return v;
}

struct Shard {
    std::string path;
    std::unique_ptr<MappedGallery> map;  // kept only when this rank searches part of it
    std::string reason;                  // why it could not be opened here
    int64_t first = 0;                   // global index of its entry 0
    int64_t count = 0;
};

// Probes read by rank 0: their paths and bytes.
struct Probes {
    std::vector<std::string> paths;
    std::vector<int> lengths;
    std::vector<uint8_t> bytes;
};

// Rank 0: loads the probes, reporting and skipping bad ones. Returns the
// number skipped.
int LoadProbes(const MpiIdentifyOptions& o, Probes* probes) {
    const LoadOptions load{o.adapt};
    int skipped = 0;
    auto prepared = std::make_unique<PreparedProbe>();
    for (const std::string& path : o.probes) {
        std::string reason;
        auto t = LoadTemplate(path, load, &reason);
        if (t && PrepareProbe(t->bytes.data(), prepared.get()) != 0) reason = "cannot be prepared as a probe";
        if (!t || !reason.empty()) {
            Report(path, reason + " (skipped)");
            ++skipped;
            continue;
        }
        HintIfQualitiesMissing(*t, load);
        probes->paths.push_back(t->path);
        probes->lengths.push_back(static_cast<int>(t->bytes.size()));
        probes->bytes.insert(probes->bytes.end(), t->bytes.begin(), t->bytes.end());
    }
    return skipped;
}

}  // namespace

int RunMpiIdentify(const MpiIdentifyOptions& o) {
    int rank = 0, ranks = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &ranks);
    const std::string host = HostName();

    // 1. Every rank opens every shard it can see and the entry counts are
    // compared: a shard no rank can open, or one that differs between
    // ranks, stops the run. Then each rank keeps the shards its part needs;
    // one it cannot open stops the run, naming the rank and the shard.
    std::vector<Shard> shards;
    for (const std::string& path : SplitGalleryArguments(o.gallery)) shards.push_back(Shard{path, nullptr, "", 0, 0});
    const size_t n = shards.size();
    std::vector<int64_t> counts(n, -1), least(n), most(n);
    for (size_t s = 0; s < n; ++s) {
        shards[s].map = MappedGallery::Open(shards[s].path, &shards[s].reason);
        if (shards[s].map) counts[s] = shards[s].map->Info().entryCount;
    }
    std::vector<int64_t> forMin(counts);
    for (int64_t& c : forMin)
        if (c < 0) c = INT64_MAX;
    MPI_Allreduce(counts.data(), most.data(), static_cast<int>(n), MPI_INT64_T, MPI_MAX, MPI_COMM_WORLD);
    MPI_Allreduce(forMin.data(), least.data(), static_cast<int>(n), MPI_INT64_T, MPI_MIN, MPI_COMM_WORLD);
    bool usable = true;
    int64_t total = 0;
    for (size_t s = 0; s < n; ++s) {
        if (most[s] < 0) {
            if (rank == 0) Report("shard " + shards[s].path, shards[s].reason + " (on every rank)");
            usable = false;
        } else if (least[s] != most[s]) {
            if (rank == 0)
                Report("shard " + shards[s].path, "not the same gallery on every rank: " + std::to_string(least[s]) +
                                                      " entries on one, " + std::to_string(most[s]) + " on another");
            usable = false;
        }
        shards[s].first = total;
        shards[s].count = std::max<int64_t>(most[s], 0);
        total += shards[s].count;
    }
    if (usable && total > INT32_MAX) {
        if (rank == 0) Report("gallery", std::to_string(total) + " entries; at most 2147483647 are searched as one gallery");
        usable = false;
    }
    if (!usable) return kExitInput;
    const int64_t begin = PartBegin(total, ranks, rank), end = PartBegin(total, ranks, rank + 1);
    std::vector<std::string> failures;
    std::vector<size_t> mine;  // shards this rank searches part of, in order
    for (size_t s = 0; s < n; ++s) {
        const bool needed = shards[s].first < end && shards[s].first + shards[s].count > begin;
        if (!needed) {
            shards[s].map.reset();
        } else if (!shards[s].map) {
            failures.push_back(host + "\tshard " + shards[s].path + "\t" + shards[s].reason);
        } else {
            mine.push_back(s);
        }
    }
    if (!AllRanksOk(failures, rank, ranks)) return kExitInput;

    // 2. Rank 0 reads the probes and broadcasts them.
    Probes probes;
    int skipped = 0, count = 0;
    if (rank == 0) {
        try {
            skipped = LoadProbes(o, &probes);
            count = static_cast<int>(probes.paths.size());
            if (count == 0) Report("identify", "no usable probe");
        } catch (const std::exception& e) {
            Report("probes", e.what());
            count = -1;
        }
    }
    count = FromRankZero(count);
    if (count <= 0) return count == 0 ? kExitInput : kExitInternal;
    probes.lengths.resize(static_cast<size_t>(count));
    MPI_Bcast(probes.lengths.data(), count, MPI_INT, 0, MPI_COMM_WORLD);
    int64_t bytes = 0;
    for (int l : probes.lengths) bytes += l;
    probes.bytes.resize(static_cast<size_t>(bytes));
    MPI_Bcast(probes.bytes.data(), static_cast<int>(bytes), MPI_UNSIGNED_CHAR, 0, MPI_COMM_WORLD);

    // 3. Every rank ranks its part for every probe: its k best with names.
    MPI_Barrier(MPI_COMM_WORLD);
    const double started = MPI_Wtime();
    std::vector<char> payload;
    failures.clear();
    try {
        auto prepared = std::make_unique<PreparedProbe>();
        size_t at = 0;
        for (int p = 0; p < count; ++p) {
            PrepareProbe(probes.bytes.data() + at, prepared.get());
            at += static_cast<size_t>(probes.lengths[static_cast<size_t>(p)]);
            std::vector<SearchHit> hits;
            for (size_t s : mine) {
                const Shard& sh = shards[s];
                const int64_t lo = std::max(begin, sh.first) - sh.first;
                const int64_t hi = std::min(end, sh.first + sh.count) - sh.first;
                for (SearchHit h : RankGallery(*sh.map, *prepared, static_cast<int32_t>(lo),
                                               static_cast<int32_t>(hi - lo), o.top, o.threads)) {
                    h.index += static_cast<int32_t>(sh.first);
                    hits.push_back(h);
                }
            }
            hits = MergeHits(std::move(hits), o.top);
            PutInt(&payload, static_cast<int32_t>(hits.size()));
            for (const SearchHit& h : hits) {
                size_t s = mine.front();
                for (size_t m : mine)
                    if (shards[m].first <= h.index) s = m;
                const std::string name = shards[s].map->Name(static_cast<int32_t>(h.index - shards[s].first));
                PutInt(&payload, h.index);
                PutInt(&payload, h.score);
                PutInt(&payload, static_cast<int32_t>(name.size()));
                payload.insert(payload.end(), name.begin(), name.end());
            }
        }
    } catch (const std::exception& e) {
        failures.push_back(host + "\tsearch\t" + e.what());
    }
    if (!AllRanksOk(failures, rank, ranks)) return kExitInput;

    // 4. Rank 0 gathers and merges.
    int size = static_cast<int>(payload.size());
    std::vector<int> sizes(static_cast<size_t>(ranks)), starts(static_cast<size_t>(ranks));
    MPI_Gather(&size, 1, MPI_INT, sizes.data(), 1, MPI_INT, 0, MPI_COMM_WORLD);
    std::vector<char> gathered;
    if (rank == 0) {
        int sum = 0;
        for (int r = 0; r < ranks; ++r) {
            starts[static_cast<size_t>(r)] = sum;
            sum += sizes[static_cast<size_t>(r)];
        }
        gathered.resize(static_cast<size_t>(sum));
    }
    MPI_Gatherv(payload.data(), size, MPI_CHAR, gathered.data(), sizes.data(), starts.data(), MPI_CHAR, 0,
                MPI_COMM_WORLD);
    int code = kExitOk;
    if (rank == 0) {
        code = RunAtBoundary([&] {
            std::vector<std::vector<SearchHit>> hits(static_cast<size_t>(count));
            std::vector<std::unordered_map<int32_t, std::string>> names(static_cast<size_t>(count));
            for (int r = 0; r < ranks; ++r) {
                size_t at = static_cast<size_t>(starts[static_cast<size_t>(r)]);
                const char* d = gathered.data();
                for (int p = 0; p < count; ++p) {
                    const int32_t k = GetInt(d, &at);
                    for (int32_t i = 0; i < k; ++i) {
                        const int32_t index = GetInt(d, &at), score = GetInt(d, &at), length = GetInt(d, &at);
                        hits[static_cast<size_t>(p)].push_back(SearchHit{index, score});
                        names[static_cast<size_t>(p)][index] = std::string(d + at, static_cast<size_t>(length));
                        at += static_cast<size_t>(length);
                    }
                }
            }
            std::vector<ProbeHits> results;
            for (int p = 0; p < count; ++p) {
                ProbeHits ph{probes.paths[static_cast<size_t>(p)], {}};
                for (const SearchHit& h : MergeHits(std::move(hits[static_cast<size_t>(p)]), o.top))
                    if (h.score >= o.threshold) ph.hits.push_back(NamedHit{h.index, h.score, names[static_cast<size_t>(p)][h.index]});
                results.push_back(std::move(ph));
            }
            const double seconds = MPI_Wtime() - started;
            if (o.timing) {
                const double comparisons = static_cast<double>(total) * count;
                std::fprintf(stderr, "fpmatch-mpi: %d rank(s): %.0f comparisons in %.3f s: %.0f comparisons/s\n",
                             ranks, comparisons, seconds, comparisons / seconds);
            }
            PrintGalleryHits(GalleryLabel(SplitGalleryArguments(o.gallery)), o.top, o.threshold, results, o.json);
            return skipped > 0 ? kExitSkipped : kExitOk;
        });
    }
    return FromRankZero(code);
}

}  // namespace fpmatch::tool
