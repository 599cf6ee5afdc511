#include "engine/peers/TBTPeer.h"

#include <algorithm>
#include <cstring>

#include "engine/base/CTidewellLog.h"
#include "engine/base/EngineClock.h"
#include "engine/base/EngineSettings.h"
#include "engine/peers/TPeerTask.h"
#include "engine/net/QTcpSocket.h"
#include "engine/peers/BtWire.h"
#include "engine/peers/TClaims.h"
#include "engine/peers/TPeerId.h"
#include "platform/Clock.h"

namespace engine {

namespace {

constexpr int32_t PeerLogLevel = 13;
// Every third failed attempt goes out wrapped in a fake HTTP request, for
// networks that let only web traffic through.
constexpr int32_t PreambleRound = 3;
// Reads stay small until data flows: 2 KiB while choked or idle, then 16 to
// 64 KiB (plus room for a message head) with the rate.
constexpr int32_t SmallRead = 2048;
constexpr int32_t ReadHeadroom = 1024;
// Reads double while they fill, up to this size and this much buffered.
constexpr int32_t MaxReadSize = 4 << 20;
constexpr size_t MaxBuffered = 8192000;
// A seed that stayed a seed this long may be dropped once we are complete.
constexpr int64_t LongSeedS = 15;
constexpr int64_t UninterestingS = 90;
constexpr int32_t RateEstimateHaves = 4;

int32_t ReadSizeFor(int32_t rate_bps) {
    if (rate_bps <= 65535) return 16384 + ReadHeadroom;
    if (rate_bps <= 262143) return 32768 + ReadHeadroom;
    return 65536 + ReadHeadroom;
}

}  // namespace

const char* BtCloseReasonName(BtCloseReason reason) {
    switch (reason) {
        case BtCloseReason::None: return "none";
        case BtCloseReason::NotConnected: return "not connected";
        case BtCloseReason::ConnectTimeout: return "connect timed out";
        case BtCloseReason::HandshakeTimeout: return "handshake timed out";
        case BtCloseReason::BadHandshake: return "bad handshake";
        case BtCloseReason::OwnPeerId: return "own peer id";
        case BtCloseReason::DuplicatePeer: return "duplicate peer";
        case BtCloseReason::MessageTooLong: return "message too long";
        case BtCloseReason::BadBitfield: return "bitfield of the wrong size";
        case BtCloseReason::BadPiece: return "piece with a bad length";
        case BtCloseReason::UnrequestedPiece: return "piece refused";
        case BtCloseReason::ConnectionLost: return "connection lost";
        case BtCloseReason::Snubbed: return "no data near the end";
        case BtCloseReason::BadData: return "piece failed its check";
    }
    return "?";
}

TBTPeer::TBTPeer() : TPeerObject(1) {}

// A backward claim's pieces not yet handed out go back before the object
// does (ResetState usually did it already).
TBTPeer::~TBTPeer() { TBTPeer::ReleaseRange(); }

void TBTPeer::ReleaseRange() {
    if (!Claim()) return;
    if (TClaims* claims = m_task ? m_task->WebClaims() : nullptr) {
        claims->ReleaseRange(this);
    } else {
        SetClaim(nullptr);
    }
}

void TBTPeer::RequestErased(size_t index) {
    if (static_cast<int32_t>(index) < m_sent) --m_sent;
}

bool TBTPeer::Fail(BtCloseReason reason) {
    m_close_reason = reason;
    if (m_socket && !m_socket->PeerText().empty()) m_remote_text = m_socket->PeerText();
    LogFormat(PeerLogLevel, "BT peer %s (%s) closed: %s", m_remote_text.empty() ? "-" : m_remote_text.c_str(),
              IsIncoming() ? "incoming" : "outgoing", BtCloseReasonName(reason));
    return false;
}

void TBTPeer::ResetState() {
    m_remote_bits.clear();
    m_peer_choking = m_we_choke = 1;
    m_interesting = m_nothing_wanted = 0;
    m_nothing_wanted_time = m_choke_time = m_seed_time = 0;
    m_pieces_at_bitfield = m_pieces_now = m_haves = 0;
    m_last_have = -1;
    m_sent = 0;
    m_ready = 0;
    m_bad_messages = 0;
    m_close_reason = BtCloseReason::None;
    m_no_data_checks = 0;
    m_last_choice_time = 0;
    m_received_at_check = 0;
    m_flush_calls = 0;
    m_close_requested = false;
    m_uploaded = 0;
    m_recent_tick = 0;
    m_recent_bytes = 0;
    m_recent_rate = 0;
    m_remote_text.clear();
    ReleaseEngaged();
    TPeerObject::ResetState();
}

bool TBTPeer::ChooseStream(const TPeerId& candidate, bool task_uses_streams, std::array<uint8_t, 8>* node_id) {
    if (!task_uses_streams || candidate.m_score > StreamMaxScore || candidate.m_failures % StreamRound != 0) {
        return false;
    }
    const PeerIdBytes& id = candidate.m_peer_id;
    // A peer known only by its address has the synthetic id (zeros, then
    // its address and port): its last 8 bytes are the placeholder node id
    // the rendezvous server resolves by endpoint. Any other id carries the
    // node id in bytes 8..15.
    const bool synthetic = std::all_of(id.begin(), id.begin() + 14, [](uint8_t b) { return b == 0; }) &&
                           std::memcmp(id.data() + 14, &candidate.m_address, 4) == 0;
    const size_t from = synthetic ? 12 : 8;
    std::copy_n(id.begin() + static_cast<std::ptrdiff_t>(from), node_id->size(), node_id->begin());
    return true;
}

bool TBTPeer::ConnectTo(TPeerId* candidate) {
    ResetState();
    if (!TPeerObject::ConnectTo(candidate)) return false;
    // Outgoing connections leave from the listener's address, so the remote
    // sees the address the tracker announced for us.
    std::array<uint8_t, 8> node_id{};
    const bool stream = ChooseStream(*candidate, m_task->UsesUdpStreams(), &node_id);
    if (!m_socket->Connect(candidate->m_address, candidate->m_port, false, m_task->ListenerAddress(),
                           stream ? &node_id : nullptr)) {
        return false;
    }
    LogFormat(PeerLogLevel, "BT peer %s connecting over %s", m_socket->PeerText().c_str(),
              stream ? "a UDP stream" : "TCP");
    SetPhase(PeerPhase::Connecting);
    return BeginExchange();
}

bool TBTPeer::BeginExchange() { return SendHandshake(); }

bool TBTPeer::SendBytes(const std::string& bytes) { return m_socket && m_socket->Send(bytes) >= 0; }

bool TBTPeer::SendHandshake() {
    if (!IsConnected()) return false;
    std::string bytes;
    if (IsIncoming()) {
        if (m_socket->IsHttpWrapped()) bytes = BuildBtReplyPreamble(GetClockSeconds(), GetClockSeconds());
    } else if (!m_socket->IsUdpStream() && m_candidate &&
               (IsHttpHandshakePrefixEnabled() || m_candidate->m_failures % PreambleRound == 1)) {
        bytes = BuildBtRequestPreamble(m_candidate->m_address, m_candidate->m_port, m_candidate->m_failures);
    }
    bytes += BuildBtHandshake(m_task->InfoHash(), m_task->OwnPeerId());
    return SendBytes(bytes);
}

bool TBTPeer::CheckHandshake(QTcpSocket* socket) {
    if (!IsConnected() || Phase() != PeerPhase::Connecting || !socket) return false;
    if (socket->ReceiveCount() < BtHandshakeSize) return false;
    const uint8_t* data = socket->ReceiveData();
    if (!MatchesBtHandshake(data, socket->ReceiveCount(), m_task->InfoHash())) return Fail(BtCloseReason::BadHandshake);
    PeerIdBytes remote{};
    std::memcpy(remote.data(), data + BtPeerIdOffset, remote.size());
    if (remote == m_task->OwnPeerId() || m_task->IsPlainHttp()) return Fail(BtCloseReason::OwnPeerId);
    if (!IsIncoming()) return true;
    if (!m_candidate) {
        TPeerId* found = m_task->FindOrAddAddress(socket->RemoteAddress(), socket->RemotePort(), 1, false, 1);
        if (found) {
            found->AddRef();
            m_candidate = found;
        }
    }
    for (TPeerObject* other : m_task->ActivePeers()) {
        if (other == this || !other->IsActive() || !other->IsIncoming() || !other->Candidate()) continue;
        if (other->Socket()->RemoteAddress() == socket->RemoteAddress() && other->Candidate()->m_peer_id == remote) {
            return Fail(BtCloseReason::DuplicatePeer);
        }
    }
    if (m_candidate) m_candidate->m_peer_id = remote;
    return true;
}

TBTPeer::Step TBTPeer::ReadHandshake() {
    if (!IsIncoming()) SkipHttpPreamble(*m_socket);
    if (m_socket->ReceiveCount() < BtHandshakeSize) {
        // Timed from the moment the connection stood, not from the connect:
        // a slow connect leaves the remote its full time to answer.
        const int64_t since = int64_t{GetUptimeSeconds()} - m_socket->ConnectTime();
        return since > HandshakeTimeoutS ? (Fail(BtCloseReason::HandshakeTimeout), Step::Fail) : Step::Wait;
    }
    if (!CheckHandshake(m_socket.get())) return Step::Fail;
    PeerIdBytes remote{};
    std::memcpy(remote.data(), m_socket->ReceiveData() + BtPeerIdOffset, remote.size());
    for (TPeerObject* other : m_task->ActivePeers()) {
        if (other == this || !other->IsActive() || !other->Candidate()) continue;
        if (other->Socket()->RemoteAddress() == m_socket->RemoteAddress() && other->Candidate()->m_peer_id == remote &&
            remote != TPeerId::SyntheticPeerId(m_socket->RemoteAddress(), m_socket->RemotePort())) {
            SetPhase(PeerPhase::Idle);
            m_socket->Close();
            Fail(BtCloseReason::DuplicatePeer);
            return Step::Fail;
        }
    }
    return StartExchange() ? Step::Continue : Step::Fail;
}

int32_t TBTPeer::PieceCount() const {
    const int32_t length = m_task->PeerPieceLength();
    if (length <= 0) return 0;
    const TaskStatusBlock status = m_task->LiveStatus();
    return static_cast<int32_t>(status.piece_count);
}

std::string TBTPeer::OwnBitfield() {
    // Only verified pieces: blocks still buffered may yet fail the check,
    // and a remote would ask us for a piece we cannot serve.
    const int32_t pieces = PieceCount();
    std::vector<uint8_t> bits((pieces + 7) / 8, 0);
    for (int32_t p = 0; p < pieces; ++p) {
        if (m_task->HoldsPiece(p)) bits[p / 8] |= static_cast<uint8_t>(0x80 >> (p % 8));
    }
    return BuildBtBitfield(bits.data(), bits.size());
}

bool TBTPeer::StartExchange() {
    m_task->NoteHandshaken(m_socket->RemoteAddress());
    SetPhase(PeerPhase::Established);
    m_socket->Consume(BtHandshakeSize, true);
    m_remote_bits.assign((PieceCount() + 7) / 8, 0);
    if (m_task->HasPieceMap() && !SendBytes(OwnBitfield())) return false;
    m_pieces_at_bitfield = m_pieces_now = m_haves = 0;
    m_choke_time = GetClockSeconds();
    SetState(BtStateChoked);
    m_peer_choking = m_we_choke = 1;
    if (!SendBytes(BuildBtSimple(static_cast<int32_t>(BtMessageId::Interested)) +
                   BuildBtSimple(static_cast<int32_t>(BtMessageId::Unchoke)))) {
        return false;
    }
    m_interesting = 0;
    m_we_choke = 0;
    m_ready = 1;
    // The kernel's receive buffer keeps its automatic sizing: a fixed 40 KiB
    // would cap every peer at 40 KiB per service of the connection (about
    // 1.3 MB/s at the work loop's pace).
    return true;
}

bool TBTPeer::ReadInput() {
    if (m_remote_text.empty() && m_socket) m_remote_text = m_socket->PeerText();
    if (!IsConnected()) return Fail(BtCloseReason::NotConnected);
    if (m_close_requested) return Fail(BtCloseReason::Snubbed);
    if (Phase() == PeerPhase::Connecting && !m_socket->IsEstablished()) {
        if (!m_socket->IsOpen()) return Fail(BtCloseReason::ConnectionLost);
        const int64_t limit = m_socket->IsUdpStream() ? StreamConnectTimeoutS : ConnectTimeoutS;
        return GetClockSeconds() - m_stats.connect_time > limit ? Fail(BtCloseReason::ConnectTimeout) : true;
    }
    int32_t size = SmallRead;
    if (Phase() == PeerPhase::Established && !m_peer_choking && !m_requests.empty()) size = ReadSizeFor(PipelineRate());
    const int64_t allowance = m_task->RemainingDownload();
    if (allowance == 0 && Phase() != PeerPhase::Connecting) return true;
    if (allowance > 0 && allowance < size) size = static_cast<int32_t>(std::max<int64_t>(allowance, 192));
    int64_t before = m_socket->ReceivedTotal();
    const int64_t first = before;
    if (m_socket->Receive(size) < 0) return Fail(BtCloseReason::ConnectionLost);
    if (Phase() == PeerPhase::Connecting) {
        Step step = ReadHandshake();
        if (step != Step::Continue) return step == Step::Wait;
    }
    // While each read fills its size, the remote has more waiting: read on
    // with twice the size, within the allowance and the buffer cap.
    while (Phase() == PeerPhase::Established && m_socket->ReceivedTotal() - before == size &&
           m_socket->ReceiveCount() < MaxBuffered && size < MaxReadSize) {
        size *= 2;
        // What this step has read so far is counted when the step ends.
        const int64_t left = m_task->RemainingDownload() - (m_socket->ReceivedTotal() - first);
        if (left < size) break;
        before = m_socket->ReceivedTotal();
        if (m_socket->Receive(size) < 0) return Fail(BtCloseReason::ConnectionLost);
    }
    return ParseMessages();
}

bool TBTPeer::ParseMessages() {
    const bool was_choking = m_peer_choking != 0;
    const uint8_t* data = m_socket->ReceiveData();
    const size_t size = m_socket->ReceiveCount();
    size_t at = 0;
    bool ok = true;
    while (ok && at < size) {
        BtMessage m;
        size_t consumed = 0;
        const BtParseStatus status = TBtMessageParser::Next(data + at, size - at, &m, &consumed);
        if (status == BtParseStatus::NeedMore || status == BtParseStatus::PartialPiece) break;
        if (status == BtParseStatus::TooLong) return Fail(BtCloseReason::MessageTooLong);
        if (status == BtParseStatus::BadPiece) return Fail(BtCloseReason::BadPiece);
        if (status == BtParseStatus::Malformed) {
            // A wrong payload size leaves no way to find the next message.
            ++m_bad_messages;
            at = size;
            break;
        }
        ok = HandleMessage(m);
        at += consumed;
    }
    if (!ok) return false;
    m_socket->Consume(static_cast<int64_t>(at), DownloadRate() > 262143);
    if (was_choking != (m_peer_choking != 0)) OnChokeChanged(was_choking);
    return true;
}

bool TBTPeer::HandleMessage(const BtMessage& m) {
    switch (static_cast<BtMessageId>(m.id)) {
        case BtMessageId::Choke:
            m_peer_choking = 1;
            if (m_choke_time == 0) m_choke_time = GetClockSeconds();
            SetState(BtStateChoked);
            return true;
        case BtMessageId::Unchoke:
            m_peer_choking = 0;
            m_choke_time = 0;
            SetState(m_we_choke ? BtStateChoked : PeerState::Requesting);
            return true;
        case BtMessageId::Have: OnHave(m.index); return true;
        case BtMessageId::Bitfield: return OnBitfield(m);
        case BtMessageId::Request: OnRequest(m); return true;
        case BtMessageId::Piece: return OnPiece(m);
        case BtMessageId::Cancel: OnCancel(m); return true;
        default: return true;  // keep-alive, interest and unknown ids
    }
}

bool TBTPeer::OnBitfield(const BtMessage& m) {
    if (m_task->HasPieceMap() && m.payload_size != m_remote_bits.size()) return Fail(BtCloseReason::BadBitfield);
    m_remote_bits.assign(m.payload, m.payload + m.payload_size);
    // Spare bits past the last piece are not counted.
    const int32_t pieces = PieceCount();
    int32_t count = 0;
    for (int32_t p = 0; p < pieces; ++p) count += RemoteHas(p) ? 1 : 0;
    m_pieces_at_bitfield = m_pieces_now = count;
    m_nothing_wanted = count == 0;
    m_interesting = count > 0;
    if (!IsIncoming() && m_candidate) {
        m_candidate->m_extra = count;
        m_candidate->m_failures = 0;
    }
    IsSeed();
    return true;
}

void TBTPeer::OnHave(uint32_t piece) {
    if (piece >= static_cast<uint32_t>(PieceCount()) || piece / 8 >= m_remote_bits.size()) return;
    const uint8_t mask = static_cast<uint8_t>(0x80 >> (piece % 8));
    if (m_remote_bits[piece / 8] & mask) return;
    m_remote_bits[piece / 8] |= mask;
    ++m_haves;
    ++m_pieces_now;
    IsSeed();
    int32_t offset = 0;
    int32_t bytes = 0;
    if (m_task->MissingPartOfPiece(static_cast<int32_t>(piece), &offset, &bytes)) m_nothing_wanted = 0;
    m_last_have = static_cast<int32_t>(piece);
}

void TBTPeer::OnRequest(const BtMessage& m) {
    const int32_t piece_length = m_task->PeerPieceLength();
    if (m_we_choke || piece_length <= 0 || !m_task->HasPieceMap()) return;
    // A request must lie inside one piece of the torrent and ask for at most
    // one block.
    if (m.index >= static_cast<uint32_t>(PieceCount()) || m.length == 0 || m.length > static_cast<uint32_t>(BlockSize) ||
        uint64_t{m.begin} + m.length > static_cast<uint64_t>(piece_length) || m.begin % BlockSize != 0) {
        return;
    }
    // Only verified pieces are served; a request for anything else is
    // dropped, not answered.
    if (!m_task->HoldsPiece(static_cast<int32_t>(m.index))) return;
    const int32_t block = static_cast<int32_t>(int64_t{m.index} * piece_length / BlockSize + m.begin / BlockSize);
    for (const TBlockRequest& r : m_uploads) {
        if (r.block == block) return;
    }
    m_uploads.push_back(TBlockRequest{block, static_cast<int32_t>(m.length), static_cast<int32_t>(GetClockSeconds())});
}

void TBTPeer::OnCancel(const BtMessage& m) {
    const int32_t piece_length = m_task->PeerPieceLength();
    if (piece_length <= 0) return;
    const int64_t block = int64_t{m.index} * piece_length / BlockSize + m.begin / BlockSize;
    std::erase_if(m_uploads, [&](const TBlockRequest& r) { return r.block == block; });
}

bool TBTPeer::OnPiece(const BtMessage& m) {
    const int32_t piece_length = m_task->PeerPieceLength();
    if (piece_length <= 0 || piece_length % BlockSize != 0) return Fail(BtCloseReason::UnrequestedPiece);
    const int64_t block = int64_t{m.index} * piece_length / BlockSize + m.begin / BlockSize;
    if (block > INT32_MAX) return Fail(BtCloseReason::UnrequestedPiece);
    // A late answer to a request we withdrew (a choke, snubbing, the end
    // game) for a block that arrived from elsewhere is not the remote's
    // fault.
    const bool queued = std::any_of(m_requests.begin(), m_requests.end(),
                                    [&](const TBlockRequest& r) { return r.block == block; });
    if (!queued && m_task->HasBlock(static_cast<int32_t>(block))) return true;
    const int32_t bad_before = m_stats.bad_events;
    if (!ReceiveBlock(static_cast<int32_t>(block), static_cast<int32_t>(m.data_size), m.data, 0)) {
        ++m_bad_messages;
        return Fail(BtCloseReason::UnrequestedPiece);
    }
    // The block completed a piece that failed its check: the connection
    // ends and the work thread penalises the candidate like any failure.
    if (m_stats.bad_events > bad_before) {
        ++m_bad_messages;
        return Fail(BtCloseReason::BadData);
    }
    m_no_data_checks = 0;
    NoteDelivered(static_cast<int32_t>(m.data_size));
    return true;
}

void TBTPeer::NoteDelivered(int32_t bytes) {
    const uint32_t now = platform::TickCount();
    if (m_recent_bytes == 0) m_recent_tick = now;
    m_recent_bytes += bytes;
    const uint32_t elapsed = now - m_recent_tick;
    if (elapsed < RecentSampleMs) return;
    m_recent_rate = static_cast<int32_t>(std::min<int64_t>(m_recent_bytes * 1000 / elapsed, INT32_MAX));
    m_recent_bytes = 0;
}

void TBTPeer::OnChokeChanged(bool was_choking) {
    if (!was_choking) {
        // What arrived before the choke says nothing of the next unchoke.
        m_recent_bytes = 0;
        m_recent_rate = 0;
        // Choked now: what was sent will not be answered.
        for (int32_t i = 0; i < m_sent && i < static_cast<int32_t>(m_requests.size()); ++i) {
            const TBlockRequest& r = m_requests[static_cast<size_t>(i)];
            const int32_t piece_length = m_task->PeerPieceLength();
            const int64_t start = int64_t{r.block} * BlockSize;
            SendBytes(BuildBtRequest(static_cast<int32_t>(BtMessageId::Cancel), static_cast<uint32_t>(start / piece_length),
                                     static_cast<uint32_t>(start % piece_length), static_cast<uint32_t>(r.length)));
        }
        m_task->ReturnBlocks(m_requests);
        m_requests.clear();
        m_sent = 0;
        // Its pieces are free for the peers that still deliver.
        ReleaseEngaged();
        return;
    }
    m_no_data_checks = 0;
    SendFromHead();
}

bool TBTPeer::RemoteHas(int32_t piece) const {
    if (piece < 0 || static_cast<size_t>(piece / 8) >= m_remote_bits.size()) return false;
    return (m_remote_bits[static_cast<size_t>(piece / 8)] & (0x80 >> (piece % 8))) != 0;
}

bool TBTPeer::QueuedInPiece(int32_t piece) const {
    const int32_t piece_length = m_task->PeerPieceLength();
    return std::any_of(m_requests.begin(), m_requests.end(), [&](const TBlockRequest& r) {
        return int64_t{r.block} * BlockSize / piece_length == piece;
    });
}

bool TBTPeer::SendRequests() {
    if (Phase() != PeerPhase::Established || m_peer_choking || m_requests.empty()) return true;
    // Topped up once three answers came in.
    const int32_t target = RequestsAhead();
    if (m_sent >= std::max(target - 3, 5)) return true;
    const int32_t piece_length = m_task->PeerPieceLength();
    if (piece_length <= 0) return true;
    std::string batch;
    while (m_sent < target && m_sent < static_cast<int32_t>(m_requests.size())) {
        const TBlockRequest& r = m_requests[static_cast<size_t>(m_sent)];
        const int64_t start = int64_t{r.block} * BlockSize;
        batch += BuildBtRequest(static_cast<int32_t>(BtMessageId::Request), static_cast<uint32_t>(start / piece_length),
                                static_cast<uint32_t>(start % piece_length), static_cast<uint32_t>(r.length));
        ++m_sent;
    }
    return batch.empty() || SendBytes(batch);
}

void TBTPeer::Choke() {
    m_we_choke = 1;
    SetState(BtStateChoked);
    SendBytes(BuildBtSimple(static_cast<int32_t>(BtMessageId::Choke)));
    m_uploads.clear();
}

void TBTPeer::Unchoke() {
    m_we_choke = 0;
    SetState(m_peer_choking ? BtStateChoked : PeerState::Requesting);
    SendBytes(BuildBtSimple(static_cast<int32_t>(BtMessageId::Unchoke)));
}

bool TBTPeer::IsSeed() {
    const int32_t pieces = PieceCount();
    if (pieces <= 0 || m_pieces_now < pieces) return false;
    for (int32_t p = 0; p < pieces; ++p) {
        if (!RemoteHas(p)) return false;
    }
    if (m_seed_time == 0) m_seed_time = GetClockSeconds();
    return true;
}

bool TBTPeer::IsLongSeed() { return IsSeed() && GetClockSeconds() - m_seed_time > LongSeedS; }

bool TBTPeer::IsUninteresting() {
    return m_nothing_wanted && GetClockSeconds() - m_nothing_wanted_time > UninterestingS;
}

int32_t TBTPeer::GetPeerRate() {
    if (!IsActive() || m_haves <= RateEstimateHaves) return 0;
    const int64_t seconds = std::max<int64_t>(GetClockSeconds() - m_stats.connect_time, 1);
    return static_cast<int32_t>(int64_t{m_haves} * m_task->PeerPieceLength() / 1024 / seconds);
}

namespace {

constexpr int32_t PreambleLimit = 1024;
constexpr const char* PreambleStarts[] = {"HTTP", "POST", "GET"};

bool StartsWith(const uint8_t* data, size_t size, const char* text) {
    const size_t length = std::strlen(text);
    return size >= length && std::memcmp(data, text, length) == 0;
}

// `data` and `text` agree over the shorter of the two.
bool AgreesWith(const uint8_t* data, size_t size, const char* text, size_t length) {
    return std::memcmp(data, text, std::min(size, length)) == 0;
}

}  // namespace

bool MayBeginBtHandshake(const uint8_t* data, size_t size) {
    if (!data || size == 0) return true;
    if (data[0] == 19) return AgreesWith(data + 1, size - 1, BtProtocolName, sizeof BtProtocolName - 1);
    return std::any_of(std::begin(PreambleStarts), std::end(PreambleStarts),
                       [&](const char* start) { return AgreesWith(data, size, start, std::strlen(start)); });
}

void SkipHttpPreamble(QTcpSocket& socket) {
    const uint8_t* data = socket.ReceiveData();
    size_t size = socket.ReceiveCount();
    if (!data || std::none_of(std::begin(PreambleStarts), std::end(PreambleStarts),
                              [&](const char* start) { return StartsWith(data, size, start); })) {
        return;
    }
    socket.Receive(PreambleLimit);
    data = socket.ReceiveData();
    size = socket.ReceiveCount();
    std::string_view text(reinterpret_cast<const char*>(data), size);
    size_t end = text.find("\r\n\r\n");
    size_t skip = end != std::string_view::npos ? end + 4 : std::string_view::npos;
    if (skip == std::string_view::npos) {
        end = text.find("\n\n");
        if (end != std::string_view::npos) skip = end + 2;
    }
    if (skip == std::string_view::npos) return;
    socket.Consume(static_cast<int64_t>(skip), true);
    socket.SetHttpWrapped(true);
}

}  // namespace engine
