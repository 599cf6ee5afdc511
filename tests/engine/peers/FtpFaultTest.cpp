// An FTP source that misbehaves, from a fault-injecting server of our own:
// replies cut into single bytes or run together, passive replies that are
// malformed or point elsewhere, busy and refusing servers, transfers cut
// short or corrupted. A P2SP task (every piece checked) downloads through
// the engine's call interface and its file comes out exact; a server that
// hangs, a busy one and one that refuses the size are met by a peer set on
// the engine clock, so their limits are seen without waiting them out.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "engine/peers/TFtpPeer.h"
#include "tests/engine/peers/HttpTestSupport.h"
#include "tests/engine/peers/PeersTestSupport.h"
#include "tests/support/FaultFtpServer.h"

namespace {

using testing_support::FaultFtpServer;
using testing_support::FtpFault;

struct FaultCase {
    const char* name;
    FtpFault fault;
    int spoiled;
};

class FtpFaults : public http_test::EngineFixture, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FtpFaults, TaskCompletesWithExactBytes) {
    const FaultCase& c = GetParam();
    const std::string content = http_test::RandomContent((4 << 20) + 777, 21);
    FaultFtpServer server(content, c.fault, c.spoiled);
    ASSERT_TRUE(server.Started());
    const std::string torrent = m_sandbox.File("f.torrent");
    http_test::WriteFile(torrent, http_test::MakeTorrent(content, "f.bin", 262144));
    const std::string target = m_sandbox.File("f.bin");

    http_test::RunResult r = http_test::RunTask(target, server.Url(), torrent, std::chrono::seconds(120));
    ASSERT_FALSE(r.timed_out) << "progress " << r.status.progress;
    EXPECT_EQ(r.status.state, TW_STATE_COMPLETE);
    // Binary mode comes first, so the size is never asked in ASCII mode.
    if (c.fault == FtpFault::SizeNeedsBinary) {
        EXPECT_EQ(server.SpoiledOccasions(), 0);
    } else {
        EXPECT_GE(server.SpoiledOccasions(), 1);
    }
    EXPECT_TRUE(http_test::ReadFile(target) == content) << "a piece marked done holds bytes the source spoiled";
    // Bytes of a failed piece were not kept: the counts add up to the file.
    EXPECT_EQ(r.status.web_bytes, content.size());

