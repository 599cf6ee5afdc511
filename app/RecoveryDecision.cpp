#include "app/RecoveryDecision.h"

namespace app {

namespace {

struct Presence {
    bool all_present = false;
    bool some_present = false;
    std::array<bool, PackageFileCount> missing{};
};

// After a finished download only the targets count; before, a target whose
// temporary file is still there is not missing (its download can resume).
Presence ExaminePresence(bool complete, const std::array<std::string, PackageFileCount>& targets,
                         const RecoveryProbe& probe) {
    Presence p;
    if (complete) {
        p.all_present = true;
        for (size_t i = 0; i < targets.size(); ++i) {
            p.missing[i] = !probe.exists(targets[i]);
            if (p.missing[i]) p.all_present = false;
        }
        return p;
    }
    bool some_absent = false;
    for (size_t i = 0; i < targets.size(); ++i) {
        if (!probe.exists(targets[i])) {
            some_absent = true;
            p.missing[i] = !probe.exists(targets[i] + ".twtmp");
        } else {
            p.some_present = true;
        }
    }
    p.all_present = !some_absent;
    return p;
}

}  // namespace

RecoveryFlags CollectRecoveryFlags(const RecoverySnapshot& snapshot,
                                   const std::array<std::string, PackageFileCount>& targets,
                                   const RecoveryProbe& probe) {
    RecoveryFlags f;
    if (!snapshot.settings_exists) {
        f.no_create_time = f.no_hash = f.no_save_path = f.no_entrance = true;
        return f;
    }
    f.no_create_time = snapshot.create_time.empty();
    f.no_hash = snapshot.task_hash.empty();
    f.no_save_path = snapshot.save_path.empty();
    f.no_entrance = snapshot.entrance.empty();

    Presence p = ExaminePresence(snapshot.is_complete == "COMPLETE", targets, probe);
    if (p.all_present || p.some_present) {
        bool all_unchanged = true;
        for (int i = 0; i < PackageFileCount; ++i) {
            if (!probe.unchanged_complete(i)) all_unchanged = false;
        }
        f.finished = all_unchanged;
        f.check = !all_unchanged;
    } else {
        bool all_missing = true;
        for (bool m : p.missing) all_missing = all_missing && m;
        f.all_lost = all_missing;
        f.resumable = !all_missing;
    }
    return f;
}

RecoveryOutcome DecideRecovery(const RecoveryFlags& f) {
    if (f.no_create_time && f.no_hash && f.no_save_path && f.no_entrance) return RecoveryOutcome::Fresh;
    if (f.all_lost) return RecoveryOutcome::AllLost;
    if (f.finished) return RecoveryOutcome::Finished;
    if (f.check) return RecoveryOutcome::Check;
    if (f.resumable) return RecoveryOutcome::Resumable;
    return RecoveryOutcome::Fresh;
}

}  // namespace app
