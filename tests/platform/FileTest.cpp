#include "platform/File.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/Sandbox.h"

namespace {

using platform::File;
using platform::OpenMode;
using testing_support::Sandbox;

class FileOps : public ::testing::Test {
protected:
    Sandbox box;
};

TEST_F(FileOps, OpenModes) {
    std::string existing = box.Write("existing", "old");
    std::string missing = box.File("missing");
    struct Case {
        const char* name;
        std::string path;
        OpenMode mode;
        int error;             // 0: opens
        const char* contents = "";  // afterwards, when it opened
    };
    const std::array<Case, 6> cases = {{
        {.name = "read only, missing", .path = missing, .mode = OpenMode::ReadOnly, .error = ENOENT},
        {.name = "read write, missing", .path = missing, .mode = OpenMode::ReadWrite, .error = ENOENT},
        {.name = "create new, existing", .path = existing, .mode = OpenMode::CreateNew, .error = EEXIST},
        {.name = "open or create keeps", .path = existing, .mode = OpenMode::OpenOrCreate, .error = 0,
         .contents = "old"},
        {.name = "create always truncates", .path = existing, .mode = OpenMode::CreateAlways, .error = 0,
         .contents = ""},
        {.name = "create new, missing", .path = missing, .mode = OpenMode::CreateNew, .error = 0, .contents = ""},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        File f;
        EXPECT_EQ(f.Open(c.path, c.mode), c.error == 0);
        if (c.error != 0) {
            EXPECT_EQ(platform::LastFileError(), c.error);
            continue;
        }
        EXPECT_EQ(Sandbox::Read(c.path), c.contents);
    }
}

TEST_F(FileOps, PositionalReadWriteAndTruncate) {
    File f;
    ASSERT_TRUE(f.Open(box.File("data"), OpenMode::CreateNew));
    ASSERT_TRUE(f.WriteAt("world", 5, 6));
    ASSERT_TRUE(f.WriteAt("hello", 5, 0));
    EXPECT_EQ(f.Size(), 11);
    char buf[16] = {};
    EXPECT_EQ(f.ReadAt(buf, sizeof buf, 6), 5);  // short only at end of file
    EXPECT_EQ(std::string(buf, 5), "world");
    EXPECT_EQ(f.ReadAt(buf, 5, 0), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(buf[5], '\0');  // a read of 5 bytes writes 5 bytes, no more
    ASSERT_TRUE(f.Truncate(3));
    EXPECT_EQ(f.Size(), 3);
    EXPECT_EQ(f.ReadAt(buf, sizeof buf, 10), 0);
}

TEST_F(FileOps, GatheringWriteTakesMoreBuffersThanOneSystemCallAccepts) {
    // 3000 buffers of 1 to 7 bytes, skipping empty ones: more than IOV_MAX
    // (1024), so the write goes on over several calls.
    std::string expect;
    std::vector<std::string> parts;
    for (int i = 0; i < 3000; ++i) parts.push_back(std::string(static_cast<size_t>(i % 8), static_cast<char>('a' + i % 26)));
    std::vector<platform::ConstBuffer> buffers;
    for (const std::string& p : parts) {
        buffers.push_back({p.data(), p.size()});
        expect += p;
    }
    File f;
    ASSERT_TRUE(f.Open(box.File("gathered"), OpenMode::CreateNew));
    ASSERT_TRUE(f.WriteAt("head", 4, 0));
    ASSERT_TRUE(f.WriteAtV(buffers.data(), buffers.size(), 4));
    EXPECT_EQ(Sandbox::Read(box.File("gathered")), "head" + expect);
    File read_only;
    ASSERT_TRUE(read_only.Open(box.File("gathered"), OpenMode::ReadOnly));
    EXPECT_FALSE(read_only.WriteAtV(buffers.data(), buffers.size(), 0));
    EXPECT_EQ(platform::LastFileError(), EBADF);
}

TEST_F(FileOps, RenameNoReplaceRefusesExistingTarget) {
    std::string a = box.Write("a", "A");
    std::string b = box.Write("b", "B");
    EXPECT_FALSE(platform::RenameNoReplace(a, b));
    EXPECT_EQ(platform::LastFileError(), EEXIST);
    EXPECT_EQ(Sandbox::Read(a), "A");
    EXPECT_EQ(Sandbox::Read(b), "B");
    ASSERT_TRUE(platform::RenameNoReplace(a, box.File("c")));
    EXPECT_FALSE(platform::Exists(a));
    EXPECT_EQ(Sandbox::Read(box.File("c")), "A");
}

TEST_F(FileOps, SparseFileOccupiesLessThanPreallocatedOne) {
    constexpr uint64_t Size = 8 << 20;
    std::string folder = box.Path().string();
    ASSERT_TRUE(platform::IsSparseCapable(folder));
    if (!platform::ProbeFallocate(folder)) GTEST_SKIP() << "this file system cannot preallocate";
    File sparse, full;
    ASSERT_TRUE(sparse.Open(box.File("sparse"), OpenMode::CreateNew));
    ASSERT_TRUE(sparse.Truncate(Size));
    ASSERT_TRUE(full.Open(box.File("full"), OpenMode::CreateNew));
    ASSERT_TRUE(full.Allocate(0, Size));
    EXPECT_EQ(platform::FileSize(box.File("sparse")), static_cast<int64_t>(Size));
    EXPECT_EQ(platform::FileSize(box.File("full")), static_cast<int64_t>(Size));
    EXPECT_LT(platform::AllocatedSize(box.File("sparse")), static_cast<int64_t>(Size / 2));
    EXPECT_GE(platform::AllocatedSize(box.File("full")), static_cast<int64_t>(Size));
    EXPECT_EQ(platform::AllocatedSize(box.File("none")), -1);
    EXPECT_EQ(platform::LastFileError(), ENOENT);
    // The probe cleans up after itself.
    EXPECT_EQ(platform::ListDirectory(folder).size(), 2u);
}

TEST(FileTimeConversion, MatchesWindowsEpochAndWords) {
    struct Case {
        const char* name;
        int64_t seconds;
        uint32_t nanoseconds;
        platform::FileTime expected;
    };
    constexpr std::array<Case, 3> cases = {{
        {.name = "unix epoch", .seconds = 0, .nanoseconds = 0, .expected = {0xD53E8000u, 0x019DB1DEu}},
        {.name = "2023 and a half second", .seconds = 1'700'000'000, .nanoseconds = 500'000'000,
         .expected = {0xC6B94B40u, 0x01DA1747u}},
        {.name = "windows epoch", .seconds = -11'644'473'600, .nanoseconds = 0, .expected = {0, 0}},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(platform::FileTimeFromUnix(c.seconds, c.nanoseconds), c.expected);
        EXPECT_EQ(platform::UnixSecondsFromFileTime(c.expected), c.seconds);
    }
}

TEST_F(FileOps, LastWriteTimeRoundTripsThroughFile) {
    std::string path = box.Write("t", "x");
    platform::FileTime set = platform::FileTimeFromUnix(1'600'000'000, 123'456'700);
    ASSERT_TRUE(platform::SetLastWriteTime(path, set));
    platform::FileTime got;
    ASSERT_TRUE(platform::LastWriteTime(path, &got));
    EXPECT_EQ(got, set);
    EXPECT_FALSE(platform::LastWriteTime(box.File("none"), &got));
}

TEST_F(FileOps, FreeSpaceOfFolderNotYetCreatedIsAskedOfItsAncestor) {
    int64_t here = platform::FreeSpace(box.Path().string());
    int64_t deeper = platform::FreeSpace(box.File("not/yet/there"));
    ASSERT_GT(here, 0);
    ASSERT_GT(deeper, 0);
    // Same file system; other processes may write in between.
    EXPECT_LT(std::llabs(here - deeper), int64_t{1} << 30);
    EXPECT_FALSE(platform::Exists(box.File("not")));
}

TEST_F(FileOps, CreateDirectoriesReadOnlyAndListing) {
    std::string deep = box.File("a/b/c");
    ASSERT_TRUE(platform::CreateDirectories(deep));
    EXPECT_TRUE(platform::IsDirectory(deep));
    EXPECT_TRUE(platform::CreateDirectories(deep));  // already there
    std::string blocker = box.Write("file", "x");
    EXPECT_FALSE(platform::CreateDirectories(blocker + "/sub"));

    ASSERT_TRUE(platform::SetReadOnly(blocker, true));
    EXPECT_TRUE(platform::IsReadOnly(blocker));
    ASSERT_TRUE(platform::SetReadOnly(blocker, false));
    EXPECT_FALSE(platform::IsReadOnly(blocker));

    auto names = platform::ListDirectory(box.Path().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a", "file"}));
}

TEST_F(FileOps, ReadWholeFileHonoursLimitAndReadsProcFiles) {
    std::string path = box.Write("w", "0123456789");
    std::string out;
    ASSERT_TRUE(platform::ReadWholeFile(path, &out));
    EXPECT_EQ(out, "0123456789");
    EXPECT_FALSE(platform::ReadWholeFile(path, &out, 9));
    EXPECT_EQ(platform::LastFileError(), EFBIG);
    // Files under /proc report size 0 but have content.
    ASSERT_TRUE(platform::ReadWholeFile("/proc/self/status", &out));
    EXPECT_NE(out.find("Pid:"), std::string::npos);
}

TEST_F(FileOps, WriteFileAtomicReplacesAndLeavesNoTemporary) {
    std::string path = box.Write("cfg", "old contents");
    ASSERT_TRUE(platform::WriteFileAtomic(path, "new"));
    EXPECT_EQ(Sandbox::Read(path), "new");
    EXPECT_EQ(platform::ListDirectory(box.Path().string()), std::vector<std::string>{"cfg"});
    // A target that cannot be replaced: the temporary goes away too.
    std::string folder = box.File("dir");
    ASSERT_TRUE(platform::CreateDirectories(folder + "/inner"));
    EXPECT_FALSE(platform::WriteFileAtomic(folder, "x"));
    EXPECT_EQ(platform::ListDirectory(box.Path().string()).size(), 2u);
}

}  // namespace
