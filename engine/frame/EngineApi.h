#ifndef TIDEWELL_ENGINE_API_H
#define TIDEWELL_ENGINE_API_H
/* The download engine's flat call interface. Plain functions with C linkage
 * returning 32-bit codes; nothing is thrown across them. Every call that
 * reaches a task takes the engine's API lock, checks that the handle names a
 * live task and maps failures (exceptions included) to negative codes.
 * Any application thread may call; calls are serialised by the API lock. */

#include <stdint.h>

#include "engine/base/EngineTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

int32_t EngineInitialize(const char* work_folder);
int32_t EngineShutdown(void);

int32_t CreateTask(TaskParams* params);
int32_t CreateAndStartTask(TaskParams* params);
int32_t RecoverTask(TaskParams* params, uint8_t force);
int32_t RecoverAndContinueTask(TaskParams* params, uint8_t force);

int32_t StartTask(TaskHandle task);
int32_t StopTask(TaskHandle task, int32_t reset);
/* results may be null; each slot gets 0, -106 or -107. */
int32_t StopTasks(const TaskHandle* tasks, int32_t count, int32_t reset, int32_t* results);

int32_t QueryTaskStatus(TaskHandle task, TaskStatus* status);
int32_t IsTaskComplete(TaskHandle task, int32_t* complete);
/* direction 1: download limit, 0: upload limit; KiB/s, 0 = none. */
int32_t SetTaskSpeedLimit(TaskHandle task, int32_t direction, int32_t value_kib);
int32_t SetTaskConnectionLimits(TaskHandle task, int32_t web_limit, int32_t bt_limit);
int32_t GetTaskBitfield(TaskHandle task, uint8_t* buffer, int32_t length);
int32_t GetTaskBitfieldLength(TaskHandle task);
int32_t ClearTaskIpSources(TaskHandle task);
int32_t AddTaskIpSources(TaskHandle task, const char* url_text, const char* host_text);

int32_t SetListenPort(int32_t port);
int32_t SetP2PEnabled(int32_t enabled);
void SetHttpHandshakePrefix(int32_t enabled);
/* The rendezvous server (host name, UDP port) the engine's UDP server talks
 * to from its first task on; an empty host leaves the UDP server off. -101
 * for a null host or a port outside 1-65535. */
int32_t SetRendezvousServer(const char* host, int32_t port);

/* Bytes available to the caller on the file system of an absolute path
 * (its nearest existing folder); 0 on failure. */
int64_t GetDiskFreeBytes(const char* path);
/* Bytes the file (or its ".twtmp" companion) occupies on disk; 0 when
 * neither exists, -1 on other errors. */
int64_t GetFileAllocatedSize(const char* path);
/* Hands the message to the front end's handler on a worker thread; 1 when the
 * worker took it within 2 s, else 0. */
int32_t ShowMessageBoxAsync(void* owner, const char* text, const char* caption, uint32_t type);

#ifdef __cplusplus
}
#endif

#endif
