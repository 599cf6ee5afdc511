#pragma once
// TBTPeer: one connection to a BitTorrent peer, outgoing or incoming, over a
// QTcpSocket: the handshake (optionally wrapped in a fake HTTP exchange),
// the length-prefixed messages (parsed by TBtMessageParser), the remote's
// bitfield and HAVEs, choking in both directions and block requests, whose
// answers go through TPeerObject::ReceiveBlock into the task's piece map.
//
// Pieces are engaged through the task's scheduler. While the task's web
// sources hold range claims, pieces are chosen within them (from the runs'
// tails, TClaims); otherwise by file priority. Queued REQUESTs of unchoked
// remotes for verified pieces are served from the piece cache or the disk; a
// remote that stops delivering is snubbed. Not here: the UDP-stream
// transport.
//
// Owner: the task's peer set (reference counted, pooled). Thread: the task's
// work thread.

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/peers/TBtMessageParser.h"
#include "engine/peers/TPeerObject.h"

namespace engine {

// BitTorrent activity codes: 2 while either side chokes, 1 when both have
// unchoked (PeerState::Requesting).
inline constexpr int32_t BtStateChoked = 2;

// Why a connection ended, for the log.
enum class BtCloseReason {
    None,
    NotConnected,
    ConnectTimeout,
    HandshakeTimeout,
    BadHandshake,
    OwnPeerId,
    DuplicatePeer,
    MessageTooLong,
    BadBitfield,
    BadPiece,
    UnrequestedPiece,
    ConnectionLost,
    Snubbed,
    BadData,
};
const char* BtCloseReasonName(BtCloseReason reason);

class TBTPeer : public TPeerObject {
public:
    // A TCP connect gets 22 seconds, a UDP stream 28 (its rendezvous lookup
    // and punching come first); the remote's handshake 12 more.
    static constexpr int64_t ConnectTimeoutS = 22;
    static constexpr int64_t StreamConnectTimeoutS = 28;
    // Candidates scoring above this are never tried over a stream; streams
    // are tried on every third attempt, starting with the first.
    static constexpr int32_t StreamMaxScore = 34;
    static constexpr int32_t StreamRound = 3;
    static constexpr int64_t HandshakeTimeoutS = 12;

    TBTPeer();
    ~TBTPeer() override;

    bool ConnectTo(TPeerId* candidate) override;
    // The transport of an outgoing attempt: true for a UDP stream, with the
    // node id to reach it by in `node_id`.
    static bool ChooseStream(const TPeerId& candidate, bool task_uses_streams, std::array<uint8_t, 8>* node_id);
    bool BeginExchange() override;
    virtual bool SendHandshake();
    bool CheckHandshake(QTcpSocket* socket) override;
    bool ReadInput() override;
    bool RequestBlocks() override;
    bool SendRequests() override;
    bool FlushOutput() override;
    void ResetState() override;
    int32_t NextPiece() override;
    bool IsSeed() override;
    bool IsLongSeed() override;
    bool IsUninteresting() override;
    int32_t GetPeerRate() override;
    bool ServeUploads() override;
    void CheckRequests() override;
    bool IsUseless() override;
    void ReleaseRange() override;

    // Appends HAVE messages for verified pieces to the output.
    void QueueHaves(const std::vector<uint32_t>& pieces);
    // Checks without data (requests outstanding) before the remote counts
    // as snubbing us.
    static constexpr int32_t SnubChecks = 8;
    // Requests ahead of the task's read position older than this are
    // offered to the other peers too.
    static constexpr int32_t SlowRequestS = 8;
    int32_t SentCount() const { return m_sent; }
    // The measured rate is taken every few seconds; a connection that just
    // began delivering would keep its starting window of six requests until
    // then. The rate of what arrived over the last sample (at least this
    // long) sizes the pipeline too, so the window follows within a moment.
    static constexpr uint32_t RecentSampleMs = 200;
    int32_t PipelineRate() const override { return std::max(DownloadRate(), m_recent_rate); }
    // Requests kept sent ahead: a second's worth at the pipeline rate (at
    // least 6), but no more than this many. Far more than a round trip's
    // worth on any link, a deeper pipeline only costs bookkeeping (every
    // choice and every answer walks the queue) and risks requests that a
    // remote with a queue limit of its own drops unanswered.
    static constexpr int32_t MaxRequestsAhead = 256;
    int32_t RequestsAhead() const { return std::min(std::max(PipelineRate() / BlockSize + 2, 6), MaxRequestsAhead); }

