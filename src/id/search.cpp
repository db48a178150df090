// Identification and verification over a gallery's committed templates, on
// every core (oneTBB), and the merge of hit lists. Each template's score is
// computed independently of the others and the ranking is made afterwards
// in position order, so the result does not depend on the thread count.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "internal.h"
#include "parallel.h"

namespace fpmatch::id {

namespace {

// Comparisons per task: one call of the core, of 1024 / probes templates
// (about 15 ms on one core), so that the last tasks of a search leave
// little of it to one thread.
constexpr int64_t kOutcomes = 1024;
constexpr int64_t kScreenBlock = 4096;   // short templates screened per task
constexpr uint8_t kNotCompared = 0xff;

struct Probe {
    std::unique_ptr<PreparedProbe> prepared = std::make_unique<PreparedProbe>();
    std::array<uint8_t, 512> shortTemplate{};
    bool hasShort = false;
    std::unique_ptr<FilterProbe> filter;  // made when a screened search uses filter records
    std::vector<uint8_t> bytes;           // the template as compared (adapted), zero padded
};

int32_t PrepareProbeTemplate(const uint8_t* tmpl, size_t length, bool adapt, Probe* p) {
    if (tmpl == nullptr) return Fail(FPM_E_ARGUMENT, "no probe");
    std::vector<uint8_t> adapted;
    if (adapt && length >= 2 && tmpl[0] == 'F' && tmpl[1] == 'M') {
        adapted.resize(length);
        const int32_t n = AdaptIsoRecord(tmpl, length, adapted.data(), adapted.size());
        if (n < 0) return Fail(FpmFromCoreCode(FPM_FAMILY_ADAPT, n), "probe: " + std::string(FpmCodeText(FpmFromCoreCode(FPM_FAMILY_ADAPT, n))));
        tmpl = adapted.data();
        length = static_cast<size_t>(n);
    }
    if (const int32_t rc = CheckTemplate(tmpl, length); rc != 0)
        return Fail(FpmFromCoreCode(FPM_FAMILY_TEMPLATE, rc),
                    "probe: " + std::string(FpmCodeText(FpmFromCoreCode(FPM_FAMILY_TEMPLATE, rc))));
    p->bytes.assign(tmpl, tmpl + length);
    p->bytes.resize(std::max<size_t>(length, 328));
    PrepareProbe(tmpl, p->prepared.get());
    auto storage = std::make_unique<FeatureStorage>();
    FeatureSet fs{};
    BindFeatureSet(&fs, storage.get());
    p->hasShort = DecodeFeature(tmpl, &fs) == FPMATCH_DECODED &&
                  WriteShortTemplate(&fs, p->shortTemplate.data(), 512) == 512;
    return FPM_OK;
}

// Runs fn(run, j, n): the live stretches of positions [from, to) of each
// run, as run-local first index and count.
template <class Fn>
void ForEachLive(const View& v, int64_t from, int64_t to, Fn fn) {
    for (const Run& r : v.runs) {
        const int64_t lo = std::max(from, r.first), hi = std::min(to, r.first + r.count);
        int64_t p = lo;
        while (p < hi) {
            while (p < hi && v.Removed(p)) ++p;
            const int64_t start = p;
            while (p < hi && !v.Removed(p)) ++p;
            if (p > start) fn(r, start - r.first, p - start);
        }
    }
}

// Outcomes of entries j .. j + n - 1 of a run for probes[0 .. count - 1]
// (count <= FPMATCH_BATCH_MAX_PROBES), probe p's at outcomes[p * n + k]: from
// the compact records where the part stores them, each read once for all
// the probes, else from the templates (prepared on the fly). A compact
// record that does not read back is never trusted: its template is
// compared instead.
void Outcomes(const PreparedProbe* const* probes, int32_t count, const Run& r, int64_t j, int32_t n,
              int32_t* outcomes) {
    const auto first = static_cast<int32_t>(j);
    if (r.compact == nullptr) {
        for (int32_t p = 0; p < count; ++p)
            MatchPreparedList(probes[p], r.templates, static_cast<int32_t>(r.stride), first, n, outcomes + p * n);
        return;
    }
    MatchPreparedCompactPackedBatch(probes, count, r.compact, r.compactSize, r.compactIndex, first, n, outcomes);
    for (int32_t p = 0; p < count; ++p)
        for (int32_t k = 0; k < n; ++k)
            if (outcomes[p * n + k] == FPMATCH_OUTCOME_DAMAGED)
                MatchPreparedList(probes[p], r.templates, static_cast<int32_t>(r.stride), first + k, 1,
                                  outcomes + p * n + k);
}

// Scores of entries j .. j + n - 1 of a run into scores[p] (by position) for
// each of the probes (at most FPMATCH_BATCH_MAX_PROBES).
void Compare(const PreparedProbe* const* probes, int32_t count, const Run& r, int64_t j, int64_t n,
             uint8_t* const* scores) {
    int32_t outcomes[kOutcomes];
    const int64_t step = kOutcomes / count;  // entries per call, so that the outcomes fit
    for (int64_t done = 0; done < n; done += step) {
        const auto m = static_cast<int32_t>(std::min(step, n - done));
        Outcomes(probes, count, r, j + done, m, outcomes);
        for (int32_t p = 0; p < count; ++p)
            for (int32_t k = 0; k < m; ++k)
                scores[p][r.first + j + done + k] = static_cast<uint8_t>(std::max(outcomes[p * m + k], 0));
    }
}

// Scores (kNotCompared where not compared) of positions [from, to), for
// each probe: one pass over the gallery for all of them.
void FullScores(const View& v, const PreparedProbe* const* probes, int32_t count, int64_t from, int64_t to,
                int32_t threads, uint8_t* const* scores) {
    const int64_t block = kOutcomes / count;
    const int64_t blocks = (to - from + block - 1) / block;
    Parallel(threads, blocks, [&](int64_t b) {
        const int64_t lo = from + b * block, hi = std::min(to, lo + block);
        ForEachLive(v, lo, hi, [&](const Run& r, int64_t j, int64_t n) { Compare(probes, count, r, j, n, scores); });
    });
}

// Whether every part that [from, to) touches stores filter records; the
// screened search then ranks by them, else by the short templates.
bool UsesFilter(const View& v, int64_t from, int64_t to) {
    for (const Run& r : v.runs)
        if (r.first < to && r.first + r.count > from && r.filters == nullptr) return false;
    return true;
}

void ScreenedScores(const View& v, const Probe& probe, int64_t from, int64_t to, int64_t keep, int32_t threads,
                    uint8_t* scores) {
    std::vector<int32_t> screen(static_cast<size_t>(v.entries), -1);
    const int64_t blocks = (to - from + kScreenBlock - 1) / kScreenBlock;
    Parallel(threads, blocks, [&](int64_t b) {
        const int64_t lo = from + b * kScreenBlock, hi = std::min(to, lo + kScreenBlock);
        ForEachLive(v, lo, hi, [&](const Run& r, int64_t j, int64_t n) {
            int32_t* out = screen.data() + r.first + j;
            if (probe.filter)
                FilterScores(probe.filter.get(), r.filters + j * FPMATCH_FILTER_RECORD_SIZE, FPMATCH_FILTER_RECORD_SIZE,
                             static_cast<int32_t>(n), out);
            else if (r.shorts == nullptr) std::fill(out, out + n, 0);
            else ScreenScores(probe.shortTemplate.data(), r.shorts + j * 512, static_cast<int32_t>(n), out);
        });
    });
    std::vector<int64_t> kept;
    for (int64_t p = from; p < to; ++p)
        if (screen[static_cast<size_t>(p)] >= 0) kept.push_back(p);
    auto better = [&](int64_t a, int64_t b) {
        const int32_t sa = screen[static_cast<size_t>(a)], sb = screen[static_cast<size_t>(b)];
        return sa != sb ? sa > sb : a < b;
    };
    if (static_cast<int64_t>(kept.size()) > keep) {
        std::nth_element(kept.begin(), kept.begin() + keep, kept.end(), better);
        kept.resize(static_cast<size_t>(keep));
    }
    std::sort(kept.begin(), kept.end());
    const int64_t tasks = (static_cast<int64_t>(kept.size()) + 63) / 64;
    Parallel(threads, tasks, [&](int64_t t) {
        for (int64_t k = t * 64; k < std::min<int64_t>((t + 1) * 64, static_cast<int64_t>(kept.size())); ++k) {
            const int64_t p = kept[static_cast<size_t>(k)];
            const Run& r = v.RunOf(p);
            const PreparedProbe* prepared = probe.prepared.get();
            Compare(&prepared, 1, r, p - r.first, 1, &scores);
        }
    });
}

void SetSubject(FpmHit* h, std::string_view s) {
    h->subjectLength = static_cast<int32_t>(s.size());
    std::memcpy(h->subject, s.data(), s.size());
    h->subject[s.size()] = '\0';
}

// Ranks the compared positions of [from, to) into hits.
int32_t Rank(const FpmGallery* g, const View& v, const uint8_t* scores, int64_t from, int64_t to,
             const FpmSearchOptions& o, FpmHit* hits, int32_t capacity) {
    struct Candidate {
        int32_t score;
        int64_t position;
    };
    std::vector<Candidate> candidates;
    std::vector<int64_t> best;  // by ordinal: index into candidates, -1 none
    if (!o.byEntry) best.assign(v.ordinals, -1);
    // At most one a position, or one a subject: reserved at once rather than
    // grown (and copied) about twenty times over a large gallery.
    candidates.reserve(static_cast<size_t>(o.byEntry ? to - from : std::min<int64_t>(to - from, v.ordinals)));
    std::string why;
    EntryRef e;
    for (int64_t p = from; p < to; ++p) {
        const uint8_t s = scores[p - from];
        if (s == kNotCompared) continue;
        if (!v.Entry(p, &e, &why)) return FailAt(FPM_E_DAMAGED, g->path, why);
        if (o.byEntry) {
            if (s >= o.threshold) candidates.push_back({s, p});
            continue;
        }
        int64_t& k = best[e.ordinal];
        if (k < 0) {
            k = static_cast<int64_t>(candidates.size());
            candidates.push_back({s, p});
        } else if (s > candidates[static_cast<size_t>(k)].score) {
            candidates[static_cast<size_t>(k)] = {s, p};
        }
    }
    std::erase_if(candidates, [&](const Candidate& c) { return c.score < o.threshold; });
    // Positions follow template ids, so position order is id order.
    auto before = [](const Candidate& a, const Candidate& b) {
        return a.score != b.score ? a.score > b.score : a.position < b.position;
    };
    const size_t want = std::min<size_t>(candidates.size(), static_cast<size_t>(o.top > 0 ? std::min(o.top, capacity) : capacity));
    std::partial_sort(candidates.begin(), candidates.begin() + static_cast<ptrdiff_t>(want), candidates.end(), before);
    for (size_t k = 0; k < want; ++k) {
        if (!v.Entry(candidates[k].position, &e, &why)) return FailAt(FPM_E_DAMAGED, g->path, why);
        hits[k].entry = static_cast<int64_t>(e.id);
        hits[k].score = candidates[k].score;
        SetSubject(&hits[k], e.subject);
    }
    return static_cast<int32_t>(want);
}

bool OptionsInRange(const FpmSearchOptions& o, int32_t capacity) {
    return o.top >= 0 && o.threshold >= 0 && o.threshold <= 100 && o.threads >= 0 && o.screen >= 0 &&
           capacity >= 0 && o.first >= 0 && o.count >= -1;
}
constexpr const char* kOptionsOutOfRange =
    "a search option is out of range (top, threshold 0..100, threads, screen, first or count negative)";

// Searches probes[0 .. count - 1] (lengths[k] bytes each) under `o`, all
// in the state the handle sees when it starts: probe k's hits go to hits + k
// * capacity and their number to status[k], or the probe's own code (a
// template or adapt code, FPM_E_NOT_SCREENABLE). The probes are prepared and
// searched in groups of what the core compares at once, each group in one
// pass over the gallery, so that memory holds one group's prepared probes
// and score rows. Returns FPM_OK, or a code for the whole search (a damaged
// gallery).
int32_t Identify(FpmGallery* g, const FpmSearchOptions& o, const uint8_t* const* probes, const size_t* lengths,
                 int32_t count, FpmHit* hits, int32_t capacity, int32_t* status) {
    std::shared_lock lock(g->lock);
    const std::shared_ptr<const View> view = g->view;
    const View& v = *view;
    const int64_t from = std::min(o.first, v.entries);
    const int64_t to = o.count < 0 ? v.entries : std::min(v.entries, from + o.count);
    const bool filters = o.screen > 0 && UsesFilter(v, from, to);
    auto rank = [&](size_t k, const uint8_t* scores) {
        const int32_t n = Rank(g, v, scores + from, from, to, o, hits + k * static_cast<size_t>(capacity), capacity);
        if (n >= 0) status[k] = n;
        return n;
    };
    constexpr size_t kGroup = FPMATCH_BATCH_MAX_PROBES;
    std::vector<std::vector<uint8_t>> scores;
    for (size_t group = 0; group < static_cast<size_t>(count); group += kGroup) {
        const size_t n = std::min(kGroup, static_cast<size_t>(count) - group);
        std::vector<Probe> prepared(n);
        std::vector<size_t> searched;  // slots of the group's usable probes
        for (size_t i = 0; i < n; ++i) {
            status[group + i] = PrepareProbeTemplate(probes[group + i], lengths[group + i], o.adaptProbe != 0, &prepared[i]);
            if (status[group + i] == FPM_OK) searched.push_back(i);
        }
        if (capacity == 0 || to <= from) continue;  // every usable probe: 0 hits
        if (o.screen > 0) {
            // Each probe's candidates are its own: one after the other.
            scores.resize(1);
            for (const size_t i : searched) {
                Probe& p = prepared[i];
                if (filters) {
                    p.filter = std::make_unique<FilterProbe>();
                    if (PrepareFilterProbe(p.bytes.data(), p.filter.get()) != 0) p.filter.reset();
                }
                if (!p.filter && !p.hasShort) {
                    status[group + i] = Fail(FPM_E_NOT_SCREENABLE, "");
                    continue;
                }
                scores[0].assign(static_cast<size_t>(v.entries), kNotCompared);
                ScreenedScores(v, p, from, to, o.screen, o.threads, scores[0].data());
                if (const int32_t r = rank(group + i, scores[0].data()); r < 0) return r;
            }
            continue;
        }
        if (searched.empty()) continue;
        scores.resize(std::max(scores.size(), searched.size()));
        std::vector<const PreparedProbe*> pointers;
        std::vector<uint8_t*> rows;
        for (size_t s = 0; s < searched.size(); ++s) {
            pointers.push_back(prepared[searched[s]].prepared.get());
            scores[s].assign(static_cast<size_t>(v.entries), kNotCompared);
            rows.push_back(scores[s].data());
        }
        FullScores(v, pointers.data(), static_cast<int32_t>(pointers.size()), from, to, o.threads, rows.data());
        for (size_t s = 0; s < searched.size(); ++s)
            if (const int32_t r = rank(group + searched[s], rows[s]); r < 0) return r;
    }
    return FPM_OK;
}

}  // namespace

}  // namespace fpmatch::id

