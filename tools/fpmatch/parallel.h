// The tool's parallel loop: oneTBB on a given number of threads, with a
// progress line on standard error while it runs (when that is a terminal).
#ifndef FPMATCH_TOOL_PARALLEL_H
#define FPMATCH_TOOL_PARALLEL_H

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace fpmatch::tool {

// Threads to use: `requested`, or every core for 0.
unsigned ResolveThreads(unsigned requested);

// Progress of a loop of `total` steps, shown on standard error only when that
// is a terminal and total >= `from` (nothing at all otherwise): the count,
// share, rate and time left, redrawn every 200 ms from a thread of its own,
// and the count, time taken and rate when destroyed. Add() may be called
// from any thread.
class Progress {
public:
    Progress(const std::string& label, size_t total, size_t from);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    void Add(size_t steps = 1) { done_.fetch_add(steps, std::memory_order_relaxed); }

private:
    class Line;
    std::atomic<size_t> done_{0};
    std::unique_ptr<Line> line_;
};

// Runs fn(i) for i in 0..count-1 on `threads` threads (0 = all cores); shows
// the progress of "label" while it runs (loops of 200 steps or more).
// Results must not depend on the order. An exception thrown by fn ends the
// loop and is rethrown here.
void ParallelFor(size_t count, unsigned threads, const std::string& label, const std::function<void(size_t)>& fn);

}  // namespace fpmatch::tool

#endif
