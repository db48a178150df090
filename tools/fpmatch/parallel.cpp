#include "parallel.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "report.h"

namespace fpmatch::tool {

namespace {

constexpr size_t kProgressFrom = 200;  // loops this long show progress
constexpr auto kProgressPeriod = std::chrono::milliseconds(200);

// Shows progress from its own thread until destroyed.
class ProgressLine {
public:
    ProgressLine(const std::string& label, size_t total, const std::atomic<size_t>& done)
        : label_(label), total_(total), done_(done), thread_([this] { Run(); }) {}
    ~ProgressLine() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        wake_.notify_all();
        thread_.join();
        ShowProgress(label_, done_.load(), total_);
        EndProgress();
    }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, kProgressPeriod, [this] { return finished_; }))
            ShowProgress(label_, done_.load(), total_);
    }
    std::string label_;
    size_t total_;
    const std::atomic<size_t>& done_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool finished_ = false;
    std::thread thread_;
};

}  // namespace

unsigned ResolveThreads(unsigned requested) {
    if (requested > 0) return requested;
    return static_cast<unsigned>(std::max(1, tbb::this_task_arena::max_concurrency()));
}

void ParallelFor(size_t count, unsigned threads, const std::string& label, const std::function<void(size_t)>& fn) {
    if (count == 0) return;
    std::atomic<size_t> done{0};
    std::unique_ptr<ProgressLine> progress;
    if (ProgressWanted() && count >= kProgressFrom) progress = std::make_unique<ProgressLine>(label, count, done);
    tbb::task_arena arena(static_cast<int>(ResolveThreads(threads)));
    arena.execute([&] {
        tbb::parallel_for(tbb::blocked_range<size_t>(0, count), [&](const tbb::blocked_range<size_t>& range) {
            for (size_t i = range.begin(); i != range.end(); ++i) {
                fn(i);
                done.fetch_add(1, std::memory_order_relaxed);
            }
        });
    });
}

}  // namespace fpmatch::tool
