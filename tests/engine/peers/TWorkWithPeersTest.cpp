#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <string>

#include "engine/base/EngineEvents.h"
#include "engine//base/EngineSettings.h"
#include "engine/net/NameResolver.h"
#include "engine/net/SourceUrl.h"
#include "engine/peers/TBTPeer.h"
#include "engine/peers/TPeerId.h"
#include "engine/peers/TPeerObject.h"
#include "tests/engine/peers/PeersTestSupport.h"

using engine::TPeerId;
using peers_test::MakeCandidate;
using peers_test::ScriptedServers;

namespace {

uint32_t Loopback(uint8_t last) { return platform::MakeIpv4(127, 0, 0, last); }

TaskParams Params(uint32_t flags, const std::string& target, const std::string& sources) {
    TaskParams params;
    std::memset(&params, 0, sizeof params);
    params.flags = flags;
    std::strncpy(params.target, target.c_str(), sizeof params.target - 1);
    params.source_text = sources.c_str();
    return params;
}

std::string HttpUrl(uint32_t address, uint16_t port, const std::string& path = "/f.bin") {
    return "http://" + engine::DottedText(address) + ":" + std::to_string(port) + path;
}

using PeerSet = peers_test::PeerSetTest;

TEST_F(PeerSet, AddCandidateRefusesSelfAndMatchesKnownSources) {
    m_task->SetOwnEndpoint(Loopback(9), 7000);
    const uint32_t a = Loopback(2);
    TPeerId web = MakeCandidate(2, a, 80, "http://Host/File.bin");
    web.Info().request_path = "/File.bin";
    ASSERT_TRUE(m_task->AddCandidate(web, false, false));
    struct Case {
        const char* name;
        TPeerId candidate;
        bool known;
    };
    TPeerId same_url_case = MakeCandidate(2, a, 80, "http://host/file.BIN");
    TPeerId same_url_other_address = MakeCandidate(2, Loopback(3), 80, "http://host/file.bin");
    TPeerId same_path_no_url = MakeCandidate(2, a, 80, "http://alias/File.bin");
    same_path_no_url.Info().request_path = "/file.bin";
    const std::array<Case, 5> cases{{
        {"same URL in another case", same_url_case, true},
        {"same URL at another address is new", same_url_other_address, true},
        {"same address, port and path under another name", same_path_no_url, true},
        {"BitTorrent peer on 127.0.0.1", MakeCandidate(1, Loopback(1), 6881), false},
        {"our own address and port", MakeCandidate(1, Loopback(9), 7000), false},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(m_task->AddCandidate(c.candidate, false, false), c.known);
    }
    EXPECT_EQ(m_task->Candidates().size(), 2u) << "only the second address was new";
}

TEST_F(PeerSet, CandidatesAreKeptInPriorityOrder) {
    TPeerId bt = MakeCandidate(1, Loopback(2), 6881);
    ASSERT_TRUE(m_task->AddCandidate(bt, false, false));
    EXPECT_EQ(m_task->Candidates()[0]->m_score, 19) << "a new BitTorrent candidate scores 19";
    TPeerId web = MakeCandidate(2, Loopback(3), 80, "http://a/x");
    web.m_score = 29;
    TPeerId proven = MakeCandidate(2, Loopback(4), 80, "http://b/x");
    proven.m_score = 29;
    proven.m_pieces_delivered = 3;
    TPeerId failing = MakeCandidate(2, Loopback(5), 80, "http://c/x");
    failing.m_score = 29;
    failing.m_failures = 2;
    for (TPeerId* c : {&failing, &web, &proven}) ASSERT_TRUE(m_task->AddCandidate(*c, false, false));
    const auto& list = m_task->Candidates();
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0]->m_url, "http://b/x");
    EXPECT_EQ(list[1]->m_url, "http://a/x");
    EXPECT_EQ(list[2]->m_url, "http://c/x");
    EXPECT_EQ(list[3]->m_kind, 1);
}

