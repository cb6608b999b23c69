#include "sim/api_server.h"

#include "platform/net/ipv4.h"
#include "platform/trace/trace.h"
#include "sim/fd_timers.h"

#include <queue>

#include <arpa/inet.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <unordered_map>

namespace quellis::sim
{

namespace
{

using namespace std::chrono_literals;

constexpr std::uint64_t kTagStop = 1;
constexpr std::uint64_t kTagListener = 2;
constexpr std::uint64_t kTagConnection = 3;
constexpr int kBacklog = 128;
constexpr std::size_t kMaxRequest = 64 * 1024;
// The tool sends its request in one piece and no terminator; a text that is
// not yet valid JSON gets this long to complete before it is answered as it is.
constexpr auto kRequestPause = 100ms;
constexpr auto kIdleLimit = 30s; // a connection that never sends a request
constexpr auto kHoldLimit = 5min; // a silent machine's connection, unless the client goes first
constexpr auto kAcceptPause = 100ms; // after running out of descriptors

std::uint64_t Tag(std::uint64_t kind, std::uint64_t value)
{
    return (kind << 32) | value;
}

std::int64_t UnixNow()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A switch of a machine's power that its schedule brings.
struct PowerChange
{
    Clock::time_point when;
    int machine = 0;
    bool on = false;
};

enum class Phase
{
    Reading,
    Sending,
    Pausing, // between the two pieces of a split reply
    Holding,
};

struct Connection
{
    int machine = 0;
    Phase phase = Phase::Reading;
    std::string received;
    std::string pending;
    std::string secondPiece;
    Clock::time_point deadline;
    std::uint64_t generation = 0;
};

// The state of the serving thread; it lives on that thread's stack.
class Loop
{
public:
    Loop(int epoll,
        MachineTable& machines,
        FarmCounters& counters,
        std::vector<std::pair<int, int>> listeners,
        std::vector<PowerChange> changes,
        std::function<void(int, bool)> setReachable)
        : epoll_(epoll)
        , machines_(machines)
        , counters_(counters)
        , listeners_(std::move(listeners))
        , changes_(std::move(changes))
        , setReachable_(std::move(setReachable))
    {
        std::sort(changes_.begin(), changes_.end(), [](const auto& a, const auto& b) { return a.when < b.when; });
    }

    ~Loop()
    {
        for (const auto& [fd, connection] : connections_)
        {
            close(fd);
        }
    }

