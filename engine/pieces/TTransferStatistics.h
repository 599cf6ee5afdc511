#pragma once
// TTransferStatistics: a task's transfer counters and per-second rate
// allowances (the transfer-statistics layer of the task work thread,
// TWorkWithTransStatis, holds one). The work thread feeds the counters from
// each peer step, rolls them once per second and derives the allowances from
// the task's own limits; peers read the remaining allowance before they
// receive or send. Every three seconds it measures each peer's rates.
//
// Owner: the task. Thread: the task's work thread only; nothing is shared
// between tasks, so there is no lock.

#include <cstdint>
#include <vector>

namespace engine {

// What the statistics need from a peer object. Peer objects implement it.
class TRatePeer {
public:
    virtual ~TRatePeer() = default;
    // 1 BitTorrent, 2 HTTP, 4 FTP, 8 tracker.
    virtual int32_t Kind() const = 0;
    virtual bool IsConnected() const = 0;
    // Bytes the peer received and sent in its last step.
    virtual int32_t StepReceived() const = 0;
    virtual int32_t StepSent() const = 0;
    // The period counters (block payload received, all bytes sent since the
    // last measurement); taking them resets them.
    virtual int64_t TakePeriodPayload() = 0;
    virtual int64_t TakePeriodSent() = 0;
    virtual void SetRates(int32_t download_bps, int32_t upload_bps) = 0;
    virtual int32_t DownloadRate() const = 0;
    virtual int32_t UploadRate() const = 0;
    // The choke checks' mark, cleared at each measurement.
    virtual void ClearChokedThisRound() = 0;
    virtual void SetInteresting(bool on) = 0;
};

class TTransferStatistics {
public:
    // Allowance without a limit, and the floor under any limit (bytes/s).
    static constexpr int32_t Unlimited = 1048576000;
    static constexpr int32_t MinAllowance = 3072;
    // Peer rates are measured over this many seconds.
    static constexpr int64_t MeasureSeconds = 3;

    TTransferStatistics() { ResetStatistics(); }

    // The task's limits in KiB/s (0: none).
    void SetTaskLimits(int32_t download_kib, int32_t upload_kib);
    static int32_t Allowance(int32_t limit_kib);

    void CountStep(const TRatePeer& peer);
    void CountPayload(int32_t bytes);
    void CountSent(int32_t bytes);
    int32_t RemainingDownload() const;
    int32_t RemainingUpload() const;

    // The per-second roll: counters to 0, allowances from the limits.
    void PerSecond();
    // Measures the peers (already in the active order) when more than three
    // seconds passed since the last measurement, or when forced. Returns
    // whether it measured.
    bool MeasurePeerRates(const std::vector<TRatePeer*>& peers, int64_t now_s, bool force);
    // Sum of the download rates of the connected peers of these kinds.
    static int64_t SumPeerRates(const std::vector<TRatePeer*>& peers, int32_t kind_mask);
    void ResetStatistics();

    int32_t ReceivedThisSecond() const { return m_received; }
    int32_t SentThisSecond() const { return m_sent; }
    int32_t PayloadThisSecond() const { return m_payload; }
    int64_t PeerDownloadSum() const { return m_peer_download_sum; }
    int64_t PeerUploadSum() const { return m_peer_upload_sum; }
    int32_t DownloadAllowance() const { return m_download_allowance; }
    int32_t UploadAllowance() const { return m_upload_allowance; }
    int64_t TotalSent() const { return m_total_sent; }

private:
    int32_t m_received = 0;
    int32_t m_sent = 0;
    int32_t m_payload = 0;
    int64_t m_peer_download_sum = 0;
    int64_t m_peer_upload_sum = 0;
    int32_t m_download_allowance = 0;
    int32_t m_upload_allowance = 0;
    int32_t m_download_limit_kib = 0;
    int32_t m_upload_limit_kib = 0;
    int64_t m_total_sent = 0;
    int64_t m_last_measure_s = 0;
};

}  // namespace engine
