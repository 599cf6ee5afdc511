#pragma once
// FtpControlChannel: the command side of one FTP connection. It sends the
// commands a download needs on the peer object's control socket and reads
// the replies one at a time, keeping whatever arrives after a reply (a
// server may send the end-of-transfer reply in the same segment as the
// start-of-transfer one). Each reply's class is noted for the owner: 4xx is
// a transient error, 5xx a permanent one.
//
// Owner: TFtpPeer, from its ConnectTo until its ResetState; the socket is the
// peer object's own and is not owned here. Thread: the task's work thread.

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/peers/FtpReply.h"

namespace engine {

class QTcpSocket;

class FtpControlChannel {
public:
    enum class ReadResult { Reply, NotYet, Lost };

    explicit FtpControlChannel(QTcpSocket* socket) : m_socket(socket) {}

    // Each sends one command and says whether it was queued on the socket
    // (false also when an argument holds a line break).
    bool SendUser(std::string_view user) { return SendCommand("user", user); }
    bool SendPass(std::string_view password) { return SendCommand("pass", password); }
    bool SendCwd(std::string_view directory) { return SendCommand("cwd", directory); }
    bool SendSize(std::string_view file_name) { return SendCommand("size", file_name); }
    bool SendTypeBinary() { return SendCommand("type", "i"); }
    bool SendPasv() { return SendCommand("pasv", {}); }
    bool SendRest(int64_t offset) { return SendCommand("rest", std::to_string(offset)); }
    bool SendRetr(std::string_view path) { return SendCommand("retr", path); }

    // The next complete reply. Replies already buffered are taken before the
    // socket is read again, so a reply that came just before the server
    // closed is still seen. Lost: the connection ended, or it sent bytes
    // that are no FTP reply.
    ReadResult ReadReply(FtpReply* reply);

    // The class of the last reply; cleared by the owner once handled.
    bool TransientError() const { return m_transient_error; }
    bool PermanentError() const { return m_permanent_error; }
    void ClearErrors() { m_transient_error = m_permanent_error = false; }

private:
    bool SendCommand(std::string_view verb, std::string_view argument);
    ReadResult TakeBuffered(FtpReply* reply);

    QTcpSocket* m_socket;
    bool m_transient_error = false;
    bool m_permanent_error = false;
};

}  // namespace engine
