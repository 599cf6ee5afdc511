#include "engine/meta/TTorrent.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <vector>

#include "engine/meta/TTorrentHost.h"
#include "tests/support/Sandbox.h"

namespace engine {
namespace {

// Little bencode builders for hand-made metainfo.
std::string S(std::string_view text) { return std::to_string(text.size()) + ":" + std::string(text); }
std::string I(std::string_view key, int64_t value) { return S(key) + "i" + std::to_string(value) + "e"; }
std::string Digests(int count) { return S("pieces") + S(std::string(static_cast<size_t>(count) * 20, 'h')); }
std::string List(std::initializer_list<std::string_view> texts) {
    std::string out = "l";
    for (auto t : texts) out += S(t);
    return out + "e";
}

// An info dictionary of one file of `length` bytes in pieces of 100.
std::string SingleInfo(std::string_view name = "file.bin", int64_t length = 250, int pieces = 3) {
    return "d" + I("length", length) + S("name") + S(name) + I("piece length", 100) + Digests(pieces) + "e";
}

// files: (length, path list) pairs already encoded.
std::string MultiInfo(std::string_view name, const std::vector<std::string>& files, int pieces,
                      int64_t piece_length = 100) {
    std::string list = "l";
    for (const auto& f : files) list += f;
    list += "e";
    return "d" + S("files") + list + S("name") + S(name) + I("piece length", piece_length) + Digests(pieces) + "e";
}
std::string FileEntry(int64_t length, const std::string& path_list) {
    return "d" + I("length", length) + S("path") + path_list + "e";
}

std::string Torrent(const std::string& info, const std::string& before = "") {
    return "d" + before + S("info") + info + "e";
}

class RecordingHost : public TTorrentHost {
public:
    void SetMetainfoPhase(int phase) override { phases.push_back(phase); }
    void SetTaskError(int code) override { error = code; }
    void RequestStop() override { stop_requested = true; }
    std::vector<int> phases;
    int error = 0;
    bool stop_requested = false;
};

TEST(TTorrentLoad, SingleFileTorrent) {
    RecordingHost host;
    TTorrent torrent(&host);
    torrent.SetSaveFolder("/save");
    const std::string info = SingleInfo();
    ASSERT_TRUE(torrent.LoadFromBytes(Torrent(info, S("announce") + S("http://t/a") + I("creation date", 1700000000) +
                                                        S("comment") + S("hello"))));
    EXPECT_EQ(host.phases, (std::vector<int>{TTorrent::PhaseReadingMetainfo, TTorrent::PhaseMetainfoDone}));
    EXPECT_EQ(torrent.Announce(), "http://t/a");
    EXPECT_EQ(torrent.Comment(), "hello");
    EXPECT_EQ(torrent.CreationDate(), 1700000000);
    EXPECT_EQ(torrent.InfoHash(), QSha1::Digest(info.data(), info.size()));
    EXPECT_EQ(torrent.InfoHashHex(), QSha1::ToHex(torrent.InfoHash()));
    const TTorrentLayout& layout = torrent.Layout();
    EXPECT_TRUE(layout.IsSingleFile());
    EXPECT_EQ(layout.PieceLength(), 100);
    EXPECT_EQ(layout.PieceCount(), 3);
    EXPECT_EQ(layout.PieceSize(2), 50);
    EXPECT_EQ(layout.TotalLength(), 250);
    ASSERT_EQ(layout.Files().size(), 1u);
    EXPECT_EQ(layout.Files()[0].path, "/save/file.bin");
    EXPECT_EQ(layout.Files()[0].display_name, "file.bin");
    EXPECT_EQ(layout.Files()[0].piece_span, 3);

    // The task's exact target overrides the path of a single file.
    torrent.SetTargetPath("/elsewhere/target.bin");
    ASSERT_TRUE(torrent.LoadFromBytes(Torrent(info)));
    EXPECT_EQ(torrent.Layout().Files()[0].path, "/elsewhere/target.bin");
}

TEST(TTorrentLoad, MultiFileOffsetsAndSpans) {
    TTorrent torrent;
    torrent.SetSaveFolder("/save/");
    const std::string info = MultiInfo("Game", {FileEntry(150, List({"a.bin"})), FileEntry(0, List({"sub", "empty"})),
                                                FileEntry(0, List({"dir", ""})), FileEntry(250, List({"sub", "b.bin"}))},
                                       4);
    ASSERT_TRUE(torrent.LoadFromBytes(Torrent(info)));
    const auto& files = torrent.Layout().Files();
    ASSERT_EQ(files.size(), 3u);
    struct Expect { const char* path; const char* display; int64_t size, offset, first, span; };
    const std::array<Expect, 3> expected{{
        {"/save/Game/a.bin", "Game/a.bin", 150, 0, 0, 2},
        {"/save/Game/sub/empty", "Game/sub/empty", 0, 150, 1, 0},
        {"/save/Game/sub/b.bin", "Game/sub/b.bin", 250, 150, 1, 3},
    }};
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].path);
        EXPECT_EQ(files[i].index, static_cast<int>(i));
        EXPECT_EQ(files[i].path, expected[i].path);
        EXPECT_EQ(files[i].display_name, expected[i].display);
        EXPECT_EQ(files[i].size_bytes, expected[i].size);
        EXPECT_EQ(files[i].offset_bytes, expected[i].offset);
        EXPECT_EQ(files[i].first_piece, expected[i].first);
        EXPECT_EQ(files[i].piece_span, expected[i].span);
    }
    EXPECT_EQ(torrent.Layout().Folders(), std::vector<std::string>{"/save/Game/dir/"});
    EXPECT_EQ(torrent.Layout().TotalLength(), 400);
}

