#pragma once
// The downloader's application states (one integer, logged by name when it
// changes) and its statistics event codes used at start-up.

#include <cstdint>

namespace app {

enum AppState : int {
    StateBack = 0,            // nothing started; not enough disk space
    StateReady = 1,           // nothing started, space available
    StatePreparing = 3,       // tasks created, no data yet
    StateDownloading = 4,     // data flowing
    StatePause = 5,           // stopped by the user or for lack of space
    StateResume = 6,          // restarted by the user
    StateFailed = 7,          // disk write failure, or repair failed
    StateFinished = 8,        // all four files complete
    StateMd5Checking = 10,    // verification running
    StateCheckRecover = 11,   // repair running
    StateCheckFinished = 12,  // all files verified
    StateInstalling = 13,     // installer being started
    StateRecover = 15,        // tasks restored at start-up
    StateReload = 16,         // tasks restored for re-checking
    StateUnrequestedExit = 17,
};

// Statistics events sent by start-up and recovery.
constexpr uint32_t EventTasksResumed = 11030000;
constexpr uint32_t EventEngineStartFailed = 11400101;
constexpr uint32_t EventExtractionFailed = 11400190;

// The downloader's lines in the engine log.
constexpr int32_t DownloaderLogLevel = 34;

}  // namespace app
