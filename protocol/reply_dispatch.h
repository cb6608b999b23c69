#pragma once

#include "core/log_colour.h"
#include "protocol/awaited_replies.h"
#include "protocol/device_packet.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Where the machines' answers go: search replies become device records, and
// every other answer goes to the handler its subsystem registered for its
// command code (or for the setting answer). The dispatcher keeps the order
// (records that came before an answer are applied before its effects) and
// counts the answers no request awaits; the effects are the subsystems'.
// An answer that would start work, release a wait or open a box takes effect
// only when a request of ours awaits it (AwaitedReplies); any other is
// counted as unexpected, and the count is logged at most once a second,
// unless it is the late answer of a request sent lately: that one is shown,
// and does nothing else.

namespace quellis::protocol
{

// What the dispatcher itself does to the front end.
class ReplySink
{
public:
    virtual ~ReplySink() = default;

    // Device rows: the records in arrival order. They may be applied later,
    // but before the effects of any reply that comes after them.
    virtual void ApplyDeviceRecords(std::vector<DeviceRecord> records) = 0;
    // Called before the effects of a reply that is not a record: every record
    // handed over so far is applied by then.
    virtual void Synchronise() { }
    virtual void Log(core::LogColour colour, std::string_view text, bool toFile) = 0;
    // For the pace of the unexpected-reply line.
    virtual std::chrono::steady_clock::time_point Now() { return std::chrono::steady_clock::now(); }

    // Every command answer and every setting answer, as it arrives and
    // before its effects: for a front end that reports per machine.
    virtual void ObserveCommandReply(const CommandPacket& /*reply*/, std::span<const std::uint8_t> /*datagram*/) { }
    virtual void ObserveSettingReply(const DeviceRecord& /*reply*/) { }
};

// What a handler may ask of the dispatcher while it handles an answer.
class ReplyContext
{
public:
    virtual ~ReplyContext() = default;
    // The request this answer answers, claimed; kNone (and one more
    // unexpected reply) when none awaits it.
    [[nodiscard]] virtual AwaitedReplies::Ticket Claim(std::uint16_t code, std::string_view target) = 0;
    // As Claim, for an answer that may also come late: when no request
    // awaits it but one was sent to its machine lately and not yet answered,
    // `late` is set (the handler logs it; it is not unexpected).
    struct Claimed
    {
        AwaitedReplies::Ticket ticket = AwaitedReplies::kNone;
        bool late = false;
    };
    [[nodiscard]] virtual Claimed ClaimOrLate(std::uint16_t code, std::string_view target) = 0;
    [[nodiscard]] virtual AwaitedReplies& Awaited() = 0;
    virtual void Unexpected() = 0;
    // Every record that came before this answer is applied.
    virtual void Settle() = 0;
    // A record to apply with the search replies (a setting answer carries the
    // machine's new settings).
    virtual void AddRecord(DeviceRecord record) = 0;
};

// Runs on the reply thread. Datagrams are handled in their order; records
// that follow one another are gathered, so a burst of search replies costs
// one window call instead of one each. Handlers are registered before the
// reply thread starts, or at the latest before the first request whose
// answer they handle is sent (the reply queue orders the two).
class ReplyDispatcher : private ReplyContext
{
public:
    using CommandHandler = std::function<void(
        const CommandPacket& reply, std::span<const std::uint8_t> datagram, ReplyContext& context)>;
    using SettingHandler = std::function<void(DeviceRecord record, ReplyContext& context)>;

    // The unexpected replies of this long are logged together, in one line.
    static constexpr auto kUnexpectedLogInterval = std::chrono::seconds(1);

    ReplyDispatcher(ReplySink& sink, AwaitedReplies& awaited)
        : sink_(sink)
        , awaited_(awaited)
    {
    }

    void Register(std::uint16_t code, CommandHandler handler) { commands_[code] = std::move(handler); }
    void RegisterSetting(SettingHandler handler) { setting_ = std::move(handler); }

    void Dispatch(std::span<const std::span<const std::uint8_t>> datagrams);
    void Dispatch(std::span<const std::uint8_t> datagram);
    // Nothing queued: the count of unexpected replies still to be logged goes
    // out once its interval has passed.
    void Idle();

private:
    // ---- ReplyContext ----
    AwaitedReplies::Ticket Claim(std::uint16_t code, std::string_view target) override;
    Claimed ClaimOrLate(std::uint16_t code, std::string_view target) override;
    AwaitedReplies& Awaited() override { return awaited_; }
    void Unexpected() override;
    void Settle() override;
    void AddRecord(DeviceRecord record) override { pendingRecords_.push_back(std::move(record)); }

    void HandleOne(std::span<const std::uint8_t> datagram);
    void FlushRecords();
    void LogUnexpected();

    ReplySink& sink_;
    AwaitedReplies& awaited_;
    std::map<std::uint16_t, CommandHandler> commands_;
    SettingHandler setting_;
    std::vector<DeviceRecord> pendingRecords_;
    int unexpected_ = 0;
    std::optional<std::chrono::steady_clock::time_point> unexpectedLogged_;
};

inline constexpr const char* kUnexpectedReplies = "收到%d个未预期的应答，已忽略\r\n";

} // namespace quellis::protocol
