#include "cli/session.h"

#include "core/settings.h"
#include "platform/instance/port_note.h"
#include "platform/places/user_places.h"
#include "platform/version/version_info.h"

#include <algorithm>
#include <optional>

namespace quellis::cli
{

namespace
{

using engine::StartFailure;

bool IsPackageStep(StartFailure failure)
{
    switch (failure)
    {
    case StartFailure::PackageSocket:
    case StartFailure::PackageBind:
    case StartFailure::PackageReuse:
    case StartFailure::PackageListen:
    case StartFailure::PackageWatch:
        return true;
    default:
        return false;
    }
}

std::string& ProgramName()
{
    static std::string name = "quellis-cli";
    return name;
}

std::string FailureText(StartFailure failure, std::uint16_t receivePort)
{
    switch (failure)
    {
    case StartFailure::SocketLayer:
    case StartFailure::SendSocket:
    case StartFailure::Broadcast:
        return "cannot open a UDP socket for broadcasts";
    case StartFailure::ReplyQueue:
        return "out of memory for the reply queue";
    case StartFailure::ReplyThread:
        return "cannot start the reply thread";
    case StartFailure::ReceiveSocket:
        return std::string(discovery::discoverytext::kReceiveSocketFailed) + " (UDP port 6667)";
    case StartFailure::ReceiveBind:
        if (const auto holder = instance::PortHolder(receivePort))
        {
            return std::string(discovery::discoverytext::kReceiveBindFailed) + " (UDP port 6667, held by " + *holder
                + ")";
        }
        return std::string(discovery::discoverytext::kReceiveBindFailed) + " (UDP port 6667)";
    case StartFailure::ReceiveThread:
        return "cannot receive on UDP port 6667";
    case StartFailure::PackageSocket:
    case StartFailure::PackageBind:
    case StartFailure::PackageReuse:
    case StartFailure::PackageListen:
        return "cannot listen on TCP port 2425 (does the window run on this machine?)";
    case StartFailure::PackageWatch:
        return "cannot watch TCP port 2425";
    }
    return {};
}

} // namespace

void SetProgramName(std::string name)
{
    ProgramName() = std::move(name);
}

std::filesystem::path DefaultConfigPath()
{
    places::Place config = places::FindConfig(places::CurrentEnvironment());
    places::PrintMessages("quellis-cli", config.messages);
    return std::move(config.path);
}

Session::Session(std::filesystem::path config)
    : window_(loop_, [this] { return engine_.State().language.load(); })
    , engine_(std::move(config))
{
    // Results of the command line are English: the run time in English units.
    engine_.State().language = 0;
    engine_.State().toolType = core::kToolTypeListening;
    engine_.Open({ window_.Window(), window_, panel_, settings_, companions_, pools_, [this] { loop_.Close(); } });
    loop_.SetHandlers([this](std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
        { engine_.RouteMessage(message, wParam, lParam); },
        [this](int id) { engine_.RouteTimer(id); });
}

Session::~Session()
{
    Close();
}

bool Session::Open(const discovery::ReceiveFilter& filter, bool packageServer, std::string* error)
{
    // The machines must be reached and heard before the package matters: a
    // failure of the package server is told only when the rest started.
    std::optional<StartFailure> stopped;
    std::optional<StartFailure> package;
    const bool started = engine_.Start({ packageServer, filter, ProgramName() },
        [&](StartFailure failure)
        {
            if (IsPackageStep(failure))
            {
                package = package.value_or(failure);
                return true;
            }
            stopped = failure;
            return false;
        });
    if (!started || package)
    {
        *error = FailureText(stopped.value_or(package.value_or(StartFailure::SendSocket)), engine_.State().replyPort);
        return false;
    }
    return true;
}

void Session::Close()
{
    engine_.Stop();
}

void Session::Search(std::chrono::milliseconds wait, const std::atomic<bool>* stop)
{
    const auto stopped = [stop] { return stop != nullptr && stop->load(); };
    Discovery().OnSearch();
    // A range scan takes its addresses over their rate; the wait for the
    // answers starts when it is done.
    while (engine_.State().pacedSender.Running() != 0)
    {
        if (stopped())
        {
            engine_.State().pacedSender.CancelScans();
        }
        loop_.RunFor(std::chrono::milliseconds(50));
    }
    if (stop == nullptr)
    {
        loop_.RunFor(wait);
        return;
    }
    const auto end = std::chrono::steady_clock::now() + wait;
    for (auto now = std::chrono::steady_clock::now(); now < end && !stopped(); now = std::chrono::steady_clock::now())
    {
        loop_.RunFor(std::min<std::chrono::milliseconds>(
            std::chrono::ceil<std::chrono::milliseconds>(end - now), std::chrono::milliseconds(100)));
    }
}

} // namespace quellis::cli
