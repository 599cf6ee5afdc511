#include "engine/pieces/QBufferPool.h"

#include <gtest/gtest.h>

#include <array>

namespace engine {
namespace {

TEST(QBufferPoolAlloc, ReusesIdleBuffersWithinTheTolerance) {
    struct Case {
        const char* name;
        int64_t idle_size;
        int64_t request;
        bool reused;
    };
    const std::array<Case, 6> cases{{
        {.name = "exact size", .idle_size = 100, .request = 100, .reused = true},
        {.name = "within min(n, 1024)", .idle_size = 150, .request = 100, .reused = true},
        {.name = "upper edge excluded", .idle_size = 200, .request = 100, .reused = false},
        {.name = "far larger", .idle_size = 300, .request = 100, .reused = false},
        {.name = "smaller never", .idle_size = 99, .request = 100, .reused = false},
        {.name = "tolerance capped at 1024", .idle_size = 100000 + 1024, .request = 100000, .reused = false},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QBufferPool pool;
        uint8_t* first = pool.Alloc(c.idle_size);
        pool.Free(first);
        uint8_t* second = pool.Alloc(c.request);
        EXPECT_EQ(second == first, c.reused);
        EXPECT_EQ(second[c.request], 0) << "every buffer is terminated after the bytes asked for";
        pool.Free(second);
    }
}

TEST(QBufferPoolAlloc, PrefersAnExactBufferOverALargerCandidate) {
    QBufferPool pool;
    uint8_t* larger = pool.Alloc(150);
    uint8_t* exact = pool.Alloc(100);
    pool.Free(larger);
    pool.Free(exact);
    EXPECT_EQ(pool.Alloc(100), exact);
    EXPECT_EQ(pool.ReuseCount(), 1);
}

TEST(QBufferPoolUsage, CountsBytesInUseAndIdle) {
    QBufferPool pool;
    uint8_t* a = pool.Alloc(1000);
    uint8_t* b = pool.Alloc(0);  // counts as 1
    int64_t in_use = 0;
    EXPECT_EQ(pool.Usage(&in_use), 1001);
    EXPECT_EQ(in_use, 1001);
    pool.Free(a);
    pool.Free(a);  // a second free of the same buffer changes nothing
    pool.Free(nullptr);
    EXPECT_EQ(pool.Usage(&in_use), 1001);
    EXPECT_EQ(in_use, 1);
    EXPECT_EQ(pool.TryUsage(&in_use), 1001);
    pool.Free(b);
}

TEST(QBufferPoolTrim, KeepsIdleBuffersUpToTheLimit) {
    QBufferPool pool;
    std::vector<uint8_t*> list{pool.Alloc(100), pool.Alloc(200), pool.Alloc(300)};
    pool.FreeList(list);
    EXPECT_TRUE(list.empty());
    pool.Trim(350);
    int64_t in_use = 0;
    EXPECT_EQ(pool.Usage(&in_use), 300);  // 100 + 200 kept, 300 would exceed
    EXPECT_EQ(pool.IdleCount(), 2);
    pool.Trim(0);
    EXPECT_EQ(pool.Usage(&in_use), 0);
}

TEST(QBufferPoolCheck, TrimsToAFifthOfTheBytesInUseBelowTheThreshold) {
    QBufferPool pool;
    // 2 MiB idle, 100 KiB in use: 4 % in use, below 15 %.
    std::vector<uint8_t*> idle;
    for (int k = 0; k < 32; ++k) idle.push_back(pool.Alloc(65536));
    uint8_t* used = pool.Alloc(102400);
    pool.FreeList(idle);
    EXPECT_FALSE(BufferPools::Check(pool, BufferPools::CheckKind::BlockRequests, 0));
    EXPECT_TRUE(BufferPools::Check(pool, BufferPools::CheckKind::BlockRequests, 15));
    int64_t in_use = 0;
    EXPECT_LE(pool.Usage(&in_use) - in_use, 102400 / 5);
    // Small pools are left alone.
    EXPECT_FALSE(BufferPools::Check(pool, BufferPools::CheckKind::BlockRequests, 15));
    pool.Free(used);
}

// The thresholds of the work thread's two checks, on real pools of 64 KiB
// buffers: only large, underused pools are trimmed, to a fifth of their use.
TEST(QBufferPoolCheck, TrimsOnlyLargeUnderusedPools) {
    using Kind = BufferPools::CheckKind;
    struct Case {
        const char* name;
        Kind kind;
        int total_kib;
        int in_use_kib;
        int threshold;
        bool trims;
    };
    const Case cases[] = {
        {"threshold 0 does nothing", Kind::BlockRequests, 4096, 0, 0, false},
        {"requests: 1 MiB in all is small", Kind::BlockRequests, 1024, 0, 15, false},
        {"requests: 9% used of 2 MiB", Kind::BlockRequests, 2048, 192, 15, true},
        {"requests: 22% used is enough", Kind::BlockRequests, 2048, 448, 15, false},
        {"sockets: 1 MiB idle is small", Kind::SocketBuffers, 1088, 64, 35, false},
        {"sockets: 2 MiB idle, 33% used", Kind::SocketBuffers, 3072, 1024, 35, true},
        {"sockets: 2 MiB idle, 50% used", Kind::SocketBuffers, 4096, 2048, 35, false},
    };
    constexpr int Unit = 65536;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QBufferPool pool;
        std::vector<uint8_t*> used, idle;
        for (int k = 0; k < c.in_use_kib / 64; ++k) used.push_back(pool.Alloc(Unit));
        for (int k = 0; k < (c.total_kib - c.in_use_kib) / 64; ++k) idle.push_back(pool.Alloc(Unit));
        pool.FreeList(idle);
        EXPECT_EQ(BufferPools::Check(pool, c.kind, c.threshold), c.trims);
        int64_t in_use = 0;
        const int64_t idle_after = pool.Usage(&in_use) - in_use;
        if (c.trims) {
            EXPECT_LE(idle_after, int64_t{c.in_use_kib} * 1024 / 5);
        } else {
            EXPECT_EQ(idle_after, int64_t{c.total_kib - c.in_use_kib} * 1024);
        }
        pool.FreeList(used);
    }
}

}  // namespace
}  // namespace engine
