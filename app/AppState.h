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

// Statistics events of the downloader.
constexpr uint32_t EventDownloadBegins = 11010000;
constexpr uint32_t EventUserPaused = 11020000;
constexpr uint32_t EventTasksResumed = 11030000;  // by the user, or restored at start-up
constexpr uint32_t EventUserExit = 11040000;
constexpr uint32_t EventStillDownloading = 11050000;  // every 300 polls
constexpr uint32_t EventDownloadFinished = 11060000;
constexpr uint32_t EventInstallClicked = 11070000;
constexpr uint32_t EventFileComplete = 11080000;
constexpr uint32_t EventVerifyChosen = 11100001;
constexpr uint32_t EventVerifyDeclined = 11100002;
constexpr uint32_t EventRepairedFileVerified = 11100003;
constexpr uint32_t EventAllFilesVerified = 11100004;
constexpr uint32_t EventEngineStartFailed = 11400101;
constexpr uint32_t EventExtractionFailed = 11400190;
constexpr uint32_t EventFirstVerifyFailed = 11500201;
constexpr uint32_t EventInstallerNotStarted = 11600101;
constexpr uint32_t EventInstallerMissing = 11600102;
constexpr uint32_t EventTaskTimedOut = 11990202;
constexpr uint32_t EventDiskFull = 11990301;
constexpr uint32_t EventUnrequestedExit = 11990501;  // also: repair failed five times

// The downloader's lines in the engine log.
constexpr int32_t DownloaderLogLevel = 34;

}  // namespace app
