// How a P2SP task's BitTorrent peers and its web source share the file,
// through the engine's call interface: a paced HTTP source of our own and a
// scripted seeder of our own (it answers every request and notes which
// pieces it was asked for). The peer takes the web run from its tail,
// downwards, from the moment the web connection has laid out its claims.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/peers/BtWire.h"
#include "platform/Socket.h"
#include "tests/engine/peers/SwarmTestSupport.h"
#include "tests/support/FaultHttpServer.h"
#include "tests/support/ScriptedBtPeer.h"

namespace {

constexpr int64_t PieceLength = 256 * 1024;

uint32_t Be32At(const std::string& s, size_t at) {
    return (uint32_t{static_cast<uint8_t>(s[at])} << 24) | (uint32_t{static_cast<uint8_t>(s[at + 1])} << 16) |
           (uint32_t{static_cast<uint8_t>(s[at + 2])} << 8) | uint32_t{static_cast<uint8_t>(s[at + 3])};
}

// A seeder with every piece: handshake, full bitfield, unchoke, then a
// PIECE for every REQUEST, in order. Driven by Pump() on the test thread.
class ScriptedSeeder {
public:
    ScriptedSeeder(const std::string& content, const std::array<uint8_t, 20>& info_hash)
        : m_peer(9), m_content(content), m_hash(info_hash) {}

    bool Ok() const { return m_peer.Ok(); }
    std::string Url() const { return "btnode://127.0.0.9:" + std::to_string(m_peer.Port()); }
    void Pump() {
        if (!m_peer.Accept() || m_peer.Closed()) return;
        m_peer.Pump();
        const std::string& in = m_peer.Received();
        if (!m_greeted) {
            if (in.size() < engine::BtHandshakeSize) return;
            std::array<uint8_t, 20> id{};
            id.fill('S');
            const size_t pieces = (m_content.size() + PieceLength - 1) / PieceLength;
            std::string bits((pieces + 7) / 8, '\0');
            for (size_t p = 0; p < pieces; ++p) bits[p / 8] = static_cast<char>(bits[p / 8] | (0x80 >> (p % 8)));
            std::string out = engine::BuildBtHandshake(m_hash, id) +
                              engine::BuildBtBitfield(reinterpret_cast<const uint8_t*>(bits.data()), bits.size());
            engine::AppendBe32(out, 1);
            out += '\1';  // UNCHOKE
            m_peer.Send(out);
            m_parsed = engine::BtHandshakeSize;
            m_greeted = true;
        }
        // A keep-alive now and then, as clients send while they wait.
        const auto now = std::chrono::steady_clock::now();
        if (now - m_last_keep_alive > std::chrono::seconds(2)) {
            m_peer.Send(std::string(4, '\0'));
            m_last_keep_alive = now;
        }
        while (m_parsed + 4 <= in.size()) {
            const uint32_t length = Be32At(in, m_parsed);
            if (m_parsed + 4 + length > in.size()) break;
            if (length == 13 && in[m_parsed + 4] == 6) {
                const uint32_t index = Be32At(in, m_parsed + 5);
                const uint32_t begin = Be32At(in, m_parsed + 9);
                const uint32_t size = Be32At(in, m_parsed + 13);
                const size_t at = static_cast<size_t>(index) * PieceLength + begin;
                if (at + size <= m_content.size()) {
                    m_peer.Send(engine::BuildBtPieceHeader(index, begin, size) + m_content.substr(at, size));
                    if (m_asked.empty() || m_asked.back() != static_cast<int>(index)) {
                        m_asked.push_back(static_cast<int>(index));
                    }
                }
            }
            m_parsed += 4 + length;
        }
    }
    // Pieces asked for, in the order of their first requests (a piece asked
    // for again later counts again).
    const std::vector<int>& Asked() const { return m_asked; }
    bool Greeted() const { return m_greeted; }
    bool Closed() const { return m_peer.Closed(); }

private:
    testing_support::ScriptedBtPeer m_peer;
    std::string m_content;
    std::array<uint8_t, 20> m_hash;
    bool m_greeted = false;
    size_t m_parsed = 0;
    std::vector<int> m_asked;
    std::chrono::steady_clock::time_point m_last_keep_alive{};
};

class P2spFixture : public http_test::EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        SetP2PEnabled(1);
        m_content = http_test::RandomContent(8u << 20, 77);
        m_torrent = swarm_test::MakeTorrent(m_content, "f.bin", PieceLength, {"http://127.0.0.1:1/announce"});
        http_test::WriteFile(m_sandbox.File("f.torrent"), m_torrent.bytes);
        std::filesystem::create_directories(m_sandbox.File("got"));
    }
    void TearDown() override {
        if (m_handle != 0) StopTask(m_handle, 0);
        SetP2PEnabled(0);
        EngineFixture::TearDown();
    }
    void Start(const std::string& sources) {
        m_sources = sources;
        TaskParams params;
        std::memset(&params, 0, sizeof params);
        params.flags = TW_FLAG_EXACT_TARGET | TW_FLAG_P2SP;
        http_test::CopyText(params.main_source, "file://" + m_sandbox.File("f.torrent"));
        params.source_text = m_sources.c_str();
        http_test::CopyText(params.target, Target());
        http_test::CopyText(params.info_path, Target() + ".twinfo");
        ASSERT_EQ(CreateTask(&params), TW_OK);
        m_handle = params.handle;
        SetTaskConnectionLimits(m_handle, 1, 5);
        ASSERT_EQ(StartTask(m_handle), TW_OK);
    }
    std::string Target() { return m_sandbox.File("got/f.bin"); }
    TaskStatus Status() {
        TaskStatus status{};
        EXPECT_EQ(QueryTaskStatus(m_handle, &status), TW_OK);
        return status;
    }
    // Pumps the seeder until `done` holds or `limit` passes.
    bool PumpUntil(ScriptedSeeder& seeder, const std::function<bool()>& done, std::chrono::seconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            seeder.Pump();
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    std::string m_content;
    swarm_test::Torrent m_torrent;
    std::string m_sources;
    TaskHandle m_handle = 0;
};

