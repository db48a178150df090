// fpmatch-mpi: identification over a packed gallery split across the ranks
// of an Open MPI job, and the packer that cuts a gallery into shards.
#include <mpi.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "commands.h"
#include "fpmatch.h"
#include "mpi_commands.h"
#include "report.h"

using namespace fpmatch::tool;

namespace {

const char* const kFooter =
    "Exit codes: 0 done; 1 done, but some probes or inputs were reported and skipped;\n"
    "2 bad command line; 3 an input is missing or invalid (a shard on any rank: the run\n"
    "stops, no result is printed); 4 an output could not be written; 6 an unexpected failure.";

// Only identify runs on every rank of a job, and it alone starts MPI: pack
// runs on one machine, and --help and --version (which help2man runs to
// write the man page) need no mpirun.
bool NeedsMpi(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "identify") != 0) return false;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) break;
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0 ||
            std::strcmp(argv[i], "--version") == 0)
            return false;
    }
    return true;
}

// The rank mpirun gave this process, before (or without) MPI_Init: only
// rank 0 prints help and command-line errors.
int RankFromLauncher() {
    const char* rank = std::getenv("OMPI_COMM_WORLD_RANK");
    return rank != nullptr ? std::atoi(rank) : 0;
}

}  // namespace

int main(int argc, char** argv) {
    SetProgramName("fpmatch-mpi");
    const bool mpi = NeedsMpi(argc, argv);
    int rank = RankFromLauncher();
    if (mpi) {
        int provided = 0;
        MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
        MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    }
    CLI::App app{"fpmatch-mpi: identification over a gallery spread across the ranks of an Open MPI job."};
    app.footer(kFooter);
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("fpmatch-mpi ") + VersionString() + " (algorithm " +
                                          std::to_string(AlgVersion()) + ")");
    int exitCode = kExitOk;

    MpiIdentifyOptions id;
    CLI::App* identify = app.add_subcommand(
        "identify",
        "The K best subjects (or templates) of a gallery for each probe; run under mpirun, every rank searches its part");
    identify->add_option("probes", id.probes, "Probe template files (read by rank 0)")->required();
    identify->add_option("--gallery", id.gallery,
                         "Gallery file, or shard files (comma-separated or repeated) whose positions and template ids "
                         "follow one another in the order given")
        ->required()
        ->allow_extra_args(false);  // one value per --gallery: the probes may follow it
    identify->add_option("--top", id.top, "The K best per probe (default 10, as fpmatch identify --gallery)")
        ->check(CLI::Range(1, 1 << 20));
    identify->add_flag("--entries", id.entries, "Rank the gallery's templates, not its subjects");
    identify->add_option("--threshold", id.threshold, "Leave out hits scoring below T, 0..100")->check(CLI::Range(0, 100));
    identify->add_option("--threads", id.threads, "Threads per rank (0: all cores); results do not depend on it")
        ->check(CLI::Range(0, 1024));
    identify->add_flag("--adapt", id.adapt, "Adapt ISO probe records (AdaptIsoRecord) before matching");
    identify->add_flag("--json", id.json, "Print the results as JSON");
    identify->add_flag("--timing", id.timing, "Report the search time and comparisons per second on standard error");

    PackShardsOptions pk;
    CLI::App* pack = app.add_subcommand("pack", "Split templates, folders and galleries into N balanced shard files");
    pack->add_option("--shards", pk.shards, "Number of shard files")->required()->check(CLI::Range(1, 100000));
    pack->add_option("prefix", pk.prefix, "Shards are written to PREFIX.0.fpg .. PREFIX.<N-1>.fpg")->required();
    pack->add_option("inputs", pk.inputs,
                     "Template files (each its own subject, named by its path), folders (their files, sorted) and "
                     ".fpg galleries (their subjects and templates), in order");
    pack->add_option("--list", pk.list, "File naming one input per line (relative to the list's folder)");
    pack->add_flag("--adapt", pk.adapt, "Adapt ISO records (AdaptIsoRecord) before packing");
    pack->add_flag("--shorts", pk.shorts, "Accepted for older scripts: short templates are always stored now");
    pack->add_flag("--strict", pk.strict, "Stop at the first bad input (nothing is written)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = kExitUsage;
        if (rank == 0) {
            if (e.get_exit_code() == 0)
                code = RunAtBoundary([&] { return app.exit(e); });
            else
                Report("command line", std::string(e.what()) + " (see fpmatch-mpi --help)");
        } else if (e.get_exit_code() == 0) {
            code = kExitOk;
        }
        if (mpi) MPI_Finalize();
        return code;
    }
    if (pack->parsed()) return RunAtBoundary([&] { return RunPackShards(pk); });
    try {
        exitCode = RunMpiIdentify(id);
    } catch (const std::exception& e) {
        // Outside the steps whose failures the ranks agree on: other ranks
        // may wait in a collective, so the whole job is ended.
        Report("rank " + std::to_string(rank), std::string("unexpected failure: ") + e.what());
        MPI_Abort(MPI_COMM_WORLD, kExitInternal);
    } catch (...) {
        Report("rank " + std::to_string(rank), "unexpected failure");
        MPI_Abort(MPI_COMM_WORLD, kExitInternal);
    }
    MPI_Finalize();
    return exitCode;
}
