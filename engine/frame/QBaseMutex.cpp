#include "engine/frame/QBaseMutex.h"

namespace engine {

QBaseMutex::~QBaseMutex() = default;

}  // namespace engine
