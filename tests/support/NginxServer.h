#pragma once
// A real nginx on 127.0.0.1 for integration tests: HTTP or HTTPS (with a fresh
// self-signed certificate for 127.0.0.1), a document root of the test's
// choosing, optional extra directives and an access log. The server runs in the
// foreground as a single process (`nginx -p <dir> -c <conf> -g 'daemon off;'`)
// on a free port and is stopped by its pid. Used by one test thread.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "tests/support/Sandbox.h"

namespace testing_support {

struct NginxOptions {
    // Folder served at "/"; required.
    std::string document_root;
    // Listen with TLS using a self-signed certificate made by the fixture.
    bool tls = false;
    // Directives inserted into the server block (locations, error pages, ...).
    std::string server_config;
    // Directives inserted into the http block.
    std::string http_config;
    // Where nginx writes its access log; empty: no access log.
    std::string access_log;
};

class NginxServer {
public:
    // Starts nginx and waits until it accepts connections. On failure Started()
    // is false and Failure() says why (the error log is included).
    explicit NginxServer(NginxOptions options);
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    bool Started() const { return m_pid > 0; }
    const std::string& Failure() const { return m_failure; }
    uint16_t Port() const { return m_port; }
    pid_t Pid() const { return m_pid; }
    // "http://127.0.0.1:<port>" or "https://127.0.0.1:<port>".
    std::string BaseUrl() const;
    // The self-signed certificate (PEM) clients must trust; empty without TLS.
    const std::string& CertificatePem() const { return m_certificate_pem; }
    std::string ErrorLog() const;

    // Stops the server (SIGTERM, then SIGKILL after a deadline) and reaps it.
    void Stop();

private:
    bool MakeCertificate();
    std::string Config() const;
    bool StartOnce();

    NginxOptions m_options;
    Sandbox m_dir;
    pid_t m_pid = -1;
    uint16_t m_port = 0;
    std::string m_certificate_pem;
    std::string m_failure;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
uint16_t FindFreePort();

}  // namespace testing_support
