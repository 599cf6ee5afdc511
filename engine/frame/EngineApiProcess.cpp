// The process-wide calls of the flat interface: initialisation and shutdown,
// the switches, the disk questions and the asynchronous message box.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "engine/base/CTidewellLog.h"
#include "engine/frame/EngineApi.h"
#include "engine/frame/EngineApiGuard.h"
#include "engine/frame/EngineApiInternal.h"
#include "engine/frame/LanServices.h"
#include "engine/base/EngineClock.h"
#include "engine/base/EngineDiskInfo.h"
#include "engine/base/EngineSettings.h"
#include "engine/frame/TWorkThread.h"
#include "engine/frame/UdpServices.h"
#include "engine/frame/WorkList.h"

namespace engine {

namespace {

std::atomic<bool> g_initialised{false};

// The caller of ShowMessageBoxAsync waits at most this long for the worker.
constexpr auto MessageHandOverLimit = std::chrono::milliseconds(2000);

struct MessageHandOver {
    std::mutex lock;
    std::condition_variable taken_cv;
    bool taken = false;
};

void ShowMessageOnWorker(std::shared_ptr<MessageHandOver> hand_over, void* owner, std::string text,
                         std::string caption, uint32_t type) {
    {
        std::lock_guard<std::mutex> lock(hand_over->lock);
        hand_over->taken = true;
    }
    hand_over->taken_cv.notify_all();
    std::string code = DeviceCode();
    if (!code.empty()) text += "\n（" + code + "）";
    if (MessageHandler handler = CurrentMessageHandler()) handler(owner, text, caption, type);
}

}  // namespace

}  // namespace engine

using engine::GuardedCall;
using engine::LockedCall;

extern "C" {

int32_t EngineInitialize(const char* work_folder) {
    return LockedCall<int32_t>(TW_TASK_FAILED, [&]() -> int32_t {
        if (engine::g_initialised.load()) return TW_OK;
        uint16_t version = 0;
        if (!engine::StartSocketLibrary(&version) || (version & 0xFF) != 2) return TW_NO_SOCKETS;
        if (work_folder) engine::SetWorkFolder(work_folder);
        engine::InstallUdpServices();
        engine::InstallLanDiscovery();
        engine::g_initialised.store(true);
        return TW_OK;
    });
}

int32_t EngineShutdown(void) {
    return LockedCall<int32_t>(TW_TASK_FAILED, []() -> int32_t {
        if (!engine::g_initialised.load()) return TW_OK;
        // Each destructor stops its thread and leaves the WorkList; the last
        // one stops the shared services.
        for (engine::TBaseWork* task : engine::WorkListSnapshot()) delete static_cast<engine::TWorkThread*>(task);
        if (std::function<void()> udp_shutdown = engine::CurrentUdpServerShutdown()) {
            udp_shutdown();
            engine::LogLine("UDPServer Thread Stopped.. ", 22);
        }
        engine::StopTimeThread();
        engine::g_initialised.store(false);
        return TW_OK;
    });
}

int32_t SetListenPort(int32_t port) {
    engine::SetListenPortValue(static_cast<uint16_t>(port));
    return TW_OK;
}

int32_t SetP2PEnabled(int32_t enabled) {
    engine::SetP2PEnabledFlag(enabled != 0);
    return TW_OK;
}

int32_t SetRendezvousServer(const char* host, int32_t port) {
    return GuardedCall<int32_t>(TW_TASK_FAILED, [&]() -> int32_t {
        if (!host || port < 1 || port > 65535) return TW_BAD_ARGUMENT;
        engine::SetRendezvousServerValue(host, port);
        return TW_OK;
    });
}

void SetHttpHandshakePrefix(int32_t enabled) { engine::SetHttpHandshakePrefixFlag(enabled != 0); }

int64_t GetDiskFreeBytes(const char* path) {
    return GuardedCall<int64_t>(0, [&]() -> int64_t { return path ? engine::DiskFreeBytes(path) : 0; });
}

int64_t GetFileAllocatedSize(const char* path) {
    return GuardedCall<int64_t>(-1, [&]() -> int64_t { return path ? engine::FileAllocatedSize(path) : -1; });
}

int32_t ShowMessageBoxAsync(void* owner, const char* text, const char* caption, uint32_t type) {
    return GuardedCall<int32_t>(0, [&]() -> int32_t {
        // The texts are copied before the worker starts: the caller may
        // return (and free them) after 2 s while the worker still runs.
        auto hand_over = std::make_shared<engine::MessageHandOver>();
        std::thread worker(engine::ShowMessageOnWorker, hand_over, owner, std::string(text ? text : ""),
                           std::string(caption ? caption : ""), type);
        worker.detach();
        std::unique_lock<std::mutex> lock(hand_over->lock);
        bool taken = hand_over->taken_cv.wait_for(lock, engine::MessageHandOverLimit, [&] { return hand_over->taken; });
        return taken ? 1 : 0;
    });
}

}  // extern "C"
