// The FTP source's pure parts: reply framing (in every segmentation a server
// may choose), the passive-mode address, and the command texts.

#include "engine/peers/FtpReply.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace {

using engine::FindFtpReply;
using engine::FtpReply;
using Result = engine::FtpReplyScan::Result;

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

TEST(FtpReplyScan, FindsTheFirstReplyAndLeavesTheRest) {
    struct Case {
        const char* name;
        std::string input;
        Result result;
        int32_t code = 0;
        std::string text = {};
        size_t consumed = 0;
    };
    const std::string long_line(engine::MaxFtpReplyBytes + 10, 'x');
    const std::array cases = {
        Case{"one line", "220 Ready\r\n", Result::Complete, 220, "Ready", 11},
        Case{"bare LF ends a line too", "200 OK\n", Result::Complete, 200, "OK", 7},
        Case{"code alone", "226\r\n", Result::Complete, 226, "", 5},
        Case{"two replies in one segment: only the first", "150 Opening\r\n226 Done\r\n", Result::Complete, 150,
             "Opening", 13},
        Case{"multi-line waits for its final line", "220-Welcome\r\n220-more\r\n", Result::Incomplete},
        Case{"multi-line ends at the same code and a space", "220-Welcome\r\n 220 text\r\nabc def\r\n220 ready\r\n",
             Result::Complete, 220, "Welcome", 44},
        Case{"multi-line is not ended by another code", "220-a\r\n230 b\r\n", Result::Incomplete},
        Case{"line without its end", "220 Rea", Result::Incomplete},
        Case{"two digits so far", "22", Result::Incomplete},
        Case{"not a reply code", "HTTP/1.1 200 OK\r\n", Result::Malformed},
        Case{"not a code, told early", "2x", Result::Malformed},
        Case{"code run on", "2201 x\r\n", Result::Malformed},
        Case{"endless line", long_line, Result::Malformed},
        Case{"endless multi-line", "220-a\r\n" + std::string(engine::MaxFtpReplyBytes, 'b') + "\r\n", Result::Malformed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A vector, not a string: no NUL after the bytes to hide an over-read.
        const std::vector<uint8_t> bytes = Bytes(c.input);
        FtpReply reply;
        const engine::FtpReplyScan scan = FindFtpReply(bytes.data(), bytes.size(), &reply);
        ASSERT_EQ(scan.result, c.result);
        if (c.result != Result::Complete) continue;
        EXPECT_EQ(reply.code, c.code);
        EXPECT_EQ(reply.text, c.text);
        EXPECT_EQ(scan.consumed, c.consumed);
    }
}

TEST(FtpReplyScan, EverySegmentationGivesTheSameReplies) {
    const std::string stream = "220-Fault server\r\n220 ready\r\n331 Password\r\n150 Opening\r\n226 Done\n";
    for (size_t chunk = 1; chunk <= stream.size(); ++chunk) {
        SCOPED_TRACE(chunk);
        std::vector<uint8_t> buffer;
        std::vector<int32_t> codes;
        for (size_t at = 0; at < stream.size(); at += chunk) {
            const std::string part = stream.substr(at, chunk);
            buffer.insert(buffer.end(), part.begin(), part.end());
            for (;;) {
                FtpReply reply;
                const engine::FtpReplyScan scan = FindFtpReply(buffer.data(), buffer.size(), &reply);
                ASSERT_NE(scan.result, Result::Malformed);
                if (scan.result == Result::Incomplete) break;
                codes.push_back(reply.code);
                buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(scan.consumed));
            }
        }
        EXPECT_EQ(codes, (std::vector<int32_t>{220, 331, 150, 226}));
        EXPECT_TRUE(buffer.empty());
    }
}

TEST(FtpPasvReply, SixFieldsWithinRangeOrNothing) {
    struct Case {
        const char* name;
        const char* text;
        bool ok;
        uint32_t host = 0;
        int32_t port = 0;
    };
    const std::array cases = {
        Case{"plain", "Entering Passive Mode (10,0,0,5,19,137).", true, 0x0A000005u, 5001},
        Case{"spaces and empty fields are skipped", "ok ( 127, 0,,0, 1, 4, 1 )", true, 0x7F000001u, 1025},
        Case{"highest port", "(1,2,3,4,255,255)", true, 0x01020304u, 65535},
        Case{"five fields", "(127,0,0,1,19)", false},
        Case{"seven fields", "(127,0,0,1,19,137,1)", false},
        Case{"host field above 255", "(300,1,2,3,19,137)", false},
        Case{"port field above 255", "(1,2,3,4,256,1)", false},
        Case{"port 0", "(1,2,3,4,0,0)", false},
        Case{"sign", "(1,2,3,4,-1,5)", false},
        Case{"letters", "(1,2,3,4,1a,5)", false},
        Case{"long field", "(1,2,3,4,0001,5)", false},
        Case{"no parenthesis", "Entering Passive Mode 127,0,0,1,4,1", false},
        Case{"no closing parenthesis", "(127,0,0,1,4,1", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        engine::PasvAddress address;
        ASSERT_EQ(engine::ParsePasvReply(c.text, &address), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(address.host, c.host);
        EXPECT_EQ(address.port, c.port);
    }
}

TEST(FtpCommands, TextsPathsAndOffsets) {
    EXPECT_EQ(engine::BuildFtpCommand("user", "bob"), "user bob\r\n");
    EXPECT_EQ(engine::BuildFtpCommand("pasv"), "pasv\r\n");
    EXPECT_EQ(engine::BuildFtpCommand("type", "i"), "type i\r\n");
    // Block 3 and block 131072: the offset goes out in 64 bits.
    EXPECT_EQ(engine::BuildFtpCommand("rest", std::to_string(int64_t{3} * 16384)), "rest 49152\r\n");
    EXPECT_EQ(engine::BuildFtpCommand("rest", std::to_string(int64_t{131072} * 16384)), "rest 2147483648\r\n");
    for (const char* bad : {"a\r\ndele x", "a\nquit", "a\r"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(engine::BuildFtpCommand("retr", bad), "");
    }
    EXPECT_EQ(engine::BuildFtpCommand("retr", std::string("a\0b", 3)), "");

    struct Case {
        const char* path;
        const char* directory;
        const char* file;
    };
    const std::array cases = {
        Case{"/pub/dir/file.bin", "/pub/dir", "file.bin"},
        Case{"/file.bin", "/", "file.bin"},
        Case{"/pub/dir/", "/pub/dir", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(engine::FtpDirectoryOf(c.path), c.directory);
        EXPECT_EQ(engine::FtpFileNameOf(c.path), c.file);
    }

    EXPECT_EQ(engine::ParseFtpSize("268435456"), 268435456);
    EXPECT_EQ(engine::ParseFtpSize("4294967296 bytes"), 4294967296);
    EXPECT_EQ(engine::ParseFtpSize("unknown"), -1);
    EXPECT_EQ(engine::ParseFtpSize(""), -1);
    EXPECT_EQ(engine::ParseFtpSize("99999999999999999999"), -1);
}

}  // namespace
