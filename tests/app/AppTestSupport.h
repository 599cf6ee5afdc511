#pragma once
// Helpers shared by the app tests: a log that keeps its lines, and an engine
// that records the calls the downloader makes.

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "app/EngineCalls.h"
#include "engine/frame/CTidewellLog.h"

namespace app_test {

// Installs a process-wide log whose debug output is kept in memory; removes it
// again when destroyed. One at a time.
class LogCapture {
public:
    LogCapture() {
        Lines().clear();
        m_log.SetDebugSink(&Keep);
        m_log.SetLevels(engine::CTidewellLogApi::LevelOff, 1);
        engine::SetTidewellLog(&m_log);
    }
    ~LogCapture() { engine::SetTidewellLog(nullptr); }

    // True when a kept line contains `text`.
    bool Has(const std::string& text) const {
        std::lock_guard<std::mutex> hold(Mutex());
        return std::any_of(Lines().begin(), Lines().end(),
                           [&](const std::string& l) { return l.find(text) != std::string::npos; });
    }
    std::vector<std::string> All() const {
        std::lock_guard<std::mutex> hold(Mutex());
        return Lines();
    }

private:
    static std::vector<std::string>& Lines() {
        static std::vector<std::string> lines;
        return lines;
    }
    static std::mutex& Mutex() {
        static std::mutex m;
        return m;
    }
    static void Keep(const std::string& line) {
        std::lock_guard<std::mutex> hold(Mutex());
        Lines().push_back(line);
    }
    engine::CTidewellLogApi m_log;
};

// Records every call; task creation hands out handles 0x1000 + file index.
class FakeEngine : public app::IEngineCalls {
public:
    struct Call {
        std::string name;
        app::TaskHandle handle = nullptr;
        std::string a;
        std::string b;
        bool operator==(const Call&) const = default;
    };

    int32_t init_result = 0;
    int32_t recover_result = 0;
    std::vector<Call> calls;
    std::vector<app::TaskRequest> recovered;
    std::vector<std::string> messages;

    static app::TaskHandle Handle(int i) { return reinterpret_cast<app::TaskHandle>(0x1000 + i); }

    int32_t EngineInitialize(const std::string& work_folder) override {
        calls.push_back({"EngineInitialize", nullptr, work_folder, ""});
        return init_result;
    }
    int32_t RecoverAndContinueTask(app::TaskRequest& request, bool force) override {
        calls.push_back({"RecoverAndContinueTask", nullptr, request.target, force ? "force" : ""});
        if (recover_result == 0) request.handle = Handle(static_cast<int>(recovered.size()));
        recovered.push_back(request);
        return recover_result;
    }
    int32_t ClearTaskIpSources(app::TaskHandle handle) override {
        calls.push_back({"Clear", handle, "", ""});
        return 0;
    }
    int32_t AddTaskIpSources(app::TaskHandle handle, const std::string& urls, const std::string& hosts) override {
        calls.push_back({"Add", handle, urls, hosts});
        return 0;
    }
    int32_t SetListenPort(uint16_t port) override {
        calls.push_back({"SetListenPort", nullptr, std::to_string(port), ""});
        return 0;
    }
    int32_t SetP2PEnabled(bool enabled) override {
        calls.push_back({"SetP2PEnabled", nullptr, enabled ? "on" : "off", ""});
        return 0;
    }
    void SetHttpHandshakePrefix(bool enabled) override {
        calls.push_back({"SetHttpHandshakePrefix", nullptr, enabled ? "on" : "off", ""});
    }
    int32_t ShowMessageBoxAsync(const std::string& text, const std::string& caption) override {
        messages.push_back(text);
        calls.push_back({"Message", nullptr, text, caption});
        return 1;
    }

    size_t Count(const std::string& name) const {
        return static_cast<size_t>(
            std::count_if(calls.begin(), calls.end(), [&](const Call& c) { return c.name == name; }));
    }
};

}  // namespace app_test
