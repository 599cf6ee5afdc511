#include "platform/Process.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>

#include "platform/File.h"
#include "tests/support/Sandbox.h"

namespace {

using testing_support::Sandbox;
using testing_support::WaitFor;
namespace fs = std::filesystem;
namespace SpawnError = platform::SpawnError;

class Spawning : public ::testing::Test {
protected:
    Sandbox box;
    std::string Script(const std::string& name, const std::string& body, bool executable = true) {
        std::string path = box.Write(name, body);
        if (executable) fs::permissions(path, fs::perms::owner_all, fs::perm_options::add);
        return path;
    }
};

TEST(SpawnErrorMapping, MapsErrnoToShellCodes) {
    struct Case {
        int error;
        int expected;
    };
    constexpr std::array<Case, 9> cases = {{
        {0, SpawnError::None}, {ENOENT, 2}, {ENOTDIR, 3}, {EACCES, 5}, {EPERM, 5},
        {ENOMEM, 8}, {ENOEXEC, 11}, {ETXTBSY, 26}, {EIO, 5},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        EXPECT_EQ(platform::SpawnErrorFromErrno(c.error), c.expected);
    }
}

TEST_F(Spawning, ReportsWhyAProgramDidNotStart) {
    std::string plain = Script("plain.sh", "#!/bin/sh\nexit 0\n", false);
    std::string garbage = Script("garbage.bin", std::string("\x01\x02\x03 not a program\n"));
    struct Case {
        const char* name;
        std::string program;
        int expected;
    };
    const std::array<Case, 5> cases = {{
        {.name = "missing file", .program = box.File("nothing-here"), .expected = SpawnError::FileNotFound},
        {.name = "missing name in PATH", .program = "tidewell-no-such-program", .expected = SpawnError::FileNotFound},
        {.name = "file used as folder", .program = plain + "/x", .expected = SpawnError::PathNotFound},
        {.name = "not executable", .program = plain, .expected = SpawnError::AccessDenied},
        {.name = "executable without format", .program = garbage, .expected = SpawnError::BadFormat},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform::SpawnResult r = platform::SpawnProcess(c.program, {}, "");
        EXPECT_EQ(r.error, c.expected);
        EXPECT_EQ(r.pid, -1);
    }
}

TEST_F(Spawning, ProgramOpenForWritingIsBusy) {
    std::string path = box.File("busy.sh");
    platform::File writer;
    ASSERT_TRUE(writer.Open(path, platform::OpenMode::CreateNew));
    ASSERT_TRUE(writer.WriteAt("#!/bin/sh\n", 10, 0));
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add);
    EXPECT_EQ(platform::SpawnProcess(path, {}, "").error, SpawnError::SharingViolation);
}

TEST_F(Spawning, RunsInGivenFolderWithArguments) {
    std::string script = Script("run.sh", "#!/bin/sh\npwd > where.txt\nprintf '%s\\n' \"$@\" > args.txt\nexit 7\n");
    std::string work = box.File("work dir");
    ASSERT_TRUE(platform::CreateDirectories(work));
    platform::SpawnResult r = platform::SpawnProcess(script, {"one", "two words"}, work);
    ASSERT_TRUE(r.Ok()) << r.os_error;
    int code = -1;
    ASSERT_TRUE(platform::WaitForProcess(r.pid, 10'000, &code));
    EXPECT_EQ(code, 7);
    EXPECT_EQ(Sandbox::Read(work + "/where.txt"), fs::canonical(work).string() + "\n");
    EXPECT_EQ(Sandbox::Read(work + "/args.txt"), "one\ntwo words\n");
}

TEST_F(Spawning, MissingWorkingFolderFails) {
    std::string script = Script("ok.sh", "#!/bin/sh\nexit 0\n");
    EXPECT_EQ(platform::SpawnProcess(script, {}, box.File("absent")).error, SpawnError::FileNotFound);
}

TEST_F(Spawning, TerminateEndsChildThatIgnoresSigterm) {
    std::string ready = box.File("ready");
    std::string script = Script("stubborn.sh", "#!/bin/sh\ntrap '' TERM\ntouch '" + ready +
                                                   "'\nwhile :; do sleep 1; done\n");
    platform::SpawnResult r = platform::SpawnProcess(script, {}, "");
    ASSERT_TRUE(r.Ok());
    ASSERT_TRUE(WaitFor([&] { return platform::Exists(ready); }));
    EXPECT_FALSE(platform::WaitForProcess(r.pid, 0, nullptr));
    EXPECT_TRUE(platform::TerminateProcess(r.pid, 100));
}

TEST_F(Spawning, OpenWithDesktopUsesOpenerOrReportsNoAssociation) {
    EXPECT_EQ(platform::OpenWithDesktop("https://example.invalid/", box.File("no-opener")).error,
              SpawnError::NoAssociation);
    EXPECT_EQ(platform::OpenWithDesktop("x", "tidewell-no-such-opener").error, SpawnError::NoAssociation);

    std::string record = box.File("opened.txt");
    std::string opener = Script("opener.sh", "#!/bin/sh\nprintf '%s' \"$1\" > '" + record + ".part'\nmv '" + record +
                                                 ".part' '" + record + "'\n");
    platform::SpawnResult r = platform::OpenWithDesktop("/some/folder", opener);
    ASSERT_TRUE(r.Ok());
    ASSERT_TRUE(WaitFor([&] { return platform::Exists(record); }));
    EXPECT_EQ(Sandbox::Read(record), "/some/folder");
}

TEST_F(Spawning, ExecutableCheckAndPathLookup) {
    EXPECT_TRUE(platform::IsExecutableFile(Script("x.sh", "#!/bin/sh\n")));
    EXPECT_FALSE(platform::IsExecutableFile(Script("y.sh", "#!/bin/sh\n", false)));
    EXPECT_FALSE(platform::IsExecutableFile(box.Path().string()));
    EXPECT_EQ(platform::FindInPath("sh").empty(), false);
    EXPECT_TRUE(platform::FindInPath("tidewell-no-such-program").empty());
}

}  // namespace
