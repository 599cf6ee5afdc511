#pragma once
// Disk questions of the flat interface, usable inside the engine too.
// Stateless; any thread.

#include <cstdint>
#include <string>

namespace engine {

// Bytes available to the caller on the file system of an absolute path (its
// nearest existing folder); 0 for a relative path or on failure.
int64_t DiskFreeBytes(const std::string& path);
// Bytes the file occupies on disk; when it cannot be examined, those of its
// ".twtmp" companion; 0 when neither exists, -1 on other errors.
int64_t FileAllocatedSize(const std::string& path);

}  // namespace engine
