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

}  // namespace fpmatch::tool

#endif
