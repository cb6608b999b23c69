#pragma once

#include "commands/commands_controller.h"
#include "core/controller.h"
#include "core/window.h"
#include "discovery/discovery_controller.h"
#include "discovery/receive_filter.h"
#include "miner/miner_controller.h"
#include "monitor/monitor_controller.h"
#include "platform/instance/port_note.h"
#include "protocol/shared_state.h"
#include "update/update_controller.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

// The engine every front end opens: the state the threads share, the
// controllers in routing order with their wiring, the sockets, the reply
// queue and the threads, and the package listener. A front end hands it what
// only a front end has (its window parts and dialogs) and routes to it what
// reaches the front end (commands, list clicks, timers, posted messages and
// socket notifications, on its UI thread).
//
// Start order (Start):
//   1. the socket layer                       (fails: StartFailure::SocketLayer, fatal)
//   2. the send socket                        (SendSocket, fatal)
//   3. the package listener on TCP 2425, when asked: socket, reuse, bind,
//      reuse, listen, watched for accepts; then the package server
//   4. the send socket broadcasts from the default route's address
//   5. the reply queue
//   6. `running` set, the reply thread
//   7. the receive socket on UDP 6667 and its thread, when asked
// Stop order (Stop):
//   1. the receive socket shut down; `running`, `monitoring`, `blinking`
//      cleared; the reply queue's waiters woken
//   2. every controller's threads ended, in routing order
//   3. the front end's own hand-offs settled (FrontEnd::threadsEnded)
//   4. the receive socket closed, the reply queue released, the package
//      listener unwatched and closed, the send socket closed

namespace quellis::engine
{

// What the front end lends the session; everything outlives it.
struct FrontEnd
{
    core::Window& window;
    discovery::DeviceRecordSink& records;
    // The side panel's controls: the monitor box, its interval, the language box.
    core::Controls& panel;
    commands::NetworkSettingsDialog& networkSettings;
    commands::CompanionWindows& companions;
    miner::PoolSettingsDialog& pools;
    // Called by Stop once every thread has ended, before the sockets close.
    std::function<void()> threadsEnded;
};

// The steps of the start that can fail, in start order.
enum class StartFailure
{
    SocketLayer,
    SendSocket,
    PackageSocket,
    PackageBind,
    PackageReuse,
    PackageListen,
    PackageWatch,
    Broadcast,
    ReplyQueue,
    ReplyThread,
    ReceiveSocket,
    ReceiveBind,
    ReceiveThread,
};

struct StartOptions
{
    // Open the package listener and start the package server.
    bool packageListener = true;
    // Receive the machines' answers on UDP 6667 with this address filter.
    std::optional<discovery::ReceiveFilter> receive;
    // How the runtime directory's note of the receive port names this
    // program to another that cannot have the port ("quellis-cli monitor").
    std::string program = "quellis";
};

// Told each failed step as it fails; true to go on with the start. A fatal
// step ends the start whatever the answer; a package step that fails skips
// the steps of the listener that need it.
using StartFailureHandler = std::function<bool(StartFailure failure)>;

class Session
{
public:
    explicit Session(std::filesystem::path config);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Complete from construction: the front end reads and sets its start-up
    // values (tool type, language) before Open.
    [[nodiscard]] protocol::SharedState& State() { return state_; }

    // Makes the controllers over the front end's parts and wires them. Once.
    void Open(const FrontEnd& frontEnd);
    [[nodiscard]] bool IsOpen() const { return controllers_ != nullptr; }
    // After Open. False when a step failed and the handler (or the step)
    // ended the start; what started is ended by Stop.
    [[nodiscard]] bool Start(const StartOptions& options, const StartFailureHandler& failed);
    // Ends every thread and closes the sockets; safe twice and without Open.
    void Stop();
    // Stop, then the controllers go: before the front end's parts they use.
    void Close();

    // After Open.
    [[nodiscard]] discovery::DiscoveryController& Discovery();
    [[nodiscard]] commands::CommandsController& Commands();
    [[nodiscard]] update::UpdateController& Update();
    [[nodiscard]] miner::MinerController& Miner();
    [[nodiscard]] monitor::MonitorController& Monitor();
    // In routing order; empty before Open.
    [[nodiscard]] const std::vector<core::Controller*>& Controllers() const { return routing_; }

    // UI thread: hands what reached the front end to the controllers in
    // routing order; true when one took it.
    bool RouteCommand(int id);
    bool RouteListNotify(core::ListNotify code, int row, int column);
    bool RouteTimer(int id);
    bool RouteMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

private:
    struct Subsystems;

    // False when the start must end.
    bool OpenPackageListener(const StartFailureHandler& failed);
    void BroadcastFromDefaultRoute();

    protocol::SharedState state_;
    std::unique_ptr<Subsystems> controllers_;
    std::vector<core::Controller*> routing_;
    core::WindowMessages* messages_ = nullptr;
    std::function<void()> threadsEnded_;
    // Kept while the receive socket holds its port.
    instance::PortNote receiveNote_;
    bool listenerWatched_ = false;
    bool stopped_ = false;
};

} // namespace quellis::engine