TEST_F(PeerSet, EligibilityRules) {
    TPeerId tracker = MakeCandidate(8, Loopback(2), 80, "tracker://http://t/announce");
    tracker.m_last_attempt = engine::GetClockSeconds();
    EXPECT_FALSE(m_task->CanConnect(tracker, true)) << "asked just now";
    AdvanceSeconds(599);
    EXPECT_FALSE(m_task->CanConnect(tracker, true));
    AdvanceSeconds(1);
    EXPECT_TRUE(m_task->CanConnect(tracker, true)) << "600 seconds later, back-off 0";

    TPeerId web = MakeCandidate(2, Loopback(3), 80, "http://w/x");
    web.m_max_connections = 4;
    web.m_in_use = 1;
    EXPECT_FALSE(m_task->CanConnect(web, true)) << "no second connection before the length is known";
    web.Info().content_length = 1000;
    EXPECT_TRUE(m_task->CanConnect(web, true));

    struct Case {
        const char* name;
        int32_t backoff;
        int32_t delivered;
        bool fast;
        bool eligible;
        int32_t backoff_after;
    };
    const std::array<Case, 6> cases{{
        {"counts down", 3, 0, true, false, 2},
        {"last cycle of waiting", 1, 0, true, true, 0},
        {"proven source", 500, 16, true, true, 0},
        {"good source: a tenth", 50, 6, true, false, 4},
        {"delivering source: a fifth", 50, 1, true, false, 9},
        {"slow task shrinks it further", 50, 0, false, false, 4},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TPeerId w = MakeCandidate(2, Loopback(3), 80, "http://w/x");
        w.m_backoff = c.backoff;
        w.m_pieces_delivered = c.delivered;
        EXPECT_EQ(m_task->CanConnect(w, c.fast), c.eligible);
        EXPECT_EQ(w.m_backoff, c.backoff_after);
    }
}

TEST_F(PeerSet, ConnectionBudgetFollowsCeilingAndHalfOpenLimit) {
    const int32_t ceiling = m_task->PeerCeiling();
    ASSERT_EQ(ceiling, 52);
    EXPECT_EQ(m_task->NewConnectionBudget(), 16);
    // With every slot taken by connecting peers nothing more may start,
    // and the budget never goes below zero.
    ScriptedServers silent(2, 1, ScriptedServers::Mode::Silent);
    std::vector<TPeerId> candidates;
    for (int i = 0; i < 60; ++i) candidates.push_back(MakeCandidate(1, silent.Address(), silent.Ports()[0]));
    for (TPeerId& c : candidates) {
        engine::TPeerObject* peer = m_task->CreatePeer(1);
        ASSERT_TRUE(peer->ConnectTo(&c));
        // Peers outside the active list do not count; these are connected
        // through the set so they do.
        m_task->ReleasePeer(peer);
    }
    EXPECT_GE(m_task->NewConnectionBudget(), 0);
}

// The connection cycle against scripted loopback peers.
class ConnectionCycle : public PeerSet {
protected:
    void AddBt(const ScriptedServers& servers) {
        for (uint16_t port : servers.Ports()) {
            ASSERT_TRUE(m_task->AddCandidate(MakeCandidate(1, servers.Address(), port), false, false));
        }
    }
    // Runs both cycles once a second, stepping peers and servers in between.
    void RunSeconds(int seconds, std::initializer_list<ScriptedServers*> servers) {
        for (int s = 0; s < seconds; ++s) {
            m_task->ConnectWebSources();
            m_task->ConnectBtPeers();
            m_max_in_progress = std::max(m_max_in_progress, m_task->InProgress());
            for (int i = 0; i < 3; ++i) {
                for (ScriptedServers* server : servers) server->Pump();
                m_task->StepAll();
            }
            NextSecond();
        }
    }
    int m_max_in_progress = 0;
};

TEST_F(ConnectionCycle, LimitsPerKindAreRespected) {
    ScriptedServers web(1, 5, ScriptedServers::Mode::Greet);
    ScriptedServers bt(2, 6, ScriptedServers::Mode::Greet);
    std::string sources;
    for (uint16_t port : web.Ports()) sources += HttpUrl(web.Address(), port) + "\n";
    m_task->Configure(Params(TW_FLAG_P2SP, m_sandbox.File("t.bin"), sources), true);
    m_task->SetConnectionLimits(2, 3);
    m_task->AddSourceUrls();
    ASSERT_EQ(m_task->Candidates().size(), 5u);
    for (const engine::WebSource& s : m_task->WebSources()) EXPECT_EQ(s.mark, engine::SourceMark::InUse);
    AddBt(bt);

    RunSeconds(4, {&web, &bt});
    EXPECT_EQ(m_task->Connected(engine::PeerKindsWeb), 2);
    EXPECT_EQ(m_task->Connected(engine::PeerKindBt), 3);
    EXPECT_TRUE(testing_support::WaitFor([&] {
        web.Pump();
        bt.Pump();
        m_task->StepAll();
        return web.AcceptCount() == 2 && bt.AcceptCount() == 3;
    }));
    for (engine::TPeerObject* p : m_task->ActivePeers()) EXPECT_TRUE(p->IsActive());

    // Raising the limits lets the next cycles fill the room.
    m_task->SetConnectionLimits(4, 6);
    RunSeconds(3, {&web, &bt});
    EXPECT_EQ(m_task->Connected(engine::PeerKindsWeb), 4);
    EXPECT_EQ(m_task->Connected(engine::PeerKindBt), 6);

    // P2P off: no BitTorrent cycle starts anything.
    m_task->DropPeers(engine::PeerKindBt, 6, false);
    engine::SetP2PEnabledFlag(false);
    RunSeconds(2, {&web, &bt});
    engine::SetP2PEnabledFlag(true);
    EXPECT_EQ(m_task->Connected(engine::PeerKindBt), 0);
}

TEST_F(ConnectionCycle, HalfOpenBudgetIsNeverExceeded) {
    // Servers that accept and never answer keep our peers handshaking.
    ScriptedServers silent(3, 70, ScriptedServers::Mode::Silent);
    m_task->SetConnectionLimits(49, 500);
    AddBt(silent);
    const int32_t ceiling = m_task->PeerCeiling();
    const int32_t concurrency = std::min(2 * std::min(engine::ProcessHalfOpenLimit(), ceiling), ceiling);

    m_task->ConnectBtPeers();
    EXPECT_EQ(m_task->InProgress(), 16) << "one budget step per cycle";
    RunSeconds(6, {&silent});
    EXPECT_LE(m_max_in_progress, concurrency - 1);
    EXPECT_EQ(m_task->InProgress(), concurrency - 1) << "the budget is used up to its edge";
    EXPECT_EQ(m_task->NewConnectionBudget(), 0);
}

TEST_F(ConnectionCycle, FailingSourcesAreBackedOffAndPunished) {
    // A port nobody listens on: bind one, note it, close it.
    uint16_t dead_port = 0;
    {
        ScriptedServers gone(4, 1, ScriptedServers::Mode::Silent);
        dead_port = gone.Ports()[0];
    }
    ScriptedServers hangup(5, 1, ScriptedServers::Mode::HangUp);
    m_task->SetConnectionLimits(49, 10);
    ASSERT_TRUE(m_task->AddCandidate(MakeCandidate(1, Loopback(4), dead_port), false, false));
    ASSERT_TRUE(m_task->AddCandidate(MakeCandidate(1, hangup.Address(), hangup.Ports()[0]), false, false));
    TPeerId good_web = MakeCandidate(2, Loopback(6), dead_port, "http://127.0.0.6/x");
    good_web.m_score = 29;
    ASSERT_TRUE(m_task->AddCandidate(good_web, false, false));

    m_task->ConnectWebSources();
    m_task->ConnectBtPeers();
    ASSERT_EQ(m_task->ActivePeers().size(), 3u);
    ASSERT_TRUE(testing_support::WaitFor([&] {
        hangup.Pump();
        m_task->StepAll();
        return m_task->ActivePeers().empty();
    })) << "refused and hung-up connections end";

    for (TPeerId* c : m_task->Candidates()) {
        SCOPED_TRACE(c->m_kind);
        EXPECT_EQ(c->m_failures, 1);
        EXPECT_EQ(c->m_attempts, 1);
        EXPECT_EQ(c->m_in_use, 0);
        // BitTorrent: never active, penalty 0 with a short list: 1 × 0 + 5.
        EXPECT_EQ(c->m_backoff, c->m_kind == 1 ? 5 : 0);
    }
    EXPECT_EQ(m_task->Candidates().back()->m_kind, 1) << "punished peers go to the end";
    EXPECT_EQ(m_task->PooledPeers(), 3u) << "ended peers wait in the pool";

    // Backed-off peers are not tried again until their back-off ran out.
    const int attempts_before = m_task->Candidates()[1]->m_attempts;
    for (int s = 0; s < 4; ++s) {
        NextSecond();
        m_task->ConnectBtPeers();
        EXPECT_TRUE(m_task->Connected(engine::PeerKindBt) == 0) << "second " << s;
    }
    EXPECT_EQ(m_task->Candidates()[1]->m_attempts, attempts_before);
    NextSecond();
    m_task->ConnectBtPeers();
    EXPECT_EQ(m_task->Connected(engine::PeerKindBt), 2) << "five cycles later both are tried again";
    ASSERT_TRUE(testing_support::WaitFor([&] {
        hangup.Pump();
        m_task->StepAll();
        return m_task->ActivePeers().empty();
    }));
    for (TPeerId* c : m_task->Candidates()) {
        if (c->m_kind != 1) continue;
        EXPECT_EQ(c->m_failures, 2);
        // Second failure, on the 0 left over: 3 × (1 − 1) for the earlier
        // failures, then 1 × 0 + 5 for a peer that never became active.
        EXPECT_EQ(c->m_backoff, 5);
    }
}

TEST_F(ConnectionCycle, RefusedBitTorrentPeerIsBackedOffWhenItsConnectFailsAtOnce) {
    // The real BitTorrent peer queues its handshake right after the connect;
    // on loopback the refusal is already known then, so the connect attempt
    // itself fails. It must cost the candidate its back-off all the same.
    m_task->SetPeerFactory([](int kind) -> engine::TPeerObject* {
        if (kind == engine::PeerKindBt) return new engine::TBTPeer;
        return new peers_test::TestPeer(kind);
    });
    uint16_t dead_port = 0;
    {
        ScriptedServers gone(7, 1, ScriptedServers::Mode::Silent);
        dead_port = gone.Ports()[0];
    }
    m_task->SetConnectionLimits(49, 10);
    ASSERT_TRUE(m_task->AddCandidate(MakeCandidate(1, Loopback(7), dead_port), false, false));
    TPeerId* dead = m_task->Candidates().front();

    m_task->ConnectBtPeers();
    ASSERT_TRUE(testing_support::WaitFor([&] {
        m_task->StepAll();
        return m_task->ActivePeers().empty();
    }));
    EXPECT_EQ(dead->m_attempts, 1);
    EXPECT_EQ(dead->m_failures, 1);
    EXPECT_EQ(dead->m_in_use, 0);
    EXPECT_EQ(dead->m_backoff, 5) << "never active, penalty 0: 1 x 0 + 5";
    for (int s = 0; s < 4; ++s) {
        NextSecond();
        m_task->ConnectBtPeers();
        m_task->StepAll();
    }
    EXPECT_EQ(dead->m_attempts, 1) << "not tried again while backed off";
}

TEST_F(ConnectionCycle, PenalizeSourceDelaysOrRemoves) {
    TPeerId a = MakeCandidate(2, Loopback(2), 80, "http://h/a");
    TPeerId b = MakeCandidate(2, Loopback(3), 80, "http://h/b");
    ASSERT_TRUE(m_task->AddCandidate(a, false, false));
    ASSERT_TRUE(m_task->AddCandidate(b, false, false));
    EXPECT_TRUE(m_task->PenalizeSource(MakeCandidate(2, Loopback(2), 80, "HTTP://H/A"), true, 60));
    EXPECT_TRUE(m_task->PenalizeSource(MakeCandidate(2, Loopback(2), 80, "http://h/a"), true, 0));
    EXPECT_TRUE(m_task->PenalizeSource(MakeCandidate(2, Loopback(3), 80, "http://h/b"), false, 0));
    EXPECT_FALSE(m_task->PenalizeSource(MakeCandidate(2, Loopback(3), 80, "http://h/b"), false, 0));
    ASSERT_EQ(m_task->Candidates().size(), 1u);
    EXPECT_EQ(m_task->Candidates()[0]->m_backoff, 61);
}

TEST_F(ConnectionCycle, UrgentCandidateWithoutBudgetPushesOutTwoPeers) {
    ScriptedServers silent(7, 51, ScriptedServers::Mode::Silent);
    m_task->SetConnectionLimits(49, 500);
    AddBt(silent);
    RunSeconds(5, {&silent});
    ASSERT_EQ(m_task->NewConnectionBudget(), 0);
    const size_t before = m_task->ActivePeers().size();
    TPeerId* c = m_task->FindOrAddAddress(Loopback(8), 6881, 1, true, 35);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->m_score, 35);
    EXPECT_EQ(m_task->ActivePeers().size(), before - 2);
    EXPECT_EQ(m_task->Candidates().front(), c);
}