    // Used by the work thread's choke decisions.
    void Choke();
    void Unchoke();

    bool PeerChoking() const { return m_peer_choking; }
    bool WeChoke() const { return m_we_choke; }
    int32_t BadMessages() const { return m_bad_messages; }
    BtCloseReason CloseReason() const { return m_close_reason; }
    const std::vector<uint8_t>& RemoteBitfield() const { return m_remote_bits; }
    int32_t RemotePieces() const { return m_pieces_now; }
    bool RemoteHas(int32_t piece) const;
    int64_t UploadedBytes() const { return m_uploaded; }
    int32_t NoDataChecks() const { return m_no_data_checks; }

protected:
    size_t AnswerWindow() const override { return static_cast<size_t>(std::max(m_sent, 0)); }
    void RequestErased(size_t index) override;

private:
    enum class Step { Continue, Wait, Fail };

    bool Fail(BtCloseReason reason);
    Step ReadHandshake();
    bool StartExchange();
    bool ParseMessages();
    bool HandleMessage(const BtMessage& m);
    bool OnBitfield(const BtMessage& m);
    void OnHave(uint32_t piece);
    void OnRequest(const BtMessage& m);
    void OnCancel(const BtMessage& m);
    bool OnPiece(const BtMessage& m);
    void OnChokeChanged(bool was_choking);
    bool SendBytes(const std::string& bytes);
    int32_t PieceCount() const;
    std::string OwnBitfield();
    bool QueuedInPiece(int32_t piece) const;
    bool IsCandidatePiece(int32_t piece, bool only_free);
    int32_t ChooseInRange(int32_t first, int32_t last, int32_t start, bool only_free);
    int32_t ChooseByPriority(bool only_free);
    int32_t ChoosePiece();
    void OfferSlowRequests();
    bool SendFromHead();
    void CancelSent();
    void ReleaseEngaged();
    void SendCancel(const TBlockRequest& r);
    void NoteDelivered(int32_t bytes);

    std::vector<uint8_t> m_remote_bits;
    uint8_t m_peer_choking = 1;
    uint8_t m_we_choke = 1;
    uint8_t m_interesting = 0;
    uint8_t m_nothing_wanted = 0;
    int64_t m_nothing_wanted_time = 0;
    // Pieces the task missed when the last choice found nothing.
    int32_t m_nothing_wanted_missing = -1;
    int64_t m_choke_time = 0;
    int64_t m_seed_time = 0;
    int32_t m_pieces_at_bitfield = 0;
    int32_t m_pieces_now = 0;
    int32_t m_haves = 0;
    int32_t m_last_have = -1;
    int32_t m_sent = 0;
    uint8_t m_ready = 0;
    int32_t m_bad_messages = 0;
    BtCloseReason m_close_reason = BtCloseReason::None;
    int32_t m_no_data_checks = 0;
    int64_t m_last_choice_time = 0;
    int64_t m_received_at_check = 0;
    uint32_t m_flush_calls = 0;
    bool m_close_requested = false;
    int64_t m_uploaded = 0;
    std::vector<int32_t> m_engaged;
    uint32_t m_recent_tick = 0;
    int64_t m_recent_bytes = 0;
    int32_t m_recent_rate = 0;
    // The remote's address for the log: the socket forgets it when it closes,
    // which is when a lost connection is reported.
    std::string m_remote_text;
};

// Drops an HTTP preamble ("HTTP", "POST", "GET" ... blank line) from the
// buffered input and marks the socket HTTP-wrapped.
void SkipHttpPreamble(QTcpSocket& socket);
// Whether `size` bytes received on a new incoming connection can still be
// the start of a handshake: of the 20 bytes 19 "BitTorrent protocol", or of
// an HTTP preamble ("HTTP", "POST", "GET"). Nothing received yet can.
bool MayBeginBtHandshake(const uint8_t* data, size_t size);

}  // namespace engine
