#include "report.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <mutex>
#include <set>

#include <fmt/core.h>

#include "fpmatch.h"
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

std::string DecodeCodeMessage(int32_t code) {
    switch (code) {
        case FPMATCH_DECODED: return "decoded";
        case FPMATCH_BAD_VERSION: return "native template version byte is not 3";
        case FPMATCH_BAD_COUNT: return "minutia count outside 1..50";
        case FPMATCH_TRUNCATED: return "shorter than its header declares";
        case FPMATCH_NULL_INPUT: return "no template";
        default: return fmt::format("decoder code {}", code);
    }
}

std::string AdaptCodeMessage(int32_t code) {
    switch (code) {
        case FPMATCH_ADAPT_TRUNCATED: return "shorter than the 24-byte record header";
        case FPMATCH_ADAPT_BAD_IDENTIFIER: return "format identifier is not \"FMR\"";
        case FPMATCH_ADAPT_BAD_VERSION: return "version is not \" 20\" (2005 layout)";
        case FPMATCH_ADAPT_LENGTH_EXCEEDS_BUFFER: return "the record length field exceeds the file";
        case FPMATCH_ADAPT_NO_VIEWS: return "the record holds no finger view";
        case FPMATCH_ADAPT_VIEW_TRUNCATED: return "a finger view runs past the record length";
        case FPMATCH_ADAPT_LENGTH_MISMATCH: return "the finger views end before the record length says";
        case FPMATCH_ADAPT_NO_MINUTIAE: return "the first finger view has no minutia";
        case FPMATCH_ADAPT_OUT_OF_RANGE: return "an adapted coordinate would leave 0..16383";
        case FPMATCH_ADAPT_OUT_TOO_SMALL: return "adapted record larger than expected";
        default: return fmt::format("library code {}", code);
    }
}

std::string WriteCodeMessage(int32_t code) {
    switch (code) {
        case FPMATCH_WRITE_TOO_SMALL: return "output buffer too small";
        case FPMATCH_WRITE_BAD_COUNT: return "minutia count outside 1..50";
        case FPMATCH_WRITE_BAD_POSITION: return "a minutia position does not fit the target format's coordinate bits";
        case FPMATCH_WRITE_BAD_ANGLE: return "a minutia direction does not fit 0..511";
        case FPMATCH_WRITE_BAD_TYPE:
            return "a minutia type other than ending or bifurcation has no place in the target format";
        case FPMATCH_WRITE_BAD_SINGULAR: return "a singular point does not fit 0..511";
        case FPMATCH_WRITE_NULL_INPUT: return "null input";
        default: return fmt::format("library code {}", code);
    }
}

}  // namespace fpmatch::tool
