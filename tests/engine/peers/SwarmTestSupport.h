#pragma once
// Helpers for the BitTorrent tests against real programs on loopback: free
// ports, torrents with chosen trackers, background programs (the one-task
// program, aria2c) with their output in a log and stopped by their pid, and
// the wait until a tracker lists a seeder.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/meta/QSha1.h"
#include "platform/Process.h"
#include "platform/Socket.h"
#include "tests/engine/peers/HttpTestSupport.h"
#include "tests/support/Process.h"
#include "tests/support/Sandbox.h"

namespace swarm_test {

inline uint16_t FreePort(uint32_t address) {
    platform::SocketHandle s = platform::CreateTcpSocket();
    platform::SocketAddress local{address, 0};
    uint16_t port = 0;
    if (platform::Bind(s, local) && platform::LocalAddressOf(s, &local)) port = local.port;
    platform::CloseSocket(s);
    return port;
}

struct Torrent {
    std::string bytes;
    std::array<uint8_t, 20> info_hash{};
};

// A single-file torrent for `content` announcing to `trackers` (the first
// is "announce", all of them form the announce list).
inline Torrent MakeTorrent(const std::string& content, const std::string& name, int64_t piece_length,
                           const std::vector<std::string>& trackers) {
    auto text = [](const std::string& s) { return std::to_string(s.size()) + ":" + s; };
    std::string pieces;
    for (size_t at = 0; at < content.size(); at += static_cast<size_t>(piece_length)) {
        const size_t n = std::min(content.size() - at, static_cast<size_t>(piece_length));
        const engine::Sha1Digest d = engine::QSha1::Digest(content.data() + at, n);
        pieces.append(reinterpret_cast<const char*>(d.data()), d.size());
    }
    const std::string info = "d6:lengthi" + std::to_string(content.size()) + "e4:name" + text(name) +
                             "12:piece lengthi" + std::to_string(piece_length) + "e6:pieces" + text(pieces) + "e";
    std::string list = "l";
    for (const std::string& t : trackers) list += "l" + text(t) + "e";
    list += "e";
    Torrent t;
    t.bytes = "d8:announce" + text(trackers.at(0)) + "13:announce-list" + list + "4:info" + info + "e";
    const engine::Sha1Digest h = engine::QSha1::Digest(info.data(), info.size());
    std::copy(h.begin(), h.end(), t.info_hash.begin());
    return t;
}

// A program running in the background, its output in `log`; stopped by its
// pid when the object goes.
class Background {
public:
    Background(const std::vector<std::string>& argv, const std::string& log, const std::string& folder) : m_log(log) {
        std::string command = "exec";
        for (const std::string& a : argv) command += " '" + a + "'";
        command += " >'" + log + "' 2>&1";
        platform::SpawnResult r = platform::SpawnProcess("/bin/sh", {"-c", command}, folder);
        if (r.Ok()) m_pid = r.pid;
    }
    ~Background() { Stop(); }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    bool Started() const { return m_pid > 0; }
    // Waits up to `ms` for the exit; true with its code once it ended.
    bool Wait(uint32_t ms, int* code) {
        if (m_pid <= 0) return m_ended;
        if (!platform::WaitForProcess(m_pid, ms, &m_code)) return false;
        m_pid = -1;
        m_ended = true;
        if (code) *code = m_code;
        return true;
    }
    void Stop() {
        if (m_pid <= 0) return;
        ::kill(m_pid, SIGTERM);
        if (!platform::WaitForProcess(m_pid, 5000, &m_code)) {
            ::kill(m_pid, SIGKILL);
            platform::WaitForProcess(m_pid, 5000, &m_code);
        }
        m_pid = -1;
    }
    std::string Log() const { return testing_support::Sandbox::Read(m_log); }

private:
    std::string m_log;
    pid_t m_pid = -1;
    int m_code = -1;
    bool m_ended = false;
};

// aria2c seeding (or, with `seed` false, leeching and exiting when done)
// `torrent` into `folder`, bound to `address` (the engine takes no
// BitTorrent peer at 127.0.0.1, which would be itself) and listening on
// `port`, trackers only.
inline std::vector<std::string> Aria2Args(const std::string& torrent, const std::string& folder,
                                          const std::string& address, uint16_t port, bool seed) {
    std::vector<std::string> args = {"aria2c",
                                     "-d",
                                     folder,
                                     "--interface=" + address,
                                     "--listen-port=" + std::to_string(port),
                                     "--enable-dht=false",
                                     "--enable-dht6=false",
                                     "--bt-enable-lpd=false",
                                     "--enable-peer-exchange=false",
                                     "--file-allocation=none",
                                     "--console-log-level=warn",
                                     "--summary-interval=0",
                                     "--bt-tracker-interval=2",
                                     "--bt-stop-timeout=0"};
    if (seed) {
        args.push_back("--bt-seed-unverified=true");
        args.push_back("--seed-ratio=0.0");
    } else {
        args.push_back("--seed-time=0");
    }
    args.push_back(torrent);
    return args;
}

// Polls the tracker's scrape until it lists at least `seeders` peers for
// the torrent.
inline bool WaitForSeeders(uint16_t tracker_port, const std::array<uint8_t, 20>& hash, int seeders,
                           std::chrono::seconds limit = std::chrono::seconds(30)) {
    std::string escaped;
    char three[4];
    for (uint8_t b : hash) {
        std::snprintf(three, sizeof three, "%%%02x", b);
        escaped += three;
    }
    const std::string url = "http://127.0.0.1:" + std::to_string(tracker_port) + "/scrape?info_hash=" + escaped;
    return testing_support::WaitFor(
        [&] {
            testing_support::ProgramResult r =
                testing_support::RunProgram({"curl", "-s", "--max-time", "2", url}, {}, std::chrono::seconds(5));
            // Complete and incomplete peers both count: a seed that
            // announced while still examining its file is listed as
            // incomplete until its next announce.
            const size_t complete = r.output.find("8:completei");
            const size_t incomplete = r.output.find("10:incompletei");
            if (complete == std::string::npos || incomplete == std::string::npos) return false;
            return std::atoi(r.output.c_str() + complete + 11) + std::atoi(r.output.c_str() + incomplete + 14) >=
                   seeders;
        },
        limit);
}

// "bytes web <n> peer <n>" as the one-task program prints it at its end.
struct ByteCounts {
    long long web = -1;
    long long peer = -1;
};
inline ByteCounts ParseByteCounts(const std::string& log) {
    ByteCounts c;
    const size_t at = log.rfind("bytes web ");
    if (at != std::string::npos) std::sscanf(log.c_str() + at, "bytes web %lld peer %lld", &c.web, &c.peer);
    return c;
}

}  // namespace swarm_test
