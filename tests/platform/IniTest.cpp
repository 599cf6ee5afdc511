#include "platform/Ini.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <array>
#include <csignal>
#include <thread>

#include "platform/File.h"
#include "tests/support/ReplacementWatch.h"
#include "tests/support/Sandbox.h"

namespace {

using platform::IniDocument;
using platform::IniParseError;
using testing_support::Sandbox;

constexpr const char* Sample =
    "; settings written by hand\n"
    "[Download]\n"
    "SavePath = /home/user/games \n"
    "Speed=300\n"
    "Quoted=\"  spaced  \"\n"
    "Single='x'\n"
    "Lonely=\"\n"
    "\n"
    "[ Other ]\n"
    "# a comment\n"
    "Key=second\n"
    "key=shadowed\n";

class IniFile : public ::testing::Test {
protected:
    Sandbox box;
    std::string path = box.Write("settings.ini", Sample);
    std::string Contents() const { return Sandbox::Read(path); }
};

TEST_F(IniFile, LooksUpWithoutRegardToCaseAndTrimsAndUnquotes) {
    struct Case {
        const char* name;
        const char* section;
        const char* key;
        const char* expected;
    };
    constexpr std::array<Case, 9> cases = {{
        {.name = "exact", .section = "Download", .key = "Speed", .expected = "300"},
        {.name = "other case", .section = "dOWNLOAD", .key = "SPEED", .expected = "300"},
        {.name = "trimmed value", .section = "download", .key = "savepath", .expected = "/home/user/games"},
        {.name = "double quotes", .section = "download", .key = "quoted", .expected = "  spaced  "},
        {.name = "single quotes", .section = "download", .key = "single", .expected = "x"},
        {.name = "unmatched quote kept", .section = "download", .key = "lonely", .expected = "\""},
        {.name = "section name trimmed", .section = "other", .key = "key", .expected = "second"},
        {.name = "first of duplicates", .section = "OTHER", .key = "KEY", .expected = "second"},
        {.name = "missing key", .section = "Download", .key = "Nope", .expected = "fallback"},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(platform::IniGetString(path, c.section, c.key, "fallback"), c.expected);
    }
    EXPECT_EQ(platform::IniGetString(path, "Missing", "Speed", "d"), "d");
    EXPECT_EQ(platform::IniGetString(box.File("absent.ini"), "Download", "Speed", "d"), "d");
    EXPECT_EQ(platform::IniGetString(path, "Download", "; settings written by hand", "d"), "d");
}

TEST_F(IniFile, UpdatesKeyInPlaceKeepingEverythingElse) {
    ASSERT_TRUE(platform::IniWriteString(path, "DOWNLOAD", "speed", "0"));
    std::string expected = Sample;
    expected.replace(expected.find("Speed=300"), 9, "Speed=0");
    EXPECT_EQ(Contents(), expected);
}

TEST_F(IniFile, AddsKeyAtEndOfItsSectionAndNewSectionAtEnd) {
    ASSERT_TRUE(platform::IniWriteString(path, "download", "Finished", "1"));
    ASSERT_TRUE(platform::IniWriteString(path, "New", "A", "b"));
    std::string expected = Sample;
    expected.insert(expected.find("\n\n[ Other ]") + 1, "Finished=1\n");
    expected += "\n[New]\nA=b\n";
    EXPECT_EQ(Contents(), expected);
    EXPECT_EQ(platform::IniGetString(path, "new", "a", ""), "b");
}

TEST_F(IniFile, NullValueDeletesKeyAndNullKeyDeletesSection) {
    ASSERT_TRUE(platform::IniWriteString(path, "download", "SAVEPATH", std::nullopt));
    std::string expected = Sample;
    expected.erase(expected.find("SavePath"), std::string("SavePath = /home/user/games \n").size());
    EXPECT_EQ(Contents(), expected);

    ASSERT_TRUE(platform::IniWriteString(path, "other", std::nullopt, std::nullopt));
    expected.erase(expected.find("[ Other ]"));
    EXPECT_EQ(Contents(), expected);
    EXPECT_EQ(platform::IniGetString(path, "Other", "Key", "gone"), "gone");
}

TEST_F(IniFile, DeletingFromMissingFileCreatesNothing) {
    std::string absent = box.File("absent.ini");
    EXPECT_TRUE(platform::IniWriteString(absent, "S", "K", std::nullopt));
    EXPECT_TRUE(platform::IniWriteString(absent, "S", std::nullopt, std::nullopt));
    EXPECT_FALSE(platform::Exists(absent));
    ASSERT_TRUE(platform::IniWriteString(absent, "S", "K", "v"));
    EXPECT_EQ(Sandbox::Read(absent), "[S]\nK=v\n");
}

TEST_F(IniFile, KeepsWindowsLineEndings) {
    std::string crlf = box.Write("crlf.ini", "[A]\r\nx=1\r\n");
    ASSERT_TRUE(platform::IniWriteString(crlf, "a", "y", "2"));
    ASSERT_TRUE(platform::IniWriteString(crlf, "a", "X", "3"));
    EXPECT_EQ(Sandbox::Read(crlf), "[A]\r\nx=3\r\ny=2\r\n");
}

TEST_F(IniFile, RefusesNamesAndValuesThatWouldCorruptTheFile) {
    struct Case {
        const char* name;
        const char* section;
        const char* key;
        const char* value;
    };
    constexpr std::array<Case, 7> cases = {{
        {.name = "line break in value", .section = "S", .key = "K", .value = "a\n[Evil]\nx=1"},
        {.name = "carriage return in value", .section = "S", .key = "K", .value = "a\rb"},
        {.name = "equals in key", .section = "S", .key = "K=1", .value = "v"},
        {.name = "empty key", .section = "S", .key = "", .value = "v"},
        {.name = "key looks like comment", .section = "S", .key = ";K", .value = "v"},
        {.name = "bracket in section", .section = "S]x", .key = "K", .value = "v"},
        {.name = "line break in section", .section = "S\nT", .key = "K", .value = "v"},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(platform::IniWriteString(path, c.section, c.key, c.value));
        EXPECT_EQ(Contents(), Sample);
    }
}

TEST_F(IniFile, ReadsSectionEntriesAndSectionNames) {
    std::vector<platform::IniEntry> entries = platform::IniReadSection(path, "download");
    std::vector<platform::IniEntry> expected = {
        {"SavePath", "/home/user/games"}, {"Speed", "300"}, {"Quoted", "  spaced  "}, {"Single", "x"}, {"Lonely", "\""}};
    EXPECT_EQ(entries, expected);
    EXPECT_EQ(platform::IniSectionNames(path), (std::vector<std::string>{"Download", "Other"}));
    EXPECT_TRUE(platform::IniReadSection(path, "none").empty());
}

TEST_F(IniFile, GetIntTakesLeadingNumberLikeWindows) {
    box.Write("n.ini", "[N]\nplain=42\nsigned=-7\ntrailing=12abc\nword=abc\nempty=\n");
    std::string n = box.File("n.ini");
    EXPECT_EQ(platform::IniGetInt(n, "n", "plain", 5), 42);
    EXPECT_EQ(platform::IniGetInt(n, "n", "signed", 5), -7);
    EXPECT_EQ(platform::IniGetInt(n, "n", "trailing", 5), 12);
    EXPECT_EQ(platform::IniGetInt(n, "n", "word", 5), 0);
    EXPECT_EQ(platform::IniGetInt(n, "n", "empty", 5), 5);
    EXPECT_EQ(platform::IniGetInt(n, "n", "missing", 5), 5);
}

// A write that dies half way (here: the file-size limit, as a full disk
// would) must leave the previous file whole and no temporary file behind.
TEST_F(IniFile, InterruptedWriteLeavesOldFileWhole) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 512;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool written = platform::IniWriteString(path, "Download", "Speed", std::string(4096, '9'));
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);

    EXPECT_FALSE(written);
    EXPECT_EQ(platform::LastFileError(), EFBIG);
    EXPECT_EQ(Contents(), Sample);
    EXPECT_EQ(platform::ListDirectory(box.Path().string()), std::vector<std::string>{"settings.ini"});
}

TEST_F(IniFile, LeavesUnparseableFileUntouched) {
    std::string huge = "[A]\nk=" + std::string(platform::IniLimits{}.max_line_bytes + 1, 'x') + "\n";
    std::string bad = box.Write("bad.ini", huge);
    EXPECT_FALSE(platform::IniWriteString(bad, "A", "k", "small"));
    EXPECT_EQ(Sandbox::Read(bad), huge);
    EXPECT_EQ(platform::IniGetString(bad, "A", "k", "default"), "default");
}

TEST_F(IniFile, ConcurrentWritersLoseNoUpdate) {
    constexpr int Writes = 40;
    auto writer = [this](const char* key) {
        for (int i = 0; i < Writes; ++i) platform::IniWriteString(path, "Race", key, std::to_string(i));
    };
    std::thread a(writer, "a");
    std::thread b(writer, "b");
    a.join();
    b.join();
    EXPECT_EQ(platform::IniGetString(path, "race", "a", ""), std::to_string(Writes - 1));
    EXPECT_EQ(platform::IniGetString(path, "race", "b", ""), std::to_string(Writes - 1));
}

// Values written behind are read back at once, reach the disk at most once a
// second while they keep changing, and all of them at a flush.
TEST_F(IniFile, WritesBehindAtMostOnceASecond) {
    testing_support::ReplacementWatch watch(path);
    constexpr int Writes = 60;
    for (int i = 0; i < Writes; ++i) {
        ASSERT_TRUE(platform::IniWriteStringLater(path, "Progress", "n", std::to_string(i)));
        ASSERT_EQ(platform::IniGetString(path, "progress", "N", ""), std::to_string(i));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // About three seconds of changes: the first at once, then one a second.
    int during = watch.Count();
    EXPECT_GE(during, 2);
    EXPECT_LE(during, 5);
    EXPECT_NE(Contents().find("[Download]\nSavePath = /home/user/games \n"), std::string::npos);

    ASSERT_TRUE(platform::IniFlush(path));
    IniDocument on_disk;
    ASSERT_EQ(IniDocument::Parse(Contents(), &on_disk), IniParseError::None);
    EXPECT_EQ(on_disk.Get("Progress", "n"), std::to_string(Writes - 1));
}

// A write that must be on disk at once takes what is held behind with it, and
// what cannot be stored is refused behind as it is at once.
TEST_F(IniFile, WriteAtOnceCarriesWhatIsHeldBehind) {
    ASSERT_TRUE(platform::IniWriteStringLater(path, "Progress", "a", "1"));
    ASSERT_TRUE(platform::IniWriteStringLater(path, "Progress", "a", "2"));  // held: within the second
    ASSERT_TRUE(platform::IniWriteString(path, "Record", "done", "yes"));
    IniDocument on_disk;
    ASSERT_EQ(IniDocument::Parse(Contents(), &on_disk), IniParseError::None);
    EXPECT_EQ(on_disk.Get("Progress", "a"), "2");
    EXPECT_EQ(on_disk.Get("Record", "done"), "yes");

    EXPECT_FALSE(platform::IniWriteStringLater(path, "Progress", "a", "3\n[Injected]"));
    EXPECT_EQ(platform::IniGetString(path, "Progress", "a", ""), "2");
    std::string bad = box.Write("bad.ini", std::string(8, '\0') + "[S]\n" + std::string(5 * 1024 * 1024, 'x'));
    EXPECT_FALSE(platform::IniWriteStringLater(bad, "S", "k", "v"));
}

TEST(IniDocumentParse, EnforcesLimits) {
    platform::IniLimits limits;
    limits.max_bytes = 64;
    limits.max_line_bytes = 8;
    limits.max_lines = 3;
    struct Case {
        const char* name;
        std::string bytes;
        IniParseError expected;
    };
    const std::array<Case, 5> cases = {{
        {.name = "fits", .bytes = "[a]\nk=v\n", .expected = IniParseError::None},
        {.name = "too large", .bytes = std::string(65, '\n'), .expected = IniParseError::TooLarge},
        {.name = "long line", .bytes = "[a]\nk=123456789\n", .expected = IniParseError::LineTooLong},
        {.name = "too many lines", .bytes = "a\nb\nc\nd\n", .expected = IniParseError::TooManyLines},
        {.name = "last line without break", .bytes = "a\nb\nc", .expected = IniParseError::None},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        IniDocument doc;
        EXPECT_EQ(IniDocument::Parse(c.bytes, &doc, limits), c.expected);
    }
}

TEST(IniDocumentParse, SerializeRoundTripsAndEndsLastLine) {
    IniDocument doc;
    ASSERT_EQ(IniDocument::Parse("[a]\nk = v\n;c\n[b]\nx=y", &doc), IniParseError::None);
    EXPECT_EQ(doc.Serialize(), "[a]\nk = v\n;c\n[b]\nx=y\n");
    EXPECT_EQ(doc.Get("B", "X"), "y");
}

}  // namespace
