#pragma once

#include "poller/machine_health.h"
#include "poller/poll_result.h"
#include "protocol/device_packet.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

// Polls the miner API of every machine of a farm on one thread: non-blocking
// connections on one readiness poller, at most `concurrency` at a time, each
// machine once per period at its own place in the period. Each poll is a
// "summary" exchange (the hash rate) and then a "devs" exchange (the status),
// and when asked a "pools" exchange (the pool mining), one connection each,
// each bounded in time and in reply size; its outcome
// moves the machine's state (see ApplyPoll). A machine that has failed but is
// not yet down is polled again at once, so that its verdict takes the grace's
// polls and not the grace's periods. Which machines there are is the
// caller's: a search, a file or address ranges hand them in with Update.

namespace quellis::poller
{

using protocol::kMinerApiPort;

struct PollerOptions
{
    std::uint16_t port = kMinerApiPort;
    int concurrency = 256; // connections, and so descriptors, at most
    std::chrono::milliseconds period { 10000 };
    int grace = 2; // failed polls in a row before a machine is down
    std::chrono::milliseconds connectTimeout { 3000 };
    std::chrono::milliseconds receiveTimeout { 5000 };
    // An answering machine connects and answers well within this; one that
    // has not, while the failing machines' share of connections is full, is
    // handed to that share instead of holding a slot of the answering ones.
    std::chrono::milliseconds fastBound { 500 };
    // A reply longer than this is not one: 1 MiB of garbage costs a machine's
    // connection no more than this much memory.
    std::size_t replyLimit = 64 * 1024;
    // A third exchange per poll for the pool a machine mines on (the farm
    // view's column). Off, the poller asks what it always asked: the
    // exporter's and the monitor's load and figures stay as they were.
    bool readPools = false;
};

// What is known of a machine besides its polls: from a search record, or
// only the address when it came from a file or a range.
struct MachineInfo
{
    std::uint32_t address = 0;
    std::string mac; // 12 hexadecimal digits, upper case; "" when not known
    std::string host; // UTF-8; "" when not known
    std::string version;
    std::optional<double> temperature; // degrees Celsius
    std::optional<std::int64_t> uptimeSeconds;
    std::optional<std::int64_t> lastSeenUnix; // the last search reply
};

struct MachineView
{
    MachineInfo info;
    MachineState state = MachineState::Unknown;
    std::optional<double> mhsAv; // of the last good poll
    // "URL user" of the last poll that read the pools: kept while the
    // machine is down, so that the operator sees where it mined.
    std::optional<std::string> pool;
    std::array<std::uint64_t, kFailureKinds> failures {}; // by PollFailure
    std::uint64_t polls = 0;
};

// The upper bounds of the poll duration histogram, in seconds.
inline constexpr std::array<double, 10> kDurationBounds = { 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5 };

struct PollerSnapshot
{
    std::vector<MachineView> machines;
    // Polls by duration: [i] took at most kDurationBounds[i] and more than
    // the bound before; the last counts the rest.
    std::array<std::uint64_t, kDurationBounds.size() + 1> durations {};
    double durationSum = 0; // seconds
    std::uint64_t polls = 0;
    int mostInFlight = 0; // the most connections open at once so far
};

struct StateEvent
{
    std::chrono::system_clock::time_point time;
    std::uint32_t address = 0;
    std::string mac;
    Transition transition;
};

class MachinePoller
{
public:
    // Called on the poller's thread for every change of state; keep it short.
    using EventSink = std::function<void(const StateEvent&)>;

    explicit MachinePoller(PollerOptions options, EventSink sink = {});
    ~MachinePoller();
    MachinePoller(const MachinePoller&) = delete;
    MachinePoller& operator=(const MachinePoller&) = delete;

    // Adds the machines not known yet and refreshes the others' records. A
    // machine is the same by its MAC when that is known, else by its address;
    // machines missing from a later update are kept and polled. Any thread.
    void Update(const std::vector<MachineInfo>& machines);

    // False when the system refused the readiness poller or the thread.
    [[nodiscard]] bool Start();
    // Closes every connection and joins the thread. Safe to call twice.
    void Stop();

    // A copy, taken under a lock the poller holds only for moments.
    [[nodiscard]] PollerSnapshot Snapshot() const;

private:
    struct Slot;
    struct Due;

    void Run();
    void TakeNewMachines(SteadyTime now);
    void StartPoll(int machine, SteadyTime due, SteadyTime now);
    void Connect(Slot& slot, SteadyTime now);
    void Advance(Slot& slot, SteadyTime now);
    void SendRequest(Slot& slot, SteadyTime now);
    void ReceiveReply(Slot& slot, SteadyTime now);
    void ReplyEnded(Slot& slot, SteadyTime now);
    void Expire(Slot& slot, SteadyTime now);
    void CheckFast(Slot& slot, SteadyTime now);
    void Release(Slot& slot);
    void Finish(Slot& slot, PollFailure outcome, SteadyTime now);
    void CloseSocket(Slot& slot);

    const PollerOptions options_;
    const EventSink sink_;

    // Shared with the callers of Update and Snapshot, under lock_.
    mutable std::mutex lock_;
    std::vector<MachineView> views_;
    std::unordered_map<std::uint32_t, int> byAddress_;
    std::unordered_map<std::string, int> byMac_;
    PollerSnapshot totals_; // everything but the machines
    std::atomic<bool> added_ { false };

    // The poller thread's own.
    struct State;
    std::unique_ptr<State> state_;
    std::atomic<bool> stop_ { false };
    std::thread thread_;
};

} // namespace quellis::poller
