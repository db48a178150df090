// Subcommands of the fpmatch tool. Each Add* function declares its
// subcommand on `app`; when the subcommand runs it stores its exit code in
// *exitCode.
#ifndef FPMATCH_TOOL_COMMANDS_H
#define FPMATCH_TOOL_COMMANDS_H

#include <CLI/CLI.hpp>

namespace fpmatch::tool {

void AddCompare(CLI::App& app, int* exitCode);
void AddIdentify(CLI::App& app, int* exitCode);
void AddScreen(CLI::App& app, int* exitCode);
void AddInfo(CLI::App& app, int* exitCode);
void AddConvert(CLI::App& app, int* exitCode);
void AddEval(CLI::App& app, int* exitCode);
void AddRender(CLI::App& app, int* exitCode);
void AddDemo(CLI::App& app, int* exitCode);
void AddMakeSample(CLI::App& app, int* exitCode);
void AddPack(CLI::App& app, int* exitCode);
void AddGalleryInfo(CLI::App& app, int* exitCode);

}  // namespace fpmatch::tool

#endif
