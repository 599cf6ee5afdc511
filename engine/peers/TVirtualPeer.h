#pragma once
// TVirtualPeer: the operations every live connection of a task offers, in
// the order the task's peer set relies on. TPeerObject gives each of them its
// common behaviour; the BitTorrent, HTTP, FTP and tracker peers override the
// kind-specific ones. A false return from a step ends the connection.
//
// Owner: the task (through TPeerObject's reference count). Thread: the
// task's work thread.

#include <cstdint>
#include <memory>

namespace engine {

class QTcpSocket;
class TPeerId;

class TVirtualPeer {
public:
    virtual ~TVirtualPeer() = default;

    virtual bool ReadInput() = 0;
    virtual bool FlushOutput() = 0;
    virtual bool RequestBlocks() = 0;
    virtual bool ServeUploads() = 0;
    virtual void ResetState() = 0;
    virtual bool ProcessStep() = 0;
    virtual bool UploadStep() = 0;
    virtual bool SendRequests() = 0;
    virtual bool ConnectTo(TPeerId* candidate) = 0;
    virtual bool AcceptSocket(std::unique_ptr<QTcpSocket> socket) = 0;
    virtual bool BeginExchange() = 0;
    virtual bool CheckHandshake(QTcpSocket* socket) = 0;
    virtual bool IsUseless() = 0;
    virtual bool ShouldDrop(bool near_end) = 0;
    virtual bool IsStalled() = 0;
    virtual const void* GetRecord(int which) = 0;
    virtual bool IsConnected() const = 0;
    virtual int32_t GetPeerRate() = 0;
    virtual bool IsUninteresting() = 0;
    virtual bool IsLongSeed() = 0;
    virtual void CheckRequests() = 0;
    virtual bool IsSeed() = 0;
    virtual void ReleaseRange() = 0;
    // The next piece of this connection's claim, or -1.
    virtual int32_t NextPiece() = 0;
};

}  // namespace engine
