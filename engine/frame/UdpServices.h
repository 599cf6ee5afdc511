#pragma once
// Wires the UDP services into the shared task services: each service adds
// its own start and stop hooks (WorkList.h) and fills in its own seams
// (SharedServices.h), so the services sit beside each other and none
// replaces another. Called once by EngineInitialize; later calls do nothing.

namespace engine {

void InstallUdpServices();

}  // namespace engine
