#include "tests/support/FtpServers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "tests/support/NginxServer.h"
#include "tests/support/Process.h"

extern char** environ;

namespace testing_support {

namespace {

// Binding a free port and starting a server on it can race with other
// processes; a few fresh ports cover that.
constexpr int StartAttempts = 5;
// pyftpdlib comes as a Debian package for the system's python.
constexpr char SystemPython[] = "/usr/bin/python3";

bool ServerAnswers(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

FtpServerProcess::~FtpServerProcess() { Stop(); }

std::string FtpServerProcess::Url(const std::string& path, const std::string& login) const {
    return "ftp://" + (login.empty() ? std::string() : login + "@") + "127.0.0.1:" + std::to_string(m_port) + path;
}

std::string FtpServerProcess::Log() const { return Sandbox::Read(m_log_path.empty() ? LogPath() : m_log_path); }

std::vector<int64_t> FtpServerProcess::RestOffsets() const {
    std::vector<int64_t> offsets;
    std::istringstream in(Log());
    std::string line;
    while (std::getline(in, line)) {
        // vsftpd: FTP command: Client "127.0.0.1", "REST 123"; pyftpdlib:
        // ... <- REST 123 (commands as the client sent them).
        for (const char* marker : {"\"REST ", "\"rest ", "<- REST ", "<- rest "}) {
            const size_t at = line.find(marker);
            if (at != std::string::npos) {
                offsets.push_back(std::strtoll(line.c_str() + at + std::string(marker).size(), nullptr, 10));
                break;
            }
        }
    }
    return offsets;
}

bool FtpServerProcess::Start(const std::vector<std::string>& args) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string log = LogPath();
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        m_failure = args[0] + " could not be spawned (scripts/install-deps installs it)";
        return false;
    }
    m_pid = pid;
    bool exited = false;
    const bool ready = WaitFor([&] {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            exited = true;
            return true;
        }
        return ServerAnswers(m_port);
    });
    if (ready && !exited) return true;
    if (exited) {
        m_pid = -1;
    } else {
        Stop();
    }
    m_failure = args[0] + " did not start:\n" + Log();
    return false;
}

void FtpServerProcess::Stop() {
    StopChild(m_pid);
    m_pid = -1;
}

VsftpdServer::VsftpdServer(const std::string& root, const std::string& extra_config) {
    // The anonymous sessions run as the "ftp" user.
    namespace fs = std::filesystem;
    const fs::perms open = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(fs::path(root).parent_path(), open);
    fs::permissions(root, open);
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        fs::permissions(entry.path(), entry.is_directory() ? open : fs::perms::owner_read | fs::perms::owner_write |
                                                                        fs::perms::group_read | fs::perms::others_read);
    }
    m_log_path = m_dir.File("vsftpd.log");
    for (int attempt = 0; attempt < StartAttempts && !Started(); ++attempt) {
        m_port = FindFreePort();
        std::ostringstream c;
        c << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" << m_port << "\n"
          << "background=NO\n"
          << "anonymous_enable=YES\nlocal_enable=NO\nwrite_enable=NO\n"
          << "anon_root=" << root << "\n"
          // The client logs in with USER and PASS even when anonymous.
          << "no_anon_password=NO\n"
          << "pasv_enable=YES\nconnect_from_port_20=NO\n"
          // Every connection of a task comes from the same address.
          << "max_per_ip=0\nmax_clients=0\n"
          << "secure_chroot_dir=/var/run/vsftpd/empty\n"
          << "seccomp_sandbox=NO\n"
          << "log_ftp_protocol=YES\nxferlog_enable=YES\nxferlog_std_format=NO\ndual_log_enable=NO\n"
          << "vsftpd_log_file=" << m_log_path << "\n"
          << extra_config << "\n";
        const std::string conf = m_dir.Write("vsftpd.conf", c.str());
        if (Start({"vsftpd", conf})) return;
    }
}

int64_t VsftpdServer::BytesSent() const {
    // ... OK DOWNLOAD: Client "127.0.0.1", "/f.bin", 1234 bytes, ... (or
    // FAIL DOWNLOAD for a transfer the client ended).
    int64_t total = 0;
    std::istringstream in(Log());
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("DOWNLOAD: ") == std::string::npos) continue;
        const size_t bytes = line.find(" bytes");
        const size_t comma = line.rfind(", ", bytes);
        if (bytes == std::string::npos || comma == std::string::npos) continue;
        total += std::strtoll(line.c_str() + comma + 2, nullptr, 10);
    }
    return total;
}

PyftpdServer::PyftpdServer(const std::string& root, const std::string& user, const std::string& password) {
    for (int attempt = 0; attempt < StartAttempts && !Started(); ++attempt) {
        m_port = FindFreePort();
        std::vector<std::string> args = {SystemPython, "-m",  "pyftpdlib", "-i", "127.0.0.1",
                                         "-p",         std::to_string(m_port), "-d", root, "-D"};
        if (!user.empty()) {
            args.insert(args.end(), {"-u", user, "-P", password});
        }
        if (Start(args)) return;
    }
}

}  // namespace testing_support
