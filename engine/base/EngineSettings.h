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
// The work folder given at initialisation (at most 4095 characters).
std::string WorkFolder();
void SetWorkFolder(const std::string& folder);

}  // namespace engine
