// How fpmatch-mpi divides a gallery: a gallery is one packed file or an
// ordered list of shard files whose entries are numbered one after another
// (shard 0 first). Entries first .. first + count - 1 of the whole are split
// into `parts` contiguous runs whose sizes differ by at most one; part r
// begins at total * r / parts. `fpmatch-mpi pack --shards N` cuts by the same
// rule, so with N shards on N ranks every rank searches exactly its shard,
// and with N = m * ranks exactly m whole shards.
#ifndef FPMATCH_MPI_SHARDS_H
#define FPMATCH_MPI_SHARDS_H

#include <cstdint>
#include <string>
#include <vector>

namespace fpmatch::tool {

// First entry of part `r` of `parts` over `total` entries.
inline int64_t PartBegin(int64_t total, int64_t parts, int64_t r) { return total * r / parts; }

// The shard files named by --gallery values, each split at commas, in order.
std::vector<std::string> SplitGalleryArguments(const std::vector<std::string>& values);

// The gallery as named in the output: the values joined by commas.
std::string GalleryLabel(const std::vector<std::string>& shards);

// Name of shard `s` of `n` written by pack --shards: PREFIX.S.fpg with S
// zero-padded to the width of n - 1.
std::string ShardFileName(const std::string& prefix, int s, int n);

}  // namespace fpmatch::tool

#endif
