#include "app/AppPaths.h"

#include "platform/Paths.h"

namespace app {

AppPaths AppPaths::ForPackage(const std::string& data_folder, const std::string& package_id) {
    AppPaths p;
    p.work_folder = platform::JoinPath(data_folder, "Corvane/Tidewell/Tidewell" + package_id);
    p.settings_file = platform::JoinPath(p.work_folder, package_id + ".twconf");
    p.log_base = platform::JoinPath(p.work_folder, package_id);
    return p;
}

std::string AppPaths::InfoFolder(const std::string& task_hash) const {
    return platform::JoinPath(work_folder, task_hash + "TWInfo/");
}

}  // namespace app
