#pragma once
// Path text helpers for "/" paths and the well-known folders of the desktop
// (data, temporary, downloads, mounted disks). The pure text functions and
// parsers take their inputs as arguments so tests need no real home folder.
// Thread-safe as long as nobody changes the environment concurrently.

#include <string>
#include <string_view>
#include <vector>

namespace platform {

// "a" + "b" → "a/b"; no doubled separator; an absolute `b` is appended all the same.
std::string JoinPath(std::string_view base, std::string_view name);
// Everything before the last "/": "/a/b" → "/a", "/a" → "/", "a" → "".
std::string ParentPath(std::string_view path);
// After the last "/": "/a/b.txt" → "b.txt".
std::string FileName(std::string_view path);
// The file name's last ".suffix" including the dot, "" when none; a leading
// dot alone (".profile") is not a suffix.
std::string Extension(std::string_view path);
bool EndsWithSeparator(std::string_view path);

// Value of an environment variable, or empty.
std::string EnvironmentVariable(const char* name);

std::string CurrentFolder();
bool SetCurrentFolder(const std::string& path);
// Full path of the running program.
std::string ExecutablePath();

// Where the program keeps its work files: $TIDEWELL_DATA_DIR, else
// $XDG_DATA_HOME, else $HOME/.local/share.
std::string DataFolder();
// $TMPDIR, else /tmp.
std::string TempFolder();
// The user's download folder: XDG_DOWNLOAD_DIR of the user-dirs file, else
// $HOME/Downloads when it exists, else $HOME.
std::string DownloadFolder();
// The XDG_DOWNLOAD_DIR value of a user-dirs.dirs text with "$HOME" expanded,
// or empty when the text does not name one.
std::string ParseUserDirsDownload(std::string_view text, const std::string& home);

// Mount points of local disk file systems (ext4, xfs, btrfs, vfat, ...) in a
// /proc/self/mounts text, in file order, without duplicates; read-only
// mounts and pseudo file systems are left out.
std::vector<std::string> ParseDiskMountPoints(std::string_view mounts_text);
// ParseDiskMountPoints of the running system, limited to folders the user
// may write to.
std::vector<std::string> WritableDiskMountPoints();

}  // namespace platform