struct MetainfoCase {
    const char* name;
    std::string bytes;
    bool loads;
    int64_t pieces;          // when it loads
    size_t files;            // when it loads
};

TEST(TTorrentLoad, TableOfMetainfoCases) {
    const std::string one = FileEntry(100, List({"a"}));
    const std::vector<MetainfoCase> cases{
        {"root keys in any case", "d" + S("ANNOUNCE") + S("http://x/a") + S("Info") + SingleInfo() + "e", true, 3, 1},
        {"info keys must match case", Torrent("d" + I("Length", 250) + S("name") + S("f") + I("piece length", 100) +
                                              Digests(3) + "e"), false, 0, 0},
        {"pieces of 20 bytes: one piece", Torrent(SingleInfo("f", 100, 1)), true, 1, 1},
        {"pieces of 19 bytes", Torrent("d" + I("length", 10) + S("name") + S("f") + I("piece length", 100) +
                                       S("pieces") + S(std::string(19, 'h')) + "e"), false, 0, 0},
        {"pieces of 41 bytes", Torrent("d" + I("length", 10) + S("name") + S("f") + I("piece length", 100) +
                                       S("pieces") + S(std::string(41, 'h')) + "e"), false, 0, 0},
        {"too few pieces for the length", Torrent(SingleInfo("f", 250, 2)), false, 0, 0},
        {"too many pieces for the length", Torrent(SingleInfo("f", 250, 4)), false, 0, 0},
        {"piece length zero", Torrent("d" + I("length", 10) + S("name") + S("f") + I("piece length", 0) + Digests(1) + "e"),
         false, 0, 0},
        {"piece length beyond 32 bits", Torrent("d" + I("length", 10) + S("name") + S("f") +
                                                I("piece length", 4294967396) + Digests(1) + "e"), false, 0, 0},
        {"piece length as text", Torrent("d" + I("length", 10) + S("name") + S("f") + S("piece length") + S("100") +
                                         Digests(1) + "e"), false, 0, 0},
        {"single file of length 0", Torrent(SingleInfo("f", 0, 1)), false, 0, 0},
        {"no info", "d" + S("announce") + S("http://x/a") + "e", false, 0, 0},
        {"info is a list", Torrent("le"), false, 0, 0},
        {"no files", Torrent("d" + S("name") + S("n") + I("piece length", 100) + Digests(1) + "e"), false, 0, 0},
        {"empty files", Torrent(MultiInfo("n", {}, 1)), false, 0, 0},
        {"empty path list ends the list", Torrent(MultiInfo("n", {one, FileEntry(5, "le"), one}, 1)), true, 1, 1},
        {"folder entry with a length ends the list", Torrent(MultiInfo("n", {one, FileEntry(5, List({"d", ""})), one}, 1)),
         true, 1, 1},
        {"negative length ends the list", Torrent(MultiInfo("n", {one, FileEntry(-5, List({"x"})), one}, 1)), true, 1, 1},
        {"entry that is no dictionary ends the list", Torrent(MultiInfo("n", {one, S("junk"), one}, 1)), true, 1, 1},
        {"lengths that overflow", Torrent(MultiInfo("n", {FileEntry(INT64_MAX, List({"a"})), FileEntry(INT64_MAX, List({"b"}))},
                                                    1)), false, 0, 0},
        {"does not parse", "d4:infod", false, 0, 0},
        {"not a dictionary", "l" + SingleInfo() + "e", false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TTorrent torrent;
        bool loaded = torrent.LoadFromBytes(c.bytes);
        EXPECT_EQ(loaded, c.loads);
        if (!loaded) {
            EXPECT_EQ(torrent.InfoHashHex(), "");
            EXPECT_TRUE(torrent.Trackers().empty());
            EXPECT_TRUE(torrent.Layout().Files().empty());
            continue;
        }
        EXPECT_EQ(torrent.Layout().PieceCount(), c.pieces);
        EXPECT_EQ(torrent.Layout().Files().size(), c.files);
    }
}

TEST(TTorrentTrackers, AnnounceAndAnnounceList) {
    struct Case { const char* name; std::string before; std::vector<std::string> trackers; std::string announce; };
    const std::vector<Case> cases{
        {"announce first, then the list in document order",
         S("announce") + S("http://a/1") + S("announce-list") + "l" + List({"http://b/2", "udp://c/3"}) + List({"http://a/1"}) + "e",
         {"http://a/1", "http://b/2", "udp://c/3", "http://a/1"}, "http://a/1"},
        {"Tracker labels are skipped, Name ends the walk",
         S("announce-list") + "l" + List({"Tracker", "http://b/2"}) + "l" + S("http://c/3") + S("Name") + S("http://d/4") + "e" +
             List({"http://e/5"}) + "e",
         {"http://b/2", "http://c/3"}, ""},
        {"junk before the scheme and trailing bars",
         S("announce") + S(" \x01--:;HTTP://a/announce|||") + S("announce-list") + List({"--udp://b/x||"}),
         {"HTTP://a/announce", "udp://b/x"}, "HTTP://a/announce"},
        {"no scheme letter leaves an empty announce", S("announce") + S("--//x"), {""}, ""},
        {"root keys ignore case", S("Announce-List") + List({"http://z/1"}), {"http://z/1"}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TTorrent torrent;
        ASSERT_TRUE(torrent.LoadFromBytes(Torrent(SingleInfo(), c.before)));
        EXPECT_EQ(torrent.Trackers(), c.trackers);
        EXPECT_EQ(torrent.Announce(), c.announce);
    }
}

TEST(TTorrentTrackers, CleanTrackerUrl) {
    EXPECT_EQ(TTorrent::CleanTrackerUrl("xx http://a/b||"), "http://a/b");
    EXPECT_EQ(TTorrent::CleanTrackerUrl("Udp://a"), "Udp://a");
    EXPECT_EQ(TTorrent::CleanTrackerUrl("12345"), "");
    EXPECT_EQ(TTorrent::CleanTrackerUrl("--h||"), "");  // one byte is no address
    EXPECT_EQ(TTorrent::CleanTrackerUrl(""), "");
}

TEST(TTorrentHash, BytesAsTheyStand) {
    // Uppercase delimiters: the hash is over these exact bytes, not over the
    // canonical form the tree would write.
    const std::string info = "D" + I("length", 100) + S("name") + S("f") + I("piece length", 100) + Digests(1) + "E";
    const std::string canonical = "d" + info.substr(1, info.size() - 2) + "e";
    TTorrent torrent;
    ASSERT_TRUE(torrent.LoadFromBytes(Torrent(info)));
    EXPECT_EQ(torrent.InfoHash(), QSha1::Digest(info.data(), info.size()));
    EXPECT_NE(torrent.InfoHash(), QSha1::Digest(canonical.data(), canonical.size()));

    Sha1Digest digest{};
    digest[0] = 'A';
    digest[1] = '0';
    digest[2] = 0xff;
    digest[3] = '-';
    EXPECT_EQ(TTorrent::EscapeInfoHash(digest).substr(0, 12), "A0%ff%2d%00%");
    EXPECT_EQ(QSha1::ToHex(QSha1::Digest("abc", 3)), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(TTorrentText, CodePagesAndEncodings) {
    const std::string gbk = "\xd6\xd0\xce\xc4";           // "中文" in GBK
    const std::string utf8 = "\xe4\xb8\xad\xe6\x96\x87";  // and in UTF-8
    const std::string big5 = "\xa4\xa4\xa4\xe5";          // and in Big5
    struct Case { const char* name; std::string before; std::string raw_name; int code_page; std::string task_name; };
    const std::vector<Case> cases{
        {"codepage 936", I("codepage", 936), gbk, 936, utf8},
        {"encoding GBK", S("encoding") + S("gbk"), gbk, 936, utf8},
        {"encoding BIG5", S("encoding") + S("BIG5"), big5, 950, utf8},
        {"encoding utf-8 keeps the bytes", S("encoding") + S("utf-8"), gbk, 0, gbk},
        {"unknown code page keeps the bytes", I("codepage", 1234), gbk, 0, gbk},
        {"no code page", "", gbk, 0, gbk},
        {"ASCII whatever the code page", I("codepage", 932), "plain.bin", 932, "plain.bin"},
        // A name that does not convert is no name: the single file's default.
        {"bytes that do not convert", I("codepage", 936), "\x81", 936, TTorrentLayout::DefaultSingleName},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TTorrent torrent;
        ASSERT_TRUE(torrent.LoadFromBytes(Torrent(SingleInfo(c.raw_name), c.before + S("comment") + S("plain"))));
        EXPECT_EQ(torrent.CodePage(), c.code_page);
        EXPECT_EQ(torrent.Comment(), "plain");
        EXPECT_EQ(torrent.Layout().TaskName(), c.task_name);
    }

    // Once chosen, the code page stays for later loads of the same object.
    TTorrent torrent;
    ASSERT_TRUE(torrent.LoadFromBytes(Torrent(SingleInfo(gbk), I("codepage", 936))));
    torrent.Clear();
    ASSERT_TRUE(torrent.LoadFromBytes(Torrent(SingleInfo(gbk))));
    EXPECT_EQ(torrent.CodePage(), 936);
    EXPECT_EQ(torrent.Layout().TaskName(), utf8);
}

TEST(TTorrentText, PublisherFromInfoWhenNotAtRoot) {
    const std::string info = "d" + I("length", 100) + S("name") + S("f") + I("piece length", 100) + Digests(1) +
                             S("publisher") + S("inner") + S("publisher-url") + S("http://p") + "e";
    TTorrent torrent;
    ASSERT_TRUE(torrent.LoadFromBytes(Torrent(info, S("Publisher") + S("outer"))));
    EXPECT_EQ(torrent.Publisher(), "outer");
    EXPECT_EQ(torrent.PublisherUrl(), "http://p");
}

TEST(TTorrentLayoutTest, DoubledFolderName) {
    struct Case { const char* name; const char* save; const char* path; };
    const std::array<Case, 4> cases{{
        {"save folder ends with the name", "/dl/game", "/dl/Game/a"},
        {"ignoring case, with a slash", "/dl/GAME/", "/dl/Game/a"},
        {"a longer folder name is no match", "/dl/MyGame", "/dl/MyGame/Game/a"},
        {"other folder", "/dl", "/dl/Game/a"},
    }};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TTorrent torrent;
        torrent.SetSaveFolder(c.save);
        ASSERT_TRUE(torrent.LoadFromBytes(Torrent(MultiInfo("Game", {FileEntry(100, List({"a"}))}, 1))));
        EXPECT_EQ(torrent.Layout().Files()[0].path, c.path);
    }
}

TEST(TTorrentLayoutTest, PieceSpans) {
    struct Case { int64_t length, offset, size, span; };
    const std::array<Case, 8> cases{{
        {100, 250, 100, 2},  // 50 bytes complete piece 2, 50 start piece 3
        {100, 250, 0, 0},
        {100, 250, 50, 1},
        {100, 250, 51, 2},
        {100, 0, 100, 1},
        {100, 0, 101, 2},
        {100, 50, 151, 3},
        {16384, 0, 1, 1},
    }};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.length << "/" << c.offset << "/" << c.size);
        EXPECT_EQ(TTorrentLayout::ComputeSpan(c.length, c.offset, c.size), c.span);
    }
}

// "name" and "path" come from outside: nothing may land outside the save folder.
TEST(TTorrentLayoutTest, HostileNamesStayInsideSaveFolder) {
    struct Case { const char* name; std::string info; std::vector<std::string> paths; };
    const std::vector<Case> cases{
        {"dot-dot elements", MultiInfo("n", {FileEntry(10, List({"..", "..", "etc", "passwd"}))}, 1),
         {"/save/n/_/_/etc/passwd"}},
        {"dot and empty elements", MultiInfo("n", {FileEntry(10, List({".", "", "f"}))}, 1), {"/save/n/_/_/f"}},
        {"absolute element", MultiInfo("n", {FileEntry(10, List({"/etc/passwd"}))}, 1), {"/save/n/_etc_passwd"}},
        {"separators inside elements", MultiInfo("n", {FileEntry(10, List({"a/../../b", "c\\..\\d"}))}, 1),
         {"/save/n/a_.._.._b/c_.._d"}},
        {"NUL inside an element", MultiInfo("n", {FileEntry(10, List({std::string_view("x\0y", 3)}))}, 1), {"/save/n/x_y"}},
        {"dot-dot name", MultiInfo("..", {FileEntry(10, List({"f"}))}, 1), {"/save/_/f"}},
        {"empty name", MultiInfo("", {FileEntry(10, List({"f"}))}, 1), {"/save/_/f"}},
        {"absolute name", MultiInfo("/tmp", {FileEntry(10, List({"f"}))}, 1), {"/save/_tmp/f"}},
        {"single file named dot-dot", SingleInfo("..", 10, 1), {"/save/_"}},
        {"single file with separators", SingleInfo("../../x", 10, 1), {"/save/.._.._x"}},
        {"question marks and line ends", MultiInfo("n", {FileEntry(10, List({"a?b\r\n"}))}, 1), {"/save/n/a_b__"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TTorrent torrent;
        torrent.SetSaveFolder("/save");
        ASSERT_TRUE(torrent.LoadFromBytes(Torrent(c.info)));
        std::vector<std::string> paths;
        for (const auto& f : torrent.Layout().Files()) {
            paths.push_back(f.path);
            std::filesystem::path normal = std::filesystem::path(f.path).lexically_normal();
            EXPECT_EQ(normal.string().rfind("/save/", 0), 0u) << normal;
        }
        EXPECT_EQ(paths, c.paths);
    }
}

TEST(TTorrentLayoutTest, FolderEntriesAreCreatedInsideSaveFolder) {
    testing_support::Sandbox sandbox;
    TTorrent torrent;
    torrent.SetSaveFolder(sandbox.Path().string());
    ASSERT_TRUE(torrent.LoadFromBytes(Torrent(MultiInfo(
        "n", {FileEntry(0, List({"..", ""})), FileEntry(0, List({"x", "y", ""})), FileEntry(100, List({"f"}))}, 1))));
    ASSERT_EQ(torrent.Layout().Folders().size(), 2u);
    ASSERT_TRUE(torrent.Layout().CreateFolders());
    EXPECT_TRUE(std::filesystem::is_directory(sandbox.Path() / "n" / "_"));
    EXPECT_TRUE(std::filesystem::is_directory(sandbox.Path() / "n" / "x" / "y"));
}

TEST(TTorrentLoad, FromFileSource) {
    testing_support::Sandbox sandbox;
    const std::string good = sandbox.Write("good.torrent", Torrent(SingleInfo(), S("announce") + S("http://t/a")));
    const std::string list = sandbox.Write("list.torrent", "l" + SingleInfo() + "e");
    struct Case { const char* name; std::string source; bool loads; int error; };
    const std::vector<Case> cases{
        {"file source", "file://" + good, true, 0},
        {"scheme in any case", "FILE://" + good, true, 0},
        {"other scheme refused quietly", "http://" + good, false, 0},
        {"missing file", "file://" + sandbox.File("missing.torrent"), false, TTorrent::ErrorBadTorrentFile},
        {"not a dictionary", "file://" + list, false, TTorrent::ErrorBadTorrentFile},
        {"a folder", "file://" + sandbox.Path().string(), false, TTorrent::ErrorBadTorrentFile},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingHost host;
        TTorrent torrent(&host);
        torrent.SetSourceText(c.source);
        EXPECT_EQ(torrent.Load(), c.loads);
        EXPECT_EQ(host.error, c.error);
        EXPECT_EQ(host.stop_requested, c.error != 0);
        if (c.loads) {
            EXPECT_EQ(torrent.Announce(), "http://t/a");
        }
    }

    // Torrent bytes held by the task win over the source.
    TTorrent torrent;
    torrent.SetSourceText("file://" + sandbox.File("missing.torrent"));
    torrent.SetTorrentBytes(Torrent(SingleInfo(), S("announce") + S("http://bytes/a")));
    ASSERT_TRUE(torrent.Load());
    EXPECT_EQ(torrent.Announce(), "http://bytes/a");
}

TEST(TTorrentLoad, PhaseStaysAtReadingForNonDictionaryBytes) {
    RecordingHost host;
    TTorrent torrent(&host);
    EXPECT_FALSE(torrent.LoadFromBytes("le"));
    EXPECT_EQ(host.phases, std::vector<int>{TTorrent::PhaseReadingMetainfo});
    EXPECT_FALSE(torrent.LoadFromBytes(""));
    EXPECT_EQ(host.phases.size(), 1u);
}

TEST(TTorrentLoad, FailedLoadClearsEarlierResult) {
    TTorrent torrent;
    ASSERT_TRUE(torrent.LoadFromBytes(Torrent(SingleInfo(), S("announce") + S("http://t/a"))));
    EXPECT_FALSE(torrent.LoadFromBytes(Torrent(SingleInfo("f", 0, 1), S("announce") + S("http://t/a"))));
    EXPECT_EQ(torrent.Announce(), "");
    EXPECT_TRUE(torrent.Trackers().empty());
    EXPECT_EQ(torrent.InfoHash(), Sha1Digest{});
    EXPECT_FALSE(torrent.Layout().IsValid());
}

}  // namespace
}  // namespace engine
