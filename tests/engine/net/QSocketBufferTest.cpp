#include "engine/net/QSocketBuffer.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace {

using engine::QSocketBuffer;

// A buffer of `capacity` holding `held` bytes 0, 1, 2, ...
QSocketBuffer Filled(size_t capacity, size_t held) {
    QSocketBuffer buffer(64 * 1024 * 1024);
    EXPECT_TRUE(buffer.Reserve(capacity, 0));
    std::vector<uint8_t> bytes(held);
    for (size_t i = 0; i < held; ++i) bytes[i] = static_cast<uint8_t>(i);
    EXPECT_TRUE(buffer.Append(bytes.data(), bytes.size(), 0));
    EXPECT_EQ(buffer.Capacity(), capacity);
    return buffer;
}

TEST(QSocketBufferConsume, ShrinkRulesTable) {
    struct Case {
        const char* name;
        size_t capacity;
        size_t held;
        int64_t consume;
        bool keep;
        size_t capacity_after;
    };
    const std::array cases = {
        Case{"nearly empty large block drops to 1 KiB", 100000, 100, 90, false, 1024},
        Case{"content of 2000 in 16 KiB keeps 1 KiB slack", 16384, 3000, 1000, false, 3024},
        Case{"small block only moves", 4096, 100, 90, false, 4096},
        Case{"ratio below six only moves", 60000, 20000, 5000, false, 60000},
        Case{"over 2 MiB spare shrinks to content plus a tenth", 6000000, 2000000, 500000, false, 1650000},
        Case{"keep never reallocates", 100000, 100, 90, true, 100000},
        Case{"everything consumed frees", 100000, 100, 100, false, 0},
        Case{"negative count consumes everything", 100000, 100, -1, false, 0},
        Case{"over-consumption stops at zero", 8192, 10, 500, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QSocketBuffer buffer = Filled(c.capacity, c.held);
        buffer.Consume(c.consume, c.keep);
        EXPECT_EQ(buffer.Capacity(), c.capacity_after);
        const size_t removed = c.consume < 0 ? c.held : std::min<size_t>(c.consume, c.held);
        ASSERT_EQ(buffer.Count(), c.held - removed);
        // The rest moved to the front intact and stays terminated.
        for (size_t i = 0; i < buffer.Count(); ++i) {
            ASSERT_EQ(buffer.Data()[i], static_cast<uint8_t>(removed + i));
        }
        EXPECT_EQ(buffer.Data()[buffer.Count()], 0);
    }
}

TEST(QSocketBufferGrowth, GrowsWithSlackAndStopsAtTheCap) {
    QSocketBuffer buffer(10000);
    ASSERT_TRUE(buffer.Reserve(100, 2048));
    EXPECT_EQ(buffer.Capacity(), 2148u);
    const std::string chunk(3000, 'x');
    const auto* data = reinterpret_cast<const uint8_t*>(chunk.data());
    ASSERT_TRUE(buffer.Append(data, chunk.size(), 1024));
    EXPECT_EQ(buffer.Capacity(), 2148u + 3000 + 1024);
    ASSERT_TRUE(buffer.Append(data, chunk.size(), 1024));
    ASSERT_TRUE(buffer.Append(data, chunk.size(), 1024));
    EXPECT_EQ(buffer.Capacity(), 10000u);
    // 9000 held; 3000 more would pass the cap: nothing is appended.
    EXPECT_FALSE(buffer.Append(data, chunk.size(), 1024));
    EXPECT_EQ(buffer.Count(), 9000u);
    EXPECT_EQ(buffer.Data()[9000], 0);
}

}  // namespace
