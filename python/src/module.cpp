// fpmatch._fpmatch: the Python extension. Every score comes from the
// library's exported functions; this file only converts arguments (checked
// before the library reads them, templates.cpp) and releases the GIL around
// each native call. Lists of templates are ranked by the identification
// library (FpmSearchList); gallery files are its galleries, bound in
// gallery.cpp; evaluation.cpp holds the evaluation helpers.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "binding.h"
#include "fpmatch.h"
#include "fpmatch_id.h"

namespace py = pybind11;

namespace {

using namespace fpmatch::python;

PyObject* g_templateError = nullptr;  // TemplateError's type, created once at import

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
    const TemplateList g = MakeTemplateList(gallery, EntryRule::Complete);
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
    const TemplateList g = MakeTemplateList(gallery, EntryRule::Complete);
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
            const TemplateList g = MakeTemplateList(gallery, EntryRule::Complete);
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
            const TemplateList g = MakeTemplateList(shorts, EntryRule::Short);
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
    fpmatch::python::AddEvaluation(m);
}