using P2spChoice = P2spFixture;
using P2spHoldOff = P2spFixture;

TEST_F(P2spChoice, ThePeerTakesTheWebRunsFromTheirTails) {
    // The web source delivers 512 KiB/s: the file takes it 16 s alone.
    testing_support::FaultHttpServer web(m_content, testing_support::HttpFault::None, 0, 512 * 1024);
    ASSERT_TRUE(web.Started());
    ScriptedSeeder seeder(m_content, m_torrent.info_hash);
    ASSERT_TRUE(seeder.Ok());
    Start(web.Url() + "\n" + seeder.Url());
    ASSERT_TRUE(PumpUntil(seeder, [&] { return Status().state == TW_STATE_COMPLETE; }, std::chrono::seconds(90)))
        << "asked for " << seeder.Asked().size() << " pieces, web requests " << web.Requests();
    EXPECT_TRUE(http_test::ReadFile(Target()) == m_content);
    const TaskStatus status = Status();
    EXPECT_GT(status.web_bytes, 0u);
    EXPECT_GT(status.peer_bytes, 0u);
    // The web source starts at the front of its run; the peer starts at the
    // run's tail and works downwards, stretch by stretch.
    const std::vector<int>& asked = seeder.Asked();
    ASSERT_GE(asked.size(), 2u) << "greeted " << seeder.Greeted();
    // The peer works its stretches downwards. The task turns its runs
    // around the file by a random number of pieces, which can leave a
    // one-piece run at the file's start: such a run comes as a single ask.
    const auto down = std::adjacent_find(asked.begin(), asked.end(), [](int a, int b) { return b == a - 1; });
    EXPECT_NE(down, asked.end()) << "the peer never asked for the piece just below the one before";
    const std::vector<int64_t> starts = web.RangeStarts();
    ASSERT_FALSE(starts.empty());
    const int first_web_piece = static_cast<int>(starts.front() / PieceLength);
    EXPECT_NE(asked[0], first_web_piece);
    // The first stretch the peer works lies at the run's tail, away from the
    // piece the web connection began with. (Later, single pieces may come
    // from anywhere once the web connection falls behind, as it can on a
    // loaded machine.)
    size_t stretch = 1;
    while (stretch < asked.size() && asked[stretch] == asked[stretch - 1] - 1) ++stretch;
    EXPECT_EQ(std::count(asked.begin(), asked.begin() + static_cast<std::ptrdiff_t>(stretch), first_web_piece), 0)
        << "the peer's first stretch reaches the piece the web run began with";
}

TEST_F(P2spHoldOff, ClaimsLaidOutAtConnectLetThePeersStartAtTheTails) {
    // A web server that accepts and never answers. The web connection lays
    // the claims out as it connects (it asks for its claim's first block),
    // so the peer does not sit out the minute's hold-off: it starts at a
    // run's tail, downwards, and then fetches the whole file.
    platform::SocketHandle silent = platform::CreateTcpSocket();
    platform::SocketAddress local{platform::LoopbackIpv4(), 0};
    ASSERT_TRUE(platform::Bind(silent, local) && platform::Listen(silent, 16) &&
                platform::LocalAddressOf(silent, &local));
    ScriptedSeeder seeder(m_content, m_torrent.info_hash);
    ASSERT_TRUE(seeder.Ok());
    const auto started = std::chrono::steady_clock::now();
    Start("http://127.0.0.1:" + std::to_string(local.port) + "/f.bin\n" + seeder.Url());
    ASSERT_TRUE(PumpUntil(seeder, [&] { return seeder.Asked().size() >= 2; }, std::chrono::seconds(50)))
        << "closed " << seeder.Closed();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(50));
    EXPECT_EQ(seeder.Asked()[1], seeder.Asked()[0] - 1) << "the peer works a stretch downwards";
    EXPECT_TRUE(PumpUntil(seeder, [&] { return Status().state == TW_STATE_COMPLETE; }, std::chrono::seconds(60)))
        << "asked for " << seeder.Asked().size() << " pieces, closed " << seeder.Closed();
    EXPECT_TRUE(http_test::ReadFile(Target()) == m_content);
    platform::CloseSocket(silent);
}

}  // namespace
