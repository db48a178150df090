#include "file_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>

#include "report.h"

namespace fpmatch::tool {

namespace fs = std::filesystem;

namespace {

std::string ErrnoText(int error) { return error != 0 ? std::strerror(error) : "unknown error"; }

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// Reads `in` to its end, at most limit + 1 bytes.
bool ReadStream(std::FILE* in, size_t limit, std::vector<uint8_t>* bytes, std::string* reason) {
    bytes->clear();
    uint8_t buffer[1 << 14];
    for (;;) {
        const size_t n = std::fread(buffer, 1, sizeof buffer, in);
        bytes->insert(bytes->end(), buffer, buffer + n);
        if (bytes->size() > limit) {
            *reason = fmt::format("too large to be a template (more than {} bytes)", limit);
            return false;
        }
        if (n < sizeof buffer) break;
    }
    if (std::ferror(in)) {
        *reason = "cannot read: " + ErrnoText(errno);
        return false;
    }
    return true;
}

}  // namespace

bool IsStdin(const std::string& path) { return path == kStdinName; }

std::string DisplayPath(const std::string& path) { return IsStdin(path) ? "standard input" : path; }

void WriteOut(std::string_view text) {
    if (text.empty()) return;
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size())
        throw OutputError("standard output", "cannot write: " + ErrnoText(errno));
}

void FinishStandardOutput() {
    errno = 0;
    if (std::fflush(stdout) != 0) throw OutputError("standard output", "cannot write: " + ErrnoText(errno));
    if (std::ferror(stdout)) throw OutputError("standard output", "cannot write: output lost");
}

bool ReadInput(const std::string& path, size_t limit, std::vector<uint8_t>* bytes, std::string* reason) {
    if (IsStdin(path)) {
        static std::optional<std::vector<uint8_t>> stdinBytes;
        static std::string stdinFailure;
        if (!stdinBytes && stdinFailure.empty()) {
            std::vector<uint8_t> read;
            if (ReadStream(stdin, limit, &read, &stdinFailure))
                stdinBytes = std::move(read);
        }
        if (!stdinBytes) {
            *reason = stdinFailure;
            return false;
        }
        *bytes = *stdinBytes;
        return true;
    }
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec || !fs::exists(status)) {
        *reason = ec && ec != std::errc::no_such_file_or_directory ? "cannot read: " + ec.message() : "no such file";
        return false;
    }
    if (fs::is_directory(status)) {
        *reason = "is a folder, a template file was expected";
        return false;
    }
    if (!fs::is_regular_file(status)) {
        *reason = "not a regular file";
        return false;
    }
    errno = 0;
    std::unique_ptr<std::FILE, FileCloser> in(std::fopen(path.c_str(), "rb"));
    if (!in) {
        *reason = "cannot read: " + ErrnoText(errno);
        return false;
    }
    return ReadStream(in.get(), limit, bytes, reason);
}

bool IsStdout(const std::string& path) { return path == kStdoutName; }

bool WriteFileBytes(const std::string& path, const uint8_t* data, size_t size) {
    if (IsStdout(path)) {
        WriteOut(std::string_view(reinterpret_cast<const char*>(data), size));
        return true;
    }
    errno = 0;
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        Report(path, "cannot write: " + ErrnoText(errno));
        return false;
    }
    errno = 0;
    const bool written = (size == 0 || std::fwrite(data, 1, size, out) == size) && std::fflush(out) == 0;
    const int writeError = errno;
    errno = 0;
    const bool closed = std::fclose(out) == 0;
    if (!written || !closed) {
        Report(path, "cannot write: " + ErrnoText(!written ? writeError : errno));
        return false;
    }
    return true;
}

bool WriteFileText(const std::string& path, const std::string& text) {
    return WriteFileBytes(path, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

}  // namespace fpmatch::tool
