#include "engine/frame/EngineApiHooks.h"

#include <mutex>

#include "engine/frame/EngineApiInternal.h"

namespace engine {

namespace {
std::mutex g_hooks_lock;
MessageHandler g_message_handler;
DeviceCodeProvider g_device_code_provider;
SocketStartup g_socket_startup;
std::function<void()> g_udp_shutdown;
bool g_device_code_known = false;
std::string g_device_code;
}  // namespace

void SetMessageHandler(MessageHandler handler) {
    std::lock_guard<std::mutex> lock(g_hooks_lock);
    g_message_handler = std::move(handler);
}

void SetDeviceCodeProvider(DeviceCodeProvider provider) {
    std::lock_guard<std::mutex> lock(g_hooks_lock);
    g_device_code_provider = std::move(provider);
    g_device_code_known = false;
    g_device_code.clear();
}

void SetSocketStartup(SocketStartup startup) {
    std::lock_guard<std::mutex> lock(g_hooks_lock);
    g_socket_startup = std::move(startup);
}

void SetUdpServerShutdown(std::function<void()> shutdown) {
    std::lock_guard<std::mutex> lock(g_hooks_lock);
    g_udp_shutdown = std::move(shutdown);
}

MessageHandler CurrentMessageHandler() {
    std::lock_guard<std::mutex> lock(g_hooks_lock);
    return g_message_handler;
}

std::string DeviceCode() {
    DeviceCodeProvider provider;
    {
        std::lock_guard<std::mutex> lock(g_hooks_lock);
        if (g_device_code_known) return g_device_code;
        provider = g_device_code_provider;
    }
    if (!provider) return {};
    std::string code = provider();
    std::lock_guard<std::mutex> lock(g_hooks_lock);
    g_device_code = code;
    g_device_code_known = true;
    return g_device_code;
}

bool StartSocketLibrary(uint16_t* version) {
    SocketStartup startup;
    {
        std::lock_guard<std::mutex> lock(g_hooks_lock);
        startup = g_socket_startup;
    }
    if (!startup) {
        *version = 0x0002;
        return true;
    }
    return startup(version);
}

std::function<void()> CurrentUdpServerShutdown() {
    std::lock_guard<std::mutex> lock(g_hooks_lock);
    return g_udp_shutdown;
}

}  // namespace engine
