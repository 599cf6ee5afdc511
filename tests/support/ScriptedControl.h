#pragma once
// A download controller stand-in for the front ends' tests and the window's
// screenshots: its state and texts are set by the test (or by the optional
// hooks as the front end acts), and the calls the front end makes are
// recorded.

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/DownloadControl.h"
#include "platform/Paths.h"

namespace uitest {

class ScriptedControl : public app::IDownloadControl {
public:
    int start_answer = 0;
    bool expired = false;
    std::string expiry_message;
    std::string expiry_url;
    int state = 1;
    bool blocked = false;
    std::string title = "游戏版本：v0.0.3.11";
    std::string size_text = "0 B/4.5 GB";
    std::string speed_text = "0 B/s";
    int32_t overall = 0;
    int32_t verify = 0;
    int32_t repair = 0;
    std::string repair_rate = "1.5 MB/s";
    bool mismatch = false;
    std::vector<std::string> names{"TidewellDemo_Setup.sh", "TidewellDemo.zip", "TidewellDemo01.cab",
                                   "TidewellDemo02.cab"};
    std::vector<std::string> statuses{"未开始    ", "未开始    ", "未开始    ", "未开始    "};
    std::string save_folder = "/tmp/tidewell-ui/wg311";
    std::string setup_path;
    int close_selection = -1;

    // What the window did.
    int main_button_presses = 0;
    int polls = 0;
    int exits = 0;
    bool user_exit = false;
    bool shutdown_when_finished = true;
    bool p2p = true;
    int32_t speed_limit = -1;
    std::vector<std::string> folders_set;
    std::vector<int> close_selections_set;
    std::vector<std::string> folders_chosen;
    std::function<void()> install_request;
    std::function<void()> end_request;
    std::function<bool(const std::string&, const std::string&)> question;
    std::vector<bool> verifications;  // install_afterwards of each StartVerification
    std::vector<bool> installs;       // verified flag of each Install

    // Optional behaviour: what the main button does, and a state script run
    // by each UpdateState.
    std::function<void(ScriptedControl&)> on_main_button;
    std::function<void(ScriptedControl&)> on_update;

    // The port mapping: the front end's handler (workers call it), the
    // notifications the front end handed back on its own thread, and the
    // notice each code answers with.
    std::function<void(int, int64_t)> port_forward_handler;
    std::vector<std::pair<int, int64_t>> port_notifications;
    std::map<int, std::string> port_notices;

    int Initialize() override { return start_answer; }
    bool CheckExpiry(std::string* message, std::string* url) override {
        if (!expired) return false;
        *message = expiry_message;
        *url = expiry_url;
        return true;
    }
    int UpdateState() override {
        if (on_update) on_update(*this);
        return state;
    }
    void PollTasks() override { ++polls; }
    void OnMainButton() override {
        ++main_button_presses;
        if (on_main_button) on_main_button(*this);
    }
    void Install(bool verified) override { installs.push_back(verified); }
    void StartVerification(bool install_afterwards) override { verifications.push_back(install_afterwards); }
    int State() const override { return state; }
    bool Blocked() const override { return blocked; }
    std::string TitleText() const override { return title; }
    std::string SizeText() override { return size_text; }
    std::string SpeedText() override { return speed_text; }
    int32_t OverallProgress() override { return overall; }
    int32_t VerifyProgress() const override { return verify; }
    int32_t RepairProgress() const override { return repair; }
    std::string RepairRateText() const override { return repair_rate; }
    bool MismatchSeen() const override { return mismatch; }
    int FileCount() const override { return int(names.size()); }
    std::string FileName(int index) const override { return names[size_t(index)]; }
    std::string FileStatusText(int index) override { return statuses[size_t(index)]; }
    app::FileFigures Figures(int) override { return {}; }
    uint64_t PackageBytes() const override { return 0; }
    std::string SaveFolder() const override { return save_folder; }
    void SetSaveFolder(const std::string& folder) override {
        save_folder = folder;
        folders_set.push_back(folder);
    }
    // The controller's rule: before the download, the picked folder plus
    // the package's folder name, and back to ready.
    bool ChooseSaveFolder(const std::string& picked) override {
        folders_chosen.push_back(picked);
        if (picked.empty() || (state != 0 && state != 1)) return false;
        save_folder = platform::JoinPath(picked, "wg311");
        state = 1;
        return true;
    }
    std::string SetupFilePath() const override { return setup_path; }
    int CloseSelection() const override { return close_selection; }
    void SetCloseSelection(int choice) override { close_selections_set.push_back(choice); }
    void SetUserExit(bool requested) override { user_exit = requested; }
    void SetSpeedLimit(int32_t kib) override { speed_limit = kib; }
    void SetShutdownWhenFinished(bool enabled) override { shutdown_when_finished = enabled; }
    void SetP2PEnabled(bool enabled) override { p2p = enabled; }
    bool P2PEnabled() const override { return p2p; }
    void OnExit() override { ++exits; }
    void SetInstallRequestHandler(std::function<void()> handler) override { install_request = std::move(handler); }
    void SetEndHandler(std::function<void()> handler) override { end_request = std::move(handler); }
    void SetPortForwardHandler(std::function<void(int, int64_t)> handler) override {
        port_forward_handler = std::move(handler);
    }
    std::string OnPortForwardNotification(int code, int64_t status) override {
        port_notifications.emplace_back(code, status);
        auto it = port_notices.find(code);
        return it == port_notices.end() ? std::string() : it->second;
    }
    void SetQuestionHandler(std::function<bool(const std::string&, const std::string&)> handler) override {
        question = std::move(handler);
    }
};

}  // namespace uitest
