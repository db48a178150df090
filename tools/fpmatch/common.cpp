#include "common.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

namespace fpmatch::tool {

namespace fs = std::filesystem;

namespace {

// Templates are a few hundred bytes; anything this large is not one.
constexpr uintmax_t kMaxTemplateFile = 1u << 20;
constexpr size_t kIsoHeader = 28;      // record header + finger view header
constexpr size_t kIsoEntry = 6;
constexpr size_t kNativeHeader = 56;
constexpr size_t kNativeEntry = 4;

std::mutex g_stderrMutex;
bool g_progressOpen = false;  // a progress line without its newline is on stderr

// Ends an open progress line; call with g_stderrMutex held.
void CloseProgressLine() {
    if (g_progressOpen) std::cerr << '\n';
    g_progressOpen = false;
}

uint32_t BigEndian32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

std::string Hex(uint8_t b) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", b);
    return buf;
}

}  // namespace

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
        default: return "library code " + std::to_string(code);
    }
}

std::string WriteCodeMessage(int32_t code) {
    switch (code) {
        case FPMATCH_WRITE_TOO_SMALL: return "output buffer too small";
        case FPMATCH_WRITE_BAD_COUNT: return "minutia count outside 1..50";
        case FPMATCH_WRITE_BAD_POSITION: return "a minutia position does not fit the target format's coordinate bits";
        case FPMATCH_WRITE_BAD_ANGLE: return "a minutia direction does not fit 0..511";
        case FPMATCH_WRITE_BAD_TYPE: return "a minutia type other than ending or bifurcation has no place in the target format";
        case FPMATCH_WRITE_BAD_SINGULAR: return "a singular point does not fit 0..511";
        case FPMATCH_WRITE_NULL_INPUT: return "null input";
        default: return "library code " + std::to_string(code);
    }
}

void Report(const std::string& what, const std::string& reason) {
    std::lock_guard<std::mutex> lock(g_stderrMutex);
    CloseProgressLine();
    std::cerr << "fpmatch: " << what << ": " << reason << '\n';
}

void NoteOnce(const std::string& key, const std::string& text) {
    static std::set<std::string> seen;
    std::lock_guard<std::mutex> lock(g_stderrMutex);
    if (!seen.insert(key).second) return;
    CloseProgressLine();
    std::cerr << "fpmatch: note: " << text << '\n';
}

