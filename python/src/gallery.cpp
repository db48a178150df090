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
#include "fpmatch_id.h"

namespace fpmatch::python {

namespace {

// Types created once at import and kept for the life of the process.
PyObject* g_galleryError = nullptr;
PyObject* g_hitType = nullptr;
PyObject* g_entryType = nullptr;
PyObject* g_statType = nullptr;
PyObject* g_probeType = nullptr;

// A code the library returned, with the detail it gave for it; raised as
// fpmatch.GalleryError.
struct GalleryFault {
    int32_t code = 0;
    std::string reason;
    std::string path;
    std::optional<int64_t> index;  // the entry's position, when one entry is at fault
};

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

// Text the library wrote (UTF-8; names of version-1 entries may not be: their
// stray bytes become U+FFFD).
py::str Text(const char* s, size_t n) {
    PyObject* t = PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), "replace");
    if (t == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(t);
}

py::bytes Bytes(const std::vector<uint8_t>& b) {
    return py::bytes(reinterpret_cast<const char*>(b.data()), b.size());
}

// A whole-number argument as an int32_t: TypeError when it is not an int,
// OverflowError naming the argument when it does not fit.
int32_t WholeArg(const py::handle& value, const char* name) {
    if (!PyIndex_Check(value.ptr()))
        throw py::type_error(std::string(name) + " must be an int, not " + Py_TYPE(value.ptr())->tp_name);
    const py::object number = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!number) throw py::error_already_set();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    const bool above = overflow > 0 || (overflow == 0 && v > INT32_MAX);
    const bool below = overflow < 0 || (overflow == 0 && v < INT32_MIN);
    if (above || below)
        throw std::overflow_error(std::string(name) +
                                  (above ? " must be at most 2147483647, not " : " must be at least -2147483648, not ") +
                                  std::string(py::str(number)));
    return static_cast<int32_t>(v);
}

int32_t CountArg(const py::handle& value, const char* name, const char* meaning) {
    const int32_t v = WholeArg(value, name);
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
    if (g_probeType != nullptr && PyObject_IsInstance(obj.ptr(), g_probeType) == 1) source = source.attr("template");
    ByteView v(source, 1, what);
    return std::vector<uint8_t>(v.data(), v.data() + v.size());
}

// The bytes of a template argument; an empty one is given to the library as
// an empty buffer, not as a missing one, so that its refusal names it.
const uint8_t* Data(const std::vector<uint8_t>& bytes) {
    static const uint8_t kNothing = 0;
    return bytes.empty() ? &kNothing : bytes.data();
}

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

// FpmGalleryGetStat with the state lock held.
Outcome Stat(Handle& h, FpmGalleryStat* st) {
    return Call([&] { return FpmGalleryGetStat(h.gallery, st); });
}

py::object MakeHit(const FpmHit& hit) {
    return py::reinterpret_borrow<py::object>(g_hitType)(Text(hit.subject, static_cast<size_t>(hit.subjectLength)),
                                                         hit.score, hit.entry);
}

struct EntryCopy {
    int64_t position = 0;
    int64_t id = 0;
    std::string subject;
    std::vector<uint8_t> bytes;
    std::optional<std::vector<uint8_t>> shortTemplate;
    bool removed = false;
};

struct SearchArgs {
    FpmSearchOptions options{};
    std::vector<uint8_t> probe;
};

