#pragma once
// The statistics component: collects events (a code and a text of JSON
// members) into a batch, wraps each with the machine's identity (DeviceInfo)
// and posts the batch as form data to the collection servers named in the
// configuration file, trying each address in turn until one accepts it.
//
// One instance per process, created by CreateStatisticsObject and owned by the
// engine. AddEvent and SubmitEventDownloadSeveral take m_lock, so a batch is
// never interleaved; the uploader thread is their only caller in the program.
// The setters do not lock: they are called before the uploader starts.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "stats/IDataStatisticsUser.h"

namespace engine {

class DeviceInfo;
class JsonValue;
struct StatsConfig;

class CDataStatisticsImp final : public IDataStatisticsUser {
public:
    // More events than this between two submissions are refused.
    static constexpr uint32_t BatchLimit = 20;
    // Each server attempt gives up after this many seconds, connecting and in
    // total, so a dead server delays the uploader by at most this much.
    static constexpr long PostTimeoutSeconds = 6;

    explicit CDataStatisticsImp(DeviceInfo& device);
    CDataStatisticsImp();

    void SetConfigPath(const std::string& path) override;
    void SetSessionId(const std::string& session_id) override;
    int32_t AddEvent(const char* code, const char* text, int32_t kind) override;
    int32_t SubmitEventDownloadSeveral() override;
    int32_t GetDeviceCode(char* buffer, uint32_t* size) override;

    // Whether a server's reply accepts the batch.
    static bool IsAcceptedReply(const std::string& reply);
    // "{" + the identity's members + `text` + "}", or "" when a submit key is missing.
    std::string WrapEvent(const std::string& text, int32_t kind, bool with_sequence,
                          const std::vector<std::string>& submit_keys);
    // The form body of the current batch (increments the sequence per event).
    std::string BuildBatchBody(const std::vector<std::string>& submit_keys);

private:
    std::string ConfigPath() const;
    bool ReadConfig(const std::string& url_section, StatsConfig* config) const;
    JsonValue IdentityObject(int32_t kind, bool with_sequence);
    bool PostToServers(const std::vector<std::string>& urls, const std::string& body) const;
    void ClearBatch();
    int32_t AddEventLocked(const char* code, const char* text, int32_t kind);
    int32_t SubmitLocked();

    DeviceInfo& m_device;
    std::string m_config_path;
    std::string m_session_id;

    std::mutex m_lock;  // guards everything below
    uint64_t m_sequence = 0;
    std::vector<std::string> m_codes;
    std::vector<std::string> m_texts;
    std::vector<int32_t> m_kinds;
    uint32_t m_batch_count = 0;
};

}  // namespace engine
