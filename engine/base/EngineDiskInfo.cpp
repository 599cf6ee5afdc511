#include "engine/base/EngineDiskInfo.h"

#include <cerrno>

#include "platform/File.h"

namespace engine {

int64_t DiskFreeBytes(const std::string& path) {
    if (path.empty() || path.front() != '/') return 0;
    int64_t free_bytes = platform::FreeSpace(path);
    return free_bytes < 0 ? 0 : free_bytes;
}

int64_t FileAllocatedSize(const std::string& path) {
    int64_t size = platform::AllocatedSize(path);
    if (size >= 0) return size;
    size = platform::AllocatedSize(path + ".twtmp");
    if (size >= 0) return size;
    int error = platform::LastFileError();
    return error == ENOENT ? 0 : -1;
}

}  // namespace engine
