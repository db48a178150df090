// Identification library at scale, timed end to end (wall clock, one run):
//
//   fpmatch_id_bench scale N [DIR]   a gallery of N generated templates (4
//       impressions per subject, committed every 100,000) in DIR (default
//       /tmp): enrolment time and rate, file size and bytes per template;
//       remove + commit of one subject and of 1 % of the subjects;
//       compaction; then `search` on the file in a process of its own.
//   fpmatch_id_bench search FILE     opens a gallery and reports identify
//       latency and comparisons per second on 1 and 2 threads, full and
//       screened to 2 %, and the peak resident memory of the process (the
//       mapped file's pages that were read included) next to the file size.
//   fpmatch_id_bench fvc [DIR]       the 320 FVC2002 records adapted, each
//       enrolled 313 times under its own subject (100,160 templates, the
//       figure the peer comparison uses); identify rate of 4 probes on 1 and
//       2 threads, by entry and by subject, the 4 in one batch call, and
//       screened to 5 %.
//
// Figures go to standard output, one "name value unit" line each.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fpmatch_id.h"
#include "synthetic.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

void Report(const char* name, double value, const char* unit) { std::printf("%-34s %14.3f %s\n", name, value, unit); }

void Must(int32_t rc, const char* what) {
    if (rc < 0) {
        std::fprintf(stderr, "%s: %s\n", what, FpmLastErrorDetail());
        std::exit(1);
    }
}

double PeakMegabytes() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_maxrss) / 1024.0;
}

// Identify `probes` (one call each, or all in one FpmGalleryIdentifyBatch
// call) and report the mean latency and the comparison rate.
void TimeIdentify(FpmGallery* g, const std::vector<Bytes>& probes, int64_t templates, int32_t threads,
                  int32_t screen, int32_t byEntry, const std::string& label, bool batch = false) {
    FpmSearchOptions o;
    FpmSearchOptionsInit(&o);
    o.threads = threads;
    o.screen = screen;
    o.byEntry = byEntry;
    std::vector<FpmHit> hits(10 * probes.size());
    std::vector<const uint8_t*> data;
    std::vector<size_t> lengths;
    std::vector<int32_t> counts(probes.size());
    for (const Bytes& p : probes) {
        data.push_back(p.data());
        lengths.push_back(p.size());
    }
    const auto start = Clock::now();
    if (batch) {
        Must(FpmGalleryIdentifyBatch(g, data.data(), lengths.data(), static_cast<int32_t>(probes.size()), &o, hits.data(),
                                     10, counts.data()),
             "identify batch");
        for (int32_t n : counts) Must(n, "identify batch probe");
    } else {
        for (const Bytes& p : probes) Must(FpmGalleryIdentify(g, p.data(), p.size(), &o, hits.data(), 10), "identify");
    }
    const double s = Seconds(start);
    Report((label + " latency").c_str(), 1000.0 * s / static_cast<double>(probes.size()), "ms");
    Report((label + " rate").c_str(), static_cast<double>(templates) * static_cast<double>(probes.size()) / s,
           "templates/s");
}

int Search(const std::string& path) {
    FpmGallery* g = nullptr;
    auto start = Clock::now();
    Must(FpmGalleryOpen(path.c_str(), FPM_OPEN_READ, &g), "open");
    Report("open", 1000.0 * Seconds(start), "ms");
    FpmGalleryStat st;
    Must(FpmGalleryGetStat(g, &st), "stat");
    const std::vector<Bytes> probes = {fpmatch::samples::MakeDemoTemplate(3, 2, false, true),
                                       fpmatch::samples::MakeDemoTemplate(5, 4, false, true)};
    for (int32_t threads : {1, 2}) {
        TimeIdentify(g, probes, st.templates, threads, 0, 0, "identify " + std::to_string(threads) + "t");
        TimeIdentify(g, probes, st.templates, threads, static_cast<int32_t>(st.templates / 50), 0,
                     "identify screen 2% " + std::to_string(threads) + "t");
    }
    Report("file size", static_cast<double>(st.fileSize) / 1048576.0, "MiB");
    Report("peak resident memory", PeakMegabytes(), "MiB");
    FpmGalleryClose(g);
    return 0;
}

