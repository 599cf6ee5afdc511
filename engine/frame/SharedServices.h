#pragma once
// The services all tasks of the process share: the TCP listener on the
// listen port, the list of accepted connections no task has claimed yet
// (each with its age and buffered input), the reachable flag and the
// transport-stopped flag of the UDP server. Every task's work thread runs
// DispatchIncoming every 400 ms, which accepts connections, offers each to
// the task whose handshake it carries and ends with CheckSharedServices.
//
// The UDP services (the UDP server with its rendezvous client, the
// UDP-stream listener, the LAN multicast membership) plug into the seams of
// SharedServiceSeams below; each installer fills in its own fields
// (engine/frame/UdpServices.h).
//
// Owner: process-wide. Threads: the tasks' work threads and the threads that
// create and destroy tasks. Lock: everything under the WorkListMutex; a
// task's own lock is taken inside it only by the task's OfferIncoming.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace engine {

class QTcpSocket;
class TBaseWork;
class TWorkWithPeers;

// The UDP layer's part of the services. Each is optional.
struct SharedServiceSeams {
    // The machine's IPv4 address as the UDP server sees it (0: unknown).
    std::function<uint32_t()> udp_local_address;
    // Tells the UDP server where the TCP listener is.
    std::function<void(uint32_t address, int32_t port)> set_local_address;
    // Opens the UDP-stream listener (false: not available); closes it.
    std::function<bool(uint32_t address, int32_t port)> open_stream_listener;
    std::function<void()> close_stream_listener;
    // Accepts one waiting UDP stream, or null.
    std::function<std::unique_ptr<QTcpSocket>()> accept_stream;
    // Joins the LAN discovery group once per process (false: failed). Asked
    // at every check: it returns at once while joined, and joins again after
    // a socket error closed the membership.
    std::function<bool()> join_lan_group;
    std::function<void()> leave_lan_group;
    // Follows the transport-stopped flag: cleared for the first task, set
    // after the last and when TCP turned out to be reachable from outside.
    std::function<void(bool stopped)> set_transport_stopped;
    // A task leaves the process (UnregisterWork).
    std::function<void(const TBaseWork* task)> forget_task;
};
void SetSharedServiceSeams(SharedServiceSeams seams);
// Lets one installer fill in its own seams and leave the others as they are.
void EditSharedServiceSeams(const std::function<void(SharedServiceSeams&)>& edit);

// Called by RegisterWork for the first task and UnregisterWork for the last.
void StartSharedServicesForFirstTask();
void StopSharedServicesForLastTask();

// Accepts up to 11 connections, offers the pending ones to `task`, drops the
// stale ones, then CheckSharedServices(task).
void DispatchIncoming(TWorkWithPeers& task);
// Opens the listener when P2P is on (closes it when off) and keeps the task's
// listen text; false when the listener cannot be opened.
bool CheckSharedServices(TWorkWithPeers& task);
// Closes the listener (and, with `close_pending`, the pending connections).
void StopSharedServices(bool close_pending);

// The process-wide table of info hashes the tasks serve: a handshake for a
// hash nobody registered is dropped at once. An all-zero hash is ignored.
void RegisterInfoHash(const TWorkWithPeers& task, const std::array<uint8_t, 20>& info_hash);
void UnregisterInfoHash(const TWorkWithPeers& task);
// "address : port" of the listener as the task last saw it, or
// "Service Disabled!" while P2P is off.
std::string TaskListenText(const TWorkWithPeers& task);
// Drops what the services remember of a task (UnregisterWork).
void ForgetSharedTask(const TBaseWork* task);

// The address the listener binds to; 0 (the default) means the machine's own
// address. Tests and the local tools set a loopback address.
void SetListenAddressOverride(uint32_t address);
// The listener's address and port while it is open, else 0.
uint32_t ListenerAddress();
int32_t ListenerPort();
size_t PendingConnectionCount();
// Set when a TCP connection came from outside the listener's /24 network.
bool IsReachableFromOutside();
bool IsTransportStopped();

}  // namespace engine
