#pragma once
// Fixtures for the peer set: a minimal peer kind that only connects a
// QTcpSocket and waits for its server's greeting, scripted loopback servers
// that greet, stay silent or hang up, and a task whose piece layer is a small
// in-memory map, driven by hand on the test thread (its work thread is never
// started).

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/frame/EngineApi.h"
#include "engine/base/EngineSettings.h"
#include "engine/frame/TWorkThread.h"
#include "engine/net/QTcpSocket.h"
#include "engine/net/SourceUrl.h"
#include "engine/peers/TPeerId.h"
#include "engine/peers/TPeerObject.h"
#include "platform/Socket.h"
#include "tests/engine/frame/ManualClockFixture.h"

namespace peers_test {

// Established once the server's first bytes ("HI") arrive; a lost or
// refused connection fails its step.
class TestPeer : public engine::TPeerObject {
public:
    explicit TestPeer(int32_t kind) : TPeerObject(kind) {}

    bool ConnectTo(engine::TPeerId* candidate) override {
        if (!TPeerObject::ConnectTo(candidate)) return false;
        if (!EnsureSocket().Connect(candidate->m_address, candidate->m_port, false)) return false;
        SetPhase(engine::PeerPhase::Connecting);
        return true;
    }
    bool ReadInput() override {
        engine::QTcpSocket* s = Socket();
        if (!s->IsOpen()) return false;
        if (!s->IsEstablished()) return s->IsOpen();
        int64_t held = s->Receive();
        if (held < 0) return false;
        if (held >= 2 && Phase() == engine::PeerPhase::Connecting) {
            SetPhase(engine::PeerPhase::Established);
            s->Consume(2, false);
        }
        return true;
    }
};

// Listening sockets on one 127.0.0.x address, each on its own ephemeral
// port, served by Pump() on the test thread.
class ScriptedServers {
public:
    enum class Mode { Greet, Silent, HangUp };

    ScriptedServers(uint8_t last_octet, int count, Mode mode) : m_mode(mode) {
        m_address = platform::MakeIpv4(127, 0, 0, last_octet);
        for (int i = 0; i < count; ++i) {
            platform::SocketHandle s = platform::CreateTcpSocket();
            platform::SocketAddress local{m_address, 0};
            if (s == platform::InvalidSocket || !platform::Bind(s, local) || !platform::Listen(s, 64) ||
                !platform::LocalAddressOf(s, &local) || !platform::SetNonBlocking(s, true)) {
                ADD_FAILURE() << "listener " << i;
                if (s != platform::InvalidSocket) platform::CloseSocket(s);
                continue;
            }
            m_listeners.push_back(s);
            m_ports.push_back(local.port);
        }
    }
    ~ScriptedServers() {
        for (platform::SocketHandle s : m_accepted) platform::CloseSocket(s);
        for (platform::SocketHandle s : m_listeners) platform::CloseSocket(s);
    }
    ScriptedServers(const ScriptedServers&) = delete;
    ScriptedServers& operator=(const ScriptedServers&) = delete;

    // Accepts what is waiting and answers by the mode.
    void Pump() {
        for (platform::SocketHandle listener : m_listeners) {
            for (int guard = 0; guard < 64; ++guard) {
                platform::SocketAddress from;
                platform::SocketHandle s = platform::Accept(listener, &from);
                if (s == platform::InvalidSocket) break;
                ++m_accept_count;
                if (m_mode == Mode::HangUp) {
                    platform::CloseSocket(s);
                    continue;
                }
                if (m_mode == Mode::Greet) platform::Send(s, "HI", 2);
                m_accepted.push_back(s);
            }
        }
    }
    uint32_t Address() const { return m_address; }
    const std::vector<uint16_t>& Ports() const { return m_ports; }
    int AcceptCount() const { return m_accept_count; }

private:
    Mode m_mode;
    uint32_t m_address = 0;
    std::vector<platform::SocketHandle> m_listeners;
    std::vector<platform::SocketHandle> m_accepted;
    std::vector<uint16_t> m_ports;
    int m_accept_count = 0;
};

// A task that is never started: the test calls its peer-set operations
// directly. Its piece layer is a map of block -> held flag over
// `piece_count` pieces of two blocks each.
class PeerTask : public engine::TWorkThread {
public:
    static constexpr int32_t PieceLength = 2 * engine::BlockSize;

    PeerTask() {
        SetPeerFactory([](int kind) -> engine::TPeerObject* { return new TestPeer(kind); });
    }
    ~PeerTask() override { Stop(); }

    using TWorkWithPeers::AddRandomSources;
    using TWorkWithPeers::AddSourceUrls;
    using TWorkWithPeers::ConnectBtPeers;
    using TWorkWithPeers::ConnectWebSources;
    using TWorkWithPeers::DropPeers;
    using TWorkWithPeers::DropSlowWebPeer;
    using TWorkWithPeers::ExpandAddresses;
    using TWorkWithPeers::PeerUpkeep;
    using TWorkWithPeers::ReAddSavedSources;
    using TWorkWithPeers::ResetPeers;
    using TWorkWithPeers::ResolvePending;
    using TWorkWithPeers::ServicePeers;

    // The piece layer's answers.
    bool has_piece_map = true;
    std::map<int32_t, bool> held;
    std::vector<engine::TBlockRequest> returned;
    int32_t read_position = -1;

