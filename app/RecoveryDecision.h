#pragma once
// The start-up recovery decision: from what the settings file says and which
// package files are on disk, whether to start afresh, report the download as
// finished, re-check it, resume it, or tell the user the files are gone.
// Pure: files are asked about through the probe, so tests can state any
// situation. Used once by DownloadSession::Initialize.

#include <array>
#include <functional>
#include <string>

#include "app/ConfigSlots.h"

namespace app {

// Values read from the settings file (empty when a key is missing).
struct RecoverySnapshot {
    bool settings_exists = false;
    std::string create_time;
    std::string task_hash;
    std::string save_path;
    std::string entrance;
    std::string is_complete;
};

struct RecoveryProbe {
    // Whether a file exists.
    std::function<bool(const std::string& path)> exists;
    // Whether file i is unchanged since it was recorded finished; called for
    // every file so the changed ones are all noted for reloading.
    std::function<bool(int index)> unchanged_complete;
};

struct RecoveryFlags {
    bool no_create_time = false;
    bool no_hash = false;
    bool no_save_path = false;
    bool no_entrance = false;
    bool finished = false;
    bool check = false;
    bool all_lost = false;
    bool resumable = false;
};

enum class RecoveryOutcome {
    Fresh,      // state 1, nothing restored
    AllLost,    // every target and its temporary file gone: start afresh, tell the user
    Finished,   // state 8: all four files unchanged since they were finished
    Check,      // state 16: some file present but changed: reload and re-check
    Resumable,  // state 15: nothing present yet, partial downloads to resume
};

// `targets` are the four target paths (save folder + file name); the
// temporary name of each is the target + ".twtmp".
RecoveryFlags CollectRecoveryFlags(const RecoverySnapshot& snapshot,
                                   const std::array<std::string, PackageFileCount>& targets,
                                   const RecoveryProbe& probe);
RecoveryOutcome DecideRecovery(const RecoveryFlags& flags);

}  // namespace app
