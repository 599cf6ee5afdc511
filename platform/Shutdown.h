#pragma once
// Asking the system to power off after a delay, with a message for logged-in
// users. The program run is "shutdown" unless the environment variable
// TIDEWELL_SHUTDOWN_COMMAND names another one (tests use a script that
// records its arguments). Any thread; blocks at most a few seconds.

#include <string>

namespace platform {

// Runs `<program> -P +<minutes> <message>` with the delay rounded up to whole
// minutes. True when the program accepted the request: it exited with status
// 0, or it is still running after a short wait (some implementations stay in
// the foreground until the time comes; they are left running and reaped in
// the background).
bool ScheduleSystemShutdown(int delay_seconds, const std::string& message);

// The program ScheduleSystemShutdown runs.
std::string ShutdownProgram();

}  // namespace platform
