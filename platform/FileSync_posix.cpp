#include <fcntl.h>
#include <unistd.h>

#include "platform/File.h"
#include "platform/FileSync.h"

namespace platform {

namespace {

std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace

bool SyncDirectory(const std::string& folder) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool ReplaceFileDurably(const std::string& path, const std::string& data) {
    // WriteFileAtomic writes and syncs a temporary file beside `path` and
    // renames it over; the rename itself is durable once the folder is.
    return WriteFileAtomic(path, data) && SyncDirectory(FolderOf(path));
}

}  // namespace platform
