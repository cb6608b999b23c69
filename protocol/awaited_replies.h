#pragma once

#include "platform/sync/event.h"
#include "protocol/device_packet.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string_view>

// The answers the program is waiting for: which reply (a command code, or the
// answer to a network setting) from which machine. Anyone on the segment can
// send us datagrams without authentication, so a reply that starts work,
// releases a wait or opens a box counts only when a request of ours awaits
// it, and only once: the first matching answer claims the request, and a
// second copy finds nothing.
//
// A machine may answer after its sender has stopped waiting (a system
// command that runs long, a pool set that takes its time). Such an answer
// takes no effect, but the operator wants to see it: the requests sent in
// the last minute are remembered, a bounded number of them, and a late
// answer of one of them is let through for its log line only, once per
// machine asked (a request to every machine lets through a bounded number).

namespace quellis::protocol
{

// A PKT_CMD_ACK of one command code, or the PKT_DEV_SETTING_ACK of a setting.
struct AwaitedKind
{
    std::uint32_t type = PKT_CMD_ACK;
    std::uint16_t code = 0;

    friend bool operator==(const AwaitedKind&, const AwaitedKind&) = default;
};

[[nodiscard]] constexpr AwaitedKind CommandAnswer(std::uint16_t code)
{
    return { PKT_CMD_ACK, code };
}
inline constexpr AwaitedKind kSettingAnswer { PKT_DEV_SETTING_ACK, 0 };

class AwaitedReplies
{
public:
    using Ticket = std::uint64_t;
    static constexpr Ticket kNone = 0;
    // Requests awaited at once at most; a new one beyond takes the place of
    // the oldest that no answer has claimed (its sender then times out).
    static constexpr std::size_t kCapacity = 16;
    // Requests remembered for their late answers, and for how long.
    static constexpr std::size_t kRecentCapacity = 128;
    static constexpr auto kLateFor = std::chrono::seconds(60);
    // Late answers let through for one request to every machine.
    static constexpr int kLateFromEveryMachine = 256;
    using Clock = std::chrono::steady_clock;

    enum class State
    {
        Awaited, // sent, no answer yet
        Claimed, // the reply thread is applying the answer
        Answered, // the answer has taken effect
        Gone, // forgotten, or pushed out by newer requests
    };

    // Sender, before the request leaves (an answer may come at once): the
    // answer of `kind` from the machine `target` (its identity as sent). A
    // request to every machine ("FFFFFFFFFFFF") awaits the answer of each,
    // as many as come, until it is forgotten.
    [[nodiscard]] Ticket Await(AwaitedKind kind, std::string_view target, Clock::time_point now = Clock::now());
    // Reply thread: the oldest request that awaits this answer, now claimed
    // (a request to every machine stays awaited), or kNone when nothing
    // awaits it.
    [[nodiscard]] Ticket Claim(AwaitedKind kind, std::string_view target);
    // Reply thread, once the claimed answer has taken effect and before the
    // worker is woken.
    void Answered(Ticket ticket);
    [[nodiscard]] State StateOf(Ticket ticket) const;
    // The sender no longer waits: the request is dropped and its state
    // returned, except while its answer is being applied (Claimed, kept: the
    // effects and the wake-up are still to come).
    State Forget(Ticket ticket);
    // Reply thread, for an answer that no request awaits: whether it is the
    // late answer of a request sent to this machine (or to every machine)
    // within kLateFor, not yet answered. A request answered, late or on
    // time, lets no second answer through.
    [[nodiscard]] bool ClaimLate(AwaitedKind kind, std::string_view target, Clock::time_point now = Clock::now());

private:
    struct Entry
    {
        Ticket ticket = kNone;
        AwaitedKind kind;
        State state = State::Gone;
        bool everyMachine = false;
        std::uint8_t targetLength = 0;
        std::array<char, kTextFieldWidth> target {};
    };

    struct Recent
    {
        Ticket ticket = kNone;
        AwaitedKind kind;
        Clock::time_point until {};
        int lateLeft = 0;
        bool everyMachine = false;
        std::uint8_t targetLength = 0;
        std::array<char, kTextFieldWidth> target {};
    };

    [[nodiscard]] Entry* Find(Ticket ticket);
    [[nodiscard]] Recent* FindRecent(Ticket ticket);

    mutable std::mutex lock_;
    std::array<Entry, kCapacity> entries_ {};
    // A ring: each request takes the place of the oldest.
    std::array<Recent, kRecentCapacity> recent_ {};
    std::size_t nextRecent_ = 0;
    Ticket next_ = 1;
};

enum class AwaitResult
{
    Answered,
    TimedOut,
    Stopped,
};

// Worker: waits on `done` until the answer of `ticket` has taken effect, for
// at most `limit` unless an answer is being applied at the deadline (then its
// wake-up is waited for), looking at `stopping` every 100 ms. A wake-up meant
// for another worker does not count. The request is forgotten on return.
[[nodiscard]] AwaitResult WaitForAnswer(AwaitedReplies& awaited,
    AwaitedReplies::Ticket ticket,
    sync::Event& done,
    std::chrono::milliseconds limit,
    const std::function<bool()>& stopping);

} // namespace quellis::protocol
