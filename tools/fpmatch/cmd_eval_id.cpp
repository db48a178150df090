// eval-id FOLDER...: closed-set identification rates on folders of
// FINGER_IMPRESSION templates. Each finger is a subject (its folder and
// finger number, "DB1_B/101"); two galleries are built through the
// identification library in a temporary folder, one holding impression 1 of
// every finger and one holding impressions 1..N, and every later impression
// is identified among the subjects of each. Reported: the share of probes
// whose own subject ranks first (rank-1) and among the first five (rank-5).
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>

#include <fmt/core.h>

#include "commands.h"
#include "file_io.h"
#include "fpmatch_id.h"
#include "id_gallery.h"
#include "output.h"
#include "report.h"
#include "template_load.h"

namespace fpmatch::tool {

namespace {

namespace fs = std::filesystem;

constexpr int kRanks[] = {1, 5};

struct EvalIdOptions {
    std::vector<std::string> folders;
    int enrol = 4;
    int threads = 0;
    bool adapt = false, json = false;
};

struct Record {
    std::string folder;  // as given
    std::string path;
    std::string subject;
    int finger = 0, impression = 0;
    std::vector<uint8_t> bytes;
};

// One gallery of the protocol and what its probes found.
struct Trial {
    std::string name;  // "impression 1", "impressions 1-4"
    int lastImpression = 1;
    int64_t subjects = 0, templates = 0;
    std::map<std::string, std::array<int64_t, 3>> byFolder;  // probes, rank-1 hits, rank-5 hits
};

// How a folder is named in the table: its last component.
std::string FolderName(const std::string& folder) {
    fs::path p = fs::path(folder).lexically_normal();
    if (p.filename().empty()) p = p.parent_path();
    return p.filename().string();
}

// A whole number made of digits only, or nullopt.
std::optional<int> Number(const std::string& digits) {
    int value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

// The FINGER_IMPRESSION[.anything] templates of a folder, read, sorted by
// (finger, impression); false when the folder cannot be listed.
bool ReadFolder(const std::string& folder, std::vector<Record>* out, int* leftOut) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        Report(folder, fs::exists(folder, ec) ? "not a folder" : "no such folder");
        return false;
    }
    std::vector<Record> records;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.' || it->is_directory(ec)) continue;
        const size_t underscore = name.find('_'), dot = name.find('.', underscore);
        const auto finger = Number(name.substr(0, underscore));
        const auto impression = underscore == std::string::npos
                                    ? std::nullopt
                                    : Number(name.substr(underscore + 1, dot == std::string::npos ? dot : dot - underscore - 1));
        if (!finger || !impression) {
            Report(it->path().string(), "name is not FINGER_IMPRESSION, as in 101_1.iso (skipped)");
            ++*leftOut;
            continue;
        }
        Record r;
        r.folder = folder;
        r.path = it->path().string();
        r.finger = *finger;
        r.impression = *impression;
        char subject[FPM_SUBJECT_MAX + 1];
        std::string reason;
        if (FpmSubjectFromPath(r.path.c_str(), subject) < 0) {
            Report(r.path, std::string(FpmLastErrorDetail()) + " (skipped)");
            ++*leftOut;
            continue;
        }
        r.subject = subject;
        if (!ReadInput(r.path, kMaxTemplateFile, &r.bytes, &reason)) {
            Report(r.path, reason + " (skipped)");
            ++*leftOut;
            continue;
        }
        records.push_back(std::move(r));
    }
    if (ec) {
        Report(folder, "cannot list folder: " + ec.message());
        return false;
    }
    std::sort(records.begin(), records.end(), [](const Record& a, const Record& b) {
        return a.finger != b.finger ? a.finger < b.finger : a.impression < b.impression;
    });
    out->insert(out->end(), std::make_move_iterator(records.begin()), std::make_move_iterator(records.end()));
    return true;
}

