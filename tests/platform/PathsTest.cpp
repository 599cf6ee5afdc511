#include "platform/Paths.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <optional>

#include "platform/File.h"
#include "tests/support/Sandbox.h"

namespace {

using testing_support::Sandbox;

// Sets environment variables for one test and restores them afterwards.
class ScopedEnv {
public:
    void Set(const char* name, const char* value) {
        const char* old = std::getenv(name);
        m_saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value) ::setenv(name, value, 1);
        else ::unsetenv(name);
    }
    ~ScopedEnv() {
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
            if (it->second) ::setenv(it->first.c_str(), it->second->c_str(), 1);
            else ::unsetenv(it->first.c_str());
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

TEST(PathText, SplitsAndJoins) {
    struct Case {
        const char* path;
        const char* parent;
        const char* name;
        const char* extension;
    };
    constexpr std::array<Case, 7> cases = {{
        {"/home/u/setup.exe", "/home/u", "setup.exe", ".exe"},
        {"/data.cab", "/", "data.cab", ".cab"},
        {"relative", "", "relative", ""},
        {"/a.b/file", "/a.b", "file", ""},
        {"/home/u/.profile", "/home/u", ".profile", ""},
        {"/x/archive.tar.gz", "/x", "archive.tar.gz", ".gz"},
        {"/x/dir/", "/x/dir", "", ""},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(platform::ParentPath(c.path), c.parent);
        EXPECT_EQ(platform::FileName(c.path), c.name);
        EXPECT_EQ(platform::Extension(c.path), c.extension);
    }
    EXPECT_EQ(platform::JoinPath("/a", "b"), "/a/b");
    EXPECT_EQ(platform::JoinPath("/a/", "/b"), "/a/b");
    EXPECT_EQ(platform::JoinPath("", "b"), "b");
    EXPECT_TRUE(platform::EndsWithSeparator("/a/"));
    EXPECT_FALSE(platform::EndsWithSeparator("/a"));
}

TEST(UserDirs, FindsDownloadFolder) {
    struct Case {
        const char* name;
        const char* text;
        const char* expected;
    };
    constexpr std::array<Case, 6> cases = {{
        {.name = "home relative", .text = "# c\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_DOWNLOAD_DIR=\"$HOME/下载\"\n",
         .expected = "/home/u/下载"},
        {.name = "absolute", .text = "XDG_DOWNLOAD_DIR=\"/srv/dl\"", .expected = "/srv/dl"},
        {.name = "home itself", .text = "XDG_DOWNLOAD_DIR=\"$HOME/\"", .expected = "/home/u"},
        {.name = "relative refused", .text = "XDG_DOWNLOAD_DIR=\"dl\"", .expected = ""},
        {.name = "missing", .text = "XDG_MUSIC_DIR=\"$HOME/Music\"", .expected = ""},
        {.name = "similar key", .text = "XDG_DOWNLOAD_DIRX=\"/x\"", .expected = ""},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(platform::ParseUserDirsDownload(c.text, "/home/u"), c.expected);
    }
}

TEST(MountTable, KeepsWritableDiskFileSystems) {
    const char* mounts =
        "sysfs /sys sysfs rw,nosuid 0 0\n"
        "proc /proc proc rw 0 0\n"
        "/dev/sda2 / ext4 rw,relatime 0 0\n"
        "tmpfs /run tmpfs rw 0 0\n"
        "/dev/sdb1 /media/u/My\\040Disk vfat rw,uid=1000 0 0\n"
        "/dev/loop3 /snap/core/1 squashfs ro 0 0\n"
        "/dev/sdc1 /mnt/cdlike ext4 ro,relatime 0 0\n"
        "/dev/sda2 / ext4 rw,relatime 0 0\n"
        "tank/home /tank zfs rw 0 0\n"
        "broken line\n";
    EXPECT_EQ(platform::ParseDiskMountPoints(mounts),
              (std::vector<std::string>{"/", "/media/u/My Disk", "/tank"}));
}

TEST(WellKnownFolders, FollowEnvironmentInOrder) {
    Sandbox box;
    ScopedEnv env;
    env.Set("TIDEWELL_DATA_DIR", "/own");
    env.Set("XDG_DATA_HOME", "/xdg");
    env.Set("HOME", box.Path().c_str());
    EXPECT_EQ(platform::DataFolder(), "/own");
    env.Set("TIDEWELL_DATA_DIR", nullptr);
    EXPECT_EQ(platform::DataFolder(), "/xdg");
    env.Set("XDG_DATA_HOME", nullptr);
    EXPECT_EQ(platform::DataFolder(), box.File(".local/share"));

    env.Set("TMPDIR", "/scratch");
    EXPECT_EQ(platform::TempFolder(), "/scratch");
    env.Set("TMPDIR", nullptr);
    EXPECT_EQ(platform::TempFolder(), "/tmp");
}

TEST(WellKnownFolders, DownloadFolderFallsBack) {
    Sandbox box;
    ScopedEnv env;
    env.Set("HOME", box.Path().c_str());
    env.Set("XDG_CONFIG_HOME", nullptr);
    std::string home = box.Path().string();
    EXPECT_EQ(platform::DownloadFolder(), home);
    ASSERT_TRUE(platform::CreateDirectories(home + "/Downloads"));
    EXPECT_EQ(platform::DownloadFolder(), home + "/Downloads");
    box.Write(".config/user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"$HOME/Fetched\"\n");
    EXPECT_EQ(platform::DownloadFolder(), home + "/Downloads");  // named folder does not exist yet
    ASSERT_TRUE(platform::CreateDirectories(home + "/Fetched"));
    EXPECT_EQ(platform::DownloadFolder(), home + "/Fetched");
}

TEST(WellKnownFolders, ProgramAndCurrentFolder) {
    EXPECT_EQ(platform::FileName(platform::ExecutablePath()), "test_platform");
    Sandbox box;
    std::string before = platform::CurrentFolder();
    ASSERT_TRUE(platform::SetCurrentFolder(box.Path().string()));
    EXPECT_EQ(platform::CurrentFolder(), std::filesystem::canonical(box.Path()).string());
    ASSERT_TRUE(platform::SetCurrentFolder(before));
    for (const std::string& point : platform::WritableDiskMountPoints()) {
        SCOPED_TRACE(point);
        EXPECT_TRUE(platform::IsDirectory(point));
    }
}

}  // namespace
