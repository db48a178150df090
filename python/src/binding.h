// What the sources of the extension fpmatch._fpmatch share: whole-number
// arguments checked as the library's int32_t, bytes-like arguments held
// while the GIL is released, template arguments and lists (templates.cpp),
// the evaluation helpers (evaluation.cpp), and the gallery binding
// (gallery.cpp), which searches and changes gallery files through the
// identification library (fpmatch_id.h).
#ifndef FPMATCH_PYTHON_BINDING_H
#define FPMATCH_PYTHON_BINDING_H

#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace fpmatch::python {

namespace py = pybind11;

inline std::string TypeName(const py::handle& obj) { return py::str(py::type::handle_of(obj).attr("__name__")); }

// A read-only view of a bytes-like object (bytes, bytearray, memoryview, a
// contiguous numpy array of bytes), held for as long as the view lives so
// the exporter cannot resize it while the GIL is released.
class ByteView {
public:
    // maxDims 1: one template; 2: a gallery array.
    ByteView(const py::object& obj, int maxDims, const char* what) {
        if (PyUnicode_Check(obj.ptr()))
            throw py::type_error(std::string(what) + " must be bytes-like (bytes, bytearray, memoryview, uint8 array), "
                                 "not str");
        if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
            PyErr_Clear();
            throw py::type_error(std::string(what) +
                                 " must be a C-contiguous bytes-like object (bytes, bytearray, memoryview, uint8 "
                                 "array), not " +
                                 TypeName(obj));
        }
        held_ = true;
        const char* f = view_.format;
        const bool byteFormat = f == nullptr || !std::strcmp(f, "B") || !std::strcmp(f, "b") || !std::strcmp(f, "c") ||
                                !std::strcmp(f, "<B") || !std::strcmp(f, "=B") || !std::strcmp(f, "|u1");
        if (view_.itemsize != 1 || !byteFormat)
            throw py::type_error(std::string(what) + " must hold bytes (uint8), not items of format '" +
                                 (f ? f : "?") + "'");
        if (view_.ndim > maxDims)
            throw py::type_error(std::string(what) + " must have at most " + std::to_string(maxDims) +
                                 " dimension(s), not " + std::to_string(view_.ndim));
    }
    ByteView(const ByteView&) = delete;
    ByteView& operator=(const ByteView&) = delete;
    ~ByteView() {
        if (held_) PyBuffer_Release(&view_);
    }
    const uint8_t* data() const { return static_cast<const uint8_t*>(view_.buf); }
    size_t size() const { return static_cast<size_t>(view_.len); }
    int ndim() const { return view_.ndim; }
    Py_ssize_t shape(int i) const { return view_.shape ? view_.shape[i] : view_.len; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Declares fpmatch.Gallery, fpmatch.Hit, fpmatch.Entry, fpmatch.GalleryStat
// and fpmatch.GalleryError on `m`. `probeType` is fpmatch.Probe, accepted
// wherever a probe template is.
void AddGallery(py::module_& m, const py::handle& probeType);

// Whether `obj` is an fpmatch.Gallery.
bool IsGallery(const py::handle& obj);

// identify(probe, gallery) over a Gallery: its templates ranked by the
// library (by template, not subject), as (template id, score) pairs. top 0
// or nullopt: every template; threads nullopt: 1, 0: every core.
std::vector<std::pair<int64_t, int>> IdentifyInGallery(const std::vector<uint8_t>& probe, const py::handle& gallery,
                                                       std::optional<int> top, std::optional<int> threads);

// ------------------------------------------------------------ templates
// (templates.cpp)

// Raised as fpmatch.TemplateError (a ValueError) with .reason, .code and
// .index set (module.cpp translates it); .path is set by read_template on
// the Python side.
struct TemplateFault {
    std::string reason;
    int code = 0;
    std::optional<size_t> index;  // entry of a gallery list
};

[[noreturn]] void Fail(std::string reason, int code, std::optional<size_t> index = std::nullopt);

// What CheckTemplate's code means for this buffer, in words.
std::string CheckReason(int code, const uint8_t* p, size_t n);

// The identification library's text of a writer or adapter code (its one
// table of texts).
std::string CoreText(int32_t family, int32_t code);

// CheckTemplate, raising TemplateError unless the template decodes.
void RequireTemplate(const uint8_t* p, size_t n, std::optional<size_t> index = std::nullopt);

// A template argument copied, raising TemplateError unless it decodes.
std::vector<uint8_t> CopyTemplate(const py::object& obj, const char* what);

// Templates in the library's list layout: `count` entries every `stride`
// bytes from `base`. A list of bytes-like objects is packed into owned
// storage (zero padded to the longest entry); a 2-D uint8 array is used in
// place, one template per row.
struct TemplateList {
    std::unique_ptr<ByteView> array;
    std::vector<uint8_t> packed;
    const uint8_t* base = nullptr;
    size_t stride = 0;
    size_t count = 0;

    const uint8_t* Entry(size_t i) const { return base + i * stride; }
};

enum class EntryRule {
    Complete,  // every byte the decoder reads present; undecodable entries allowed
    Short,     // exactly 512 bytes
};

// A list or tuple of bytes-like templates (packed), or a 2-D uint8 array
// (read in place), each entry checked by `rule`.
TemplateList MakeTemplateList(const py::object& obj, EntryRule rule);

// An optional whole-number argument: None gives nullopt.
std::optional<int> OptionalIntArg(const py::handle& value, const char* name);

// A thread-count argument: None 1, 0 one per core; ValueError below 0.
size_t ResolveThreads(const std::optional<int>& threads);

// ------------------------------------------------------------ evaluation
// (evaluation.cpp)

// Declares _metrics and _score_pairs on `m`.
void AddEvaluation(py::module_& m);

// A whole-number argument as the library's int32_t: TypeError when it is not
// an integer, OverflowError (std::overflow_error) naming the argument when it
// does not fit, rather than pybind11's "incompatible function arguments".
inline int32_t IntArg(const py::handle& value, const char* name) {
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

}  // namespace fpmatch::python

#endif
