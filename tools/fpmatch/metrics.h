// Verification figures from genuine and impostor scores (0..100), as the
// fingerprint verification competitions report them, and the DET plot.
#ifndef FPMATCH_TOOL_METRICS_H
#define FPMATCH_TOOL_METRICS_H

#include <string>
#include <utility>
#include <vector>

namespace fpmatch::tool {

constexpr int kMaxThreshold = 101;  // a threshold of 101 accepts nothing

struct Evaluation {
    size_t genuine = 0, impostor = 0;
    // At threshold t (a comparison is accepted when score >= t), t = 0..101:
    // fmr[t] = share of impostor scores >= t, fnmr[t] = share of genuine < t.
    std::vector<double> fmr, fnmr;
    int t1 = 0, t2 = 0;  // last t with FNMR <= FMR, first t with FNMR >= FMR
    double eerLow = 0, eerHigh = 0, eer = 0;
    double fmr100 = 0;    // lowest FNMR with FMR <= 1%
    double fmr1000 = 0;   // lowest FNMR with FMR <= 0.1%
    double zeroFmr = 0;   // lowest FNMR with FMR = 0
    double zeroFnmr = 0;  // lowest FMR with FNMR = 0
};

// Needs at least one genuine and one impostor score.
Evaluation Evaluate(const std::vector<int>& genuine, const std::vector<int>& impostor);

// A self-contained SVG: FNMR against FMR on logarithmic axes, one curve per
// entry.
std::string DetSvg(const std::vector<std::pair<std::string, const Evaluation*>>& curves);

}  // namespace fpmatch::tool

#endif
