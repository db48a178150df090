// Evaluation helpers of the extension: the verification figures of score
// lists (the fpmatch tool's computation) and every pair's score of a list
// of templates on native threads.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "binding.h"
#include "fpmatch.h"
#include "metrics.h"  // tools/fpmatch/metrics.h: the tool's verification figures

namespace fpmatch::python {

namespace {

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

void AddEvaluation(py::module_& m) {
    m.def("_metrics", &Metrics, py::arg("genuine"), py::arg("impostor"),
          "Verification figures of genuine and impostor scores (the fpmatch tool's computation).");
    m.def("_score_pairs", &ScorePairs, py::arg("templates"), py::arg("threads") = py::none(),
          "Match2Score(templates[i], templates[j]) for every i < j, row by row; None entries score 0.");
}

}  // namespace fpmatch::python
