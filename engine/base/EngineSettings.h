#pragma once
// Process-wide switches set through the flat interface and read by the task
// threads and the network layers. Atomics: any thread may read or write.

#include <cstdint>
#include <string>

namespace engine {

bool IsP2PEnabled();
void SetP2PEnabledFlag(bool enabled);
// The TCP listen port; 8080 when set to 0.
uint16_t ListenPort();
void SetListenPortValue(uint16_t port);
bool IsHttpHandshakePrefixEnabled();
void SetHttpHandshakePrefixFlag(bool enabled);
// The rendezvous server the UDP server talks to: host name (at most 127
// characters) and UDP port (82 unless set). Without a host the UDP server
// does not start.
std::string RendezvousHost();
int32_t RendezvousPort();
void SetRendezvousServerValue(const std::string& host, int32_t port);

// Whether the UDP transport stops once a TCP connection arrived from outside
// the listener's /24 network (the node is then reachable directly). On
// unless switched off.
bool IsUdpStopWhenReachable();
void SetUdpStopWhenReachableFlag(bool enabled);

// The work folder given at initialisation (at most 4095 characters).
std::string WorkFolder();
void SetWorkFolder(const std::string& folder);

}  // namespace engine
