// Faults a gallery must survive: a writer killed at any moment of its
// adds, removals and compactions, and readers searching in other processes
// while a writer changes the file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fpmatch_id.h"
#include "id_test_support.h"

using namespace fpmatch::test;

namespace {

// The writer's script. Operation i (from 1): every 7th compacts, every 3rd
// removes the subject added three operations before, the others add a
// subject of two templates. ApplyOp keeps a model of the live templates by
// id, as the library numbers them.
struct State {
    std::map<int64_t, std::pair<std::string, Bytes>> live;  // template id -> subject, bytes
    int64_t nextId = 0;
};

Bytes TemplateFor(int op, int impression) {
    return fpmatch::samples::MakeDemoTemplate(op % 40 + 1, impression, op % 2 == 0, true);
}

void ApplyOp(int op, State* s) {
    if (op % 7 == 0) return;  // compaction changes no live template
    if (op % 3 == 0) {
        const std::string gone = "s" + std::to_string(op - 3);
        std::erase_if(s->live, [&](const auto& kv) { return kv.second.first == gone; });
        return;
    }
    for (int i = 1; i <= 2; ++i) s->live[s->nextId++] = {"s" + std::to_string(op), TemplateFor(op, i)};
}

// Runs operation `op` on a writer's handle; false on any failure.
bool RunOp(FpmGallery* g, int op) {
    if (op % 7 == 0) return FpmGalleryCompact(g) == FPM_OK;
    if (op % 3 == 0) {
        const std::string gone = "s" + std::to_string(op - 3);
        const int32_t rc = FpmGalleryRemove(g, gone.c_str());
        if (rc == FPM_E_UNKNOWN_SUBJECT) return true;  // removed by nothing: op - 3 was not an add
        return rc > 0 && FpmGalleryCommit(g) == FPM_OK;
    }
    const std::string subject = "s" + std::to_string(op);
    for (int i = 1; i <= 2; ++i) {
        const Bytes t = TemplateFor(op, i);
        if (FpmGalleryAdd(g, subject.c_str(), t.data(), t.size(), 0) != FPM_OK) return false;
    }
    return FpmGalleryCommit(g) == FPM_OK;
}

// The live templates of a gallery as the model holds them.
std::map<int64_t, std::pair<std::string, Bytes>> Live(FpmGallery* g) {
    std::map<int64_t, std::pair<std::string, Bytes>> out;
    FpmGalleryStat st;
    if (FpmGalleryGetStat(g, &st) != FPM_OK) return out;
    for (int64_t p = 0; p < st.entries; ++p) {
        FpmEntry e;
        if (FpmGalleryGetEntry(g, p, &e) != FPM_OK) return {};
        if (!e.removed)
            out[e.id] = {e.subject, Bytes(e.templateData, e.templateData + e.templateLength)};
    }
    return out;
}

// Stored templates are the bytes the comparison reads.
std::map<int64_t, std::pair<std::string, Bytes>> Stored(const State& s) {
    auto out = s.live;
    for (auto& [id, v] : out) v.second.resize(static_cast<size_t>(TemplateLength(v.second.data(), v.second.size())));
    return out;
}

}  // namespace

