#pragma once
// TTrackerPeer: one announce of the task to one tracker, turned into
// BitTorrent candidates. An HTTP tracker (candidate extra 1) is asked over
// the peer object's QTcpSocket; a UDP tracker (extra 0) over a plain UDP
// socket of its own (BEP 15: connect, then announce). The announce is
// repeated every 11 seconds until a reply arrives; the reply ends the
// connection (state 6), and the peer set connects the tracker again no
// sooner than 600 seconds after this attempt.
//
// Owner: the task's peer set (reference counted, pooled). Thread: the task's
// work thread.

#include <array>
#include <cstdint>
#include <string>

#include "engine/peers/TPeerObject.h"
#include "engine/peers/TrackerProtocol.h"
#include "platform/Socket.h"

namespace engine {

class TTrackerPeer : public TPeerObject {
public:
    // BEP 15 datagrams of this engine stay below 8 KiB; replies are read in
    // 2 KiB (enough for 200+ compact peers... of which the tracker sends fewer
    // in one datagram).
    static constexpr size_t UdpReceiveSize = 2048;
    // No reply after this long: the announce is sent again.
    static constexpr int64_t RepeatAfterS = 11;

    TTrackerPeer();
    ~TTrackerPeer() override;

    bool ConnectTo(TPeerId* candidate) override;
    bool RequestBlocks() override;
    bool ReadInput() override;
    bool FlushOutput() override;
    bool IsConnected() const override;
    void ResetState() override;

    // The event sent: 2 "started" for every new tracker object.
    int32_t Event() const { return m_event; }
    const std::string& RequestText() const { return m_request_text; }
    // What the last reply said (interval, counts, peers), for the task.
    const TrackerReply& LastReply() const { return m_last_reply; }
    int32_t CandidatesAdded() const { return m_added; }

private:
    bool IsHttpTracker() const;
    bool SendHttpAnnounce();
    bool SendUdpAnnounce();
    bool ReadHttpReply();
    bool ReadUdpReply();
    void TakeReply(const TrackerReply& reply);
    void CloseUdp();
    uint64_t BytesLeft();

    platform::SocketHandle m_udp = platform::InvalidSocket;
    std::string m_reply_text;
    int64_t m_last_activity = 0;
    int32_t m_event = 2;
    int64_t m_last_announce = 0;
    std::string m_request_text;
    uint32_t m_connect_transaction = 0;
    uint32_t m_announce_transaction = 0;
    std::array<uint8_t, 8> m_connection_id{};
    TrackerReply m_last_reply;
    int32_t m_added = 0;
};

}  // namespace engine