// A folder of its own under the system's temporary folder, removed with
// everything in it when the evaluation ends.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = (fs::temp_directory_path() / "fpmatch-eval-id-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw fs::filesystem_error("cannot make a temporary folder", pattern, std::error_code(errno, std::generic_category()));
        path_ = pattern;
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    ~ScratchFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& Path() const { return path_; }

private:
    fs::path path_;
};

// Enrols impressions 1..trial.lastImpression of every finger into a new
// gallery at `path`; templates the library refuses are reported once
// (`reported`) and left out.
GalleryHandle Enrol(const fs::path& path, const std::vector<Record>& records, bool adapt, Trial* trial,
                    std::map<std::string, bool>* reported) {
    FpmGallery* raw = nullptr;
    if (FpmGalleryCreate(path.c_str(), &raw) < 0) {
        Report(path.string(), FpmLastErrorDetail());
        return nullptr;
    }
    GalleryHandle g(raw);
    for (const Record& r : records) {
        if (r.impression < 1 || r.impression > trial->lastImpression) continue;
        if (FpmGalleryAdd(g.get(), r.subject.c_str(), r.bytes.data(), r.bytes.size(), adapt ? FPM_ADD_ADAPT : 0) < 0) {
            if (!(*reported)[r.path]) Report(r.path, std::string(FpmLastErrorDetail()) + " (not enrolled)");
            (*reported)[r.path] = true;
        }
    }
    FpmGalleryStat st{};
    if (FpmGalleryCommit(g.get()) < 0 || FpmGalleryGetStat(g.get(), &st) < 0) {
        Report(path.string(), FpmLastErrorDetail());
        return nullptr;
    }
    trial->subjects = st.subjects;
    trial->templates = st.templates;
    return g;
}

std::string Rate(int64_t hits, int64_t probes) {
    return fmt::format("{:>6}% ({}/{})", Percent(probes > 0 ? static_cast<double>(hits) / static_cast<double>(probes) : 0.0),
                       hits, probes);
}

