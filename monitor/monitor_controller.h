#pragma once

#include "core/controller.h"
#include "core/window.h"
#include "monitor/devs_poll.h"
#include "platform/net/socket.h"
#include "platform/sync/thread.h"
#include "protocol/shared_state.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Monitoring: the monitor box of the side panel and the polling thread that
// visits the machines of the device list one after the other, asks each
// one's mining software for its "devs" status and sounds the alarm when a
// machine cannot be reached or gives no usable answer.

namespace quellis::monitor
{

struct MonitorOptions
{
    std::uint16_t apiPort = protocol::kMinerApiPort;
    std::chrono::milliseconds connectTimeout = net::kConnectTimeout;
    // A machine that accepts the connection and never answers would stop all
    // monitoring silently; its silence counts as a failed receive after this.
    std::chrono::milliseconds receiveTimeout { 5000 };
};

// The lowest interval; less (or no number) in the field becomes this.
inline constexpr int kMinInterval = 100;

// One step of the monitor at one machine of the list, as it happens.
struct MachinePoll
{
    int row = -1;
    std::uint32_t address = 0;
    std::string mac; // as the list shows it
    // Nothing while the connection is being made; then how the exchange went.
    std::optional<PollOutcome> outcome;
    Reaction reaction; // the log line (as the log pane gets it) and the alarm
};

// Told of every machine the monitor visits (the worker's thread).
class MonitorObserver
{
public:
    virtual ~MonitorObserver() = default;
    virtual void OnPoll(const MachinePoll& poll) = 0;
};

enum class MonitorRefusal
{
    None, // started
    AlreadyOn,
    NoThread,
};

class MonitorController : public core::Controller
{
public:
    // `panel`: the side panel's controls (the monitor box, the interval).
    MonitorController(
        protocol::SharedState& state, core::Window& window, core::Controls& panel, MonitorOptions options = {});
    ~MonitorController() override;

    // A button of the side panel other than the language box; true when handled.
    bool OnPanelCommand(int id);
    void OnMonitorClicked();
    // UI thread. Polls the rows of the list one after the other, `interval`
    // milliseconds apart (less than kMinInterval becomes it; kept in the
    // configuration as the panel's field is), until StopMonitoring. Every
    // step is also told to `observer` (may be null), which must stay until
    // the engine stops or monitoring starts again.
    [[nodiscard]] MonitorRefusal StartMonitoring(int interval, MonitorObserver* observer = nullptr);
    void StopMonitoring();
    // UI thread. On: false when monitoring is on already or no thread
    // starts. Off: always true; the worker ends before its next machine.
    bool SetMonitoring(bool on);
    void Stop() override;

    // Milliseconds before each machine is polled.
    [[nodiscard]] int Interval() const { return interval_.load(); }

private:
    // One worker run: from switching on to switching off.
    int MonitorWorker(std::uint64_t run);
    void WorkerThread(std::uint64_t run);
    // Whether the run goes on: monitoring is set, not switched off and on
    // again since, and no teardown.
    [[nodiscard]] bool Continues(std::uint64_t run) const;
    // One interval, ended early when the run ends; false then.
    [[nodiscard]] bool WaitInterval(std::uint64_t run);
    [[nodiscard]] PollOutcome Exchange(net::Socket& socket, std::uint32_t address, std::vector<char>& buffer);
    void EnableButtons(bool enable);
    // Normalises and keeps the interval; the value in use.
    int Remember(int interval);
    [[nodiscard]] MonitorRefusal Begin(MonitorObserver* observer);
    void Tell(const MachinePoll& poll);

    protocol::SharedState& state_;
    core::Window& window_;
    core::Controls& panel_;
    const MonitorOptions options_;
    std::atomic<int> interval_;

    // Guards the hand-over between runs and the worker's socket; wake_ ends
    // an interval early.
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    // Counts the switch-ons: a run whose number is no longer current ends.
    std::atomic<std::uint64_t> run_ { 0 };
    std::atomic<bool> stopping_ { false };
    bool workerActive_ = false;
    net::Socket* socket_ = nullptr; // the worker's, while it polls
    MonitorObserver* observer_ = nullptr; // set on the UI thread, read by the worker
    sync::Thread thread_;
};

} // namespace quellis::monitor
