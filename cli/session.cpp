#include "cli/session.h"

#include "core/settings.h"
#include "platform/net/default_route.h"
#include "platform/places/user_places.h"
#include "resources/templates/main_dialog_ids.h"

namespace quellis::cli
{

std::filesystem::path DefaultConfigPath()
{
    places::Place config = places::FindConfig(places::CurrentEnvironment());
    places::PrintMessages("quellis-cli", config.messages);
    return std::move(config.path);
}

Session::Session(std::filesystem::path config)
    : state_(std::move(config))
    , window_(loop_, [this] { return state_.language.load(); })
    , discovery_(state_, window_.Window(), window_)
    , commands_(state_, window_.Window(), settings_, companions_)
    , update_(state_, window_.Window(), panel_)
    , miner_(state_, window_.Window(), pools_)
    , monitor_(state_, window_.Window(), panel_)
{
    // Results of the command line are English: the run time in English units.
    state_.language = 0;
    state_.toolType = core::kToolTypeListening;
    routing_ = { &discovery_, &commands_, &update_, &miner_, &monitor_ };
    // A confirmed E2 write: the reply thread starts the read-back run.
    discovery_.SetReadBackStarter([this](std::string_view target) { miner_.StartReadBack(target); });
    loop_.SetHandlers([this](std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
        { Route(message, wParam, lParam); },
        [this](int id)
        {
            for (core::Controller* controller : routing_)
            {
                if (controller->OnTimer(id))
                {
                    return;
                }
            }
        });
}

Session::~Session()
{
    Close();
}

void Session::Route(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    for (core::Controller* controller : routing_)
    {
        if (controller->OnMessage(message, wParam, lParam))
        {
            return;
        }
    }
}

bool Session::Open(const discovery::ReceiveFilter& filter, std::string* error)
{
    std::string refusal;
    window_.SetBoxFunction(
        [&refusal](std::string_view text, std::string_view, unsigned)
        {
            refusal = std::string(text);
            return core::kAnswerOk;
        });
    state_.sendSocket = net::Socket::Create(net::SocketKind::Udp);
    if (!state_.sendSocket.IsValid() || !state_.sendSocket.SetBroadcast(true))
    {
        *error = "cannot open a UDP socket for broadcasts";
        return false;
    }
    // Replies come to the address the requests leave from.
    if (const auto address = net::ParseIpv4(net::DefaultRouteAddress()))
    {
        [[maybe_unused]] const bool bound = state_.sendSocket.Bind({ *address, 0 });
    }
    if (!state_.replyQueue.Initialise())
    {
        *error = "out of memory for the reply queue";
        return false;
    }
    state_.running = 1;
    if (!discovery_.StartReplyThread())
    {
        state_.running = 0;
        *error = "cannot start the reply thread";
        return false;
    }
    if (!discovery_.StartLisServ(filter))
    {
        *error = refusal.empty() ? "cannot receive on UDP port 6667" : refusal + " (UDP port 6667)";
        return false;
    }
    window_.SetBoxFunction({});
    return true;
}

void Session::Close()
{
    if (closed_)
    {
        return;
    }
    closed_ = true;
    state_.receiveSocket.Shutdown();
    state_.running = 0;
    state_.monitoring = 0;
    state_.blinking = 0;
    state_.replyQueue.WakeWaiters();
    for (core::Controller* controller : routing_)
    {
        controller->Stop();
    }
    loop_.Close();
    state_.receiveSocket.Close();
    state_.replyQueue.Release();
    state_.listeningSocket.Close();
    state_.sendSocket.Close();
}

bool Session::OpenPackageServer(std::string* error)
{
    net::Socket& listening = state_.listeningSocket;
    listening = net::Socket::Create(net::SocketKind::Tcp);
    // Address reuse before the bind, or a restart within a minute of a run
    // would find the port in TIME_WAIT; a port another program listens on
    // still refuses.
    if (!listening.IsValid() || !listening.SetReuseAddress(true) || !listening.Bind({ net::kInaddrAny, 2425 })
        || !listening.Listen(5))
    {
        *error = "cannot listen on TCP port 2425 (does the window run on this machine?)";
        listening.Close();
        return false;
    }
    if (!window_.SelectSocket(listening.Handle(), resources::kWmTcpSocket, core::kFdAccept | core::kFdClose))
    {
        *error = "cannot watch TCP port 2425";
        return false;
    }
    update_.StartPackageServer();
    return true;
}

void Session::Search(std::chrono::milliseconds wait)
{
    discovery_.OnSearch();
    loop_.RunFor(wait);
}

} // namespace quellis::cli