std::optional<Template> CheckBytes(const std::string& path, std::vector<uint8_t> bytes, const LoadOptions& options,
                                   std::string* reason) {
    const size_t size = bytes.size();
    if (size == 0) {
        *reason = "empty file";
        return std::nullopt;
    }
    Template t;
    t.path = path;
    t.name = fs::path(path).filename().string();
    const bool iso = size >= 2 && bytes[0] == 'F' && bytes[1] == 'M';
    if (!iso && bytes[0] != 3) {
        *reason = "neither an ISO/IEC 19794-2 record (starting \"FM\") nor a native template (version byte 3); first byte " +
                  Hex(bytes[0]);
        return std::nullopt;
    }
    t.kind = iso ? TemplateKind::Iso : TemplateKind::Native;
    if (iso) {
        if (size < kIsoHeader) {
            *reason = "truncated: an ISO record needs at least " + std::to_string(kIsoHeader) + " bytes, the file has " +
                      std::to_string(size);
            return std::nullopt;
        }
        const uint32_t recordLength = BigEndian32(&bytes[8]);
        if (recordLength >= kIsoHeader && recordLength > size) {
            *reason = "truncated: the record header declares " + std::to_string(recordLength) + " bytes, the file has " +
                      std::to_string(size);
            return std::nullopt;
        }
        const int count = static_cast<int8_t>(bytes[27]);
        const size_t present = std::min<size_t>(count > 0 ? count : 0, (size - kIsoHeader) / kIsoEntry);
        bool allZero = present > 0;
        for (size_t i = 0; i < present; ++i)
            if (bytes[kIsoHeader + kIsoEntry * i + 5] != 0) allZero = false;
        t.isoQualitiesZero = allZero;
        if (options.adapt) {
            std::vector<uint8_t> out(size + 1024);
            const int32_t n = AdaptIsoRecord(bytes.data(), size, out.data(), out.size());
            if (n < 0 || static_cast<size_t>(n) > out.size()) {
                *reason = "--adapt refused this ISO record: " + AdaptCodeMessage(n);
                return std::nullopt;
            }
            out.resize(static_cast<size_t>(n));
            t.original = std::move(bytes);
            bytes = std::move(out);
            t.adapted = true;
        }
    }
    if (!iso && bytes.size() < 4) {
        *reason = "truncated: a native template needs at least " + std::to_string(kNativeHeader + kNativeEntry) +
                  " bytes, the file has " + std::to_string(bytes.size());
        return std::nullopt;
    }
    const int32_t check = CheckTemplate(bytes.data(), bytes.size());
    const int count = bytes.size() > (iso ? 27u : 3u) ? static_cast<int8_t>(bytes[iso ? 27 : 3]) : 0;
    t.declaredCount = count;
    switch (check) {
        case FPMATCH_DECODED:
            break;
        case FPMATCH_BAD_VERSION:
            *reason = "native template with version byte " + std::to_string(bytes[0]) + " (3 expected)";
            return std::nullopt;
        case FPMATCH_BAD_COUNT:
            *reason = std::string(t.adapted ? "adapted record declares " : "declares ") + std::to_string(count) +
                      " minutiae; 1 to 50 are accepted" + (iso && count > 50 && !t.adapted ? " (try --adapt)" : "");
            return std::nullopt;
        case FPMATCH_TRUNCATED: {
            const size_t need = iso ? kIsoHeader + kIsoEntry * static_cast<size_t>(std::max(count, 0))
                                    : kNativeHeader + kNativeEntry * static_cast<size_t>(std::clamp(count, 0, 25));
            *reason = "truncated: the header declares " + std::to_string(count) + " minutiae, which need " +
                      std::to_string(need) + " bytes; the file has " + std::to_string(bytes.size());
            return std::nullopt;
        }
        default:
            *reason = "rejected by CheckTemplate (code " + std::to_string(check) + ")";
            return std::nullopt;
    }
    if (!t.adapted) t.original = bytes;
    t.bytes = std::move(bytes);
    return t;
}

std::optional<Template> LoadRequired(const std::string& path, const LoadOptions& options) {
    std::string reason;
    auto loaded = LoadTemplate(path, options, &reason);
    if (!loaded) Report(path, reason);
    return loaded;
}

std::optional<Template> LoadTemplate(const std::string& path, const LoadOptions& options, std::string* reason) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec || !fs::exists(status)) {
        *reason = "no such file";
        return std::nullopt;
    }
    if (fs::is_directory(status)) {
        *reason = "is a folder, a template file was expected";
        return std::nullopt;
    }
    if (!fs::is_regular_file(status)) {
        *reason = "not a regular file";
        return std::nullopt;
    }
    const uintmax_t size = fs::file_size(path, ec);
    if (ec) {
        *reason = "cannot read: " + ec.message();
        return std::nullopt;
    }
    if (size > kMaxTemplateFile) {
        *reason = "too large to be a template (" + std::to_string(size) + " bytes)";
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *reason = std::string("cannot read: ") + std::strerror(errno);
        return std::nullopt;
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    if (size > 0 && !in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size))) {
        *reason = std::string("cannot read: ") + std::strerror(errno);
        return std::nullopt;
    }
    return CheckBytes(path, std::move(bytes), options, reason);
}

void HintIfQualitiesMissing(const Template& t, const LoadOptions& options) {
    if (t.kind == TemplateKind::Iso && t.isoQualitiesZero && !options.adapt)
        NoteOnce("adapt", t.path + " carries no minutia qualities (all 0); --adapt usually matches such records far "
                                   "better (said once)");
}

