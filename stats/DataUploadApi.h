#pragma once
// The engine calls that report statistics events, part of the engine's flat
// call interface. Reports never block: they format the event text on the
// caller's thread and queue it for the uploader thread, which sends at most
// one batch per second. A report made while the uploader is not running is
// dropped. Text arguments are UTF-8; a null pointer counts as empty.
//
// Results: 0 done (started, queued, stopped), -1 nothing done (the uploader
// is not running or not ready, or the thread could not start), -107 an
// internal failure was caught.

#include <stdint.h>

#ifdef __cplusplus
#include <functional>
#include <memory>
#include <string>
extern "C" {
#endif

// Creates the uploader (replacing a previous one), gives the configuration
// path to the statistics component, stores the four texts (only when all four
// are given) and starts the thread "CollectDataUpload". Also fetches the
// device code shown in message boxes.
int32_t StartDataUpload(const char* config_path, const char* game_id, const char* app_version,
                        const char* game_version, const char* channel);

// The full report. `kind` bits 0, 1 and 2 add the processor, memory and
// video-card entries to the event's identity.
int32_t ReportStatsEvent(const char* code, const char* server_ip, const char* http_result, uint32_t total_seconds,
                         int64_t total_bytes, int64_t average_speed, const char* progress, int64_t web_bytes,
                         int64_t web_speed, int64_t peer_bytes, int64_t peer_speed, int32_t corrupt_package_id,
                         const char* file_name, const char* url, const char* error_message, int32_t kind);

// ReportStatsEvent with `text` as the error message, every number 0 and every
// other text empty.
int32_t ReportEvent(const char* code, const char* text, int32_t kind);

// ReportStatsEvent with the file name and `text` as the error message, kind 0.
int32_t ReportFileEvent(const char* code, const char* file_name, const char* text);

// Stops the uploader thread (events not yet handed over are not sent) and
// deletes it. Waits at most for the batch being sent, whose server attempts
// are bounded by their time-outs.
int32_t StopDataUpload(void);

#ifdef __cplusplus
}  // extern "C"

namespace engine {

class DataUpload;

// The device code fetched by StartDataUpload ("0x........, 0x........"), empty
// before it or when the machine id is too short. For message boxes.
std::string StatsDeviceCode();

// The running uploader, or null. Shared so that a concurrent stop cannot free
// it under a caller.
std::shared_ptr<DataUpload> CurrentDataUpload();

// Resets the process-wide previous values of the difference members (tests).
void ResetStatsDifferences();

// Replaces the uploader's one-second wait for uploaders started from now on;
// an empty function restores the sleep (tests gate the passes with it).
void SetDataUploadIntervalWait(std::function<void(DataUpload&)> wait);

}  // namespace engine
#endif
