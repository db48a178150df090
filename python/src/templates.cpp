// Template arguments of the extension: TemplateError's reasons, the checks
// made before the library reads a buffer, lists of templates in the
// library's list layout, and the whole-number and thread arguments.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "binding.h"
#include "fpmatch.h"
#include "fpmatch_id.h"

namespace fpmatch::python {

namespace {

std::string Hex(uint8_t b) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02x", b);
    return buf;
}

// An entry of a template list: a short template is exactly 512 bytes; any
// other must hold every byte the decoder reads.
void CheckEntry(const uint8_t* p, size_t n, size_t i, EntryRule rule) {
    if (rule == EntryRule::Short) {
        if (n != FPMATCH_SHORT_TEMPLATE_SIZE)
            Fail("a short template is 512 bytes, this one has " + std::to_string(n), FPMATCH_TRUNCATED, i);
        return;
    }
    // Versions and counts the decoder refuses are left to the library (the
    // entry scores 0); only a buffer it would read past is refused here.
    const int code = CheckTemplate(p, n);
    if (code == FPMATCH_TRUNCATED || code == FPMATCH_NULL_INPUT) Fail(CheckReason(code, p, n), code, i);
}

}  // namespace

[[noreturn]] void Fail(std::string reason, int code, std::optional<size_t> index) {
    throw TemplateFault{std::move(reason), code, index};
}

// What CheckTemplate's code means for this buffer, in words.
std::string CheckReason(int code, const uint8_t* p, size_t n) {
    const bool iso = n >= 2 && p[0] == 'F' && p[1] == 'M';
    switch (code) {
        case FPMATCH_BAD_VERSION:
            return "neither an ISO/IEC 19794-2 record (starting \"FM\") nor a native template (version byte 3); "
                   "first byte " +
                   Hex(p[0]);
        case FPMATCH_BAD_COUNT:
            return "declares " + std::to_string(static_cast<int8_t>(p[iso ? 27 : 3])) +
                   " minutiae; 1 to 50 are accepted";
        case FPMATCH_TRUNCATED: {
            if (n == 0) return "empty template (0 bytes)";
            if (iso && n < 28) return "truncated: an ISO record needs at least 28 bytes, the buffer has " + std::to_string(n);
            if (!iso && n < 4)
                return "truncated: a native template needs at least 4 bytes, the buffer has " + std::to_string(n);
            if (n < 2) return "truncated: 1 byte";
            const int count = static_cast<int8_t>(p[iso ? 27 : 3]);
            const size_t need = iso ? 28 + 6 * static_cast<size_t>(count)
                                    : 56 + 4 * static_cast<size_t>(std::min(count, FPMATCH_MAX_NATIVE_MINUTIAE));
            return "truncated: " + std::to_string(count) + " minutiae need " + std::to_string(need) +
                   " bytes, the buffer has " + std::to_string(n);
        }
        default:
            return "refused by CheckTemplate (code " + std::to_string(code) + ")";
    }
}

// The identification library's text of a writer or adapter code (the one
// table of texts).
std::string CoreText(int32_t family, int32_t code) { return FpmCodeText(FpmFromCoreCode(family, code)); }

// CheckTemplate, raising TemplateError unless the template decodes.
void RequireTemplate(const uint8_t* p, size_t n, std::optional<size_t> index) {
    const int code = CheckTemplate(p, n);
    if (code != FPMATCH_DECODED) Fail(CheckReason(code, p, n), code, index);
}

std::vector<uint8_t> CopyTemplate(const py::object& obj, const char* what) {
    ByteView v(obj, 1, what);
    RequireTemplate(v.data(), v.size());
    return std::vector<uint8_t>(v.data(), v.data() + v.size());
}

TemplateList MakeTemplateList(const py::object& obj, EntryRule rule) {
    TemplateList g;
    if (py::isinstance<py::list>(obj) || py::isinstance<py::tuple>(obj)) {
        const py::sequence seq = py::reinterpret_borrow<py::sequence>(obj);
        std::vector<std::unique_ptr<ByteView>> views;
        views.reserve(seq.size());
        for (size_t i = 0; i < seq.size(); ++i) {
            const py::object item = seq[i];
            try {
                views.push_back(std::make_unique<ByteView>(item, 1, "a gallery entry"));
            } catch (py::type_error& e) {
                throw py::type_error("gallery entry " + std::to_string(i) + ": " + e.what());
            }
            CheckEntry(views.back()->data(), views.back()->size(), i, rule);
            g.stride = std::max(g.stride, views.back()->size());
        }
        g.count = views.size();
        if (g.count > 0 && g.stride > 0 && g.count > SIZE_MAX / g.stride) throw std::length_error("gallery too large");
        g.packed.assign(g.count * g.stride, 0);
        for (size_t i = 0; i < g.count; ++i)
            if (views[i]->size() > 0) std::memcpy(&g.packed[i * g.stride], views[i]->data(), views[i]->size());
        g.base = g.packed.data();
    } else if (PyObject_CheckBuffer(obj.ptr()) && !PyBytes_Check(obj.ptr()) && !PyByteArray_Check(obj.ptr())) {
        py::object rows = obj;
        // A uint8 array that is not C-contiguous (a slice, a transposed view)
        // is copied into one that is; other dtypes are refused below.
        if (py::isinstance<py::array>(obj)) {
            const py::array a = py::reinterpret_borrow<py::array>(obj);
            if (a.dtype().is(py::dtype::of<uint8_t>()) && !(a.flags() & py::array::c_style))
                rows = py::module_::import("numpy").attr("ascontiguousarray")(a);
        }
        g.array = std::make_unique<ByteView>(rows, 2, "a gallery array");
        if (g.array->ndim() != 2)
            throw py::type_error("a gallery array must be 2-D (one template per row), not " +
                                 std::to_string(g.array->ndim()) + "-D");
        g.count = static_cast<size_t>(g.array->shape(0));
        g.stride = static_cast<size_t>(g.array->shape(1));
        g.base = g.array->data();
        for (size_t i = 0; i < g.count; ++i) CheckEntry(g.Entry(i), g.stride, i, rule);
    } else {
        if (fpmatch::python::IsGallery(obj))
            throw py::type_error("a Gallery is searched by identify(); here a gallery must be a list of "
                                 "bytes-like templates or a 2-D uint8 array (list(gallery) gives its templates)");
        throw py::type_error("a gallery must be a list of bytes-like templates or a 2-D uint8 array, not " +
                             TypeName(obj));
    }
    if (g.stride > INT32_MAX || g.count > INT32_MAX)
        throw py::value_error("a gallery is limited to 2^31 - 1 entries of at most 2^31 - 1 bytes");
    if (g.base == nullptr) g.base = reinterpret_cast<const uint8_t*>("");  // empty gallery: never read
    return g;
}

// The same, None giving nullopt.
std::optional<int> OptionalIntArg(const py::handle& value, const char* name) {
    if (value.is_none()) return std::nullopt;
    return IntArg(value, name);
}

size_t ResolveThreads(const std::optional<int>& threads) {
    if (!threads) return 1;
    if (*threads < 0) throw py::value_error("threads must be 0 (one per core) or more");
    if (*threads == 0) return std::max(1u, std::thread::hardware_concurrency());
    return static_cast<size_t>(*threads);
}

}  // namespace fpmatch::python
