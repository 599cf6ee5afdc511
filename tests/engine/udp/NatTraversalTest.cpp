// Real NAT: two engine UDP servers, each in a client namespace behind its
// own masquerading router, and the rendezvous server on the "internet"
// between them. Needs root for the namespaces; skips with the reason
// otherwise.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/LineProcess.h"
#include "tests/support/NatTopology.h"

namespace {

using testing_support::LineProcess;
using testing_support::NatTopology;
using Node = NatTopology::Node;
using namespace std::chrono_literals;

constexpr const char* RendezvousPort = "18082";
constexpr const char* IdA = "0a0a0a0a0a0a0a0a";
constexpr const char* IdB = "0b0b0b0b0b0b0b0b";

class NatTraversalTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_net = std::make_unique<NatTopology>();
        if (!m_net->Failure().empty()) GTEST_SKIP() << "real NAT needs network namespaces: " << m_net->Failure();
        m_rendezvous = std::make_unique<LineProcess>(m_net->Run(
            Node::Internet, {TIDEWELL_RENDEZVOUS, "--address", NatTopology::ServicesAddress, "--port", RendezvousPort,
                             "--verbose"}));
        ASSERT_FALSE(m_rendezvous->WaitForPrefix("listening on").empty()) << "the rendezvous server did not start";
    }

    std::unique_ptr<LineProcess> StartNode(Node where, const char* id, const char* local) {
        auto node = std::make_unique<LineProcess>(
            m_net->Run(where, {TIDEWELL_UDP_NODE, "--server", NatTopology::ServicesAddress, "--server-port",
                               RendezvousPort, "--port", "8000", "--id", id, "--local", local}));
        EXPECT_FALSE(node->WaitForPrefix("ready").empty());
        return node;
    }

    // Asks for the status until it reads `expected` (bounded).
    static bool StatusBecomes(LineProcess& node, const std::string& expected) {
        for (int i = 0; i < 50; ++i) {
            node.WriteLine("status");
            if (node.WaitForPrefix("status", 2s) == expected) return true;
            std::this_thread::sleep_for(200ms);
        }
        return false;
    }

    // Sends probes from `from` to `host:port` until `to` reports one (bounded).
    static bool ProbeArrives(LineProcess& from, LineProcess& to, const std::string& target, const std::string& seen) {
        for (int i = 0; i < 20; ++i) {
            from.WriteLine("send " + target);
            if (!to.WaitForPrefix("probe " + seen, 500ms).empty()) return true;
        }
        return false;
    }

    size_t PingsFrom(const std::string& endpoint) const {
        return m_rendezvous->CountPrefix(endpoint + " sent 8 bytes");
    }

    std::unique_ptr<NatTopology> m_net;
    std::unique_ptr<LineProcess> m_rendezvous;
};

TEST_F(NatTraversalTest, NodesBehindTwoRoutersLearnTheirEndpointsAndPunchAHole) {
    auto a = StartNode(Node::Client1, IdA, NatTopology::Client1Address);
    auto b = StartNode(Node::Client2, IdB, NatTopology::Client2Address);
    ASSERT_TRUE(StatusBecomes(*a, "status nat=1 public=198.51.100.2:8000 local=10.1.0.2"));
    ASSERT_TRUE(StatusBecomes(*b, "status nat=1 public=203.0.113.2:8000 local=10.2.0.2"));

    // Without a punch, B's router lets nothing from A in, though A knows
    // where B is seen from.
    for (int i = 0; i < 4; ++i) a->WriteLine("send 203.0.113.2 8000");
    EXPECT_TRUE(b->WaitForPrefix("probe", 2s).empty()) << "a datagram passed a router without a punch";

    // A looks B up: the reply names B's public endpoint, and the CALL_ME
    // makes B punch towards A, opening B's router.
    a->WriteLine(std::string("lookup ") + IdB);
    EXPECT_FALSE(a->WaitForPrefix(std::string("resolved ") + IdB + " 203.0.113.2:8000", 5s).empty());
    EXPECT_TRUE(ProbeArrives(*a, *b, "203.0.113.2 8000", std::string(IdA) + " from 198.51.100.2:8000"));
    EXPECT_TRUE(ProbeArrives(*b, *a, "198.51.100.2 8000", std::string(IdB) + " from 203.0.113.2:8000"));
    // B's PUNCHes reach A once A's own datagrams opened A's router.
    EXPECT_FALSE(a->WaitForPrefix(std::string("punch ") + IdB + " from 203.0.113.2:8000", 8s).empty());
}

TEST_F(NatTraversalTest, WithoutNatTheLocalAddressIsReportedAndNoKeepAliveIsSent) {
    auto direct = StartNode(Node::Internet, "0c0c0c0c0c0c0c0c", NatTopology::ServicesAddress);
    auto behind = StartNode(Node::Client1, IdA, NatTopology::Client1Address);
    ASSERT_TRUE(StatusBecomes(*direct, "status nat=0 public=192.0.2.1:8000 local=192.0.2.1"));
    ASSERT_TRUE(StatusBecomes(*behind, "status nat=1 public=198.51.100.2:8000 local=10.1.0.2"));
    // The nodes' keep-alive interval is 10 s: wait a little longer, reading
    // the rendezvous server's log as it goes. The node without NAT sent its
    // one PING before it knew its public address; the other one keeps its
    // router's mapping alive.
    m_rendezvous->WaitForLine([](const std::string&) { return false; }, 12s);
    EXPECT_EQ(PingsFrom("192.0.2.1:8000"), 1u);
    EXPECT_GE(PingsFrom("198.51.100.2:8000"), 2u);
}

}  // namespace
