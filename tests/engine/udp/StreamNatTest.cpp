// Two engines in two home networks behind masquerading routers, with every
// TCP packet between the homes dropped: the leecher finds the seeder through
// a tracker and the rendezvous server on the "internet" and downloads the
// whole torrent over a UDP stream through both NATs, on a clean path and on
// one that loses a share of the UDP datagrams between the homes.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/engine/peers/SwarmTestSupport.h"
#include "tests/support/LineProcess.h"
#include "tests/support/NatTopology.h"
#include "tests/support/Process.h"
#include "tests/support/Sandbox.h"

namespace {

using testing_support::LineProcess;
using testing_support::NatTopology;
using Node = NatTopology::Node;

constexpr const char* RendezvousPort = "18082";
constexpr const char* TrackerPort = "16969";

std::string Hex(const std::array<uint8_t, 20>& bytes) {
    std::string text;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        text += two;
    }
    return text;
}

size_t CountOf(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The share of UDP datagrams the internet drops between the two homes, in
// percent (the kernel here has no netem: an nftables rule draws the loss).
class StreamNat : public testing::TestWithParam<int> {};

TEST_P(StreamNat, TwoEnginesExchangeATorrentOverStreamsOnlyThroughTwoNats) {
    const int loss = GetParam();
    NatTopology net;
    if (!net.Failure().empty()) GTEST_SKIP() << "real NAT needs network namespaces: " << net.Failure();
    // No TCP between the two homes, in either direction; UDP between them
    // lost at random at the given rate. Traffic to the services (tracker,
    // rendezvous server) is the internet's own and is not forwarded.
    const std::string one = NatTopology::Router1Public;
    const std::string two = NatTopology::Router2Public;
    std::vector<std::string> rules{
        "add table inet notcp", "add chain inet notcp nocross { type filter hook forward priority 0 ; }",
        "add rule inet notcp nocross ip saddr " + one + " ip daddr " + two + " meta l4proto tcp drop",
        "add rule inet notcp nocross ip saddr " + two + " ip daddr " + one + " meta l4proto tcp drop"};
    if (loss > 0) {
        rules.push_back("add rule inet notcp nocross meta l4proto udp numgen random mod 100 < " +
                        std::to_string(loss) + " drop");
    }
    for (const std::string& command : rules) {
        const testing_support::ProgramResult nft =
            testing_support::RunProgram(net.Run(Node::Internet, {"nft", command}));
        ASSERT_EQ(nft.exit_code, 0) << command << ": " << nft.output;
    }

    testing_support::Sandbox box;
    const std::string content = http_test::RandomContent(16u << 20, 16);
    const std::string announce = std::string("http://") + NatTopology::ServicesAddress + ":" + TrackerPort + "/announce";
    const swarm_test::Torrent torrent = swarm_test::MakeTorrent(content, "f.bin", 262144, {announce});
    const std::string torrent_path = box.Write("f.torrent", torrent.bytes);
    for (const char* folder : {"seed", "leech", "work-a", "work-b", "tracker"}) {
        std::filesystem::create_directories(box.File(folder));
    }
    http_test::WriteFile(box.File("seed/f.bin"), content);

    // The tracker changes root into its folder and drops to "nobody".
    box.Write("tracker/whitelist.txt", Hex(torrent.info_hash) + "\n");
    box.Write("tracker/opentracker.conf", "access.whitelist whitelist.txt\n");
    chmod(box.Path().c_str(), 0755);
    chmod(box.File("tracker").c_str(), 0755);
    chmod(box.File("tracker/whitelist.txt").c_str(), 0644);
    chmod(box.File("tracker/opentracker.conf").c_str(), 0644);
    swarm_test::Background tracker(
        net.Run(Node::Internet, {"opentracker", "-i", NatTopology::ServicesAddress, "-p", TrackerPort, "-P",
                                 TrackerPort, "-f", box.File("tracker/opentracker.conf"), "-d", box.File("tracker"),
                                 "-u", "nobody"}),
        box.File("tracker.log"), box.Path().string());
    ASSERT_TRUE(tracker.Started());
    LineProcess rendezvous(net.Run(Node::Internet, {TIDEWELL_RENDEZVOUS, "--address", NatTopology::ServicesAddress,
                                                    "--port", RendezvousPort}));
    ASSERT_FALSE(rendezvous.WaitForPrefix("listening on").empty()) << "the rendezvous server did not start";

    const std::string server = std::string(NatTopology::ServicesAddress) + ":" + RendezvousPort;
    auto fetch = [&](Node where, const std::string& target, const std::string& work, const char* address,
                     std::vector<std::string> extra) {
        std::vector<std::string> argv = {TIDEWELL_FETCH, "--target", target, "--torrent", torrent_path,
                                         "--work", work, "--bt-limit", "8", "--listen",
                                         std::string(address) + ":6881", "--rendezvous", server, "--log", "13",
                                         "--quiet"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return net.Run(where, argv);
    };
    const std::string stop = box.File("stop-seeding");
    swarm_test::Background seeder(fetch(Node::Client1, box.File("seed/f.bin"), box.File("work-a"),
                                        NatTopology::Client1Address, {"--seed-until", stop, "--timeout", "400"}),
                                  box.File("seeder.log"), box.Path().string());
    swarm_test::Background leecher(fetch(Node::Client2, box.File("leech/f.bin"), box.File("work-b"),
                                         NatTopology::Client2Address, {"--timeout", "300"}),
                                   box.File("leecher.log"), box.Path().string());
    ASSERT_TRUE(seeder.Started() && leecher.Started());
    int code = -1;
    ASSERT_TRUE(leecher.Wait(320000, &code)) << leecher.Log();
    const std::string log = leecher.Log();
    EXPECT_EQ(code, 0) << log << "\nseeder:\n" << seeder.Log() << "\ntracker:\n" << tracker.Log();
    EXPECT_TRUE(http_test::ReadFile(box.File("leech/f.bin")) == content);
    // Whichever node the tracker told about the other first connects; with
    // TCP dropped between the homes it can only have been over a stream.
    EXPECT_NE((log + seeder.Log()).find("connecting over a UDP stream"), std::string::npos) << log;
    EXPECT_NE(log.find("bytes web 0 peer"), std::string::npos) << log;
    // The tracker lists each node too, at its router's address: at most the
    // one attempt made before the node learnt that address is wasted on it.
    EXPECT_LE(CountOf(log, std::string("BT peer ") + NatTopology::Router2Public + " connecting"), 1u) << log;
    EXPECT_LE(CountOf(seeder.Log(), std::string("BT peer ") + NatTopology::Router1Public + " connecting"), 1u)
        << seeder.Log();

    box.Write("stop-seeding", "");
    EXPECT_TRUE(seeder.Wait(30000, &code)) << seeder.Log();
}

INSTANTIATE_TEST_SUITE_P(Loss, StreamNat, testing::Values(0, 5),
                         [](const testing::TestParamInfo<int>& param) {
                             return std::to_string(param.param) + "Percent";
                         });

}  // namespace
