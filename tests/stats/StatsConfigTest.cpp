#include "stats/StatsConfig.h"

#include <gtest/gtest.h>

#include "tests/support/Sandbox.h"

namespace {

using engine::ReadStatsConfig;
using engine::StatsConfig;
using testing_support::Sandbox;

TEST(ReadStatsConfig, ReadsKeyListsAndUrlsUntilTheFirstEmptyValue) {
    Sandbox box;
    const std::string long_url = "http://127.0.0.1:8080/" + std::string(300, 'p');
    const std::string path = box.Write("c.ini",
                                       "[submiteventdownload]\n"
                                       "InputDataKeyWord=DVersion;GameID;;AppVersion\n"
                                       "submitdatakeyword=MachId;Mac;OS\n"
                                       "SubmitUrl=http://a/launchersubmit/eventInfoSubmit\n"
                                       "[SubmitEventDownloadSeveral]\n"
                                       "SubmitUrl=http://a/launchersubmit/eventListSubmit\n"
                                       "SubmitUrl1=" + long_url + "\n"
                                       "SubmitUrl3=http://never-read/\n");
    StatsConfig config;
    ASSERT_TRUE(ReadStatsConfig(path, "SubmitEventDownloadSeveral", &config));
    EXPECT_EQ(config.input_keys, (std::vector<std::string>{"DVersion", "GameID", "AppVersion"}));
    EXPECT_EQ(config.submit_keys, (std::vector<std::string>{"MachId", "Mac", "OS"}));
    ASSERT_EQ(config.server_urls.size(), 2u);
    EXPECT_EQ(config.server_urls[0], "http://a/launchersubmit/eventListSubmit");
    EXPECT_EQ(config.server_urls[1], long_url.substr(0, 259));

    ASSERT_TRUE(ReadStatsConfig(path, "SubmitEventDownload", &config));
    EXPECT_EQ(config.server_urls, (std::vector<std::string>{"http://a/launchersubmit/eventInfoSubmit"}));
}

TEST(ReadStatsConfig, EmptyFirstUrlHidesTheRest) {
    Sandbox box;
    const std::string path = box.Write("c.ini", "[SubmitEventDownloadSeveral]\nSubmitUrl=\nSubmitUrl1=http://b/\n");
    StatsConfig config;
    ASSERT_TRUE(ReadStatsConfig(path, "SubmitEventDownloadSeveral", &config));
    EXPECT_TRUE(config.server_urls.empty());
    EXPECT_TRUE(config.input_keys.empty());
}

TEST(ReadStatsConfig, MissingFileIsReported) {
    Sandbox box;
    StatsConfig config;
    config.server_urls = {"stale"};
    EXPECT_FALSE(ReadStatsConfig(box.File("none.ini"), "SubmitEventDownloadSeveral", &config));
    EXPECT_TRUE(config.server_urls.empty());
}

}  // namespace
