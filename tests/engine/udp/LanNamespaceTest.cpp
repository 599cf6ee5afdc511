// Two engines on one LAN segment (two network namespaces joined by a bridge),
// with no tracker that answers and no web source: they find each other by
// multicast alone, and one downloads the whole torrent from the other.

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/engine/peers/SwarmTestSupport.h"
#include "tests/support/NetworkLab.h"
#include "tests/support/Sandbox.h"

namespace lan_test {
namespace {

TEST(LanNamespaces, TwoEnginesFindEachOtherAndOneDownloadsFromTheOther) {
    std::string why;
    if (!testing_support::NetworkLab::Available(&why)) GTEST_SKIP() << "no private networks here: " << why;
    testing_support::NetworkLab lab;
    const std::string seeder_ns = lab.AddNamespace("a");
    const std::string leecher_ns = lab.AddNamespace("b");
    const std::string segment = lab.AddNamespace("sw");
    ASSERT_FALSE(seeder_ns.empty() || leecher_ns.empty() || segment.empty()) << lab.Failure();
    ASSERT_TRUE(lab.Bridge(segment, "br0", {{seeder_ns, "10.77.0.1/24"}, {leecher_ns, "10.77.0.2/24"}}))
        << lab.Failure();
    // Multicast leaves by the route for 224.0.0.0/4.
    for (const std::string& ns : {seeder_ns, leecher_ns}) {
        ASSERT_EQ(lab.Run(ns, {"ip", "route", "add", "224.0.0.0/4", "dev", "eth0"}).exit_code, 0) << lab.Failure();
    }

    testing_support::Sandbox box;
    const std::string content = http_test::RandomContent(64u << 20, 64);
    // The only tracker is a closed port inside the namespace.
    const swarm_test::Torrent torrent =
        swarm_test::MakeTorrent(content, "f.bin", 262144, {"http://127.0.0.1:1/announce"});
    const std::string torrent_path = box.Write("f.torrent", torrent.bytes);
    for (const char* folder : {"seed", "leech", "work-a", "work-b"}) std::filesystem::create_directories(box.File(folder));
    http_test::WriteFile(box.File("seed/f.bin"), content);

    auto fetch = [&](const std::string& ns, const std::string& target, const std::string& work,
                     const std::string& listen, std::vector<std::string> extra) {
        std::vector<std::string> argv = {"ip",        "netns", "exec",   ns,         TIDEWELL_FETCH, "--target",
                                         target,      "--torrent", torrent_path, "--work", work,       "--bt-limit",
                                         "8",         "--listen",  listen,       "--quiet"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    };
    const std::string stop = box.File("stop-seeding");
    swarm_test::Background seeder(fetch(seeder_ns, box.File("seed/f.bin"), box.File("work-a"), "10.77.0.1:6881",
                                        {"--seed-until", stop, "--timeout", "300"}),
                                  box.File("seeder.log"), box.Path().string());
    swarm_test::Background leecher(fetch(leecher_ns, box.File("leech/f.bin"), box.File("work-b"), "10.77.0.2:6881",
                                         {"--timeout", "180"}),
                                   box.File("leecher.log"), box.Path().string());
    ASSERT_TRUE(seeder.Started() && leecher.Started());
    int code = -1;
    ASSERT_TRUE(leecher.Wait(200000, &code)) << leecher.Log();
    EXPECT_EQ(code, 0) << leecher.Log() << "\nseeder:\n" << seeder.Log();
    EXPECT_TRUE(http_test::ReadFile(box.File("leech/f.bin")) == content);
    EXPECT_NE(leecher.Log().find("bytes web 0 peer"), std::string::npos) << leecher.Log();

    box.Write("stop-seeding", "");
    EXPECT_TRUE(seeder.Wait(30000, &code)) << seeder.Log();
}

}  // namespace
}  // namespace lan_test
