// The subcommands of fpmatch-mpi.
#ifndef FPMATCH_MPI_COMMANDS_H
#define FPMATCH_MPI_COMMANDS_H

#include <string>
#include <vector>

#include "identify_output.h"

namespace fpmatch::tool {

struct PackShardsOptions {
    int shards = 0;
    std::string prefix;
    std::vector<std::string> inputs;
    std::string list;
    bool adapt = false, shorts = false, strict = false;
};

struct MpiIdentifyOptions {
    std::vector<std::string> probes;
    std::vector<std::string> gallery;  // --gallery values, each possibly a comma-separated list
    int top = kDefaultGalleryTop;
    int threshold = 0;
    unsigned threads = 0;
    bool entries = false;  // rank templates, not subjects
    bool adapt = false, json = false, timing = false;
};

// pack --shards: no MPI.
int RunPackShards(const PackShardsOptions& o);

// identify: every rank of MPI_COMM_WORLD calls it (MPI initialised); every
// rank returns rank 0's exit code.
int RunMpiIdentify(const MpiIdentifyOptions& o);

}  // namespace fpmatch::tool

#endif
