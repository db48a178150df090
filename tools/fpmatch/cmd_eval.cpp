// eval FOLDER...: the verification protocol of the fingerprint verification
// competitions on folders of FINGER_IMPRESSION templates.
#include <algorithm>
#include <charconv>
#include <climits>
#include <filesystem>
#include <memory>
#include <optional>

#include <fmt/core.h>

#include "commands.h"
#include "file_io.h"
#include "metrics.h"
#include "output.h"
#include "parallel.h"
#include "printable.h"
#include "report.h"
#include "template_load.h"

namespace fpmatch::tool {

namespace {

namespace fs = std::filesystem;

struct EvalOptions {
    std::vector<std::string> folders;
    std::string csv, det;
    unsigned threads = 0;
    int step = 5;
    bool adapt = false, json = false;
};

struct Entry {
    int finger = 0, impression = 0;
    std::string path;
    std::optional<Template> t;  // empty: failed to load, scores 0
};

struct Comparison {
    size_t a, b;
    bool genuine;
    int score = 0;
};

struct FolderResult {
    std::string folder;
    std::vector<Entry> entries;
    std::vector<Comparison> comparisons;
    Evaluation eval;
    int failed = 0;   // templates that failed to load (their comparisons score 0)
    int leftOut = 0;  // other files and folders reported and left out
};

constexpr size_t kLoadProgressFrom = 2000;  // folders this large show loading progress

// FINGER and IMPRESSION of a name FINGER_IMPRESSION[.anything], both runs of
// digits; false when the name has another form.
bool SplitName(const std::string& file, std::string* finger, std::string* impression) {
    auto digits = [](const std::string& t) {
        return !t.empty() && t.find_first_not_of("0123456789") == std::string::npos;
    };
    const size_t underscore = file.find('_');
    if (underscore == std::string::npos) return false;
    const size_t dot = file.find('.', underscore);
    *finger = file.substr(0, underscore);
    *impression = file.substr(underscore + 1, dot == std::string::npos ? std::string::npos : dot - underscore - 1);
    return digits(*finger) && digits(*impression);
}

// A whole number of FINGER_IMPRESSION, or nullopt when it does not fit int.
std::optional<int> NameNumber(const std::string& digits) {
    int value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

// Reads FINGER_IMPRESSION.* files of a folder; returns false when the folder
// cannot be used.
bool LoadFolder(const std::string& folder, const LoadOptions& load, FolderResult* r) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        Report(folder, fs::exists(folder, ec) ? "not a folder" : "no such folder");
        return false;
    }
    std::vector<fs::path> files;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) files.push_back(it->path());
    std::sort(files.begin(), files.end());
    Progress progress("loaded", files.size(), kLoadProgressFrom);
    for (const fs::path& path : files) {
        progress.Add();
        const std::string file = path.filename().string();
        if (file.empty() || file[0] == '.') continue;
        std::error_code fe;
        if (fs::is_directory(path, fe)) {
            Report(path.string(), "a folder inside an evaluated folder: not evaluated (skipped)");
            ++r->leftOut;
            continue;
        }
        std::string fingerDigits, impressionDigits;
        if (!SplitName(file, &fingerDigits, &impressionDigits)) {
            Report(path.string(), "name is not FINGER_IMPRESSION: FINGER and IMPRESSION must be whole numbers, as in "
                                  "101_1.iso (skipped)");
            ++r->leftOut;
            continue;
        }
        const std::optional<int> finger = NameNumber(fingerDigits), impression = NameNumber(impressionDigits);
        if (!finger || !impression) {
            Report(path.string(), fmt::format("{} {} is too large (at most {}) (skipped)", finger ? "IMPRESSION" : "FINGER",
                                              finger ? impressionDigits : fingerDigits, INT_MAX));
            ++r->leftOut;
            continue;
        }
        Entry e;
        e.finger = *finger;
        e.impression = *impression;
        e.path = path.string();
        std::string reason;
        e.t = LoadTemplate(e.path, load, &reason);
        if (!e.t) {
            Report(e.path, reason + " (its comparisons score 0)");
            ++r->failed;
        } else {
            HintIfQualitiesMissing(*e.t, load);
        }
        r->entries.push_back(std::move(e));
    }
    if (ec) {
        Report(folder, "cannot list folder: " + ec.message());
        return false;
    }
    std::sort(r->entries.begin(), r->entries.end(), [](const Entry& x, const Entry& y) {
        return x.finger != y.finger ? x.finger < y.finger : x.impression < y.impression;
    });
    if (r->entries.empty()) {
        Report(folder, "folder holds no FINGER_IMPRESSION templates");
        return false;
    }
    for (size_t i = 0; i < r->entries.size(); ++i)
        for (size_t j = i + 1; j < r->entries.size(); ++j)
            r->comparisons.push_back({i, j, r->entries[i].finger == r->entries[j].finger});
    const bool anyGenuine = std::any_of(r->comparisons.begin(), r->comparisons.end(), [](auto& c) { return c.genuine; });
    const bool anyImpostor = std::any_of(r->comparisons.begin(), r->comparisons.end(), [](auto& c) { return !c.genuine; });
    if (r->entries.size() < 2) {
        Report(folder, "needs at least two templates");
        return false;
    }
    if (!anyImpostor) {
        Report(folder, "needs templates of at least two fingers");
        return false;
    }
    if (!anyGenuine) {
        Report(folder, "needs two impressions of some finger");
        return false;
    }
    return true;
}

