#include "monitor/monitor_controller.h"

#include "core/settings.h"
#include "discovery/device_table.h"
#include "platform/net/ipv4.h"
#include "platform/net/wsa_error.h"
#include "resources/templates/main_dialog_ids.h"
#include "resources/templates/monitor_panel_ids.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>

namespace quellis::monitor
{

namespace
{

using namespace quellis::resources;

// The worker's own buffer for the reply.
constexpr std::size_t kBufferSize = 1024 * 1024;

// The buttons that must not be used while monitoring: search, set IP, choose
// a package; update selected and update all also need a package.
constexpr int kPlainButtons[] = { kIdSearch, kIdSetIp, kIdSelectPackage };
constexpr int kPackageButtons[] = { kIdUpdateSelected, kIdUpdateAll };

// The decimal number at the start of a text, as atoi reads it (blanks, a
// sign, digits; 0 when there is none), held to the int range.
int LeadingNumber(std::string_view text)
{
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])) != 0)
    {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
    {
        negative = text[at] == '-';
        ++at;
    }
    long long value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
    {
        value = std::min<long long>(value * 10 + (text[at] - '0'), static_cast<long long>(INT_MAX) + 1);
    }
    value = negative ? -value : value;
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

std::string ConnectingLine(std::uint32_t address)
{
    char line[96];
    std::snprintf(line, sizeof line, monitortext::kConnecting, net::FormatIpv4(address).c_str());
    return line;
}

} // namespace

MonitorController::MonitorController(
    protocol::SharedState& state, core::Window& window, core::Controls& panel, MonitorOptions options)
    : state_(state)
    , window_(window)
    , panel_(panel)
    , options_(options)
    , interval_(core::ReadSetting(core::settings::kInterval, state.configPath))
{
}

MonitorController::~MonitorController()
{
    Stop();
}

bool MonitorController::OnPanelCommand(int id)
{
    if (id != kIdMonitorCheck)
    {
        return false;
    }
    OnMonitorClicked();
    return true;
}

void MonitorController::OnMonitorClicked()
{
    const bool on = panel_.IsButtonChecked(kIdMonitorCheck) == core::kChecked;
    // The interval cannot be edited while monitoring.
    panel_.EnableItem(kIdIntervalEdit, !on);
    const int interval = Remember(LeadingNumber(panel_.ItemText(kIdIntervalEdit)));
    panel_.SetItemText(kIdIntervalEdit, std::to_string(interval));
    if (on)
    {
        // Already on or no thread: the box stays checked, as it always has.
        [[maybe_unused]] const MonitorRefusal refusal = Begin(nullptr);
    }
    else
    {
        StopMonitoring();
    }
}

int MonitorController::Remember(int interval)
{
    interval = std::max(interval, kMinInterval);
    // A failed write is not detected; the value in use is the field's.
    [[maybe_unused]] const bool written = core::WriteSetting(core::settings::kInterval, interval, state_.configPath);
    interval_ = interval;
    return interval;
}

MonitorRefusal MonitorController::StartMonitoring(int interval, MonitorObserver* observer)
{
    if (state_.monitoring.load() != 0)
    {
        return MonitorRefusal::AlreadyOn;
    }
    Remember(interval);
    return Begin(observer);
}

MonitorRefusal MonitorController::Begin(MonitorObserver* observer)
{
    if (state_.monitoring.load() != 0)
    {
        return MonitorRefusal::AlreadyOn;
    }
    {
        std::lock_guard lock(mutex_);
        observer_ = observer;
    }
    return SetMonitoring(true) ? MonitorRefusal::None : MonitorRefusal::NoThread;
}

void MonitorController::StopMonitoring()
{
    [[maybe_unused]] const bool stopped = SetMonitoring(false);
}

void MonitorController::Tell(const MachinePoll& poll)
{
    // Under the lock: a new start cannot swap the observer in mid-call.
    std::lock_guard lock(mutex_);
    if (observer_ != nullptr)
    {
        observer_->OnPoll(poll);
    }
}

void MonitorController::EnableButtons(bool enable)
{
    for (const int id : kPlainButtons)
    {
        window_.controls.EnableItem(id, enable);
    }
    if (!enable || !state_.packagePath.Get().empty())
    {
        for (const int id : kPackageButtons)
        {
            window_.controls.EnableItem(id, enable);
        }
    }
}

bool MonitorController::SetMonitoring(bool on)
{
    if (!on)
    {
        {
            std::lock_guard lock(mutex_);
            state_.monitoring = 0;
        }
        wake_.notify_all();
        EnableButtons(true);
        return true;
    }
    if (state_.monitoring.load() != 0)
    {
        return false;
    }
    EnableButtons(false);
    std::lock_guard lock(mutex_);
    state_.monitoring = 1;
    const std::uint64_t run = ++run_;
    if (workerActive_)
    {
        // The last run has not noticed its end yet: it is told now, and its
        // thread starts this run once it has ended, so two never poll at once.
        wake_.notify_all();
        return true;
    }
    thread_.Join(); // a thread that has ended, if any
    workerActive_ = true;
    if (!thread_.Start([this, run] { WorkerThread(run); }))
    {
        workerActive_ = false;
        state_.monitoring = 0;
        return false;
    }
    return true;
}