int Scale(int64_t n, const std::string& dir, const char* self) {
    const std::string path = dir + "/fpmatch-id-bench.fpg";
    std::filesystem::remove(path);
    std::vector<Bytes> distinct;
    for (int f = 0; f < 1000; ++f)
        distinct.push_back(fpmatch::samples::MakeIsoRecord(fpmatch::samples::MakeFinger(9000 + f, 20 + f % 25), 60));
    FpmGallery* g = nullptr;
    Must(FpmGalleryCreate(path.c_str(), &g), "create");
    auto start = Clock::now();
    for (int64_t i = 0; i < n; ++i) {
        const std::string subject = "person-" + std::to_string(i / 4);
        const Bytes& t = distinct[static_cast<size_t>(i % 1000)];
        Must(FpmGalleryAdd(g, subject.c_str(), t.data(), t.size(), 0), "add");
        if ((i + 1) % 100000 == 0) Must(FpmGalleryCommit(g), "commit");
    }
    Must(FpmGalleryCommit(g), "commit");
    const double enrol = Seconds(start);
    Report("enrol (add + commit)", enrol, "s");
    Report("enrol rate", static_cast<double>(n) / enrol, "templates/s");
    FpmGalleryStat st;
    Must(FpmGalleryGetStat(g, &st), "stat");
    Report("file size", static_cast<double>(st.fileSize) / 1e6, "MB");
    Report("bytes per template", static_cast<double>(st.fileSize) / static_cast<double>(n), "B");
    start = Clock::now();
    Must(FpmGalleryRemove(g, "person-7"), "remove");
    Must(FpmGalleryCommit(g), "commit");
    Report("remove 1 subject + commit", 1000.0 * Seconds(start), "ms");
    start = Clock::now();
    for (int64_t s = 100; s < n / 4; s += 100) Must(FpmGalleryRemove(g, ("person-" + std::to_string(s)).c_str()), "remove");
    Must(FpmGalleryCommit(g), "commit");
    Report("remove 1% of subjects + commit", 1000.0 * Seconds(start), "ms");
    start = Clock::now();
    Must(FpmGalleryCompact(g), "compact");
    Report("compact", Seconds(start), "s");
    Report("writer peak resident memory", PeakMegabytes(), "MiB");
    FpmGalleryClose(g);
    std::fflush(stdout);
    const int rc = std::system((std::string(self) + " search " + path).c_str());
    std::filesystem::remove(path);
    return rc == 0 ? 0 : 1;
}

int Fvc(const std::string& dir) {
    const std::filesystem::path root = std::filesystem::path(FPMATCH_DATA_DIR);
    std::vector<Bytes> records;
    for (const char* db : {"DB1_B", "DB2_B", "DB3_B", "DB4_B"})
        for (int f = 101; f <= 110; ++f)
            for (int i = 1; i <= 8; ++i) {
                const auto file = root / db / (std::to_string(f) + "_" + std::to_string(i) + ".iso");
                FILE* in = std::fopen(file.c_str(), "rb");
                if (in == nullptr) {
                    std::fprintf(stderr, "no FVC2002 data at %s\n", root.c_str());
                    return 1;
                }
                Bytes b(4096);
                b.resize(std::fread(b.data(), 1, b.size(), in));
                std::fclose(in);
                records.push_back(b);
            }
    const std::string path = dir + "/fpmatch-id-bench-fvc.fpg";
    std::filesystem::remove(path);
    FpmGallery* g = nullptr;
    Must(FpmGalleryCreate(path.c_str(), &g), "create");
    for (int copy = 0; copy < 313; ++copy)
        for (size_t r = 0; r < records.size(); ++r)
            Must(FpmGalleryAdd(g, ("r" + std::to_string(r) + "-" + std::to_string(copy)).c_str(), records[r].data(),
                               records[r].size(), FPM_ADD_ADAPT),
                 "add");
    Must(FpmGalleryCommit(g), "commit");
    FpmGalleryClose(g);
    Must(FpmGalleryOpen(path.c_str(), FPM_OPEN_READ, &g), "open");
    FpmGalleryStat st;
    Must(FpmGalleryGetStat(g, &st), "stat");
    std::vector<Bytes> probes;
    for (size_t r : {size_t{3}, size_t{97}, size_t{170}, size_t{301}}) {
        Bytes a(records[r].size());
        a.resize(static_cast<size_t>(AdaptIsoRecord(records[r].data(), records[r].size(), a.data(), a.size())));
        probes.push_back(a);
    }
    for (int32_t threads : {1, 2}) {
        TimeIdentify(g, probes, st.templates, threads, 0, 1, "fvc x313 by entry " + std::to_string(threads) + "t");
        TimeIdentify(g, probes, st.templates, threads, 0, 0, "fvc x313 by subject " + std::to_string(threads) + "t");
        TimeIdentify(g, probes, st.templates, threads, 0, 0, "fvc x313 batch of 4 " + std::to_string(threads) + "t", true);
        TimeIdentify(g, probes, st.templates, threads, static_cast<int32_t>(st.templates / 20), 0,
                     "fvc x313 screen 5% " + std::to_string(threads) + "t");
    }
    Report("peak resident memory", PeakMegabytes(), "MB");
    FpmGalleryClose(g);
    std::filesystem::remove(path);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "scale" && argc > 2) return Scale(std::atoll(argv[2]), argc > 3 ? argv[3] : "/tmp", argv[0]);
    if (mode == "search" && argc > 2) return Search(argv[2]);
    if (mode == "fvc") return Fvc(argc > 2 ? argv[2] : "/tmp");
    std::fprintf(stderr, "usage: fpmatch_id_bench scale N [DIR] | search FILE | fvc [DIR]\n");
    return 2;
}
