// identify on every rank of MPI_COMM_WORLD: each rank opens the shards that
// hold its part of the gallery through the identification library and
// ranks its part (a range of positions) with FpmGalleryIdentifyBatch on its
// threads; rank 0 reads the probes, broadcasts them, gathers every rank's K
// best and merges them with FpmMergeHits. Every step that can fail on one rank ends in a collective where all
// ranks learn whether any failed, so no rank waits for one that gave up and
// no partial answer is printed.
#include <mpi.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "commands.h"
#include "id_gallery.h"
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

template <class T>
void Put(std::vector<char>* out, T v) {
    char b[sizeof v];
    std::memcpy(b, &v, sizeof v);
    out->insert(out->end(), b, b + sizeof v);
}
template <class T>
T Get(const char* data, size_t* at) {
    T v;
    std::memcpy(&v, data + *at, sizeof v);
    *at += sizeof v;
    return v;
}

// One hit as sent to rank 0: entry, score, subject length, subject.
void PutHit(std::vector<char>* out, const FpmHit& h) {
    Put<int64_t>(out, h.entry);
    Put<int32_t>(out, h.score);
    Put<int32_t>(out, h.subjectLength);
    out->insert(out->end(), h.subject, h.subject + h.subjectLength);
}
FpmHit GetHit(const char* data, size_t* at) {
    FpmHit h{};
    h.entry = Get<int64_t>(data, at);
    h.score = Get<int32_t>(data, at);
    h.subjectLength = Get<int32_t>(data, at);
    std::memcpy(h.subject, data + *at, static_cast<size_t>(h.subjectLength));
    *at += static_cast<size_t>(h.subjectLength);
    return h;
}

// One shard file of the gallery: its stored entries are positions first ..
// first + count - 1 of the whole, and its template ids are reported plus
// `idOffset`, the next template ids of the shards before it summed, so
// that ids never collide and shards cut by `pack --shards` report the ids
// of the one-file gallery.
struct Shard {
    std::string path;
    GalleryHandle gallery;  // kept only when this rank searches part of it
    std::string reason;     // why it could not be opened here
    int64_t first = 0;
    int64_t count = 0;
    int64_t idOffset = 0;
};

// Probes read by rank 0: their paths and bytes (as in the files; the
// library adapts them when asked).
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
    for (const std::string& path : o.probes) {
        std::string reason;
        auto t = LoadTemplate(path, load, &reason);
        if (!t) {
            Report(path, reason + " (skipped)");
            ++skipped;
            continue;
        }
        HintIfQualitiesMissing(*t, load);
        probes->paths.push_back(t->path);
        probes->lengths.push_back(static_cast<int>(t->original.size()));
        probes->bytes.insert(probes->bytes.end(), t->original.begin(), t->original.end());
    }
    return skipped;
}

// Opens a shard: its stored entry count and next template id, or a reason.
void OpenShard(Shard* s, int64_t* entries, int64_t* nextId) {
    FpmGallery* g = nullptr;
    int32_t rc = FpmGalleryOpen(s->path.c_str(), FPM_OPEN_READ, &g);
    FpmGalleryStat st{};
    if (rc == FPM_OK) {
        s->gallery.reset(g);
        rc = FpmGalleryGetStat(g, &st);
    }
    if (rc != FPM_OK) {
        s->reason = LibraryText(rc, s->path);
        s->gallery.reset();
        return;
    }
    *entries = st.entries;
    *nextId = st.nextId;
}

}  // namespace

