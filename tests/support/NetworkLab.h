#pragma once
// Private networks for tests: network namespaces (named after the test's pid,
// so parallel runs never share one), veth pairs and bridges between them,
// and a way for the calling thread to step into one. Everything made is
// removed when the lab goes. Needs root; Available() says why not.

#include <string>
#include <vector>

#include "tests/support/Process.h"

namespace testing_support {

class NetworkLab {
public:
    NetworkLab();
    ~NetworkLab();
    NetworkLab(const NetworkLab&) = delete;
    NetworkLab& operator=(const NetworkLab&) = delete;

    // False (with the reason) when namespaces cannot be made here.
    static bool Available(std::string* why);

    // Creates namespace `name` (its loopback up) and returns its full name.
    std::string AddNamespace(const std::string& name);
    // A veth pair: `a_if` in namespace `a`, `b_if` in `b` (empty: the
    // host's namespace), both up. Addresses in "a.b.c.d/len" form, or empty.
    bool Link(const std::string& a, const std::string& a_if, const std::string& a_address, const std::string& b,
              const std::string& b_if, const std::string& b_address);
    // A bridge `bridge` in namespace `ns`, up, and veth pairs joining it to
    // each of `members` (interface "eth0" there, with the address given).
    bool Bridge(const std::string& ns, const std::string& bridge,
                const std::vector<std::pair<std::string, std::string>>& members);
    // Runs a command inside namespace `ns` (its full name) and waits.
    ProgramResult Run(const std::string& ns, const std::vector<std::string>& argv,
                      std::chrono::milliseconds limit = std::chrono::seconds(30));
    // The last command that failed, with its output.
    const std::string& Failure() const { return m_failure; }

private:
    bool Ip(const std::vector<std::string>& args);
    std::string m_prefix;
    std::vector<std::string> m_namespaces;
    int m_links = 0;
    std::string m_failure;
};

// Moves the calling thread into a namespace until destroyed; threads it
// starts meanwhile stay there for good.
class InNamespace {
public:
    explicit InNamespace(const std::string& ns);
    ~InNamespace();
    InNamespace(const InNamespace&) = delete;
    InNamespace& operator=(const InNamespace&) = delete;
    bool Entered() const { return m_entered; }

private:
    int m_home = -1;
    bool m_entered = false;
};

}  // namespace testing_support
