// fpmatch: command-line front end of the fingerprint matching library.
#include "commands.h"
#include "file_io.h"
#include "fpmatch.h"
#include "report.h"

int main(int argc, char** argv) {
    using namespace fpmatch::tool;
    CLI::App app{"fpmatch: compare, search, screen, inspect and evaluate fingerprint minutiae templates\n"
                 "(ISO/IEC 19794-2:2005 records and native templates), and enrol them in galleries of subjects."};
    app.footer(
        "Exit codes: 0 done; 1 done, but some inputs were reported on stderr and skipped;\n"
        "2 bad command line; 3 an input the command needs is missing or invalid; 4 an output\n"
        "could not be written; 5 the library refused (conversion does not fit, --adapt failed);\n"
        "6 an unexpected failure (reported).");
    app.name("fpmatch");
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("fpmatch ") + VersionString() + " (algorithm " +
                                          std::to_string(AlgVersion()) + ")");
    int exitCode = kExitOk;
    AddDemo(app, &exitCode);
    AddCompare(app, &exitCode);
    AddIdentify(app, &exitCode);
    AddVerify(app, &exitCode);
    AddScreen(app, &exitCode);
    AddInfo(app, &exitCode);
    AddConvert(app, &exitCode);
    AddEval(app, &exitCode);
    AddEvalId(app, &exitCode);
    AddRender(app, &exitCode);
    AddPack(app, &exitCode);
    AddGallery(app, &exitCode);
    AddGalleryInfo(app, &exitCode);
    // Without a command: the help. The first word that is not an option names
    // the command (the tool's own options take no value).
    if (argc < 2) return RunAtBoundary([&] {
        WriteOut(app.help());
        return kExitOk;
    });
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (!word.empty() && word[0] == '-') continue;
        const auto named = app.get_subcommands([&](CLI::App* c) { return c->check_name(word); });
        if (named.empty()) {
            Report("command line", "unknown command '" + word + "' (see fpmatch --help)");
            return kExitUsage;
        }
        break;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0)  // --help, --version
            return RunAtBoundary([&] { return app.exit(e); });
        Report("command line", std::string(e.what()) + " (see fpmatch --help)");
        return kExitUsage;
    }
    return exitCode;
}