std::vector<std::string> ExpandGallery(const std::vector<std::string>& args, const std::string& listFile,
                                       int* problems) {
    std::vector<std::string> out;
    auto addFolder = [&](const std::string& dir) {
        std::vector<std::string> files;
        std::error_code ec;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (name.empty() || name[0] == '.') continue;
            std::error_code fe;
            if (it->is_regular_file(fe)) files.push_back(it->path().string());
        }
        if (ec) {
            Report(dir, "cannot list folder: " + ec.message());
            ++*problems;
            return;
        }
        if (files.empty()) {
            Report(dir, "folder holds no template files");
            ++*problems;
            return;
        }
        std::sort(files.begin(), files.end());
        out.insert(out.end(), files.begin(), files.end());
    };
    auto addArg = [&](const std::string& arg) {
        std::error_code ec;
        if (fs::is_directory(arg, ec))
            addFolder(arg);
        else
            out.push_back(arg);  // problems with the file itself are reported when it is loaded
    };
    for (const std::string& a : args) addArg(a);
    if (!listFile.empty()) {
        std::ifstream in(listFile);
        if (!in) {
            Report(listFile, std::string("cannot read list: ") + std::strerror(errno));
            ++*problems;
        } else {
            const fs::path base = fs::path(listFile).parent_path();
            std::string line;
            while (std::getline(in, line)) {
                const size_t b = line.find_first_not_of(" \t\r");
                if (b == std::string::npos || line[b] == '#') continue;
                const size_t e = line.find_last_not_of(" \t\r");
                fs::path p(line.substr(b, e - b + 1));
                if (p.is_relative() && !base.empty()) p = base / p;
                addArg(p.string());
            }
        }
    }
    return out;
}

std::optional<LoadedGallery> LoadGalleryArguments(const std::vector<std::string>& args, const std::string& listFile,
                                                  const LoadOptions& options, bool strict) {
    int problems = 0;
    const std::vector<std::string> paths = ExpandGallery(args, listFile, &problems);
    if (problems > 0 && strict) return std::nullopt;
    if (paths.empty()) {
        Report("gallery", "no gallery templates given (files, folders or --list)");
        return std::nullopt;
    }
    LoadedGallery g = LoadGallery(paths, options, strict);
    if (g.aborted) return std::nullopt;
    g.unexpanded = problems;
    g.files = paths.size();
    return g;
}

LoadedGallery LoadGallery(const std::vector<std::string>& paths, const LoadOptions& options, bool strict) {
    LoadedGallery g;
    g.templates.reserve(paths.size());
    const bool progress = isatty(STDERR_FILENO) && paths.size() >= 2000;
    size_t done = 0;
    for (const std::string& p : paths) {
        if (progress && ++done % 1000 == 0) {
            std::lock_guard<std::mutex> lock(g_stderrMutex);
            std::cerr << "\rloaded " << done << '/' << paths.size() << std::flush;
            g_progressOpen = true;
        }
        std::string reason;
        auto t = LoadTemplate(p, options, &reason);
        if (!t) {
            Report(p, reason + (strict ? "" : " (skipped)"));
            ++g.skipped;
            if (strict) {
                g.aborted = true;
                return g;
            }
            continue;
        }
        HintIfQualitiesMissing(*t, options);
        g.templates.push_back(std::move(*t));
    }
    if (progress) {
        std::lock_guard<std::mutex> lock(g_stderrMutex);
        std::cerr << "\rloaded " << paths.size() << '/' << paths.size() << std::flush;
        g_progressOpen = true;
        CloseProgressLine();
    }
    return g;
}

Decoded::Decoded() {
    fs.minutiae = minutiae;
    fs.singularPoints = singular;
    fs.gndTable = &gnd;
    fs.blockQty = &blocks;
}

int32_t Decoded::Decode(const uint8_t* bytes) {
    std::memset(&fs, 0, sizeof fs);
    fs.minutiae = minutiae;
    fs.singularPoints = singular;
    fs.gndTable = &gnd;
    fs.blockQty = &blocks;
    return DecodeFeature(bytes, &fs);
}

unsigned ResolveThreads(unsigned requested) {
    if (requested > 0) return requested;
    const unsigned hw = std::thread::hardware_concurrency();
    return hw > 0 ? hw : 1;
}

