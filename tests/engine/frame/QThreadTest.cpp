#include "engine/base/QThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "tests/support/Sandbox.h"

namespace {

using engine::QThread;
using engine::QThreadOwned;
using testing_support::WaitFor;

class CountedOwned final : public QThreadOwned {
public:
    explicit CountedOwned(std::atomic<int>* deleted) : m_deleted(deleted) {}
    ~CountedOwned() override { ++*m_deleted; }

private:
    std::atomic<int>* m_deleted;
};

// Loops until stopped, counting passes; optionally throws while holding
// its own lock twice.
class LoopThread : public QThread {
public:
    ~LoopThread() override { Stop(); }
    void Run() override {
        m_runs_begun.fetch_add(1);
        m_generation_seen = StartGeneration();
        if (m_throw_holding_lock) {
            Lock();
            Lock();
            throw std::runtime_error("run failed");
        }
        while (!IsStopRequested()) {
            m_passes.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    void UpdateProgress() override {}

    std::atomic<int> m_runs_begun{0};
    std::atomic<uint32_t> m_generation_seen{0};
    std::atomic<uint64_t> m_passes{0};
    bool m_throw_holding_lock = false;
};

TEST(QThread, StopOnANeverStartedThreadReturnsAtOnce) {
    LoopThread thread;
    EXPECT_TRUE(thread.Stop());
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(thread.GetThreadId(), 0u);
}

TEST(QThread, StartOnARunningThreadRefusesAndLeavesTheOwnedObject) {
    std::atomic<int> deleted{0};
    LoopThread thread;
    std::unique_ptr<QThreadOwned> first = std::make_unique<CountedOwned>(&deleted);
    ASSERT_TRUE(thread.Start("first", first));
    EXPECT_EQ(first, nullptr);
    EXPECT_NE(thread.GetThreadId(), 0u);

    std::unique_ptr<QThreadOwned> second = std::make_unique<CountedOwned>(&deleted);
    EXPECT_FALSE(thread.Start("second", second));
    EXPECT_NE(second, nullptr) << "a refused Start must not take the object";
    EXPECT_EQ(deleted, 0);

    EXPECT_TRUE(thread.Stop());
    EXPECT_EQ(deleted, 1) << "the run's owned object goes when the run is cleared";
    EXPECT_FALSE(thread.IsRunning());
}

TEST(QThread, QuickStartStopCyclesKeepEachRunIntact) {
    LoopThread thread;
    for (int cycle = 0; cycle < 10; ++cycle) {
        SCOPED_TRACE(cycle);
        ASSERT_TRUE(thread.Start("cycle"));
        ASSERT_TRUE(thread.Stop());
        ASSERT_TRUE(thread.Start("cycle"));
        uint32_t generation = thread.StartGeneration();
        // The first run's late clean-up must not have cleared the second run.
        ASSERT_TRUE(WaitFor([&] { return thread.m_generation_seen == generation; }));
        EXPECT_TRUE(thread.IsRunning());
        uint64_t passes = thread.m_passes;
        EXPECT_TRUE(WaitFor([&] { return thread.m_passes > passes; })) << "the second run keeps working";
        ASSERT_TRUE(thread.Stop());
    }
    EXPECT_EQ(thread.m_runs_begun, 20);
}

TEST(QThread, ConcurrentStartsLetExactlyOneRunBegin) {
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        LoopThread thread;
        std::atomic<int> wins{0};
        auto starter = [&] { wins += thread.Start("race") ? 1 : 0; };
        std::thread a(starter), b(starter);
        a.join();
        b.join();
        EXPECT_EQ(wins, 1);
        EXPECT_TRUE(thread.IsRunning());
        ASSERT_TRUE(thread.Stop());
        EXPECT_EQ(thread.m_runs_begun, 1) << "a superseded thread never runs the body";
    }
}

TEST(QThread, RequestStopAndHasEndedPollARun) {
    LoopThread thread;
    ASSERT_TRUE(thread.Start("poll"));
    uint64_t id = 0;
    EXPECT_TRUE(thread.RequestStop(&id));
    EXPECT_NE(id, 0u);
    EXPECT_TRUE(WaitFor([&] { return thread.HasEnded(id); }));
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_FALSE(thread.RequestStop(&id));
    EXPECT_EQ(id, 0u);
}

TEST(QThread, StoppingAPausedThreadReleasesItWithinASecond) {
    LoopThread thread;
    ASSERT_TRUE(thread.Start("pause"));
    ASSERT_TRUE(thread.SetPause(true));
    EXPECT_TRUE(thread.IsPaused());
    // Parked: the pass count stops moving.
    uint64_t last = thread.m_passes;
    ASSERT_TRUE(WaitFor([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        uint64_t now = thread.m_passes;
        bool still = now == last;
        last = now;
        return still;
    }));

    auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(thread.Stop());
    auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_FALSE(thread.IsRunning());
    // One park step (1 s) plus one stop poll (50 ms), with room for slow builds.
    EXPECT_LT(waited, std::chrono::milliseconds(2500));
}

TEST(QThread, PauseAndResumeContinueTheSameRun) {
    LoopThread thread;
    EXPECT_FALSE(thread.SetPause(true)) << "a thread that does not run cannot pause";
    EXPECT_FALSE(thread.IsPaused());
    ASSERT_TRUE(thread.Start("resume"));
    thread.SetPause(true);
    thread.SetPause(false);
    uint64_t passes = thread.m_passes;
    EXPECT_TRUE(WaitFor([&] { return thread.m_passes > passes + 5; }));
    EXPECT_EQ(thread.m_runs_begun, 1);
}

TEST(QThread, AThrowingRunEndsCleanlyAndReleasesItsLockHolds) {
    LoopThread thread;
    thread.m_throw_holding_lock = true;
    ASSERT_TRUE(thread.Start("throws"));
    ASSERT_TRUE(WaitFor([&] { return !thread.IsRunning(); }));

    std::atomic<bool> locked{false};
    std::thread other([&] {
        locked = thread.Lock();
        thread.Unlock();
    });
    other.join();
    EXPECT_TRUE(locked) << "no hold of the failed run survives it";

    thread.m_throw_holding_lock = false;
    EXPECT_TRUE(thread.Start("again")) << "the object can run again";
    EXPECT_TRUE(thread.Stop());
}

TEST(QThread, StopFromTheThreadItselfDoesNotWait) {
    class SelfStopper final : public QThread {
    public:
        ~SelfStopper() override { Stop(); }
        void Run() override {
            m_result = Stop() ? 1 : 0;
            while (!IsStopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        void UpdateProgress() override {}
        std::atomic<int> m_result{-1};
    } thread;
    ASSERT_TRUE(thread.Start("self"));
    ASSERT_TRUE(WaitFor([&] { return thread.m_result != -1; }));
    EXPECT_EQ(thread.m_result, 0) << "it still runs, so Stop reports false";
    EXPECT_TRUE(thread.Stop());
}

TEST(QThread, AutoDeleteObjectDeletesItselfAfterItsRun) {
    static std::atomic<int> destroyed{0};
    class Once final : public QThread {
    public:
        ~Once() override { ++destroyed; }
        void Run() override {}
        void UpdateProgress() override {}
    };
    destroyed = 0;
    auto* thread = new Once;
    thread->SetAutoDelete(true);
    thread->Start("once");  // may report either way: the run is very short
    EXPECT_TRUE(WaitFor([&] { return destroyed == 1; }));
}

}  // namespace