class Gallery {
public:
    // Gallery.create / Gallery.open.
    static std::shared_ptr<Gallery> Open(const py::object& pathArg, bool writable, bool create) {
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

    Gallery(std::shared_ptr<Handle> h, std::string path, bool writable)
        : handle_(std::move(h)), path_(std::move(path)), writable_(writable) {}

    const std::string& Path() const { return path_; }
    bool Writable() const { return writable_; }
    bool Closed() const { return !handle_; }
    void Close() { handle_.reset(); }

    FpmGalleryStat GetStat() const {
        const auto h = Get();
        FpmGalleryStat st{};
        Outcome o;
        {
            py::gil_scoped_release release;
            std::shared_lock lock(h->state);
            o = Stat(*h, &st);
        }
        if (o.code < 0) Raise(o, path_);
        return st;
    }

    py::object StatObject() const {
        const FpmGalleryStat s = GetStat();
        return py::reinterpret_borrow<py::object>(g_statType)(
            s.version, s.writable != 0, s.templates, s.subjects, s.entries, s.removed, s.shorts, s.parts, s.commit,
            s.fileSize, s.pendingTemplates, s.pendingRemovals);
    }

    void Add(const py::handle& subjectArg, const py::handle& tmpl, bool adapt) {
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

    int32_t Remove(const py::handle& subjectArg) {
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

    // commit, compact, refresh and discard; `moves` when the call may move
    // the handle to another state.
    int32_t Change(int32_t (*fn)(FpmGallery*), bool moves) {
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

    void Check() {
        const auto h = Get();
        Outcome o;
        {
            py::gil_scoped_release release;
            std::shared_lock lock(h->state);
            o = Call([&] { return FpmGalleryCheck(h->gallery); });
        }
        if (o.code < 0) Raise(o, path_);
    }

    py::list Subjects() const {
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

    // Copies of the entries at `positions` (negative ones count from the
    // end), or of every entry (`all`); `liveOnly` leaves removed ones out.
    // IndexError when a position is outside the gallery. The counts are
    // read only when needed (they read every entry), so the entries before a
    // damaged one stay readable.
    std::vector<EntryCopy> Entries(std::vector<int64_t> positions, bool all, bool liveOnly) const {
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

    EntryCopy One(int64_t position) const { return Entries({position}, false, false).front(); }

    py::object EntryObject(int64_t position) const {
        const EntryCopy e = One(position);
        return py::reinterpret_borrow<py::object>(g_entryType)(
            e.position, e.id, Text(e.subject.data(), e.subject.size()), Bytes(e.bytes),
            e.shortTemplate ? py::object(Bytes(*e.shortTemplate)) : py::object(py::none()), e.removed);
    }

    // Ranks with `args` and the state lock held across the count and the
    // search: top 0 asks for every subject (or template) the state holds.
    std::vector<FpmHit> Search(const SearchArgs& args) const {
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

    py::list Identify(const py::handle& probe, const py::handle& top, const py::handle& threshold,
                      const py::handle& threads, const py::handle& screen, bool byEntry, bool adapt) const {
        Get();
        SearchArgs a;
        FpmSearchOptionsInit(&a.options);
        a.options.top = CountArg(top, "top", "0: every subject, or every template by entry");
        a.options.threshold = WholeArg(threshold, "threshold");
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

    int32_t Verify(const py::handle& subjectArg, const py::handle& probe, bool adapt) const {
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

    std::string Repr() const {
        const std::string where = py::repr(py::str(path_)).cast<std::string>();
        if (Closed()) return "<fpmatch.Gallery " + where + ", closed>";
        return "<fpmatch.Gallery " + where + (writable_ ? ", writable>" : ", read-only>");
    }

private:
    std::shared_ptr<Handle> Get() const {
        if (!handle_) throw py::value_error("operation on a closed gallery (" + path_ + ")");
        return handle_;
    }

    std::shared_ptr<Handle> handle_;  // null once closed
    std::string path_;
    bool writable_ = false;
};

py::object NamedTuple(py::module_& m, const char* name, const std::vector<const char*>& fields, const char* doc) {
    py::list names;
    for (const char* f : fields) names.append(f);
    py::object type = py::module_::import("collections").attr("namedtuple")(name, names, py::arg("module") = "fpmatch");
    type.attr("__doc__") = doc;
    m.attr(name) = type;
    return type;
}

}  // namespace

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

void AddGallery(py::module_& m, const py::handle& probeType) {
    g_probeType = probeType.ptr();
    Py_INCREF(g_probeType);

    py::dict attrs;
    attrs["reason"] = py::none();
    attrs["code"] = py::none();
    attrs["path"] = py::none();
    attrs["index"] = py::none();
    g_galleryError = PyErr_NewExceptionWithDoc(
        "fpmatch.GalleryError",
        "A refusal of the identification library: a gallery file that is missing, locked by another writer, "
        "damaged, not a gallery or of another version; a bad subject id or template; an unknown subject; a change "
        "through a read-only handle. Attributes: reason (the library's text for the failure, FpmLastErrorDetail; "
        "also str(error)), code (its negative FPM_E_* code; FpmCodeText gives the fixed text), path (the "
        "gallery, or None), index (the position of a damaged entry, or None).",
        PyExc_ValueError, attrs.ptr());
    if (!g_galleryError) throw py::error_already_set();
    m.attr("GalleryError") = py::handle(g_galleryError);
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const GalleryFault& f) {
            py::object error = py::reinterpret_borrow<py::object>(g_galleryError)(f.reason);
            error.attr("reason") = f.reason;
            error.attr("code") = f.code;
            if (!f.path.empty()) error.attr("path") = f.path;
            if (f.index) error.attr("index") = *f.index;
            PyErr_SetObject(g_galleryError, error.ptr());
        }
    });

    g_hitType = NamedTuple(m, "Hit", {"subject", "score", "entry"},
                           "One hit of Gallery.identify: the subject (str), its score 0..100 (the best Match2Score "
                           "of the probe against its templates) and the id of the template that gave it (entry). "
                           "By entry, one template.")
                    .release()
                    .ptr();
    g_entryType = NamedTuple(m, "Entry", {"position", "id", "subject", "template", "short_template", "removed"},
                             "One stored template of a gallery: its position in the file (0..entries-1), its "
                             "template id (kept by compaction), its subject, its bytes, its 512-byte short "
                             "screening template (None when none is stored) and whether it is removed (until a "
                             "compaction drops it).")
                      .release()
                      .ptr();
    g_statType = NamedTuple(m, "GalleryStat",
                            {"version", "writable", "templates", "subjects", "entries", "removed", "shorts", "parts",
                             "commit", "file_size", "pending_templates", "pending_removals"},
                            "The counts of the state a Gallery handle sees (FpmGalleryStat): format version, "
                            "writable handle, templates that can be found, subjects, stored templates (removed ones "
                            "included; positions 0..entries-1), removed ones, templates with a short template, parts "
                            "(segments of a version-1 file), commit number, bytes of the file in this state, and "
                            "the uncommitted added templates and removals.")
                     .release()
                     .ptr();

    py::class_<Gallery, std::shared_ptr<Gallery>>(
        m, "Gallery",
        "A gallery file of enrolled subjects (.fpg), through the identification library. Gallery.create(path) "
        "makes a new one, Gallery.open(path, writable=False) opens one (version-1 files written by `fpmatch "
        "pack` open read-only). A writer adds templates under subject ids and removes subjects; commit() makes the "
        "batch durable in one step, and readers see it after refresh(). identify() ranks subjects (or templates), "
        "verify() scores one subject. One writer at a time (a second gets GalleryError); any number of readers. "
        "Use it as a context manager or call close(): closing drops uncommitted changes. The GIL is released in "
        "every call into the library; one Gallery may be used by several Python threads at once.")
        .def_static(
            "create", [](const py::object& path) { return Gallery::Open(path, true, true); }, py::arg("path"),
            "Creates a new empty gallery file (which must not exist) and opens it for writing.")
        .def_static(
            "open", [](const py::object& path, bool writable) { return Gallery::Open(path, writable, false); },
            py::arg("path"), py::arg("writable") = false,
            "Opens a gallery file for reading, or with writable=True for writing (holding the writer's lock until "
            "closed). GalleryError with the library's text when it is missing, locked, damaged or not a gallery.")
        .def("add", &Gallery::Add, py::arg("subject"), py::arg("template"), py::arg("adapt") = false,
             "Adds a template (bytes-like, or a Probe) under a subject id (str or bytes: 1..255 bytes of UTF-8); "
             "adapt=True adapts an ISO record first (AdaptIsoRecord). Visible after commit().")
        .def("remove", &Gallery::Remove, py::arg("subject"),
             "Removes every template of a subject (committed or added in this batch); returns how many. Durable "
             "after commit(). GalleryError for an unknown subject.")
        .def(
            "commit", [](Gallery& g) { g.Change(FpmGalleryCommit, true); },
            "Makes the batch of adds and removals durable in one step.")
        .def(
            "discard", [](Gallery& g) { g.Change(FpmGalleryDiscard, false); }, "Drops the uncommitted batch.")
        .def(
            "compact", [](Gallery& g) { g.Change(FpmGalleryCompact, true); },
            "Rewrites the file without its removed templates (written aside and renamed over it); template ids, "
            "subjects and search results stay the same. GalleryError while changes are uncommitted.")
        .def(
            "refresh", [](Gallery& g) { return g.Change(FpmGalleryRefresh, true) == 1; },
            "Moves a reader to the last committed state of its file; True when the state changed.")
        .def("check", &Gallery::Check,
             "Verifies every checksum and directory record (reads the whole file); GalleryError naming the damaged "
             "part.")
        .def("stat", &Gallery::StatObject, "The counts of the state this handle sees, as a GalleryStat.")
        .def("subjects", &Gallery::Subjects,
             "Every subject as (subject id, number of templates), in the order of their first stored template.")
        .def(
            "__len__", [](const Gallery& g) { return g.GetStat().templates; },
            "The number of templates that can be found (removed ones not counted); ValueError once closed.")
        .def("identify", &Gallery::Identify, py::arg("probe"), py::arg("top") = 10, py::arg("threshold") = 0,
             py::arg("threads") = 0, py::arg("screen") = py::none(), py::arg("by_entry") = false,
             py::arg("adapt") = false,
             "Identifies a probe (bytes-like or a Probe) among the committed templates (FpmGalleryIdentify): a list "
             "of Hit(subject, score, entry), best first, equal scores by lower template id. By subject (the "
             "default) each subject once, scored by its best template; by_entry=True ranks templates. top: hits "
             "wanted (0: all); threshold: only hits scoring at least this (0..100); threads: 0 = every core (the "
             "result does not depend on it); screen=N: screen every template with short templates first and "
             "compare the N best in full (N at least the gallery's size gives the full search); adapt=True adapts "
             "an ISO probe first.")
        .def("verify", &Gallery::Verify, py::arg("subject"), py::arg("probe"), py::arg("adapt") = false,
             "The best score 0..100 of the probe against the templates of one subject (FpmGalleryVerify).")
        .def("entry", &Gallery::EntryObject, py::arg("position"),
             "The stored template at `position` (0..stat().entries-1, file order; negative counts from the end) "
             "as an Entry. Removed templates keep their position until a compaction. IndexError outside.")
        .def(
            "__getitem__", [](const Gallery& g, int64_t position) { return Bytes(g.One(position).bytes); },
            py::arg("position"), "The template bytes at `position` (see entry()).")
        .def(
            "__iter__",
            [](const Gallery& g) {
                py::list out;
                for (const EntryCopy& e : g.Entries({}, true, true)) out.append(Bytes(e.bytes));
                return py::iter(out);
            },
            "The template bytes of every template that can be found (len(g) of them), in file order.")
        .def(
            "name", [](const Gallery& g, int64_t position) {
                const EntryCopy e = g.One(position);
                return Text(e.subject.data(), e.subject.size());
            },
            py::arg("position"),
            "The subject of the template at `position` (for a version-1 file, the path `fpmatch pack` read it "
            "from).")
        .def_property_readonly(
            "names",
            [](const Gallery& g) {
                py::list out;
                for (const EntryCopy& e : g.Entries({}, true, false)) out.append(Text(e.subject.data(), e.subject.size()));
                return out;
            },
            "The subject of every position, in position order (a new list).")
        .def(
            "short_template",
            [](const Gallery& g, int64_t position) -> py::object {
                const EntryCopy e = g.One(position);
                return e.shortTemplate ? py::object(Bytes(*e.shortTemplate)) : py::object(py::none());
            },
            py::arg("position"), "The 512-byte short template at `position`, or None when none is stored.")
        .def_property_readonly(
            "has_shorts",
            [](const Gallery& g) {
                const FpmGalleryStat s = g.GetStat();
                return s.templates > 0 && s.shorts == s.templates;
            },
            "True when every template that can be found has a short template.")
        .def_property_readonly(
            "segments", [](const Gallery& g) { return g.GetStat().parts; },
            "The number of parts of the file (segments of a version-1 file).")
        .def_property_readonly(
            "version", [](const Gallery& g) { return g.GetStat().version; }, "The file's format version (1 or 2).")
        .def_property_readonly("path", &Gallery::Path, "The path the gallery was opened with.")
        .def_property_readonly("writable", &Gallery::Writable, "True for a writer's handle.")
        .def_property_readonly("closed", &Gallery::Closed, "True after close().")
        .def("close", &Gallery::Close,
             "Closes the handle (at once, or when the calls running on it end), dropping uncommitted changes and "
             "the writer's lock. Further use raises ValueError; closing twice is allowed.")
        .def("__enter__", [](const std::shared_ptr<Gallery>& g) { return g; })
        .def(
            "__exit__", [](Gallery& g, const py::args&) { g.Close(); return false; },
            "Closes the gallery (uncommitted changes are dropped).")
        .def("__repr__", &Gallery::Repr);
}

}  // namespace fpmatch::python
