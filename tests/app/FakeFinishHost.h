#pragma once
// A controller stand-in for verification, installation and exit tests. It
// records states, messages and events, and plays the engine tasks of a
// repair: each ReloadFileTask writes the next prepared content of that file
// into the save folder, and the task then reports progress 5000 and 10000
// on successive polls. Thread-safe: the check thread and the test both use it.

#include <algorithm>
#include <array>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/AppState.h"
#include "app/PackageFinishHost.h"

namespace app_test {

class FakeFinishHost : public app::IPackageFinishHost {
public:
    struct Event {
        uint32_t code;
        std::string file;
        std::string text;
        bool operator==(const Event&) const = default;
    };

    explicit FakeFinishHost(std::string save_folder) : m_folder(std::move(save_folder)) {}

    // Configuration, set before the code under test runs.
    int state = app::StateFinished;
    uint32_t overall_progress = 10000;
    std::string installer_name = "setup.sh";
    bool answer_yes = true;
    int reload_failures = 0;
    bool throw_on_file_event = false;  // the first n reloads fail
    // Contents written by successive repairs of a file (the last repeats).
    std::map<int, std::vector<std::string>> repairs;

    int State() const override { return Locked([&] { return state; }); }
    void SetState(int value) override {
        Locked([&] {
            state = value;
            states.push_back(value);
        });
    }
    uint32_t OverallProgress() override { return Locked([&] { return overall_progress; }); }
    std::string SaveFolder() const override { return m_folder; }
    std::string InstallerName() const override { return Locked([&] { return installer_name; }); }

    void StopFileTask(int index) override { Record("StopTask " + std::to_string(index)); }
    int32_t ReloadFileTask(int index, bool force) override {
        std::lock_guard<std::mutex> hold(m_lock);
        calls.push_back("Reload " + std::to_string(index) + (force ? " force" : ""));
        if (reload_failures > 0) {
            --reload_failures;
            return -106;
        }
        std::vector<std::string>& contents = repairs[index];
        size_t round = m_rounds[index]++;
        if (!contents.empty()) {
            const std::string& body = contents[std::min(round, contents.size() - 1)];
            std::ofstream(m_folder + "/" + m_names.at(size_t(index)), std::ios::binary | std::ios::trunc) << body;
        }
        m_polls[index] = 0;
        return 0;
    }
    bool QueryFileTask(int index, uint32_t* progress, uint32_t* rate) override {
        std::lock_guard<std::mutex> hold(m_lock);
        int poll = ++m_polls[index];
        *progress = poll >= 2 ? 10000 : 5000;
        *rate = 2048;
        return true;
    }
    void SetVerification(int index, uint32_t progress) override {
        Locked([&] {
            verify_index = index;
            verify_progress = progress;
        });
    }
    void SetVerifyProgress(uint32_t progress) override {
        Locked([&] { verify_progress = progress; });
    }
    void SetRepair(uint32_t progress, uint32_t rate) override {
        Locked([&] {
            repair_progress = progress;
            repair_rate = rate;
            repair_figures.push_back(progress);
        });
    }
    void SetMismatchSeen(bool seen) override {
        Locked([&] { mismatch_seen = seen; });
    }
    void WriteCreationKeys() override { Record("WriteCreationKeys"); }
    void RecordFinishInfo(int index) override { Record("RecordFinishInfo " + std::to_string(index)); }
    void ShowMessage(const std::string& text, const std::string& caption) override {
        Locked([&] { messages.push_back({text, caption}); });
    }
    bool AskYesNo(const std::string& text, const std::string& caption) override {
        return Locked([&] {
            questions.push_back({text, caption});
            return answer_yes;
        });
    }
    void SubmitEvent(uint32_t code, const std::string& text, int32_t) override {
        Locked([&] { events.push_back({code, "", text}); });
    }
    void SubmitFileEvent(uint32_t code, const std::string& file, const std::string& text) override {
        if (throw_on_file_event) throw std::runtime_error("statistics queue gone");
        Locked([&] { events.push_back({code, file, text}); });
    }
    void SubmitStatsEvent(uint32_t code, const std::string& text) override {
        Locked([&] { events.push_back({code, "stats", text}); });
    }
    void PostInstallAfterVerification() override { Record("PostInstall"); }
    void CloseMainWindow() override { Record("CloseMainWindow"); }
    void ShutdownServices() override { Record("ShutdownServices"); }

    // The file names the repairs write to.
    void SetNames(const std::array<std::string, 4>& names) { m_names = {names.begin(), names.end()}; }

    // Snapshots for assertions.
    std::vector<Event> Events() const { return Locked([&] { return events; }); }
    std::vector<std::pair<std::string, std::string>> Messages() const { return Locked([&] { return messages; }); }
    std::vector<std::string> Calls() const { return Locked([&] { return calls; }); }
    std::vector<int> States() const { return Locked([&] { return states; }); }
    bool Called(const std::string& call) const {
        auto all = Calls();
        return std::find(all.begin(), all.end(), call) != all.end();
    }

    // Published verification figures.
    int verify_index = -1;
    uint32_t verify_progress = 0;
    uint32_t repair_progress = 0;
    uint32_t repair_rate = 0;
    std::vector<uint32_t> repair_figures;
    bool mismatch_seen = false;
    template <typename T>
    T Get(const T& field) const {
        return Locked([&] { return field; });
    }

    std::vector<int> states;
    std::vector<std::pair<std::string, std::string>> messages;
    std::vector<std::pair<std::string, std::string>> questions;
    std::vector<Event> events;
    std::vector<std::string> calls;

private:
    template <typename F>
    auto Locked(F f) const -> decltype(f()) {
        std::lock_guard<std::mutex> hold(m_lock);
        return f();
    }
    void Record(const std::string& call) {
        Locked([&] { calls.push_back(call); });
    }

    mutable std::mutex m_lock;
    std::string m_folder;
    std::vector<std::string> m_names;
    std::map<int, size_t> m_rounds;
    std::map<int, int> m_polls;
};

}  // namespace app_test
