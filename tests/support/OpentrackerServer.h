#pragma once
// A real opentracker on 127.0.0.1 for integration tests, answering HTTP and
// UDP announces on the same free port. Debian's build serves only
// whitelisted torrents, so the fixture writes the info hashes it is given
// into its whitelist before starting. It runs chrooted into its own sandbox
// folder as "nobody", in the foreground, and is stopped by its pid. Used by
// one test thread.

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/Sandbox.h"

namespace testing_support {

class OpentrackerServer {
public:
    explicit OpentrackerServer(const std::vector<std::array<uint8_t, 20>>& whitelist);
    ~OpentrackerServer();
    OpentrackerServer(const OpentrackerServer&) = delete;
    OpentrackerServer& operator=(const OpentrackerServer&) = delete;

    bool Started() const { return m_pid > 0; }
    const std::string& Failure() const { return m_failure; }
    uint16_t Port() const { return m_port; }
    std::string HttpAnnounceUrl() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/announce"; }
    std::string UdpAnnounceUrl() const { return "udp://127.0.0.1:" + std::to_string(m_port) + "/announce"; }

private:
    bool StartOnce();
    void Stop();

    Sandbox m_dir;
    pid_t m_pid = -1;
    uint16_t m_port = 0;
    std::string m_failure;
};

}  // namespace testing_support
