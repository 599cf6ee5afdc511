#pragma once
// Only one downloader per package runs at a time. The guard runs first thing
// at start-up: a later copy hands over to the running one (which brings its
// window to the front) and exits; a running copy that does not answer within
// one second is ended and the later copy runs instead. The name carries the
// package id (the expected MD5 of package file 0), so downloaders of
// different packages do not meet.
//
// Owner: the application object, for the whole process. Threads: Start on
// the main thread; the window activator runs on the guard's listener thread
// (the front end moves the work onto its UI thread and answers whether that
// thread responded). The activator is guarded by its own mutex because the
// main window sets it after the guard has started.

#include <functional>
#include <mutex>
#include <string>

#include "platform/SingleInstance.h"

namespace app {

class SingleInstanceGuard {
public:
    // How long a later copy waits for the running copy's answer.
    static constexpr uint32_t ReplyTimeoutMs = 1000;

    // Restores the main window and brings it to the front; true when the UI
    // responded. Receives the later copy's current folder.
    using WindowActivator = std::function<bool(const std::string& folder)>;

    // Whether this copy goes on: false when a running copy took over, or holds
    // the package and could not be ended (Outcome() tells which).
    bool Start(const std::string& package_id);
    // Installed once the main window exists; until then a later copy is
    // answered without any window to show.
    void SetWindowActivator(WindowActivator activator);
    platform::SingleInstance::Outcome Outcome() const { return m_outcome; }

    static std::string NameFor(const std::string& package_id) { return "Tidewell_Only_" + package_id; }

private:
    bool OnHandover(const std::string& folder);

    platform::SingleInstance m_instance;
    platform::SingleInstance::Outcome m_outcome = platform::SingleInstance::Outcome::Unguarded;
    std::mutex m_lock;
    WindowActivator m_activator;  // guarded by m_lock
};

}  // namespace app
