#include "tests/support/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tests/support/Sandbox.h"

extern char** environ;

namespace testing_support {

namespace {

int WaitExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return -1;
}

}  // namespace

ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& folder,
                         std::chrono::milliseconds limit) {
    ProgramResult result;
    if (argv.empty()) return result;
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        result.output = "pipe failed";
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
    if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());

    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    if (rc != 0) {
        close(pipe_fds[0]);
        result.exit_code = 127;
        result.output = "cannot start " + argv[0] + ": " + std::strerror(rc) +
                        " (install it: scripts/install-deps)";
        return result;
    }

    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[4096];
    bool timed_out = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timed_out = true;
            break;
        }
        pollfd pfd{pipe_fds[0], POLLIN, 0};
        int ready = poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        result.output.append(buffer, static_cast<size_t>(n));
    }
    close(pipe_fds[0]);
    if (timed_out) kill(pid, SIGKILL);
    int code = WaitExit(pid);
    result.exit_code = (rc == 0 && !timed_out) ? code : -1;
    return result;
}

void StopChild(int pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    const bool reaped = WaitFor([&] { return waitpid(pid, nullptr, WNOHANG) == pid; }, std::chrono::seconds(5));
    if (!reaped) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

}  // namespace testing_support
