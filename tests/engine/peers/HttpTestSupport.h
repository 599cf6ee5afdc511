#pragma once
// Helpers for the end-to-end HTTP tests: file contents, torrents made from
// them, an nginx serving a folder with a per-request log (port, status,
// bytes sent, Range header), and a task run through the engine's call
// interface until it completes, ends with a state code or times out.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/frame/EngineApi.h"
#include "engine/meta/QSha1.h"
#include "tests/support/NginxServer.h"
#include "tests/support/Sandbox.h"

namespace http_test {

inline std::string RandomContent(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    std::mt19937_64 random(seed);
    for (size_t i = 0; i + 8 <= size; i += 8) {
        uint64_t v = random();
        std::memcpy(&out[i], &v, 8);
    }
    for (size_t i = size / 8 * 8; i < size; ++i) out[i] = static_cast<char>(random());
    return out;
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadFile(const std::string& path) { return testing_support::Sandbox::Read(path); }

// A single-file torrent for `content`.
inline std::string MakeTorrent(const std::string& content, const std::string& name, int64_t piece_length) {
    std::string pieces;
    for (size_t at = 0; at < content.size(); at += static_cast<size_t>(piece_length)) {
        size_t n = std::min(content.size() - at, static_cast<size_t>(piece_length));
        engine::Sha1Digest d = engine::QSha1::Digest(content.data() + at, n);
        pieces.append(reinterpret_cast<const char*>(d.data()), d.size());
    }
    auto text = [](const std::string& s) { return std::to_string(s.size()) + ":" + s; };
    return "d8:announce" + text("http://127.0.0.1:1/announce") + "4:infod6:lengthi" + std::to_string(content.size()) +
           "e4:name" + text(name) + "12:piece lengthi" + std::to_string(piece_length) + "e6:pieces" + text(pieces) +
           "ee";
}

struct ServedRequest {
    int port = 0;
    int status = 0;
    int64_t bytes = 0;
    std::string range;
    std::string host;
};

// nginx with a log of every request: "port status bytes "range"".
class LoggedNginx {
public:
    LoggedNginx(const std::string& root, const std::string& log, const std::string& server_config = {},
                const std::string& http_config = {})
        : m_log(log),
          m_server(testing_support::NginxOptions{
              root, false, server_config + "\naccess_log " + log + " ranges;\n",
              http_config + "\nlog_format ranges '$remote_port $status $bytes_sent \"$http_range\" \"$http_host\"';\n", ""}) {}
    testing_support::NginxServer& Server() { return m_server; }
    std::string Url(const std::string& path) const { return m_server.BaseUrl() + path; }
    std::vector<ServedRequest> Requests() const {
        std::vector<ServedRequest> out;
        std::ifstream in(m_log);
        std::string line;
        while (std::getline(in, line)) {
            ServedRequest r;
            char range[256] = {0};
            char host[256] = {0};
            long long bytes = 0;
            if (std::sscanf(line.c_str(), "%d %d %lld \"%255[^\"]\" \"%255[^\"]", &r.port, &r.status, &bytes, range,
                            host) >= 3) {
                r.bytes = bytes;
                r.range = range;
                r.host = host;
                out.push_back(r);
            }
        }
        return out;
    }
    int64_t BytesServed() const {
        int64_t total = 0;
        for (const ServedRequest& r : Requests()) total += r.bytes;
        return total;
    }

private:
    std::string m_log;
    testing_support::NginxServer m_server;
};

struct RunResult {
    TaskStatus status{};
    bool timed_out = false;
};

inline void CopyText(char* out, const std::string& text) { std::snprintf(out, TW_TEXT_CAPACITY, "%s", text.c_str()); }

// Creates and starts a task (P2SP when `torrent_path` is given) and polls
// until it is complete, shows a state code other than 0/20216, or `limit`
// passes; the task is stopped before returning.
inline RunResult RunTask(const std::string& target, const std::string& sources, const std::string& torrent_path,
                         std::chrono::seconds limit, int web_limit = 0, const std::string& ip_url = {},
                         const std::string& ip_host = {}, uint32_t extra_flags = 0) {
    TaskParams params;
    std::memset(&params, 0, sizeof params);
    params.flags = TW_FLAG_EXACT_TARGET | extra_flags;
    if (!torrent_path.empty()) {
        params.flags |= TW_FLAG_P2SP;
        CopyText(params.main_source, "file://" + torrent_path);
    }
    params.source_text = sources.c_str();
    CopyText(params.target, target);
    CopyText(params.info_path, target + ".twinfo");
    RunResult result;
    if (int32_t rc = CreateTask(&params); rc != TW_OK) {
        ADD_FAILURE() << "CreateTask failed: " << rc;
        return result;
    }
    if (web_limit > 0) SetTaskConnectionLimits(params.handle, web_limit, 0);
    if (!ip_url.empty()) {
        EXPECT_EQ(AddTaskIpSources(params.handle, ip_url.c_str(), ip_host.c_str()), TW_OK);
    }
    EXPECT_EQ(StartTask(params.handle), TW_OK);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    result.timed_out = true;
    while (std::chrono::steady_clock::now() < deadline) {
        EXPECT_EQ(QueryTaskStatus(params.handle, &result.status), TW_OK);
        const int32_t state = result.status.state;
        if (state == TW_STATE_COMPLETE || (state != TW_STATE_NONE && state != TW_STATE_HOST_UNRESOLVED)) {
            result.timed_out = false;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    StopTask(params.handle, 0);
    return result;
}

class EngineFixture : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(EngineInitialize(m_sandbox.File("work").c_str()), TW_OK); }
    void TearDown() override { EXPECT_EQ(EngineShutdown(), TW_OK); }
    testing_support::Sandbox m_sandbox;
};

}  // namespace http_test
