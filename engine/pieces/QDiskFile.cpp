#include "engine/pieces/QDiskFile.h"

#include <atomic>

namespace engine {

namespace {

std::atomic<DiskAllocationMode> g_allocation_mode{DiskAllocationMode::Sparse};

}  // namespace

void QDiskFile::SetAllocationMode(DiskAllocationMode mode) { g_allocation_mode.store(mode); }

DiskAllocationMode QDiskFile::AllocationMode() { return g_allocation_mode.load(); }

bool QDiskFile::Open(const std::string& path, bool read_only) {
    Close();
    auto file = std::make_shared<platform::File>();
    if (!file->Open(path, read_only ? platform::OpenMode::ReadOnly : platform::OpenMode::OpenOrCreate)) return false;
    m_file = std::move(file);
    m_read_only = read_only;
    m_position = 0;
    if (m_extra_flags & SequentialScan) m_file->AdviseSequential();
    return true;
}

bool QDiskFile::Create(const std::string& path) {
    Close();
    auto file = std::make_shared<platform::File>();
    if (!file->Open(path, platform::OpenMode::CreateAlways)) return false;
    m_file = std::move(file);
    m_read_only = false;
    m_position = 0;
    return true;
}

void QDiskFile::Close() {
    // Never closes the descriptor under a queued write: the last reference
    // does.
    m_file.reset();
    m_read_only = false;
    m_position = 0;
}

int64_t QDiskFile::GetSize(bool* linked) const {
    if (!m_file) return -1;
    return m_file->Size(linked);
}

int64_t QDiskFile::Seek(int64_t offset, Origin origin) {
    if (!m_file) return -1;
    int64_t base = 0;
    if (origin == Origin::Current) base = m_position;
    if (origin == Origin::End) {
        base = m_file->Size();
        if (base < 0) return -1;
    }
    int64_t target = base + offset;
    if (target < 0) return -1;
    m_position = target;
    return target;
}

int32_t QDiskFile::Read(void* buffer, int32_t length, int64_t offset) {
    if (!m_file || !buffer || length < 0) return -1;
    if (offset != -1 && Seek(offset, Origin::Begin) < 0) return -3;
    int64_t n = m_file->ReadAt(buffer, static_cast<size_t>(length), static_cast<uint64_t>(m_position));
    if (n < 0) return -1;
    m_position += n;
    return static_cast<int32_t>(n);
}

int32_t QDiskFile::Write(const void* buffer, int32_t length, int64_t offset) {
    if (!m_file || m_read_only || !buffer || length < 0) return -1;
    if (offset != -1 && Seek(offset, Origin::Begin) < 0) return -3;
    if (!m_file->WriteAt(buffer, static_cast<size_t>(length), static_cast<uint64_t>(m_position))) return -1;
    m_position += length;
    return length;
}

bool QDiskFile::SetLength(int64_t length) {
    if (!m_file || m_read_only || length < 0) return false;
    int64_t current = m_file->Size();
    if (current < 0) return false;
    if (length > current && AllocationMode() == DiskAllocationMode::Preallocate) {
        if (m_file->Allocate(static_cast<uint64_t>(current), static_cast<uint64_t>(length - current))) return true;
        // A reservation that ran out of space may have moved the end of file;
        // put it back so the caller sees the file as still too short.
        m_file->Truncate(static_cast<uint64_t>(current));
        return false;
    }
    return m_file->Truncate(static_cast<uint64_t>(length));
}

bool QDiskFile::Sync() { return m_file && m_file->Sync(); }

}  // namespace engine
