#pragma once
// TPeerId: one candidate source of a task: a BitTorrent peer, an HTTP or FTP
// web source or a tracker, with its address, its score and the bookkeeping of
// its connection attempts (back-off, failures, connections in use, pieces
// delivered). The URL-derived details live in its TSourceInfo, created on
// first access and freed with the candidate.
//
// Owner: the task's candidate list holds one reference; every peer object
// connected to the candidate holds another. Thread: the task's work thread.

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/net/TSourceInfo.h"
#include "engine/peers/TRefObject.h"

namespace engine {

// Peer kinds; web sources are HTTP and FTP (mask 6).
enum PeerKind : int { PeerKindBt = 1, PeerKindHttp = 2, PeerKindFtp = 4, PeerKindTracker = 8 };
constexpr int PeerKindsWeb = PeerKindHttp | PeerKindFtp;


using PeerIdBytes = std::array<uint8_t, 20>;

class TPeerId : public TRefObject {
public:
    TPeerId();
    TPeerId(const TPeerId& other);
    TPeerId& operator=(const TPeerId& other);
    ~TPeerId() override;

    // Created on first access.
    TSourceInfo& Info();
    const TSourceInfo* InfoIfAny() const { return m_info.get(); }
    // Port 1..65535 and an address that is neither 0.0.0.0 nor 255.255.255.255.
    bool IsValid() const;
    bool IsWebSource() const { return (m_kind & 6) != 0; }
    bool FetchesIntoMemory() const { return m_info && m_info->whole_body; }
    bool IsRedirected() const { return m_info && m_info->redirected; }
    int64_t ContentLength() const { return m_info ? m_info->content_length : 0; }

    // 14 zero bytes, the address and the port (both network order): the id of
    // a BitTorrent peer known only by its address.
    static PeerIdBytes SyntheticPeerId(uint32_t address_network, int32_t port);
    void SetSyntheticPeerId() { m_peer_id = SyntheticPeerId(m_address, m_port); }
    // Whether bytes 16..18 of the peer id read "UDP" (a peer reached over the
    // rendezvous server).
    bool HasUdpMarker() const;

    // Parses m_url (ParseSourceUrl: kind, host, port, paths, resolution) into
    // this candidate. False when the text does not parse or its host does not
    // resolve (then m_resolve_failed is set).
    bool ParseUrl();

    uint8_t m_has_address = 0;
    uint8_t m_owns_info = 1;
    uint8_t m_resolve_failed = 0;
    int32_t m_port = 0;
    int32_t m_backoff = 0;
    int32_t m_score = 0;
    int32_t m_origin = 0;
    int32_t m_failures = 0;
    int32_t m_in_use = 0;
    int32_t m_pieces_delivered = 0;
    int32_t m_attempts = 0;
    int32_t m_max_connections = 1;
    PeerIdBytes m_peer_id{};
    std::string m_url;
    uint32_t m_address = 0;  // IPv4, network order
    int64_t m_last_attempt = 0;
    int32_t m_kind = 0;
    int32_t m_extra = 0;

private:
    std::unique_ptr<TSourceInfo> m_info;
};

}  // namespace engine
