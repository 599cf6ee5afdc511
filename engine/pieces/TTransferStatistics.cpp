#include "engine/pieces/TTransferStatistics.h"

#include <algorithm>
#include <limits>

namespace engine {

namespace {

// Counters are 32-bit: a burst that would overflow one saturates instead.
int32_t SaturatingAdd(int32_t a, int64_t b) {
    const int64_t sum = static_cast<int64_t>(a) + std::max<int64_t>(b, 0);
    return static_cast<int32_t>(std::min<int64_t>(sum, std::numeric_limits<int32_t>::max()));
}

}  // namespace

void TTransferStatistics::SetTaskLimits(int32_t download_kib, int32_t upload_kib) {
    m_download_limit_kib = download_kib;
    m_upload_limit_kib = upload_kib;
}

int32_t TTransferStatistics::Allowance(int32_t limit_kib) {
    const int64_t limit = limit_kib > 0 ? static_cast<int64_t>(limit_kib) * 1024 : Unlimited;
    return static_cast<int32_t>(std::clamp<int64_t>(limit, MinAllowance, std::numeric_limits<int32_t>::max()));
}

void TTransferStatistics::CountStep(const TRatePeer& peer) {
    m_received = SaturatingAdd(m_received, peer.StepReceived());
    m_sent = SaturatingAdd(m_sent, peer.StepSent());
}

void TTransferStatistics::CountPayload(int32_t bytes) { m_payload = SaturatingAdd(m_payload, bytes); }

void TTransferStatistics::CountSent(int32_t bytes) {
    m_sent = SaturatingAdd(m_sent, bytes);
    m_total_sent += std::max(bytes, 0);
}

int32_t TTransferStatistics::RemainingDownload() const { return std::max(m_download_allowance - m_received, 0); }

int32_t TTransferStatistics::RemainingUpload() const { return std::max(m_upload_allowance - m_sent, 0); }

void TTransferStatistics::PerSecond() {
    m_received = 0;
    m_sent = 0;
    m_payload = 0;
    m_download_allowance = Allowance(m_download_limit_kib);
    m_upload_allowance = Allowance(m_upload_limit_kib);
}

bool TTransferStatistics::MeasurePeerRates(const std::vector<TRatePeer*>& peers, int64_t now_s, bool force) {
    if (!force && now_s - m_last_measure_s <= MeasureSeconds) return false;
    m_last_measure_s = now_s;
    int64_t down = 0;
    int64_t up = 0;
    for (TRatePeer* peer : peers) {
        if (!peer) continue;
        // Whatever time really passed, the period counts as three seconds.
        const int64_t d = peer->TakePeriodPayload() / MeasureSeconds;
        const int64_t u = peer->TakePeriodSent() / MeasureSeconds;
        const auto clamp32 = [](int64_t v) {
            return static_cast<int32_t>(std::clamp<int64_t>(v, 0, std::numeric_limits<int32_t>::max()));
        };
        peer->SetRates(clamp32(d), clamp32(u));
        peer->ClearChokedThisRound();
        peer->SetInteresting(true);
        down += clamp32(d);
        up += clamp32(u);
    }
    m_peer_download_sum = down;
    m_peer_upload_sum = up;
    return true;
}

int64_t TTransferStatistics::SumPeerRates(const std::vector<TRatePeer*>& peers, int32_t kind_mask) {
    int64_t sum = 0;
    for (const TRatePeer* peer : peers) {
        if (peer && peer->IsConnected() && (peer->Kind() & kind_mask)) sum += peer->DownloadRate();
    }
    return sum;
}

void TTransferStatistics::ResetStatistics() {
    m_received = 0;
    m_sent = 0;
    m_payload = 0;
    m_peer_download_sum = 0;
    m_peer_upload_sum = 0;
    m_download_allowance = 0;
    m_upload_allowance = 0;
}

}  // namespace engine