int Run(const EvalIdOptions& o) {
    std::vector<Record> records;
    int leftOut = 0, badFolders = 0;
    for (const std::string& folder : o.folders)
        if (!ReadFolder(folder, &records, &leftOut)) ++badFolders;
    const auto probeCount = std::count_if(records.begin(), records.end(), [&](const Record& r) { return r.impression > o.enrol; });
    if (records.empty() || probeCount == 0) {
        Report("eval-id", fmt::format("no FINGER_IMPRESSION templates with an impression above {} to identify", o.enrol));
        return kExitInput;
    }

    std::vector<Trial> trials(1);
    trials[0].name = "impression 1";
    if (o.enrol > 1) {
        trials.emplace_back();
        trials[1].name = fmt::format("impressions 1-{}", o.enrol);
        trials[1].lastImpression = o.enrol;
    }
    ScratchFolder scratch;
    std::map<std::string, bool> notEnrolled, notSearched;
    FpmSearchOptions search;
    FpmSearchOptionsInit(&search);
    search.top = kRanks[1];
    search.threads = o.threads;
    search.adaptProbe = o.adapt ? 1 : 0;
    for (size_t t = 0; t < trials.size(); ++t) {
        Trial& trial = trials[t];
        const GalleryHandle g = Enrol(scratch.Path() / fmt::format("enrolled-{}.fpg", t), records, o.adapt, &trial, &notEnrolled);
        if (!g) return kExitInternal;
        for (const Record& r : records) {
            if (r.impression <= o.enrol) continue;
            auto& counts = trial.byFolder[r.folder];
            ++counts[0];
            FpmHit hits[kRanks[1]];
            const int32_t n = FpmGalleryIdentify(g.get(), r.bytes.data(), r.bytes.size(), &search, hits, kRanks[1]);
            if (n < 0) {
                // Not searched: a miss at every rank.
                if (!notSearched[r.path]) Report(r.path, std::string(FpmLastErrorDetail()) + " (counted as not identified)");
                notSearched[r.path] = true;
                continue;
            }
            for (int32_t k = 0; k < n; ++k)
                if (r.subject == hits[k].subject) {
                    counts[1] += k < kRanks[0];
                    counts[2] += 1;
                    break;
                }
        }
    }

    auto total = [](const Trial& t, size_t i) {
        int64_t sum = 0;
        for (const auto& [folder, c] : t.byFolder) sum += c[i];
        return sum;
    };
    const int exit = (leftOut > 0 || badFolders > 0 || !notEnrolled.empty() || !notSearched.empty()) ? kExitSkipped : kExitOk;
    if (o.json) {
        Json j;
        j["adapt"] = o.adapt;
        j["enrol"] = o.enrol;
        j["probes"] = probeCount;
        j["notEnrolled"] = notEnrolled.size();
        j["notSearched"] = notSearched.size();
        Json galleries = Json::array();
        for (const Trial& t : trials) {
            Json g;
            g["enrolled"] = t.name;
            g["impressions"] = t.lastImpression;
            g["subjects"] = t.subjects;
            g["templates"] = t.templates;
            g["rank1"] = total(t, 1);
            g["rank5"] = total(t, 2);
            Json folders = Json::array();
            for (const auto& [folder, c] : t.byFolder)
                folders.push_back({{"folder", folder}, {"probes", c[0]}, {"rank1", c[1]}, {"rank5", c[2]}});
            g["folders"] = folders;
            galleries.push_back(g);
        }
        j["galleries"] = galleries;
        PrintJson(j);
        return exit;
    }
    std::string s = fmt::format(
        "== closed-set identification: {} probes (impressions {} and later) among the fingers of {} folder(s), "
        "records {}\n",
        probeCount, o.enrol + 1, o.folders.size() - static_cast<size_t>(badFolders), o.adapt ? "adapted" : "as they stand");
    s += fmt::format("{:<16}  {:<10}  {:>8}  {:>9}  {:<20}  {}\n", "enrolled", "probes of", "subjects", "templates",
                     "rank-1", "rank-5");
    for (const Trial& t : trials) {
        s += fmt::format("{:<16}  {:<10}  {:>8}  {:>9}  {:<20}  {}\n", t.name, "all", t.subjects, t.templates,
                         Rate(total(t, 1), total(t, 0)), Rate(total(t, 2), total(t, 0)));
        for (const auto& [folder, c] : t.byFolder)
            s += fmt::format("{:<16}  {:<10}  {:>8}  {:>9}  {:<20}  {}\n", "", FolderName(folder), "",
                             "", Rate(c[1], c[0]), Rate(c[2], c[0]));
    }
    s += fmt::format("templates not enrolled {}, probes not searched {} (counted as not identified)\n",
                     notEnrolled.size(), notSearched.size());
    WriteOut(s);
    return exit;
}

}  // namespace

void AddEvalId(CLI::App& app, int* exitCode) {
    auto o = std::make_shared<EvalIdOptions>();
    CLI::App* c = app.add_subcommand(
        "eval-id",
        "Closed-set identification rates on folders of FINGER_IMPRESSION templates: each finger is a subject "
        "(FOLDER/FINGER); impression 1, then impressions 1..N, are enrolled in galleries built by the "
        "identification library in a temporary folder, and every later impression is identified among the subjects; "
        "rank-1 and rank-5 rates are reported, overall and by folder.");
    c->add_option("folders", o->folders, "Folders of FINGER_IMPRESSION templates (one gallery for all of them)")
        ->required();
    c->add_option("--enrol", o->enrol, "N: impressions 1..N enrolled in the second gallery; later ones are probes")
        ->check(CLI::Range(1, 1000));
    c->add_option("--threads", o->threads, "Threads of each search (0: all cores); results do not depend on it")
        ->check(CLI::Range(0, 1024));
    c->add_flag("--adapt", o->adapt, "Adapt ISO records (AdaptIsoRecord) when enrolling and identifying");
    c->add_flag("--json", o->json, "Print the counts as JSON");
    SetCommand(c, exitCode, [o] { return Run(*o); });
}

}  // namespace fpmatch::tool
