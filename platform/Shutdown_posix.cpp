#include "platform/Shutdown.h"

#include <cstdlib>

#include "platform/Process.h"

namespace platform {

namespace {

// How long the shutdown program may take to answer. systemd's shutdown
// schedules and returns at once; a program that is still running after this
// is one that waits in the foreground for the time to come.
constexpr uint32_t AnswerWaitMs = 3000;

}  // namespace

std::string ShutdownProgram() {
    const char* custom = std::getenv("TIDEWELL_SHUTDOWN_COMMAND");
    return custom && *custom ? std::string(custom) : std::string("shutdown");
}

bool ScheduleSystemShutdown(int delay_seconds, const std::string& message) {
    int minutes = delay_seconds <= 0 ? 0 : (delay_seconds + 59) / 60;
    SpawnResult started = SpawnProcess(ShutdownProgram(), {"-P", "+" + std::to_string(minutes), message}, "");
    if (!started.Ok()) return false;
    int exit_code = -1;
    if (!WaitForProcess(started.pid, AnswerWaitMs, &exit_code)) {
        ReapInBackground(started.pid);
        return true;
    }
    return exit_code == 0;
}

}  // namespace platform
