// The command boundary: whatever a command throws ends here as one reported
// line and an exit code, never as an abort.
#include <charconv>
#include <filesystem>
#include <new>

#include <fmt/core.h>

#include "commands.h"
#include "file_io.h"
#include "report.h"

namespace fpmatch::tool {

int RunAtBoundary(const std::function<int()>& body) {
    try {
        const int code = body();
        FinishStandardOutput();
        return code;
    } catch (const OutputError& e) {
        Report(e.Target(), e.what());
        return kExitOutput;
    } catch (const std::bad_alloc&) {
        Report("memory", "out of memory");
        return kExitInternal;
    } catch (const std::filesystem::filesystem_error& e) {
        Report(e.path1().empty() ? std::string("file system") : e.path1().string(), e.code().message());
        return kExitInput;
    } catch (const std::exception& e) {
        Report("internal error", e.what());
        return kExitInternal;
    } catch (...) {
        Report("internal error", "unknown exception");
        return kExitInternal;
    }
}

CLI::Validator WholeNumber(long long lo, long long hi) {
    return CLI::Validator(
        [lo, hi](std::string& input) -> std::string {
            long long value = 0;
            const char* const end = input.data() + input.size();
            const auto [stop, error] = std::from_chars(input.data(), end, value);
            const bool digits = !input.empty() && stop == end;
            if (!digits || (error != std::errc() && error != std::errc::result_out_of_range))
                return fmt::format("'{}' is not a whole number ({} to {})", input, lo, hi);
            if (error == std::errc::result_out_of_range || value < lo || value > hi)
                return fmt::format("Value {} not in range {} to {}", input, lo, hi);
            return std::string();
        },
        fmt::format("INT in [{} - {}]", lo, hi));
}

void SetCommand(CLI::App* subcommand, int* exitCode, std::function<int()> body) {
    subcommand->callback([exitCode, body = std::move(body)] { *exitCode = RunAtBoundary(body); });
}

}  // namespace fpmatch::tool
