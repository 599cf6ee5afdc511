#include "engine/pieces/TDiskLock.h"

namespace engine {

std::recursive_mutex& TDiskLock::Mutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

}  // namespace engine
