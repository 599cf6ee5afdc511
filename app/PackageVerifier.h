#pragma once
// Checking the four package files against their built-in MD5 digests before
// the installer starts, and repairing a file that does not match by
// downloading it again through its engine task (at most five rounds per
// file). The check runs on its own thread; the controller's timers read its
// index and progress figures for the file list and the progress bar.
//
// Owner: the download controller. Threads: AskVerifyAndInstall and
// StartVerification run on the UI thread; the check thread does the rest.
// The figures the UI reads are atomics; the kept digest has its own mutex.
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

// Statistics events of verification and repair (EventVerifyChosen and
// EventVerifyDeclined are the downloader's, in AppState.h).
constexpr uint32_t EventRepaired = 11100003;
constexpr uint32_t EventAllVerified = 11100004;
constexpr uint32_t EventDigestMismatch = 11500201;
constexpr uint32_t EventRepairFailed = 11990501;

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

    // Figures for the file list and the progress bar.
    int VerifyIndex() const { return m_verify_index; }
    uint32_t VerifyFileProgress() const { return m_verify_progress; }
    uint32_t RepairProgress() const { return m_repair_progress; }
    uint32_t RepairRate() const { return m_repair_rate; }
    bool MismatchSeen() const { return m_mismatch_seen; }
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

    std::atomic<int> m_verify_index{0};
    std::atomic<uint32_t> m_verify_progress{0};
    std::atomic<uint32_t> m_repair_progress{0};
    std::atomic<uint32_t> m_repair_rate{0};
    std::atomic<bool> m_mismatch_seen{false};
    std::atomic<bool> m_install_afterwards{false};
    mutable std::mutex m_digest_lock;
    std::string m_kept_digest;  // guarded by m_digest_lock

    std::mutex m_wait_lock;
    std::condition_variable m_wake;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace app
