#pragma once
// What the flat interface needs from outside the engine frame, installed by
// the front end or by later layers (and by tests). Thread-safe setters.

#include <cstdint>
#include <functional>
#include <string>

namespace engine {

// Shows one message to the user; runs on a short-lived worker thread and may
// take as long as the user does.
using MessageHandler =
    std::function<void(void* owner, const std::string& text, const std::string& caption, uint32_t type)>;
void SetMessageHandler(MessageHandler handler);

// The statistics component's device code, appended to every message box
// text when non-empty; asked once per process.
using DeviceCodeProvider = std::function<std::string()>;
void SetDeviceCodeProvider(DeviceCodeProvider provider);

// Starts the socket library: true and the version word (low byte the major
// version) on success. BSD sockets need no start-up, so the default reports
// version 2.0; tests install a failing one to reach -102.
using SocketStartup = std::function<bool(uint16_t* version)>;
void SetSocketStartup(SocketStartup startup);

// Stops the UDP server at engine shutdown (installed by the UDP layer).
void SetUdpServerShutdown(std::function<void()> shutdown);

}  // namespace engine
