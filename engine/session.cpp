#include "engine/session.h"

#include "platform/net/default_route.h"
#include "platform/trace/trace.h"
#include "resources/templates/main_dialog_ids.h"

namespace quellis::engine
{

// The controllers, constructed in routing order and destroyed in reverse.
struct Session::Subsystems
{
    Subsystems(protocol::SharedState& state, const FrontEnd& frontEnd)
        : discovery(state, frontEnd.window, frontEnd.records)
        , commands(state, frontEnd.window, frontEnd.networkSettings, frontEnd.companions)
        , update(state, frontEnd.window, frontEnd.panel)
        , miner(state, frontEnd.window, frontEnd.pools)
        , monitor(state, frontEnd.window, frontEnd.panel)
    {
        // Each subsystem's answers take effect on it; the miner's confirmed
        // E2 write starts its read-back run.
        commands.RegisterReplies(discovery.Replies());
        update.RegisterReplies(discovery.Replies());
        miner.RegisterReplies(discovery.Replies());
        // The captions a blink gives back follow the panel's language box.
        commands.SetLanguageBox(frontEnd.panel);
    }

    discovery::DiscoveryController discovery;
    commands::CommandsController commands;
    update::UpdateController update;
    miner::MinerController miner;
    monitor::MonitorController monitor;
};

Session::Session(std::filesystem::path config)
    : state_(std::move(config))
{
}

Session::~Session()
{
    Close();
}

void Session::Close()
{
    Stop();
    routing_.clear();
    controllers_.reset();
}

void Session::Open(const FrontEnd& frontEnd)
{
    if (controllers_)
    {
        return;
    }
    controllers_ = std::make_unique<Subsystems>(state_, frontEnd);
    routing_ = { &controllers_->discovery,
        &controllers_->commands,
        &controllers_->update,
        &controllers_->miner,
        &controllers_->monitor };
    messages_ = &frontEnd.window.messages;
    threadsEnded_ = frontEnd.threadsEnded;
}

bool Session::Start(const StartOptions& options, const StartFailureHandler& failed)
{
    if (!net::StartSocketLayer())
    {
        failed(StartFailure::SocketLayer);
        return false;
    }
    state_.sendSocket = net::Socket::Create(net::SocketKind::Udp);
    if (!state_.sendSocket.IsValid())
    {
        failed(StartFailure::SendSocket);
        return false;
    }
    if (options.packageListener)
    {
        if (!OpenPackageListener(failed))
        {
            return false;
        }
        controllers_->update.StartPackageServer();
    }
    if (!state_.sendSocket.SetBroadcast(true))
    {
        trace::OutputDebugString("setsockopt SO_BROADCAST failed\n");
        if (!failed(StartFailure::Broadcast))
        {
            return false;
        }
    }
    BroadcastFromDefaultRoute();
    if (!state_.replyQueue.Initialise(protocol::kReplySlotCount, protocol::kReplySlotSize))
    {
        trace::OutputDebugString("reply queue could not be allocated\n");
        if (!failed(StartFailure::ReplyQueue))
        {
            return false;
        }
    }
    // commandDone and everything else the threads share exist since the
    // shared state was constructed, before the first thread starts.
    state_.running = 1;
    if (!controllers_->discovery.StartReplyThread())
    {
        state_.running = 0;
        if (!failed(StartFailure::ReplyThread))
        {
            return false;
        }
    }
    if (options.receive)
    {
        switch (controllers_->discovery.StartLisServ(*options.receive))
        {
        case discovery::ReceiveStart::Started:
            receiveNote_ = instance::PortNote::Write(state_.replyPort, options.program);
            break;
        case discovery::ReceiveStart::SocketFailed:
            return failed(StartFailure::ReceiveSocket);
        case discovery::ReceiveStart::BindFailed:
            return failed(StartFailure::ReceiveBind);
        case discovery::ReceiveStart::ThreadFailed:
            return failed(StartFailure::ReceiveThread);
        }
    }
    return true;
}

bool Session::OpenPackageListener(const StartFailureHandler& failed)
{
    net::Socket& listening = state_.listeningSocket;
    listening = net::Socket::Create(net::SocketKind::Tcp);
    if (!listening.IsValid())
    {
        return failed(StartFailure::PackageSocket);
    }
    // Windows binds a port whose last connections are still in TIME_WAIT;
    // Linux does so only with address reuse set before the bind. Without it a
    // restart within a minute of an update run would fail to bind. A port
    // another program listens on still refuses the bind.
    [[maybe_unused]] const bool reuseBeforeBind = listening.SetReuseAddress(true);
    if (!listening.Bind({ net::kInaddrAny, protocol::kPackagePort }))
    {
        listening.Close();
        return failed(StartFailure::PackageBind);
    }
    if (!listening.SetReuseAddress(true) && !failed(StartFailure::PackageReuse))
    {
        return false;
    }
    if (!listening.Listen(5) && !failed(StartFailure::PackageListen))
    {
        return false;
    }
    listenerWatched_
        = messages_->SelectSocket(listening.Handle(), resources::kWmTcpSocket, core::kFdAccept | core::kFdClose);
    return listenerWatched_ || failed(StartFailure::PackageWatch);
}

void Session::BroadcastFromDefaultRoute()
{
    // Broadcasts leave with the address the machines answer to; without a
    // default route the system picks the source address at each send.
    const auto address = net::ParseIpv4(net::DefaultRouteAddress());
    if (!address || !state_.sendSocket.Bind({ *address, 0 }))
    {
        trace::OutputDebugString("bind broadcast socket failed!!!!!!");
    }
}

void Session::Stop()
{
    if (stopped_)
    {
        return;
    }
    stopped_ = true;
    // Shutting the receive socket down ends the receive thread's blocking
    // read; clearing the run flags ends the other loops.
    state_.receiveSocket.Shutdown();
    state_.running = 0;
    state_.monitoring = 0;
    state_.blinking = 0;
    state_.replyQueue.WakeWaiters();
    // Every thread leaves before what it uses goes: the queue it reads, the
    // sockets it sends on, the window parts it calls.
    for (core::Controller* controller : routing_)
    {
        controller->Stop();
    }
    if (threadsEnded_)
    {
        threadsEnded_();
    }
    state_.receiveSocket.Close();
    receiveNote_.Remove();
    state_.replyQueue.Release();
    if (listenerWatched_)
    {
        messages_->SelectSocket(state_.listeningSocket.Handle(), 0, 0);
    }
    state_.listeningSocket.Close();
    state_.sendSocket.Close();
}

discovery::DiscoveryController& Session::Discovery()
{
    return controllers_->discovery;
}

commands::CommandsController& Session::Commands()
{
    return controllers_->commands;
}

update::UpdateController& Session::Update()
{
    return controllers_->update;
}

miner::MinerController& Session::Miner()
{
    return controllers_->miner;
}

monitor::MonitorController& Session::Monitor()
{
    return controllers_->monitor;
}

bool Session::RouteCommand(int id)
{
    for (core::Controller* controller : routing_)
    {
        if (controller->OnCommand(id))
        {
            return true;
        }
    }
    return false;
}

bool Session::RouteListNotify(core::ListNotify code, int row, int column)
{
    for (core::Controller* controller : routing_)
    {
        if (controller->OnListNotify(code, row, column))
        {
            return true;
        }
    }
    return false;
}

bool Session::RouteTimer(int id)
{
    for (core::Controller* controller : routing_)
    {
        if (controller->OnTimer(id))
        {
            return true;
        }
    }
    return false;
}

bool Session::RouteMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    for (core::Controller* controller : routing_)
    {
        if (controller->OnMessage(message, wParam, lParam))
        {
            return true;
        }
    }
    return false;
}

} // namespace quellis::engine
