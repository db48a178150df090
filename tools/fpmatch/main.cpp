// fpmatch: command-line front end of the fingerprint matching library.
#include <iostream>

#include "commands.h"
#include "common.h"
#include "fpmatch.h"

int main(int argc, char** argv) {
    using namespace fpmatch::tool;
    CLI::App app{"fpmatch: compare, search, screen, inspect and evaluate fingerprint minutiae templates\n"
                 "(ISO/IEC 19794-2:2005 records and native templates)."};
    app.footer(
        "Exit codes: 0 done; 1 done, but some inputs were reported on stderr and skipped;\n"
        "2 bad command line; 3 an input the command needs is missing or invalid; 4 an output\n"
        "could not be written; 5 the library refused (conversion does not fit, --adapt failed);\n"
        "6 inconsistent library results.");
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("fpmatch ") + VersionString() + " (algorithm " +
                                          std::to_string(AlgVersion()) + ")");
    int exitCode = kExitOk;
    AddDemo(app, &exitCode);
    AddCompare(app, &exitCode);
    AddIdentify(app, &exitCode);
    AddScreen(app, &exitCode);
    AddInfo(app, &exitCode);
    AddConvert(app, &exitCode);
    AddEval(app, &exitCode);
    AddRender(app, &exitCode);
    AddMakeSample(app, &exitCode);
    AddPack(app, &exitCode);
    AddGalleryInfo(app, &exitCode);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }
    return exitCode;
}
