#ifndef TIDEWELL_ENGINE_TYPES_H
#define TIDEWELL_ENGINE_TYPES_H
/* The plain records and codes of the engine's flat call interface. They sit
 * below every engine layer, so a layer can report a state code or fill a
 * status record without depending on the task classes behind the calls. */

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

#ifdef __cplusplus
}
#endif

#endif