int RunMpiIdentify(const MpiIdentifyOptions& o) {
    int rank = 0, ranks = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &ranks);
    const std::string host = HostName();

    // 1. Every rank opens every shard it can see and the entry counts and
    // next template ids are compared: a shard no rank can open, or one that
    // differs between ranks, stops the run. Then each rank keeps the shards
    // its part needs; one it cannot open stops the run, naming the rank and
    // the shard.
    std::vector<Shard> shards;
    for (const std::string& path : SplitGalleryArguments(o.gallery)) shards.push_back(Shard{path, nullptr, "", 0, 0, 0});
    const size_t n = shards.size();
    // Per shard: entries, next id; -1 when not open here.
    std::vector<int64_t> mine(2 * n, -1), most(2 * n), least(2 * n);
    for (size_t s = 0; s < n; ++s) OpenShard(&shards[s], &mine[2 * s], &mine[2 * s + 1]);
    std::vector<int64_t> forMin(mine);
    for (int64_t& c : forMin)
        if (c < 0) c = INT64_MAX;
    MPI_Allreduce(mine.data(), most.data(), static_cast<int>(2 * n), MPI_INT64_T, MPI_MAX, MPI_COMM_WORLD);
    MPI_Allreduce(forMin.data(), least.data(), static_cast<int>(2 * n), MPI_INT64_T, MPI_MIN, MPI_COMM_WORLD);
    bool usable = true;
    int64_t total = 0, ids = 0;
    for (size_t s = 0; s < n; ++s) {
        if (most[2 * s] < 0) {
            if (rank == 0) Report("shard " + shards[s].path, shards[s].reason + " (on every rank)");
            usable = false;
        } else if (least[2 * s] != most[2 * s] || least[2 * s + 1] != most[2 * s + 1]) {
            if (rank == 0)
                Report("shard " + shards[s].path,
                       "not the same gallery on every rank: " +
                           (least[2 * s] != most[2 * s]
                                ? std::to_string(least[2 * s]) + " entries on one, " + std::to_string(most[2 * s]) +
                                      " on another"
                                : "next template id " + std::to_string(least[2 * s + 1]) + " on one, " +
                                      std::to_string(most[2 * s + 1]) + " on another"));
            usable = false;
        }
        shards[s].first = total;
        shards[s].count = std::max<int64_t>(most[2 * s], 0);
        shards[s].idOffset = ids;
        total += shards[s].count;
        ids += std::max<int64_t>(most[2 * s + 1], 0);
    }
    if (!usable) return kExitInput;
    const int64_t begin = PartBegin(total, ranks, rank), end = PartBegin(total, ranks, rank + 1);
    std::vector<std::string> failures;
    std::vector<size_t> searched;  // shards this rank searches part of, in order
    for (size_t s = 0; s < n; ++s) {
        const bool needed = shards[s].first < end && shards[s].first + shards[s].count > begin;
        if (!needed) {
            shards[s].gallery.reset();
        } else if (!shards[s].gallery) {
            failures.push_back(host + "\tshard " + shards[s].path + "\t" + shards[s].reason);
        } else {
            searched.push_back(s);
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

    // 3. Every rank ranks its part for every probe: its K best subjects (or
    // templates), so that the K best of the whole are among the ranks'
    // lists however a subject's templates are spread.
    MPI_Barrier(MPI_COMM_WORLD);
    const double started = MPI_Wtime();
    std::vector<char> payload;
    failures.clear();
    try {
        FpmSearchOptions so;
        FpmSearchOptionsInit(&so);
        so.top = o.top;
        so.threshold = o.threshold;
        so.threads = static_cast<int32_t>(o.threads);
        so.byEntry = o.entries ? 1 : 0;
        so.adaptProbe = o.adapt ? 1 : 0;
        // Each shard searched once for all the probes (one pass over its
        // file), each probe's hits kept apart, then merged probe by probe.
        const auto top = static_cast<size_t>(o.top);
        std::vector<const uint8_t*> data;
        std::vector<size_t> lengths;
        size_t at = 0;
        for (int p = 0; p < count; ++p) {
            data.push_back(probes.bytes.data() + at);
            lengths.push_back(static_cast<size_t>(probes.lengths[static_cast<size_t>(p)]));
            at += lengths.back();
        }
        std::vector<std::vector<FpmHit>> hits(static_cast<size_t>(count));
        std::vector<FpmHit> part(static_cast<size_t>(count) * top), merged(top);
        std::vector<int32_t> got(static_cast<size_t>(count));
        for (size_t s : searched) {
            const Shard& sh = shards[s];
            so.first = std::max(begin, sh.first) - sh.first;
            so.count = std::min(end, sh.first + sh.count) - sh.first - so.first;
            int32_t rc = FpmGalleryIdentifyBatch(sh.gallery.get(), data.data(), lengths.data(), count, &so, part.data(),
                                                 o.top, got.data());
            for (int p = 0; p < count && rc == FPM_OK; ++p)
                if (got[static_cast<size_t>(p)] < 0) rc = got[static_cast<size_t>(p)];
            if (rc < 0) {
                failures.push_back(host + "\tshard " + sh.path + "\t" + LibraryText(rc, sh.path));
                break;
            }
            for (size_t p = 0; p < static_cast<size_t>(count); ++p)
                for (int32_t k = 0; k < got[p]; ++k) {
                    hits[p].push_back(part[p * top + static_cast<size_t>(k)]);
                    hits[p].back().entry += sh.idOffset;
                }
        }
        for (size_t p = 0; p < static_cast<size_t>(count) && failures.empty(); ++p) {
            const int32_t kept = FpmMergeHits(hits[p].data(), static_cast<int64_t>(hits[p].size()), o.entries ? 0 : 1,
                                              o.top, o.threshold, merged.data(), o.top);
            Put<int32_t>(&payload, std::max(kept, 0));
            for (int32_t k = 0; k < kept; ++k) PutHit(&payload, merged[static_cast<size_t>(k)]);
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
            std::vector<std::vector<FpmHit>> hits(static_cast<size_t>(count));
            for (int r = 0; r < ranks; ++r) {
                size_t at = static_cast<size_t>(starts[static_cast<size_t>(r)]);
                for (int p = 0; p < count; ++p) {
                    const int32_t k = Get<int32_t>(gathered.data(), &at);
                    for (int32_t i = 0; i < k; ++i) hits[static_cast<size_t>(p)].push_back(GetHit(gathered.data(), &at));
                }
            }
            std::vector<ProbeHits> results;
            for (int p = 0; p < count; ++p) {
                const std::vector<FpmHit>& all = hits[static_cast<size_t>(p)];
                std::vector<FpmHit> merged(static_cast<size_t>(o.top));
                const int32_t kept = FpmMergeHits(all.data(), static_cast<int64_t>(all.size()), o.entries ? 0 : 1,
                                                  o.top, o.threshold, merged.data(), o.top);
                if (kept < 0) throw std::runtime_error(LibraryText(kept));
                merged.resize(static_cast<size_t>(kept));
                results.push_back(ProbeHits{probes.paths[static_cast<size_t>(p)], std::move(merged)});
            }
            const double seconds = MPI_Wtime() - started;
            if (o.timing) {
                const double comparisons = static_cast<double>(total) * count;
                std::fprintf(stderr, "fpmatch-mpi: %d rank(s): %.0f comparisons in %.3f s: %.0f comparisons/s\n",
                             ranks, comparisons, seconds, comparisons / seconds);
            }
            PrintGalleryHits(GalleryLabel(SplitGalleryArguments(o.gallery)), o.entries, o.top, o.threshold, results,
                             o.json);
            return skipped > 0 ? kExitSkipped : kExitOk;
        });
    }
    return FromRankZero(code);
}

}  // namespace fpmatch::tool
