#pragma once
// Helpers shared by the files of the flat interface.

#include <cstdint>
#include <functional>
#include <string>

#include "engine/frame/EngineApi.h"
#include "engine/frame/EngineApiHooks.h"

namespace engine {

class TWorkThread;

MessageHandler CurrentMessageHandler();
// The device code, asked of the provider once and kept.
std::string DeviceCode();
bool StartSocketLibrary(uint16_t* version);
std::function<void()> CurrentUdpServerShutdown();

// The live task a handle names, or null; the handle is never followed before
// the WorkList has confirmed it.
TWorkThread* FindTask(TaskHandle handle);
TaskHandle HandleOf(TWorkThread* task);

}  // namespace engine