std::string Figures(const std::string& title, const Evaluation& e, size_t genuine, size_t impostor, int failed,
                    int leftOut, int step, bool showThresholds) {
    std::string s = fmt::format("== {}\n", title);
    s += fmt::format("genuine {}, impostor {}, templates that failed to load {}", genuine, impostor, failed);
    if (leftOut > 0) s += fmt::format(", other files left out {}", leftOut);
    s += '\n';
    s += fmt::format("EER      {}%  [{}%, {}%]", Percent(e.eer), Percent(e.eerLow), Percent(e.eerHigh));
    if (showThresholds) s += fmt::format("  (t1 {}, t2 {})", e.t1, e.t2);
    s += '\n';
    s += fmt::format("FMR100   {}%\n", Percent(e.fmr100));
    s += fmt::format("FMR1000  {}%\n", Percent(e.fmr1000));
    s += fmt::format("ZeroFMR  {}%\n", Percent(e.zeroFmr));
    s += fmt::format("ZeroFNMR {}%\n", Percent(e.zeroFnmr));
    if (step > 0) {
        s += "threshold      FMR     FNMR\n";
        for (int t = 0; t <= 100; t += step)
            s += fmt::format("{:9}  {:>6}%  {:>6}%\n", t, Percent(e.fmr[t]), Percent(e.fnmr[t]));
    }
    return s;
}

Json FiguresJson(const Evaluation& e) {
    Json j;
    j["eer"] = e.eer;
    j["eerLow"] = e.eerLow;
    j["eerHigh"] = e.eerHigh;
    j["t1"] = e.t1;
    j["t2"] = e.t2;
    j["fmr100"] = e.fmr100;
    j["fmr1000"] = e.fmr1000;
    j["zeroFmr"] = e.zeroFmr;
    j["zeroFnmr"] = e.zeroFnmr;
    Json table = Json::array();
    for (int t = 0; t <= 100; ++t) table.push_back({{"threshold", t}, {"fmr", e.fmr[t]}, {"fnmr", e.fnmr[t]}});
    j["table"] = table;
    return j;
}

