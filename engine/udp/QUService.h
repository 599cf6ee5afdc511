#pragma once
// The process's one UDP server, created on first use and destroyed by
// QUShutdown. The engine starts it with its first task (QUStartup), tells it
// where the TCP listener is (QUSetLocalAddress), empties it with its last
// task (QUCleanup) and stops it at engine shutdown (QUShutdown).
//
// Thread-safe: a process-wide mutex guards the instance pointer and is held
// while an operation runs on the instance (it is taken before the server
// lock, never inside it).

#include <cstdint>

#include "engine/udp/QUConfig.h"

namespace engine {

class QUInternalServer;

// The seams a server created from now on uses (the installer sets the
// packet-pool hooks; tests a clock or socket).
void QUSetEnvironment(QUEnvironment environment);

int32_t QUStartup(const QUConfig& config);
void QUSetLocalAddress(uint32_t address, int32_t port);
// False while no server exists.
bool QUIsBehindNat();
void QUCleanup();
// Stops the thread, waits for it and destroys the server.
void QUShutdown();
void QUSetTransportStopped(bool stopped);
// This host's address as the server knows it (0 before it runs).
uint32_t QULocalAddress();

// The instance for the stream layer, or null when none exists. Valid until
// QUShutdown, which the engine calls only after every stream user is gone.
QUInternalServer* QUServer();

}  // namespace engine
