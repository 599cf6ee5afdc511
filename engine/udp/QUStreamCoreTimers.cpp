// QUStreamCore: the timer passes the UDP server runs: retransmission (every
// 40 ms), acknowledgement (every 20 ms) and maintenance (every few seconds).

#include <algorithm>

#include "engine/udp/QUStreamCore.h"

namespace engine {

namespace {

// Pass periods of the server loop.
constexpr uint32_t RetransmissionPeriodMs = 40;
constexpr uint32_t AcknowledgementPeriodMs = 20;
constexpr int64_t MaintenanceGapSeconds = 2;  // runs when more than this passed

// Retransmission time-out: 1.6 s for the first resend, 0.8 s more for each
// further one, so a path that loses a lot is not flooded.
constexpr uint32_t FirstResendMs = 1600;
constexpr uint32_t ResendBackoffMs = 800;
// A segment the peer reported missing while it held a later one is resent
// once it has been on the way this long: a reordered datagram has arrived by
// then.
constexpr uint32_t ReorderWindowMs = 70;
// A segment sent this often without an acknowledgement ends the stream.
constexpr uint32_t MaxSends = 128;
// From this loss on, at most two resends per stream and pass.
constexpr int HeavyLossPercent = 20;

// An acknowledgement is repeated at most every 1.2 s while data waits out of
// order, and every 12 s on an idle stream so the peer's view stays fresh.
constexpr uint32_t AckRepeatMs = 1200;
constexpr uint32_t IdleAckMs = 12000;

// A RESOLVING stream asks the rendezvous server again after this long.
constexpr int64_t LookupRepeatSeconds = 3;

}  // namespace

void QUStreamCore::RunTimers(const QUNow& now) {
    if (now.tick_ms - m_last_retransmission_tick >= RetransmissionPeriodMs) {
        RetransmissionPass(now);
        AcknowledgementPass(now);
        m_last_retransmission_tick = now.tick_ms;
        m_last_ack_tick = now.tick_ms;
    } else if (now.tick_ms - m_last_ack_tick >= AcknowledgementPeriodMs) {
        AcknowledgementPass(now);
        m_last_ack_tick = now.tick_ms;
    }
    if (now.seconds - m_last_maintenance_s > MaintenanceGapSeconds) {
        MaintenancePass(now);
        m_last_maintenance_s = now.seconds;
    }
}

void QUStreamCore::RetransmissionPass(const QUNow& now) {
    if (m_transport_stopped) return;
    for (QUStream* s : m_streams) {
        if (s->state != QUState::Established || s->used_slots == 0) continue;
        // The socket is full: the next pass, 40 ms on, tries again. Starting
        // over at once would spin for as long as the socket stays full.
        if (!RetransmitStream(s, now)) return;
    }
}

// False when a send would block.
bool QUStreamCore::RetransmitStream(QUStream* s, const QUNow& now) {
    const int allowance = Allowance(s, now);
    const int loss = LossPercent(*s);
    const int examine = allowance / 2 + 2;  // occupied slots looked at: fewer than this
    const int resend_limit = loss >= HeavyLossPercent ? 2 : examine;
    int occupied = 0;
    int resent_before = 0;
    int retransmissions = 0;
    for (int i = 0; i < s->used_slots; ++i) {
        QUSendSlot& slot = s->send_slots[static_cast<size_t>(i)];
        if (!slot.used) continue;
        if (++occupied >= examine) break;
        if (slot.send_count > 0 && ++resent_before >= resend_limit) break;
        if (slot.send_count > MaxSends) {
            Kill(s);
            break;
        }
        const bool sent_before = slot.last_send_tick != 0;
        const uint32_t timeout =
            slot.missing ? ReorderWindowMs : FirstResendMs + ResendBackoffMs * slot.send_count;
        if (sent_before && now.tick_ms - slot.last_send_tick <= timeout) continue;
        const QUSendResult result = ResendSlot(s, i, now);
        if (result == QUSendResult::WouldBlock) return false;
        if (result != QUSendResult::Sent) continue;
        if (slot.send_count >= 2) break;
        if (sent_before && ++retransmissions >= resend_limit) break;
    }
    return true;
}

QUSendResult QUStreamCore::ResendSlot(QUStream* s, int index, const QUNow& now) {
    QUSendSlot& slot = s->send_slots[static_cast<size_t>(index)];
    const bool sent_before = slot.last_send_tick != 0;
    const QUSendResult result = SendDataSlot(s, index);
    if (result != QUSendResult::Sent) return result;
    if (sent_before) {
        ++s->packets_retransmitted;
        ++s->packets_retransmitted_total;
    }
    ++s->packets_sent;
    ++s->packets_sent_total;
    ++slot.send_count;
    slot.last_send_tick = NonZeroTick(now.tick_ms);
    slot.missing = false;
    return result;
}

void QUStreamCore::AcknowledgementPass(const QUNow& now) {
    if (m_transport_stopped) return;
    for (QUStream* s : m_streams) {
        if (s->state != QUState::Established) continue;
        if (!AcknowledgeStream(s, now)) return;
    }
}

// False when a send would block.
bool QUStreamCore::AcknowledgeStream(QUStream* s, const QUNow& now) {
    const uint32_t age = now.tick_ms - s->last_ack_tick;
    if (s->last_ack_tick != 0 && age < AckRepeatMs) return true;
    const int held = static_cast<int>(std::count_if(s->receive_window.begin(), s->receive_window.end(),
                                                    [](const QUSegment& seg) { return seg.used; }));
    MoveToReadQueue(s);
    DropLeadingEmptySlots(s);
    if (held == 0 && s->receive_base == s->peer_send_base && s->last_ack_tick != 0 && age < IdleAckMs) return true;
    std::array<uint32_t, 8> body{s->send_base, s->receive_base};
    for (size_t k = 0; k < QUWindow; ++k) {
        if (s->receive_window[k].used) body[2 + k / 4] |= 1u << (8 * (3 - k % 4));
    }
    s->last_ack_tick = NonZeroTick(now.tick_ms);
    return SendControl(s, QUWire::Ack, body, held >= 2) != QUSendResult::WouldBlock;
}

void QUStreamCore::MaintenancePass(const QUNow& now) {
    if (m_transport_stopped) return;
    MaintainAcceptQueue(now);
    MaintainStreams(now);
}

void QUStreamCore::MaintainAcceptQueue(const QUNow& now) {
    const std::vector<QUStream*> queued = m_accept_queue;  // Recycle edits the list
    for (QUStream* s : queued) {
        if (s->state == QUState::Dead) {
            Recycle(s);
        } else if (s->state == QUState::Accepting) {
            if (now.seconds - s->activity_s < m_timeout_s) {
                SendConnectAck(s);
            } else {
                Recycle(s);
            }
        }
    }
}

void QUStreamCore::MaintainStreams(const QUNow& now) {
    for (QUStream* s : m_streams) {
        const int64_t silent_s = now.seconds - s->activity_s;
        switch (s->state) {
            case QUState::Resolving:
            case QUState::Connecting:
                if (silent_s > m_timeout_s) {
                    Kill(s);
                } else if (s->state == QUState::Connecting) {
                    SendConnect(s);
                } else if (now.seconds - s->last_lookup_s > LookupRepeatSeconds) {
                    s->lookup_id = m_host.RequestLookup(s->peer_ip, NodeIdOf(s->target));
                    s->last_lookup_s = now.seconds;
                }
                break;
            case QUState::Established:
                if (silent_s > m_timeout_s) {
                    Kill(s);
                } else if (silent_s > m_timeout_s / 2) {
                    SendControl(s, QUWire::KeepAlive, {s->virtual_port}, false);
                }
                break;
            default:
                break;  // DEAD records wait for their owner to close them
        }
    }
}

}  // namespace engine
