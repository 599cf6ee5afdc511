#include "app/AppPaths.h"

#include <cstdlib>

namespace app {

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

}  // namespace

std::string JoinPath(const std::string& a, const std::string& b) {
    if (a.empty()) return b;
    if (a.back() == '/') return a + b;
    return a + "/" + b;
}

std::string TempFolder() {
    std::string tmp = Env("TMPDIR");
    return tmp.empty() ? std::string("/tmp") : tmp;
}

std::string DataFolder() {
    std::string dir = Env("TIDEWELL_DATA_DIR");
    if (!dir.empty()) return dir;
    dir = Env("XDG_DATA_HOME");
    if (!dir.empty()) return dir;
    return JoinPath(Env("HOME"), ".local/share");
}

AppPaths AppPaths::ForPackage(const std::string& data_folder, const std::string& package_id) {
    AppPaths p;
    p.work_folder = JoinPath(data_folder, "Corvane/Tidewell/Tidewell" + package_id);
    p.settings_file = JoinPath(p.work_folder, package_id + ".twconf");
    p.log_base = JoinPath(p.work_folder, package_id);
    return p;
}

std::string AppPaths::InfoFolder(const std::string& task_hash) const {
    return JoinPath(work_folder, task_hash + "TWInfo/");
}

}  // namespace app
