#pragma once
// Peer discovery on the local network by IP multicast. One process-wide
// datagram socket, bound to UDP port 31576 and joined to an
// organisation-local group (TTL 1: the datagrams never pass a router),
// carries every task's announcement and the answers to it. Each task's work
// thread runs its step about every 10 seconds: the first step announces the
// task, later ones read what arrived, answer announcements for its own info
// hash and hand the senders back as peers. Messages for another info hash
// wait in a pending list until the task that serves it has looked.
//
// Owner: process-wide. Threads: the tasks' work threads (the step) and the
// shared-services check (join, leave). Lock: the socket, the pending list and
// the table of own peer ids are guarded by the WorkListMutex, which every
// function here takes itself.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/udp/LanMessage.h"

namespace engine {

inline constexpr uint16_t LanDiscoveryPort = 31576;
// The group every node joins: 239.192.0.0/14 is the organisation-local
// scope (RFC 2365), meant for exactly this kind of site-internal use.
uint32_t DefaultLanGroup();

// The group and port in use, and whether a loopback listener may join. A
// listener on a loopback address reaches nobody on the LAN, so by default
// discovery stays off for it; tests that run discovery on loopback allow it
// and pick their own group and port so parallel test processes never meet.
struct LanEndpointSettings {
    uint32_t group = 0;  // 0: DefaultLanGroup()
    uint16_t port = LanDiscoveryPort;
    bool allow_loopback = false;
};
void SetLanEndpointSettings(const LanEndpointSettings& settings);
LanEndpointSettings CurrentLanEndpointSettings();

// Creates the socket and joins the group on the interface of
// `interface_address` (0: the routing table's choice) unless joined already.
// False (and nothing open) when any step fails.
bool JoinLanGroup(uint32_t interface_address);
void LeaveLanGroup();
bool IsLanJoined();
// Empties the pending list (a task resets its run).
void ClearLanPending();
size_t LanPendingCount();
// Forgets a task's peer id (the task is gone).
void ForgetLanTask(const void* task);

// What a task tells its step about itself.
struct LanTaskIdentity {
    const void* task = nullptr;
    std::array<uint8_t, 20> info_hash{};
    std::array<uint8_t, 20> peer_id{};
    uint32_t address = 0;  // its TCP listener, network order
    uint16_t port = 0;
};

// A task's own discovery state (its work thread).
struct LanTaskState {
    // The membership the announcement went out on; 0: not announced. A new
    // membership (after a socket error) makes the task announce again.
    uint64_t announced_on = 0;
};

// One discovery step of a task: announces it (twice) or reads the waiting
// datagrams and walks the pending list. Returns the senders to add as peers;
// announcements among them have been answered already. `task_count` is the
// number of live tasks: a pending message all of them have seen is dropped.
std::vector<LanMessage> LanDiscoveryStep(const LanTaskIdentity& self, LanTaskState& state, size_t task_count);

}  // namespace engine
