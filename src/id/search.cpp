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

constexpr int64_t kBlock = 1024;         // templates compared per task
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

// Outcomes of entries j .. j + n - 1 (n <= kBlock) of a run: from their
// compact records where the part stores them, else from the templates
// (prepared on the fly). A compact record that does not read back is never
// trusted: its template is compared instead.
void Outcomes(const Probe& probe, const Run& r, int64_t j, int32_t n, int32_t* outcomes) {
    const PreparedProbe* pp = probe.prepared.get();
    if (r.compact == nullptr) {
        MatchPreparedList(pp, r.templates, static_cast<int32_t>(r.stride), static_cast<int32_t>(j), n, outcomes);
        return;
    }
    MatchPreparedCompactPacked(pp, r.compact, r.compactSize, r.compactIndex, static_cast<int32_t>(j), n, outcomes);
    for (int32_t k = 0; k < n; ++k)
        if (outcomes[k] == FPMATCH_OUTCOME_DAMAGED)
            MatchPreparedList(pp, r.templates, static_cast<int32_t>(r.stride), static_cast<int32_t>(j + k), 1, outcomes + k);
}

void Compare(const Probe& probe, const Run& r, int64_t j, int64_t n, uint8_t* scores) {
    int32_t outcomes[kBlock];
    for (int64_t done = 0; done < n; done += kBlock) {
        const auto m = static_cast<int32_t>(std::min(kBlock, n - done));
        Outcomes(probe, r, j + done, m, outcomes);
        for (int32_t k = 0; k < m; ++k)
            scores[r.first + j + done + k] = static_cast<uint8_t>(std::max(outcomes[k], 0));
    }
}

// Scores (kNotCompared where not compared) of positions [from, to).
void FullScores(const View& v, const Probe& probe, int64_t from, int64_t to, int32_t threads, uint8_t* scores) {
    const int64_t blocks = (to - from + kBlock - 1) / kBlock;
    Parallel(threads, blocks, [&](int64_t b) {
        const int64_t lo = from + b * kBlock, hi = std::min(to, lo + kBlock);
        ForEachLive(v, lo, hi, [&](const Run& r, int64_t j, int64_t n) { Compare(probe, r, j, n, scores); });
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
            Compare(probe, r, p - r.first, 1, scores);
        }
    });
}

bool HitBefore(const FpmHit& a, const FpmHit& b) {
    if (a.score != b.score) return a.score > b.score;
    if (a.entry != b.entry) return a.entry < b.entry;
    return std::strcmp(a.subject, b.subject) < 0;
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
        const FpmSearchOptions& o = *options;
        if (o.top < 0 || o.threshold < 0 || o.threshold > 100 || o.threads < 0 || o.screen < 0 || capacity < 0 ||
            o.first < 0 || o.count < -1)
            return Fail(FPM_E_ARGUMENT, "a search option is out of range (top, threshold 0..100, threads, screen, "
                                        "first or count negative)");
        Probe p;
        if (int32_t rc = PrepareProbeTemplate(probe, probeLength, o.adaptProbe != 0, &p); rc != FPM_OK) return rc;
        std::shared_lock lock(g->lock);
        const std::shared_ptr<const View> view = g->view;
        const View& v = *view;
        const int64_t from = std::min(o.first, v.entries);
        const int64_t to = o.count < 0 ? v.entries : std::min(v.entries, from + o.count);
        if (capacity == 0 || to <= from) return 0;
        if (o.screen > 0 && UsesFilter(v, from, to)) {
            p.filter = std::make_unique<FilterProbe>();
            if (PrepareFilterProbe(p.bytes.data(), p.filter.get()) != 0) p.filter.reset();
        }
        if (o.screen > 0 && !p.filter && !p.hasShort) return Fail(FPM_E_NOT_SCREENABLE, "");
        std::vector<uint8_t> scores(static_cast<size_t>(v.entries), kNotCompared);
        if (o.screen > 0) ScreenedScores(v, p, from, to, o.screen, o.threads, scores.data());
        else FullScores(v, p, from, to, o.threads, scores.data());
        return Rank(g, v, scores.data() + from, from, to, o, hits, capacity);
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
        const SubjectIndex* s = view->Subjects(&why);
        if (s == nullptr) return FailAt(FPM_E_DAMAGED, g->path, why);
        const auto it = s->byId.find(subject);
        if (it == s->byId.end())
            return FailAt(FPM_E_UNKNOWN_SUBJECT, g->path, "no subject \"" + std::string(subject) + "\"");
        int32_t bestScore = -1;
        EntryRef best;
        for (int64_t pos : s->positions[static_cast<size_t>(it->second)]) {
            EntryRef e;
            if (!view->Entry(pos, &e, &why)) return FailAt(FPM_E_DAMAGED, g->path, why);
            int32_t outcome = 0;
            const Run& r = view->RunOf(pos);
            Outcomes(p, r, pos - r.first, 1, &outcome);
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

int32_t FpmMergeHits(const FpmHit* hits, int64_t count, int32_t bySubject, int32_t top, int32_t threshold,
                     FpmHit* out, int32_t capacity) {
    return Guarded([&]() -> int32_t {
        if ((hits == nullptr && count > 0) || count < 0 || top < 0 || capacity < 0 || (out == nullptr && capacity > 0))
            return Fail(FPM_E_ARGUMENT, "merge: a null list or a negative count");
        std::vector<const FpmHit*> all;
        all.reserve(static_cast<size_t>(count));
        for (int64_t k = 0; k < count; ++k)
            if (hits[k].score >= threshold) all.push_back(&hits[k]);
        std::stable_sort(all.begin(), all.end(), [](const FpmHit* a, const FpmHit* b) { return HitBefore(*a, *b); });
        const auto limit = static_cast<size_t>(top > 0 ? std::min(top, capacity) : capacity);
        std::unordered_map<std::string_view, bool> seen;
        size_t n = 0;
        for (const FpmHit* h : all) {
            if (n == limit) break;
            if (bySubject && !seen.emplace(std::string_view(h->subject, static_cast<size_t>(h->subjectLength)), true).second)
                continue;
            out[n++] = *h;
        }
        return static_cast<int32_t>(n);
    });
}

int32_t FpmSubjectFromPath(const char* path, char out[FPM_SUBJECT_MAX + 1]) {
    return Guarded([&]() -> int32_t {
        if (path == nullptr || out == nullptr) return Fail(FPM_E_ARGUMENT, "no path");
        std::string p(path);
        while (p.size() > 1 && p.back() == '/') p.pop_back();
        const size_t slash = p.rfind('/');
        std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
        std::string folder;
        if (slash != std::string::npos && slash > 0) {
            const size_t before = p.rfind('/', slash - 1);
            folder = p.substr(before == std::string::npos ? 0 : before + 1, slash - (before == std::string::npos ? 0 : before + 1));
        }
        const size_t cut = name.rfind('_');
        if (cut != std::string::npos && cut > 0) name.resize(cut);
        else if (const size_t dot = name.rfind('.'); dot != std::string::npos && dot > 0) name.resize(dot);
        const std::string id = folder.empty() || folder == "." || folder == ".." ? name : folder + "/" + name;
        if (!ValidSubject(id)) return Fail(FPM_E_SUBJECT, "no subject id can be made of \"" + p + "\"");
        std::memcpy(out, id.data(), id.size());
        out[id.size()] = '\0';
        return static_cast<int32_t>(id.size());
    });
}

}  // extern "C"
