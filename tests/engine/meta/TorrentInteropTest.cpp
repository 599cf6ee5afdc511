// Torrents made by real tools (mktorrent, transmission-create) load with the
// info hash, file list, piece count and trackers transmission-show reports.
// The tools are required: a missing one fails these tests.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <sstream>

#include "engine/meta/TTorrent.h"
#include "tests/support/Process.h"
#include "tests/support/Sandbox.h"

namespace engine {
namespace {

using testing_support::RunProgram;
using testing_support::Sandbox;

// What transmission-show -u (files unsorted, in torrent order) prints.
struct ShowReport {
    std::string hash;
    int64_t piece_count = -1;
    int64_t piece_size = -1;
    std::vector<std::string> trackers;
    std::vector<std::string> files;
};

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// "32.00 KiB", "1.00 MiB" (exact for power-of-two piece sizes).
int64_t ParseSize(const std::string& text) {
    double value = 0;
    char unit[8] = {};
    if (std::sscanf(text.c_str(), "%lf %7s", &value, unit) != 2) return -1;
    const std::map<std::string, double> units{{"B", 1}, {"KiB", 1024}, {"MiB", 1048576}, {"GiB", 1073741824}};
    auto it = units.find(unit);
    return it == units.end() ? -1 : static_cast<int64_t>(value * it->second + 0.5);
}

ShowReport ParseShow(const std::string& output) {
    ShowReport report;
    std::istringstream lines(output);
    std::string line, section;
    while (std::getline(lines, line)) {
        std::string t = Trim(line);
        if (t == "GENERAL" || t == "TRACKERS" || t == "FILES") { section = t; continue; }
        if (t.empty()) continue;
        if (section == "GENERAL") {
            if (t.rfind("Hash: ", 0) == 0) report.hash = t.substr(6);
            if (t.rfind("Piece Count: ", 0) == 0) report.piece_count = std::stoll(t.substr(13));
            if (t.rfind("Piece Size: ", 0) == 0) report.piece_size = ParseSize(t.substr(12));
        } else if (section == "TRACKERS") {
            if (t.rfind("Tier #", 0) != 0) report.trackers.push_back(t);
        } else if (section == "FILES") {
            size_t paren = t.rfind(" (");
            report.files.push_back(paren == std::string::npos ? t : t.substr(0, paren));
        }
    }
    return report;
}

std::string RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen());
    return s;
}

struct ToolCase {
    const char* name;
    bool multi;                       // a folder of several files, else one file
    std::vector<std::string> command; // before "-o <out> <target>"
};

TEST(TorrentInterop, ToolsAgreeWithTransmissionShow) {
    // Sizes chosen so last pieces are partial and files straddle pieces.
    const std::map<std::string, size_t> multi_files{
        {"payload/a.bin", 100'003}, {"payload/sub/b.txt", 5'000}, {"payload/sub/deeper/c.dat", 70'123},
        {"payload/sub/empty.txt", 0}, {"payload/z.bin", 300'000}};
    const std::vector<ToolCase> cases{
        {"mktorrent single 32 KiB", false, {"mktorrent", "-l", "15", "-a", "http://127.0.0.1:1/announce"}},
        {"mktorrent multi 64 KiB", true, {"mktorrent", "-l", "16", "-a", "http://127.0.0.1:1/a", "-a", "udp://127.0.0.1:2/b"}},
        {"mktorrent multi 256 KiB", true, {"mktorrent", "-l", "18", "-a", "http://127.0.0.1:1/a,http://127.0.0.1:3/c"}},
        {"transmission-create single 64 KiB", false, {"transmission-create", "-s", "64", "-t", "http://127.0.0.1:1/a"}},
        {"transmission-create multi 32 KiB", true,
         {"transmission-create", "-s", "32", "-t", "http://127.0.0.1:1/a", "-t", "http://127.0.0.1:2/b", "-c", "made for a test"}},
        {"transmission-create multi 1 MiB", true, {"transmission-create", "-s", "1024", "-t", "http://127.0.0.1:1/a"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        std::map<std::string, size_t> sizes;
        uint32_t seed = 1;
        if (c.multi) {
            for (const auto& [name, size] : multi_files) {
                sandbox.Write("src/" + name, RandomBytes(size, seed++));
                sizes[name] = size;
            }
        } else {
            sandbox.Write("src/single.bin", RandomBytes(456'789, seed));
            sizes["single.bin"] = 456'789;
        }
        const std::string target = c.multi ? "payload" : "single.bin";
        const std::string out = sandbox.File("made.torrent");
        std::vector<std::string> command = c.command;
        command.insert(command.end(), {"-o", out, target});
        auto made = RunProgram(command, sandbox.File("src"));
        ASSERT_EQ(made.exit_code, 0) << made.output;
        auto shown = RunProgram({"transmission-show", "-u", out});
        ASSERT_EQ(shown.exit_code, 0) << shown.output;
        const ShowReport report = ParseShow(shown.output);
        ASSERT_EQ(report.hash.size(), 40u) << shown.output;

        TTorrent torrent;
        torrent.SetSaveFolder(sandbox.File("dl"));
        torrent.SetSourceText("file://" + out);
        ASSERT_TRUE(torrent.Load());
        const TTorrentLayout& layout = torrent.Layout();
        EXPECT_EQ(torrent.InfoHashHex(), report.hash);
        EXPECT_EQ(layout.PieceCount(), report.piece_count);
        EXPECT_EQ(layout.PieceLength(), report.piece_size);
        // Our list keeps the announce address in front of the announce-list,
        // where it appears again; the tool lists each address once.
        std::vector<std::string> distinct;
        for (const auto& t : torrent.Trackers())
            if (std::find(distinct.begin(), distinct.end(), t) == distinct.end()) distinct.push_back(t);
        EXPECT_EQ(distinct, report.trackers);
        EXPECT_EQ(torrent.Announce(), report.trackers.front());

        std::vector<std::string> names;
        int64_t total = 0;
        for (const auto& file : layout.Files()) {
            names.push_back(file.display_name);
            EXPECT_EQ(file.path, sandbox.File("dl/" + file.display_name));
            ASSERT_TRUE(sizes.count(file.display_name)) << file.display_name;
            EXPECT_EQ(file.size_bytes, static_cast<int64_t>(sizes[file.display_name])) << file.display_name;
            EXPECT_EQ(file.offset_bytes, total);
            total += file.size_bytes;
        }
        EXPECT_EQ(names, report.files);
        EXPECT_EQ(layout.TotalLength(), total);
        EXPECT_EQ(layout.PieceCount(), (total + layout.PieceLength() - 1) / layout.PieceLength());
    }
}

}  // namespace
}  // namespace engine
