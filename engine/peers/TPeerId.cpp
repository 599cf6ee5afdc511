#include "engine/peers/TPeerId.h"

#include <cstring>

#include "engine/net/SourceUrl.h"

namespace engine {

TPeerId::TPeerId() = default;

TPeerId::TPeerId(const TPeerId& other) : TRefObject(other) { *this = other; }

TPeerId& TPeerId::operator=(const TPeerId& other) {
    if (this == &other) return *this;
    m_has_address = other.m_has_address;
    m_owns_info = other.m_owns_info;
    m_resolve_failed = other.m_resolve_failed;
    m_port = other.m_port;
    m_backoff = other.m_backoff;
    m_score = other.m_score;
    m_origin = other.m_origin;
    m_failures = other.m_failures;
    m_in_use = other.m_in_use;
    m_pieces_delivered = other.m_pieces_delivered;
    m_attempts = other.m_attempts;
    m_max_connections = other.m_max_connections;
    m_peer_id = other.m_peer_id;
    m_url = other.m_url;
    m_address = other.m_address;
    m_last_attempt = other.m_last_attempt;
    m_kind = other.m_kind;
    m_extra = other.m_extra;
    if (other.m_info) {
        Info() = *other.m_info;
    } else {
        m_info.reset();
    }
    return *this;
}

TPeerId::~TPeerId() = default;

TSourceInfo& TPeerId::Info() {
    if (!m_info) m_info = std::make_unique<TSourceInfo>();
    return *m_info;
}

bool TPeerId::IsValid() const {
    return m_port >= 1 && m_port <= 65535 && m_address != 0 && m_address != NoAddress;
}

PeerIdBytes TPeerId::SyntheticPeerId(uint32_t address_network, int32_t port) {
    PeerIdBytes id{};
    std::memcpy(id.data() + 14, &address_network, 4);
    id[18] = static_cast<uint8_t>((port >> 8) & 0xFF);
    id[19] = static_cast<uint8_t>(port & 0xFF);
    return id;
}

bool TPeerId::HasUdpMarker() const { return m_peer_id[16] == 'U' && m_peer_id[17] == 'D' && m_peer_id[18] == 'P'; }

bool TPeerId::ParseUrl() {
    TSourceFields fields;
    fields.kind = static_cast<SourceKind>(m_kind);
    fields.port = m_port;
    fields.address = m_address;
    fields.extra = m_extra;
    bool ok = ParseSourceUrl(m_url, fields, Info());
    m_kind = static_cast<int32_t>(fields.kind);
    m_port = fields.port;
    m_address = fields.address;
    m_extra = fields.extra;
    m_has_address = fields.has_address;
    m_resolve_failed = fields.resolve_failed;
    return ok;
}

}  // namespace engine
