// The pure parts of the HTTP source: request bytes, reply-header parsing,
// redirection targets and the chunked decoder.

#include <gtest/gtest.h>

#include <string>

#include "engine/peers/THttpReply.h"

namespace engine {
namespace {

int64_t HeaderEnd(const std::string& text) {
    return THttpReply::FindHeaderEnd(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

THttpReply Parsed(const std::string& text) {
    THttpReply reply;
    EXPECT_TRUE(reply.Parse(text)) << text;
    return reply;
}

TEST(HttpRequest, OpenEndedRangeOnlyAboveZero) {
    const std::string fixed =
        "GET /pkg/a.cab HTTP/1.1\r\nHost:example.test\r\nAccept:*/*\r\nReferer: http://example.test/pkg\r\n"
        "User-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98) Tidewell/1.0.3\r\nConnection:Keep-Alive\r\n";
    const std::string tail = "Pragma: no-cache\r\nCache-Control: no-cache\r\n\r\n";
    EXPECT_EQ(BuildHttpRequest("/pkg/a.cab", "example.test", "http://example.test/pkg", 0), fixed + tail);
    EXPECT_EQ(BuildHttpRequest("/pkg/a.cab", "example.test", "http://example.test/pkg", 1048576),
              fixed + "Range: bytes=1048576-\r\n" + tail);
    EXPECT_EQ(BuildHttpRequest("/pkg/a.cab", "example.test", "http://example.test/pkg", 10, 20),
              fixed + "Range: bytes=10-20\r\n" + tail);
    EXPECT_EQ(BuildHttpRequest("/pkg/a.cab", "example.test", "http://example.test/pkg", 10, 5),
              fixed + "Range: bytes=10-\r\n" + tail);
}

TEST(HttpReplyHeader, EndIsABlankLineInEitherForm) {
    struct Case {
        const char* text;
        int64_t end;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nA: b\r\n\r\nBODY", 25},
        {"HTTP/1.1 200 OK\nA: b\n\nBODY", 22},
        {"HTTP/1.1 200 OK\r\nA: b\r\n", 0},
        {"HTTP/1.1 200 OK\r\nA: b\r\n\r", 0},
        {"", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(HeaderEnd(c.text), c.end) << c.text;
    // A header that never ends is refused once it reaches the limit.
    EXPECT_EQ(HeaderEnd(std::string(THttpReply::MaxHeaderBytes, 'x')), -1);
    EXPECT_EQ(HeaderEnd(std::string(THttpReply::MaxHeaderBytes - 1, 'x')), 0);
}

TEST(HttpReplyHeader, StatusLineAndLookup) {
    THttpReply r = Parsed("HTTP/1.1 206 Partial Content\r\ncontent-range :  bytes 0-9/1000 \r\nX-A:1\r\n\r\n");
    EXPECT_EQ(r.Version(), "HTTP/1.1");
    EXPECT_EQ(r.Status(), 206);
    EXPECT_EQ(r.Reason(), "Partial Content");
    std::string value;
    ASSERT_TRUE(r.Find("Content-Range", &value));
    EXPECT_EQ(value, "bytes 0-9/1000");
    // The Content-Range total wins over whatever the range says.
    EXPECT_EQ(r.ContentLength(), 1000);
    EXPECT_EQ(r.RangeStart(), 0);
    EXPECT_FALSE(r.Find("X", &value));  // a prefix of a name is not the name

    for (const char* bad : {"", "GET / HTTP/1.1\r\n", "HTTP/1.1 abc\r\n", "HTTP/1.1 2000 Big\r\n", "HTTPX 200\r\n"}) {
        THttpReply reply;
        EXPECT_FALSE(reply.Parse(bad)) << bad;
    }
}

TEST(HttpReplyHeader, ContentLengthSources) {
    struct Case {
        const char* header;
        int64_t length;
        int64_t body;
        int64_t start;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n", 5000, 5000, -1},
        {"HTTP/1.1 206 P\r\nContent-Length: 10\r\nContent-Range: bytes 990-999/1000\r\n", 1000, 10, 990},
        {"HTTP/1.1 206 P\r\nContent-Range: bytes 5-9/*\r\nContent-Length: 5\r\n", 5, 5, 5},
        {"HTTP/1.1 200 OK\r\n", -1, -1, -1},
        {"HTTP/1.1 200 OK\r\nContent-Length: -4\r\n", -1, -1, -1},
        {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n", -1, -1, -1},
    };
    for (const Case& c : cases) {
        THttpReply r = Parsed(c.header);
        EXPECT_EQ(r.ContentLength(), c.length) << c.header;
        EXPECT_EQ(r.BodyLength(), c.body) << c.header;
        EXPECT_EQ(r.RangeStart(), c.start) << c.header;
    }
}

TEST(HttpReplyHeader, DispositionFileName) {
    struct Case {
        const char* line;
        bool present;
        const char* name;
    } cases[] = {
        {"Content-Disposition: attachment; filename=\"a b.zip\"; size=3", true, "a b.zip"},
        {"Content-Disposition: attachment; filename=plain.cab;x", true, "plain.cab"},
        {"Content-Disposition: inline", true, ""},
        {"X: y", false, ""},
    };
    for (const Case& c : cases) {
        THttpReply r = Parsed(std::string("HTTP/1.1 200 OK\r\n") + c.line + "\r\n");
        std::string name = "unchanged";
        EXPECT_EQ(r.DispositionFileName(&name), c.present) << c.line;
        if (c.present) {
            EXPECT_EQ(name, c.name);
        }
    }
}

TEST(HttpReplyHeader, AbsoluteLocations) {
    EXPECT_EQ(THttpReply::AbsoluteLocation("/new/f.bin", "h.test", 8080), "http://h.test:8080/new/f.bin");
    EXPECT_EQ(THttpReply::AbsoluteLocation("f.bin", "h.test", 80), "http://h.test/f.bin");
    EXPECT_EQ(THttpReply::AbsoluteLocation("HTTP://o.test/x", "h.test", 81), "HTTP://o.test/x");
    EXPECT_EQ(THttpReply::AbsoluteLocation("ftp://o.test/x", "h.test", 81), "ftp://o.test/x");
}

TEST(HttpChunkDecoder, WholeBodyInPieces) {
    const std::string wire = "4\r\nWiki\r\n5;ext=1\r\npedia\r\nE\r\n in\r\n\r\nchunks.\r\n0\r\nTrailer: x\r\n\r\nNEXT";
    // Any split of the input gives the same body and stops at its end.
    for (size_t step : {size_t{1}, size_t{3}, size_t{7}, wire.size()}) {
        THttpChunkDecoder decoder;
        std::string body;
        size_t at = 0;
        while (at < wire.size() && !decoder.IsDone()) {
            size_t n = std::min(step, wire.size() - at);
            size_t used = decoder.Feed(reinterpret_cast<const uint8_t*>(wire.data() + at), n, body);
            at += used;
            ASSERT_FALSE(decoder.IsError());
            if (used == 0) break;
        }
        EXPECT_TRUE(decoder.IsDone());
        EXPECT_EQ(body, "Wikipedia in\r\n\r\nchunks.");
        EXPECT_EQ(wire.substr(at), "NEXT");
    }
}

TEST(HttpChunkDecoder, MalformedInputIsAnError) {
    for (const std::string& bad : {std::string("zz\r\n"), std::string("3\r\nabcX\r\n"), std::string(300, '1'),
                                  std::string("fffffffffffffff\r\n")}) {
        THttpChunkDecoder decoder;
        std::string body;
        decoder.Feed(reinterpret_cast<const uint8_t*>(bad.data()), bad.size(), body);
        EXPECT_TRUE(decoder.IsError()) << bad.substr(0, 20);
    }
}

}  // namespace
}  // namespace engine
