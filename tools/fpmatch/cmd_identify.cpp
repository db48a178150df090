// identify PROBE GALLERY...: every gallery template scored against the probe,
// best first; or with --first the first template in gallery order that
// reaches a threshold.
// identify PROBE... --gallery FILE.fpg: the same for each probe over a packed
// gallery, optionally screening its short templates first (--screen N).
#include <algorithm>
#include <climits>
#include <memory>
#include <numeric>

#include "commands.h"
#include "file_io.h"
#include "gallery.h"
#include "gallery_file.h"
#include "gallery_search.h"
#include "identify_output.h"
#include "output.h"
#include "parallel.h"
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

// The probe's short template, for screening; empty when it has none.
std::vector<uint8_t> ShortOf(const Template& t) {
    FeatureStorage storage;
    FeatureSet fs;
    std::vector<uint8_t> out(FPMATCH_SHORT_TEMPLATE_SIZE, 0);
    if (DecodeTemplate(t, &storage, &fs) != FPMATCH_DECODED ||
        WriteShortTemplate(&fs, out.data(), out.size()) != FPMATCH_SHORT_TEMPLATE_SIZE)
        out.clear();
    return out;
}

// identify PROBE... --gallery FILE.fpg
int RunPacked(const IdentifyOptions& o) {
    const LoadOptions load{o.adapt};
    std::string reason;
    const auto gallery = MappedGallery::Open(o.packed, &reason);
    if (!gallery) {
        Report(DisplayPath(o.packed), reason);
        return kExitInput;
    }
    if (o.screen > 0 && !GalleryHasShorts(*gallery)) {
        Report(DisplayPath(o.packed), "holds no short templates to screen (pack it with --shorts)");
        return kExitInput;
    }
    const int32_t entries = gallery->Info().entryCount;
    const int top = o.top < 0 ? kDefaultGalleryTop : (o.top == 0 ? entries : o.top);
    int skipped = 0;
    Json probes = Json::array();        // --first results, for --json
    std::vector<ProbeHits> ranked;      // ranked results
    auto prepared = std::make_unique<PreparedProbe>();
    for (const std::string& path : o.files) {
        std::string why;
        const auto probe = LoadTemplate(path, load, &why);
        if (!probe) {
            Report(DisplayPath(path), why + " (skipped)");
            ++skipped;
            continue;
        }
        HintIfQualitiesMissing(*probe, load);
        PrepareProbe(probe->bytes.data(), prepared.get());
        Json entry;
        entry["probe"] = probe->path;
        if (o.first) {
            const SearchHit hit = FirstInGallery(*gallery, *prepared, 0, entries, o.threshold, o.threads);
            entry["found"] = hit.index >= 0;
            if (hit.index >= 0) {
                entry["index"] = hit.index;
                entry["name"] = gallery->Name(hit.index);
                entry["score"] = hit.score;
            }
            if (o.json) {
                probes.push_back(entry);
            } else if (hit.index >= 0) {
                Print("{}\t{}\t{}\t{}\n", probe->path, hit.score, hit.index, gallery->Name(hit.index));
            } else {
                Print("{}\tno template reaches {}\n", probe->path, o.threshold);
            }
            continue;
        }
        std::vector<SearchHit> hits;
        const std::vector<uint8_t> probeShort = o.screen > 0 ? ShortOf(*probe) : std::vector<uint8_t>();
        if (o.screen > 0 && probeShort.empty())
            Report(DisplayPath(probe->path),
                   "has no short template to screen with (a minutia does not fit one); searched in full");
        if (!probeShort.empty())
            hits = RankScreened(*gallery, *prepared, probeShort.data(), o.screen, top, o.threads);
        else
            hits = RankGallery(*gallery, *prepared, 0, entries, top, o.threads);
        ProbeHits result{probe->path, {}};
        for (const SearchHit& h : hits)
            if (h.score >= o.threshold) result.hits.push_back({h.index, h.score, gallery->Name(h.index)});
        ranked.push_back(std::move(result));
    }
    if (o.first) {
        if (o.json) {
            Json j;
            j["gallery"] = o.packed;
            j["threshold"] = o.threshold;
            j["probes"] = probes;
            PrintJson(j);
        }
    } else {
        // The same text and JSON as fpmatch-mpi prints for the same result.
        PrintGalleryHits(o.packed, top, o.threshold, ranked, o.json);
    }
    if (skipped == static_cast<int>(o.files.size())) return kExitInput;
    return skipped > 0 ? kExitSkipped : kExitOk;
}

int Run(IdentifyOptions o) {
    if (!o.packed.empty()) return RunPacked(o);
    if (o.screen > 0) {
        Report("identify", "--screen needs --gallery FILE.fpg (a gallery packed with --shorts)");
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
            Print("{}\t{}\n", r.score, gallery[r.index].path);
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
            Print("{}\t{}\t{}\n", rank, scores[i], gallery[i].path);
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
    c->add_option("--gallery", o->packed, "Packed gallery file (.fpg, made by `fpmatch pack`) to search");
    c->add_option("--screen", o->screen,
                  "With --gallery: screen the gallery's short templates first and compare only the N best "
                  "candidates in full (two-stage identification)")
        ->check(CLI::Range(1, INT_MAX));
    c->add_option("--list", o->list, "File naming one gallery template per line (relative to the list's folder)");
    c->add_option("--top", o->top, "Print only the K best (0: all; default all, with --gallery 10)")
        ->check(CLI::Range(0, INT_MAX));
    auto* threshold = c->add_option("--threshold", o->threshold,
                                    "Print only scores >= T, 0..100 (with --first: the score to reach)")
                          ->check(CLI::Range(0, 100));
    c->add_option("--threads", o->threads, "Threads (0: all cores); results do not depend on it")
        ->check(CLI::Range(0, 1024));
    auto* first = c->add_flag("--first", o->first,
                              "Report the first gallery template (in gallery order) whose score reaches --threshold "
                              "(one pass over the usable templates)");
    first->needs(threshold);
    c->add_flag("--strict", o->strict, "Stop at the first bad gallery file instead of skipping it");
    c->add_flag("--adapt", o->adapt, "Adapt ISO records (AdaptIsoRecord) before matching");
    c->add_flag("--json", o->json, "Print the results as JSON");
    SetCommand(c, exitCode, [o] { return Run(*o); });
}

}  // namespace fpmatch::tool
