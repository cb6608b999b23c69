#include "update/package_server.h"

#include "platform/net/wsa_error.h"
#include "platform/trace/trace.h"
#include "update/package_request.h"

#include <algorithm>

namespace quellis::update
{

namespace
{

using Clock = std::chrono::steady_clock;

// How often the server's timer looks at the waiting connections.
constexpr std::chrono::milliseconds kSweepPeriod { 1000 };

} // namespace

PackageServer::PackageServer(net::Socket& listening,
    core::WindowMessages& messages,
    core::LogSink& log,
    std::uint32_t message,
    int timer,
    PackageServerLimits limits)
    : listening_(listening)
    , messages_(messages)
    , log_(log)
    , message_(message)
    , timer_(timer)
    , limits_(limits)
{
}

PackageServer::~PackageServer()
{
    Stop();
}

void PackageServer::Start()
{
    const int descriptors = net::RaiseSocketLimit();
    trace::OutputDebugStringF("package server: up to %d descriptors\n", descriptors);
    if (!listening_.IsValid())
    {
        return;
    }
    // An accept after the notification must not block the UI thread when the
    // connection went away in between.
    if (!listening_.SetBlocking(false) || !listening_.Listen(limits_.backlog))
    {
        trace::OutputDebugStringF("package server: listening socket not adjusted (%d)\n", net::WsaGetLastError());
    }
}

void PackageServer::OnSocketEvent(int socket, std::intptr_t event, int error)
{
    // An error word gets nothing but the default processing.
    if (stopped_ || error != 0)
    {
        return;
    }
    switch (event)
    {
    case core::kFdAccept:
        if (socket == listening_.Handle())
        {
            OnAccept();
        }
        break;
    case core::kFdRead:
        OnRead(socket);
        break;
    case core::kFdClose:
        if (socket != listening_.Handle())
        {
            OnClose(socket);
        }
        break;
    default:
        break;
    }
}

void PackageServer::OnAccept()
{
    net::Endpoint peer;
    net::Socket socket = listening_.Accept(&peer);
    if (!socket.IsValid())
    {
        const int error = net::WsaGetLastError();
        if (error == net::kWsaWouldBlock || error == net::kWsaConnectionAborted || error == net::kWsaInterrupted)
        {
            messages_.ReenableSocketEvent(listening_.Handle(), core::kFdAccept);
            return;
        }
        // Out of descriptors or memory: the waiting connection stays queued,
        // and the timer takes accepting up again in a while instead of the
        // notification coming back at once, over and over.
        trace::OutputDebugStringF("package server: accept failed (%d)\n", error);
        acceptPaused_ = true;
        UpdateTimer();
        return;
    }
    messages_.ReenableSocketEvent(listening_.Handle(), core::kFdAccept);

    [[maybe_unused]] const bool nonBlocking = socket.SetBlocking(false);
    for (int size = limits_.sendBuffer; size > 0; size /= 2)
    {
        if (socket.SetSendBuffer(size))
        {
            break;
        }
    }
    // Better to drop the oldest idle connection than to run out of descriptors.
    if (pending_.Count() - closing_ >= limits_.maxPending)
    {
        if (UpdateConnection* oldest = pending_.Find([](const UpdateConnection& c) { return !c.closing; }))
        {
            CloseLater(*oldest);
        }
    }
    if (!messages_.SelectSocket(socket.Handle(), message_, core::kFdRead | core::kFdClose))
    {
        return; // not recorded; the socket closes here
    }
    auto connection = std::make_unique<UpdateConnection>();
    connection->socket = std::move(socket);
    connection->peer = peer;
    connection->accepted = Clock::now();
    pending_.Add(connection.release());
    UpdateTimer();
}

void PackageServer::OnRead(int socket)
{
    UpdateConnection* found
        = pending_.Find([socket](const UpdateConnection& c) { return c.socket.Handle() == socket; });
    if (found == nullptr)
    {
        // Not one of ours (any more): never touch a descriptor we do not own.
        return;
    }
    messages_.SelectSocket(socket, message_, 0);
    char text[kMaxRequestBytes];
    const int got = found->socket.Receive(text, sizeof text);
    const bool closing = found->closing;
    if (closing)
    {
        --closing_;
    }
    pending_.Remove(found);
    std::unique_ptr<UpdateConnection> connection(found);
    UpdateTimer();
    if (closing || got <= 0)
    {
        return;
    }
    StartTransfer(std::move(connection), std::string(text, static_cast<std::size_t>(got)));
}

void PackageServer::StartTransfer(std::unique_ptr<UpdateConnection> connection, const std::string& text)
{
    const auto request = ParsePackageRequest(text);
    if (!request)
    {
        return;
    }
    auto transfer = std::make_unique<UpdateTransfer>();
    transfer->connection = std::move(connection);
    transfer->command = request->command;
    transfer->packetNumber = request->packetNumber;
    transfer->name = request->name;
    transfer->sendFile = limits_.sendFile;
    // Returning from here releases the transfer: its socket and its file.
    if (servedPath_.empty() || !files::QueryFileInfo(servedPath_, transfer->info))
    {
        return;
    }
    transfer->isDirectory = (transfer->info.attributes & files::kFileAttributeDirectory) != 0;
    if (request->command == REQ_FILE_DATA && !transfer->isDirectory)
    {
        transfer->state = TransferState::Sending;
    }
    if (transfer->isDirectory)
    {
        if (request->command != REQ_DIRECTORY)
        {
            return;
        }
    }
    else
    {
        transfer->package.offset = request->startOffset;
        if (!OpenMappedPackage(servedPath_, transfer->package))
        {
            return;
        }
    }
    UpdateTransfer* running = transfer.get();
    running->run = true;
    if (!running->worker.Start([this, running] { TransferWorker(*running); }))
    {
        return;
    }
    active_.Add(transfer.release());
}

// Runs on the transfer's own thread. Owns the transfer's package and socket
// while it runs; shares the `run` flag (cleared by the server to stop it) and
// the end it announces by a posted close notification, after which it
// touches nothing of the transfer.
void PackageServer::TransferWorker(UpdateTransfer& transfer)
{
    const bool success = RunTransfer(transfer, limits_.transfer);
    transfer.state = success ? TransferState::Complete : TransferState::Failed;
    const int socket = transfer.connection->socket.Handle();
    transfer.ended = true;
    messages_.PostMessage(message_, static_cast<std::uintptr_t>(socket), core::kFdClose);
}

void PackageServer::OnClose(int socket)
{
    UpdateTransfer* transfer
        = active_.Find([socket](const UpdateTransfer& t) { return t.connection->socket.Handle() == socket; });
    if (transfer != nullptr)
    {
        active_.Remove(transfer);
        ReleaseTransfer(transfer);
    }
    else if (UpdateConnection* connection
        = pending_.Find([socket](const UpdateConnection& c) { return c.socket.Handle() == socket; }))
    {
        messages_.SelectSocket(socket, message_, 0);
        FreeConnection(connection);
    }
    log_.WriteLog(core::LogColour::Default, servertext::kUploaded, false);
}

void PackageServer::ReleaseTransfer(UpdateTransfer* transfer)
{
    std::unique_ptr<UpdateTransfer> owned(transfer);
    owned->run = false;
    if (owned->ended.load())
    {
        // The worker touches nothing of the transfer after its close
        // notification: the socket and the file go now, the machine sees its
        // close at once.
        owned->connection->socket.Close();
        CloseMappedPackage(owned->package);
    }
    else
    {
        // Its wait ends at once instead of at the end of its round.
        owned->connection->socket.Shutdown();
    }
    // The thread is joined later, by the timer: with a thousand transfers
    // busy on a few cores, a thread that has posted its end may wait long
    // for the processor to let it exit, and the UI thread must not wait
    // with it.
    ending_.push_back(std::move(owned));
    UpdateTimer();
}

void PackageServer::JoinEnded(bool all)
{
    std::erase_if(ending_,
        [all](std::unique_ptr<UpdateTransfer>& transfer)
        {
            if (!all && !transfer->worker.Finished())
            {
                return false;
            }
            transfer->worker.Join();
            CloseMappedPackage(transfer->package);
            return true;
        });
}

void PackageServer::FreeConnection(UpdateConnection* connection)
{
    if (connection->closing)
    {
        --closing_;
    }
    pending_.Remove(connection);
    delete connection;
    UpdateTimer();
}

void PackageServer::CloseLater(UpdateConnection& connection)
{
    // Shut down, not closed: the socket's number stays ours until the close
    // notification the shutdown brings has been handled, so no notification
    // still on its way can be taken for a newer connection's.
    connection.socket.Shutdown();
    connection.closing = true;
    ++closing_;
}

void PackageServer::OnTimer()
{
    if (stopped_)
    {
        return;
    }
    if (acceptPaused_)
    {
        acceptPaused_ = false;
        messages_.ReenableSocketEvent(listening_.Handle(), core::kFdAccept);
    }
    JoinEnded(false);
    const auto now = Clock::now();
    for (UpdateConnection* connection = pending_.First(); connection != nullptr; connection = pending_.Next(connection))
    {
        if (connection->closing)
        {
            continue;
        }
        // Oldest first: the first one still in time ends the search.
        if (now - connection->accepted < limits_.requestWait)
        {
            break;
        }
        CloseLater(*connection);
    }
    UpdateTimer();
}

void PackageServer::UpdateTimer()
{
    const bool needed = !stopped_ && (pending_.Count() > closing_ || acceptPaused_ || !ending_.empty());
    if (needed && !timerSet_)
    {
        const auto period = std::min(kSweepPeriod, std::max(limits_.requestWait / 2, std::chrono::milliseconds(10)));
        messages_.SetTimer(timer_, static_cast<int>(period.count()));
        timerSet_ = true;
    }
    else if (!needed && timerSet_)
    {
        messages_.KillTimer(timer_);
        timerSet_ = false;
    }
}

void PackageServer::Stop()
{
    if (stopped_)
    {
        return;
    }
    stopped_ = true;
    // All at once: every worker's wait ends now, then each is joined.
    for (UpdateTransfer* transfer = active_.First(); transfer != nullptr; transfer = active_.Next(transfer))
    {
        transfer->run = false;
        transfer->connection->socket.Shutdown();
    }
    while (UpdateTransfer* transfer = active_.First())
    {
        active_.Remove(transfer);
        ending_.emplace_back(transfer);
    }
    JoinEnded(true);
    while (UpdateConnection* connection = pending_.First())
    {
        messages_.SelectSocket(connection->socket.Handle(), message_, 0);
        pending_.Remove(connection);
        delete connection;
    }
    closing_ = 0;
    acceptPaused_ = false;
    if (timerSet_)
    {
        messages_.KillTimer(timer_);
        timerSet_ = false;
    }
}

} // namespace quellis::update