    void Run()
    {
        epoll_event events[256];
        for (;;)
        {
            const int ready
                = epoll_wait(epoll_, events, static_cast<int>(std::size(events)), WaitMilliseconds(Clock::now()));
            if (ready < 0 && errno != EINTR)
            {
                trace::OutputDebugStringF("farm api: epoll_wait failed: %s\n", std::strerror(errno));
                return;
            }
            const auto now = Clock::now();
            for (int i = 0; i < ready; ++i)
            {
                const std::uint64_t kind = events[i].data.u64 >> 32;
                const auto value = static_cast<std::uint32_t>(events[i].data.u64);
                if (kind == kTagStop)
                {
                    return;
                }
                if (kind == kTagListener)
                {
                    Accept(value, now);
                }
                else if (kind == kTagConnection)
                {
                    OnEvent(static_cast<int>(value), events[i].events, now);
                }
            }
            RunTimers(Clock::now());
            RunPowerChanges(Clock::now());
        }
    }

private:
    int WaitMilliseconds(Clock::time_point now) const
    {
        const int timers = timers_.WaitMilliseconds(now);
        if (nextChange_ == changes_.size())
        {
            return timers;
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(changes_[nextChange_].when - now).count();
        const int change = static_cast<int>(std::clamp<std::int64_t>(wait, 0, 60'000));
        return timers < 0 ? change : std::min(timers, change);
    }

    void RunPowerChanges(Clock::time_point now)
    {
        for (; nextChange_ < changes_.size() && changes_[nextChange_].when <= now; ++nextChange_)
        {
            setReachable_(changes_[nextChange_].machine, changes_[nextChange_].on);
        }
    }

    void SetDeadline(int fd, Connection& connection, Clock::time_point when)
    {
        connection.deadline = when;
        // Numbered across the loop, not per connection: a descriptor is reused
        // by the next connection at once, and the deadline a closed one left
        // behind must not match its successor's.
        connection.generation = ++generations_;
        timers_.Push(FdTimer { when, fd, connection.generation });
    }

    void Accept(std::uint32_t listenerIndex, Clock::time_point now)
    {
        const auto& [listener, machineIndex] = listeners_[listenerIndex];
        for (;;)
        {
            const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0)
            {
                if (errno == EINTR || errno == ECONNABORTED)
                {
                    continue;
                }
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                {
                    // Level-triggered readiness would spin; rest the listener a moment.
                    epoll_event quiet {};
                    quiet.data.u64 = Tag(kTagListener, listenerIndex);
                    epoll_ctl(epoll_, EPOLL_CTL_MOD, listener, &quiet);
                    timers_.Push(FdTimer { now + kAcceptPause, -1 - static_cast<int>(listenerIndex), 0 });
                }
                return;
            }
            counters_.apiConnections.fetch_add(1, std::memory_order_relaxed);
            if (machines_[machineIndex].IsRebooting(now) || machines_[machineIndex].IsOff(now))
            {
                close(fd); // the mining software is not up yet, or went with the power
                continue;
            }
            epoll_event event {};
            event.events = EPOLLIN | EPOLLRDHUP;
            event.data.u64 = Tag(kTagConnection, static_cast<std::uint32_t>(fd));
            if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0)
            {
                close(fd);
                continue;
            }
            Connection& connection = connections_[fd];
            connection = Connection {};
            connection.machine = machineIndex;
            SetDeadline(fd, connection, now + kIdleLimit);
        }
    }

    void OnEvent(int fd, std::uint32_t events, Clock::time_point now)
    {
        const auto found = connections_.find(fd);
        if (found == connections_.end())
        {
            return;
        }
        Connection& connection = found->second;
        if ((events & EPOLLERR) != 0)
        {
            CloseConnection(fd);
            return;
        }
        if ((events & EPOLLOUT) != 0 && connection.phase == Phase::Sending)
        {
            if (!SendPending(fd, connection))
            {
                return;
            }
        }
        if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) != 0)
        {
            OnReadable(fd, connection, now);
        }
    }

    void OnReadable(int fd, Connection& connection, Clock::time_point now)
    {
        char buffer[4096];
        bool ended = false;
        for (;;)
        {
            const ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got > 0)
            {
                if (connection.phase == Phase::Reading && connection.received.size() < kMaxRequest)
                {
                    connection.received.append(buffer, static_cast<std::size_t>(got));
                }
                continue;
            }
            if (got == 0)
            {
                ended = true;
                break;
            }
            if (errno == EINTR)
            {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK)
            {
                CloseConnection(fd);
                return;
            }
            break;
        }

        if (connection.phase == Phase::Reading && !connection.received.empty())
        {
            if (ended || connection.received.size() >= kMaxRequest || IsCompleteApiRequest(connection.received))
            {
                Respond(fd, connection, now);
                return;
            }
            SetDeadline(fd, connection, now + kRequestPause);
        }
        if (ended)
        {
            CloseConnection(fd); // the client has gone: nothing more to say
        }
    }

