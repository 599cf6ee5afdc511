// The listening port and its mapping on the home router: the port choice,
// and the controller front end's start-up against a real router (miniupnpd
// in a network namespace of the test's own), a router that refuses, no
// router at all and a front end that never carries the notifications.

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#include "app/ControllerFrontEnd.h"
#include "app/PortChoice.h"
#include "app/PortForwarding.h"
#include "platform/Socket.h"
#include "tests/app/AppTestSupport.h"
#include "tests/engine/peers/SwarmTestSupport.h"
#include "tests/support/NetworkLab.h"
#include "tests/support/Sandbox.h"

namespace app_test {
namespace {

using namespace std::chrono_literals;
using namespace app;

constexpr uint32_t EventFailed = 11500105;
constexpr uint32_t EventNoMappingNeeded = 11390001;
constexpr uint32_t EventAdded = 11390000;

TEST(PortChoice, TakesTheFirstFreePortFromTheStartSkippingReservedOnes) {
    struct Case {
        const char* name;
        uint32_t random;
        std::set<uint16_t> in_use;
        uint16_t expected;
    };
    const std::array<Case, 5> cases = {{
        {.name = "start is free", .random = 12345 * 10000 + 7, .in_use = {}, .expected = 40008},
        {.name = "start moves past a reserved port", .random = 411, .in_use = {}, .expected = 40413},
        {.name = "reserved run skipped", .random = 419, .in_use = {40420}, .expected = 40424},
        {.name = "wraps from 50000 to 40000", .random = 9999, .in_use = {50000}, .expected = 40000},
        {.name = "wraps past a busy 40000", .random = 9999, .in_use = {50000, 40000, 40001}, .expected = 40002},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint16_t> asked;
        const uint16_t port = ChooseListenPort(c.random, [&](uint16_t p) {
            asked.push_back(p);
            return c.in_use.count(p) != 0;
        });
        EXPECT_EQ(port, c.expected);
        for (uint16_t p : asked) EXPECT_FALSE(IsReservedListenPort(p)) << p;
    }
}

TEST(PortChoice, NoPortWhenEveryOneIsInUse) {
    std::map<uint16_t, int> asked;
    EXPECT_EQ(ChooseListenPort(4321, [&](uint16_t p) {
                  ++asked[p];
                  return true;
              }),
              0);
    // One full round: every port of the range but the reserved ones, once.
    EXPECT_EQ(asked.size(), 10001u - 8u);
    for (const auto& [port, times] : asked) {
        EXPECT_EQ(times, 1) << port;
        EXPECT_GE(port, LowestListenPort);
        EXPECT_LE(port, HighestListenPort);
    }
}

// A public address needs no router: the port is used as it is, no worker
// starts, and the statistics say why.
TEST(PortForwarding, PublicAddressNeedsNoMapping) {
    FakeStats stats;
    PortForwardingEnvironment env;
    env.stats = &stats;
    env.random = [] { return 100u; };
    env.listed_ports = [] { return std::set<uint16_t>{}; };
    env.local_address = [] { return platform::MakeIpv4(172, 32, 0, 5); };
    PortForwarding forwarding(env, [](int, int64_t) { ADD_FAILURE() << "no notification expected"; });
    EXPECT_EQ(forwarding.ChoosePortAndMap(), 40101);
    EXPECT_FALSE(forwarding.Attempted());
    ASSERT_EQ(stats.Codes(), std::vector<uint32_t>{EventNoMappingNeeded});
    EXPECT_EQ(stats.events[0].text, "无需uPnP：本机直通外网172.32.0.5");
}

TEST(PortForwarding, NoFreePortOrNoAddressGivesNoPort) {
    FakeStats stats;
    PortForwardingEnvironment env;
    env.stats = &stats;
    env.listed_ports = [] {
        std::set<uint16_t> all;
        for (uint32_t p = LowestListenPort; p <= HighestListenPort; ++p) all.insert(static_cast<uint16_t>(p));
        return all;
    };
    PortForwarding busy(env, [](int, int64_t) {});
    EXPECT_EQ(busy.ChoosePortAndMap(), 0);
    env.listed_ports = [] { return std::set<uint16_t>{}; };
    env.local_address = [] { return 0u; };
    PortForwarding unknown(env, [](int, int64_t) {});
    EXPECT_EQ(unknown.ChoosePortAndMap(), 0);
    ASSERT_EQ(stats.events.size(), 2u);
    EXPECT_EQ(stats.events[0].text, "没有可用的端口，uPnP失败");
    EXPECT_EQ(stats.events[1].text, "无法获取本地ip，uPnP失败");
    EXPECT_EQ(stats.Count(EventFailed), 2u);
}

// A home network made of namespaces: the client (192.168.77.2, and a second
// machine at .3) behind the router's bridge, the router's WAN side facing an
// "internet" namespace. miniupnpd refuses reserved external addresses (the
// documentation ranges included), so the WAN link uses an ordinary unicast
// address; it joins two namespaces of the test and nothing else.
class RouterLab : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!testing_support::NetworkLab::Available(&why)) GTEST_SKIP() << "no private networks here: " << why;
        m_router = m_lab.AddNamespace("r");
        m_client = m_lab.AddNamespace("c");
        m_neighbour = m_lab.AddNamespace("n");
        m_internet = m_lab.AddNamespace("i");
        ASSERT_FALSE(m_router.empty() || m_client.empty() || m_neighbour.empty() || m_internet.empty())
            << m_lab.Failure();
        ASSERT_TRUE(m_lab.Bridge(m_router, "br0", {{m_client, "192.168.77.2/24"}, {m_neighbour, "192.168.77.3/24"}}))
            << m_lab.Failure();
        ASSERT_TRUE(m_lab.Link(m_router, "wan0", "25.0.0.1/24", m_internet, "eth0", "25.0.0.2/24")) << m_lab.Failure();
        for (const auto& [ns, args] : std::vector<std::pair<std::string, std::vector<std::string>>>{
                 {m_router, {"ip", "addr", "add", "192.168.77.1/24", "dev", "br0"}},
                 {m_router, {"ip", "route", "add", "default", "via", "25.0.0.2"}},
                 {m_client, {"ip", "route", "add", "default", "via", "192.168.77.1"}},
                 {m_neighbour, {"ip", "route", "add", "default", "via", "192.168.77.1"}},
                 {m_router, {"nft", "-f", WriteRuleset()}}}) {
            ASSERT_EQ(m_lab.Run(ns, args).exit_code, 0) << m_lab.Failure();
        }
    }

