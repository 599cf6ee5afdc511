#pragma once
// Layer 4 of a download task: transfer counters and rate allowances. This is
// the seam the transfer-statistics layer fills: received and sent bytes are
// counted through CountReceived/CountSent (thread-safe) and taken once a
// second; the allowances follow the task's limits.

#include <cstdint>
#include <mutex>

#include "engine/frame/TWorkWithPieces.h"

namespace engine {

// What one second brought.
struct SecondCounters {
    uint64_t received_bytes = 0;       // protocol and payload
    uint64_t payload_bytes = 0;
    uint64_t sent_bytes = 0;
    uint64_t block_payload_bytes = 0;  // 16 KiB block payload only
    uint64_t web_payload_bytes = 0;
};

// Block payload the piece map kept, by kind of source.
// Signed: a piece that fails its check takes back bytes already counted.
struct KeptBytes {
    int64_t web = 0;   // HTTP and FTP sources
    int64_t peer = 0;  // BitTorrent peers
};

class TWorkWithTransStatis : public TWorkWithPieces {
public:
    // Any thread: one transfer from a source of `kind` (PeerKind); payload
    // is block data the piece map kept (a block it held already is not
    // payload), so the kept totals add up to the file.
    void CountReceived(int kind, uint64_t protocol_bytes, uint64_t payload_bytes) override;
    void CountSent(uint64_t bytes) override;
    void CountWebTraffic(WebTrafficEvent event, uint64_t amount) override;

    // Bytes per second a limit in KiB/s allows: 0 means none (1048576000),
    // and never less than 3072 so a tiny limit cannot stall the requests.
    static int64_t AllowanceFor(int32_t limit_kib);
    // What the allowances leave of the current second, bytes: peers read the
    // remainder of their direction before they receive or send, so all the
    // task's sources together stay within its limits.
    int64_t RemainingDownload() override;
    int64_t RemainingUpload() override;

protected:
    // Takes the counters of the second that ended and starts a new one.
    virtual SecondCounters TakeSecondCounters();
    // Takes the payload kept since the last call. The status block folds it
    // in whenever it is published, so its totals hold every kept byte
    // however short the run and whenever it ends; ending a run leaves what
    // was not taken yet for the run's last publication.
    KeptBytes TakeKeptBytes();
    void ForgetKeptBytes(int64_t web, int64_t peer) override;
    // Takes the web traffic counted since the last call (folded like the
    // kept payload).
    WebTraffic TakeWebTraffic();
    // Rate of one source kind (web sources: mask 6), bytes per second.
    virtual int32_t SourceKindRate(int kinds);
    void RecomputeAllowances(const TaskOptions& options);
    void ResetTransfers();

private:
    std::mutex m_counter_lock;  // innermost
    SecondCounters m_second;
    KeptBytes m_kept;
    WebTraffic m_web_traffic;
    int32_t m_web_rate = 0;  // payload of the last second from web sources
    int64_t m_download_allowance = AllowanceFor(0);
    int64_t m_upload_allowance = AllowanceFor(0);
};

}  // namespace engine
