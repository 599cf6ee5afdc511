#include "platform/Process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace platform {

namespace {

uint64_t MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1'000'000u;
}

void NapMs(long ms) {
    timespec ts{0, ms * 1'000'000L};
    nanosleep(&ts, nullptr);
}

SpawnResult Failure(int os_error) {
    SpawnResult r;
    r.error = SpawnErrorFromErrno(os_error);
    r.os_error = os_error;
    return r;
}

// Owns the spawn attribute objects so every exit path releases them.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

int SpawnErrorFromErrno(int error) {
    switch (error) {
        case 0: return SpawnError::None;
        case ENOENT: return SpawnError::FileNotFound;
        case ENOTDIR: return SpawnError::PathNotFound;
        case EACCES:
        case EPERM: return SpawnError::AccessDenied;
        case ENOMEM: return SpawnError::OutOfMemory;
        case ENOEXEC: return SpawnError::BadFormat;
        case ETXTBSY: return SpawnError::SharingViolation;
        default: return SpawnError::AccessDenied;
    }
}

SpawnResult SpawnProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& working_folder) {
    std::vector<std::string> storage;
    storage.reserve(args.size() + 1);
    storage.push_back(program);
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);

    SpawnSetup setup;
    if (!working_folder.empty()) {
        int rc = posix_spawn_file_actions_addchdir_np(&setup.actions, working_folder.c_str());
        if (rc != 0) return Failure(rc);
    }
    // The child starts with default dispositions and an empty signal mask,
    // whatever this process blocks or ignores (SIGPIPE, test signals).
    sigset_t empty, defaults;
    sigemptyset(&empty);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    posix_spawnattr_setsigmask(&setup.attr, &empty);
    posix_spawnattr_setsigdefault(&setup.attr, &defaults);
    posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    bool search = program.find('/') == std::string::npos;
    // glibc reports a failed exec (and a failed chdir) as the return value.
    int rc = search ? posix_spawnp(&pid, program.c_str(), &setup.actions, &setup.attr, argv.data(), environ)
                    : posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attr, argv.data(), environ);
    if (rc != 0) return Failure(rc);
    SpawnResult ok;
    ok.pid = pid;
    return ok;
}

SpawnResult OpenWithDesktop(const std::string& target, const std::string& opener) {
    std::string path = opener.find('/') == std::string::npos ? FindInPath(opener) : opener;
    if (path.empty() || !IsExecutableFile(path)) {
        SpawnResult r;
        r.error = SpawnError::NoAssociation;
        r.os_error = ENOENT;
        return r;
    }
    SpawnResult r = SpawnProcess(path, {target}, "");
    if (r.Ok()) ReapInBackground(r.pid);
    return r;
}

bool WaitForProcess(int pid, uint32_t timeout_ms, int* exit_code) {
    uint64_t deadline = MonotonicMs() + timeout_ms;
    for (;;) {
        int status = 0;
        pid_t rc = ::waitpid(pid, &status, WNOHANG);
        if (rc == pid) {
            if (exit_code) *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        }
        if (rc < 0 && errno != EINTR) return false;
        if (MonotonicMs() >= deadline) return false;
        NapMs(5);
    }
}

bool TerminateProcess(int pid, uint32_t grace_ms) {
    if (pid <= 0) return false;
    if (::kill(pid, SIGTERM) != 0) {
        if (errno != ESRCH) return false;
        WaitForProcess(pid, 0, nullptr);  // gone already; reap it if it was ours
        return true;
    }
    if (WaitForProcess(pid, grace_ms, nullptr)) return true;
    ::kill(pid, SIGKILL);
    // SIGKILL cannot be caught; the bound only guards against a child stuck
    // in an uninterruptible wait.
    return WaitForProcess(pid, 10'000, nullptr);
}

void ReapInBackground(int pid) {
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string FindInPath(const std::string& name) {
    const char* env = std::getenv("PATH");
    std::string path_list = env ? env : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= path_list.size()) {
        size_t end = path_list.find(':', start);
        if (end == std::string::npos) end = path_list.size();
        std::string candidate = end > start ? path_list.substr(start, end - start) : std::string(".");
        candidate.append(1, '/').append(name);
        if (IsExecutableFile(candidate)) return candidate;
        start = end + 1;
    }
    return {};
}

}  // namespace platform
