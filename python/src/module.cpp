// fpmatch._fpmatch: the Python extension. Every score comes from the
// library's exported functions; this file only converts arguments, checks
// template lengths before the library reads them, releases the GIL around
// each native call and splits ranked searches over native threads. Gallery
// files are the identification library's, bound in gallery.cpp.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

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
#include "metrics.h"  // tools/fpmatch/metrics.h: the tool's verification figures

namespace py = pybind11;

namespace {

using fpmatch::python::ByteView;
using fpmatch::python::TypeName;
using fpmatch::python::IntArg;

// ------------------------------------------------------------ errors

// Raised as fpmatch.TemplateError (a ValueError) with .reason, .code and
// .index set; .path is set by read_template on the Python side.
struct TemplateFault {
    std::string reason;
    int code = 0;
    std::optional<size_t> index;  // entry of a gallery list
};

PyObject* g_templateError = nullptr;  // the exception type, created once at import

[[noreturn]] void Fail(std::string reason, int code, std::optional<size_t> index = std::nullopt) {
    throw TemplateFault{std::move(reason), code, index};
}

std::string Hex(uint8_t b) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02x", b);
    return buf;
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
void RequireTemplate(const uint8_t* p, size_t n, std::optional<size_t> index = std::nullopt) {
    const int code = CheckTemplate(p, n);
    if (code != FPMATCH_DECODED) Fail(CheckReason(code, p, n), code, index);
}

std::vector<uint8_t> CopyTemplate(const py::object& obj, const char* what) {
    ByteView v(obj, 1, what);
    RequireTemplate(v.data(), v.size());
    return std::vector<uint8_t>(v.data(), v.data() + v.size());
}

// ------------------------------------------------------------ galleries

// A gallery as the library's list layout: `count` entries every `stride`
// bytes from `base`. A list of bytes-like objects is packed into owned
// storage (zero padded to the longest entry); a 2-D uint8 array is used in
// place, one template per row.
struct Gallery {
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

Gallery MakeGallery(const py::object& obj, EntryRule rule) {
    Gallery g;
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

// ------------------------------------------------------------ whole numbers

// The same, None giving nullopt.
std::optional<int> OptionalIntArg(const py::handle& value, const char* name) {
    if (value.is_none()) return std::nullopt;
    return IntArg(value, name);
}

// ------------------------------------------------------------ threads

size_t ResolveThreads(const std::optional<int>& threads) {
    if (!threads) return 1;
    if (*threads < 0) throw py::value_error("threads must be 0 (one per core) or more");
    if (*threads == 0) return std::max(1u, std::thread::hardware_concurrency());
    return static_cast<size_t>(*threads);
}

// Runs fn(part) for part 0..parts-1, each on its own native thread (the
// calling thread takes part 0, and any part whose thread could not start).
template <typename Fn>
void RunParts(size_t parts, const Fn& fn) {
    std::vector<std::thread> workers;
    try {
        workers.reserve(parts > 0 ? parts - 1 : 0);
        for (size_t p = 1; p < parts; ++p) workers.emplace_back([&fn, p] { fn(p); });
    } catch (const std::exception&) {
        // Out of threads or memory: the rest runs here.
    }
    if (parts > 0) fn(0);
    for (size_t p = workers.size() + 1; p < parts; ++p) fn(p);
    for (std::thread& t : workers) t.join();
}

// ------------------------------------------------------------ prepared probe

class Probe {
public:
    explicit Probe(const py::object& data) : bytes_(CopyTemplate(data, "a probe")), prepared_(new PreparedProbe) {
        py::gil_scoped_release release;
        code_ = PrepareProbe(bytes_.data(), prepared_.get());
    }
    const PreparedProbe* prepared() const { return prepared_.get(); }
    const std::vector<uint8_t>& bytes() const { return bytes_; }
    int code() const { return code_; }

private:
    std::vector<uint8_t> bytes_;
    std::unique_ptr<PreparedProbe> prepared_;
    int code_ = 0;
};

// A probe argument: a Probe, or a template prepared for this call.
struct ProbeArg {
    std::shared_ptr<Probe> owned;
    const Probe* probe = nullptr;
};

ProbeArg GetProbe(const py::object& obj) {
    ProbeArg a;
    if (py::isinstance<Probe>(obj)) {
        a.probe = &obj.cast<const Probe&>();
    } else {
        a.owned = std::make_shared<Probe>(obj);
        a.probe = a.owned.get();
    }
    return a;
}

int MatchOne(const Probe& probe, const py::object& gallery) {
    // Single templates are copied (at most a few hundred bytes): another
    // Python thread may write to a bytearray or an array while the GIL is
    // released, and the library must read the bytes that were checked.
    const std::vector<uint8_t> g = CopyTemplate(gallery, "a gallery template");
    py::gil_scoped_release release;
    return MatchPrepared(probe.prepared(), g.data());
}

py::array_t<int32_t> MatchMany(const Probe& probe, const py::object& gallery) {
    const Gallery g = MakeGallery(gallery, EntryRule::Complete);
    py::array_t<int32_t> out(static_cast<py::ssize_t>(g.count));
    int32_t* o = out.mutable_data();
    int32_t written = 0;
    {
        py::gil_scoped_release release;
        written = g.count == 0 ? 0
                               : MatchPreparedList(probe.prepared(), g.base, static_cast<int32_t>(g.stride), 0,
                                                   static_cast<int32_t>(g.count), o);
    }
    if (written != static_cast<int32_t>(g.count))
        throw std::runtime_error("MatchPreparedList compared " + std::to_string(written) + " of " +
                                 std::to_string(g.count) + " entries");
    return out;
}

std::vector<std::pair<int64_t, int>> Identify(const Probe& probe, const py::object& gallery, std::optional<int> top,
                                              std::optional<int> threads) {
    // A gallery file is searched by the identification library.
    if (fpmatch::python::IsGallery(gallery)) return fpmatch::python::IdentifyInGallery(probe.bytes(), gallery, top, threads);
    if (top && *top < 0) throw py::value_error("top must be 0 or more (0 or None: every entry)");
    ResolveThreads(threads);  // checks the value
    const Gallery g = MakeGallery(gallery, EntryRule::Complete);
    // 0 or None: every entry, as the tool's --top 0.
    const size_t k = std::min(g.count, !top || *top == 0 ? g.count : static_cast<size_t>(*top));
    if (k == 0) return {};
    std::vector<SearchHit> hits(k);
    int32_t n = 0;
    {
        // The identification library ranks the list on its own threads
        // (None: one; 0: every core).
        py::gil_scoped_release release;
        n = FpmSearchList(probe.prepared(), g.base, g.count * g.stride, static_cast<int32_t>(g.stride),
                          static_cast<int32_t>(k), threads ? *threads : 1, hits.data(), static_cast<int32_t>(k));
    }
    if (n < 0) throw std::runtime_error(std::string("the list search failed: ") + FpmLastErrorDetail());
    hits.resize(static_cast<size_t>(n));
    std::vector<std::pair<int64_t, int>> out;
    out.reserve(hits.size());
    for (const SearchHit& h : hits) out.emplace_back(h.index, h.score);
    return out;
}

// ------------------------------------------------------------ decoded templates

// A FeatureSet bound to storage of its own.
struct Decoded {
    Minutia minutiae[FPMATCH_MAX_MINUTIAE];
    SingularPoint singular[3];
    GndTable gnd;
    BlockQtyMap blocks;
    FeatureSet fs;

    int32_t Decode(const uint8_t* bytes) {
        std::memset(this, 0, sizeof *this);
        fs.minutiae = minutiae;
        fs.singularPoints = singular;
        fs.gndTable = &gnd;
        fs.blockQty = &blocks;
        return DecodeFeature(bytes, &fs);
    }
};

template <typename Writer>
py::bytes Convert(const py::object& data, size_t capacity, Writer write) {
    const std::vector<uint8_t> in = CopyTemplate(data, "a template");
    std::vector<uint8_t> out(capacity, 0);
    int32_t decodeCode = 0, n = 0;
    {
        py::gil_scoped_release release;
        auto decoded = std::make_unique<Decoded>();
        decodeCode = decoded->Decode(in.data());
        if (decodeCode == FPMATCH_DECODED) n = write(&decoded->fs, out.data(), out.size());
    }
    if (decodeCode != FPMATCH_DECODED) Fail(CheckReason(decodeCode, in.data(), in.size()), decodeCode);
    if (n < 0) Fail(CoreText(FPM_FAMILY_WRITE, n), n);
    return py::bytes(reinterpret_cast<const char*>(out.data()), static_cast<size_t>(n));
}

// ------------------------------------------------------------ evaluation

std::vector<int> IntVector(const py::object& obj, const char* what) {
    try {
        return obj.cast<std::vector<int>>();
    } catch (py::cast_error&) {
        py::array_t<int, py::array::c_style | py::array::forcecast> a =
            py::array_t<int, py::array::c_style | py::array::forcecast>::ensure(obj);
        if (!a || a.ndim() != 1) throw py::type_error(std::string(what) + " must be a sequence of integer scores");
        return std::vector<int>(a.data(), a.data() + a.size());
    }
}

py::dict Metrics(const py::object& genuineObj, const py::object& impostorObj) {
    const std::vector<int> genuine = IntVector(genuineObj, "genuine"), impostor = IntVector(impostorObj, "impostor");
    if (genuine.empty() || impostor.empty())
        throw py::value_error("the figures need at least one genuine and one impostor score");
    fpmatch::tool::Evaluation e;
    {
        py::gil_scoped_release release;
        e = fpmatch::tool::Evaluate(genuine, impostor);
    }
    py::dict d;
    d["eer"] = e.eer;
    d["eer_low"] = e.eerLow;
    d["eer_high"] = e.eerHigh;
    d["t1"] = e.t1;
    d["t2"] = e.t2;
    d["fmr100"] = e.fmr100;
    d["fmr1000"] = e.fmr1000;
    d["zero_fmr"] = e.zeroFmr;
    d["zero_fnmr"] = e.zeroFnmr;
    d["fmr"] = py::array_t<double>(static_cast<py::ssize_t>(e.fmr.size()), e.fmr.data());
    d["fnmr"] = py::array_t<double>(static_cast<py::ssize_t>(e.fnmr.size()), e.fnmr.data());
    return d;
}

// Match2Score(templates[i], templates[j]) for every i < j, row by row; a None
// entry scores 0 against everything.
py::array_t<int32_t> ScorePairs(const py::list& templates, const py::object& threadsArg) {
    const std::optional<int> threads = OptionalIntArg(threadsArg, "threads");
    const size_t n = templates.size();
    std::vector<std::vector<uint8_t>> t(n);
    std::vector<bool> present(n, false);
    for (size_t i = 0; i < n; ++i) {
        if (templates[i].is_none()) continue;
        ByteView v(templates[i], 1, "a template");
        RequireTemplate(v.data(), v.size(), i);
        t[i].assign(v.data(), v.data() + v.size());
        present[i] = true;
    }
    const size_t pairs = n < 2 ? 0 : n * (n - 1) / 2;
    py::array_t<int32_t> out(static_cast<py::ssize_t>(pairs));
    int32_t* o = out.mutable_data();
    size_t parts = std::min(ResolveThreads(threads), std::max<size_t>(n, 1));
    {
        py::gil_scoped_release release;
        // Rows are dealt out round robin so that the long early rows spread.
        RunParts(parts, [&](size_t p) {
            for (size_t i = p; i < n; i += parts) {
                size_t k = i * n - i * (i + 1) / 2;  // first pair of row i
                for (size_t j = i + 1; j < n; ++j, ++k)
                    o[k] = present[i] && present[j] ? Match2Score(t[i].data(), t[j].data()) : 0;
            }
        });
    }
    return out;
}

}  // namespace

PYBIND11_MODULE(_fpmatch, m) {
    m.doc() = "Native part of fpmatch: fingerprint minutiae matching (see the fpmatch package).";
    m.attr("__version__") = FPMATCH_PYTHON_VERSION;

    py::dict attrs;
    attrs["reason"] = py::none();
    attrs["code"] = py::none();
    attrs["index"] = py::none();
    attrs["path"] = py::none();
    g_templateError = PyErr_NewExceptionWithDoc(
        "fpmatch.TemplateError",
        "A template the library cannot use: truncated, of an unknown format, with a minutia count outside 1..50, "
        "or refused by a writer or the ISO adapter. Attributes: reason (text), code (CheckTemplate code 1..4, or "
        "the negative FPMATCH_WRITE_* / FPMATCH_ADAPT_* code), index (entry of a gallery list, or None), path "
        "(file of read_template, or None).",
        PyExc_ValueError, attrs.ptr());
    if (!g_templateError) throw py::error_already_set();
    m.attr("TemplateError") = py::handle(g_templateError);  // the module keeps its own reference

    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const TemplateFault& f) {
            const std::string message = f.index ? "gallery entry " + std::to_string(*f.index) + ": " + f.reason : f.reason;
            py::object type = py::reinterpret_borrow<py::object>(g_templateError);
            py::object error = type(message);
            error.attr("reason") = f.reason;
            error.attr("code") = f.code;
            if (f.index) error.attr("index") = *f.index;
            PyErr_SetObject(g_templateError, error.ptr());
        }
    });

    m.attr("OUTCOME_NOT_DECODED") = FPMATCH_OUTCOME_NOT_DECODED;
    m.attr("OUTCOME_NO_BASE_PAIR") = FPMATCH_OUTCOME_NO_BASE_PAIR;
    m.attr("SHORT_TEMPLATE_SIZE") = FPMATCH_SHORT_TEMPLATE_SIZE;

    m.def("algorithm_version", [] { return AlgVersion(); }, "The matching algorithm's version (AlgVersion).");

    m.def(
        "check",
        [](const py::object& data) {
            ByteView v(data, 1, "a template");
            py::gil_scoped_release release;
            return CheckTemplate(v.data(), v.size());
        },
        py::arg("data"),
        "CheckTemplate: 0 when the template may be compared (complete and decodable), else 1 (neither ISO nor "
        "native version 3), 2 (minutia count outside 1..50) or 3 (shorter than its header declares).");

    m.def(
        "compare",
        [](const py::object& probe, const py::object& gallery) {
            const std::vector<uint8_t> p = CopyTemplate(probe, "the probe"), g = CopyTemplate(gallery, "the gallery template");
            py::gil_scoped_release release;
            return Match2Score(p.data(), g.data());
        },
        py::arg("probe"), py::arg("gallery"),
        "Match2Score(probe, gallery): the similarity score 0..100. Both templates must pass check() (else "
        "TemplateError). Not symmetric.");

    py::class_<Probe, std::shared_ptr<Probe>>(
        m, "Probe",
        "A probe template prepared once (PrepareProbe) for comparison with many gallery templates. Its scores "
        "equal compare(probe, gallery). Immutable; may be shared by any number of threads.")
        .def(py::init<const py::object&>(), py::arg("data"),
             "Prepares a probe template; TemplateError unless it passes check().")
        .def_property_readonly(
            "template",
            [](const Probe& p) {
                return py::bytes(reinterpret_cast<const char*>(p.bytes().data()), p.bytes().size());
            },
            "The probe template's bytes.")
        .def("match", &MatchOne, py::arg("gallery"),
             "The score 0..100 with one gallery template (MatchPrepared), exactly compare(probe, gallery). The "
             "gallery template must pass check() (else TemplateError).")
        .def("match_many", &MatchMany, py::arg("gallery"),
             "One outcome per gallery entry (MatchPreparedList), as an int32 array: the score 0..100, "
             "OUTCOME_NOT_DECODED (-1) for an entry that does not decode, OUTCOME_NO_BASE_PAIR (-2) when no "
             "corresponding minutiae are found (compare() gives 0 for both). gallery: a list of bytes-like "
             "templates or a 2-D uint8 array (one per row). A truncated entry raises TemplateError.")
        .def(
            "identify",
            [](const Probe& p, const py::object& gallery, const py::object& top, const py::object& threads) {
                return Identify(p, gallery, OptionalIntArg(top, "top"), OptionalIntArg(threads, "threads"));
            },
            py::arg("gallery"), py::arg("top") = 10, py::arg("threads") = py::none(), "See fpmatch.identify.")
        .def(py::pickle(
            [](const Probe& p) {
                return py::make_tuple(py::bytes(reinterpret_cast<const char*>(p.bytes().data()), p.bytes().size()));
            },
            [](const py::tuple& state) {
                if (state.size() != 1) throw std::runtime_error("invalid fpmatch.Probe state");
                return std::make_shared<Probe>(state[0]);
            }))
        .def("__repr__", [](const Probe& p) { return "<fpmatch.Probe of " + std::to_string(p.bytes().size()) + " bytes>"; });

    // Gallery files, through the identification library (gallery.cpp).
    fpmatch::python::AddGallery(m, m.attr("Probe"));

    m.def(
        "identify",
        [](const py::object& probe, const py::object& gallery, const py::object& top, const py::object& threads) {
            const std::optional<int> k = OptionalIntArg(top, "top"), t = OptionalIntArg(threads, "threads");
            const ProbeArg a = GetProbe(probe);
            return Identify(*a.probe, gallery, k, t);
        },
        py::arg("probe"), py::arg("gallery"), py::arg("top") = 10, py::arg("threads") = py::none(),
        "The `top` best gallery entries as (index, score) pairs, best first, equal scores by lower index "
        "(the hits of one SearchTopK, ranked by the identification library's FpmSearchList; top=0 or None ranks "
        "every entry). probe: a template or a Probe. gallery: a list of bytes-like "
        "templates, a 2-D uint8 array (one per row), or a Gallery: its templates ranked by the identification "
        "library (FpmGalleryIdentify by template; index = template id, which is the position g[index] until a "
        "compaction; top 0 or None: every template). Entries that do not decode score 0; a truncated list entry "
        "raises TemplateError, a damaged gallery GalleryError. threads: None = 1, 0 = one per core, N = N "
        "native threads (the answer does not depend on it).");

    m.def(
        "first_match",
        [](const py::object& probe, const py::object& gallery, const py::object& thresholdArg) -> py::object {
            const int32_t threshold = IntArg(thresholdArg, "threshold");
            std::vector<uint8_t> p;
            if (py::isinstance<Probe>(probe)) p = probe.cast<const Probe&>().bytes();
            else p = CopyTemplate(probe, "the probe");
            const Gallery g = MakeGallery(gallery, EntryRule::Complete);
            int32_t found = 0, index = -1, score = 0;
            {
                py::gil_scoped_release release;
                if (g.count > 0)
                    found = MatchListFp(p.data(), g.base, static_cast<int32_t>(g.stride), 0,
                                        static_cast<int32_t>(g.count), threshold, &index, &score);
            }
            if (!found) return py::none();
            return py::make_tuple(index, score);
        },
        py::arg("probe"), py::arg("gallery"), py::arg("threshold"),
        "MatchListFp: (index, score) of the first gallery entry whose score reaches `threshold`, or None. As in "
        "the library, the search also ends (None) at an entry that does not decode or shares no base pair with "
        "the probe.");

    m.def(
        "screen",
        [](const py::object& probe, const py::object& shorts) {
            ByteView p(probe, 1, "the probe short template");
            if (p.size() != FPMATCH_SHORT_TEMPLATE_SIZE)
                Fail("a short template is 512 bytes, this one has " + std::to_string(p.size()), FPMATCH_TRUNCATED);
            const Gallery g = MakeGallery(shorts, EntryRule::Short);
            int32_t best[FPMATCH_SCREEN_BEST];
            {
                py::gil_scoped_release release;
                QuickSort(p.data(), g.base, static_cast<int32_t>(g.count), best);
            }
            std::vector<int> out;
            for (int32_t b : best)
                if (b >= 0) out.push_back(b);
            return out;
        },
        py::arg("probe_short"), py::arg("shorts"),
        "QuickSort: list positions of up to 32 best candidates among 512-byte short templates, best first. "
        "shorts: a list of 512-byte templates or an N x 512 uint8 array.");

    m.def(
        "to_short",
        [](const py::object& data) { return Convert(data, FPMATCH_SHORT_TEMPLATE_SIZE, WriteShortTemplate); },
        py::arg("data"),
        "The template as a 512-byte short screening template (DecodeFeature, WriteShortTemplate). TemplateError "
        "when it does not decode or does not fit.");

    m.def(
        "to_native",
        [](const py::object& data) {
            return Convert(data, 56 + 4 * FPMATCH_MAX_MINUTIAE, WriteNativeTemplate);
        },
        py::arg("data"),
        "The template as a native template (DecodeFeature, WriteNativeTemplate). TemplateError when it does not "
        "decode or does not fit.");

    m.def(
        "adapt_iso",
        [](const py::object& data) {
            ByteView v(data, 1, "an ISO record");
            std::vector<uint8_t> out(v.size() + 1024, 0);
            int32_t n = 0;
            {
                py::gil_scoped_release release;
                n = AdaptIsoRecord(v.data(), v.size(), out.data(), out.size());
            }
            if (n < 0) Fail(CoreText(FPM_FAMILY_ADAPT, n), n);
            return py::bytes(reinterpret_cast<const char*>(out.data()), static_cast<size_t>(n));
        },
        py::arg("data"),
        "AdaptIsoRecord: an ISO/IEC 19794-2:2005 record adapted to the matcher (first 50 minutiae, 500 dpi, "
        "recentred, qualities 100 when all are 0). TemplateError with the reason when refused.");

    m.def(
        "_require",
        [](const py::object& data) {
            ByteView v(data, 1, "a template");
            RequireTemplate(v.data(), v.size());
        },
        py::arg("data"), "Raises TemplateError with the reason unless check(data) is 0.");
    m.def("_metrics", &Metrics, py::arg("genuine"), py::arg("impostor"),
          "Verification figures of genuine and impostor scores (the fpmatch tool's computation).");
    m.def("_score_pairs", &ScorePairs, py::arg("templates"), py::arg("threads") = py::none(),
          "Match2Score(templates[i], templates[j]) for every i < j, row by row; None entries score 0.");
}
