#pragma once
// Where the reliable UDP streams plug into the UDP server. The server owns
// the socket, the rendezvous protocol and the timers; the stream layer gets
// the datagrams and rendezvous results that concern it and runs its passes
// when the server's timers say so. Without a handler the server still does
// the whole rendezvous part and drops stream packets.
//
// Thread: every call is made with the server lock held, on the "UDPServer"
// thread or on a thread that called into the server; a handler must not
// block and must not take locks of an outer level.

#include <cstddef>
#include <cstdint>

#include "engine/udp/RendezvousCodec.h"

namespace engine {

class QUStreamHandler {
public:
    virtual ~QUStreamHandler() = default;
    // A datagram whose first word is positive and that has at least 64
    // bytes; the checks of its header are the handler's.
    virtual void OnStreamPacket(const uint8_t* data, size_t size, uint32_t from_address, uint16_t from_port) = 0;
    // A LOOKUP_REPLY names `target` (the id streams wait for, maybe a
    // placeholder) as node `node_id` at this public endpoint. Entries of
    // nodes that are not registered never come here.
    virtual void OnLookupResolved(const QUNodeId& target, const QUNodeId& node_id, uint32_t address,
                                  uint16_t port) = 0;
    // The reply to request `request_id` has been handled: streams still
    // waiting for it have no endpoint.
    virtual void OnLookupFinished(uint32_t request_id) = 0;
    // A PUNCH addressed to this node arrived from this source.
    virtual void OnPunch(const QUPunch& punch, uint32_t from_address, uint16_t from_port) = 0;
    // Every 40 ms, every 20 ms and every 3 s or so, in the order the server
    // runs them.
    virtual void RetransmissionPass() = 0;
    virtual void AcknowledgementPass() = 0;
    virtual void MaintenancePass() = 0;
    // QUCleanup: every stream record is dropped.
    virtual void DropAll() = 0;
};

}  // namespace engine
