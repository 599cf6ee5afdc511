#include "engine/peers/FtpControlChannel.h"

#include "engine/net/QTcpSocket.h"

namespace engine {

bool FtpControlChannel::SendCommand(std::string_view verb, std::string_view argument) {
    const std::string command = BuildFtpCommand(verb, argument);
    if (command.empty() || !m_socket || !m_socket->IsOpen()) return false;
    return m_socket->Send(command) >= 0 && m_socket->IsOpen();
}

FtpControlChannel::ReadResult FtpControlChannel::TakeBuffered(FtpReply* reply) {
    const FtpReplyScan scan = FindFtpReply(m_socket->ReceiveData(), m_socket->ReceiveCount(), reply);
    if (scan.result == FtpReplyScan::Result::Malformed) return ReadResult::Lost;
    if (scan.result == FtpReplyScan::Result::Incomplete) return ReadResult::NotYet;
    m_socket->Consume(static_cast<int64_t>(scan.consumed), true);
    const int32_t hundreds = reply->code / 100;
    m_transient_error = hundreds == 4;
    m_permanent_error = hundreds == 5;
    return ReadResult::Reply;
}

FtpControlChannel::ReadResult FtpControlChannel::ReadReply(FtpReply* reply) {
    if (!m_socket) return ReadResult::Lost;
    if (m_socket->ReceiveCount() > 0) {
        const ReadResult buffered = TakeBuffered(reply);
        if (buffered != ReadResult::NotYet) return buffered;
    }
    if (m_socket->Receive() < 0) return ReadResult::Lost;
    if (m_socket->ReceiveCount() == 0) return ReadResult::NotYet;
    return TakeBuffered(reply);
}

}  // namespace engine