TEST_F(ConnectionCycle, UnresolvableHostIsReportedOnce) {
    std::atomic<int> lookups{0};
    std::atomic<int> events{0};
    engine::SetHostResolver([&](const std::string&) {
        ++lookups;
        engine::ResolveAnswer answer;
        answer.error = engine::ResolveError::HostNotFound;
        return answer;
    });
    engine::SetEngineEventSink([&](int32_t code, const std::string&, int32_t) {
        if (code == engine::ResolveFailureEvent) ++events;
    });
    engine::ClearResolveFailureFlag();
    ScriptedServers web(1, 1, ScriptedServers::Mode::Greet);
    m_task->Configure(Params(TW_FLAG_P2SP, m_sandbox.File("t.bin"),
                             "http://no-such-host.invalid/f.bin\n" + HttpUrl(web.Address(), web.Ports()[0])),
                      true);
    m_task->AddSourceUrls();
    EXPECT_EQ(m_task->LiveCode(), TW_STATE_HOST_UNRESOLVED);
    EXPECT_EQ(m_task->PublishedCode(), TW_STATE_HOST_UNRESOLVED) << "published at once";
    ASSERT_EQ(m_task->Candidates().size(), 1u) << "the good source stays";
    for (int i = 0; i < 3; ++i) {
        AdvanceSeconds(15);
        m_task->AddSourceUrls();
        m_task->ResolvePending();
    }
    EXPECT_EQ(lookups.load(), 1) << "a dead name is not looked up every 15 seconds";
    EXPECT_EQ(events.load(), 1);
    EXPECT_EQ(m_task->WebSources()[0].mark, engine::SourceMark::InUse);

    // The saved list retries it (reported again only through the log).
    m_task->ReAddSavedSources(false);
    EXPECT_EQ(lookups.load(), 2);
    EXPECT_EQ(events.load(), 1);
    engine::SetHostResolver(nullptr);
    engine::SetEngineEventSink(nullptr);
}

