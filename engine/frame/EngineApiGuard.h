#pragma once
// The one place where the flat interface stops exceptions: every exported
// call runs its body through GuardedCall (or LockedCall, which also holds the
// EngineApiMutex for the whole body). Nothing is thrown across the interface.

#include <cstdint>

#include "engine/base/EngineLocks.h"

namespace engine {

template <class Result, class Body>
Result GuardedCall(Result on_exception, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return on_exception;
    }
}

// The lock is held by an RAII guard inside the try block, so an exception
// releases it before the failure code is returned.
template <class Result, class Body>
Result LockedCall(Result on_exception, Body&& body) noexcept {
    return GuardedCall(on_exception, [&]() -> Result {
        QTMutexLocker lock(EngineApiMutex());
        return body();
    });
}

}  // namespace engine
