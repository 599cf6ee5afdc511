#include "tests/support/OpentrackerServer.h"
#include "tests/support/Process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>

#include "platform/Socket.h"

extern char** environ;

namespace testing_support {

namespace {

constexpr int StartAttempts = 5;

uint16_t FreePort() {
    // A port free for both TCP and UDP at the moment of asking.
    platform::SocketHandle t = platform::CreateTcpSocket();
    platform::SocketAddress local{platform::LoopbackIpv4(), 0};
    uint16_t port = 0;
    if (platform::Bind(t, local) && platform::LocalAddressOf(t, &local)) port = local.port;
    platform::CloseSocket(t);
    platform::SocketHandle u = platform::CreateUdpSocket();
    if (port != 0 && !platform::Bind(u, platform::SocketAddress{platform::LoopbackIpv4(), port})) port = 0;
    platform::CloseSocket(u);
    return port;
}

bool CanConnect(uint16_t port) {
    platform::SocketHandle s = platform::CreateTcpSocket();
    bool ok = platform::Connect(s, {platform::LoopbackIpv4(), port}) == platform::ConnectResult::Connected;
    platform::CloseSocket(s);
    return ok;
}

std::string Hex(const std::array<uint8_t, 20>& hash) {
    std::string out;
    char two[3];
    for (uint8_t b : hash) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

}  // namespace

OpentrackerServer::OpentrackerServer(const std::vector<std::array<uint8_t, 20>>& whitelist) {
    std::string lines;
    for (const auto& hash : whitelist) lines += Hex(hash) + "\n";
    m_dir.Write("whitelist.txt", lines);
    // The tracker reads its whitelist after changing root into this folder.
    m_dir.Write("opentracker.conf", "access.whitelist whitelist.txt\n");
    // It drops to "nobody", which must still read the folder.
    chmod(m_dir.Path().c_str(), 0755);
    std::filesystem::permissions(m_dir.File("whitelist.txt"), std::filesystem::perms::others_read,
                                 std::filesystem::perm_options::add);
    for (int attempt = 0; attempt < StartAttempts && !Started(); ++attempt) StartOnce();
    if (!Started() && m_failure.empty()) m_failure = "opentracker did not start";
}

OpentrackerServer::~OpentrackerServer() { Stop(); }

bool OpentrackerServer::StartOnce() {
    m_port = FreePort();
    if (m_port == 0) return false;
    const std::string port = std::to_string(m_port);
    std::vector<std::string> args = {"opentracker", "-i", "127.0.0.1", "-p", port, "-P", port,
                                     "-f", m_dir.File("opentracker.conf"), "-d", m_dir.Path().string(),
                                     "-u", "nobody"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, "opentracker", nullptr, nullptr, argv.data(), environ) != 0) {
        m_failure = "opentracker could not be spawned (is it installed? scripts/install-deps)";
        return false;
    }
    m_pid = pid;
    bool exited = false;
    bool ready = WaitFor([&] {
        if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            exited = true;
            return true;
        }
        return CanConnect(m_port);
    });
    if (ready && !exited) return true;
    if (exited) {
        m_pid = -1;
        m_failure = "opentracker exited at start";
    } else {
        Stop();
    }
    return false;
}

void OpentrackerServer::Stop() {
    StopChild(m_pid);
    m_pid = -1;
}

}  // namespace testing_support
