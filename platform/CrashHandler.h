#pragma once
// The process's last word when it crashes. After InstallCrashHandler, a fatal
// signal (segmentation fault, bus error, illegal instruction, arithmetic
// fault, abort) writes a text report (the signal, the faulting address and a
// backtrace) to a file in the current folder named after the local time,
//   "YYYY-MM-DD-hh-mm-ss-<milliseconds>-<random 0..99>.dmp",
// and then lets the process end by that signal as it would have without the
// handler. Installing again refreshes the cached local-time offset; it is
// cheap and may be called from any thread at any time.

#include <string>

namespace platform {

void InstallCrashHandler();

// The report name for a moment given in local broken-down time; exposed so the
// naming can be checked without crashing.
std::string CrashReportName(int year, int month, int day, int hour, int minute, int second,
                            int millisecond, int random_below_100);

}  // namespace platform
