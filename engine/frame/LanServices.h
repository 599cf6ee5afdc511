#pragma once
// Installs LAN peer discovery into the shared services: the multicast
// membership is joined by the shared-services check on the TCP listener's
// interface and left with the other services. Called once where the engine
// starts (EngineInitialize); calling it again changes nothing.

namespace engine {

void InstallLanDiscovery();

}  // namespace engine