    void Respond(int fd, Connection& connection, Clock::time_point now)
    {
        Machine& machine = machines_[connection.machine];
        machine.counters.apiRequests.fetch_add(1, std::memory_order_relaxed);
        ApiOutcome outcome = machine.AnswerApi(connection.received, now, UnixNow());
        switch (outcome.action)
        {
        case ApiAction::Answer:
            connection.phase = Phase::Sending;
            connection.pending = std::move(outcome.reply);
            if (outcome.firstPiece > 0 && outcome.firstPiece < connection.pending.size())
            {
                connection.secondPiece = connection.pending.substr(outcome.firstPiece);
                connection.pending.resize(outcome.firstPiece);
            }
            SetDeadline(fd, connection, now + kIdleLimit);
            SendPending(fd, connection);
            break;
        case ApiAction::Close:
            CloseConnection(fd);
            break;
        case ApiAction::Reset:
        {
            // A zero linger time makes the close a reset.
            const linger abort { 1, 0 };
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            close(fd);
            connections_.erase(fd);
            break;
        }
        case ApiAction::Silent:
        {
            connection.phase = Phase::Holding;
            epoll_event event {};
            event.events = EPOLLIN | EPOLLRDHUP;
            event.data.u64 = Tag(kTagConnection, static_cast<std::uint32_t>(fd));
            epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event);
            SetDeadline(fd, connection, now + kHoldLimit);
            break;
        }
        }
    }

    // False when the connection was closed.
    bool SendPending(int fd, Connection& connection)
    {
        while (!connection.pending.empty())
        {
            const ssize_t sent
                = send(fd, connection.pending.data(), connection.pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent > 0)
            {
                connection.pending.erase(0, static_cast<std::size_t>(sent));
                continue;
            }
            if (sent < 0 && errno == EINTR)
            {
                continue;
            }
            if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            {
                epoll_event event {};
                event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP;
                event.data.u64 = Tag(kTagConnection, static_cast<std::uint32_t>(fd));
                epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event);
                return true;
            }
            CloseConnection(fd);
            return false;
        }
        if (!connection.secondPiece.empty())
        {
            // The first piece is out; the rest follows after a pause.
            connection.phase = Phase::Pausing;
            epoll_event event {};
            event.events = EPOLLIN | EPOLLRDHUP;
            event.data.u64 = Tag(kTagConnection, static_cast<std::uint32_t>(fd));
            epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event);
            SetDeadline(fd, connection, Clock::now() + std::chrono::milliseconds(kSplitPauseMs));
            return true;
        }
        // The whole reply is out; the tool reads it and closes its side.
        CloseConnection(fd);
        return false;
    }

    void CloseConnection(int fd)
    {
        // Closing with unread input would send a reset and could destroy the
        // reply in flight; take in whatever arrived first.
        char sink[4096];
        while (recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0)
        {
        }
        close(fd);
        connections_.erase(fd);
    }

    void RunTimers(Clock::time_point now)
    {
        while (const auto due = timers_.PopDue(now))
        {
            const FdTimer& timer = *due;
            if (timer.fd < 0)
            {
                const auto index = static_cast<std::uint32_t>(-1 - timer.fd);
                epoll_event event {};
                event.events = EPOLLIN;
                event.data.u64 = Tag(kTagListener, index);
                epoll_ctl(epoll_, EPOLL_CTL_MOD, listeners_[index].first, &event);
                continue;
            }
            const auto found = connections_.find(timer.fd);
            if (found == connections_.end() || found->second.generation != timer.generation)
            {
                continue; // a deadline that was moved or whose connection has gone
            }
            Connection& connection = found->second;
            if (connection.phase == Phase::Reading && !connection.received.empty())
            {
                Respond(timer.fd, connection, now);
            }
            else if (connection.phase == Phase::Pausing)
            {
                connection.phase = Phase::Sending;
                connection.pending = std::move(connection.secondPiece);
                connection.secondPiece.clear();
                SetDeadline(timer.fd, connection, now + kIdleLimit);
                SendPending(timer.fd, connection);
            }
            else
            {
                CloseConnection(timer.fd);
            }
        }
    }

    int epoll_;
    MachineTable& machines_;
    FarmCounters& counters_;
    std::vector<std::pair<int, int>> listeners_;
    std::unordered_map<int, Connection> connections_;
    FdTimers timers_;
    std::uint64_t generations_ = 0;
    std::vector<PowerChange> changes_;
    std::size_t nextChange_ = 0;
    std::function<void(int, bool)> setReachable_;
};

} // namespace

ApiServer::ApiServer(MachineTable& machines, FarmCounters& counters)
    : machines_(machines)
    , counters_(counters)
{
}

ApiServer::~ApiServer()
{
    Stop();
}

