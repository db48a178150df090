// fpmatch.Gallery: gallery files of enrolled subjects, opened, changed and
// searched through the identification library (fpmatch_id.h). This file maps
// no file and ranks nothing itself: it converts arguments, calls the
// library with the GIL released, and raises the library's own texts.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "binding.h"
#include "gallery.h"

namespace fpmatch::python {

GalleryTypes g_types;

namespace {

// The outcome of one library call, its detail taken on the calling thread
// at once (FpmLastErrorDetail holds only the thread's last failure).
struct Outcome {
    int32_t code = FPM_OK;
    std::string detail;
};

template <class Fn>
Outcome Call(Fn fn) {
    Outcome o;
    o.code = fn();
    if (o.code < 0) {
        const char* d = FpmLastErrorDetail();
        o.detail = d != nullptr && *d != '\0' ? d : FpmCodeText(o.code);
    }
    return o;
}

[[noreturn]] void Raise(const Outcome& o, const std::string& path, std::optional<int64_t> index = std::nullopt) {
    throw GalleryFault{o.code, o.detail, path, index};
}

int32_t CountArg(const py::handle& value, const char* name, const char* meaning) {
    const int32_t v = IntArg(value, name);
    if (v < 0) throw py::value_error(std::string(name) + " must be 0 or more (" + meaning + "), not " + std::to_string(v));
    return v;
}

// A subject id: str (UTF-8; lone surrogates pass through for the library to
// refuse) or bytes. One with a NUL cannot reach the library whole and is
// refused here with the library's text for bad ids.
std::string SubjectArg(const py::handle& obj) {
    std::string s;
    if (PyUnicode_Check(obj.ptr())) {
        const py::object b = py::reinterpret_steal<py::object>(PyUnicode_AsEncodedString(obj.ptr(), "utf-8", "surrogatepass"));
        if (!b) throw py::error_already_set();
        s = std::string(py::bytes(b));
    } else if (PyBytes_Check(obj.ptr())) {
        s = std::string(py::reinterpret_borrow<py::bytes>(obj));
    } else {
        throw py::type_error("a subject id must be str or bytes, not " + TypeName(obj));
    }
    if (s.find('\0') != std::string::npos)
        throw GalleryFault{FPM_E_SUBJECT, FpmCodeText(FPM_E_SUBJECT), std::string(), std::nullopt};
    return s;
}

// A template argument copied (a few hundred bytes), so that another Python
// thread cannot change it while the library reads it; a Probe gives its
// template.
std::vector<uint8_t> TemplateArg(const py::handle& obj, const char* what) {
    py::object source = py::reinterpret_borrow<py::object>(obj);
    if (g_types.probe != nullptr && PyObject_IsInstance(obj.ptr(), g_types.probe) == 1) source = source.attr("template");
    ByteView v(source, 1, what);
    return std::vector<uint8_t>(v.data(), v.data() + v.size());
}

// The bytes of a template argument; an empty one is given to the library as
// an empty buffer, not as a missing one, so that its refusal names it.
const uint8_t* Data(const std::vector<uint8_t>& bytes) {
    static const uint8_t kNothing = 0;
    return bytes.empty() ? &kNothing : bytes.data();
}

}  // namespace

// The library's handle, closed when the last user lets go: the Gallery
// object, or a call running on it with the GIL released.
struct Handle {
    FpmGallery* gallery = nullptr;
    // Calls that read the state the handle sees (entries, counts, searches)
    // hold it shared; those that move the handle to another state (commit,
    // compact, refresh) exclusively, so entry bytes are copied before the
    // library lets their map go, and a count and the search that relies on
    // it see the same state. Taken only with the GIL released.
    std::shared_mutex state;
    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { FpmGalleryClose(gallery); }
};

namespace {

// FpmGalleryGetStat with the state lock held.
Outcome Stat(Handle& h, FpmGalleryStat* st) {
    return Call([&] { return FpmGalleryGetStat(h.gallery, st); });
}

py::object MakeHit(const FpmHit& hit) {
    return py::reinterpret_borrow<py::object>(g_types.hit)(Text(hit.subject, static_cast<size_t>(hit.subjectLength)),
                                                           hit.score, hit.entry);
}

}  // namespace

py::str Text(const char* s, size_t n) {
    PyObject* t = PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), "replace");
    if (t == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(t);
}

py::bytes Bytes(const std::vector<uint8_t>& b) {
    return py::bytes(reinterpret_cast<const char*>(b.data()), b.size());
}