TEST_F(ConnectionCycle, MetainfoSourceIsMarkedAndFetchedIntoMemory) {
    m_task->Configure(Params(TW_FLAG_P2SP, m_sandbox.File("t.bin"), "http://127.0.0.5:81/t.torrent"), true);
    m_task->SetWebSourceMark(0, engine::SourceMark::Metainfo);
    m_task->AddSourceUrls();
    ASSERT_EQ(m_task->Candidates().size(), 1u);
    const TPeerId* c = m_task->Candidates()[0];
    EXPECT_EQ(c->m_origin, 1);
    EXPECT_TRUE(c->FetchesIntoMemory());
    EXPECT_EQ(c->m_score, 29);
    EXPECT_EQ(m_task->WebSources()[0].mark, engine::SourceMark::MetainfoInUse);
    m_task->AddSourceUrls();
    EXPECT_EQ(m_task->Candidates().size(), 1u);
}

TEST_F(ConnectionCycle, FurtherAddressesBecomeCandidatesOfTheirOwn) {
    TPeerId web = MakeCandidate(2, Loopback(2), 80, "http://cdn/x");
    web.m_score = 29;
    web.Info().request_path = "/x";
    web.Info().addresses = {Loopback(3), Loopback(2), Loopback(4)};
    ASSERT_TRUE(m_task->AddCandidate(web, false, false));
    m_task->ExpandAddresses();
    m_task->ExpandAddresses();
    ASSERT_EQ(m_task->Candidates().size(), 3u);
    for (const TPeerId* c : m_task->Candidates()) EXPECT_EQ(c->m_score, 29);
}

