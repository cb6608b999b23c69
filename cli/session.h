#pragma once

#include "cli/event_loop.h"
#include "cli/headless_window.h"
#include "discovery/discovery_controller.h"
#include "discovery/receive_filter.h"
#include "discovery/shared_state.h"

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

    // Broadcasts a search and collects the replies for `wait`; the rows are
    // the machines found.
    void Search(std::chrono::milliseconds wait);

private:
    void Route(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

    discovery::SharedState state_;
    EventLoop loop_;
    HeadlessWindow window_;
    discovery::DiscoveryController discovery_;
    std::vector<core::Controller*> routing_;
    bool closed_ = false;
};

// config.ini beside the executable, as the window reads it.
[[nodiscard]] std::filesystem::path DefaultConfigPath();

} // namespace quellis::cli
