// fpmatch.Gallery's searches: identify (one probe or a batch) and verify,
// and the module's identify over a gallery, each one call of the
// identification library with the GIL released.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "binding.h"
#include "gallery.h"
#include "gallery_internal.h"

namespace fpmatch::python {

namespace {

// Hits one search can give under `o` for the state `st` describes.
size_t Capacity(const FpmGalleryStat& st, const FpmSearchOptions& o) {
    const int64_t ranked = o.byEntry ? st.templates : st.subjects;
    return static_cast<size_t>(std::min<int64_t>(o.top > 0 ? std::min<int64_t>(o.top, ranked) : ranked, INT32_MAX));
}

// The library's options from the keyword arguments of identify.
FpmSearchOptions OptionsArg(const py::handle& top, const py::handle& threshold, const py::handle& threads,
                            const py::handle& screen, bool byEntry, bool adapt) {
    FpmSearchOptions o;
    FpmSearchOptionsInit(&o);
    o.top = CountArg(top, "top", "0: every subject, or every template by entry");
    o.threshold = IntArg(threshold, "threshold");
    if (o.threshold < 0 || o.threshold > 100)
        throw py::value_error("threshold must be 0..100, not " + std::to_string(o.threshold));
    o.threads = CountArg(threads, "threads", "0: every core");
    o.screen = screen.is_none() ? 0 : CountArg(screen, "screen", "None or 0: no screening");
    o.byEntry = byEntry ? 1 : 0;
    o.adaptProbe = adapt ? 1 : 0;
    return o;
}

// Runs search(capacity) with the GIL released and the state lock held
// across the count and the search, capacity being the hits one probe can
// get in that state.
template <class Search>
Outcome Counted(Handle& h, const FpmSearchOptions& o, Search search) {
    py::gil_scoped_release release;
    std::shared_lock lock(h.state);
    FpmGalleryStat st{};
    const Outcome counted = Stat(h, &st);
    return counted.code < 0 ? counted : search(Capacity(st, o));
}

py::list HitList(const FpmHit* hits, size_t n) {
    py::list out;
    for (size_t k = 0; k < n; ++k) out.append(MakeHit(hits[k]));
    return out;
}

}  // namespace

std::vector<FpmHit> Gallery::Search(const SearchArgs& args) const {
    const auto h = Get();
    std::vector<FpmHit> hits;
    const Outcome o = Counted(*h, args.options, [&](size_t capacity) {
        hits.resize(capacity);
        const Outcome searched = Call([&] {
            return FpmGalleryIdentify(h->gallery, Data(args.probe), args.probe.size(), &args.options, hits.data(),
                                      static_cast<int32_t>(hits.size()));
        });
        hits.resize(searched.code >= 0 ? static_cast<size_t>(searched.code) : 0);
        return searched;
    });
    if (o.code < 0) Raise(o, path_);
    return hits;
}

py::list Gallery::Identify(const py::handle& probe, const py::handle& top, const py::handle& threshold,
                           const py::handle& threads, const py::handle& screen, bool byEntry, bool adapt) const {
    Get();
    SearchArgs a;
    a.options = OptionsArg(top, threshold, threads, screen, byEntry, adapt);
    a.probe = TemplateArg(probe, "the probe");
    const std::vector<FpmHit> hits = Search(a);
    return HitList(hits.data(), hits.size());
}

py::list Gallery::IdentifyBatch(const py::iterable& probes, const py::handle& top, const py::handle& threshold,
                                const py::handle& threads, const py::handle& screen, bool byEntry, bool adapt) const {
    const auto h = Get();
    const FpmSearchOptions options = OptionsArg(top, threshold, threads, screen, byEntry, adapt);
    std::vector<std::vector<uint8_t>> copies;
    for (const py::handle& p : probes) copies.push_back(TemplateArg(p, ("probe " + std::to_string(copies.size())).c_str()));
    if (copies.size() > static_cast<size_t>(INT32_MAX)) throw py::value_error("more than 2**31 - 1 probes");
    std::vector<FpmHit> hits;
    std::vector<int32_t> counts(copies.size());
    size_t width = 0;
    const Outcome o = Counted(*h, options, [&](size_t capacity) {
        width = capacity;
        hits.resize(copies.size() * width);
        std::vector<const uint8_t*> data;
        std::vector<size_t> lengths;
        for (const auto& c : copies) {
            data.push_back(Data(c));
            lengths.push_back(c.size());
        }
        return Call([&] {
            return FpmGalleryIdentifyBatch(h->gallery, data.data(), lengths.data(), static_cast<int32_t>(copies.size()),
                                           &options, hits.data(), static_cast<int32_t>(width), counts.data());
        });
    });
    if (o.code < 0) Raise(o, path_);
    // A probe the library refused raises, named by its place in the batch.
    for (size_t k = 0; k < counts.size(); ++k)
        if (counts[k] < 0) Raise(Outcome{counts[k], "probe " + std::to_string(k) + ": " + FpmCodeText(counts[k])}, path_);
    py::list out;
    for (size_t k = 0; k < counts.size(); ++k) out.append(HitList(hits.data() + k * width, static_cast<size_t>(counts[k])));
    return out;
}

int32_t Gallery::Verify(const py::handle& subjectArg, const py::handle& probe, bool adapt) const {
    const auto h = Get();
    const std::string subject = SubjectArg(subjectArg);
    const std::vector<uint8_t> p = TemplateArg(probe, "the probe");
    Outcome o;
    {
        py::gil_scoped_release release;
        std::shared_lock lock(h->state);
        o = Call([&] { return FpmGalleryVerify(h->gallery, subject.c_str(), Data(p), p.size(), adapt ? 1 : 0, nullptr); });
    }
    if (o.code < 0) Raise(o, path_);
    return o.code;
}

std::vector<std::pair<int64_t, int>> IdentifyInGallery(const std::vector<uint8_t>& probe, const py::handle& gallery,
                                                       std::optional<int> top, std::optional<int> threads) {
    if (top && *top < 0) throw py::value_error("top must be 0 or more (0 or None: every entry)");
    if (threads && *threads < 0) throw py::value_error("threads must be 0 (one per core) or more");
    SearchArgs a;
    FpmSearchOptionsInit(&a.options);
    a.options.top = top.value_or(0);
    a.options.threads = threads.value_or(1);
    a.options.byEntry = 1;
    a.probe = probe;
    const std::vector<FpmHit> hits = gallery.cast<const Gallery&>().Search(a);
    std::vector<std::pair<int64_t, int>> out;
    out.reserve(hits.size());
    for (const FpmHit& h : hits) out.emplace_back(h.entry, h.score);
    return out;
}

}  // namespace fpmatch::python
