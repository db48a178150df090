// Subcommands of the fpmatch tool. Each Add* function declares its
// subcommand on `app`; when the subcommand runs it stores its exit code in
// *exitCode. SetCommand is the command boundary: every exception is caught
// there and reported as "fpmatch: WHAT: reason", and standard output is
// checked once the command is done.
#ifndef FPMATCH_TOOL_COMMANDS_H
#define FPMATCH_TOOL_COMMANDS_H

#include <functional>

#include <CLI/CLI.hpp>

namespace fpmatch::tool {

// The check of a whole-number option in lo..hi: a value that is not a whole
// number is said to be none ("'abc' is not a whole number (0 to 100)"), one
// outside the range is said to be out of it ("Value 1000 not in range 0 to
// 100"). Every numeric option of the tool uses it.
CLI::Validator WholeNumber(long long lo, long long hi);

// Runs `body` as the subcommand's callback, at the command boundary.
void SetCommand(CLI::App* subcommand, int* exitCode, std::function<int()> body);
// The boundary itself: body's exit code, or the exit code of what it threw.
int RunAtBoundary(const std::function<int()>& body);

void AddCompare(CLI::App& app, int* exitCode);
void AddIdentify(CLI::App& app, int* exitCode);
void AddScreen(CLI::App& app, int* exitCode);
void AddInfo(CLI::App& app, int* exitCode);
void AddConvert(CLI::App& app, int* exitCode);
void AddEval(CLI::App& app, int* exitCode);
void AddEvalId(CLI::App& app, int* exitCode);
void AddRender(CLI::App& app, int* exitCode);
void AddDemo(CLI::App& app, int* exitCode);
void AddPack(CLI::App& app, int* exitCode);
void AddGalleryInfo(CLI::App& app, int* exitCode);
void AddGallery(CLI::App& app, int* exitCode);
void AddVerify(CLI::App& app, int* exitCode);

}  // namespace fpmatch::tool

#endif
