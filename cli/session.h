#pragma once

#include "cli/event_loop.h"
#include "cli/headless_window.h"
#include "discovery/receive_filter.h"
#include "engine/session.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

// One run of the command line: the engine session over the window without a
// screen, with the event loop on the calling thread as its UI thread.

namespace quellis::cli
{

class Session
{
public:
    explicit Session(std::filesystem::path config);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Starts the engine: the send socket, the reply thread, the receive
    // socket with the address filter and, when asked, the package server on
    // TCP 2425. False with the reason when the machines cannot be reached or
    // heard, or the package cannot be served.
    bool Open(const discovery::ReceiveFilter& filter, bool packageServer, std::string* error);
    // Ends every thread and closes the sockets; also done by the destructor.
    void Close();

    [[nodiscard]] EventLoop& Loop() { return loop_; }
    [[nodiscard]] HeadlessWindow& Window() { return window_; }
    [[nodiscard]] protocol::SharedState& State() { return engine_.State(); }
    [[nodiscard]] discovery::DiscoveryController& Discovery() { return engine_.Discovery(); }
    [[nodiscard]] commands::CommandsController& Commands() { return engine_.Commands(); }
    [[nodiscard]] miner::MinerController& Miner() { return engine_.Miner(); }
    [[nodiscard]] monitor::MonitorController& Monitor() { return engine_.Monitor(); }
    [[nodiscard]] update::UpdateController& Update() { return engine_.Update(); }
    // The side panel's controls: the monitor box and its interval.
    [[nodiscard]] core::PlainControls& Panel() { return panel_; }
    // Broadcasts a search (and scans the discovery's ranges, if any) and
    // collects the replies for `wait` after; the rows are the machines found.
    // Once *stop is true (a signal handler's flag) the scan ends and the wait
    // with it.
    void Search(std::chrono::milliseconds wait, const std::atomic<bool>* stop = nullptr);

private:
    // The command line starts its operations typed; the dialogs the buttons
    // open are never opened, and would end as cancelled.
    struct NoSettingsDialog : commands::NetworkSettingsDialog
    {
        commands::DialogResult Run(commands::DevSetFields&) override { return commands::DialogResult::Cancelled; }
    };
    struct NoPoolsDialog : miner::PoolSettingsDialog
    {
        std::optional<miner::PoolSlots> Run() override { return std::nullopt; }
    };
    // No companion program's window is told from the command line.
    struct NoCompanions : commands::CompanionWindows
    {
        bool PostToClass(std::string_view, std::uint32_t, std::uintptr_t, std::intptr_t) override { return false; }
    };

    EventLoop loop_;
    HeadlessWindow window_;
    NoSettingsDialog settings_;
    NoCompanions companions_;
    NoPoolsDialog pools_;
    core::PlainControls panel_;
    // Last: its controllers go before the parts above that they use.
    engine::Session engine_;
};

// How this process names itself to another program of the host that cannot
// have the search port it holds ("quellis-cli monitor").
void SetProgramName(std::string name);

// config.ini as the window finds it: beside the executable, or the user's
// own when the program is installed.
[[nodiscard]] std::filesystem::path DefaultConfigPath();

} // namespace quellis::cli
