#include "engine/base/QBaseMutex.h"

namespace engine {

QBaseMutex::~QBaseMutex() = default;

}  // namespace engine
