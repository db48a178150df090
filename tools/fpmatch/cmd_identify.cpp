// identify PROBE GALLERY...: every gallery template scored against the probe,
// best first; or with --first the first template in gallery order that
// reaches a threshold.
// identify PROBE... --gallery FILE.fpg: each probe ranked by the
// identification library among the gallery's subjects (or templates, with
// --entries), optionally screening short templates first (--screen N).
#include <algorithm>
#include <climits>
#include <memory>
#include <numeric>

#include "commands.h"
#include "file_io.h"
#include "gallery.h"
#include "id_gallery.h"
#include "identify_output.h"
#include "output.h"
#include "parallel.h"
#include "printable.h"
#include "report.h"

namespace fpmatch::tool {

namespace {

struct IdentifyOptions {
    std::vector<std::string> files;  // the probe, then the gallery; with --gallery, the probes
    std::string probe;
    std::vector<std::string> gallery;
    std::string packed;              // --gallery
    int screen = 0;                  // --screen N: candidates kept by screening
    std::string list;
    int top = -1;                    // -1: not given
    int threshold = 0;
    unsigned threads = 0;
    bool first = false, strict = false, adapt = false, json = false;
    bool entries = false;            // --entries: rank templates, not subjects
};

constexpr int32_t kFirstBlock = 64;  // entries per MatchPreparedList call in --first

struct FirstResult {
    bool found = false;
    size_t index = 0;
    int32_t score = 0;
    size_t examined = 0;  // entries compared, in gallery order, up to the one found
};

// The usable templates packed at a fixed stride (the longest TemplateLength).
std::vector<uint8_t> Pack(const std::vector<Template>& gallery, int32_t* stride) {
    size_t s = 1;
    for (const Template& t : gallery) s = std::max<size_t>(s, static_cast<size_t>(TemplateLength(t.bytes.data(), t.bytes.size())));
    std::vector<uint8_t> packed(s * gallery.size(), 0);
    for (size_t i = 0; i < gallery.size(); ++i)
        std::copy_n(gallery[i].bytes.begin(), std::min(s, gallery[i].bytes.size()), packed.begin() + i * s);
    *stride = static_cast<int32_t>(s);
    return packed;
}

// One pass in gallery order: blocks of the packed gallery are compared on
// every thread (MatchPreparedList: one outcome per entry, never stopping),
// wave after wave, until a wave holds an entry that reaches the threshold.
FirstResult SearchFirst(const PreparedProbe& probe, const std::vector<Template>& gallery, int threshold,
                        unsigned threads) {
    int32_t stride = 0;
    const std::vector<uint8_t> packed = Pack(gallery, &stride);
    const int32_t n = static_cast<int32_t>(gallery.size());
    std::vector<int32_t> outcomes(gallery.size(), 0);
    const int32_t wave = kFirstBlock * 4 * static_cast<int32_t>(ResolveThreads(threads));
    FirstResult r;
    for (int32_t from = 0; from < n; from += wave) {
        const int32_t to = std::min(n, from + wave);
        const size_t blocks = static_cast<size_t>((to - from + kFirstBlock - 1) / kFirstBlock);
        ParallelFor(blocks, threads, "searched", [&](size_t b) {
            const int32_t first = from + static_cast<int32_t>(b) * kFirstBlock;
            const int32_t count = std::min(kFirstBlock, to - first);
            MatchPreparedList(&probe, packed.data(), stride, first, count, outcomes.data() + first);
        });
        for (int32_t i = from; i < to; ++i) {
            // An entry without a score (no base pair) scores 0, as in Match2Score.
            const int32_t score = std::max(outcomes[static_cast<size_t>(i)], 0);
            if (score >= threshold) {
                r.found = true;
                r.index = static_cast<size_t>(i);
                r.score = score;
                r.examined = static_cast<size_t>(i) + 1;
                return r;
            }
        }
    }
    r.examined = gallery.size();
    return r;
}

// Positions searched per library call in --first: a wave ends the search
// once it holds a template that reaches the threshold.
constexpr int64_t kFirstWave = 8192;

// The library's search options for the command line's.
FpmSearchOptions SearchOptions(const IdentifyOptions& o, int32_t top) {
    FpmSearchOptions so;
    FpmSearchOptionsInit(&so);
    so.top = top;
    so.threshold = o.threshold;
    so.threads = static_cast<int32_t>(o.threads);
    so.screen = o.screen;
    so.byEntry = o.entries ? 1 : 0;
    so.adaptProbe = o.adapt ? 1 : 0;
    return so;
}

// --first: the first committed template in gallery order whose score
// reaches the threshold, found wave after wave of positions (by entry, all
// hits of a wave; the lowest id is the first in gallery order). The hit's
// score is -1 when no template reaches it; otherwise a code.
int32_t FirstReaching(FpmGallery* g, const std::vector<uint8_t>& probe, const IdentifyOptions& o, int64_t entries,
                      FpmHit* found) {
    FpmSearchOptions so = SearchOptions(o, 0);
    so.byEntry = 1;
    so.screen = 0;
    so.count = kFirstWave;
    std::vector<FpmHit> hits(static_cast<size_t>(kFirstWave));
    found->score = -1;
    for (so.first = 0; so.first < entries; so.first += kFirstWave) {
        const int32_t n = FpmGalleryIdentify(g, probe.data(), probe.size(), &so, hits.data(), static_cast<int32_t>(kFirstWave));
        if (n < 0) return n;
        for (int32_t k = 0; k < n; ++k)
            if (found->score < 0 || hits[static_cast<size_t>(k)].entry < found->entry) *found = hits[static_cast<size_t>(k)];
        if (n > 0) break;
    }
    return FPM_OK;
}

// identify PROBE... --gallery FILE: the probes ranked by the library, a
// group at a time in one batch (one pass over the gallery for a full
// search; the group bounds the hit buffer when every hit is wanted). A probe
// that cannot be screened is searched in full; a refused probe is skipped;
// a gallery fault stops the run (returned as an exit code, else -1).
int RankProbes(FpmGallery* g, const IdentifyOptions& o, int32_t top, int32_t capacity,
               const std::vector<Template>& probes, std::vector<ProbeHits>* ranked, int* skipped) {
    constexpr size_t kGroup = FPMATCH_BATCH_MAX_PROBES;
    FpmSearchOptions so = SearchOptions(o, top);
    const auto width = static_cast<size_t>(std::max(capacity, 0));
    std::vector<FpmHit> hits(std::min(kGroup, probes.size()) * width);
    for (size_t from = 0; from < probes.size(); from += kGroup) {
        const size_t count = std::min(kGroup, probes.size() - from);
        std::vector<const uint8_t*> data;
        std::vector<size_t> lengths;
        for (size_t k = from; k < from + count; ++k) {
            data.push_back(probes[k].original.data());
            lengths.push_back(probes[k].original.size());
        }
        std::vector<int32_t> counts(count);
        const int32_t rc = FpmGalleryIdentifyBatch(g, data.data(), lengths.data(), static_cast<int32_t>(count), &so,
                                                   hits.data(), capacity, counts.data());
        if (rc < 0) {
            ReportLibrary(DisplayPath(o.packed), rc, "");
            return ExitForCode(rc, false);
        }
        for (size_t k = 0; k < count; ++k) {
            const Template& probe = probes[from + k];
            FpmHit* own = hits.data() + k * width;
            int32_t n = counts[k];
            if (n == FPM_E_NOT_SCREENABLE) {
                Report(DisplayPath(probe.path), LibraryText(n) + "; searched in full");
                FpmSearchOptions full = so;
                full.screen = 0;
                n = FpmGalleryIdentify(g, probe.original.data(), probe.original.size(), &full, own, capacity);
            }
            if (n < 0) {
                const bool probeFault = IsTemplateCode(n);
                ReportLibrary(DisplayPath(probeFault ? probe.path : o.packed), n, probeFault ? " (skipped)" : "");
                if (!probeFault) return ExitForCode(n, false);
                ++*skipped;
                continue;
            }
            ranked->push_back(ProbeHits{probe.path, std::vector<FpmHit>(own, own + n)});
        }
    }
    return -1;
}

// identify PROBE... --gallery FILE: each probe ranked by the library.
int RunGallery(const IdentifyOptions& o) {
    int exit = kExitOk;
    const GalleryHandle g = OpenGallery(o.packed, FPM_OPEN_READ, &exit);
    if (!g) return exit;
    const int32_t top = o.top < 0 ? kDefaultGalleryTop : o.top;
    // Counting subjects reads every entry (a noticeable part of a screened
    // search over a million templates), so the full counts are asked only
    // where they matter: every subject's hit wanted, --first, or screening
    // a gallery that is not wholly stored with filter records. Elsewhere the
    // number of templates bounds the hits as well.
    FpmGalleryStorage storage{};
    if (const int32_t rc = FpmGalleryGetStorage(g.get(), &storage); rc != FPM_OK) {
        ReportLibrary(o.packed, rc);
        return ExitForCode(rc, false);
    }
    const bool counted = (top == 0 && !o.entries) || o.first || (o.screen > 0 && storage.filterRecords < storage.templates);
    FpmGalleryStat st{};
    if (counted && !GalleryStat(g.get(), o.packed, &st, &exit)) return exit;
    if (counted && o.screen > 0 && st.version == 1 && st.shorts == 0 && st.templates > 0) {
        Report(DisplayPath(o.packed), "holds no short templates to screen (a version-1 gallery packed without --shorts)");
        return kExitInput;
    }
    const int64_t most = o.entries || !counted ? storage.templates : st.subjects;
    const auto capacity = static_cast<int32_t>(std::min<int64_t>(top > 0 ? top : most, std::max<int64_t>(most, 0)));
    int skipped = 0;
    std::vector<Template> probes;
    for (const std::string& path : o.files) {
        std::string why;
        auto probe = LoadTemplate(path, LoadOptions{o.adapt}, &why);
        if (!probe) {
            Report(DisplayPath(path), why + " (skipped)");
            ++skipped;
            continue;
        }
        HintIfQualitiesMissing(*probe, LoadOptions{o.adapt});
        probes.push_back(std::move(*probe));
    }
    if (o.first) {
        Json firsts = Json::array();
        for (const Template& probe : probes) {
            FpmHit first{};
            const int32_t rc = FirstReaching(g.get(), probe.original, o, st.entries, &first);
            if (rc < 0) {
                const bool probeFault = IsTemplateCode(rc);
                ReportLibrary(DisplayPath(probeFault ? probe.path : o.packed), rc, probeFault ? " (skipped)" : "");
                if (!probeFault) return ExitForCode(rc, false);
                ++skipped;
                continue;
            }
            Json entry;
            entry["probe"] = probe.path;
            entry["found"] = first.score >= 0;
            if (first.score >= 0) {
                entry["subject"] = SubjectOf(first);
                entry["score"] = first.score;
                entry["entry"] = first.entry;
            }
            if (o.json)
                firsts.push_back(entry);
            else if (first.score >= 0)
                Print("{}\t{}\t{}\t{}\n", probe.path, first.score, first.entry, SubjectOf(first));
            else
                Print("{}\tno template reaches {}\n", probe.path, o.threshold);
        }
        if (o.json) {
            Json j;
            j["gallery"] = o.packed;
            j["threshold"] = o.threshold;
            j["probes"] = firsts;
            PrintJson(j);
        }
    } else {
        std::vector<ProbeHits> ranked;
        if (const int stop = RankProbes(g.get(), o, top, capacity, probes, &ranked, &skipped); stop >= 0) return stop;
        // The same text and JSON as fpmatch-mpi prints for the same result.
        PrintGalleryHits(o.packed, o.entries, top, o.threshold, ranked, o.json);
    }
    if (skipped == static_cast<int>(o.files.size())) return kExitInput;
    return skipped > 0 ? kExitSkipped : kExitOk;
}

int Run(IdentifyOptions o) {
    if (!o.packed.empty()) return RunGallery(o);
    if (o.screen > 0 || o.entries) {
        Report("identify", std::string(o.screen > 0 ? "--screen" : "--entries") + " needs --gallery FILE.fpg");
        return kExitUsage;
    }
    o.probe = o.files.front();
    o.gallery.assign(o.files.begin() + 1, o.files.end());
    if (o.top < 0) o.top = 0;
    const LoadOptions load{o.adapt};
    const auto probe = LoadRequired(o.probe, load);
    if (!probe) return kExitInput;
    HintIfQualitiesMissing(*probe, load);
    std::optional<LoadedGallery> loaded = LoadGalleryArguments(o.gallery, o.list, load, o.strict);
    if (!loaded) return kExitInput;
    const LoadedGallery& g = *loaded;
    const int partial = g.Left() > 0 ? kExitSkipped : kExitOk;
    const std::vector<Template>& gallery = g.templates;
    auto prepared = std::make_unique<PreparedProbe>();
    PrepareProbe(probe->bytes.data(), prepared.get());

    if (o.first) {
        const FirstResult r = SearchFirst(*prepared, gallery, o.threshold, o.threads);
        if (o.json) {
            Json j;
            j["probe"] = probe->path;
            j["threshold"] = o.threshold;
            j["found"] = r.found;
            if (r.found) {
                j["position"] = r.index;
                j["file"] = gallery[r.index].path;
                j["score"] = r.score;
            }
            j["searched"] = r.examined;
            j["skipped"] = g.Left();
            PrintJson(j);
        } else if (r.found) {
            Print("{}\t{}\n", r.score, Printable(gallery[r.index].path));
        } else {
            Print("no template reaches {}\n", o.threshold);
        }
        return partial;
    }

    std::vector<int32_t> scores(gallery.size(), 0);
    ParallelFor(gallery.size(), o.threads, "scored",
                [&](size_t i) { scores[i] = MatchPrepared(prepared.get(), gallery[i].bytes.data()); });
    std::vector<size_t> order(gallery.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return scores[a] > scores[b]; });
    Json list = Json::array();
    int rank = 0;
    for (size_t i : order) {
        if (scores[i] < o.threshold) break;
        if (o.top > 0 && rank >= o.top) break;
        ++rank;
        if (o.json)
            list.push_back({{"rank", rank}, {"score", scores[i]}, {"file", gallery[i].path}});
        else
            Print("{}\t{}\t{}\n", rank, scores[i], Printable(gallery[i].path));
    }
    if (o.json) {
        Json j;
        j["probe"] = probe->path;
        j["threshold"] = o.threshold;
        j["scored"] = gallery.size();
        j["skipped"] = g.Left();
        j["results"] = list;
        PrintJson(j);
    } else if (rank == 0) {
        Print("no template reaches {}\n", o.threshold);
    }
    return partial;
}

}  // namespace

