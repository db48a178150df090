#include "parallel.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
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

}  // namespace

// Draws the line from its own thread until destroyed, then once more.
class Progress::Line {
public:
    Line(const std::string& label, size_t total, const std::atomic<size_t>& done)
        : label_(label), total_(total), done_(done), start_(std::chrono::steady_clock::now()),
          thread_([this] { Run(); }) {}
    ~Line() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        wake_.notify_all();
        thread_.join();
        Draw();
        EndProgress();
    }

private:
    void Draw() const {
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start_;
        ShowProgress(label_, done_.load(std::memory_order_relaxed), total_, elapsed.count());
    }
    void Run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, kProgressPeriod, [this] { return finished_; })) Draw();
    }
    std::string label_;
    size_t total_;
    const std::atomic<size_t>& done_;
    std::chrono::steady_clock::time_point start_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool finished_ = false;
    std::thread thread_;  // last: starts once everything it reads is set
};

Progress::Progress(const std::string& label, size_t total, size_t from) {
    if (total > 0 && total >= from && ProgressWanted()) line_ = std::make_unique<Line>(label, total, done_);
}

Progress::~Progress() = default;

unsigned ResolveThreads(unsigned requested) {
    if (requested > 0) return requested;
    return static_cast<unsigned>(std::max(1, tbb::this_task_arena::max_concurrency()));
}

void ParallelFor(size_t count, unsigned threads, const std::string& label, const std::function<void(size_t)>& fn) {
    if (count == 0) return;
    Progress progress(label, count, kProgressFrom);
    tbb::task_arena arena(static_cast<int>(ResolveThreads(threads)));
    arena.execute([&] {
        tbb::parallel_for(tbb::blocked_range<size_t>(0, count), [&](const tbb::blocked_range<size_t>& range) {
            for (size_t i = range.begin(); i != range.end(); ++i) {
                fn(i);
                progress.Add();
            }
        });
    });
}

}  // namespace fpmatch::tool
