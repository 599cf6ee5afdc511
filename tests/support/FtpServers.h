#pragma once
// Real FTP servers on 127.0.0.1 for integration tests, each started in the
// foreground with its own configuration in a temporary folder, on a free
// port, and stopped by its pid:
// - vsftpd (standalone, anonymous logins, passive mode), its protocol log
//   in the folder;
// - pyftpdlib (python3 -m pyftpdlib), anonymous or with a user and password,
//   its debug log (every command) in the folder.
// A server that cannot be started leaves Started() false and says why in
// Failure(), so the test fails rather than skips. Used by one test thread.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/Sandbox.h"

namespace testing_support {

class FtpServerProcess {
public:
    ~FtpServerProcess();
    FtpServerProcess(const FtpServerProcess&) = delete;
    FtpServerProcess& operator=(const FtpServerProcess&) = delete;

    bool Started() const { return m_pid > 0; }
    const std::string& Failure() const { return m_failure; }
    uint16_t Port() const { return m_port; }
    pid_t Pid() const { return m_pid; }
    // "ftp://[login@]127.0.0.1:<port><path>".
    std::string Url(const std::string& path, const std::string& login = {}) const;
    // The server's log so far.
    std::string Log() const;
    // The offsets of the restart commands the log shows, in order.
    std::vector<int64_t> RestOffsets() const;
    void Stop();

protected:
    FtpServerProcess() = default;
    // Spawns argv with its output in the log file and waits until the port
    // takes connections.
    bool Start(const std::vector<std::string>& argv);
    std::string LogPath() const { return m_dir.File("server.log"); }

    Sandbox m_dir;
    pid_t m_pid = -1;
    uint16_t m_port = 0;
    std::string m_failure;
    std::string m_log_path;
};

class VsftpdServer : public FtpServerProcess {
public:
    // Serves `root` to anonymous users; `extra_config` lines are added to
    // the configuration (a rate limit, say). The folders on the way to it
    // must be readable by the server's unprivileged "ftp" user: the fixture
    // opens up `root` and its parent itself.
    explicit VsftpdServer(const std::string& root, const std::string& extra_config = {});
    // The bytes its transfer log shows sent, completed transfers and
    // abandoned ones alike.
    int64_t BytesSent() const;
};

class PyftpdServer : public FtpServerProcess {
public:
    // Serves `root` to anonymous users, or only to `user` with `password`.
    PyftpdServer(const std::string& root, const std::string& user = {}, const std::string& password = {});
};

}  // namespace testing_support