int Run(const EvalOptions& o) {
    if (IsStdout(o.csv) && IsStdout(o.det)) {
        Report("command line", "--csv and --det cannot both be standard output (see fpmatch --help)");
        return kExitUsage;
    }
    // A file written to standard output replaces the figures there.
    const bool figures = !IsStdout(o.csv) && !IsStdout(o.det);
    const LoadOptions load{o.adapt};
    std::vector<FolderResult> results;
    int leftOut = 0, badFolders = 0;
    for (const std::string& folder : o.folders) {
        FolderResult r;
        r.folder = folder;
        const bool usable = LoadFolder(folder, load, &r);
        leftOut += r.leftOut;
        if (!usable) {
            ++badFolders;
            continue;
        }
        // Each template is prepared once as a probe (it is the earlier side
        // of its comparisons); MatchPrepared gives Match2Score's score.
        std::vector<std::unique_ptr<PreparedProbe>> prepared(r.entries.size());
        ParallelFor(r.entries.size(), o.threads, "prepared", [&](size_t i) {
            if (!r.entries[i].t) return;
            prepared[i] = std::make_unique<PreparedProbe>();
            PrepareProbe(r.entries[i].t->bytes.data(), prepared[i].get());
        });
        ParallelFor(r.comparisons.size(), o.threads, fs::path(folder).filename().string() + " compared",
                    [&](size_t k) {
                        Comparison& c = r.comparisons[k];
                        const Entry& b = r.entries[c.b];
                        c.score = prepared[c.a] && b.t ? MatchPrepared(prepared[c.a].get(), b.t->bytes.data()) : 0;
                    });
        std::vector<int> genuine, impostor;
        for (const Comparison& c : r.comparisons) (c.genuine ? genuine : impostor).push_back(c.score);
        r.eval = Evaluate(genuine, impostor);
        results.push_back(std::move(r));
    }
    if (results.empty()) return kExitInput;

    // The average over folders: each figure and each table row averaged.
    Evaluation avg;
    avg.fmr.assign(kMaxThreshold + 1, 0.0);
    avg.fnmr.assign(kMaxThreshold + 1, 0.0);
    const double n = static_cast<double>(results.size());
    size_t genuineTotal = 0, impostorTotal = 0;
    int failedTotal = 0, leftOutTotal = 0;
    for (const FolderResult& r : results) {
        const Evaluation& e = r.eval;
        avg.eer += e.eer / n;
        avg.eerLow += e.eerLow / n;
        avg.eerHigh += e.eerHigh / n;
        avg.fmr100 += e.fmr100 / n;
        avg.fmr1000 += e.fmr1000 / n;
        avg.zeroFmr += e.zeroFmr / n;
        avg.zeroFnmr += e.zeroFnmr / n;
        for (int t = 0; t <= kMaxThreshold; ++t) {
            avg.fmr[t] += e.fmr[t] / n;
            avg.fnmr[t] += e.fnmr[t] / n;
        }
        genuineTotal += e.genuine;
        impostorTotal += e.impostor;
        failedTotal += r.failed;
        leftOutTotal += r.leftOut;
    }

    int exit = (leftOut > 0 || badFolders > 0 || failedTotal > 0) ? kExitSkipped : kExitOk;
    if (!o.csv.empty()) {
        std::string s = "folder,probe,gallery,kind,score\n";
        size_t scores = 0;
        for (const FolderResult& r : results) {
            scores += r.comparisons.size();
            for (const Comparison& c : r.comparisons)
                s += fmt::format("{},{},{},{},{}\n", CsvField(r.folder),
                                 CsvField(fs::path(r.entries[c.a].path).filename().string()),
                                 CsvField(fs::path(r.entries[c.b].path).filename().string()),
                                 c.genuine ? "genuine" : "impostor", c.score);
        }
        if (!WriteFileText(o.csv, s))
            exit = kExitOutput;
        else if (!IsStdout(o.csv))
            Inform(fmt::format("wrote {} ({} scores, CSV)", o.csv, scores));
    }
    if (!o.det.empty()) {
        std::vector<std::pair<std::string, const Evaluation*>> curves;
        for (const FolderResult& r : results)
            curves.emplace_back(Printable(fs::path(r.folder).filename().string()), &r.eval);
        if (!WriteFileText(o.det, DetSvg(curves)))
            exit = kExitOutput;
        else if (!IsStdout(o.det))
            Inform(fmt::format("wrote {} (DET curve, SVG)", o.det));
    }
    if (!figures) return exit;
    if (o.json) {
        Json j;
        j["adapt"] = o.adapt;
        Json folders = Json::array();
        for (const FolderResult& r : results) {
            Json f = FiguresJson(r.eval);
            f["folder"] = r.folder;
            f["templates"] = r.entries.size();
            f["failed"] = r.failed;
            f["leftOut"] = r.leftOut;
            f["genuine"] = r.eval.genuine;
            f["impostor"] = r.eval.impostor;
            folders.push_back(f);
        }
        j["folders"] = folders;
        if (results.size() > 1) {
            Json a = FiguresJson(avg);
            a.erase("t1");  // thresholds of a single folder; not averaged
            a.erase("t2");
            j["average"] = a;
        }
        PrintJson(j);
        return exit;
    }
    for (const FolderResult& r : results)
        WriteOut(Figures(fmt::format("{} ({} templates)", Printable(r.folder), r.entries.size()), r.eval, r.eval.genuine,
                         r.eval.impostor, r.failed, r.leftOut, o.step, true));
    if (results.size() > 1)
        WriteOut(Figures(fmt::format("average of {} folders", results.size()), avg, genuineTotal, impostorTotal,
                         failedTotal, leftOutTotal, o.step, false));
    return exit;
}

}  // namespace

void AddEval(CLI::App& app, int* exitCode) {
    auto o = std::make_shared<EvalOptions>();
    CLI::App* c = app.add_subcommand(
        "eval",
        "Verification figures on folders of FINGER_IMPRESSION templates: every pair scored once as "
        "Match2Score(earlier, later) in (finger, impression) order; EER, FMR100, FMR1000, ZeroFMR and a threshold "
        "table. Templates that fail to load score 0 and are reported.");
    c->add_option("folders", o->folders, "Folders, each evaluated on its own (plus their average)")->required();
    c->add_option("--csv", o->csv, "Write every score to this CSV file (-: to standard output, instead of the figures)");
    c->add_option("--det", o->det,
                  "Draw the DET curve (FNMR against FMR, log axes) to this SVG file (-: to standard output, instead "
                  "of the figures)");
    c->add_option("--threads", o->threads, "Threads (0: all cores); results do not depend on it")
        ->check(WholeNumber(0, 1024));
    c->add_option("--table-step", o->step, "Threshold step of the printed table (1: every threshold, 0: no table)")
        ->check(WholeNumber(0, 100));
    c->add_flag("--adapt", o->adapt, "Adapt ISO records (AdaptIsoRecord) before matching");
    c->add_flag("--json", o->json, "Print the figures and the full threshold table as JSON");
    SetCommand(c, exitCode, [o] { return Run(*o); });
}

}  // namespace fpmatch::tool
