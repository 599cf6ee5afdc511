#pragma once
// Helpers shared by the app tests: a log that keeps its lines, and an engine
// that records the calls the downloader makes.

#include <algorithm>
#include <map>
#include <set>
#include <mutex>
#include <string>
#include <vector>

#include "app/EngineCalls.h"
#include "engine/base/CTidewellLog.h"

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

// Records every call; task creation hands out handles 0x1000, 0x1001, ... in
// creation order. Task statuses are scripted per handle (`status`); a handle
// in `failing` answers queries with -106. Thread-safe, so tests may drive a
// controller from several threads.
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
    int32_t create_result = 0;
    int64_t free_bytes = int64_t(1) << 50;
    std::map<std::string, int64_t> allocated;  // by path; absent: 0
    std::map<app::TaskHandle, app::TaskStatusInfo> status;
    std::set<app::TaskHandle> failing;
    std::vector<Call> calls;
    std::vector<app::TaskRequest> recovered;
    std::vector<app::TaskRequest> created;
    std::vector<std::string> messages;
    mutable std::recursive_mutex mutex;

    static app::TaskHandle Handle(int i) { return reinterpret_cast<app::TaskHandle>(0x1000 + i); }

    int32_t EngineInitialize(const std::string& work_folder) override {
        std::lock_guard<std::recursive_mutex> hold(mutex);
        calls.push_back({"EngineInitialize", nullptr, work_folder, ""});
        return init_result;
    }
    int32_t EngineShutdown() override {
        std::lock_guard<std::recursive_mutex> hold(mutex);
        calls.push_back({"EngineShutdown", nullptr, "", ""});
        return 0;
    }
    int32_t CreateAndStartTask(app::TaskRequest& request) override {
        std::lock_guard<std::recursive_mutex> hold(mutex);
        calls.push_back({"CreateAndStartTask", nullptr, request.target, ""});
        if (create_result == 0) request.handle = Handle(static_cast<int>(created.size() + recovered.size()));
        created.push_back(request);
        return create_result;
    }
    int32_t RecoverAndContinueTask(app::TaskRequest& request, bool force) override {
        std::lock_guard<std::recursive_mutex> hold(mutex);
        calls.push_back({"RecoverAndContinueTask", nullptr, request.target, force ? "force" : ""});
        if (recover_result == 0) request.handle = Handle(static_cast<int>(created.size() + recovered.size()));
        recovered.push_back(request);
        return recover_result;
    }
    int32_t StartTask(app::TaskHandle handle) override {
        std::lock_guard<std::recursive_mutex> hold(mutex);
        calls.push_back({"StartTask", handle, "", ""});
        return 0;
    }
    int32_t StopTask(app::TaskHandle handle, bool reset) override {
        std::lock_guard<std::recursive_mutex> hold(mutex);
        calls.push_back({"StopTask", handle, reset ? "reset" : "", ""});
        return 0;
    }
    int32_t StopTasks(const std::vector<app::TaskHandle>& handles, bool reset) override {
        std::lock_guard<std::recursive_mutex> hold(mutex);
        std::string list;
        for (app::TaskHandle h : handles) list += std::to_string(reinterpret_cast<uintptr_t>(h) - 0x1000) + ",";
        calls.push_back({"StopTasks", nullptr, list, reset ? "reset" : ""});
        return 0;
    }
    int32_t QueryTaskStatus(app::TaskHandle handle, app::TaskStatusInfo* out) override {
        std::lock_guard<std::recursive_mutex> hold(mutex);
        if (failing.count(handle) != 0) return -106;
        auto it = status.find(handle);
        *out = it == status.end() ? app::TaskStatusInfo{} : it->second;
        return 0;
    }
    int32_t IsTaskComplete(app::TaskHandle handle, bool* complete) override {
        std::lock_guard<std::recursive_mutex> hold(mutex);
        if (failing.count(handle) != 0) return -106;
        auto it = status.find(handle);
        *complete = it != status.end() && it->second.progress > 9999;
        return 0;
    }
    int32_t SetTaskSpeedLimit(app::TaskHandle handle, int32_t direction, int32_t value) override {
        std::lock_guard<std::recursive_mutex> hold(mutex);
        calls.push_back({"SetTaskSpeedLimit", handle, std::to_string(direction), std::to_string(value)});
        return 0;
    }
    int32_t SetTaskConnectionLimits(app::TaskHandle handle, int32_t web, int32_t bt) override {
        std::lock_guard<std::recursive_mutex> hold(mutex);
        calls.push_back({"SetTaskConnectionLimits", handle, std::to_string(web), std::to_string(bt)});
        return 0;
    }
    int32_t ClearTaskIpSources(app::TaskHandle handle) override {
        std::lock_guard<std::recursive_mutex> hold(mutex);
        calls.push_back({"Clear", handle, "", ""});
        return 0;
    }
    int32_t AddTaskIpSources(app::TaskHandle handle, const std::string& urls, const std::string& hosts) override {
        std::lock_guard<std::recursive_mutex> hold(mutex);
        calls.push_back({"Add", handle, urls, hosts});
        return 0;
    }
    int32_t SetListenPort(uint16_t port) override {
        std::lock_guard<std::recursive_mutex> hold(mutex);
        calls.push_back({"SetListenPort", nullptr, std::to_string(port), ""});
        return 0;
    }
    int32_t SetRendezvousServer(const std::string& host, int32_t port) override {
        std::lock_guard<std::recursive_mutex> hold(mutex);
        calls.push_back({"SetRendezvousServer", nullptr, host, std::to_string(port)});
        return 0;
    }
    int32_t SetP2PEnabled(bool enabled) override {
        std::lock_guard<std::recursive_mutex> hold(mutex);
        calls.push_back({"SetP2PEnabled", nullptr, enabled ? "on" : "off", ""});
        return 0;
    }
    void SetHttpHandshakePrefix(bool enabled) override {
        std::lock_guard<std::recursive_mutex> hold(mutex);
        calls.push_back({"SetHttpHandshakePrefix", nullptr, enabled ? "on" : "off", ""});
    }
    int64_t GetDiskFreeBytes(const std::string&) override {
        std::lock_guard<std::recursive_mutex> hold(mutex);
        return free_bytes;
    }
    int64_t GetFileAllocatedSize(const std::string& path) override {
        std::lock_guard<std::recursive_mutex> hold(mutex);
        auto it = allocated.find(path);
        return it == allocated.end() ? 0 : it->second;
    }
    int32_t ShowMessageBoxAsync(const std::string& text, const std::string& caption) override {
        std::lock_guard<std::recursive_mutex> hold(mutex);
        messages.push_back(text);
        calls.push_back({"Message", nullptr, text, caption});
        return 1;
    }

    size_t Count(const std::string& name) const {
        std::lock_guard<std::recursive_mutex> hold(mutex);
        return static_cast<size_t>(
            std::count_if(calls.begin(), calls.end(), [&](const Call& c) { return c.name == name; }));
    }
    // The calls named `name`, in order.
    std::vector<Call> Calls(const std::string& name) const {
        std::lock_guard<std::recursive_mutex> hold(mutex);
        std::vector<Call> out;
        for (const Call& c : calls) {
            if (c.name == name) out.push_back(c);
        }
        return out;
    }
    void Clear() {
        std::lock_guard<std::recursive_mutex> hold(mutex);
        calls.clear();
        messages.clear();
    }
    // Back to a new engine's state.
    void Reset() {
        std::lock_guard<std::recursive_mutex> hold(mutex);
        init_result = recover_result = create_result = 0;
        free_bytes = int64_t(1) << 50;
        allocated.clear();
        status.clear();
        failing.clear();
        calls.clear();
        recovered.clear();
        created.clear();
        messages.clear();
    }
};

