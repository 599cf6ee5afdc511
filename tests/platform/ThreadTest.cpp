#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(ThreadName, LinuxKeepsFifteenCharacters) {
    std::string seen;
    uint64_t id = 0;
    std::thread t([&] {
        platform::SetCurrentThreadName("ContinueDownload");
        seen = platform::CurrentThreadName();
        id = platform::CurrentThreadId();
    });
    t.join();
    EXPECT_EQ(seen, "ContinueDownloa");
    EXPECT_NE(id, platform::CurrentThreadId());
}

}  // namespace