    // The tables and chains miniupnpd's nftables backend fills in.
    std::string WriteRuleset() {
        return m_box.Write("router.nft",
                           "table inet filter {\n"
                           "  chain miniupnpd { }\n"
                           "  chain prerouting_miniupnpd { }\n"
                           "  chain postrouting_miniupnpd { }\n"
                           "  chain forward { type filter hook forward priority 0; policy accept; jump miniupnpd; }\n"
                           "  chain prerouting { type nat hook prerouting priority -100; policy accept; "
                           "jump prerouting_miniupnpd; }\n"
                           "  chain postrouting { type nat hook postrouting priority 100; policy accept; "
                           "jump postrouting_miniupnpd; }\n"
                           "}\n");
    }

    void StartRouter() {
        const std::string config = m_box.Write("miniupnpd.conf",
                                               "ext_ifname=wan0\n"
                                               "listening_ip=br0\n"
                                               "http_port=5555\n"
                                               "enable_natpmp=no\n"
                                               "enable_upnp=yes\n"
                                               "secure_mode=yes\n"
                                               "system_uptime=yes\n"
                                               "uuid=3f1e3b5a-1d2c-4e8a-9b7f-1a2b3c4d5e6f\n"
                                               "friendly_name=Lab Router\n"
                                               "model_name=LabGate 7\n"
                                               "model_number=7\n"
                                               "upnp_table_name=filter\n"
                                               "upnp_nat_table_name=filter\n"
                                               "allow 1024-65535 192.168.77.0/24 1024-65535\n"
                                               "deny 0-65535 0.0.0.0/0 0-65535\n");
        m_daemon = std::make_unique<swarm_test::Background>(
            std::vector<std::string>{"ip", "netns", "exec", m_router, "miniupnpd", "-f", config, "-d", "-P",
                                     m_box.File("miniupnpd.pid")},
            m_box.File("miniupnpd.log"), m_box.Path().string());
        ASSERT_TRUE(m_daemon->Started());
        ASSERT_TRUE(testing_support::WaitFor(
            [&] { return m_daemon->Log().find("HTTP listening on port") != std::string::npos; }, 10s))
            << m_daemon->Log();
    }

