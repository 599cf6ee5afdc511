// Announce texts and tracker replies of both protocols: the query, the
// request head, the HTTP reply framing (length header, blank line, partial
// replies), reply dictionaries with compact and dictionary peers, and the
// BEP 15 connect and announce packets.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/peers/BtWire.h"
#include "engine/peers/TPeerId.h"
#include "engine/peers/TrackerProtocol.h"
#include "platform/Socket.h"

namespace engine {
namespace {

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

HttpTrackerResult Examine(const std::string& reply) {
    // A heap copy without a trailing NUL: over-reads show under ASan.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[reply.size() + 1]);
    std::memcpy(copy.get(), reply.data(), reply.size());
    return ExamineHttpTrackerReply(copy.get(), reply.size());
}

std::string Compact(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port) {
    return std::string{static_cast<char>(a), static_cast<char>(b), static_cast<char>(c), static_cast<char>(d),
                       static_cast<char>(port >> 8), static_cast<char>(port & 255)};
}

TEST(TrackerAnnounce, QueryEscapesAndOrder) {
    HttpAnnounceParams p;
    p.path = "/announce";
    p.info_hash.fill(0x41);
    p.info_hash[1] = 0x2F;
    p.peer_id.fill('z');
    p.port = 6881;
    p.uploaded = 1;
    p.downloaded = 2;
    p.left = 3;
    p.event = 2;
    const std::string text = BuildHttpAnnounceText(p);
    EXPECT_EQ(text.rfind("/announce?info_hash=A%2fAAAAAAAAAAAAAAAAAA&peer_id=zzzzzzzzzzzzzzzzzzzz", 0), 0u) << text;
    EXPECT_NE(text.find("&port=6881&uploaded=1&downloaded=2&left=3&event=started&key=3800&compact=1&numwant=200"),
              std::string::npos)
        << text;
    EXPECT_STREQ(TrackerEventName(1), "completed");
    EXPECT_STREQ(TrackerEventName(0), "stopped");
}

TEST(TrackerAnnounce, HostHeaderNamesPortUnless80) {
    EXPECT_EQ(BuildHttpAnnounceRequest("/a?x", "t.example", 80),
              "GET /a?x HTTP/1.0\r\nUser-Agent: BitTorrent/4.1.2\r\nHost: t.example\r\n"
              "Accept-Encoding: gzip\r\nConnection: close\r\n\r\n");
    EXPECT_NE(BuildHttpAnnounceRequest("/a", "t", 6969).find("Host: t:6969\r\n"), std::string::npos);
}

TEST(TrackerReplyHttp, FramingCases) {
    const std::string body = "d8:intervali1800e5:peers6:" + Compact(10, 0, 0, 5, 6881) + "e";
    const std::string head = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                             "\r\nContent-Type: text/plain\r\nX-Pad: aaaaaaaaaaaaaaaaaaaa\r\n\r\n";
    struct Case {
        const char* name;
        std::string reply;
        HttpTrackerStatus status;
        size_t peers;
    };
    const std::vector<Case> cases = {
        {"whole", head + body, HttpTrackerStatus::Complete, 1},
        // Headers after the length header must not make a partial body count as
        // complete.
        {"body short by one", head + body.substr(0, body.size() - 1), HttpTrackerStatus::NeedMore, 0},
        {"head only", head, HttpTrackerStatus::NeedMore, 0},
        {"no length header", "HTTP/1.0 200 OK\r\n\r\n" + body, HttpTrackerStatus::Complete, 1},
        {"no length, partial bencode", "HTTP/1.0 200 OK\r\n\r\nd8:interval", HttpTrackerStatus::NeedMore, 0},
        {"not bencode", "HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nNot Found", HttpTrackerStatus::Complete,
         0},
        {"zero length waits", "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", HttpTrackerStatus::NeedMore, 0},
        {"absurd length", "HTTP/1.0 200 OK\r\nContent-Length: 99999999999\r\n\r\nd", HttpTrackerStatus::Complete, 0},
        {"bare LF blank line", "HTTP/1.0 200 OK\nContent-Length: " + std::to_string(body.size()) + "\n\n" + body,
         HttpTrackerStatus::Complete, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HttpTrackerResult r = Examine(c.reply);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.reply.peers.size(), c.peers);
        if (c.status == HttpTrackerStatus::Complete) {
            EXPECT_LE(r.consumed, c.reply.size());
        }
    }
}

TEST(TrackerReplyHttp, IncompleteUntilTheLastByteInEveryPrefix) {
    const std::string body = "d5:peers12:" + Compact(10, 0, 0, 1, 1) + Compact(10, 0, 0, 2, 2) + "e";
    const std::string reply = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    for (size_t n = 0; n < reply.size(); ++n) {
        ASSERT_EQ(Examine(reply.substr(0, n)).status, HttpTrackerStatus::NeedMore) << n;
    }
    HttpTrackerResult r = Examine(reply);
    ASSERT_EQ(r.status, HttpTrackerStatus::Complete);
    EXPECT_EQ(r.consumed, reply.size());
    EXPECT_EQ(r.reply.peers.size(), 2u);
}

TEST(TrackerReplyDictionary, IntervalsCountsAndPeers) {
    struct Case {
        const char* name;
        std::string body;
        int32_t interval;
        std::vector<std::pair<std::string, int32_t>> peers;  // dotted address, port
    };
    const std::vector<Case> cases = {
        {"interval 30 is not believed", "d8:intervali30ee", 600, {}},
        {"interval 61 kept", "d8:intervali61ee", 61, {}},
        {"13-byte compact string: two peers, tail ignored",
         "d5:peers13:" + Compact(10, 0, 0, 5, 6881) + Compact(10, 0, 0, 6, 80) + "x" + "e",
         600,
         {{"10.0.0.5", 6881}, {"10.0.0.6", 80}}},
        {"invalid compact entries dropped",
         "d5:peers18:" + Compact(0, 0, 0, 0, 1) + Compact(255, 255, 255, 255, 1) + Compact(1, 2, 3, 4, 0) + "e",
         600,
         {}},
        {"dictionary peers",
         "d5:peersld2:ip8:10.0.0.74:porti7eed2:ip3:bad4:porti7eed2:ip8:10.0.0.84:porti70000eeee",
         600,
         {{"10.0.0.7", 7}}},
        {"no peers key", "d14:failure reason6:no waye", 600, {}},
        {"a list instead of a dictionary", "l5:peerse", 600, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string reply = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(c.body.size()) +
                                  "\r\n\r\n" + c.body;
        HttpTrackerResult r = Examine(reply);
        ASSERT_EQ(r.status, HttpTrackerStatus::Complete);
        EXPECT_EQ(r.reply.interval_s, c.interval);
        ASSERT_EQ(r.reply.peers.size(), c.peers.size());
        for (size_t i = 0; i < c.peers.size(); ++i) {
            EXPECT_EQ(platform::FormatIpv4(r.reply.peers[i].address), c.peers[i].first);
            EXPECT_EQ(r.reply.peers[i].port, c.peers[i].second);
            EXPECT_EQ(r.reply.peers[i].peer_id, TPeerId::SyntheticPeerId(r.reply.peers[i].address, c.peers[i].second));
        }
    }
}

TEST(TrackerReplyDictionary, PeerIdTakenWhenTwentyBytes) {
    const std::string id(24, 'Q');
    const std::string body = "d5:peersld2:ip8:10.0.0.77:peer id24:" + id + "4:porti9eeee";
    const std::string reply = "HTTP/1.0 200 OK\r\n\r\n" + body;
    HttpTrackerResult r = Examine(reply);
    ASSERT_EQ(r.reply.peers.size(), 1u);
    EXPECT_EQ(std::string(r.reply.peers[0].peer_id.begin(), r.reply.peers[0].peer_id.end()), std::string(20, 'Q'));
}

TEST(TrackerUdp, ConnectAndAnnounceLayout) {
    const std::string connect = BuildUdpConnectRequest(0x11223344);
    ASSERT_EQ(connect.size(), UdpConnectRequestSize);
    EXPECT_EQ(connect.substr(0, 12), std::string("\0\0\x04\x17\x27\x10\x19\x80\0\0\0\0", 12));
    uint32_t echoed = 0;
    std::memcpy(&echoed, connect.data() + 12, 4);
    EXPECT_EQ(echoed, 0x11223344u);

    UdpAnnounceParams p;
    p.connection_id = {1, 2, 3, 4, 5, 6, 7, 8};
    p.info_hash.fill(0xAB);
    p.peer_id.fill(0xCD);
    p.downloaded = 0x0102;
    p.left = 0x0304;
    p.uploaded = 0x0506;
    p.event = 2;
    p.address = platform::MakeIpv4(127, 0, 0, 2);
    p.port = 6881;
    const std::string a = BuildUdpAnnounce(p);
    ASSERT_EQ(a.size(), UdpAnnounceSize);
    const auto* b = Bytes(a);
    EXPECT_EQ(b[0], 1);
    EXPECT_EQ(b[11], 1);  // action 1
    EXPECT_EQ(b[16], 0xAB);
    EXPECT_EQ(b[36], 0xCD);
    EXPECT_EQ(b[62], 0x01);
    EXPECT_EQ(b[63], 0x02);
    EXPECT_EQ(b[71], 0x04);
    EXPECT_EQ(b[79], 0x06);
    EXPECT_EQ(b[83], 2);
    EXPECT_EQ(b[84], 127);
    EXPECT_EQ(b[87], 2);
    EXPECT_EQ(b[95], 200);
    EXPECT_EQ((b[96] << 8) | b[97], 6881);
}

TEST(TrackerUdp, RepliesReadOrIgnored) {
    std::string connect_reply = std::string("\0\0\0\0", 4) + "TTTT" + "CONNID!!";
    UdpTrackerReply c = ParseUdpTrackerReply(Bytes(connect_reply), connect_reply.size());
    ASSERT_TRUE(c.valid);
    EXPECT_EQ(c.action, 0);
    EXPECT_EQ(std::string(c.connection_id.begin(), c.connection_id.end()), "CONNID!!");
    uint32_t t = 0;
    std::memcpy(&t, "TTTT", 4);
    EXPECT_EQ(c.transaction, t);

    EXPECT_FALSE(ParseUdpTrackerReply(Bytes(connect_reply), 15).valid);
    EXPECT_FALSE(ParseUdpTrackerReply(Bytes(connect_reply), 7).valid);

    std::string announce_reply = std::string("\0\0\0\1", 4) + "TTTT" + std::string(12, '\0') +
                                 Compact(10, 0, 0, 9, 6881) + Compact(10, 0, 0, 10, 6882) + "abc";
    UdpTrackerReply a = ParseUdpTrackerReply(Bytes(announce_reply), announce_reply.size());
    EXPECT_EQ(a.action, 1);
    ASSERT_EQ(a.peers.size(), 2u);
    EXPECT_EQ(a.peers[1].port, 6882);
}

}  // namespace
}  // namespace engine
