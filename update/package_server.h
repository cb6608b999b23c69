#pragma once

#include "core/window.h"
#include "platform/net/socket.h"
#include "update/package_transfer.h"
#include "update/sender_pool.h"
#include "update/tlist.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

// The package server on TCP 2425: machines told to update connect, send one
// request (PackageRequest) and receive the package from their start offset.
// It is driven by socket notifications (WSAAsyncSelect-like, core::
// WindowMessages): the front end delivers them to OnSocketEvent on the
// thread that owns the server (the dialog's UI thread; a command line's poll
// loop), together with the server's timer. The accepted connections and the
// transfers live in two TLists that only that thread touches; the transfers
// are carried by a few sender threads (SenderPool), whatever their number,
// and each transfer's sender announces its end by posting a close
// notification for the transfer's socket.
//
// Anyone on the LAN may connect: a connection costs a descriptor until it
// sends its request or the request wait runs out, and at most maxPending wait
// at once (the oldest goes first); a request is read once, at most 259
// bytes, never blocking; a transfer that makes no progress ends after its
// idle rounds.

namespace quellis::update
{

struct PackageServerLimits
{
    TransferTiming transfer;
    // A connection that has sent no request after this long is closed.
    std::chrono::milliseconds requestWait { 30000 };
    std::size_t maxPending = 1024;
    // Machines told at once connect at once: the listening socket's queue is
    // raised to this from the start-up's 5, so that a thousand connections do
    // not wait for their SYNs to be sent again.
    int backlog = 1024;
    // What each accepted connection asks for first, halved while refused.
    int sendBuffer = 262144;
    // The bytes go from the file to the socket by sendfile (no copy through
    // the program); off, or for a file that refuses it, they are sent from
    // the mapped window.
    bool sendFile = true;
    // Sender threads (0: four per core, 4 to 16).
    std::size_t senders = 0;
};

class PackageServer
{
public:
    // `listening`: the front end's listening socket, whose accept and close
    // notifications come as `message`; `timer`: the id of the server's
    // sweep timer on that window.
    PackageServer(net::Socket& listening,
        core::WindowMessages& messages,
        core::LogSink& log,
        std::uint32_t message,
        int timer,
        PackageServerLimits limits = {});
    ~PackageServer();
    PackageServer(const PackageServer&) = delete;
    PackageServer& operator=(const PackageServer&) = delete;

    // After the listening socket is open: non-blocking accepts, the larger
    // queue, room for a socket and a file per machine, and the senders.
    void Start();
    // The file served from now on, whatever a request names (empty: none yet).
    void SetServedPath(std::string path) { servedPath_ = std::move(path); }
    [[nodiscard]] const std::string& ServedPath() const { return servedPath_; }

    // A notification for one socket: accept on the listening socket, a
    // connection's request or close, a transfer's end.
    void OnSocketEvent(int socket, std::intptr_t event, int error);
    // The server's timer: closes the connections whose request is overdue,
    // and takes up accepting again after the system ran out of descriptors.
    void OnTimer();
    // Teardown: every transfer stopped and joined, every connection closed.
    // Nothing of the server runs afterwards; later notifications are ignored.
    void Stop();

    [[nodiscard]] std::size_t PendingCount() const { return pending_.Count(); }
    [[nodiscard]] std::size_t ActiveCount() const { return active_.Count(); }
    // Released transfers whose sender has yet to let go of them.
    [[nodiscard]] std::size_t EndingCount() const { return ending_.size(); }
    // The sender threads running.
    [[nodiscard]] std::size_t SenderThreads() const { return senders_.Threads(); }

private:
    void OnAccept();
    void AddConnection(net::Socket socket, const net::Endpoint& peer);
    void OnRead(int socket);
    void OnClose(int socket);
    void StartTransfer(std::unique_ptr<UpdateConnection> connection, const std::string& request);
    void ReleaseTransfer(UpdateTransfer* transfer);
    void FreeTransfer(std::unique_ptr<UpdateTransfer> transfer);
    void FreeConnection(UpdateConnection* connection);
    void CloseLater(UpdateConnection& connection);
    void UpdateTimer();

    net::Socket& listening_;
    core::WindowMessages& messages_;
    core::LogSink& log_;
    const std::uint32_t message_;
    const int timer_;
    const PackageServerLimits limits_;
    std::string servedPath_;
    TList<UpdateConnection> pending_;
    TList<UpdateTransfer> active_;
    // The transfers of active_ by their socket.
    std::unordered_map<int, UpdateTransfer*> activeBySocket_;
    std::vector<std::unique_ptr<UpdateTransfer>> ending_;
    SenderPool senders_;
    std::size_t closing_ = 0; // pending connections already shut down
    bool acceptPaused_ = false;
    bool timerSet_ = false;
    bool stopped_ = false;
};

// Log text written on every close but that of a connection without a request
// that the server closed itself.
namespace servertext
{
inline constexpr std::string_view kUploaded = "升级文件上传成功，请等待升级\r\n";
} // namespace servertext

} // namespace quellis::update