TEST_F(ConnectionCycle, SlowWebPeerIsDroppedAndScoredDown) {
    ScriptedServers web(1, 3, ScriptedServers::Mode::Greet);
    for (uint16_t port : web.Ports()) {
        TPeerId c = MakeCandidate(2, web.Address(), port, HttpUrl(web.Address(), port));
        c.m_score = 29;
        ASSERT_TRUE(m_task->AddCandidate(c, false, false));
    }
    RunSeconds(2, {&web});
    ASSERT_EQ(m_task->Connected(engine::PeerKindsWeb), 3);
    const std::array<int32_t, 3> rates{100000, 90000, 0};
    for (size_t i = 0; i < 3; ++i) m_task->ActivePeers()[i]->SetRates(rates[i], 0);
    engine::TPeerId* slow = m_task->ActivePeers()[2]->Candidate();
    m_task->DropSlowWebPeer();
    EXPECT_EQ(m_task->Connected(engine::PeerKindsWeb), 2);
    EXPECT_EQ(slow->m_score, 28);
    // Fast peers stay.
    m_task->DropSlowWebPeer();
    EXPECT_EQ(m_task->Connected(engine::PeerKindsWeb), 2);
}

// Incoming connections: the handshake test and the adoption.
class Incoming : public PeerSet {
protected:
    static std::string Handshake(const std::array<uint8_t, 20>& hash, const std::string& peer_id) {
        std::string h(1, '\x13');
        h += "BitTorrent protocol";
        h += std::string(8, '\0');
        h.append(reinterpret_cast<const char*>(hash.data()), 20);
        h += peer_id;
        return h;
    }
    // An accepted socket holding `bytes`.
    std::unique_ptr<engine::QTcpSocket> Arrive(const std::string& bytes) {
        m_clients.push_back(std::make_unique<engine::QTcpSocket>());
        engine::QTcpSocket& client = *m_clients.back();
        std::unique_ptr<engine::QTcpSocket> accepted;
        EXPECT_TRUE(client.Connect(Loopback(1), m_listen_port, true));
        EXPECT_TRUE(testing_support::WaitFor([&] { return (accepted = m_listener.AcceptNext()) != nullptr; }));
        client.Send(bytes);
        client.Flush();
        EXPECT_TRUE(testing_support::WaitFor([&] {
            return accepted->Receive() >= static_cast<int64_t>(std::min<size_t>(bytes.size(), 68));
        }));
        return accepted;
    }
    void SetUp() override {
        PeerSet::SetUp();
        for (int32_t port = 47000 + (::getpid() % 1000); port < 65000 && !m_listener.IsListening(); port += 7) {
            if (m_listener.Listen(port, Loopback(1))) m_listen_port = port;
        }
        ASSERT_TRUE(m_listener.IsListening());
    }
    engine::QTcpSocket m_listener;
    int32_t m_listen_port = 0;
    std::vector<std::unique_ptr<engine::QTcpSocket>> m_clients;
    std::array<uint8_t, 20> m_hash{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
};

TEST_F(Incoming, HandshakeIsRecognisedBehindAnHttpPreamble) {
    m_task->Configure(Params(TW_FLAG_P2SP, m_sandbox.File("t.bin"), ""), true);
    m_task->SetInfoHash(m_hash);
    struct Case {
        const char* name;
        std::string bytes;
        bool own;
    };
    std::array<uint8_t, 20> other = m_hash;
    other[0] = 99;
    const std::array<Case, 4> cases{{
        {"plain", Handshake(m_hash, std::string(20, 'p')), true},
        {"behind a GET", "GET /x HTTP/1.1\r\nHost: a\r\n\r\n" + Handshake(m_hash, std::string(20, 'p')), true},
        {"another torrent", Handshake(other, std::string(20, 'p')), false},
        {"too short", Handshake(m_hash, "").substr(0, 40), false},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<engine::QTcpSocket> s = Arrive(c.bytes);
        EXPECT_EQ(m_task->IsOwnHandshake(*s), c.own);
        EXPECT_EQ(s->IsHttpWrapped(), std::string(c.name) == "behind a GET");
    }
}

TEST_F(Incoming, OfferAdoptsStrangersAndRefusesOurOwnId) {
    m_task->Configure(Params(TW_FLAG_P2SP, m_sandbox.File("t.bin"), ""), true);
    m_task->SetInfoHash(m_hash);
    m_task->BuildOwnPeerId("http://tracker/announce");
    const std::array<uint8_t, 20>& own = m_task->OwnPeerId();
    std::unique_ptr<engine::QTcpSocket> self =
        Arrive(Handshake(m_hash, std::string(reinterpret_cast<const char*>(own.data()), 20)));
    EXPECT_FALSE(m_task->OfferIncoming(self));
    EXPECT_NE(self, nullptr) << "a refused socket stays with the dispatcher";

    std::unique_ptr<engine::QTcpSocket> stranger = Arrive(Handshake(m_hash, std::string(20, 's')));
    EXPECT_TRUE(m_task->OfferIncoming(stranger));
    ASSERT_EQ(m_task->ActivePeers().size(), 1u);
    EXPECT_TRUE(m_task->ActivePeers()[0]->IsIncoming());
    EXPECT_TRUE(engine::TWorkWithPeers::IncomingSeen());
}

}  // namespace