// Records the statistics events the downloader sends.
class FakeStats : public app::IStatsReporter {
public:
    struct Event {
        uint32_t code = 0;
        std::string file_name;
        std::string text;
        int32_t kind = 0;
        bool with_totals = false;
        app::TransferTotals totals;
    };
    std::string config_path;
    std::string game_id;
    std::string game_version;
    std::string channel;
    bool stopped = false;
    std::vector<Event> events;
    mutable std::mutex mutex;

    void StartUploader(const std::string& path, const std::string& id, const std::string&,
                       const std::string& version, const std::string& chan) override {
        std::lock_guard<std::mutex> hold(mutex);
        config_path = path;
        game_id = id;
        game_version = version;
        channel = chan;
    }
    void StopUploader() override {
        std::lock_guard<std::mutex> hold(mutex);
        stopped = true;
    }
    void SubmitEvent(uint32_t code, const std::string& text, int32_t kind) override {
        std::lock_guard<std::mutex> hold(mutex);
        events.push_back({code, "", text, kind, false, {}});
    }
    void SubmitFileEvent(uint32_t code, const std::string& file_name, const std::string& text) override {
        std::lock_guard<std::mutex> hold(mutex);
        events.push_back({code, file_name, text, 0, false, {}});
    }
    void SubmitStatsEvent(uint32_t code, const app::TransferTotals& totals, const std::string& text) override {
        std::lock_guard<std::mutex> hold(mutex);
        events.push_back({code, "", text, 0, true, totals});
    }
    std::vector<uint32_t> Codes() const {
        std::lock_guard<std::mutex> hold(mutex);
        std::vector<uint32_t> out;
        for (const Event& e : events) out.push_back(e.code);
        return out;
    }
    size_t Count(uint32_t code) const {
        std::lock_guard<std::mutex> hold(mutex);
        return static_cast<size_t>(
            std::count_if(events.begin(), events.end(), [&](const Event& e) { return e.code == code; }));
    }
};

}  // namespace app_test
