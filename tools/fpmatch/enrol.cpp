#include "enrol.h"

#include <chrono>
#include <filesystem>

#include <fmt/core.h>

#include "file_io.h"
#include "id_gallery.h"
#include "report.h"
#include "template_load.h"

namespace fpmatch::tool {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto kProgressPeriod = std::chrono::milliseconds(250);

// "added 1200/100000 (4100/s, 24 s left)", at most every kProgressPeriod,
// and only when standard error is a terminal.
class RateLine {
public:
    RateLine(std::string label, size_t total) : label_(std::move(label)), total_(total), on_(ProgressWanted()) {}
    ~RateLine() {
        if (shown_) EndProgress();
    }
    void Update(size_t done) {
        if (!on_) return;
        const Clock::time_point now = Clock::now();
        if (now - last_ < kProgressPeriod && done != total_) return;
        last_ = now;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        std::string text = fmt::format("{} {}/{}", label_, done, total_);
        if (done > 0 && seconds > 0.5) {
            const double rate = static_cast<double>(done) / seconds;
            text += fmt::format(" ({:.0f}/s, {:.0f} s left)", rate, static_cast<double>(total_ - done) / rate);
        }
        ShowProgressLine(text);
        shown_ = true;
    }

private:
    std::string label_;
    size_t total_;
    bool on_;
    bool shown_ = false;
    Clock::time_point start_ = Clock::now(), last_{};
};

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec) && !ec;
}

}  // namespace

EnrolResult Enrol(FpmGallery* gallery, const std::string& galleryPath, const std::vector<EnrolItem>& items,
                  const EnrolOptions& options) {
    EnrolResult r;
    const LoadOptions load{options.adapt};
    const int32_t flags = options.adapt ? FPM_ADD_ADAPT : 0;
    RateLine progress(options.label, items.size());
    size_t done = 0;
    // One file left out: reported; under --strict the batch stops.
    auto skip = [&](const std::string& path, const std::string& reason) {
        Report(DisplayPath(path), reason + (options.strict ? "" : " (skipped)"));
        ++r.skipped;
        if (options.strict) r.exitCode = kExitInput;
    };
    for (const EnrolItem& item : items) {
        progress.Update(done++);
        if (SameFile(item.path, galleryPath)) continue;  // the gallery inside an input folder
        std::string why;
        const auto t = LoadTemplate(item.path, load, &why);
        if (!t) {
            skip(item.path, why);
        } else {
            HintIfQualitiesMissing(*t, load);
            char fromPath[FPM_SUBJECT_MAX + 1];
            int32_t rc = FPM_OK;
            if (item.subject.empty()) rc = FpmSubjectFromPath(item.path.c_str(), fromPath);
            if (rc >= 0) {
                const char* subject = item.subject.empty() ? fromPath : item.subject.c_str();
                rc = FpmGalleryAdd(gallery, subject, t->original.data(), t->original.size(), flags);
            }
            if (rc == FPM_OK) {
                ++r.added;
            } else if (rc == FPM_E_FULL || rc == FPM_E_NO_MEMORY || rc == FPM_E_READ_ONLY) {
                ReportLibrary(DisplayPath(galleryPath), rc);
                r.exitCode = ExitForCode(rc, true);
            } else {
                skip(item.path, LibraryText(rc, item.path));
            }
        }
        if (r.exitCode != 0) break;
    }
    if (r.exitCode == 0) progress.Update(items.size());
    return r;
}

}  // namespace fpmatch::tool