    bool HasPieceMap() override { return has_piece_map; }
    int32_t PeerPieceLength() override { return PieceLength; }
    void ReturnBlocks(std::vector<engine::TBlockRequest>& list) override {
        returned.insert(returned.begin(), list.begin(), list.end());
        list.clear();
    }
    bool TakeReturnedRequest(int32_t block, int32_t length) override {
        for (auto it = returned.begin(); it != returned.end(); ++it) {
            if (it->block == block && it->length == length) {
                returned.erase(it);
                return true;
            }
        }
        return false;
    }
    // Blocks whose arrival completes a piece that fails its check.
    std::set<int32_t> failing_blocks;
    engine::BlockWriteResult WriteBlock(engine::TPeerObject*, int32_t block, int32_t, const uint8_t*) override {
        engine::BlockWriteResult r;
        r.written = true;
        if (failing_blocks.count(block)) {
            r.piece_failed = true;
            r.failed_piece = block / (PieceLength / engine::BlockSize);
            return r;
        }
        r.is_new = !held[block];
        held[block] = true;
        return r;
    }
    int32_t piece_count = 4;
    bool MissingPartOfPiece(int32_t piece, int32_t* offset, int32_t* bytes) override {
        if (piece < 0 || piece >= piece_count) return false;
        *offset = 0;
        *bytes = PieceLength;
        return true;
    }
    bool HasBlock(int32_t block) override { return held.count(block) && held[block]; }
    int32_t ReadPosition() override { return read_position; }
    // Verified blocks an upload may read (absent: unreadable) and the
    // pieces still missing, for the BitTorrent peer.
    std::map<int32_t, std::string> stored;
    // The read-ahead of every upload read, in order.
    std::vector<int32_t> read_aheads;
    int32_t pieces_missing = 10;
    int32_t ReadUploadBlock(int32_t block, int32_t length, uint8_t* out, int32_t read_ahead) override {
        read_aheads.push_back(read_ahead);
        auto it = stored.find(block);
        if (it == stored.end() || static_cast<int32_t>(it->second.size()) < length) return -1;
        std::copy(it->second.begin(), it->second.begin() + length, out);
        return length;
    }
    int32_t PiecesMissing() override { return pieces_missing; }
    // Verified pieces (announced and served).
    std::set<int32_t> verified;
    bool HoldsPiece(int32_t piece) override { return verified.count(piece) != 0; }
    bool IsBlockReturned(int32_t block) override {
        return std::any_of(returned.begin(), returned.end(), [&](const engine::TBlockRequest& r) { return r.block == block; });
    }

    // Pieces and the status block as the piece layer would set them.
    void SetPieces(uint32_t count, uint32_t done) {
        BuildPieceMap(engine::MetainfoSummary{uint64_t{count} * PieceLength, PieceLength, count, "x", ""});
        SetPieceProgress(uint64_t{done} * PieceLength, done);
        UpdateProgress();
    }
    int32_t LiveCode() { return LiveStatus().code; }
    int32_t PublishedCode() { return PublishedStatus().code; }

    // Connected peers of `kinds` that are still connecting or handshaking.
    int InProgress(int kinds = 15) {
        int n = 0;
        for (engine::TPeerObject* p : ActivePeers()) {
            if ((p->Kind() & kinds) && p->IsConnected() && !p->IsActive() && !p->IsIncoming()) ++n;
        }
        return n;
    }
    int Connected(int kinds) {
        int n = 0;
        for (engine::TPeerObject* p : ActivePeers()) {
            if ((p->Kind() & kinds) && p->IsConnected()) ++n;
        }
        return n;
    }
    // Every peer's step once.
    void StepAll() {
        engine::PeerPumpPass pass;
        pass.every_peer_due = true;
        ServicePeers(pass);
    }
};

inline engine::TPeerId MakeCandidate(int32_t kind, uint32_t address, int32_t port, const std::string& url = {}) {
    engine::TPeerId c;
    c.m_kind = kind;
    c.m_address = address;
    c.m_port = port;
    c.m_url = url;
    c.m_has_address = 1;
    if (kind == 1) c.SetSyntheticPeerId();
    return c;
}

// An engine with a manual clock, shut down after each test.
class PeerSetTest : public frame_test::ManualClockTest {
protected:
    void SetUp() override {
        ManualClockTest::SetUp();
        ASSERT_EQ(EngineInitialize(m_sandbox.Path().c_str()), TW_OK);
        engine::SetP2PEnabledFlag(true);
        m_task = new PeerTask;
    }
    void TearDown() override {
        // The engine owns tasks from here on and frees them at shutdown.
        EXPECT_EQ(EngineShutdown(), TW_OK);
        engine::SetP2PEnabledFlag(false);
        ManualClockTest::TearDown();
    }
    // Lets the engine clock tick so the next once-a-second cycle runs.
    void NextSecond() { AdvanceSeconds(1); }
    // A P2SP task on t.bin in the sandbox, known by `hash`, with its own
    // peer id built for `announce`.
    void ConfigureP2spTask(const std::array<uint8_t, 20>& hash, const std::string& announce) {
        TaskParams params;
        std::memset(&params, 0, sizeof params);
        params.flags = TW_FLAG_P2SP;
        std::strncpy(params.target, m_sandbox.File("t.bin").c_str(), sizeof params.target - 1);
        params.source_text = "";
        m_task->Configure(params, true);
        m_task->SetInfoHash(hash);
        m_task->BuildOwnPeerId(announce);
    }

    testing_support::Sandbox m_sandbox;
    PeerTask* m_task = nullptr;
};

}  // namespace peers_test
