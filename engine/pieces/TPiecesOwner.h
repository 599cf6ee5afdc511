#pragma once
// What a piece map needs from the task that owns it: the event sink, the stop
// request, the engine clock and the wait used while the disk is full. The task
// work thread implements it (through TPieceScheduler); tests implement it
// directly. Called only on the task's work thread.

#include <cstdint>
#include <string>

namespace engine {

// The record a piece map reports to its task: four 32-bit fields, plus the
// blob the 1000/1001 events hand over (their "value" is the data).
struct TPiecesEvent {
    int32_t code = 0;
    int32_t flag = 0;
    int32_t argument = 0;
    int32_t value = 0;
    const uint8_t* data = nullptr;
};

// Event codes (the flag/argument/value layout is noted per code).
namespace PiecesEventCode {
inline constexpr int32_t PieceChanged = 1;         // flag done, argument 4, value piece index
inline constexpr int32_t QuickVerified = 2;        // 1, 0, 0
inline constexpr int32_t Examination = 3;          // 1, 0, 0: examination started or finished
// A piece passed its check and stays in memory for upload reads (it counts
// as done once written): the peers may hear of it now.
inline constexpr int32_t PieceVerifiedInMemory = 4;  // 1, 4, piece index
inline constexpr int32_t PiecesCreated = 100;      // 1, 4, piece count
inline constexpr int32_t SelectionSaved = 1000;    // 1, length, data
inline constexpr int32_t PieceStateSaved = 1001;   // 1, length, data
inline constexpr int32_t DiskFull = 1002;          // 1, 0, 0
inline constexpr int32_t DiskSpaceBack = 1003;     // 1, 0, 0
inline constexpr int32_t FileUnusable = 1004;      // 1, 0, 0
}  // namespace PiecesEventCode

// A received piece failed verification: statistics event `event_code`
// ("11500102" for a BitTorrent peer, "11500101" for a web source) with the
// source text (peer address "a.b.c.d : port", or the URL) and the piece.
struct TVerifyFailure {
    const char* event_code = "";
    std::string source;
    int32_t piece = -1;
};

class TPiecesOwner;
// Hands an event without data to `owner` (nothing without one).
void SendPiecesEvent(TPiecesOwner* owner, int32_t code, int32_t flag, int32_t argument, int32_t value);

class TPiecesOwner {
public:
    virtual ~TPiecesOwner() = default;
    virtual void OnPiecesEvent(const TPiecesEvent& event) = 0;
    // The task's stop request (polled by long operations).
    virtual bool IsStopping() const = 0;
    // Set once the task's metainfo loaded; a loaded task needs piece digests.
    virtual bool IsMetadataReady() const = 0;
    // Engine clock, seconds.
    virtual int64_t NowSeconds() const = 0;
    // One pause of the wait for free disk space (2000 ms in the engine).
    virtual void PauseForDiskSpace(uint32_t ms) = 0;
    // Reports the verification-failure event (with the task's target file)
    // to the statistics component.
    virtual void OnVerifyFailure(const TVerifyFailure& failure) { (void)failure; }
    // A piece that failed its check threw away bytes the task had counted as
    // kept (by kind of source: web sources, BitTorrent peers).
    virtual void OnKeptBytesDiscarded(int64_t web, int64_t peer) {
        (void)web;
        (void)peer;
    }
};

}  // namespace engine