std::shared_ptr<Gallery> Gallery::Open(const py::object& pathArg, bool writable, bool create) {
    const py::module_ os = py::module_::import("os");
    const std::string native = py::bytes(os.attr("fsencode")(pathArg));
    const std::string shown = py::str(os.attr("fsdecode")(pathArg));
    if (native.find('\0') != std::string::npos) throw py::value_error("path: embedded null byte");
    auto handle = std::make_shared<Handle>();
    Outcome o;
    {
        py::gil_scoped_release release;
        o = Call([&] {
            return create ? FpmGalleryCreate(native.c_str(), &handle->gallery)
                          : FpmGalleryOpen(native.c_str(), writable ? FPM_OPEN_WRITE : FPM_OPEN_READ,
                                           &handle->gallery);
        });
    }
    if (o.code < 0) Raise(o, shown);
    return std::make_shared<Gallery>(std::move(handle), shown, writable || create);
}

namespace {

// What a counting call (FpmGalleryGetStat, FpmGalleryGetStorage) writes for
// the handle's state: the GIL released, the state lock shared; a failure
// raises GalleryError.
template <class Counts>
Counts ReadCounts(const std::shared_ptr<Handle>& h, const std::string& path, int32_t (*call)(FpmGallery*, Counts*)) {
    Counts counts{};
    Outcome o;
    {
        py::gil_scoped_release release;
        std::shared_lock lock(h->state);
        o = Call([&] { return call(h->gallery, &counts); });
    }
    if (o.code < 0) Raise(o, path);
    return counts;
}

}  // namespace

FpmGalleryStorage Gallery::GetStorage() const { return ReadCounts(Get(), path_, FpmGalleryGetStorage); }

FpmGalleryStat Gallery::GetStat() const { return ReadCounts(Get(), path_, FpmGalleryGetStat); }

py::object Gallery::StatObject() const {
    const FpmGalleryStat s = GetStat();
    return py::reinterpret_borrow<py::object>(g_types.stat)(
        s.version, s.writable != 0, s.templates, s.subjects, s.entries, s.removed, s.shorts, s.parts, s.commit,
        s.fileSize, s.pendingTemplates, s.pendingRemovals);
}

void Gallery::Add(const py::handle& subjectArg, const py::handle& tmpl, bool adapt) {
    const auto h = Get();
    const std::string subject = SubjectArg(subjectArg);
    const std::vector<uint8_t> t = TemplateArg(tmpl, "a template");
    Outcome o;
    {
        py::gil_scoped_release release;
        o = Call([&] { return FpmGalleryAdd(h->gallery, subject.c_str(), Data(t), t.size(), adapt ? FPM_ADD_ADAPT : 0); });
    }
    if (o.code < 0) Raise(o, path_);
}

int32_t Gallery::Remove(const py::handle& subjectArg) {
    const auto h = Get();
    const std::string subject = SubjectArg(subjectArg);
    Outcome o;
    {
        py::gil_scoped_release release;
        o = Call([&] { return FpmGalleryRemove(h->gallery, subject.c_str()); });
    }
    if (o.code < 0) Raise(o, path_);
    return o.code;
}

int32_t Gallery::Change(int32_t (*fn)(FpmGallery*), bool moves) {
    const auto h = Get();
    Outcome o;
    {
        py::gil_scoped_release release;
        std::unique_lock<std::shared_mutex> lock(h->state, std::defer_lock);
        if (moves) lock.lock();
        o = Call([&] { return fn(h->gallery); });
    }
    if (o.code < 0) Raise(o, path_);
    return o.code;
}

void Gallery::Check() {
    const auto h = Get();
    Outcome o;
    {
        py::gil_scoped_release release;
        std::shared_lock lock(h->state);
        o = Call([&] { return FpmGalleryCheck(h->gallery); });
    }
    if (o.code < 0) Raise(o, path_);
}

py::list Gallery::Subjects() const {
    const auto h = Get();
    std::vector<std::pair<std::string, int32_t>> found;
    Outcome o;
    {
        py::gil_scoped_release release;
        std::shared_lock lock(h->state);
        FpmGalleryStat st{};
        o = Stat(*h, &st);
        char id[FPM_SUBJECT_MAX + 1];
        for (int64_t k = 0; o.code >= 0 && k < st.subjects; ++k) {
            int32_t templates = 0;
            o = Call([&] { return FpmGalleryGetSubject(h->gallery, k, id, &templates); });
            if (o.code >= 0) found.emplace_back(id, templates);
        }
    }
    if (o.code < 0) Raise(o, path_);
    py::list out;
    for (const auto& [id, templates] : found) out.append(py::make_tuple(Text(id.data(), id.size()), templates));
    return out;
}

