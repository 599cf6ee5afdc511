#pragma once
// A small FTP server of our own on 127.0.0.1 that serves one file in passive
// mode (USER, PASS, CWD, TYPE, SIZE, PASV, REST, RETR, QUIT) and, on the
// first occasions it is told to spoil, misbehaves in one chosen way. Real
// servers never send a bouncing passive reply or a short transfer that they
// call complete; this one does, so the tests can show what the client makes
// of it. It records every command line and the peer address of every data
// connection. One thread accepts; each control connection is served on its
// own thread; everything stops (and is joined) in the destructor.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

enum class FtpFault {
    None,
    SplitReplies,     // (connection) every reply goes out one byte per segment
    JoinedReplies,    // (transfer) 256 KiB of data, then "150" and "226" in one segment
    BadPasv,          // (PASV) a 227 reply with five fields
    BouncePasv,       // (PASV) a 227 reply naming 10.0.0.5 as the data host
    Busy421,          // (connection) "421" instead of the welcome, then the connection closes
    Size550,          // (SIZE) "550"
    SizeNeedsBinary,  // (SIZE) "550" while the transfer type is ASCII, the type a session starts in
    ShortData,        // (transfer) half of the data, closed and called complete with "226"
    CorruptData,      // (transfer) 4 KiB of changed bytes 100 KiB into the data
    DataHang,         // (transfer) one block of data, then nothing, the connection held open
    Hang,             // (connection) accepted, never answered
};

class FaultFtpServer {
public:
    // Serves `content` at every path; the first `spoiled` occasions (the
    // fault's kind of occasion is named above) carry `fault`. With a user
    // given, only that user and password log in ("530" otherwise); without,
    // any login does.
    FaultFtpServer(std::string content, FtpFault fault, int spoiled, std::string user = {},
                   std::string password = {});
    ~FaultFtpServer();
    FaultFtpServer(const FaultFtpServer&) = delete;
    FaultFtpServer& operator=(const FaultFtpServer&) = delete;

    bool Started() const { return m_listen >= 0; }
    uint16_t Port() const { return m_port; }
    // "ftp://[login@]127.0.0.1:<port><path>".
    std::string Url(const std::string& path = "/pub/file.bin", const std::string& login = {}) const;
    int Connections() const { return m_connections.load(); }
    int SpoiledOccasions() const { return m_spoiled_sent.load(); }
    int Transfers() const { return m_transfers.load(); }
    // Control connections that went on with another command after a
    // spoiled "150"+"226" pair.
    int ContinuedAfterJoined() const { return m_continued_after_joined.load(); }
    // Every command line, as "<connection number> <line>".
    std::vector<std::string> Commands();
    // The offsets the REST commands named, in arrival order.
    std::vector<int64_t> RestOffsets();
    // The dotted address every data connection came from.
    std::vector<std::string> DataPeers();

private:
    struct Session;

    void AcceptLoop();
    void Serve(int fd, int number);
    bool Reply(Session& s, const std::string& text);
    bool HandleCommand(Session& s, const std::string& line);
    bool HandlePasv(Session& s);
    bool HandleRetr(Session& s);
    bool TakeOccasion(FtpFault kind);
    bool SendAll(int fd, const char* data, size_t size);

    std::string m_content;
    FtpFault m_fault;
    int m_spoiled;
    std::string m_user;
    std::string m_password;
    int m_listen = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    std::atomic<int> m_spoiled_sent{0};
    std::atomic<int> m_transfers{0};
    std::atomic<int> m_continued_after_joined{0};
    std::thread m_acceptor;
    std::mutex m_lock;
    std::vector<std::thread> m_workers;
    std::vector<std::string> m_commands;
    std::vector<int64_t> m_rest_offsets;
    std::vector<std::string> m_data_peers;
};

}  // namespace testing_support