    switch (c.fault) {
        case FtpFault::JoinedReplies:
            // The "226" that came with the "150" was kept: the connection
            // went on with its next transfer instead of waiting for it.
            EXPECT_GE(server.ContinuedAfterJoined(), 1);
            break;
        case FtpFault::BouncePasv:
            for (const std::string& peer : server.DataPeers()) EXPECT_EQ(peer, "127.0.0.1");
            EXPECT_GE(server.DataPeers().size(), 1u);
            break;
        case FtpFault::ShortData: {
            // After a short transfer the next one restarts inside the file.
            const std::vector<int64_t> rest = server.RestOffsets();
            EXPECT_TRUE(std::any_of(rest.begin(), rest.end(), [](int64_t o) { return o > 0; }));
            break;
        }
        default: break;
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpFaults,
                         ::testing::Values(FaultCase{"SplitReplies", FtpFault::SplitReplies, 1000},
                                           FaultCase{"JoinedReplies", FtpFault::JoinedReplies, 1000},
                                           FaultCase{"BadPasv", FtpFault::BadPasv, 2},
                                           FaultCase{"BouncePasv", FtpFault::BouncePasv, 1000},
                                           FaultCase{"Busy421", FtpFault::Busy421, 2},
                                           FaultCase{"SizeRefusedInAscii", FtpFault::SizeNeedsBinary, 1000},
                                           FaultCase{"ShortData", FtpFault::ShortData, 3},
                                           FaultCase{"CorruptData", FtpFault::CorruptData, 2}),
                         [](const ::testing::TestParamInfo<FaultCase>& param) { return std::string(param.param.name); });

// A peer set on the engine clock whose web peers are FTP peers.
class FtpPeerSet : public peers_test::PeerSetTest {
protected:
    void SetUp() override {
        PeerSetTest::SetUp();
        m_task->SetPeerFactory([](int kind) -> engine::TPeerObject* {
            if (kind == 4) return new engine::TFtpPeer;
            return new peers_test::TestPeer(kind);
        });
    }
    engine::TPeerId* AddFtp(const FaultFtpServer& server, int32_t max_connections = 1) {
        engine::TPeerId c;
        c.m_url = server.Url("/f.bin");
        EXPECT_TRUE(c.ParseUrl());
        c.m_score = 29;
        c.m_max_connections = max_connections;
        EXPECT_TRUE(m_task->AddCandidate(c, false, false));
        return m_task->Candidates().empty() ? nullptr : m_task->Candidates().front();
    }
    engine::TFtpPeer* OnlyPeer() {
        const auto& peers = m_task->ActivePeers();
        return peers.size() == 1 ? dynamic_cast<engine::TFtpPeer*>(peers.front()) : nullptr;
    }
    // Steps the peers until `done` holds (real time, bounded).
    bool StepUntil(const std::function<bool()>& done) {
        return testing_support::WaitFor([&] {
            m_task->StepAll();
            return done();
        });
    }
};

TEST_F(FtpPeerSet, ServerThatNeverGreetsStallsAfterThirtySeconds) {
    FaultFtpServer server("x", FtpFault::Hang, 1000);
    ASSERT_TRUE(server.Started());
    engine::TPeerId* c = AddFtp(server);
    ASSERT_NE(c, nullptr);
    m_task->ConnectWebSources();
    ASSERT_NE(OnlyPeer(), nullptr);
    ASSERT_TRUE(testing_support::WaitFor([&] { return server.Connections() == 1; }));
    AdvanceSeconds(30);
    m_task->StepAll();
    ASSERT_NE(OnlyPeer(), nullptr) << "thirty seconds are allowed for a reply";
    EXPECT_EQ(OnlyPeer()->Step(), engine::FtpStep::Welcome);
    AdvanceSeconds(2);
    m_task->StepAll();
    EXPECT_TRUE(m_task->ActivePeers().empty()) << "the stall ends the connection";
    EXPECT_GE(c->m_backoff, engine::TWebPeer::StallPenalty);
}

TEST_F(FtpPeerSet, BusyReplyLowersTheSourcesConnectionsButNotBelowTwo) {
    FaultFtpServer server("x", FtpFault::Busy421, 1000);
    ASSERT_TRUE(server.Started());
    struct Case {
        int32_t before;
        int32_t after;
    };
    for (const Case& k : {Case{5, 4}, Case{2, 2}}) {
        SCOPED_TRACE(k.before);
        m_task->ResetPeers();
        engine::TPeerId* c = AddFtp(server, k.before);
        ASSERT_NE(c, nullptr);
        m_task->ConnectWebSources();
        ASSERT_NE(OnlyPeer(), nullptr);
        ASSERT_TRUE(StepUntil([&] { return m_task->ActivePeers().empty(); }));
        EXPECT_EQ(c->m_max_connections, k.after);
        EXPECT_LT(c->m_backoff, engine::TWebPeer::ErrorPenalty) << "a busy server is not an error";
        NextSecond();
    }
}

TEST_F(FtpPeerSet, RefusedSizeDelaysTheSourceForAMinute) {
    FaultFtpServer server("x", FtpFault::Size550, 1000);
    ASSERT_TRUE(server.Started());
    engine::TPeerId* c = AddFtp(server);
    ASSERT_NE(c, nullptr);
    m_task->ConnectWebSources();
    ASSERT_NE(OnlyPeer(), nullptr);
    ASSERT_TRUE(StepUntil([&] { return m_task->ActivePeers().empty(); }));
    EXPECT_GE(c->m_backoff, engine::TWebPeer::ErrorPenalty);
    // The commands went out in this order, binary mode before the size.
    const std::vector<std::string> commands = server.Commands();
    const std::vector<std::string> expected = {"0 user anonymous", "0 pass tidewell@users.invalid", "0 cwd /",
                                               "0 type i", "0 size f.bin"};
    EXPECT_EQ(commands, expected);
}

// The small piece layer of the peer-set fixture lays out no claims: this
// peer takes its pieces in order instead.
class InOrderFtpPeer : public engine::TFtpPeer {
public:
    int32_t NextPiece() override { return m_next < 4 ? m_next++ : -1; }

private:
    int32_t m_next = 0;
};

TEST_F(FtpPeerSet, TransferThatStopsSendingStallsAfterFifteenSeconds) {
    m_task->SetPeerFactory([](int) -> engine::TPeerObject* { return new InOrderFtpPeer; });
    m_task->SetPieces(4, 0);
    const std::string content(size_t{4} * peers_test::PeerTask::PieceLength, 'd');
    FaultFtpServer server(content, FtpFault::DataHang, 1000);
    ASSERT_TRUE(server.Started());
    engine::TPeerId* c = AddFtp(server);
    ASSERT_NE(c, nullptr);
    m_task->ConnectWebSources();
    ASSERT_NE(OnlyPeer(), nullptr);
    ASSERT_TRUE(StepUntil([&] { return !m_task->held.empty(); })) << "the first block arrives";
    ASSERT_NE(OnlyPeer(), nullptr);
    ASSERT_EQ(OnlyPeer()->Step(), engine::FtpStep::Data);
    AdvanceSeconds(15);
    m_task->StepAll();
    ASSERT_NE(OnlyPeer(), nullptr) << "fifteen seconds are allowed between blocks";
    AdvanceSeconds(2);
    m_task->StepAll();
    EXPECT_TRUE(m_task->ActivePeers().empty()) << "the stall ends the connection";
    EXPECT_GE(c->m_backoff, engine::TWebPeer::StallPenalty);
}

TEST_F(FtpPeerSet, MetainfoSourceLargerThanTheBodyCapIsNotFetched) {
    FaultFtpServer server(std::string(size_t(engine::TWebPeer::MaxWholeBody) + 1, 'd'), FtpFault::None, 0);
    ASSERT_TRUE(server.Started());
    engine::TPeerId c;
    c.m_url = server.Url("/f.torrent");
    ASSERT_TRUE(c.ParseUrl());
    c.m_score = 29;
    c.m_origin = 1;
    c.Info().whole_body = 1;
    ASSERT_TRUE(m_task->AddCandidate(c, false, false));
    m_task->ConnectWebSources();
    ASSERT_NE(OnlyPeer(), nullptr);
    ASSERT_TRUE(StepUntil([&] { return m_task->ActivePeers().empty(); }));
    EXPECT_EQ(server.Transfers(), 0);
    EXPECT_GE(m_task->Candidates().front()->m_backoff, engine::TWebPeer::ErrorPenalty);
}

}  // namespace