void AddIdentify(CLI::App& app, int* exitCode) {
    auto o = std::make_shared<IdentifyOptions>();
    CLI::App* c = app.add_subcommand("identify", "Score a probe against a gallery, best first");
    c->add_option("files", o->files,
                  "The probe template file (- for standard input), then gallery template files or folders (a "
                  "folder contributes its files, not its sub-folders); with --gallery, one or more probes")
        ->required();
    c->add_option("--gallery", o->packed,
                  "Gallery file (.fpg: `fpmatch gallery create`/`add`, or `fpmatch pack`) whose subjects are ranked");
    c->add_flag("--entries", o->entries,
                "With --gallery: rank the gallery's templates, not its subjects (a subject may then appear several times)");
    c->add_option("--screen", o->screen,
                  "With --gallery: screen the short templates first and compare only the N best candidates in full "
                  "(two-stage identification)")
        ->check(WholeNumber(1, INT_MAX));
    c->add_option("--list", o->list, "File naming one gallery template per line (relative to the list's folder)");
    c->add_option("--top", o->top, "Print only the K best (0: all; default all, with --gallery 10 subjects or templates)")
        ->check(WholeNumber(0, INT_MAX));
    auto* threshold = c->add_option("--threshold", o->threshold,
                                    "Print only scores >= T, 0..100 (with --first: the score to reach)")
                          ->check(WholeNumber(0, 100));
    c->add_option("--threads", o->threads, "Threads (0: all cores); results do not depend on it")
        ->check(WholeNumber(0, 1024));
    auto* first = c->add_flag("--first", o->first,
                              "Report the first gallery template (in gallery order) whose score reaches --threshold "
                              "(one pass over the usable templates; with --gallery, in waves of positions)");
    first->needs(threshold);
    c->add_flag("--strict", o->strict, "Stop at the first bad gallery file instead of skipping it");
    c->add_flag("--adapt", o->adapt, "Adapt ISO records (AdaptIsoRecord) before matching (with --gallery: the probes)");
    c->add_flag("--json", o->json, "Print the results as JSON");
    SetCommand(c, exitCode, [o] { return Run(*o); });
}

}  // namespace fpmatch::tool