void MonitorController::Stop()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        // Ends a connect or a receive in progress at once.
        if (socket_ != nullptr)
        {
            socket_->Shutdown();
        }
    }
    wake_.notify_all();
    window_.uiThread.Join(thread_);
}

bool MonitorController::Continues(std::uint64_t run) const
{
    return state_.monitoring.load() != 0 && run_.load() == run && !stopping_.load();
}

bool MonitorController::WaitInterval(std::uint64_t run)
{
    std::unique_lock lock(mutex_);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(interval_.load());
    return !wake_.wait_until(lock, until, [&] { return !Continues(run); });
}

// The thread of the monitor: runs one worker run after the other while the
// box is switched off and on again before a run has ended.
void MonitorController::WorkerThread(std::uint64_t run)
{
    for (;;)
    {
        [[maybe_unused]] const int result = MonitorWorker(run);
        std::lock_guard lock(mutex_);
        const std::uint64_t current = run_.load();
        if (stopping_.load() || state_.monitoring.load() == 0 || current == run)
        {
            workerActive_ = false;
            return;
        }
        run = current;
    }
}

// Owns its reply buffer and one socket at a time. Shares: the device list and
// the log pane (window calls), the alarm (its own lock), `monitoring` and the
// interval (read before each machine). Returns 1 when monitoring ends, 0 when
// no socket can be made.
int MonitorController::MonitorWorker(std::uint64_t run)
{
    std::vector<char> buffer(kBufferSize);
    // Counted once: rows found later wait for the next switch-on.
    const int count = window_.list.RowCount();
    while (Continues(run))
    {
        if (count == 0)
        {
            // Nothing to poll: test again after one interval, not at once.
            [[maybe_unused]] const bool waited = WaitInterval(run);
            continue;
        }
        for (int row = 0; row < count; ++row)
        {
            if (!Continues(run) || !WaitInterval(run))
            {
                return 1;
            }
            net::Socket socket = net::Socket::Create(net::SocketKind::Tcp);
            if (!socket.IsValid())
            {
                {
                    std::lock_guard lock(mutex_);
                    if (run_.load() == run)
                    {
                        state_.monitoring = 0;
                    }
                }
                window_.log.WriteLog(core::LogColour::Default, monitortext::kSocketFailed, false);
                return 0;
            }
            MachinePoll poll;
            poll.row = row;
            poll.address = net::InetAddr(window_.list.CellText(row, discovery::kColumnIp));
            poll.mac = window_.list.CellText(row, discovery::kColumnMac);
            poll.reaction.log = ConnectingLine(poll.address);
            window_.log.WriteLog(core::LogColour::Default, poll.reaction.log, false);
            Tell(poll);
            const std::uint32_t address = poll.address;
            {
                std::lock_guard lock(mutex_);
                if (stopping_.load())
                {
                    return 1;
                }
                socket_ = &socket;
            }
            const PollOutcome outcome = Exchange(socket, address, buffer);
            {
                std::lock_guard lock(mutex_);
                socket_ = nullptr;
            }
            socket.Close();
            if (stopping_.load())
            {
                return 1; // cut short by the teardown: no fault of the machine
            }
            poll.reaction = ReactTo(outcome);
            poll.outcome = outcome;
            if (!poll.reaction.log.empty())
            {
                window_.log.WriteLog(core::LogColour::Default, poll.reaction.log, false);
            }
            Tell(poll);
            if (poll.reaction.alarm)
            {
                window_.alarm.Play();
            }
        }
    }
    return 1;
}

PollOutcome MonitorController::Exchange(net::Socket& socket, std::uint32_t address, std::vector<char>& buffer)
{
    if (!socket.Connect({ address, options_.apiPort }, options_.connectTimeout))
    {
        return { PollStep::ConnectFailed, net::WsaGetLastError() };
    }
    const int sent = socket.Send(kDevsRequest.data(), kDevsRequest.size());
    if (sent == net::kSocketError)
    {
        const int error = net::WsaGetLastError();
        if (error == net::kWsaConnectionReset || error == net::kWsaConnectionAborted)
        {
            return { PollStep::SendClosed, error };
        }
        // Any other failure: the receive tells what is left of the connection.
    }
    if (!socket.SetReceiveTimeout(options_.receiveTimeout))
    {
        return { PollStep::ReceiveFailed, net::WsaGetLastError() };
    }
    const int received = socket.Receive(buffer.data(), buffer.size());
    if (received <= 0)
    {
        return { PollStep::ReceiveFailed, received < 0 ? net::WsaGetLastError() : 0 };
    }
    return ReadDevsReply({ buffer.data(), static_cast<std::size_t>(received) });
}

} // namespace quellis::monitor