bool ApiServer::Open(std::uint16_t port, std::string* error)
{
    port_ = port;
    listenerOf_.assign(static_cast<std::size_t>(machines_.Size()), -1);
    for (int i = 0; i < machines_.Size(); ++i)
    {
        const Machine& machine = machines_[i];
        if (machine.behaviour.api == ApiMode::Refuse)
        {
            continue;
        }
        const bool off = machine.behaviour.api == ApiMode::Off;
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
        {
            *error = std::string("cannot create the API socket of machine ") + std::to_string(i) + ": "
                + std::strerror(errno);
            return false;
        }
        listeners_.push_back(Listener { fd, i, off });
        listenerOf_[static_cast<std::size_t>(i)] = fd;
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(machine.identity.address);
        address.sin_port = htons(port_);
        // A switched-off machine: a queue of one connection that is never
        // accepted, filled at once by the farm itself, so that every further
        // connect is dropped unanswered and times out at the tool, as one to a
        // machine without power does.
        if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0
            || listen(fd, off ? 0 : kBacklog) != 0)
        {
            const int failure = errno;
            *error = "cannot listen on " + net::FormatIpv4(machine.identity.address) + ":" + std::to_string(port_)
                + " for the miner API: " + std::strerror(failure);
            if (failure == EADDRNOTAVAIL)
            {
                *error += " (the farm's addresses must be local: loopback ones, or a namespace that owns the range)";
            }
            return false;
        }
        if (port_ == 0)
        {
            socklen_t length = sizeof address;
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
            port_ = ntohs(address.sin_port);
        }
        if (machine.IsOff(Clock::now()))
        {
            SetReachable(i, false); // off from the start
        }
        if (off)
        {
            address.sin_port = htons(port_);
            const int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (filler < 0 || connect(filler, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            {
                *error = "cannot fill the queue of switched-off machine " + net::FormatIpv4(machine.identity.address)
                    + ": " + std::strerror(errno);
                if (filler >= 0)
                {
                    close(filler);
                }
                return false;
            }
            fillers_.push_back(filler);
        }
    }
    return true;
}

void ApiServer::SetReachable(int machine, bool reachable)
{
    if (machine < 0 || static_cast<std::size_t>(machine) >= listenerOf_.size() || listenerOf_[machine] < 0)
    {
        return; // a machine whose API refuses has no listener, on or off
    }
    const int fd = listenerOf_[static_cast<std::size_t>(machine)];
    if (reachable)
    {
        const int unused = 0;
        setsockopt(fd, SOL_SOCKET, SO_DETACH_FILTER, &unused, sizeof unused);
        return;
    }
    // A socket filter runs before the listener answers a SYN: returning 0
    // drops the segment unanswered.
    sock_filter dropAll[] = { BPF_STMT(BPF_RET | BPF_K, 0) };
    sock_fprog program { static_cast<unsigned short>(std::size(dropAll)), dropAll };
    if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0)
    {
        trace::OutputDebugStringF("farm api: machine %d cannot be switched off: %s\n", machine, std::strerror(errno));
    }
}

bool ApiServer::Start(int stopEvent, std::string* error)
{
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0)
    {
        *error = std::string("epoll_create1: ") + std::strerror(errno);
        return false;
    }
    epoll_event stop {};
    stop.events = EPOLLIN;
    stop.data.u64 = Tag(kTagStop, 0);
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, stopEvent, &stop) != 0)
    {
        *error = std::string("epoll_ctl: ") + std::strerror(errno);
        return false;
    }
    for (std::size_t i = 0; i < listeners_.size(); ++i)
    {
        if (listeners_[i].off)
        {
            continue; // never accepts
        }
        epoll_event event {};
        event.events = EPOLLIN;
        event.data.u64 = Tag(kTagListener, i);
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, listeners_[i].fd, &event) != 0)
        {
            *error = std::string("epoll_ctl: ") + std::strerror(errno);
            return false;
        }
    }
    thread_ = std::thread([this] { Run(epoll_); });
    return true;
}

void ApiServer::Run(int epoll)
{
    // Owns: the epoll set and every accepted connection with its buffers.
    // Shares: the machines (AnswerApi takes the machine's lock; counters are
    // atomic). The listeners are opened before this thread starts and closed
    // after it has been joined.
    std::vector<std::pair<int, int>> listeners;
    listeners.reserve(listeners_.size());
    std::vector<PowerChange> changes;
    for (const auto& listener : listeners_)
    {
        listeners.emplace_back(listener.fd, listener.machine);
        const auto [off, on] = machines_[listener.machine].PowerSchedule();
        if (off != Clock::time_point::max())
        {
            changes.push_back({ off, listener.machine, false });
        }
        if (on != Clock::time_point::max())
        {
            changes.push_back({ on, listener.machine, true });
        }
    }
    Loop loop(epoll,
        machines_,
        counters_,
        std::move(listeners),
        std::move(changes),
        [this](int machine, bool on) { SetReachable(machine, on); });
    loop.Run();
}

void ApiServer::Stop()
{
    if (thread_.joinable())
    {
        thread_.join();
    }
    for (const auto& listener : listeners_)
    {
        close(listener.fd);
    }
    listeners_.clear();
    listenerOf_.clear();
    for (const int filler : fillers_)
    {
        close(filler);
    }
    fillers_.clear();
    if (epoll_ >= 0)
    {
        close(epoll_);
        epoll_ = -1;
    }
}

} // namespace quellis::sim
