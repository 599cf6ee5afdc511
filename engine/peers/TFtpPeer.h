#pragma once
// TFtpPeer: one connection to an FTP web source. The control connection logs
// in, changes to the file's directory, switches to binary mode and asks for
// the file's size; then every transfer is a passive-mode data connection
// started with a restart offset at the first wanted block. The data stream is
// read sequentially and every wanted 16 KiB block goes to the piece map
// through ReceiveBlock; a gap of up to five blocks is read and dropped, a
// block behind the stream or further ahead ends the transfer and a new one
// starts at the right offset on the same control connection. Runs of pieces
// are shared with the task's other web connections through the range claims
// (TWebPeer). A source can instead be fetched whole into memory (a metainfo
// source).
//
// The data connection goes to the control connection's peer address, whatever
// host a passive-mode reply names: a server cannot send us to a third host.
//
// Owner: reference counted, in the task's active list or peer pool; owns its
// control channel and its data connection. Thread: the task's work thread.

#include <cstdint>
#include <memory>

#include "engine/peers/FtpControlChannel.h"
#include "engine/peers/TWebPeer.h"

namespace engine {

// Where the command exchange stands. The login steps run once per
// connection; Pasv, Rest, Retr, Data and TransferEnd repeat per transfer.
enum class FtpStep : int32_t {
    Data = 0,         // the transfer runs: data arrives on the data connection
    Welcome = 1,      // waiting for the server's 220 greeting
    User = 2,         // "user": 331
    Pass = 3,         // "pass": 230 or 332
    Cwd = 4,          // "cwd" to the file's directory: 250
    Size = 5,         // "size" of the file: 213 with the content length
    Type = 6,         // "type i": 200
    Pasv = 7,         // "pasv": 227 with the data port
    Rest = 8,         // "rest" at the transfer's first byte: 350
    Retr = 9,         // "retr" of the file: 125 or 150
    TransferEnd = 11  // the transfer ended or was abandoned: 226, 250 or 426
};

// Where the step's command stands.
enum class FtpSubState : int32_t {
    ToSend = 0,   // the step's command is still to be sent
    Sending = 1,  // sent, being flushed
    Waiting = 2   // waiting for the reply (or, in step Data, for data)
};

class TFtpPeer : public TWebPeer {
public:
    // Five blocks: a gap this small is read through; a new transfer costs a
    // passive-mode round trip, a new data connection and a restart.
    static constexpr int64_t MaxSkipBytes = 81920;
    // Seconds without activity before the connection counts as stalled:
    // while data should flow, and while a reply is awaited.
    static constexpr int64_t DataStallS = 15;
    static constexpr int64_t ReplyStallS = 30;

    TFtpPeer();
    ~TFtpPeer() override;

    bool ConnectTo(TPeerId* candidate) override;
    bool ReadInput() override;
    bool FlushOutput() override;
    bool RequestBlocks() override;
    void ResetState() override;
    bool IsStalled() override;
    void ReleaseRange() override;
    QTcpSocket* PumpSocket() const override;

    FtpStep Step() const { return m_step; }

protected:
    int64_t TrafficReceivedTotal() const override;

private:
    // What processing the buffered data stream asks for next.
    enum class DataNeed { MoreBytes, Requests, End, Refused };

    void SetStep(FtpStep step, FtpSubState sub_state);
    bool OnReply(const FtpReply& reply);
    bool Accepts(const FtpReply& reply) const;
    void HandleReplyClass(const FtpReply& reply);
    bool OnSizeReply(const FtpReply& reply);
    bool OnPasvReply(const FtpReply& reply);
    void SendRestart();
    void SendRetrieve();
    bool SendStepCommand();
    bool ReadData();
    bool ReadWholeData();
    bool ReadRangedData();
    DataNeed ProcessData();
    bool HandOverBlocks();
    // Closes the data connection and waits for the end-of-transfer reply.
    void EndTransfer();
    void CloseData();
    void NoteActivity();

    std::unique_ptr<FtpControlChannel> m_control;
    std::unique_ptr<QTcpSocket> m_data;
    FtpStep m_step = FtpStep::Welcome;
    FtpSubState m_sub_state = FtpSubState::Waiting;
    int64_t m_position = 0;
    int64_t m_skip = 0;
    // Engine clock of the last complete reply or data of a whole body.
    int64_t m_activity_time = 0;
    // What closed data connections received, so the step's count goes on
    // across transfers.
    int64_t m_closed_data_bytes = 0;
};

}  // namespace engine
