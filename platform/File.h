#pragma once
// Files and folders. One portable header; the POSIX implementation is
// File_posix.cpp. Failing calls return false / -1 and leave the OS error
// number in LastFileError() (thread-local), so callers can report it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

enum class OpenMode {
    ReadOnly,        // existing file, read only
    ReadWrite,       // existing file, read and write
    OpenOrCreate,    // read and write, created when missing, never truncated
    CreateAlways,    // read and write, created or truncated to zero
    CreateNew,       // read and write, fails with EEXIST when the file exists
};

// The OS error of the calling thread's last failed call of this header.
int LastFileError();
// Lets other modules of this layer report a failure of their own the same way.
void SetLastFileError(int error);
std::string ErrorText(int error);

// One piece of memory of a gathering write.
struct ConstBuffer {
    const void* data = nullptr;
    size_t length = 0;
};

// An open file. Move-only; closes on destruction. Opening and closing belong
// to one thread; the positioned reads and writes, the size and the sync may
// run on several threads at once (they only pass the descriptor to the OS).
class File {
public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool Open(const std::string& path, OpenMode mode);
    bool IsOpen() const { return m_fd >= 0; }
    void Close();

    // Reads up to `length` bytes at `offset`, retrying short reads; returns
    // the count read (less only at end of file) or -1.
    int64_t ReadAt(void* buffer, size_t length, uint64_t offset) const;
    // Writes all `length` bytes at `offset`; returns false on any failure.
    bool WriteAt(const void* buffer, size_t length, uint64_t offset) const;
    // Writes the buffers one after the other from `offset` in as few system
    // calls as the OS allows (pwritev), retrying short writes; false on any
    // failure.
    bool WriteAtV(const ConstBuffer* buffers, size_t count, uint64_t offset) const;
    bool Truncate(uint64_t size);
    // Reserves real blocks for [offset, offset + length) (posix_fallocate):
    // later writes there cannot fail for lack of space.
    bool Allocate(uint64_t offset, uint64_t length);
    // The size of the open file, -1 on error. With `linked`: whether the
    // file still has a name on disk (false once it was removed, or replaced
    // by another file under its name), from the same query.
    int64_t Size(bool* linked = nullptr) const;
    // Flushes the file's data to the device (fdatasync).
    bool Sync();
    // Starts writing the file's changed data to the device and returns
    // without waiting for it, so that a later Sync has little left to do;
    // pages already on their way are left alone. Where the OS has no such
    // call this does nothing. False when the OS refuses.
    bool StartWriteback() const;
    // Hints that the file will be read from start to end.
    void AdviseSequential();

private:
    int m_fd = -1;
};

// 100-ns intervals since 1601-01-01 UTC, split in two 32-bit words, as stored
// in task-information files.
struct FileTime {
    uint32_t low = 0;
    uint32_t high = 0;
    bool operator==(const FileTime&) const = default;
};
FileTime FileTimeFromUnix(int64_t seconds, uint32_t nanoseconds);
int64_t UnixSecondsFromFileTime(FileTime time);

bool Exists(const std::string& path);
bool IsDirectory(const std::string& path);
// Size in bytes, or -1 when the file cannot be examined.
int64_t FileSize(const std::string& path);
// Bytes the file occupies on disk (blocks × 512), or -1.
int64_t AllocatedSize(const std::string& path);
bool LastWriteTime(const std::string& path, FileTime* out);
bool SetLastWriteTime(const std::string& path, FileTime time);
// Renames without ever replacing an existing target (fails with EEXIST).
bool RenameNoReplace(const std::string& from, const std::string& to);
// Renames, atomically replacing an existing target.
bool RenameReplace(const std::string& from, const std::string& to);
bool RemoveFile(const std::string& path);
bool RemoveEmptyDirectory(const std::string& path);
// Creates the folder and any missing parents; true when it exists afterwards.
bool CreateDirectories(const std::string& path);
// Free bytes for an unprivileged user on the file system holding `path`, or
// of its nearest existing ancestor; -1 when none can be examined.
int64_t FreeSpace(const std::string& path);
bool IsReadOnly(const std::string& path);
bool SetReadOnly(const std::string& path, bool read_only);
// Names (not paths) of the entries of a folder, without "." and "..".
std::vector<std::string> ListDirectory(const std::string& path);

// Whether the file system holding `folder` supports real preallocation: tried
// once with a small temporary file that is removed again.
bool ProbeFallocate(const std::string& folder);
// Whether files in `folder` can be sparse (everything except FAT-like
// file systems).
bool IsSparseCapable(const std::string& folder);

bool ReadWholeFile(const std::string& path, std::string* out, size_t limit = SIZE_MAX);
// Writes `data` to a temporary file beside `path`, syncs it and renames it over
// `path`: readers see the old or the new content, never a torn one.
bool WriteFileAtomic(const std::string& path, const std::string& data);

}  // namespace platform
