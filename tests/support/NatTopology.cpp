#include "tests/support/NatTopology.h"

#include <unistd.h>

#include "tests/support/Process.h"

namespace testing_support {

namespace {

const char* const Prefixes[] = {"twnat-inet-", "twnat-r1-", "twnat-r2-", "twnat-c1-", "twnat-c2-"};

std::string Join(const std::vector<std::string>& argv) {
    std::string out;
    for (const std::string& a : argv) out += (out.empty() ? "" : " ") + a;
    return out;
}

}  // namespace

NatTopology::NatTopology() : m_suffix(std::to_string(getpid())) {
    if (geteuid() != 0) {
        m_failure = "network namespaces need root";
        return;
    }
    if (!Build() && m_failure.empty()) m_failure = "the topology could not be built";
}

NatTopology::~NatTopology() {
    for (const std::string& ns : m_created) RunProgram({"ip", "netns", "del", ns});
}

std::string NatTopology::Name(Node node) const { return Prefixes[static_cast<int>(node)] + m_suffix; }

std::vector<std::string> NatTopology::Run(Node node, const std::vector<std::string>& argv) const {
    std::vector<std::string> out{"ip", "netns", "exec", Name(node)};
    out.insert(out.end(), argv.begin(), argv.end());
    return out;
}

bool NatTopology::Do(const std::vector<std::string>& argv) {
    const ProgramResult r = RunProgram(argv);
    if (r.exit_code == 0) return true;
    m_failure = Join(argv) + " failed (" + std::to_string(r.exit_code) + "): " + r.output;
    return false;
}

bool NatTopology::InNs(Node node, const std::vector<std::string>& argv) { return Do(Run(node, argv)); }

bool NatTopology::Build() {
    using N = Node;
    for (N n : {N::Internet, N::Router1, N::Router2, N::Client1, N::Client2}) {
        RunProgram({"ip", "netns", "del", Name(n)});  // a leftover of a crashed run with this pid
        if (!Do({"ip", "netns", "add", Name(n)})) return false;
        m_created.push_back(Name(n));
        if (!InNs(n, {"ip", "link", "set", "lo", "up"})) return false;
    }
    struct Link {
        N a;
        const char* a_name;
        const char* a_address;
        N b;
        const char* b_name;
        const char* b_address;
    };
    const Link links[] = {
        {N::Router1, "wan0", "198.51.100.2/24", N::Internet, "i1", "198.51.100.1/24"},
        {N::Router2, "wan0", "203.0.113.2/24", N::Internet, "i2", "203.0.113.1/24"},
        {N::Router1, "lan0", "10.1.0.1/24", N::Client1, "eth0", "10.1.0.2/24"},
        {N::Router2, "lan0", "10.2.0.1/24", N::Client2, "eth0", "10.2.0.2/24"},
    };
    for (const Link& l : links) {
        if (!Do({"ip", "link", "add", l.a_name, "netns", Name(l.a), "type", "veth", "peer", "name", l.b_name,
                 "netns", Name(l.b)})) {
            return false;
        }
        if (!InNs(l.a, {"ip", "addr", "add", l.a_address, "dev", l.a_name}) ||
            !InNs(l.b, {"ip", "addr", "add", l.b_address, "dev", l.b_name}) ||
            !InNs(l.a, {"ip", "link", "set", l.a_name, "up"}) || !InNs(l.b, {"ip", "link", "set", l.b_name, "up"})) {
            return false;
        }
    }
    if (!InNs(N::Internet, {"ip", "addr", "add", std::string(ServicesAddress) + "/32", "dev", "lo"})) return false;
    const std::pair<N, const char*> routes[] = {{N::Router1, "198.51.100.1"},
                                                {N::Router2, "203.0.113.1"},
                                                {N::Client1, "10.1.0.1"},
                                                {N::Client2, "10.2.0.1"}};
    for (const auto& [n, via] : routes) {
        if (!InNs(n, {"ip", "route", "add", "default", "via", via})) return false;
    }
    for (N n : {N::Internet, N::Router1, N::Router2}) {
        if (!InNs(n, {"sysctl", "-qw", "net.ipv4.ip_forward=1"})) return false;
    }
    for (N router : {N::Router1, N::Router2}) {
        // Masquerade towards the internet. The input filter drops what
        // nobody asked for before connection tracking keeps a record of it:
        // without it, a peer's early PUNCH would leave an entry that makes
        // the masquerade move this side's next datagram to another port.
        const std::vector<std::vector<std::string>> rules{
            {"nft", "add", "table", "ip", "nat"},
            {"nft", "add", "chain", "ip", "nat", "post", "{ type nat hook postrouting priority 100; }"},
            {"nft", "add", "rule", "ip", "nat", "post", "oifname", "wan0", "masquerade"},
            {"nft", "add", "table", "ip", "filter"},
            {"nft", "add", "chain", "ip", "filter", "input", "{ type filter hook input priority 0; policy accept; }"},
            {"nft", "add", "rule", "ip", "filter", "input", "iifname", "wan0", "ct", "state", "new", "drop"},
        };
        for (const auto& rule : rules) {
            if (!InNs(router, rule)) return false;
        }
    }
    return true;
}

}  // namespace testing_support
