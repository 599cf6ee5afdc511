#pragma once
// The rendezvous server's protocol side, without a socket: each received
// datagram goes in with its source and the time, the datagrams to send come
// out. Nodes learn their public endpoint (PING -> PING_REPLY), register it
// (REGISTER, answered by a PING_REPLY so the node knows it is known) and
// look other nodes up (LOOKUP -> LOOKUP_REPLY, plus a CALL_ME to every
// target found so both sides punch their NATs open).
//
// It can hardly be used to amplify traffic: no answer to an unregistered
// source is larger than the datagram it answers, a node registered at the
// source it asks from gets at most both entries of each placeholder it
// asked for, CALL_MEs go only to registered nodes on behalf of such an
// asker, and each source address has a budget of them per minute. What one source address may store is
// bounded too, and registrations expire.
//
// Owner: the tidewell-rendezvous program (and tests). One thread.

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "engine/udp/RendezvousCodec.h"

namespace rendezvous {

struct Datagram {
    std::vector<uint8_t> bytes;
    uint32_t address = 0;  // network order
    uint16_t port = 0;     // host order
};

struct Limits {
    // Nodes one public address (one NAT) may keep registered at once; a new
    // one beyond this replaces that address's registration closest to expiry.
    size_t per_source = 16;
    // Registrations in all; a new node beyond this is not stored.
    size_t total = 65536;
    // Nodes register every 300 s; two missed periods and they are gone.
    int64_t expiry_s = 600;
    // CALL_MEs sent on behalf of one source address per minute.
    uint32_t calls_per_minute = 120;
};

class RendezvousService {
public:
    explicit RendezvousService(Limits limits = {});

    std::vector<Datagram> Handle(const uint8_t* data, size_t size, uint32_t from_address, uint16_t from_port,
                                 int64_t now_s);
    size_t RegistrationCount() const { return m_nodes.size(); }
    size_t RegistrationsFrom(uint32_t address) const;

private:
    struct Node {
        engine::QUIdentity identity{};
        uint32_t public_address = 0;
        uint16_t public_port = 0;
        uint32_t local_address = 0;
        uint32_t local_port = 0;
        int64_t expires_s = 0;
    };
    struct CallBudget {
        int64_t window_start_s = 0;
        uint32_t used = 0;
    };

    void Expire(int64_t now_s);
    void Register(const engine::QURequestHead& head, uint32_t from_address, uint16_t from_port, int64_t now_s);
    void Forget(std::map<engine::QUNodeId, Node>::iterator it);
    void MakeRoomFor(uint32_t from_address);
    std::vector<Datagram> Lookup(const engine::QURendezvousRequest& request, uint32_t from_address,
                                 uint16_t from_port, size_t size, int64_t now_s);
    const Node* FindPlaceholder(const engine::QUNodeId& placeholder) const;
    bool SpendCall(uint32_t from_address, int64_t now_s);

    Limits m_limits;
    std::map<engine::QUNodeId, Node> m_nodes;
    std::map<uint32_t, size_t> m_per_source;
    std::map<uint32_t, CallBudget> m_budgets;
    int64_t m_last_sweep_s = 0;
};

}  // namespace rendezvous
