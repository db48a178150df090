// fpmatch.Gallery, fpmatch.Hit, fpmatch.Entry, fpmatch.GalleryStat and
// fpmatch.GalleryError: the Python types of the gallery binding and their
// documentation (the calls are in gallery.cpp).
#include <pybind11/pybind11.h>

#include <exception>
#include <vector>

#include "binding.h"
#include "gallery.h"

namespace fpmatch::python {

namespace {

py::object NamedTuple(py::module_& m, const char* name, const std::vector<const char*>& fields, const char* doc) {
    py::list names;
    for (const char* f : fields) names.append(f);
    py::object type = py::module_::import("collections").attr("namedtuple")(name, names, py::arg("module") = "fpmatch");
    type.attr("__doc__") = doc;
    m.attr(name) = type;
    return type;
}

}  // namespace

void AddGallery(py::module_& m, const py::handle& probeType) {
    g_types.probe = probeType.ptr();
    Py_INCREF(g_types.probe);

    py::dict attrs;
    attrs["reason"] = py::none();
    attrs["code"] = py::none();
    attrs["path"] = py::none();
    attrs["index"] = py::none();
    g_types.error = PyErr_NewExceptionWithDoc(
        "fpmatch.GalleryError",
        "A refusal of the identification library: a gallery file that is missing, locked by another writer, "
        "damaged, not a gallery or of another version; a bad subject id or template; an unknown subject; a change "
        "through a read-only handle. Attributes: reason (the library's text for the failure, FpmLastErrorDetail; "
        "also str(error)), code (its negative FPM_E_* code; FpmCodeText gives the fixed text), path (the "
        "gallery, or None), index (the position of a damaged entry, or None).",
        PyExc_ValueError, attrs.ptr());
    if (!g_types.error) throw py::error_already_set();
    m.attr("GalleryError") = py::handle(g_types.error);
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const GalleryFault& f) {
            py::object error = py::reinterpret_borrow<py::object>(g_types.error)(f.reason);
            error.attr("reason") = f.reason;
            error.attr("code") = f.code;
            if (!f.path.empty()) error.attr("path") = f.path;
            if (f.index) error.attr("index") = *f.index;
            PyErr_SetObject(g_types.error, error.ptr());
        }
    });

    g_types.hit = NamedTuple(m, "Hit", {"subject", "score", "entry"},
                           "One hit of Gallery.identify: the subject (str), its score 0..100 (the best Match2Score "
                           "of the probe against its templates) and the id of the template that gave it (entry). "
                           "By entry, one template.")
                    .release()
                    .ptr();
    g_types.entry = NamedTuple(m, "Entry", {"position", "id", "subject", "template", "short_template", "removed"},
                             "One stored template of a gallery: its position in the file (0..entries-1), its "
                             "template id (kept by compaction), its subject, its bytes, its 512-byte short "
                             "screening template (None when none is stored) and whether it is removed (until a "
                             "compaction drops it).")
                      .release()
                      .ptr();
    g_types.stat = NamedTuple(m, "GalleryStat",
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
        .def("identify_batch", &Gallery::IdentifyBatch, py::arg("probes"), py::arg("top") = 10,
             py::arg("threshold") = 0, py::arg("threads") = 0, py::arg("screen") = py::none(),
             py::arg("by_entry") = false, py::arg("adapt") = false,
             "identify for every probe of an iterable in one pass over the gallery "
             "(FpmGalleryIdentifyBatch): a list with each probe's hits, each list what identify gives that probe "
             "with the same arguments. A full search reads each stored template once for all the probes, so a "
             "batch is faster than one identify per probe. A probe the library refuses raises GalleryError "
             "(\"probe K: ...\").")
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
            "prepared", [](const Gallery& g) { return g.GetStorage().compactRecords; },
            "How many templates that can be found are stored with a compact record, which a search compares "
            "without decoding the template (all, from fpmatch 1.1 on; compact() prepares those of older parts).")
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
