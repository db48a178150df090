#include "report.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <mutex>
#include <set>

#include <fmt/core.h>

#include "fpmatch.h"
#include "fpmatch_id.h"
#include "printable.h"

namespace fpmatch::tool {

namespace {

std::mutex g_stderrMutex;
bool g_progressOpen = false;  // a progress line without its newline is on stderr
std::string g_program = "fpmatch";

// Writes to standard error; call with g_stderrMutex held. A failing standard
// error has nowhere to be reported, so its result is not checked.
void Err(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void CloseProgressLine() {
    if (g_progressOpen) Err("\n");
    g_progressOpen = false;
}

}  // namespace

void SetProgramName(const std::string& name) {
    std::lock_guard<std::mutex> lock(g_stderrMutex);
    g_program = name;
}

void Report(const std::string& what, const std::string& reason) {
    std::lock_guard<std::mutex> lock(g_stderrMutex);
    CloseProgressLine();
    Err(fmt::format("{}: {}: {}\n", g_program, Printable(what), Printable(reason)));
}

void NoteOnce(const std::string& key, const std::string& text) {
    static std::set<std::string> seen;
    std::lock_guard<std::mutex> lock(g_stderrMutex);
    if (!seen.insert(key).second) return;
    CloseProgressLine();
    Err(fmt::format("{}: note: {}\n", g_program, Printable(text)));
}

void Inform(const std::string& text) {
    std::lock_guard<std::mutex> lock(g_stderrMutex);
    CloseProgressLine();
    Err(fmt::format("{}: {}\n", g_program, Printable(text)));
}

namespace {

// 4.2 s, 42 s, 4 min 02 s, 4 h 02 min.
std::string Duration(double seconds) {
    if (seconds < 9.95) return fmt::format("{:.1f} s", seconds);
    const long long s = std::llround(seconds);
    if (s < 60) return fmt::format("{} s", s);
    if (s < 3600) return fmt::format("{} min {:02} s", s / 60, s % 60);
    return fmt::format("{} h {:02} min", s / 3600, s % 3600 / 60);
}

std::string Rate(double perSecond) {
    return perSecond < 9.95 ? fmt::format("{:.1f}/s", perSecond) : fmt::format("{:.0f}/s", perSecond);
}

}  // namespace

std::string ProgressText(const std::string& label, size_t done, size_t total, double seconds) {
    std::string s = fmt::format("{} {}/{}", label, done, total);
    const bool timed = done > 0 && seconds > 0;
    const double rate = timed ? static_cast<double>(done) / seconds : 0;
    if (total > 0 && done >= total) {
        s += " in " + Duration(seconds);
        if (timed) s += " (" + Rate(rate) + ")";
        return s;
    }
    if (done == 0 || total == 0) return s;
    s += fmt::format(" ({}%)", done * 100 / total);
    if (timed) s += ", " + Rate(rate) + ", " + Duration(static_cast<double>(total - done) / rate) + " left";
    return s;
}

void ShowProgress(const std::string& label, size_t done, size_t total, double seconds) {
    const std::string text = ProgressText(Printable(label), done, total, seconds);
    std::lock_guard<std::mutex> lock(g_stderrMutex);
    Err("\r" + text + "\x1b[K");  // the rest of a longer earlier line erased
    g_progressOpen = true;
}

void ShowProgressLine(const std::string& text) {
    std::lock_guard<std::mutex> lock(g_stderrMutex);
    Err("\r" + text + "\x1b[K");
    g_progressOpen = true;
}

void EndProgress() {
    std::lock_guard<std::mutex> lock(g_stderrMutex);
    CloseProgressLine();
}

bool ProgressWanted() { return isatty(STDERR_FILENO) != 0; }

std::string CoreCodeText(int32_t family, int32_t code) {
    const std::string text = FpmCodeText(FpmFromCoreCode(family, code));
    if (text == "unknown code") return fmt::format("library code {}", code);
    const size_t lead = text.find(": ");
    return lead == std::string::npos ? text : text.substr(lead + 2);
}

std::string DecodeCodeMessage(int32_t code) { return CoreCodeText(FPM_FAMILY_TEMPLATE, code); }
std::string AdaptCodeMessage(int32_t code) { return CoreCodeText(FPM_FAMILY_ADAPT, code); }
std::string WriteCodeMessage(int32_t code) { return CoreCodeText(FPM_FAMILY_WRITE, code); }

}  // namespace fpmatch::tool
