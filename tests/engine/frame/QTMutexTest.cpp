#include "engine/base/QTMutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/Sandbox.h"

namespace {

using engine::QTMutex;

TEST(QTMutex, IsRecursiveForItsOwner) {
    QTMutex mutex;
    EXPECT_TRUE(mutex.Lock());
    EXPECT_TRUE(mutex.Lock());
    EXPECT_TRUE(mutex.TryLock());
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_TRUE(mutex.IsHeldByCurrentThread());
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_EQ(mutex.Owner(), 0u);
    EXPECT_FALSE(mutex.Unlock()) << "a fully released mutex has no owner to release it";
}

TEST(QTMutex, UnlockByNonOwnerIsRefusedAndKeepsTheCount) {
    QTMutex mutex;
    ASSERT_TRUE(mutex.Lock());
    ASSERT_TRUE(mutex.Lock());
    uint64_t owner = mutex.Owner();

    bool unlocked = true;
    bool try_locked = true;
    std::thread other([&] {
        unlocked = mutex.Unlock();
        try_locked = mutex.TryLock();
    });
    other.join();
    EXPECT_FALSE(unlocked);
    EXPECT_FALSE(try_locked) << "TryLock never waits for another owner";
    EXPECT_EQ(mutex.Owner(), owner);

    // Both holds are still there: one release keeps it owned, the second frees it.
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_EQ(mutex.Owner(), owner);
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_EQ(mutex.Owner(), 0u);
}

TEST(QTMutex, UnlockAllReleasesEveryHoldOfTheCaller) {
    QTMutex mutex;
    mutex.Lock();
    mutex.Lock();
    mutex.Lock();
    EXPECT_EQ(mutex.UnlockAll(), 3);
    EXPECT_EQ(mutex.Owner(), 0u);
    EXPECT_EQ(mutex.UnlockAll(), 0);

    std::atomic<bool> got{false};
    std::thread other([&] {
        got = mutex.TryLock();
        if (got) mutex.Unlock();
    });
    other.join();
    EXPECT_TRUE(got);
}

TEST(QTMutex, SerialisesThreads) {
    QTMutex mutex;
    int counter = 0;  // deliberately plain: the sanitizer checks the exclusion
    auto work = [&] {
        for (int i = 0; i < 2000; ++i) {
            mutex.Lock();
            mutex.Lock();
            ++counter;
            mutex.Unlock();
            mutex.Unlock();
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 4000);
}

TEST(QTMutex, DestroyFromANonOwnerWaitsForTheOwner) {
    auto mutex = std::make_unique<QTMutex>();
    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::thread owner([&] {
        mutex->Lock();
        held = true;
        while (!release) std::this_thread::yield();
        mutex->Unlock();
    });
    ASSERT_TRUE(testing_support::WaitFor([&] { return held.load(); }));
    release = true;
    mutex->Destroy();  // blocks until the owner lets go
    owner.join();
    EXPECT_FALSE(mutex->Lock()) << "a destroyed mutex has no handle left";
}

}  // namespace
