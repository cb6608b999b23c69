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
constexpr int kAcceptsPerEvent = 16;

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
    , senders_(messages, message, limits.transfer, limits.senders)
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
    if (!senders_.Start())
    {
        trace::OutputDebugStringF("package server: no sender thread\n");
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
    // A few connections per notification: machines told at once connect at
    // once, and a batch costs one wake-up of the UI thread yet never keeps it
    // long.
    for (int accepted = 0; accepted < kAcceptsPerEvent; ++accepted)
    {
        net::Endpoint peer;
        net::Socket socket = listening_.Accept(&peer);
        if (!socket.IsValid())
        {
            const int error = net::WsaGetLastError();
            if (error == net::kWsaConnectionAborted || error == net::kWsaInterrupted)
            {
                continue;
            }
            if (error != net::kWsaWouldBlock)
            {
                // Out of descriptors or memory: the waiting connection stays
                // queued, and the timer takes accepting up again in a while
                // instead of the notification coming back at once, over and over.
                trace::OutputDebugStringF("package server: accept failed (%d)\n", error);
                acceptPaused_ = true;
                UpdateTimer();
                return;
            }
            break;
        }
        AddConnection(std::move(socket), peer);
    }
    messages_.ReenableSocketEvent(listening_.Handle(), core::kFdAccept);
}

void PackageServer::AddConnection(net::Socket socket, const net::Endpoint& peer)
{
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
    transfer->run = true;
    // From here the sender owns the package and the sends, until it posts
    // the transfer's end.
    if (!senders_.Hand(*transfer))
    {
        return;
    }
    activeBySocket_.emplace(transfer->connection->socket.Handle(), transfer.get());
    active_.Add(transfer.release());
}

void PackageServer::OnClose(int socket)
{
    // By the index, not a search of the list: a thousand transfers ending
    // together would make each close cost the UI thread a walk of them all.
    if (const auto found = activeBySocket_.find(socket); found != activeBySocket_.end())
    {
        UpdateTransfer* transfer = found->second;
        activeBySocket_.erase(found);
        active_.Remove(transfer);
        ReleaseTransfer(transfer);
    }
    else if (const auto released = std::find_if(ending_.begin(),
                 ending_.end(),
                 [socket](const std::unique_ptr<UpdateTransfer>& t)
                 { return t->connection->socket.Handle() == socket && t->ended.load(std::memory_order_acquire); });
             released != ending_.end())
    {
        // Its sender has let go of it now.
        std::unique_ptr<UpdateTransfer> owned = std::move(*released);
        ending_.erase(released);
        FreeTransfer(std::move(owned));
    }
    else if (UpdateConnection* connection
        = pending_.Find([socket](const UpdateConnection& c) { return c.socket.Handle() == socket; }))
    {
        // One that never asked and that the server itself closed (its
        // request overdue, or room made for newer ones) uploaded nothing.
        const bool closedByUs = connection->closing;
        messages_.SelectSocket(socket, message_, 0);
        FreeConnection(connection);
        if (closedByUs)
        {
            return;
        }
    }
    log_.WriteLog(core::LogColour::Default, servertext::kUploaded, false);
}

void PackageServer::ReleaseTransfer(UpdateTransfer* transfer)
{
    std::unique_ptr<UpdateTransfer> owned(transfer);
    owned->run = false;
    if (owned->ended.load(std::memory_order_acquire))
    {
        // Its sender touches nothing of it after posting its end: the
        // socket and the file go now, the machine sees its close at once.
        FreeTransfer(std::move(owned));
        return;
    }
    // Still carried (a close notification came before its sender's): the
    // shutdown tells the sender at once, and the end it then posts frees the
    // transfer. The socket's number stays ours until then, so that no
    // notification on its way is taken for a newer connection's.
    owned->connection->socket.Shutdown();
    ending_.push_back(std::move(owned));
}

void PackageServer::FreeTransfer(std::unique_ptr<UpdateTransfer> transfer)
{
    senders_.Forget(*transfer);
    transfer->connection->socket.Close();
    CloseMappedPackage(transfer->package);
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
    const bool needed = !stopped_ && (pending_.Count() > closing_ || acceptPaused_);
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
    for (UpdateTransfer* transfer = active_.First(); transfer != nullptr; transfer = active_.Next(transfer))
    {
        transfer->run = false;
    }
    // Once the senders are joined every transfer is the server's alone.
    senders_.Stop();
    activeBySocket_.clear();
    while (UpdateTransfer* transfer = active_.First())
    {
        active_.Remove(transfer);
        FreeTransfer(std::unique_ptr<UpdateTransfer>(transfer));
    }
    for (auto& transfer : ending_)
    {
        FreeTransfer(std::move(transfer));
    }
    ending_.clear();
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
