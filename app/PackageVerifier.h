#pragma once
// Checking the four package files against their built-in MD5 digests before
// the installer starts, and repairing a file that does not match by
// downloading it again through its engine task (at most five rounds per
// file). The check runs on its own thread; the controller's timers read its
// figures for the file list and the progress bar.
//
// Owner: the download controller. Threads: AskVerifyAndInstall and
// StartVerification run on the UI thread; the check thread does the rest.
// The figures the UI reads (index, progress, repair progress and rate, the
// mismatch flag) live in the controller and are published through the host;
// the kept digest has its own mutex.
// Destroying the verifier stops the check thread at its next wait or read.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "app/AppState.h"
#include "app/ConfigSlots.h"
#include "app/InstallAndExit.h"
#include "app/PackageFinishHost.h"

namespace app {

// A file still wrong after the last repair is reported with the code of an
// unrequested exit.
constexpr uint32_t EventRepairFailed = EventUnrequestedExit;

// Repair rounds per file before the check gives up.
constexpr int MaxRepairRounds = 5;
// Attempts to re-create a file's task for one repair round.
constexpr int MaxReloadAttempts = 4;

struct VerifierOptions {
    // How often a repaired task is polled; the engine updates its status
    // once a second.
    int poll_interval_ms = 1000;
    // Starts the check thread; false when it cannot be created. Null: a
    // std::thread owned by the verifier. Tests replace it with one that
    // refuses, to see the failure path.
    std::function<bool(std::function<void()>)> start_thread;
};

class PackageVerifier {
public:
    PackageVerifier(IPackageFinishHost& host, const PackageConfig& config, InstallAndExit& installer,
                    std::string product_title, VerifierOptions options = {});
    ~PackageVerifier();
    PackageVerifier(const PackageVerifier&) = delete;
    PackageVerifier& operator=(const PackageVerifier&) = delete;

    // The install button in state 8: asks whether to verify first.
    void AskVerifyAndInstall();
    // Starts the check in state 8; answers other states with a message (or,
    // in state 12, starts the installer).
    void StartVerification(bool install_afterwards);
    // Compares file i in the save folder with its expected digest; a
    // mismatch is logged, noted, and with `remember` its digest kept.
    bool CheckFile(int index, bool remember);
    // MD5 of the file at `path` while file i is being checked, publishing the
    // progress; empty when the file cannot be read.
    std::string ComputeFileDigest(const std::string& path, int index);

    // The digest of the last mismatch kept by CheckFile.
    std::string KeptDigest() const;
    bool InstallAfterwards() const { return m_install_afterwards; }

    // Ends the check thread at its next wait or read and joins it.
    void Stop();

private:
    void CheckThread();
    // Checks file i and repairs it when needed; false when the check ends.
    bool VerifyAndRepair(int index);
    // One repair round: the file's task downloads it again. False when the
    // task could not be re-created (the check ends) or the verifier stops.
    bool RepairOnce(int index);
    bool ReloadTask(int index);
    bool WaitForRepairedTask(int index);
    // Waits one poll interval; false when asked to stop.
    bool Nap();
    bool StopRequested() const { return m_stop; }
    void Message(const std::string& text);
    std::string FilePath(int index) const;

    IPackageFinishHost& m_host;
    const PackageConfig& m_config;
    InstallAndExit& m_installer;
    std::string m_title;
    VerifierOptions m_options;

    std::atomic<bool> m_install_afterwards{false};
    mutable std::mutex m_digest_lock;
    std::string m_kept_digest;  // guarded by m_digest_lock

    std::mutex m_wait_lock;
    std::condition_variable m_wake;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace app
