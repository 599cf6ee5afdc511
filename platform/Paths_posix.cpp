#include "platform/Paths.h"

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>

#include "platform/File.h"

namespace platform {

namespace {

std::string_view TrimSpaces(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

std::string HomeFolder() {
    std::string home = EnvironmentVariable("HOME");
    return home.empty() ? "/" : home;
}

// /proc/self/mounts writes ' ', '\t', '\n' and '\\' in names as octal escapes.
std::string DecodeMountField(std::string_view field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            std::string_view oct = field.substr(i + 1, 3);
            if (std::all_of(oct.begin(), oct.end(), [](char c) { return c >= '0' && c <= '7'; })) {
                out += static_cast<char>(((oct[0] - '0') << 6) | ((oct[1] - '0') << 3) | (oct[2] - '0'));
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

// File systems that live on a local disk a user can save downloads to.
constexpr std::array<std::string_view, 17> DiskFileSystems = {
    "ext2", "ext3", "ext4", "xfs", "btrfs", "zfs", "f2fs", "jfs", "reiserfs", "nilfs2", "bcachefs",
    "vfat", "exfat", "ntfs", "ntfs3", "fuseblk", "hfsplus",
};

std::vector<std::string_view> SplitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
        size_t end = pos;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
        if (end > pos) fields.push_back(line.substr(pos, end - pos));
        pos = end;
    }
    return fields;
}

bool HasOption(std::string_view options, std::string_view wanted) {
    size_t pos = 0;
    while (pos <= options.size()) {
        size_t end = options.find(',', pos);
        if (end == std::string_view::npos) end = options.size();
        if (options.substr(pos, end - pos) == wanted) return true;
        pos = end + 1;
    }
    return false;
}

}  // namespace

std::string JoinPath(std::string_view base, std::string_view name) {
    if (base.empty()) return std::string(name);
    std::string out(base);
    while (!name.empty() && name.front() == '/') name.remove_prefix(1);
    if (out.back() != '/') out += '/';
    out += name;
    return out;
}

std::string ParentPath(std::string_view path) {
    size_t pos = path.rfind('/');
    if (pos == std::string_view::npos) return {};
    if (pos == 0) return "/";
    return std::string(path.substr(0, pos));
}

std::string FileName(std::string_view path) {
    size_t pos = path.rfind('/');
    return std::string(pos == std::string_view::npos ? path : path.substr(pos + 1));
}

std::string Extension(std::string_view path) {
    std::string name = FileName(path);
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return {};
    return name.substr(dot);
}

bool EndsWithSeparator(std::string_view path) { return !path.empty() && path.back() == '/'; }

std::string EnvironmentVariable(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string CurrentFolder() {
    char buf[PATH_MAX];
    if (!::getcwd(buf, sizeof buf)) return {};
    return buf;
}

bool SetCurrentFolder(const std::string& path) { return ::chdir(path.c_str()) == 0; }

std::string ExecutablePath() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    return std::string(buf, static_cast<size_t>(n));
}

std::string DataFolder() {
    std::string own = EnvironmentVariable("TIDEWELL_DATA_DIR");
    if (!own.empty()) return own;
    std::string xdg = EnvironmentVariable("XDG_DATA_HOME");
    // The XDG rules ignore relative values.
    if (!xdg.empty() && xdg.front() == '/') return xdg;
    return JoinPath(HomeFolder(), ".local/share");
}

std::string TempFolder() {
    std::string tmp = EnvironmentVariable("TMPDIR");
    return tmp.empty() ? "/tmp" : tmp;
}

std::string ParseUserDirsDownload(std::string_view text, const std::string& home) {
    std::string found;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = TrimSpaces(text.substr(pos, end - pos));
        pos = end + 1;
        constexpr std::string_view Key = "XDG_DOWNLOAD_DIR";
        if (line.substr(0, Key.size()) != Key) continue;
        std::string_view rest = TrimSpaces(line.substr(Key.size()));
        if (rest.empty() || rest.front() != '=') continue;
        rest = TrimSpaces(rest.substr(1));
        if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"') rest = rest.substr(1, rest.size() - 2);
        // The format allows only "$HOME/..." or an absolute path.
        if (rest.substr(0, 5) == "$HOME") {
            std::string_view tail = rest.substr(5);
            while (!tail.empty() && tail.front() == '/') tail.remove_prefix(1);
            found = tail.empty() ? home : JoinPath(home, tail);
        } else if (!rest.empty() && rest.front() == '/') {
            found = std::string(rest);
        }
    }
    return found;
}

std::string DownloadFolder() {
    std::string home = HomeFolder();
    std::string config = EnvironmentVariable("XDG_CONFIG_HOME");
    if (config.empty() || config.front() != '/') config = JoinPath(home, ".config");
    std::string text;
    if (ReadWholeFile(JoinPath(config, "user-dirs.dirs"), &text, 64 * 1024)) {
        std::string named = ParseUserDirsDownload(text, home);
        if (!named.empty() && IsDirectory(named)) return named;
    }
    std::string downloads = JoinPath(home, "Downloads");
    if (IsDirectory(downloads)) return downloads;
    return home;
}

std::vector<std::string> ParseDiskMountPoints(std::string_view mounts_text) {
    std::vector<std::string> points;
    size_t pos = 0;
    while (pos < mounts_text.size()) {
        size_t end = mounts_text.find('\n', pos);
        if (end == std::string_view::npos) end = mounts_text.size();
        std::vector<std::string_view> fields = SplitFields(mounts_text.substr(pos, end - pos));
        pos = end + 1;
        if (fields.size() < 4) continue;
        std::string_view type = fields[2];
        if (std::find(DiskFileSystems.begin(), DiskFileSystems.end(), type) == DiskFileSystems.end()) continue;
        if (HasOption(fields[3], "ro")) continue;
        std::string point = DecodeMountField(fields[1]);
        if (std::find(points.begin(), points.end(), point) == points.end()) points.push_back(point);
    }
    return points;
}

std::vector<std::string> WritableDiskMountPoints() {
    std::string text;
    std::vector<std::string> writable;
    if (!ReadWholeFile("/proc/self/mounts", &text, 4 * 1024 * 1024)) return writable;
    for (const std::string& point : ParseDiskMountPoints(text)) {
        // Bind-mounted single files (containers mount /etc/hosts so) are not folders.
        if (IsDirectory(point) && ::access(point.c_str(), W_OK) == 0) writable.push_back(point);
    }
    return writable;
}

}  // namespace platform
