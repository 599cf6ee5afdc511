// The peer-message parser and the wire builders: every status the parser
// reports, the limits checked on the prefix alone, incremental feeding in
// every chunk size, and the exact bytes of the handshake and the preambles.

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "engine/peers/BtWire.h"
#include "engine/peers/TBtMessageParser.h"

namespace engine {
namespace {

std::string Be32(uint32_t v) {
    std::string out;
    AppendBe32(out, v);
    return out;
}

std::string Message(int id, const std::string& payload) {
    return Be32(static_cast<uint32_t>(payload.size() + 1)) + static_cast<char>(id) + payload;
}

// Parses `bytes` from a heap copy without a trailing NUL, so an over-read
// shows under AddressSanitizer. The message's pointers die with the copy.
BtParseStatus ParseOnce(const std::string& bytes, BtMessage* m, size_t* consumed) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size() ? bytes.size() : 1]);
    std::copy(bytes.begin(), bytes.end(), copy.get());
    BtParseStatus s = TBtMessageParser::Next(copy.get(), bytes.size(), m, consumed);
    return s;
}

TEST(TBtMessageParser, ReportsEachStatus) {
    struct Case {
        const char* name;
        std::string bytes;
        BtParseStatus status;
        size_t consumed;
    };
    const std::vector<Case> cases = {
        {"keep-alive", Be32(0), BtParseStatus::Message, 4},
        {"prefix incomplete", std::string("\0\0", 2), BtParseStatus::NeedMore, 0},
        {"unchoke", Message(1, ""), BtParseStatus::Message, 5},
        {"have", Message(4, Be32(7)), BtParseStatus::Message, 9},
        {"have with 5 bytes", Message(4, Be32(7) + "x"), BtParseStatus::Malformed, 0},
        {"request with 11 bytes", Message(6, std::string(11, 'a')), BtParseStatus::Malformed, 0},
        {"cancel with 13 bytes", Message(8, std::string(13, 'a')), BtParseStatus::Malformed, 0},
        {"length 2^31", Be32(0x80000000u) + std::string(8, 'a'), BtParseStatus::TooLong, 0},
        {"length just above the cap", Be32(524289), BtParseStatus::TooLong, 0},
        {"bitfield at the cap waits", Be32(524288) + "\x05", BtParseStatus::NeedMore, 0},
        {"piece without data", Message(7, Be32(0) + Be32(0)), BtParseStatus::BadPiece, 0},
        {"piece above 128 KiB", Be32(131072 + 10) + "\x07", BtParseStatus::BadPiece, 0},
        {"piece header still arriving", Be32(16384 + 9) + "\x07" + Be32(1), BtParseStatus::NeedMore, 0},
        {"piece data arriving", Be32(16384 + 9) + "\x07" + Be32(1) + Be32(16384) + "abc",
         BtParseStatus::PartialPiece, 16},
        {"unknown id skipped whole", Message(20, "xyz"), BtParseStatus::Message, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BtMessage m;
        size_t consumed = 99;
        EXPECT_EQ(ParseOnce(c.bytes, &m, &consumed), c.status);
        EXPECT_EQ(consumed, c.consumed);
    }
}

TEST(TBtMessageParser, ReadsFieldsOfRequestAndPiece) {
    BtMessage m;
    size_t consumed = 0;
    ASSERT_EQ(ParseOnce(BuildBtRequest(6, 3, 16384, 16384), &m, &consumed), BtParseStatus::Message);
    EXPECT_EQ(m.id, 6);
    EXPECT_EQ(m.index, 3u);
    EXPECT_EQ(m.begin, 16384u);
    EXPECT_EQ(m.length, 16384u);

    std::string data(100, 'd');
    std::string piece = BuildBtPieceHeader(9, 32768, 100) + data;
    const std::vector<uint8_t> held(piece.begin(), piece.end());  // the data points into it
    ASSERT_EQ(TBtMessageParser::Next(held.data(), held.size(), &m, &consumed), BtParseStatus::Message);
    EXPECT_EQ(consumed, piece.size());
    EXPECT_EQ(m.index, 9u);
    EXPECT_EQ(m.begin, 32768u);
    ASSERT_EQ(m.data_size, 100u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.data), m.data_size), data);
}

