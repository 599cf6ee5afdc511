#pragma once
// QUStream: one reliable-stream record, as QUStreamCore keeps it. A record is
// a connecting or connected stream, an incoming stream waiting to be
// accepted, or a bound/listening one; closed records wait in the core's
// reuse pool. Owner: QUStreamCore; guarded by whatever guards the core (the
// UDP server's lock). Plain data; the rules live in the core.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/udp/QUStreamPacket.h"

namespace engine {

// Callers hold a record by its handle: slot index + 1 in the low 16 bits,
// the slot's generation in the high 16. A recycled record gets a new
// generation, so a late packet or a stale caller naming the old stream finds
// nothing, while the wire keeps its one 32-bit handle field.
using QUHandle = uint32_t;
inline constexpr QUHandle InvalidQUHandle = 0;

enum class QUState : uint8_t {
    New = 0,          // made by QUSocket
    Resolving = 1,    // QUConnect called; waiting for the rendezvous lookup
    Connecting = 2,   // peer endpoint known; sending CONNECT
    Accepting = 3,    // incoming; CONNECT_ACK sent, waiting for CONNECTED
    Established = 5,  // data may flow
    Dead = 6,         // failed, refused, timed out or closed by the peer
    Bound = 7,        // QUBind called
    Listening = 8,    // QUListen called
};

// Which of the core's lists holds a record.
enum class QUList : uint8_t { None, Streams, AcceptQueue, Bound, Pool };

// Streams keep 12 segments in flight and 12 waiting in each direction.
inline constexpr int QUWindow = 12;

// A received segment: in the receive window (sequence = receive base + k in
// entry k) or in the read queue, partly read from `read_offset`.
struct QUSegment {
    bool used = false;
    uint32_t sequence = 0;
    size_t read_offset = 0;
    std::vector<uint8_t> payload;
};

// A send slot holds its whole DATA datagram, built once; the head is
// rewritten at each send so every retransmission carries a new packet
// sequence and the same segment sequence.
struct QUSendSlot {
    bool used = false;
    uint32_t last_send_tick = 0;  // ms; 0 = never sent
    uint32_t send_count = 0;      // sends by the retransmission pass
    // The peer acknowledged a segment sent after this one's last send: this
    // one is resent as soon as reordering no longer explains the gap.
    bool missing = false;
    std::vector<uint8_t> packet;
};

struct QUStream {
    QUHandle handle = InvalidQUHandle;
    QUList list = QUList::None;
    QUState state = QUState::New;

    QUIdentity target{};       // the peer's node id + "UDP0"
    int32_t lookup_id = -1;    // LOOKUP request waited for; -1 none
    int32_t last_peer_sequence = 0;  // last packet sequence received from the peer
    uint32_t packet_counter = 0;     // own, incremented before each counted packet
    uint32_t peer_ip = 0;            // network order
    uint16_t peer_port = 0;
    uint32_t peer_handle = 0;        // the peer's handle for this stream; 0 unknown
    uint32_t bytes_acknowledged = 0;
    uint32_t bytes_received = 0;
    int64_t activity_s = 0;          // engine seconds of the last accepted packet
    int64_t last_lookup_s = 0;       // RESOLVING: when the LOOKUP was last asked
    uint32_t addressed_port = 0;     // incoming: the port the initiator addressed
    uint16_t virtual_port = 0;
    uint32_t connection_id = 0;      // shared by both ends; chosen by the initiator
    uint32_t receive_base = 0;       // segment sequence expected next
    uint32_t send_base = 0;          // segment sequence of send slot 0
    uint32_t sent_end = 0;           // one past the highest segment ever put on the wire
    int used_slots = 0;
    bool incoming = false;
    bool connected = false;
    uint32_t last_ack_tick = 0;      // ms; 0 = acknowledge at the next pass
    uint32_t peer_send_base = 0;     // highest send base the peer reported

    // Loss statistics of the current window.
    uint32_t packets_sent = 0;
    uint32_t packets_retransmitted = 0;
    int64_t window_start_s = 0;
    // Totals over the stream's life, for statistics.
    uint64_t packets_sent_total = 0;
    uint64_t packets_retransmitted_total = 0;

    std::array<QUSegment, QUWindow> read_queue;
    int read_count = 0;
    std::array<QUSegment, QUWindow> receive_window;
    std::array<QUSendSlot, QUWindow> send_slots;
};

}  // namespace engine
