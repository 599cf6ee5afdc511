#pragma once
// The statistics component's interface and its factory. The engine's uploader
// thread (DataUpload) is the only user: it names the configuration file, adds
// queued events to the batch and submits the batch once a second. Texts are
// UTF-8. Every operation catches whatever goes wrong inside it and answers
// with a result code; nothing is thrown to the caller.

#include <cstdint>
#include <string>

namespace engine {

// Result codes of the operations.
enum StatsResult : int32_t {
    StatsNothingSent = 0,      // nothing to send, or no server accepted the batch
    StatsOk = 1,
    StatsMissingInputKey = 11, // an event text lacks a member the configuration requires
    StatsMissingSubmitKey = 13,
    StatsException = 16,
    StatsBatchFull = 18,       // more than 20 events since the last submission
    StatsNoConfig = 20,        // the configuration file does not exist
    StatsBodyFailed = 21,      // the batch body could not be built
};

class IDataStatisticsUser {
public:
    virtual ~IDataStatisticsUser() = default;

    // An empty path means "Serverlist.ini" in the current folder.
    virtual void SetConfigPath(const std::string& path) = 0;
    virtual void SetSessionId(const std::string& session_id) = 0;
    // Adds (code, JSON members text, kind) to the batch. Null pointers give 0.
    virtual int32_t AddEvent(const char* code, const char* text, int32_t kind) = 0;
    // Posts the batch to the configured servers in turn and empties it.
    virtual int32_t SubmitEventDownloadSeveral() = 0;
    // The device code "0x<8 hex>, 0x<8 hex>" into `buffer` of `*size` bytes,
    // terminator included: 1 when copied, 0 when the machine id is too short;
    // when the buffer is too small, the code's length is returned and
    // `*size` is set to the bytes needed.
    virtual int32_t GetDeviceCode(char* buffer, uint32_t* size) = 0;
};

// The component's interface identifier.
inline constexpr const char* DataStatisticsUserIid = "{91095A15-3C46-43b5-BA5F-462064037E59}";

// Stores a new component in `*out` when `iid` names the statistics interface
// (compared without regard to case); otherwise leaves `*out` unchanged.
// Always returns 0. The caller owns the object.
int32_t CreateStatisticsObject(const char* iid, IDataStatisticsUser** out);

}  // namespace engine
