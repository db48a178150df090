#include "metrics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace fpmatch::tool {

Evaluation Evaluate(const std::vector<int>& genuine, const std::vector<int>& impostor) {
    Evaluation e;
    e.genuine = genuine.size();
    e.impostor = impostor.size();
    std::vector<size_t> g(kMaxThreshold + 2, 0), im(kMaxThreshold + 2, 0);
    for (int s : genuine) ++g[std::clamp(s, 0, kMaxThreshold)];
    for (int s : impostor) ++im[std::clamp(s, 0, kMaxThreshold)];
    e.fmr.assign(kMaxThreshold + 1, 0.0);
    e.fnmr.assign(kMaxThreshold + 1, 0.0);
    size_t genuineBelow = 0, impostorAtOrAbove = e.impostor;
    for (int t = 0; t <= kMaxThreshold; ++t) {
        e.fmr[t] = e.impostor ? static_cast<double>(impostorAtOrAbove) / e.impostor : 0.0;
        e.fnmr[t] = e.genuine ? static_cast<double>(genuineBelow) / e.genuine : 0.0;
        genuineBelow += g[t];
        impostorAtOrAbove -= im[t];
    }
    // Equal error rate as an interval between the thresholds where the two
    // curves cross: t1 the last with FNMR <= FMR, t2 the first with FNMR >= FMR.
    e.t1 = 0;
    for (int t = 0; t <= kMaxThreshold; ++t)
        if (e.fnmr[t] <= e.fmr[t]) e.t1 = t;
    e.t2 = kMaxThreshold;
    for (int t = kMaxThreshold; t >= 0; --t)
        if (e.fnmr[t] >= e.fmr[t]) e.t2 = t;
    if (e.fnmr[e.t1] + e.fmr[e.t1] <= e.fmr[e.t2] + e.fnmr[e.t2]) {
        e.eerLow = e.fnmr[e.t1];
        e.eerHigh = e.fmr[e.t1];
    } else {
        e.eerLow = e.fmr[e.t2];
        e.eerHigh = e.fnmr[e.t2];
    }
    e.eer = (e.eerLow + e.eerHigh) / 2.0;
    e.fmr100 = e.fmr1000 = e.zeroFmr = e.zeroFnmr = 1.0;
    for (int t = 0; t <= kMaxThreshold; ++t) {
        if (e.fmr[t] <= 0.01) e.fmr100 = std::min(e.fmr100, e.fnmr[t]);
        if (e.fmr[t] <= 0.001) e.fmr1000 = std::min(e.fmr1000, e.fnmr[t]);
        if (e.fmr[t] == 0.0) e.zeroFmr = std::min(e.zeroFmr, e.fnmr[t]);
        if (e.fnmr[t] == 0.0) e.zeroFnmr = std::min(e.zeroFnmr, e.fmr[t]);
    }
    return e;
}

std::string DetSvg(const std::vector<std::pair<std::string, const Evaluation*>>& curves) {
    // Axes from 10^-4 to 1 on both sides.
    constexpr double kLeft = 70, kTop = 30, kSize = 400, kDecades = 4;
    const char* colours[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#8c564b", "#e377c2", "#17becf"};
    auto px = [&](double rate) {
        const double l = std::log10(std::max(rate, 1e-4));
        return kLeft + (l + kDecades) / kDecades * kSize;
    };
    auto py = [&](double rate) {
        const double l = std::log10(std::max(rate, 1e-4));
        return kTop + kSize - (l + kDecades) / kDecades * kSize;
    };
    std::ostringstream s;
    char buf[256];
    s << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kLeft + kSize + 200 << "\" height=\"" << kTop + kSize + 60
      << "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    s << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    s << "<text x=\"" << kLeft + kSize / 2 << "\" y=\"18\" text-anchor=\"middle\" font-size=\"14\">DET curve</text>\n";
    // Grid and labels.
    for (int d = 0; d <= kDecades; ++d) {
        const double rate = std::pow(10.0, d - kDecades);
        const double x = px(rate), y = py(rate);
        std::snprintf(buf, sizeof buf, "%g%%", rate * 100);
        s << "<line x1=\"" << x << "\" y1=\"" << kTop << "\" x2=\"" << x << "\" y2=\"" << kTop + kSize
          << "\" stroke=\"#ddd\"/>\n";
        s << "<line x1=\"" << kLeft << "\" y1=\"" << y << "\" x2=\"" << kLeft + kSize << "\" y2=\"" << y
          << "\" stroke=\"#ddd\"/>\n";
        s << "<text x=\"" << x << "\" y=\"" << kTop + kSize + 16 << "\" text-anchor=\"middle\">" << buf << "</text>\n";
        s << "<text x=\"" << kLeft - 6 << "\" y=\"" << y + 4 << "\" text-anchor=\"end\">" << buf << "</text>\n";
    }
    s << "<rect x=\"" << kLeft << "\" y=\"" << kTop << "\" width=\"" << kSize << "\" height=\"" << kSize
      << "\" fill=\"none\" stroke=\"black\"/>\n";
    s << "<line x1=\"" << kLeft << "\" y1=\"" << kTop + kSize << "\" x2=\"" << kLeft + kSize << "\" y2=\"" << kTop
      << "\" stroke=\"#999\" stroke-dasharray=\"4 4\"/>\n";
    s << "<text x=\"" << kLeft + kSize / 2 << "\" y=\"" << kTop + kSize + 40 << "\" text-anchor=\"middle\">FMR</text>\n";
    s << "<text x=\"20\" y=\"" << kTop + kSize / 2 << "\" text-anchor=\"middle\" transform=\"rotate(-90 20 "
      << kTop + kSize / 2 << ")\">FNMR</text>\n";
    for (size_t c = 0; c < curves.size(); ++c) {
        const Evaluation& e = *curves[c].second;
        const char* colour = colours[c % 8];
        // Rates of 0 have no place on logarithmic axes: those thresholds are
        // left out.
        s << "<polyline fill=\"none\" stroke=\"" << colour << "\" stroke-width=\"1.5\" points=\"";
        for (int t = 0; t <= kMaxThreshold; ++t) {
            if (e.fmr[t] <= 0.0 || e.fnmr[t] <= 0.0) continue;
            std::snprintf(buf, sizeof buf, "%.1f,%.1f ", px(e.fmr[t]), py(e.fnmr[t]));
            s << buf;
        }
        s << "\"/>\n";
        const double ly = kTop + 10 + 18.0 * static_cast<double>(c);
        s << "<line x1=\"" << kLeft + kSize + 15 << "\" y1=\"" << ly << "\" x2=\"" << kLeft + kSize + 35 << "\" y2=\"" << ly
          << "\" stroke=\"" << colour << "\" stroke-width=\"2\"/>\n";
        std::snprintf(buf, sizeof buf, "%s (EER %.2f%%)", curves[c].first.c_str(), e.eer * 100);
        std::string label = buf;
        std::string escaped;
        for (char ch : label) {
            if (ch == '<') escaped += "&lt;";
            else if (ch == '&') escaped += "&amp;";
            else escaped += ch;
        }
        s << "<text x=\"" << kLeft + kSize + 40 << "\" y=\"" << ly + 4 << "\">" << escaped << "</text>\n";
    }
    s << "</svg>\n";
    return s.str();
}

}  // namespace fpmatch::tool
