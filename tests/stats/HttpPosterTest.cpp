#include "stats/HttpPoster.h"

#include <gtest/gtest.h>

#include "stats/FormEncoding.h"
#include "tests/stats/CollectServer.h"
#include "tests/support/Sandbox.h"

namespace {

using engine::HttpPoster;
using testing_support::CollectServer;
using testing_support::Sandbox;

TEST(HttpPoster, PostsTheBodyAndCollectsTheReply) {
    Sandbox box;
    CollectServer server(box.Path().string(), CollectServer::Mode::Error);
    ASSERT_TRUE(server.Started());
    const std::string body = engine::FormEncodeData("[{\"code\":\"1\",\"info\":\"x y\"}]\n");
    auto result = HttpPoster::Post(server.BatchUrl(), body, 6, 6);
    EXPECT_TRUE(result.transferred) << result.error;
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(result.reply, "{\"error\":1}");
    ASSERT_EQ(server.RequestBodies().size(), 1u);
    EXPECT_EQ(server.RequestBodies()[0], body);
}

TEST(HttpPoster, RefusedConnectionIsAFailureWithAReason) {
    Sandbox box;
    std::string url;
    {
        CollectServer server(box.Path().string(), CollectServer::Mode::Ok);
        ASSERT_TRUE(server.Started());
        url = server.BatchUrl();
    }  // stopped: nothing listens on its port any more
    auto result = HttpPoster::Post(url, "data=", 6, 6);
    EXPECT_FALSE(result.transferred);
    EXPECT_FALSE(result.error.empty());
}

TEST(HttpPoster, ServerThatNeverAnswersEndsAtTheTimeout) {
    Sandbox box;
    CollectServer server(box.Path().string(), CollectServer::Mode::Hang);
    ASSERT_TRUE(server.Started());
    auto result = HttpPoster::Post(server.BatchUrl(), "data=", 1, 1);
    EXPECT_FALSE(result.transferred);
    EXPECT_EQ(server.RequestBodies().size(), 1u);
}

}  // namespace
