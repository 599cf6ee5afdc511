#pragma once
// Shared by the download controller's source files only: the state groups,
// the state names of the log line and the controller's constants.

#include <algorithm>
#include <cstdint>
#include <initializer_list>

#include "app/AppState.h"

namespace app::controller_detail {

// Events every this many polls while downloading.
inline constexpr uint32_t PollsPerProgressEvent = 300;
// The resource list is applied on the first speed query of a download and
// then every this many.
inline constexpr uint32_t SpeedCallsPerResourceList = 600;
// Above this summed rate (bytes per second) data counts as flowing.
inline constexpr uint64_t FlowingRate = 1024;
inline constexpr int SparseRecheckMs = 50;
inline constexpr int32_t ResourceListFailureLogLevel = 38;
// The resource list is fetched without a time-out of its own; this bound only
// keeps a hung server from holding the program at exit.
inline constexpr long ResourceListFetchBoundS = 60;
inline constexpr int32_t Complete = 10000;

inline bool In(int state, std::initializer_list<int> states) {
    return std::find(states.begin(), states.end(), state) != states.end();
}

// The states in which data is (or is about to be) downloaded.
inline bool Transferring(int state) {
    return In(state, {StatePreparing, StateDownloading, StateResume, StateRecover, StateReload});
}

inline const char* StateName(int state) {
    switch (state) {
    case StateBack: return "back";
    case StateReady: return "ready";
    case StatePreparing: return "preparing";
    case StateDownloading: return "downloading";
    case StatePause: return "pause";
    case StateResume: return "resume";
    case StateFailed: return "failed";
    case StateFinished: return "finished";
    case StateMd5Checking: return "md5checking";
    case StateCheckRecover: return "checkrecover";
    case StateCheckFinished: return "checkfinished";
    case StateRecover: return "recover";
    case StateReload: return "reload";
    default: return nullptr;
    }
}

inline uint32_t Capped(int32_t progress) { return progress > 9999 ? Complete : uint32_t(std::max(progress, 0)); }

}  // namespace app::controller_detail
