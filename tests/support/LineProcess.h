#pragma once
// A program a test talks to line by line: its standard input is a pipe the
// test writes commands to, its standard output a pipe the test reads lines
// from (standard error goes to the test's). Stopped by its pid (SIGTERM,
// then SIGKILL) when destroyed. Used by one test thread.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

class LineProcess {
public:
    explicit LineProcess(const std::vector<std::string>& argv);
    ~LineProcess();
    LineProcess(const LineProcess&) = delete;
    LineProcess& operator=(const LineProcess&) = delete;

    bool Started() const { return m_pid > 0; }
    bool WriteLine(const std::string& line);
    // Reads lines until one satisfies `match` (returned) or `limit` passes
    // (empty). Every line read is kept in Lines().
    std::string WaitForLine(const std::function<bool(const std::string&)>& match,
                            std::chrono::milliseconds limit = std::chrono::seconds(10));
    std::string WaitForPrefix(const std::string& prefix, std::chrono::milliseconds limit = std::chrono::seconds(10));
    const std::vector<std::string>& Lines() const { return m_lines; }
    // Lines read so far that begin with `prefix`.
    size_t CountPrefix(const std::string& prefix) const;

private:
    bool ReadSome(int timeout_ms);

    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    std::string m_partial;
    std::vector<std::string> m_lines;
    size_t m_next = 0;  // first line not yet offered to a WaitForLine
};

}  // namespace testing_support
