// What the gallery sources of the extension share (gallery.cpp,
// gallery_search.cpp): library calls and their failures, argument
// conversion, and the handle behind a Gallery. Not part of the module.
#ifndef FPMATCH_PYTHON_GALLERY_INTERNAL_H
#define FPMATCH_PYTHON_GALLERY_INTERNAL_H

#include <pybind11/pybind11.h>

#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "binding.h"
#include "gallery.h"

namespace fpmatch::python {

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

[[noreturn]] inline void Raise(const Outcome& o, const std::string& path, std::optional<int64_t> index = std::nullopt) {
    throw GalleryFault{o.code, o.detail, path, index};
}

inline int32_t CountArg(const py::handle& value, const char* name, const char* meaning) {
    const int32_t v = IntArg(value, name);
    if (v < 0) throw py::value_error(std::string(name) + " must be 0 or more (" + meaning + "), not " + std::to_string(v));
    return v;
}

// A subject id: str (UTF-8; lone surrogates pass through for the library to
// refuse) or bytes. One with a NUL cannot reach the library whole and is
// refused here with the library's text for bad ids.
inline std::string SubjectArg(const py::handle& obj) {
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
inline std::vector<uint8_t> TemplateArg(const py::handle& obj, const char* what) {
    py::object source = py::reinterpret_borrow<py::object>(obj);
    if (g_types.probe != nullptr && PyObject_IsInstance(obj.ptr(), g_types.probe) == 1) source = source.attr("template");
    ByteView v(source, 1, what);
    return std::vector<uint8_t>(v.data(), v.data() + v.size());
}

// The bytes of a template argument; an empty one is given to the library as
// an empty buffer, not as a missing one, so that its refusal names it.
inline const uint8_t* Data(const std::vector<uint8_t>& bytes) {
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
inline Outcome Stat(Handle& h, FpmGalleryStat* st) {
    return Call([&] { return FpmGalleryGetStat(h.gallery, st); });
}

inline py::object MakeHit(const FpmHit& hit) {
    return py::reinterpret_borrow<py::object>(g_types.hit)(Text(hit.subject, static_cast<size_t>(hit.subjectLength)),
                                                           hit.score, hit.entry);
}

}  // namespace fpmatch::python

#endif