// Every chunk size from 1 to the whole stream yields the same messages.
TEST(TBtMessageParser, SameMessagesInEveryChunkSize) {
    const std::string stream = Message(5, "\xff\x80") + Message(1, "") + Be32(0) + BuildBtHave(1) +
                               BuildBtPieceHeader(1, 0, 30) + std::string(30, 'p') + BuildBtRequest(8, 1, 0, 30);
    const std::vector<int> expected = {5, 1, -1, 4, 7, 8};
    for (size_t chunk = 1; chunk <= stream.size(); ++chunk) {
        SCOPED_TRACE(chunk);
        std::string buffered;
        std::vector<int> ids;
        size_t fed = 0;
        while (fed < stream.size() || !buffered.empty()) {
            size_t take = std::min(chunk, stream.size() - fed);
            buffered += stream.substr(fed, take);
            fed += take;
            for (;;) {
                BtMessage m;
                size_t consumed = 0;
                BtParseStatus s = ParseOnce(buffered, &m, &consumed);
                if (s != BtParseStatus::Message) {
                    ASSERT_TRUE(s == BtParseStatus::NeedMore || s == BtParseStatus::PartialPiece);
                    break;
                }
                ids.push_back(m.id);
                buffered.erase(0, consumed);
            }
            if (take == 0) break;
        }
        EXPECT_EQ(ids, expected);
        EXPECT_TRUE(buffered.empty());
    }
}

TEST(BtWire, HandshakeLayoutAndMatch) {
    std::array<uint8_t, 20> hash{};
    std::array<uint8_t, 20> id{};
    for (int i = 0; i < 20; ++i) {
        hash[i] = static_cast<uint8_t>(i + 1);
        id[i] = static_cast<uint8_t>(0xA0 + i);
    }
    const std::string hs = BuildBtHandshake(hash, id);
    ASSERT_EQ(hs.size(), BtHandshakeSize);
    EXPECT_EQ(hs[0], 19);
    EXPECT_EQ(hs.substr(1, 19), "BitTorrent protocol");
    EXPECT_EQ(hs.substr(20, 8), std::string(8, '\0'));
    EXPECT_EQ(static_cast<uint8_t>(hs[28]), 1);
    EXPECT_EQ(static_cast<uint8_t>(hs[48]), 0xA0);
    const auto* bytes = reinterpret_cast<const uint8_t*>(hs.data());
    EXPECT_TRUE(MatchesBtHandshake(bytes, hs.size(), hash));
    EXPECT_FALSE(MatchesBtHandshake(bytes, 47, hash));
    hash[19] ^= 1;
    EXPECT_FALSE(MatchesBtHandshake(bytes, hs.size(), hash));
}

TEST(BtWire, RequestPreambleByFailureCount) {
    // 10.0.0.5 in network order; read little-endian it is 0x0500000A.
    const uint32_t address = 0x0500000Au;
    EXPECT_EQ(BuildBtRequestPreamble(address, 6882, 4),
              "GET / HTTP/1.0\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n"
              "Host: 83886090:1\r\n\r\n");
    EXPECT_EQ(BuildBtRequestPreamble(address, 80, 1), "GET / HTTP/1.0\r\nHost: 83886090:80\r\n\r\n");
}

TEST(BtWire, ReplyPreambleFollowsTheClock) {
    EXPECT_EQ(BuildBtReplyPreamble(3, 3), "HTTP/1.0 200 OK\r\nConnection: Close\r\n\r\n");
    EXPECT_EQ(BuildBtReplyPreamble(4, 4),
              "HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Encoding: none\r\n\r\n");
}

TEST(BtWire, MessageSizes) {
    EXPECT_EQ(BuildBtSimple(2), std::string("\0\0\0\1\2", 5));
    EXPECT_EQ(BuildBtRequest(8, 1, 2, 3).size(), 17u);
    const std::string na = BuildBtPieceNotAvailable(0x01020304);
    EXPECT_EQ(na, std::string("\0\0\0\x0e\x07\0\0\0\0\0\0\0\x02\x35\x01\x02\x03\x04", 18));
    const uint8_t bits[2] = {0xF0, 0x01};
    EXPECT_EQ(BuildBtBitfield(bits, 2), std::string("\0\0\0\x03\x05\xf0\x01", 7));
}

}  // namespace
}  // namespace engine
