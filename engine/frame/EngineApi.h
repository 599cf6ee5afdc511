#ifndef TIDEWELL_ENGINE_API_H
#define TIDEWELL_ENGINE_API_H
/* The download engine's flat call interface. Plain functions with C linkage
 * returning 32-bit codes; nothing is thrown across them. Every call that
 * reaches a task takes the engine's API lock, checks that the handle names a
 * live task and maps failures (exceptions included) to negative codes.
 * Any application thread may call; calls are serialised by the API lock. */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Return codes. */
#define TW_OK 0
#define TW_BITFIELD_FAILED (-1)   /* bitfield calls: unknown handle or exception */
#define TW_BAD_ARGUMENT (-101)    /* null record or invalid direction */
#define TW_NO_SOCKETS (-102)      /* the socket library could not be started */
#define TW_DUPLICATE (-105)       /* the new task duplicates a live task */
#define TW_UNKNOWN_HANDLE (-106)  /* the handle is not a live task */
#define TW_TASK_FAILED (-107)     /* the task failed, could not start, or threw */
#define TW_NO_MEMORY (-109)       /* the task object could not be allocated */

/* Task state codes reported in TaskStatus.state. */
#define TW_STATE_NONE 0
#define TW_STATE_COMPLETE 20206
#define TW_STATE_NETWORK_ERROR 20207 /* known to the downloader only */
#define TW_STATE_NO_SIZE 20209
#define TW_STATE_DISK_FULL 20210
#define TW_STATE_TORRENT_UNREADABLE 20211
#define TW_STATE_NO_SOURCE 20214
#define TW_STATE_FILE_OPEN_FAILED 20215
#define TW_STATE_HOST_UNRESOLVED 20216

/* TaskParams.flags bits. */
#define TW_FLAG_EXACT_TARGET 0x2u       /* target is the full file path */
#define TW_FLAG_ALT_VERIFY 0x20u        /* passed to the piece map unchanged */
#define TW_FLAG_BT 0x10000u             /* first source line names the torrent */
#define TW_FLAG_CARRIED 0x100000u       /* carried without effect */
#define TW_FLAG_P2SP 0x1000000u         /* main source names the torrent */

#define TW_TEXT_CAPACITY 4096

typedef uintptr_t TaskHandle;

/* Creates a task; the caller zero-fills it first. */
typedef struct TaskParams {
    int32_t caller_words[2];              /* ignored by the engine */
    char main_source[TW_TEXT_CAPACITY];   /* P2SP: "file://" + torrent path */
    const char* source_text;              /* further sources, one per line; may be null */
    char target[TW_TEXT_CAPACITY];        /* save folder, or the file (exact target) */
    char info_path[TW_TEXT_CAPACITY];     /* task-information file */
    uint32_t flags;
    TaskHandle handle;                    /* out: written on success */
} TaskParams;

/* Filled by QueryTaskStatus (zeroed first). */
typedef struct TaskStatus {
    char name[TW_TEXT_CAPACITY];
    int32_t progress;        /* downloaded * 10000 / total */
    int32_t state;           /* TW_STATE_* */
    int32_t download_rate;   /* bytes per second, smoothed */
    int32_t remaining_s;     /* estimated seconds left, 0 when unknown */
    int32_t total_kib;
    int32_t reserved;        /* always 0 */
    uint64_t web_bytes;      /* received from HTTP/FTP sources */
    uint64_t peer_bytes;     /* received from BitTorrent peers */
    uint64_t downloaded_bytes;
} TaskStatus;

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
