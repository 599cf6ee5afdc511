#include "tests/support/NginxServer.h"
#include "tests/support/Process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>

extern char** environ;

namespace testing_support {

namespace {

// Binding a free port and starting nginx on it can race with other processes;
// a few fresh ports cover that.
constexpr int StartAttempts = 5;

bool CanConnect(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

}  // namespace

uint16_t FindFreePort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    close(fd);
    return port;
}

NginxServer::NginxServer(NginxOptions options) : m_options(std::move(options)) {
    std::filesystem::create_directories(m_dir.Path() / "temp");
    if (m_options.tls && !MakeCertificate()) {
        m_failure = "openssl could not make a certificate";
        return;
    }
    for (int attempt = 0; attempt < StartAttempts && !Started(); ++attempt) {
        if (StartOnce()) return;
    }
    if (m_failure.empty()) m_failure = "nginx did not start";
    m_failure += "\nerror log:\n" + ErrorLog();
}

NginxServer::~NginxServer() { Stop(); }

std::string NginxServer::BaseUrl() const {
    return std::string(m_options.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port);
}

std::string NginxServer::ErrorLog() const { return Sandbox::Read(m_dir.File("error.log")); }

bool NginxServer::MakeCertificate() {
    // An EC key is made in milliseconds; the name and address match what the
    // client connects to, so host verification can stay on.
    const ProgramResult made =
        RunProgram({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                    "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
                    "-keyout", m_dir.File("server.key"), "-out", m_dir.File("server.pem")});
    m_dir.Write("openssl.log", made.output);
    const bool ok = made.exit_code == 0;
    if (ok) m_certificate_pem = Sandbox::Read(m_dir.File("server.pem"));
    return ok && !m_certificate_pem.empty();
}

std::string NginxServer::Config() const {
    std::ostringstream c;
    std::string temp = m_dir.File("temp");
    c << "pid " << m_dir.File("nginx.pid") << ";\n"
      << "error_log " << m_dir.File("error.log") << " info;\n"
      // One process: stopping it by pid stops everything.
      << "master_process off;\n"
      << "events { worker_connections 256; }\n"
      << "http {\n"
      << "  access_log " << (m_options.access_log.empty() ? "off" : m_options.access_log) << ";\n"
      << "  client_body_temp_path " << temp << "/body;\n"
      << "  proxy_temp_path " << temp << "/proxy;\n"
      << "  fastcgi_temp_path " << temp << "/fastcgi;\n"
      << "  uwsgi_temp_path " << temp << "/uwsgi;\n"
      << "  scgi_temp_path " << temp << "/scgi;\n"
      << "  default_type application/octet-stream;\n"
      << "  types { text/xml xml; text/html html; }\n"
      << m_options.http_config << "\n"
      << "  server {\n"
      << "    listen 127.0.0.1:" << m_port << (m_options.tls ? " ssl" : "") << ";\n"
      << "    server_name localhost;\n"
      << "    root " << m_options.document_root << ";\n";
    if (m_options.tls) {
        c << "    ssl_certificate " << m_dir.File("server.pem") << ";\n"
          << "    ssl_certificate_key " << m_dir.File("server.key") << ";\n";
    }
    c << m_options.server_config << "\n  }\n}\n";
    return c.str();
}

bool NginxServer::StartOnce() {
    m_port = FindFreePort();
    if (m_port == 0) return false;
    std::string conf = m_dir.Write("nginx.conf", Config());
    std::string prefix = m_dir.Path().string() + "/";
    std::vector<std::string> args = {"nginx", "-p", prefix, "-c", conf, "-g", "daemon off;"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, "nginx", nullptr, nullptr, argv.data(), environ) != 0) {
        m_failure = "nginx could not be spawned";
        return false;
    }
    m_pid = pid;
    bool exited = false;
    bool ready = WaitFor([&] {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            exited = true;
            return true;
        }
        return CanConnect(m_port);
    });
    if (ready && !exited) return true;
    if (exited) {
        m_pid = -1;
    } else {
        Stop();
    }
    return false;
}

void NginxServer::Stop() {
    StopChild(m_pid);
    m_pid = -1;
}

}  // namespace testing_support
