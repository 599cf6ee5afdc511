#pragma once
// TBTPeer: one connection to a BitTorrent peer, outgoing or incoming, over a
// QTcpSocket: the handshake (optionally wrapped in a fake HTTP exchange),
// the length-prefixed messages (parsed by TBtMessageParser), the remote's
// bitfield and HAVEs, choking in both directions and block requests, whose
// answers go through TPeerObject::ReceiveBlock into the task's piece map.
//
// Not yet here: serving uploads from the piece cache, snubbing and the
// end-game and range-claim piece choice; ServeUploads answers requests with
// nothing until the piece layer offers a block reader to the peers.
//
// Owner: the task's peer set (reference counted, pooled). Thread: the task's
// work thread.

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
};
const char* BtCloseReasonName(BtCloseReason reason);

class TBTPeer : public TPeerObject {
public:
    // A TCP connect gets 22 seconds; the remote's handshake 12 more.
    static constexpr int64_t ConnectTimeoutS = 22;
    static constexpr int64_t HandshakeTimeoutS = 12;

    TBTPeer();
    ~TBTPeer() override = default;

    bool ConnectTo(TPeerId* candidate) override;
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

    // Used by the work thread's choke decisions.
    void Choke();
    void Unchoke();

    bool PeerChoking() const { return m_peer_choking; }
    bool WeChoke() const { return m_we_choke; }
    int32_t BadMessages() const { return m_bad_messages; }
    BtCloseReason CloseReason() const { return m_close_reason; }
    const std::vector<uint8_t>& RemoteBitfield() const { return m_remote_bits; }
    int32_t RemotePieces() const { return m_pieces_now; }

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
    bool RemoteHas(int32_t piece) const;
    int32_t PieceCount() const;
    std::string OwnBitfield();
    bool QueuedInPiece(int32_t piece) const;

    std::vector<uint8_t> m_remote_bits;
    uint8_t m_peer_choking = 1;
    uint8_t m_we_choke = 1;
    uint8_t m_interesting = 0;
    uint8_t m_nothing_wanted = 0;
    int64_t m_nothing_wanted_time = 0;
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
};

}  // namespace engine
