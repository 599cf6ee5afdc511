#pragma once
// One running copy per name: the first copy claims the name and listens; a
// later copy hands its current folder over to the first one and exits, or,
// when the first copy does not answer in time, ends it and takes the name.
//
// Mechanism: a Unix domain socket in the abstract namespace (no file, freed
// by the kernel when the holder's process ends, even when it crashes). The
// first copy's listener thread accepts a later copy's connection, reads the
// folder it sends (a NUL-terminated text), asks the handover handler and
// answers with one byte when the handler confirms. A later copy that gets no
// byte within the reply time reads the first copy's process id from the
// connection (SO_PEERCRED) and ends it: SIGTERM (and SIGCONT, so a stopped
// copy acts on it), then SIGKILL after a short grace. A first copy that
// closes the connection without the byte (its window did not respond) has
// not answered either. When the name stays held all the same, the later copy
// does not run: two copies never work on one package.
//
// Owner: the application object, for the whole process. Threads: Claim on
// the main thread before anything else runs; the handler runs on the
// listener thread. Only copies of the same user hand over to each other.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace platform {

// Called in the first copy when a later copy starts, with the later copy's
// current folder. True when the first copy is alive and has taken the
// request (the later copy then exits); false lets the later copy end it.
using HandoverHandler = std::function<bool(const std::string& folder)>;

class SingleInstance {
public:
    enum class Outcome {
        First,       // nobody held the name; this copy holds it now
        HandedOver,  // the first copy answered: this copy should exit
        TookOver,    // the first copy did not answer; it was ended and this copy holds the name
        Unguarded,   // the name could not be claimed (another user's copy, no sockets): run anyway
        Held,        // a copy of ours holds the name and could not be ended: this copy must not run
    };

    // Longest folder text sent (the first copy's shared memory held 4092
    // bytes after the thread id).
    static constexpr size_t FolderCapacity = 4092;

    SingleInstance() = default;
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Claims `name`. A later copy waits up to `reply_timeout_ms` for the
    // first copy's answer.
    Outcome Claim(const std::string& name, const std::string& current_folder, uint32_t reply_timeout_ms,
                  HandoverHandler on_handover);
    // Stops listening and gives the name up.
    void Release();
    bool Holds() const { return m_listen_fd >= 0; }

private:
    bool Listen(int fd);
    void ListenLoop();
    void Serve(int connection);

    int m_listen_fd = -1;
    int m_wake_fd = -1;
    HandoverHandler m_handler;
    std::thread m_listener;
};

}  // namespace platform