    // The router's own list of mappings, as a UPnP client sees it.
    std::string RouterMappings() { return m_lab.Run(m_client, {"upnpc", "-l"}).output; }

    // A controller front end on a fake engine, mapping with `env`.
    std::unique_ptr<ControllerFrontEnd> FrontEnd(PortForwardingEnvironment env) {
        FrontEndOptions options;
        options.engine = &m_engine;
        options.stats = &m_stats;
        options.data_folder = m_box.File("data");
        options.save_root = m_box.File("disk");
        options.port_forwarding = env;
        auto control = std::make_unique<ControllerFrontEnd>(options);
        return control;
    }

    // Carries the notifications to the controller, as a window does, until
    // `done` holds.
    bool Pump(ControllerFrontEnd& control, const std::function<bool()>& done) {
        return testing_support::WaitFor(
            [&] {
                std::deque<std::pair<int, int64_t>> batch;
                {
                    std::lock_guard<std::mutex> hold(m_lock);
                    batch.swap(m_queue);
                }
                for (const auto& [code, status] : batch) {
                    const std::string notice = control.OnPortForwardNotification(code, status);
                    if (!notice.empty()) m_notices.push_back(notice);
                }
                return done();
            },
            30s);
    }
    void CarryNotifications(ControllerFrontEnd& control) {
        control.SetPortForwardHandler([this](int code, int64_t status) {
            std::lock_guard<std::mutex> hold(m_lock);
            m_queue.emplace_back(code, status);
        });
    }
    std::string EventText(uint32_t code) {
        std::lock_guard<std::mutex> hold(m_stats.mutex);
        for (const FakeStats::Event& e : m_stats.events) {
            if (e.code == code) return e.text;
        }
        return "(none)";
    }
    uint16_t ListenPortGiven() {
        for (const FakeEngine::Call& call : m_engine.calls) {
            if (call.name == "SetListenPort") return static_cast<uint16_t>(std::stoi(call.a));
        }
        return 0;
    }
    static PortForwardingEnvironment ClientEnvironment() {
        PortForwardingEnvironment env;
        env.engine.discover_ms = 1000;
        env.local_address = [] { return platform::MakeIpv4(192, 168, 77, 2); };
        return env;
    }

    testing_support::Sandbox m_box;
    testing_support::NetworkLab m_lab;
    std::string m_router, m_client, m_neighbour, m_internet;
    std::unique_ptr<swarm_test::Background> m_daemon;
    FakeEngine m_engine;
    FakeStats m_stats;
    std::mutex m_lock;
    std::deque<std::pair<int, int64_t>> m_queue;
    std::vector<std::string> m_notices;
};

