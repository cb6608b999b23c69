#pragma once

#include "cli/event_loop.h"
#include "cli/headless_window.h"
#include "commands/commands_controller.h"
#include "discovery/discovery_controller.h"
#include "discovery/receive_filter.h"
#include "discovery/shared_state.h"
#include "miner/miner_controller.h"
#include "monitor/monitor_controller.h"
#include "update/update_controller.h"

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

// One run of the command line: the state the threads share, the window
// without a screen, the event loop on the calling thread, and the
// controllers, set up as the main window sets them up.

namespace quellis::cli
{

class Session
{
public:
    explicit Session(std::filesystem::path config);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The send socket (broadcast, from the default route's address), the
    // receive socket with the address filter, the reply and receive threads.
    // False with the reason when the machines cannot be reached or heard.
    bool Open(const discovery::ReceiveFilter& filter, std::string* error);
    // Ends every thread and closes the sockets; also done by the destructor.
    void Close();

    [[nodiscard]] EventLoop& Loop() { return loop_; }
    [[nodiscard]] HeadlessWindow& Window() { return window_; }
    [[nodiscard]] discovery::SharedState& State() { return state_; }
    [[nodiscard]] discovery::DiscoveryController& Discovery() { return discovery_; }
    [[nodiscard]] commands::CommandsController& Commands() { return commands_; }
    [[nodiscard]] miner::MinerController& Miner() { return miner_; }
    [[nodiscard]] monitor::MonitorController& Monitor() { return monitor_; }
    [[nodiscard]] update::UpdateController& Update() { return update_; }
    // The package server on TCP 2425, as the window opens it at start-up.
    // False with the reason when the port cannot be had.
    bool OpenPackageServer(std::string* error);
    // The side panel's controls: the monitor box and its interval.
    [[nodiscard]] PlainControls& Panel() { return panel_; }
    // The pools the pool settings "dialog" confirms.
    void SetPools(const miner::PoolSlots& slots) { pools_.slots = slots; }
    // The settings the network settings "dialog" confirms for every machine.
    void SetNetworkSettings(const commands::DevSetFields& fields) { settings_.fields = fields; }

    // Broadcasts a search and collects the replies for `wait`; the rows are
    // the machines found.
    void Search(std::chrono::milliseconds wait);

private:
    // The settings dialog of the command line: the options are the answer.
    struct SettingsFromOptions : commands::NetworkSettingsDialog
    {
        commands::DialogResult Run(commands::DevSetFields& shown) override
        {
            const std::string mac = shown.mac;
            shown = fields;
            shown.mac = mac;
            return commands::DialogResult::Ok;
        }
        commands::DevSetFields fields;
    };
    struct PoolsFromOptions : miner::PoolSettingsDialog
    {
        std::optional<miner::PoolSlots> Run() override { return slots; }
        miner::PoolSlots slots;
    };
    // No companion program's window is told from the command line.
    struct NoCompanions : commands::CompanionWindows
    {
        bool PostToClass(std::string_view, std::uint32_t, std::uintptr_t, std::intptr_t) override { return false; }
    };

    void Route(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

    discovery::SharedState state_;
    EventLoop loop_;
    HeadlessWindow window_;
    SettingsFromOptions settings_;
    NoCompanions companions_;
    PoolsFromOptions pools_;
    PlainControls panel_;
    discovery::DiscoveryController discovery_;
    commands::CommandsController commands_;
    update::UpdateController update_;
    miner::MinerController miner_;
    monitor::MonitorController monitor_;
    std::vector<core::Controller*> routing_;
    bool closed_ = false;
};

// config.ini as the window finds it: beside the executable, or the user's
// own when the program is installed.
[[nodiscard]] std::filesystem::path DefaultConfigPath();

} // namespace quellis::cli
