// Tasks 0 .. tasks - 1 of a search, on a oneTBB arena of the caller's thread
// count. Shared by the gallery search and the list search.
#ifndef FPMATCH_ID_PARALLEL_H
#define FPMATCH_ID_PARALLEL_H

#include <algorithm>
#include <cstdint>

#include <tbb/blocked_range.h>
#include <tbb/info.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

namespace fpmatch::id {

// Runs fn(t) for every task t on `threads` threads (0: every core).
template <class Fn>
void Parallel(int32_t threads, int64_t tasks, Fn fn) {
    // More threads than cores only queue (and make oneTBB warn).
    tbb::task_arena arena(threads > 0 ? std::min(threads, tbb::info::default_concurrency())
                                      : tbb::task_arena::automatic);
    arena.execute([&] {
        tbb::parallel_for(tbb::blocked_range<int64_t>(0, tasks, 1), [&](const tbb::blocked_range<int64_t>& r) {
            for (int64_t t = r.begin(); t != r.end(); ++t) fn(t);
        });
    });
}

}  // namespace fpmatch::id

#endif
