#include "tests/support/NetworkLab.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace testing_support {

NetworkLab::NetworkLab() : m_prefix("tw" + std::to_string(::getpid()) + "-") {}

NetworkLab::~NetworkLab() {
    // Deleting a namespace removes the interfaces inside it, and a veth pair
    // goes with either end.
    for (auto it = m_namespaces.rbegin(); it != m_namespaces.rend(); ++it) {
        RunProgram({"ip", "netns", "delete", *it}, {}, std::chrono::seconds(10));
    }
}

bool NetworkLab::Available(std::string* why) {
    if (::geteuid() != 0) {
        *why = "network namespaces need root";
        return false;
    }
    const std::string probe = "tw" + std::to_string(::getpid()) + "-probe";
    const ProgramResult made = RunProgram({"ip", "netns", "add", probe}, {}, std::chrono::seconds(10));
    if (made.exit_code != 0) {
        *why = "ip netns add failed: " + made.output;
        return false;
    }
    RunProgram({"ip", "netns", "delete", probe}, {}, std::chrono::seconds(10));
    return true;
}

bool NetworkLab::Ip(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"ip"};
    argv.insert(argv.end(), args.begin(), args.end());
    const ProgramResult r = RunProgram(argv, {}, std::chrono::seconds(10));
    if (r.exit_code == 0) return true;
    m_failure = "ip";
    for (const std::string& a : args) m_failure += " " + a;
    m_failure += ": " + r.output;
    return false;
}

std::string NetworkLab::AddNamespace(const std::string& name) {
    const std::string full = m_prefix + name;
    if (!Ip({"netns", "add", full})) return {};
    m_namespaces.push_back(full);
    if (!Ip({"-n", full, "link", "set", "lo", "up"})) return {};
    return full;
}

bool NetworkLab::Link(const std::string& a, const std::string& a_if, const std::string& a_address,
                      const std::string& b, const std::string& b_if, const std::string& b_address) {
    // Made in the host's namespace under unique names, then moved.
    const std::string tmp_a = "twa" + std::to_string(::getpid() % 100000) + "x" + std::to_string(m_links);
    const std::string tmp_b = "twb" + std::to_string(::getpid() % 100000) + "x" + std::to_string(m_links);
    ++m_links;
    if (!Ip({"link", "add", tmp_a, "type", "veth", "peer", "name", tmp_b})) return false;
    auto place = [&](const std::string& tmp, const std::string& ns, const std::string& name,
                     const std::string& address) {
        if (!ns.empty() && !Ip({"link", "set", tmp, "netns", ns})) return false;
        std::vector<std::string> in = ns.empty() ? std::vector<std::string>{} : std::vector<std::string>{"-n", ns};
        auto with = [&](std::vector<std::string> args) {
            args.insert(args.begin(), in.begin(), in.end());
            return Ip(args);
        };
        if (!with({"link", "set", tmp, "name", name})) return false;
        if (!address.empty() && !with({"addr", "add", address, "dev", name})) return false;
        return with({"link", "set", name, "up"});
    };
    return place(tmp_a, a, a_if, a_address) && place(tmp_b, b, b_if, b_address);
}

bool NetworkLab::Bridge(const std::string& ns, const std::string& bridge,
                        const std::vector<std::pair<std::string, std::string>>& members) {
    if (!Ip({"-n", ns, "link", "add", bridge, "type", "bridge"}) || !Ip({"-n", ns, "link", "set", bridge, "up"})) {
        return false;
    }
    int port = 0;
    for (const auto& [member, address] : members) {
        const std::string side = bridge + "p" + std::to_string(port++);
        if (!Link(ns, side, "", member, "eth0", address)) return false;
        if (!Ip({"-n", ns, "link", "set", side, "master", bridge})) return false;
    }
    return true;
}

ProgramResult NetworkLab::Run(const std::string& ns, const std::vector<std::string>& argv,
                              std::chrono::milliseconds limit) {
    std::vector<std::string> full = {"ip", "netns", "exec", ns};
    full.insert(full.end(), argv.begin(), argv.end());
    ProgramResult r = RunProgram(full, {}, limit);
    if (r.exit_code != 0) {
        m_failure.clear();
        for (const std::string& a : argv) m_failure += a + " ";
        m_failure += ": " + r.output;
    }
    return r;
}

InNamespace::InNamespace(const std::string& ns) {
    m_home = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = ::open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    m_entered = m_home >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
    if (target >= 0) ::close(target);
}

InNamespace::~InNamespace() {
    if (m_entered) ::setns(m_home, CLONE_NEWNET);
    if (m_home >= 0) ::close(m_home);
}

}  // namespace testing_support