TEST_F(RouterLab, MapsTheListeningPortAndRemovesItAtExit) {
    StartRouter();
    testing_support::InNamespace inside(m_client);
    ASSERT_TRUE(inside.Entered());
    auto control = FrontEnd(ClientEnvironment());
    CarryNotifications(*control);
    ASSERT_GE(control->Initialize(), 0);
    const uint16_t port = ListenPortGiven();
    ASSERT_GE(port, LowestListenPort);
    ASSERT_TRUE(Pump(*control, [&] { return m_stats.Count(EventAdded) + m_stats.Count(EventFailed) > 0; }));
    ASSERT_EQ(m_stats.Count(EventAdded), 1u) << EventText(EventFailed);
    EXPECT_EQ(m_notices, (std::vector<std::string>{"NAT Device found : Name : <LabGate 7>", "uPnP成功"}));

    const std::string entry =
        "TCP " + std::to_string(port) + "->192.168.77.2:" + std::to_string(port) +
        " 'Tidewell uPnP for P2SP upload/download'";
    EXPECT_NE(RouterMappings().find(entry), std::string::npos) << RouterMappings();
    control->OnExit();
    EXPECT_EQ(RouterMappings().find(entry), std::string::npos);
    control->SetPortForwardHandler({});
}

// The port is taken on the router by another machine: the router answers
// 718 (ConflictInMappingEntry) and the failure names the gateway found.
TEST_F(RouterLab, RefusedMappingGivesTheFailureEvent) {
    StartRouter();
    const testing_support::ProgramResult taken =
        m_lab.Run(m_neighbour, {"upnpc", "-a", "192.168.77.3", "45001", "45001", "TCP"});
    ASSERT_NE(taken.output.find("is redirected to internal 192.168.77.3:45001"), std::string::npos) << taken.output;
    testing_support::InNamespace inside(m_client);
    ASSERT_TRUE(inside.Entered());
    PortForwardingEnvironment env = ClientEnvironment();
    env.random = [] { return 5000u; };  // start port 45001
    env.listed_ports = [] { return std::set<uint16_t>{}; };
    auto control = FrontEnd(env);
    CarryNotifications(*control);
    ASSERT_GE(control->Initialize(), 0);
    EXPECT_EQ(ListenPortGiven(), 45001);
    ASSERT_TRUE(Pump(*control, [&] { return m_stats.Count(EventFailed) > 0; }));
    EXPECT_EQ(EventText(EventFailed), "IGD设备已找到，但是uPnP依然失败");
    EXPECT_EQ(m_stats.Count(EventAdded), 0u);
    control->SetPortForwardHandler({});
}

// Nobody answers the search (the router runs no UPnP service). The address
// 172.31.x.x is private, so the mapping is still tried; it fails for want of
// a gateway.
TEST_F(RouterLab, SilentNetworkGivesTheFailureEvent) {
    testing_support::InNamespace inside(m_client);
    ASSERT_TRUE(inside.Entered());
    PortForwardingEnvironment env = ClientEnvironment();
    env.local_address = [] { return platform::MakeIpv4(172, 31, 255, 254); };
    auto control = FrontEnd(env);
    CarryNotifications(*control);
    ASSERT_GE(control->Initialize(), 0);
    EXPECT_GE(ListenPortGiven(), LowestListenPort);
    ASSERT_TRUE(Pump(*control, [&] { return m_stats.Count(EventFailed) > 0; }));
    EXPECT_EQ(EventText(EventFailed), "uPnP失败，因为没有IGD设备信息");
    EXPECT_EQ(m_notices.front(), "NAT device ^Not^ found..");
    control->SetPortForwardHandler({});
}

// The search's result never reaches the controller (no window carries it):
// the mapping gives up after its wait, here shortened by the setting.
TEST_F(RouterLab, UnseenSearchTimesOut) {
    testing_support::InNamespace inside(m_client);
    ASSERT_TRUE(inside.Entered());
    PortForwardingEnvironment env = ClientEnvironment();
    env.engine.device_wait_ms = 300;
    auto control = FrontEnd(env);
    ASSERT_GE(control->Initialize(), 0);
    ASSERT_TRUE(testing_support::WaitFor([&] { return m_stats.Count(EventFailed) > 0; }, 10s));
    EXPECT_EQ(EventText(EventFailed), "uPnP失败，获取IGD设备超时");
}

}  // namespace
}  // namespace app_test
