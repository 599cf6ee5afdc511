#include "tests/support/LineProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "tests/support/Process.h"

extern char** environ;

namespace testing_support {

LineProcess::LineProcess(const std::vector<std::string>& argv) {
    int to_child[2];
    int from_child[2];
    if (argv.empty() || pipe2(to_child, O_CLOEXEC) != 0) return;
    if (pipe2(from_child, O_CLOEXEC) != 0) {
        close(to_child[0]);
        close(to_child[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
    posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) m_pid = pid;
    posix_spawn_file_actions_destroy(&actions);
    close(to_child[0]);
    close(from_child[1]);
    m_in = to_child[1];
    m_out = from_child[0];
}

LineProcess::~LineProcess() {
    if (m_in >= 0) close(m_in);
    StopChild(m_pid);
    if (m_out >= 0) close(m_out);
}

bool LineProcess::WriteLine(const std::string& line) {
    if (m_in < 0) return false;
    const std::string text = line + "\n";
    return write(m_in, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

bool LineProcess::ReadSome(int timeout_ms) {
    pollfd p{m_out, POLLIN, 0};
    if (m_out < 0 || poll(&p, 1, timeout_ms) <= 0) return false;
    char buffer[4096];
    const ssize_t n = read(m_out, buffer, sizeof buffer);
    if (n <= 0) return false;
    m_partial.append(buffer, static_cast<size_t>(n));
    size_t end;
    while ((end = m_partial.find('\n')) != std::string::npos) {
        m_lines.push_back(m_partial.substr(0, end));
        m_partial.erase(0, end + 1);
    }
    return true;
}

std::string LineProcess::WaitForLine(const std::function<bool(const std::string&)>& match,
                                     std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        for (; m_next < m_lines.size(); ++m_next) {
            if (match(m_lines[m_next])) return m_lines[m_next++];
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return {};
        if (!ReadSome(static_cast<int>(std::min<int64_t>(left.count(), 100))) && m_out < 0) return {};
    }
}

std::string LineProcess::WaitForPrefix(const std::string& prefix, std::chrono::milliseconds limit) {
    return WaitForLine([&](const std::string& line) { return line.rfind(prefix, 0) == 0; }, limit);
}

size_t LineProcess::CountPrefix(const std::string& prefix) const {
    return static_cast<size_t>(std::count_if(m_lines.begin(), m_lines.end(),
                                             [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

}  // namespace testing_support