void ParallelFor(size_t count, unsigned threads, const std::string& label, const std::function<void(size_t)>& fn) {
    threads = std::max(1u, std::min<unsigned>(ResolveThreads(threads), static_cast<unsigned>(std::max<size_t>(count, 1))));
    std::atomic<size_t> next{0}, done{0};
    auto worker = [&] {
        for (size_t i = next++; i < count; i = next++) {
            fn(i);
            ++done;
        }
    };
    const bool progress = isatty(STDERR_FILENO) && count >= 200;
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back(worker);
    std::thread reporter;
    std::atomic<bool> finished{false};
    std::mutex m;
    std::condition_variable cv;
    if (progress) {
        reporter = std::thread([&] {
            std::unique_lock<std::mutex> lock(m);
            while (!cv.wait_for(lock, std::chrono::milliseconds(200), [&] { return finished.load(); })) {
                std::lock_guard<std::mutex> err(g_stderrMutex);
                std::cerr << '\r' << label << ' ' << done.load() << '/' << count << std::flush;
                g_progressOpen = true;
            }
        });
    }
    worker();
    for (auto& th : pool) th.join();
    if (progress) {
        {
            std::lock_guard<std::mutex> lock(m);
            finished = true;
        }
        cv.notify_all();
        reporter.join();
        std::lock_guard<std::mutex> err(g_stderrMutex);
        std::cerr << '\r' << label << ' ' << count << '/' << count << std::flush;
        g_progressOpen = true;
        CloseProgressLine();
    }
}

std::string KindName(TemplateKind kind) { return kind == TemplateKind::Iso ? "iso" : "native"; }

std::string TypeName(uint8_t type) {
    switch (type) {
        case 0: return "ending";
        case 1: return "bifurcation";
        case 2: return "type-3";
        case 255: return "other";
        default: return "type-" + std::to_string(type);
    }
}

Json MinutiaJson(const Minutia& m, int index) {
    Json j;
    if (index >= 0) j["index"] = index;
    j["x"] = m.x;
    j["y"] = m.y;
    j["angle"] = m.angle;
    j["quality"] = m.quality;
    j["type"] = TypeName(m.type);
    return j;
}

namespace {

bool IsFlat(const Json& j) {
    for (const auto& v : j) if (v.is_structured()) return false;
    return true;
}

void Dump(const Json& j, int indent, std::string& out) {
    auto scalar = [](const Json& v) { return v.dump(-1, ' ', false, Json::error_handler_t::replace); };
    if (!j.is_structured() || j.empty()) {
        out += scalar(j);
        return;
    }
    if (IsFlat(j)) {  // on one line
        const bool object = j.is_object();
        out += object ? "{" : "[";
        size_t k = 0;
        for (auto it = j.begin(); it != j.end(); ++it, ++k) {
            if (k > 0) out += ", ";
            if (object) out += scalar(Json(it.key())) + ": ";
            out += scalar(*it);
        }
        out += object ? "}" : "]";
        return;
    }
    const std::string pad(static_cast<size_t>(indent + 2), ' ');
    const bool object = j.is_object();
    out += object ? "{\n" : "[\n";
    size_t k = 0;
    for (auto it = j.begin(); it != j.end(); ++it, ++k) {
        out += pad;
        if (object) out += Json(it.key()).dump() + ": ";
        Dump(*it, indent + 2, out);
        if (k + 1 < j.size()) out += ',';
        out += '\n';
    }
    out += std::string(static_cast<size_t>(indent), ' ') + (object ? "}" : "]");
}

}  // namespace

std::string DumpJson(const Json& j) {
    std::string out;
    Dump(j, 0, out);
    return out;
}

std::string Percent(double fraction, int decimals) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*f%%", decimals, fraction * 100.0);
    return buf;
}

bool WriteFile(const std::string& path, const std::string& text) {
    return WriteBytes(path, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

bool WriteBytes(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        Report(path, std::string("cannot write: ") + std::strerror(errno));
        return false;
    }
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) {
        Report(path, "cannot write: write failed");
        return false;
    }
    return true;
}

}  // namespace fpmatch::tool
