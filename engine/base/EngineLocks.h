#pragma once
// The engine's process-wide locks, constructed on first use and destroyed at
// process exit. Order, outermost first: EngineApiMutex -> WorkListMutex -> a
// task's own lock -> SocketMutex / StorageMutex (innermost).

#include "engine/base/QTMutex.h"

namespace engine {

// Every call of the flat interface.
QTMutex& EngineApiMutex();
// The WorkList, known info hashes, pending incoming connections, the shared
// network services and the creation of the time thread.
QTMutex& WorkListMutex();
// The TCP socket layer.
QTMutex& SocketMutex();
// Piece storage and file access.
QTMutex& StorageMutex();

}  // namespace engine
