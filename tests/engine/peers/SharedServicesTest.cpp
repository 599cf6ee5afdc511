// The process-wide listener and the dispatch of incoming connections: a
// handshake for the task's torrent is handed to it, one for an unknown
// torrent is dropped at once, silence and junk are dropped after their age
// limits, and switching P2P off closes the listener and shows "Service
// Disabled!".

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/frame/SharedServices.h"
#include "engine/peers/BtWire.h"
#include "platform/Socket.h"
#include "tests/engine/peers/PeersTestSupport.h"
#include "tests/engine/peers/SwarmTestSupport.h"

namespace {

using peers_test::PeerSetTest;
using swarm_test::FreePort;

constexpr uint8_t ListenOctet = 9;

class SharedServices : public PeerSetTest {
protected:
    void SetUp() override {
        PeerSetTest::SetUp();
        m_address = platform::MakeIpv4(127, 0, 0, ListenOctet);
        engine::SetListenAddressOverride(m_address);
        engine::SetListenPortValue(FreePort(m_address));
        m_hash.fill(0x5A);
        TaskParams params;
        std::memset(&params, 0, sizeof params);
        params.flags = TW_FLAG_P2SP;  // a plain HTTP task takes no BitTorrent peers
        std::strncpy(params.target, m_sandbox.File("t.bin").c_str(), sizeof params.target - 1);
        params.source_text = "";
        m_task->Configure(params, true);
        m_task->SetInfoHash(m_hash);
        engine::RegisterInfoHash(*m_task, m_hash);
        ASSERT_TRUE(engine::CheckSharedServices(*m_task));
    }
    void TearDown() override {
        for (platform::SocketHandle s : m_clients) platform::CloseSocket(s);
        engine::StopSharedServices(true);
        engine::SetListenAddressOverride(0);
        engine::SetListenPortValue(0);
        PeerSetTest::TearDown();
    }
    // A client on 127.0.0.2 that sends `bytes` to the listener.
    void Connect(const std::string& bytes) {
        platform::SocketHandle s = platform::CreateTcpSocket();
        ASSERT_TRUE(platform::Bind(s, platform::SocketAddress{platform::MakeIpv4(127, 0, 0, 2), 0}));
        ASSERT_EQ(platform::Connect(s, {m_address, static_cast<uint16_t>(engine::ListenerPort())}),
                  platform::ConnectResult::Connected);
        if (!bytes.empty()) {
            ASSERT_EQ(platform::Send(s, bytes.data(), bytes.size()), static_cast<int64_t>(bytes.size()));
        }
        m_clients.push_back(s);
    }
    // Whether the engine closed the last client's connection: its end reads
    // the end of the stream.
    bool LastClientClosed() {
        std::vector<platform::PollEntry> entries(1);
        entries[0].socket = m_clients.back();
        entries[0].want_read = true;
        if (platform::PollSockets(entries, 0) <= 0) return false;
        char c = 0;
        return platform::Recv(m_clients.back(), &c, 1) <= 0;
    }
    // Dispatches until `pred` holds (the kernel may take a moment to queue
    // the connection and its bytes).
    bool DispatchUntil(const std::function<bool()>& pred) {
        return testing_support::WaitFor([&] {
            engine::DispatchIncoming(*m_task);
            return pred();
        });
    }

