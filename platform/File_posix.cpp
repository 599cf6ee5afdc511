#include "platform/File.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/Random.h"

namespace platform {

namespace {

thread_local int t_last_error = 0;

bool Fail() {
    t_last_error = errno;
    return false;
}

// Seconds between 1601-01-01 and 1970-01-01.
constexpr int64_t EpochDifferenceSeconds = 11644473600LL;
constexpr int64_t IntervalsPerSecond = 10'000'000LL;

std::string ParentOf(const std::string& path) {
    auto pos = path.find_last_of('/');
    if (pos == std::string::npos) return ".";
    if (pos == 0) return "/";
    return path.substr(0, pos);
}

}  // namespace

int LastFileError() { return t_last_error; }
void SetLastFileError(int error) { t_last_error = error; }

std::string ErrorText(int error) {
    char buf[256];
    return std::string(strerror_r(error, buf, sizeof buf));
}

File::~File() { Close(); }

File::File(File&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

bool File::Open(const std::string& path, OpenMode mode) {
    Close();
    int flags = O_CLOEXEC;
    switch (mode) {
        case OpenMode::ReadOnly: flags |= O_RDONLY; break;
        case OpenMode::ReadWrite: flags |= O_RDWR; break;
        case OpenMode::OpenOrCreate: flags |= O_RDWR | O_CREAT; break;
        case OpenMode::CreateAlways: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
        case OpenMode::CreateNew: flags |= O_RDWR | O_CREAT | O_EXCL; break;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return Fail();
    m_fd = fd;
    return true;
}

void File::Close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

int64_t File::ReadAt(void* buffer, size_t length, uint64_t offset) const {
    auto* p = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::pread(m_fd, p + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            t_last_error = errno;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

bool File::WriteAt(const void* buffer, size_t length, uint64_t offset) const {
    const auto* p = static_cast<const char*>(buffer);
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::pwrite(m_fd, p + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return Fail();
        }
        if (n == 0) {
            errno = ENOSPC;
            return Fail();
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool File::WriteAtV(const ConstBuffer* buffers, size_t count, uint64_t offset) const {
    // The kernel takes at most IOV_MAX buffers per call; a short write moves
    // the start to the first byte not written.
    std::vector<iovec> vec;
    vec.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        if (buffers[i].length > 0) vec.push_back({const_cast<void*>(buffers[i].data), buffers[i].length});
    }
    const size_t max_per_call = static_cast<size_t>(std::max<long>(::sysconf(_SC_IOV_MAX), 1));
    size_t first = 0;
    while (first < vec.size()) {
        const int n_vec = static_cast<int>(std::min(vec.size() - first, max_per_call));
        const ssize_t n = ::pwritev(m_fd, vec.data() + first, n_vec, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return Fail();
        }
        if (n == 0) {
            errno = ENOSPC;
            return Fail();
        }
        offset += static_cast<uint64_t>(n);
        auto left = static_cast<size_t>(n);
        while (first < vec.size() && left >= vec[first].iov_len) left -= vec[first++].iov_len;
        if (left > 0) {
            vec[first].iov_base = static_cast<char*>(vec[first].iov_base) + left;
            vec[first].iov_len -= left;
        }
    }
    return true;
}

bool File::Truncate(uint64_t size) {
    if (::ftruncate(m_fd, static_cast<off_t>(size)) != 0) return Fail();
    return true;
}

bool File::Allocate(uint64_t offset, uint64_t length) {
    int rc = ::posix_fallocate(m_fd, static_cast<off_t>(offset), static_cast<off_t>(length));
    if (rc != 0) {
        errno = rc;
        return Fail();
    }
    return true;
}

int64_t File::Size(bool* linked) const {
    struct stat st {};
    if (::fstat(m_fd, &st) != 0) {
        t_last_error = errno;
        return -1;
    }
    if (linked) *linked = st.st_nlink > 0;
    return static_cast<int64_t>(st.st_size);
}

bool File::Sync() {
    if (::fdatasync(m_fd) != 0) return Fail();
    return true;
}

bool File::StartWriteback() const {
#ifdef SYNC_FILE_RANGE_WRITE
    // Offset 0 and length 0: the whole file, whatever its size.
    if (::sync_file_range(m_fd, 0, 0, SYNC_FILE_RANGE_WRITE) != 0) return Fail();
#endif
    return true;
}

void File::AdviseSequential() { ::posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL); }

FileTime FileTimeFromUnix(int64_t seconds, uint32_t nanoseconds) {
    uint64_t v = static_cast<uint64_t>((seconds + EpochDifferenceSeconds) * IntervalsPerSecond) + nanoseconds / 100u;
    return {static_cast<uint32_t>(v), static_cast<uint32_t>(v >> 32)};
}

int64_t UnixSecondsFromFileTime(FileTime time) {
    uint64_t v = (static_cast<uint64_t>(time.high) << 32) | time.low;
    return static_cast<int64_t>(v / IntervalsPerSecond) - EpochDifferenceSeconds;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int64_t FileSize(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        t_last_error = errno;
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

int64_t AllocatedSize(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        t_last_error = errno;
        return -1;
    }
    return static_cast<int64_t>(st.st_blocks) * 512;
}

bool LastWriteTime(const std::string& path, FileTime* out) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return Fail();
    *out = FileTimeFromUnix(st.st_mtim.tv_sec, static_cast<uint32_t>(st.st_mtim.tv_nsec));
    return true;
}

bool SetLastWriteTime(const std::string& path, FileTime time) {
    uint64_t v = (static_cast<uint64_t>(time.high) << 32) | time.low;
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(UnixSecondsFromFileTime(time));
    times[1].tv_nsec = static_cast<long>((v % IntervalsPerSecond) * 100);
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) return Fail();
    return true;
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return Fail();
    // File systems without RENAME_NOREPLACE: link refuses an existing target.
    if (::link(from.c_str(), to.c_str()) != 0) return Fail();
    if (::unlink(from.c_str()) != 0) return Fail();
    return true;
}

bool RenameReplace(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) return Fail();
    return true;
}

bool RemoveFile(const std::string& path) {
    if (::unlink(path.c_str()) != 0) return Fail();
    return true;
}

bool RemoveEmptyDirectory(const std::string& path) {
    if (::rmdir(path.c_str()) != 0) return Fail();
    return true;
}

bool CreateDirectories(const std::string& path) {
    if (path.empty()) return false;
    if (IsDirectory(path)) return true;
    std::string parent = ParentOf(path);
    if (parent != path && !IsDirectory(parent) && !CreateDirectories(parent)) return false;
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return Fail();
    return IsDirectory(path);
}

int64_t FreeSpace(const std::string& path) {
    std::string probe = path.empty() ? "." : path;
    for (int depth = 0; depth < 4096; ++depth) {
        struct statvfs vfs {};
        if (::statvfs(probe.c_str(), &vfs) == 0) {
            return static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize);
        }
        if (errno != ENOENT && errno != ENOTDIR) break;
        std::string parent = ParentOf(probe);
        if (parent == probe) break;
        probe = parent;
    }
    t_last_error = errno;
    return -1;
}

bool IsReadOnly(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

bool SetReadOnly(const std::string& path, bool read_only) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return Fail();
    mode_t mode = st.st_mode & 07777;
    mode = read_only ? (mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH)) : (mode | S_IWUSR);
    if (::chmod(path.c_str(), mode) != 0) return Fail();
    return true;
}

std::vector<std::string> ListDirectory(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(path.c_str());
    if (!dir) {
        t_last_error = errno;
        return names;
    }
    while (dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    return names;
}

bool ProbeFallocate(const std::string& folder) {
    uint8_t nonce[8];
    RandomBytes(nonce, sizeof nonce);
    char name[64];
    std::snprintf(name, sizeof name, "/.tidewell-probe-%02x%02x%02x%02x", nonce[0], nonce[1], nonce[2], nonce[3]);
    std::string path = folder + name;
    File probe;
    if (!probe.Open(path, OpenMode::CreateNew)) return false;
    bool ok = probe.Allocate(0, 65536);
    probe.Close();
    ::unlink(path.c_str());
    return ok;
}

bool IsSparseCapable(const std::string& folder) {
    struct statfs fs {};
    if (::statfs(folder.c_str(), &fs) != 0) return Fail();
    // FAT12/16/32 and exFAT store no holes.
    constexpr long MsdosMagic = 0x4d44;
    constexpr long ExfatMagic = 0x2011BAB0;
    long type = static_cast<long>(fs.f_type);
    return type != MsdosMagic && type != ExfatMagic;
}

bool ReadWholeFile(const std::string& path, std::string* out, size_t limit) {
    File f;
    if (!f.Open(path, OpenMode::ReadOnly)) return false;
    int64_t size = f.Size();
    if (size < 0) return false;
    if (static_cast<uint64_t>(size) > limit) {
        t_last_error = EFBIG;
        return false;
    }
    // Read to the end rather than trusting the size: files under /proc
    // report 0 bytes and still have content.
    out->clear();
    uint64_t offset = 0;
    for (;;) {
        size_t want = std::max<size_t>(static_cast<size_t>(size) + 1, 4096);
        size_t old_size = out->size();
        out->resize(old_size + want);
        int64_t n = f.ReadAt(out->data() + old_size, want, offset);
        if (n < 0) return false;
        out->resize(old_size + static_cast<size_t>(n));
        offset += static_cast<uint64_t>(n);
        if (out->size() > limit) {
            t_last_error = EFBIG;
            return false;
        }
        if (static_cast<size_t>(n) < want) return true;
    }
}

bool WriteFileAtomic(const std::string& path, const std::string& data) {
    uint8_t nonce[4];
    RandomBytes(nonce, sizeof nonce);
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".tmp%02x%02x%02x%02x", nonce[0], nonce[1], nonce[2], nonce[3]);
    std::string temp = path + suffix;
    File f;
    if (!f.Open(temp, OpenMode::CreateNew)) return false;
    if (!f.WriteAt(data.data(), data.size(), 0) || !f.Sync()) {
        int saved = t_last_error;
        f.Close();
        ::unlink(temp.c_str());
        t_last_error = saved;
        return false;
    }
    f.Close();
    if (!RenameReplace(temp, path)) {
        int saved = t_last_error;
        ::unlink(temp.c_str());
        t_last_error = saved;
        return false;
    }
    return true;
}

}  // namespace platform