std::vector<EntryCopy> Gallery::Entries(std::vector<int64_t> positions, bool all, bool liveOnly) const {
    const auto h = Get();
    std::vector<EntryCopy> out;
    Outcome o;
    int64_t failedAt = -1;
    {
        py::gil_scoped_release release;
        std::shared_lock lock(h->state);
        const bool counted = all || std::any_of(positions.begin(), positions.end(), [](int64_t p) { return p < 0; });
        FpmGalleryStat st{};
        if (counted) o = Stat(*h, &st);
        if (o.code >= 0 && all) {
            positions.resize(static_cast<size_t>(st.entries));
            for (int64_t p = 0; p < st.entries; ++p) positions[static_cast<size_t>(p)] = p;
        }
        for (size_t k = 0; o.code >= 0 && k < positions.size(); ++k) {
            const int64_t p = positions[k] < 0 ? positions[k] + st.entries : positions[k];
            FpmEntry e{};
            o = Call([&] { return FpmGalleryGetEntry(h->gallery, p, &e); });
            if (o.code < 0) {
                failedAt = p;
            } else if (!liveOnly || !e.removed) {
                EntryCopy c;
                c.position = p;
                c.id = e.id;
                c.subject.assign(e.subject, static_cast<size_t>(e.subjectLength));
                c.bytes.assign(e.templateData, e.templateData + e.templateLength);
                if (e.shortTemplate != nullptr) c.shortTemplate.emplace(e.shortTemplate, e.shortTemplate + 512);
                c.removed = e.removed != 0;
                out.push_back(std::move(c));
            }
        }
    }
    // A position outside the gallery, in the library's words.
    if (o.code == FPM_E_ARGUMENT && failedAt != -1) throw py::index_error(o.detail);
    if (o.code < 0) Raise(o, path_, failedAt >= 0 ? std::optional<int64_t>(failedAt) : std::nullopt);
    return out;
}

py::object Gallery::EntryObject(int64_t position) const {
    const EntryCopy e = One(position);
    return py::reinterpret_borrow<py::object>(g_types.entry)(
        e.position, e.id, Text(e.subject.data(), e.subject.size()), Bytes(e.bytes),
        e.shortTemplate ? py::object(Bytes(*e.shortTemplate)) : py::object(py::none()), e.removed);
}

std::vector<FpmHit> Gallery::Search(const SearchArgs& args) const {
    const auto h = Get();
    std::vector<FpmHit> hits;
    Outcome o;
    {
        py::gil_scoped_release release;
        std::shared_lock lock(h->state);
        FpmGalleryStat st{};
        o = Stat(*h, &st);
        if (o.code >= 0) {
            const int64_t ranked = args.options.byEntry ? st.templates : st.subjects;
            const int64_t top = args.options.top;
            hits.resize(static_cast<size_t>(std::min<int64_t>(top > 0 ? std::min(top, ranked) : ranked, INT32_MAX)));
            o = Call([&] {
                return FpmGalleryIdentify(h->gallery, Data(args.probe), args.probe.size(), &args.options,
                                          hits.data(), static_cast<int32_t>(hits.size()));
            });
            hits.resize(o.code >= 0 ? static_cast<size_t>(o.code) : 0);
        }
    }
    if (o.code < 0) Raise(o, path_);
    return hits;
}

py::list Gallery::Identify(const py::handle& probe, const py::handle& top, const py::handle& threshold,
                           const py::handle& threads, const py::handle& screen, bool byEntry, bool adapt) const {
    Get();
    SearchArgs a;
    FpmSearchOptionsInit(&a.options);
    a.options.top = CountArg(top, "top", "0: every subject, or every template by entry");
    a.options.threshold = IntArg(threshold, "threshold");
    if (a.options.threshold < 0 || a.options.threshold > 100)
        throw py::value_error("threshold must be 0..100, not " + std::to_string(a.options.threshold));
    a.options.threads = CountArg(threads, "threads", "0: every core");
    a.options.screen = screen.is_none() ? 0 : CountArg(screen, "screen", "None or 0: no screening");
    a.options.byEntry = byEntry ? 1 : 0;
    a.options.adaptProbe = adapt ? 1 : 0;
    a.probe = TemplateArg(probe, "the probe");
    const std::vector<FpmHit> hits = Search(a);
    py::list out;
    for (const FpmHit& hit : hits) out.append(MakeHit(hit));
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

std::string Gallery::Repr() const {
    const std::string where = py::repr(py::str(path_)).cast<std::string>();
    if (Closed()) return "<fpmatch.Gallery " + where + ", closed>";
    return "<fpmatch.Gallery " + where + (writable_ ? ", writable>" : ", read-only>");
}

std::shared_ptr<Handle> Gallery::Get() const {
    if (!handle_) throw py::value_error("operation on a closed gallery (" + path_ + ")");
    return handle_;
}

bool IsGallery(const py::handle& obj) { return py::isinstance<Gallery>(obj); }

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