// SIGKILL at random moments of add+commit, remove+commit and compact: the
// gallery opens, passes check, holds exactly the state before or after the
// interrupted operation, and the next writer goes on.
TEST(IdFaults, WriterKilledAtRandomMoments) {
    TempDir dir;
    const std::string path = dir.File("g.fpg");
    {
        FpmGallery* g = nullptr;
        ASSERT_EQ(FpmGalleryCreate(path.c_str(), &g), FPM_OK);
        FpmGalleryClose(g);
    }
    std::mt19937 random(20261208);
    State done;  // state after the operations known to be complete
    int next = 1;
    int interruptedAfter = 0, interruptedBefore = 0;
    for (int round = 0; round < 40; ++round) {
        int log[2];
        ASSERT_EQ(pipe(log), 0);
        const pid_t child = fork();
        if (child == 0) {
            close(log[0]);
            FpmGallery* g = nullptr;
            if (FpmGalleryOpen(path.c_str(), FPM_OPEN_WRITE, &g) != FPM_OK) _exit(2);
            for (int op = next;; ++op) {
                if (!RunOp(g, op)) _exit(3);
                if (write(log[1], &op, sizeof op) != sizeof op) _exit(4);
            }
        }
        close(log[1]);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 40000));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed by itself, exit " << WEXITSTATUS(status);
        int op = 0, last = next - 1;
        while (read(log[0], &op, sizeof op) == sizeof op) last = op;
        close(log[0]);
        for (int k = next; k <= last; ++k) ApplyOp(k, &done);
        State after = done;
        ApplyOp(last + 1, &after);

        FpmGallery* g = nullptr;
        ASSERT_EQ(FpmGalleryOpen(path.c_str(), FPM_OPEN_READ, &g), FPM_OK) << FpmLastErrorDetail();
        EXPECT_EQ(FpmGalleryCheck(g), FPM_OK) << FpmLastErrorDetail();
        const auto live = Live(g);
        FpmGalleryClose(g);
        if (live == Stored(done)) {
            next = last + 1;
            ++interruptedBefore;
        } else {
            ASSERT_EQ(live, Stored(after)) << "round " << round << ": neither before nor after operation " << last + 1;
            done = after;
            next = last + 2;
            ++interruptedAfter;
        }
    }
    // The next writer goes on.
    FpmGallery* g = nullptr;
    ASSERT_EQ(FpmGalleryOpen(path.c_str(), FPM_OPEN_WRITE, &g), FPM_OK);
    ASSERT_TRUE(RunOp(g, next));
    ApplyOp(next, &done);
    EXPECT_EQ(Live(g), Stored(done));
    EXPECT_EQ(FpmGalleryCheck(g), FPM_OK);
    FpmGalleryClose(g);
    EXPECT_GT(next, 40) << "the writer made too little progress to test anything";
    RecordProperty("interrupted_before", interruptedBefore);
    RecordProperty("interrupted_after", interruptedAfter);
}

// A reader in another process searches in a loop while the writer adds,
// removes and compacts: every result equals the brute-force ranking of the
// state the reader sees, and no call fails.
TEST(IdFaults, ReaderWhileWriterChangesTheFile) {
    TempDir dir;
    const std::string path = dir.File("g.fpg");
    FpmGallery* w = nullptr;
    ASSERT_EQ(FpmGalleryCreate(path.c_str(), &w), FPM_OK);
    ASSERT_TRUE(RunOp(w, 1));
    int stop[2], report[2];
    ASSERT_EQ(pipe(stop), 0);
    ASSERT_EQ(pipe(report), 0);
    const pid_t child = fork();
    if (child == 0) {
        close(stop[1]);
        close(report[0]);
        FpmGallery* r = nullptr;
        if (FpmGalleryOpen(path.c_str(), FPM_OPEN_READ, &r) != FPM_OK) _exit(2);
        const Bytes probe = TemplateFor(4, 3);
        int searches = 0;
        fd_set none;
        for (;;) {
            if (FpmGalleryRefresh(r) < 0) _exit(3);
            Model model;
            for (const auto& [id, v] : Live(r)) {
                while (static_cast<int64_t>(model.entries.size()) < id) model.Add({"-", {}}), model.removed.back() = true;
                model.Add({v.first, v.second});
            }
            for (int32_t byEntry : {0, 1}) {
                FpmSearchOptions o;
                FpmSearchOptionsInit(&o);
                o.top = 0;
                o.byEntry = byEntry;
                o.threads = 2;
                std::vector<FpmHit> hits(1024);
                const int32_t n = FpmGalleryIdentify(r, probe.data(), probe.size(), &o, hits.data(), 1024);
                if (n < 0) _exit(4);
                hits.resize(static_cast<size_t>(n));
                if (Describe(hits) != Describe(model.Rank(probe, byEntry != 0, 0, 0))) _exit(5);
            }
            ++searches;
            FD_ZERO(&none);
            FD_SET(stop[0], &none);
            timeval zero{0, 0};
            if (select(stop[0] + 1, &none, nullptr, nullptr, &zero) > 0) break;
        }
        (void)!write(report[1], &searches, sizeof searches);
        _exit(0);
    }
    close(stop[0]);
    close(report[1]);
    for (int op = 2; op <= 60; ++op) ASSERT_TRUE(RunOp(w, op)) << op << ": " << FpmLastErrorDetail();
    close(stop[1]);
    int status = 0;
    waitpid(child, &status, 0);
    int searches = 0;
    ASSERT_EQ(read(report[0], &searches, sizeof searches), static_cast<ssize_t>(sizeof searches));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "reader exit " << WEXITSTATUS(status);
    EXPECT_GT(searches, 0);
    FpmGalleryClose(w);
}
