// Resource-list XML from the web host: parsing and applying it to a recording
// engine must never crash, hang or read out of bounds.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/ResourceList.h"

namespace {

class NullEngine : public app::IEngineCalls {
public:
    int32_t EngineInitialize(const std::string&) override { return 0; }
    int32_t EngineShutdown() override { return 0; }
    int32_t CreateAndStartTask(app::TaskRequest&) override { return 0; }
    int32_t RecoverAndContinueTask(app::TaskRequest&, bool) override { return 0; }
    int32_t StartTask(app::TaskHandle) override { return 0; }
    int32_t StopTask(app::TaskHandle, bool) override { return 0; }
    int32_t StopTasks(const std::vector<app::TaskHandle>&, bool) override { return 0; }
    int32_t QueryTaskStatus(app::TaskHandle, app::TaskStatusInfo*) override { return 0; }
    int32_t IsTaskComplete(app::TaskHandle, bool*) override { return 0; }
    int32_t SetTaskSpeedLimit(app::TaskHandle, int32_t, int32_t) override { return 0; }
    int32_t SetTaskConnectionLimits(app::TaskHandle, int32_t, int32_t) override { return 0; }
    int32_t ClearTaskIpSources(app::TaskHandle) override { return 0; }
    int32_t AddTaskIpSources(app::TaskHandle, const std::string&, const std::string&) override { return 0; }
    int32_t SetListenPort(uint16_t) override { return 0; }
    int32_t SetRendezvousServer(const std::string&, int32_t) override { return 0; }
    int32_t SetP2PEnabled(bool) override { return 0; }
    void SetHttpHandshakePrefix(bool) override {}
    int64_t GetDiskFreeBytes(const std::string&) override { return 0; }
    int64_t GetFileAllocatedSize(const std::string&) override { return 0; }
    int32_t ShowMessageBoxAsync(const std::string&, const std::string&) override { return 1; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view xml(reinterpret_cast<const char*>(data), size);
    app::ResourceListPlan plan = app::ParseResourceList(xml);
    (void)app::IsWebPageUrl(plan.expire_url);
    NullEngine engine;
    app::ResourceListTarget target;
    target.download_urls = {"http://h/0", "http://h/1", "http://h/2", "http://h/3"};
    target.is_file_complete = [](int i) { return i == 0; };
    app::ApplyResourceListBody(xml, engine, target);
    return 0;
}
