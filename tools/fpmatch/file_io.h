// Reading input files (or standard input, named "-") and writing output
// files and standard output, every failure with its real reason. Standard
// output is written only through Print/WriteOut, which throw OutputError
// when writing fails; the command boundary reports it and exits with 4.
#ifndef FPMATCH_TOOL_FILE_IO_H
#define FPMATCH_TOOL_FILE_IO_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/core.h>

namespace fpmatch::tool {

// The name "-" stands for standard input.
constexpr const char* kStdinName = "-";
bool IsStdin(const std::string& path);
// How a path is named in reports ("standard input" for "-").
std::string DisplayPath(const std::string& path);

// An output that could not be written: `target` and the reason.
class OutputError : public std::runtime_error {
public:
    OutputError(std::string target, const std::string& reason)
        : std::runtime_error(reason), target_(std::move(target)) {}
    const std::string& Target() const { return target_; }

private:
    std::string target_;
};

// Writes to standard output; throws OutputError when it fails.
void WriteOut(std::string_view text);
template <typename... Args>
void Print(fmt::format_string<Args...> format, Args&&... args) {
    WriteOut(fmt::format(format, std::forward<Args>(args)...));
}
// Flushes standard output; throws OutputError when anything written to it
// was lost.
void FinishStandardOutput();

// Reads a whole regular file, or standard input for "-" (read once; later
// reads of "-" give the same bytes). At most `limit` bytes: a larger input
// fails. On failure returns false and sets `reason`.
bool ReadInput(const std::string& path, size_t limit, std::vector<uint8_t>* bytes, std::string* reason);

// An output named "-" is standard output.
constexpr const char* kStdoutName = "-";
bool IsStdout(const std::string& path);

// Writes a whole file; on failure reports it ("PATH: cannot write: reason")
// and returns false. For "-" writes standard output (WriteOut: a failure
// throws OutputError).
bool WriteFileBytes(const std::string& path, const uint8_t* data, size_t size);
bool WriteFileText(const std::string& path, const std::string& text);

}  // namespace fpmatch::tool

#endif
