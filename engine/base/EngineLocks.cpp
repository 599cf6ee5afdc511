#include "engine/base/EngineLocks.h"

namespace engine {

QTMutex& EngineApiMutex() {
    static QTMutex mutex;
    return mutex;
}

QTMutex& WorkListMutex() {
    static QTMutex mutex;
    return mutex;
}

QTMutex& SocketMutex() {
    static QTMutex mutex;
    return mutex;
}

QTMutex& StorageMutex() {
    static QTMutex mutex;
    return mutex;
}

}  // namespace engine
