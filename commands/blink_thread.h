#pragma once

#include "core/window.h"
#include "platform/sync/event.h"
#include "platform/sync/thread.h"
#include "protocol/shared_state.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

// The blink sequence: a thread that keeps the network LEDs of every machine,
// or of the selected ones in turn, flickering until `blinking` is cleared.
// It sends on a socket of its own to each row's own address, so it shares
// neither the send socket nor the broadcast with the UI thread.

namespace quellis::commands
{

// Pauses of the sequence, in milliseconds.
inline constexpr std::uint32_t kBlinkPassPauseMs = 1000; // after a pass over every row
inline constexpr std::uint32_t kBlinkRowPauseMs = 600; // after each selected row
inline constexpr std::uint32_t kBlinkIdlePauseMs = 100; // a pass over a selection that sent nothing

// A row's address text as a blink destination: four decimal numbers naming
// a unicast address (first number 1 to 223). Nothing for any other text, so
// that a machine reporting nonsense is skipped instead of being converted
// into 0.0.0.0 or 255.255.255.255.
[[nodiscard]] std::optional<std::uint32_t> BlinkDestination(std::string_view ipText);

class BlinkThread
{
public:
    // The thread's pause; the default waits on an event that Stop sets.
    using Pause = std::function<void(std::uint32_t milliseconds)>;

    BlinkThread(protocol::SharedState& state, core::Window& window);
    ~BlinkThread();
    BlinkThread(const BlinkThread&) = delete;
    BlinkThread& operator=(const BlinkThread&) = delete;

    // Tests replace the pauses to see the sequence without its waits.
    void SetPause(Pause pause) { pause_ = std::move(pause); }

    // UI thread, with `blinking` set; false when the system refused a thread.
    [[nodiscard]] bool Start();
    // UI thread, with `blinking` cleared: ends the pause the thread may be in
    // and joins it, carrying out its window calls meanwhile. At most the
    // datagram being sent leaves after the flag was cleared.
    void Stop();
    // The last thread could not make its socket (the box said so).
    [[nodiscard]] bool SocketFailed() const { return socketFailed_.load(); }

private:
    void Run();
    void Wait(std::uint32_t milliseconds);

    protocol::SharedState& state_;
    core::Window& window_;
    Pause pause_;
    sync::Event wake_ { sync::EventReset::Manual };
    sync::Thread thread_;
    std::atomic<bool> socketFailed_ { false };
};

namespace blinktext
{
inline constexpr std::string_view kAllRows = "闪烁所有设备!!!!!!!!!!!!!!!\r\n";
inline constexpr std::string_view kSelectedRows = "依次闪烁选中设备!\r\n";
inline constexpr std::string_view kSocketFailed = "创建套接字失败";
inline constexpr std::string_view kSocketFailedCaption = "FAILED";
} // namespace blinktext

} // namespace quellis::commands