    uint32_t m_address = 0;
    std::array<uint8_t, 20> m_hash{};
    std::vector<platform::SocketHandle> m_clients;
};

TEST_F(SharedServices, ListenerOpensOnThePortAndTaskShowsIt) {
    EXPECT_EQ(engine::ListenerAddress(), m_address);
    EXPECT_EQ(engine::ListenerPort(), engine::ListenPort());
    EXPECT_EQ(engine::TaskListenText(*m_task), "127.0.0.9 : " + std::to_string(engine::ListenPort()));

    engine::SetP2PEnabledFlag(false);
    EXPECT_TRUE(engine::CheckSharedServices(*m_task));
    EXPECT_EQ(engine::ListenerPort(), 0);
    EXPECT_EQ(engine::TaskListenText(*m_task), "Service Disabled!");

    engine::SetP2PEnabledFlag(true);
    EXPECT_TRUE(engine::CheckSharedServices(*m_task));
    EXPECT_EQ(engine::ListenerAddress(), m_address);
}

TEST_F(SharedServices, OwnHandshakeIsOfferedEvenBehindAnHttpPreamble) {
    std::array<uint8_t, 20> remote_id{};
    remote_id.fill('R');
    Connect("GET / HTTP/1.0\r\nHost: 1:1\r\n\r\n" + engine::BuildBtHandshake(m_hash, remote_id));
    ASSERT_TRUE(DispatchUntil([&] { return m_task->ActivePeers().size() == 1; }));
    EXPECT_TRUE(m_task->ActivePeers()[0]->IsIncoming());
    EXPECT_TRUE(m_task->ActivePeers()[0]->Socket()->IsHttpWrapped());
    EXPECT_EQ(engine::PendingConnectionCount(), 0u);
}

TEST_F(SharedServices, UnknownTorrentIsDroppedAtOnce) {
    std::array<uint8_t, 20> other{};
    other.fill(0x11);
    Connect(engine::BuildBtHandshake(other, other));
    // Accepted and dropped within the same dispatch once the bytes are in.
    ASSERT_TRUE(DispatchUntil([&] { return engine::PendingConnectionCount() == 0 && m_task->ActivePeers().empty(); }));
    EXPECT_TRUE(m_task->ActivePeers().empty());
}

TEST_F(SharedServices, SilenceAndUnfinishedPreamblesAreDroppedByAge) {
    Connect("");
    // 100 bytes of an HTTP request whose end (and the handshake behind it)
    // may still come.
    Connect("POST /x HTTP/1.1\r\nHost: a\r\n" + std::string(73, 'h'));
    ASSERT_TRUE(DispatchUntil([&] { return engine::PendingConnectionCount() == 2; }));
    AdvanceSeconds(3);
    engine::DispatchIncoming(*m_task);
    EXPECT_EQ(engine::PendingConnectionCount(), 1u) << "silent one goes after 3 s";
    AdvanceSeconds(2);
    engine::DispatchIncoming(*m_task);
    EXPECT_EQ(engine::PendingConnectionCount(), 0u) << "the unfinished request goes after 5 s";
}

TEST_F(SharedServices, BytesThatCannotBeginAHandshakeAreDroppedAtOnce) {
    // An encrypted handshake opens with random bytes: its sender waits for
    // an answer and falls back to a plain handshake only once the
    // connection closes.
    std::string random(100, '\0');
    for (size_t i = 0; i < random.size(); ++i) random[i] = static_cast<char>((i * 151 + 7) % 256);
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"junk", std::string(100, 'j')},
        {"random", random},
        {"a wrong protocol name", std::string(1, '\x13') + "BitTorrent protokol"},
        {"a request that is not HTTP", "GEX / HTTP/1.1"},
    };
    // The engine clock stands still: no pending time runs out here.
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Connect(c.bytes);
        ASSERT_TRUE(DispatchUntil([&] { return LastClientClosed(); }));
        EXPECT_EQ(engine::PendingConnectionCount(), 0u);
        EXPECT_TRUE(m_task->ActivePeers().empty());
    }
    // The beginnings of a handshake and of a preamble wait for the rest.
    Connect(std::string(1, '\x13') + "BitTorr");
    Connect("GE");
    ASSERT_TRUE(DispatchUntil([&] { return engine::PendingConnectionCount() == 2; }));
    engine::DispatchIncoming(*m_task);
    EXPECT_EQ(engine::PendingConnectionCount(), 2u);
    EXPECT_FALSE(LastClientClosed());
}

}  // namespace
