// The tool's parallel loop: oneTBB on a given number of threads, with a
// progress line on standard error while it runs (when that is a terminal).
#ifndef FPMATCH_TOOL_PARALLEL_H
#define FPMATCH_TOOL_PARALLEL_H

#include <cstddef>
#include <functional>
#include <string>

namespace fpmatch::tool {

// Threads to use: `requested`, or every core for 0.
unsigned ResolveThreads(unsigned requested);

// Runs fn(i) for i in 0..count-1 on `threads` threads (0 = all cores); shows
// "label done/count" while it runs. Results must not depend on the order.
// An exception thrown by fn ends the loop and is rethrown here.
void ParallelFor(size_t count, unsigned threads, const std::string& label, const std::function<void(size_t)>& fn);

}  // namespace fpmatch::tool

#endif