using namespace fpmatch::id;

extern "C" {

void FpmSearchOptionsInit(FpmSearchOptions* o) {
    if (o == nullptr) return;
    *o = FpmSearchOptions{};
    o->top = 10;
    o->count = -1;
}

int32_t FpmGalleryIdentify(FpmGallery* g, const uint8_t* probe, size_t probeLength, const FpmSearchOptions* options,
                           FpmHit* hits, int32_t capacity) {
    return Guarded([&]() -> int32_t {
        if (g == nullptr || options == nullptr || (hits == nullptr && capacity > 0))
            return Fail(FPM_E_ARGUMENT, "no gallery, options or hits");
        if (!OptionsInRange(*options, capacity)) return Fail(FPM_E_ARGUMENT, kOptionsOutOfRange);
        int32_t status = FPM_OK;
        const int32_t rc = Identify(g, *options, &probe, &probeLength, 1, hits, capacity, &status);
        return rc != FPM_OK ? rc : status;
    });
}

int32_t FpmGalleryIdentifyBatch(FpmGallery* g, const uint8_t* const* probes, const size_t* probeLengths,
                                int32_t probeCount, const FpmSearchOptions* options, FpmHit* hits, int32_t capacity,
                                int32_t* counts) {
    return Guarded([&]() -> int32_t {
        if (g == nullptr || options == nullptr || probeCount < 0 ||
            (probeCount > 0 && (probes == nullptr || probeLengths == nullptr || counts == nullptr)) ||
            (hits == nullptr && capacity > 0 && probeCount > 0))
            return Fail(FPM_E_ARGUMENT, "no gallery, options, probes, lengths, hits or counts");
        if (!OptionsInRange(*options, capacity)) return Fail(FPM_E_ARGUMENT, kOptionsOutOfRange);
        return Identify(g, *options, probes, probeLengths, probeCount, hits, capacity, counts);
    });
}

int32_t FpmGalleryVerify(FpmGallery* g, const char* subject, const uint8_t* probe, size_t probeLength,
                         int32_t adaptProbe, FpmHit* hit) {
    return Guarded([&]() -> int32_t {
        if (g == nullptr || subject == nullptr) return Fail(FPM_E_ARGUMENT, "no gallery or subject");
        if (!ValidSubject(subject)) return Fail(FPM_E_SUBJECT, "");
        Probe p;
        if (int32_t rc = PrepareProbeTemplate(probe, probeLength, adaptProbe != 0, &p); rc != FPM_OK) return rc;
        std::shared_lock lock(g->lock);
        const std::shared_ptr<const View> view = g->view;
        std::string why;
        const SubjectNames* names = view->Names(&why);
        if (names == nullptr) return FailAt(FPM_E_DAMAGED, g->path, why);
        const SubjectIndex* s = view->Subjects(&why);  // built with the names
        const auto it = names->byId.find(subject);
        if (it == names->byId.end())
            return FailAt(FPM_E_UNKNOWN_SUBJECT, g->path, "no subject \"" + std::string(subject) + "\"");
        int32_t bestScore = -1;
        EntryRef best;
        for (int64_t pos : s->Positions(it->second)) {
            EntryRef e;
            if (!view->Entry(pos, &e, &why)) return FailAt(FPM_E_DAMAGED, g->path, why);
            int32_t outcome = 0;
            const Run& r = view->RunOf(pos);
            const PreparedProbe* prepared = p.prepared.get();
            Outcomes(&prepared, 1, r, pos - r.first, 1, &outcome);
            if (std::max(outcome, 0) > bestScore) bestScore = std::max(outcome, 0), best = e;
        }
        if (hit != nullptr) {
            hit->entry = static_cast<int64_t>(best.id);
            hit->score = bestScore;
            SetSubject(hit, best.subject);
        }
        return bestScore;
    });
}

}  // extern "C"
