#include "stats/DataUploadApi.h"

#include <mutex>
#include <new>

#include "engine/base/CTidewellLog.h"
#include "stats/DataUpload.h"
#include "stats/IDataStatisticsUser.h"
#include "stats/StatsEventText.h"

namespace engine {

namespace {

constexpr int32_t ApiOk = 0;
constexpr int32_t ApiNothingDone = -1;
constexpr int32_t ApiCaughtException = -107;
constexpr int32_t UploadLogLevel = 28;
// Size of the buffer the device code is fetched into.
constexpr uint32_t DeviceCodeBufferSize = 4096;

// Process-wide uploader state. The component lives until the process ends; the
// uploader is declared after it, so at exit it is stopped before the component
// it uses is destroyed.
struct UploadGlobals {
    std::mutex lock;  // guards the three members below
    std::unique_ptr<IDataStatisticsUser> component;
    std::string device_code;
    std::shared_ptr<DataUpload> uploader;
    std::function<void(DataUpload&)> interval_wait;

    std::mutex previous_lock;  // reports may come from any thread
    StatsPrevious previous;

    ~UploadGlobals() {
        std::shared_ptr<DataUpload> last;
        {
            std::lock_guard<std::mutex> guard(lock);
            last.swap(uploader);
        }
        if (last) last->Stop();
    }
};

UploadGlobals& Globals() {
    static UploadGlobals globals;
    return globals;
}

std::string Text(const char* text) { return text ? std::string(text) : std::string(); }

template <typename Body>
int32_t Guarded(Body body) {
    try {
        return body();
    } catch (...) {
        return ApiCaughtException;
    }
}

IDataStatisticsUser* EnsureComponentLocked(UploadGlobals& g) {
    if (!g.component) {
        IDataStatisticsUser* created = nullptr;
        CreateStatisticsObject(DataStatisticsUserIid, &created);
        g.component.reset(created);
    }
    return g.component.get();
}

int32_t StopAndForget() {
    std::shared_ptr<DataUpload> old;
    {
        std::lock_guard<std::mutex> guard(Globals().lock);
        old.swap(Globals().uploader);
    }
    if (!old) return ApiNothingDone;
    old->Stop();
    return ApiOk;
}

}  // namespace

std::string StatsDeviceCode() {
    std::lock_guard<std::mutex> guard(Globals().lock);
    return Globals().device_code;
}

std::shared_ptr<DataUpload> CurrentDataUpload() {
    std::lock_guard<std::mutex> guard(Globals().lock);
    return Globals().uploader;
}

void SetDataUploadIntervalWait(std::function<void(DataUpload&)> wait) {
    std::lock_guard<std::mutex> guard(Globals().lock);
    Globals().interval_wait = std::move(wait);
}

void ResetStatsDifferences() {
    std::lock_guard<std::mutex> guard(Globals().previous_lock);
    Globals().previous = StatsPrevious{};
}

}  // namespace engine

using namespace engine;

extern "C" int32_t StartDataUpload(const char* config_path, const char* game_id, const char* app_version,
                                   const char* game_version, const char* channel) {
    return Guarded([&] {
        StopAndForget();
        UploadGlobals& g = Globals();
        std::shared_ptr<DataUpload> uploader;
        {
            std::lock_guard<std::mutex> guard(g.lock);
            uploader = std::make_shared<DataUpload>(EnsureComponentLocked(g));
            if (g.interval_wait) uploader->SetIntervalWait(g.interval_wait);
        }
        uploader->Configure(config_path, game_id, app_version, game_version, channel);
        if (!uploader->Start("CollectDataUpload")) return ApiNothingDone;

        std::string code;
        if (IDataStatisticsUser* component = uploader->HasComponent() ? g.component.get() : nullptr) {
            std::string buffer(DeviceCodeBufferSize, '\0');
            uint32_t size = DeviceCodeBufferSize;
            if (component->GetDeviceCode(buffer.data(), &size) == 1) code = buffer.c_str();
        }
        std::lock_guard<std::mutex> guard(g.lock);
        g.uploader = uploader;
        g.device_code = code;
        return ApiOk;
    });
}

extern "C" int32_t ReportStatsEvent(const char* code, const char* server_ip, const char* http_result,
                                    uint32_t total_seconds, int64_t total_bytes, int64_t average_speed,
                                    const char* progress, int64_t web_bytes, int64_t web_speed, int64_t peer_bytes,
                                    int64_t peer_speed, int32_t corrupt_package_id, const char* file_name,
                                    const char* url, const char* error_message, int32_t kind) {
    return Guarded([&] {
        std::shared_ptr<DataUpload> uploader = CurrentDataUpload();
        if (!uploader || !uploader->IsRunning()) return ApiNothingDone;
        LogLine("ReportStatsEvent CODE : (" + Text(code) + ")", UploadLogLevel);

        StatsReport report;
        report.server_ip = Text(server_ip);
        report.http_result = Text(http_result);
        report.total_seconds = total_seconds;
        report.total_bytes = total_bytes;
        report.average_speed = average_speed;
        report.progress = Text(progress);
        report.web_bytes = web_bytes;
        report.web_speed = web_speed;
        report.peer_bytes = peer_bytes;
        report.peer_speed = peer_speed;
        report.corrupt_package_id = corrupt_package_id;
        report.file_name = Text(file_name);
        report.url = Text(url);
        report.error_message = Text(error_message);
        const StatsReporter who{uploader->GameId(), uploader->AppVersion(), uploader->GameVersion(),
                                uploader->Channel()};
        DataUpload::EventRecord record;
        record.code = Text(code);
        record.kind = kind;
        {
            std::lock_guard<std::mutex> guard(Globals().previous_lock);
            record.text = FormatStatsEventText(report, who, &Globals().previous);
        }
        return uploader->Queue(std::move(record)) ? ApiOk : ApiNothingDone;
    });
}

extern "C" int32_t ReportEvent(const char* code, const char* text, int32_t kind) {
    return ReportStatsEvent(code, "", "", 0, 0, 0, "", 0, 0, 0, 0, 0, "", "", text, kind);
}

extern "C" int32_t ReportFileEvent(const char* code, const char* file_name, const char* text) {
    return ReportStatsEvent(code, "", "", 0, 0, 0, "", 0, 0, 0, 0, 0, file_name, "", text, 0);
}

extern "C" int32_t StopDataUpload(void) {
    return Guarded([] { return StopAndForget(); });
}
