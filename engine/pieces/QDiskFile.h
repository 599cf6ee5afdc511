#pragma once
// QDiskFile: the engine's file object. Embedded in every TFileEntry of a piece
// map and used on its own for whole-file reads. Owned by whoever embeds it and
// used by one thread at a time (a task's work thread); it takes no lock itself:
// callers that touch piece data hold the process-wide disk lock (TDiskLockHolder.h).
//
// The open handle is reference-counted: the piece writer thread holds a
// reference for each file a queued piece writes to, so a Close here only
// lets go of this object's reference and the descriptor closes once the
// last queued write to it is made. Every Open makes a new handle.
//
// Results follow the engine's conventions: byte counts, -1 on an I/O error,
// -3 when the position cannot be set. Growth (SetLength) either reserves real
// blocks (pre-allocation mode) or only moves the end of file (sparse mode); the
// mode is chosen once per process by whoever probes the save folder.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/File.h"

namespace engine {

enum class DiskAllocationMode {
    Sparse,       // grow with ftruncate: holes until written
    Preallocate,  // grow with posix_fallocate: later writes cannot run out of space
};

class QDiskFile {
public:
    // The sequential-scan hint used while a task rechecks its files.
    static constexpr uint32_t SequentialScan = 0x08000000;
    enum class Origin { Begin, Current, End };

    QDiskFile() = default;
    QDiskFile(const QDiskFile&) = delete;
    QDiskFile& operator=(const QDiskFile&) = delete;

    // Read-only: the file must exist. Otherwise opened read/write, created when
    // missing, never truncated.
    bool Open(const std::string& path, bool read_only);
    // Created or truncated to zero, read/write.
    bool Create(const std::string& path);
    void Close();
    bool IsOpen() const { return m_file != nullptr; }
    bool IsReadOnly() const { return m_read_only; }
    // Size on disk, -1 when closed or on error. With `linked`: whether the
    // open file still has a name on disk (one query for both).
    int64_t GetSize(bool* linked = nullptr) const;
    // New position, or -1 when it would be negative or the file is closed.
    int64_t Seek(int64_t offset, Origin origin);
    // `offset` -1 means the current position, which advances by the bytes
    // transferred.
    int32_t Read(void* buffer, int32_t length, int64_t offset);
    int32_t Write(const void* buffer, int32_t length, int64_t offset);
    // Sets the end of file to `length` (only for a file open for writing); a
    // growth in pre-allocation mode reserves the blocks, and a growth that
    // cannot be reserved leaves the size as it was.
    bool SetLength(int64_t length);
    // Flushes written data to the device (fdatasync).
    bool Sync();
    // A reference on the open handle, for writes on another thread that must
    // outlive a Close of this object; null when closed or read-only.
    std::shared_ptr<const platform::File> SharedHandle() const { return m_read_only ? nullptr : m_file; }

    uint32_t ExtraFlags() const { return m_extra_flags; }
    void SetExtraFlags(uint32_t flags) { m_extra_flags = flags; }

    // Process-wide growth mode; Sparse until the application enables
    // pre-allocation for its save folder.
    static void SetAllocationMode(DiskAllocationMode mode);
    static DiskAllocationMode AllocationMode();

private:
    std::shared_ptr<platform::File> m_file;  // null while closed
    bool m_read_only = false;
    uint32_t m_extra_flags = 0;
    int64_t m_position = 0;
};

}  // namespace engine
