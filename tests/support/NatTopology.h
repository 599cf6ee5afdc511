#pragma once
// A small internet with two home networks, built from network namespaces
// for tests that need real NAT (needs root):
//
//   client1 --- router1 ==(NAT)== internet ==(NAT)== router2 --- client2
//   10.1.0.2    10.1.0.1 198.51.100.2   |   203.0.113.2 10.2.0.1    10.2.0.2
//                                   192.0.2.1 (services)
//
// Each router masquerades what leaves its WAN side (nftables) and, like a
// home router's firewall, drops new inbound connections to itself; the
// "internet" namespace forwards between the routers and holds 192.0.2.1 for
// servers (the rendezvous server, a tracker). Namespaces are named after
// the test's pid and removed, with everything in them, when the fixture is
// destroyed. Run(ns, argv) builds the argv that runs a program inside one.
// Used by one test thread.

#include <string>
#include <vector>

namespace testing_support {

class NatTopology {
public:
    enum class Node { Internet, Router1, Router2, Client1, Client2 };

    NatTopology();
    ~NatTopology();
    NatTopology(const NatTopology&) = delete;
    NatTopology& operator=(const NatTopology&) = delete;

    // Empty when built; otherwise why not (no root, no nft, ...): tests skip
    // with this text.
    const std::string& Failure() const { return m_failure; }
    std::string Name(Node node) const;
    std::vector<std::string> Run(Node node, const std::vector<std::string>& argv) const;

    static constexpr const char* ServicesAddress = "192.0.2.1";
    static constexpr const char* Router1Public = "198.51.100.2";
    static constexpr const char* Router2Public = "203.0.113.2";
    static constexpr const char* Client1Address = "10.1.0.2";
    static constexpr const char* Client2Address = "10.2.0.2";

private:
    bool Build();
    bool Do(const std::vector<std::string>& argv);
    bool InNs(Node node, const std::vector<std::string>& argv);

    std::string m_suffix;
    std::vector<std::string> m_created;
    std::string m_failure;
};

}  // namespace testing_support
