#pragma once
// Running a real program from a test and capturing what it prints. Used by
// interoperability tests; a program that cannot be started gives exit code
// 127 and an explanation in `output`, so the test fails (never skips).

#include <chrono>
#include <string>
#include <vector>

namespace testing_support {

struct ProgramResult {
    int exit_code = -1;   // 127 when the program could not be started
    std::string output;   // standard output and standard error, interleaved
};

// Runs argv[0] (looked up in PATH) with the given arguments in `folder`
// (empty: the current one) and waits for it, at most `limit`; a program still
// running then is killed and reported with exit code -1.
ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& folder = {},
                         std::chrono::milliseconds limit = std::chrono::seconds(60));

// Stops a server the test started: SIGTERM, SIGKILL when it has not ended
// within five seconds, and reaps it. Does nothing for pid <= 0.
void StopChild(int pid);

}  // namespace testing_support
