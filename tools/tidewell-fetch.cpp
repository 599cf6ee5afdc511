// tidewell-fetch: runs one download task through the engine's call interface
// and waits for it to finish. Used by tests (which may kill it at any moment
// and start it again) and by the benchmark script.
//
//   tidewell-fetch --target FILE [--info FILE] [--torrent FILE] [--work DIR]
//                  [--web-limit N] [--timeout SECONDS] [--ip URL HOST]
//                  [--bt-limit N] [--listen ADDRESS:PORT] [--preamble]
//                  [--seed-until FILE] [--log LEVEL] URL...
//
// With --torrent the task is a P2SP task (the torrent plus the URLs as web
// sources), else a plain HTTP task. --bt-limit switches P2P on and lets the
// task keep N BitTorrent connections; --listen binds the listener there;
// --preamble wraps every outgoing handshake in the HTTP preamble; with
// --seed-until the program keeps serving after completion until FILE exists
// (or the time-out). It prints "progress <0..10000> <state> <bytes>" lines, a
// final "bytes web <n> peer <n>" line, a "web-traffic requests <n> received
// <n> skipped <n> duplicate <n> discarded <n>" line (where the web sources'
// bytes went beyond the kept payload), and exits 0 when the file is complete,
// 2 when the task ended with a state code (printed as "state <code>"), 3 on
// time-out, 1 on usage or engine errors.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/CTidewellLog.h"
#include "engine/frame/EngineApi.h"
#include "engine/frame/SharedServices.h"
#include "engine/frame/TaskTraffic.h"
#include "platform/File.h"
#include "platform/Socket.h"

namespace {

void Copy(char* out, const std::string& text) {
    std::snprintf(out, TW_TEXT_CAPACITY, "%s", text.c_str());
}

int Usage() {
    std::fprintf(stderr,
                 "usage: tidewell-fetch --target FILE [--info FILE] [--torrent FILE] [--work DIR]\n"
                 "                      [--web-limit N] [--timeout S] [--ip URL HOST] URL...\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string target, info, torrent, work = ".";
    std::string urls;
    std::vector<std::pair<std::string, std::string>> ip_sources;
    int web_limit = 0;
    int bt_limit = 0;
    std::string listen, seed_until;
    bool preamble = false;
    int log_level = 0;
    double timeout_s = 3600;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string(); };
        if (a == "--target") target = next();
        else if (a == "--info") info = next();
        else if (a == "--torrent") torrent = next();
        else if (a == "--work") work = next();
        else if (a == "--web-limit") web_limit = std::atoi(next().c_str());
        else if (a == "--timeout") timeout_s = std::atof(next().c_str());
        else if (a == "--quiet") quiet = true;
        else if (a == "--bt-limit") bt_limit = std::atoi(next().c_str());
        else if (a == "--listen") listen = next();
        else if (a == "--preamble") preamble = true;
        else if (a == "--log") log_level = std::atoi(next().c_str());
        else if (a == "--seed-until") seed_until = next();
        else if (a == "--ip") {
            std::string url = next();
            ip_sources.emplace_back(url, next());
        } else if (!a.empty() && a[0] == '-') return Usage();
        else urls += a + "\n";
    }
    if (target.empty() || (urls.empty() && torrent.empty() && ip_sources.empty())) return Usage();
    if (info.empty()) info = target + ".twinfo";

    // --log N: engine log lines from level N on go to standard error.
    static engine::CTidewellLogApi log;
    if (log_level > 0) {
        log.SetLevels(1000, log_level);
        engine::SetTidewellLog(&log);
    }
    if (EngineInitialize(work.c_str()) != TW_OK) {
        std::fprintf(stderr, "engine initialisation failed\n");
        return 1;
    }
    if (!listen.empty()) {
        const size_t colon = listen.rfind(':');
        uint32_t address = 0;
        if (colon == std::string::npos || !platform::ParseIpv4(listen.substr(0, colon), &address)) return Usage();
        engine::SetListenAddressOverride(address);
        SetListenPort(std::atoi(listen.c_str() + colon + 1));
    }
    if (bt_limit > 0) SetP2PEnabled(1);
    SetHttpHandshakePrefix(preamble ? 1 : 0);
    TaskParams params;
    std::memset(&params, 0, sizeof params);
    params.flags = TW_FLAG_EXACT_TARGET;
    if (!torrent.empty()) {
        Copy(params.main_source, "file://" + torrent);
        params.flags |= TW_FLAG_P2SP;
    }
    params.source_text = urls.c_str();
    Copy(params.target, target);
    Copy(params.info_path, info);
    int32_t rc = ip_sources.empty() ? RecoverAndContinueTask(&params, 1) : RecoverTask(&params, 1);
    if (rc != TW_OK) {
        std::fprintf(stderr, "task creation failed: %d\n", rc);
        EngineShutdown();
        return 1;
    }
    TaskHandle task = params.handle;
    if (web_limit > 0 || bt_limit > 0) SetTaskConnectionLimits(task, web_limit > 0 ? web_limit : 49, bt_limit);
    if (!ip_sources.empty()) {
        std::string url_text, host_text;
        for (auto& [url, host] : ip_sources) {
            url_text += url + "\n";
            host_text += host + "\n";
        }
        AddTaskIpSources(task, url_text.c_str(), host_text.c_str());
        StartTask(task);
    }

    int result = 3;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    int last_progress = -1;
    while (std::chrono::steady_clock::now() < deadline) {
        TaskStatus status;
        if (QueryTaskStatus(task, &status) != TW_OK) {
            result = 1;
            break;
        }
        if (!quiet && status.progress != last_progress) {
            std::printf("progress %d %d %llu\n", status.progress, status.state,
                        static_cast<unsigned long long>(status.downloaded_bytes));
            std::fflush(stdout);
            last_progress = status.progress;
        }
        if (status.state == TW_STATE_COMPLETE) {
            if (result != 0) {
                std::printf("complete web %llu peer %llu\n", static_cast<unsigned long long>(status.web_bytes),
                            static_cast<unsigned long long>(status.peer_bytes));
                std::fflush(stdout);
            }
            result = 0;
            if (seed_until.empty() || platform::Exists(seed_until)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        if (status.state != TW_STATE_NONE && status.state != TW_STATE_HOST_UNRESOLVED) {
            std::printf("state %d\n", status.state);
            result = 2;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    TaskStatus last;
    if (QueryTaskStatus(task, &last) == TW_OK) {
        std::printf("bytes web %llu peer %llu\n", static_cast<unsigned long long>(last.web_bytes),
                    static_cast<unsigned long long>(last.peer_bytes));
    }
    StopTask(task, 0);
    // After the stop: the run's last publication holds every count.
    engine::WebTraffic traffic;
    if (engine::QueryTaskWebTraffic(task, &traffic)) {
        std::printf("web-traffic requests %llu received %llu skipped %llu duplicate %llu discarded %llu\n",
                    static_cast<unsigned long long>(traffic.requests),
                    static_cast<unsigned long long>(traffic.received),
                    static_cast<unsigned long long>(traffic.skipped),
                    static_cast<unsigned long long>(traffic.duplicate),
                    static_cast<unsigned long long>(traffic.discarded));
    }
    EngineShutdown();
    return result;
}
