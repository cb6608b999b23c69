#pragma once

#include "protocol/awaited_replies.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>
#include <variant>

// The maintenance commands as every front end starts them: which command,
// which machines, who answers the question before a command to every
// machine and hears a wait that ran out; the refusal when a command cannot
// start, or the handle of the command sent.

namespace quellis::commands
{

// Why a command does not start. The window shows each as today's box.
enum class CommandRefusal
{
    NoMachineToTest, // a test without a machine
    SeveralToExecute, // the system command goes to one machine or to all
    EmptyCommand,
    CommandTooLong,
    SeveralSelected, // restart, reboot and name go to one machine or to all
    NoMacRestart, // the machine's row has no MAC (restart, name)
    NoMacReboot,
    NoMachineToSet, // network settings without a machine
    NotConfirmed, // the operator did not confirm a command to every machine; nothing shown
    BlinkThreadFailed,
};

// The box text of a refusal (UTF-8); empty for NotConfirmed.
[[nodiscard]] std::string_view RefusalText(CommandRefusal refusal);
// The box caption; empty for the window's default.
[[nodiscard]] std::string_view RefusalCaption(CommandRefusal refusal);

enum class CommandTest
{
    Led,
    Serial,
};

// The serial ports of a machine; its test answer has a bit per port.
inline constexpr int kSerialPortCount = 5;
// Whether the answer `result` reports port `port` (from 0) working.
[[nodiscard]] constexpr bool SerialPortWorking(std::int32_t result, int port)
{
    return (result & (1 << port)) != 0;
}

// Sent and not waited for.
enum class OneShotCommand
{
    RestartMiner,
    Reboot,
    Name, // the name comes back by itself
};

// Hears a command.
class CommandObserver
{
public:
    virtual ~CommandObserver() = default;
    // Caller's thread, before a command goes to every machine: whether it
    // goes. The question is the window's (UTF-8).
    [[nodiscard]] virtual bool ConfirmEveryMachine(std::string_view question) = 0;
    // UI thread: the wait for the answer ran out; the text is the window's box.
    virtual void OnTimedOut([[maybe_unused]] std::string_view failure) { }
};

// A command sent, shared between the controller and the caller.
class CommandRun
{
public:
    // A command whose answer is awaited as `ticket` (kNone: nothing waits).
    CommandRun(const protocol::AwaitedReplies& awaited, protocol::AwaitedReplies::Ticket ticket, bool sent)
        : awaited_(awaited)
        , ticket_(ticket)
        , sent_(sent)
    {
    }
    // Whether the request left.
    [[nodiscard]] bool Sent() const { return sent_; }
    // Once the answer has taken effect or the wait ran out; at once for a
    // command that waits for nothing.
    [[nodiscard]] bool Ended() const
    {
        // Kept once seen: the next request of the kind drops this one's entry.
        if (!answered_.load() && ticket_ != protocol::AwaitedReplies::kNone
            && awaited_.StateOf(ticket_) == protocol::AwaitedReplies::State::Answered)
        {
            answered_ = true;
        }
        return ticket_ == protocol::AwaitedReplies::kNone || timedOut_.load() || answered_.load();
    }
    [[nodiscard]] bool TimedOut() const { return timedOut_.load(); }

    // The controller's side (UI thread).
    void MarkTimedOut() { timedOut_ = true; }

private:
    const protocol::AwaitedReplies& awaited_;
    const protocol::AwaitedReplies::Ticket ticket_;
    const bool sent_;
    std::atomic<bool> timedOut_ { false };
    mutable std::atomic<bool> answered_ { false };
};

using CommandStarted = std::variant<CommandRefusal, std::shared_ptr<CommandRun>>;

} // namespace quellis::commands
