#include "sim/download_pool.h"

#include "platform/trace/trace.h"
#include "sim/fd_timers.h"
#include "sim/net_namespace.h"
#include "sim/package_request.h"

#include <queue>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <unordered_map>

namespace quellis::sim
{

namespace
{

using namespace std::chrono_literals;

constexpr std::uint64_t kTagStop = 1;
constexpr std::uint64_t kTagWake = 2;
constexpr std::uint64_t kTagDownload = 3;
constexpr std::size_t kReadBuffer = 256 * 1024;
constexpr int kReadsPerTurn = 64; // then other downloads of the worker get their turn
constexpr std::uint64_t kRateBurst = 16 * 1024;
constexpr auto kConnectLimit = 5s;
constexpr auto kProgressLimit = 60s; // no byte for this long: the download failed
constexpr auto kDrainLimit = 2s; // after the acknowledgement, for the tool's close
constexpr auto kStallLimit = 15min;
constexpr std::string_view kPackageName = "firmware.pkg";
constexpr std::string_view kAcknowledgement = "done";

std::uint64_t Tag(std::uint64_t kind, std::uint64_t value)
{
    return (kind << 32) | value;
}

enum class Phase
{
    Connecting,
    Receiving,
    Draining, // all bytes read and acknowledged; waiting for the tool's close
    Stalled,
};

struct Download
{
    DownloadOrder order;
    Phase phase = Phase::Connecting;
    std::uint64_t start = 0; // the offset asked for
    std::uint64_t stopAt = 0; // the bytes from start to the end, or half of them for stall and close-half
    std::uint64_t received = 0; // from start on
    std::uint64_t extra = 0; // bytes beyond the announced size
    bool mismatch = false;
    bool paused = false;
    Clock::time_point receiveStart;
    Clock::time_point lastProgress;
    std::uint64_t generation = 0;
};

// One worker's downloads; it lives on the worker thread's stack.
class Loop
{
public:
    Loop(int epoll,
        MachineTable& machines,
        ReplyScheduler& scheduler,
        const ExpectedPackage& expected,
        const DownloadSettings& settings)
        : epoll_(epoll)
        , machines_(machines)
        , scheduler_(scheduler)
        , expected_(expected)
        , replyPort_(settings.replyPort)
        , announcedVersion_(settings.announcedVersion)
        , buffer_(kReadBuffer)
    {
    }

    ~Loop()
    {
        for (auto& [fd, download] : downloads_)
        {
            machines_[download.order.machine].EndDownload();
            close(fd);
        }
    }

    // Returns when stopEvent is readable.
    void Run(std::mutex& inboxMutex, std::vector<DownloadOrder>& inbox, int wake)
    {
        epoll_event events[128];
        for (;;)
        {
            const int ready = epoll_wait(
                epoll_, events, static_cast<int>(std::size(events)), timers_.WaitMilliseconds(Clock::now()));
            if (ready < 0 && errno != EINTR)
            {
                trace::OutputDebugStringF("farm downloads: epoll_wait failed: %s\n", std::strerror(errno));
                return;
            }
            for (int i = 0; i < ready; ++i)
            {
                const std::uint64_t kind = events[i].data.u64 >> 32;
                if (kind == kTagStop)
                {
                    return;
                }
                if (kind == kTagWake)
                {
                    std::uint64_t count = 0;
                    [[maybe_unused]] const auto drained = read(wake, &count, sizeof count);
                    std::vector<DownloadOrder> orders;
                    {
                        std::lock_guard lock(inboxMutex);
                        orders.swap(inbox);
                    }
                    for (const auto& order : orders)
                    {
                        Begin(order, Clock::now());
                    }
                    continue;
                }
                OnEvent(
                    static_cast<int>(static_cast<std::uint32_t>(events[i].data.u64)), events[i].events, Clock::now());
            }
            RunTimers(Clock::now());
        }
    }

private:
    void SetTimer(int fd, Download& download, Clock::time_point when)
    {
        // Numbered across the loop: a reused descriptor must not match the
        // deadline its last download left behind.
        download.generation = ++generations_;
        timers_.Push(FdTimer { when, fd, download.generation });
    }

    void Watch(int fd, std::uint32_t events)
    {
        epoll_event event {};
        event.events = events;
        event.data.u64 = Tag(kTagDownload, static_cast<std::uint32_t>(fd));
        epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event);
    }

    void Begin(const DownloadOrder& order, Clock::time_point now)
    {
        Machine& machine = machines_[order.machine];
        machine.counters.downloadsStarted.fetch_add(1, std::memory_order_relaxed);
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
        {
            Conclude(order, false, true, now);
            return;
        }
        // The tool's server sees the machine's own address: bind it before the
        // connect, leaving the port to the connect so that thousands of
        // downloads do not use up the ephemeral ports of one address.
        const int on = 1;
        setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
        sockaddr_in local {};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(machine.WireAddress());
        sockaddr_in server {};
        server.sin_family = AF_INET;
        server.sin_addr.s_addr = htonl(order.server.address);
        server.sin_port = htons(order.server.port);
        const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
        const bool started = bound
            && (connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0 || errno == EINPROGRESS);
        epoll_event event {};
        event.events = EPOLLOUT;
        event.data.u64 = Tag(kTagDownload, static_cast<std::uint32_t>(fd));
        if (!started || epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0)
        {
            trace::OutputDebugStringF(
                "farm: machine %d cannot connect to the package server: %s\n", order.machine, std::strerror(errno));
            close(fd);
            Conclude(order, false, true, now);
            return;
        }
        Download& download = downloads_[fd];
        download = Download {};
        download.order = order;
        const DownloadMode mode = machine.behaviour.download;
        download.start = machine.behaviour.downloadOffset;
        const std::uint64_t wanted = order.size > download.start ? order.size - download.start : 0;
        download.stopAt = mode == DownloadMode::Stall || mode == DownloadMode::CloseHalf ? wanted / 2 : wanted;
        SetTimer(fd, download, now + kConnectLimit);
    }

    void OnEvent(int fd, std::uint32_t events, Clock::time_point now)
    {
        const auto found = downloads_.find(fd);
        if (found == downloads_.end())
        {
            return;
        }
        Download& download = found->second;
        switch (download.phase)
        {
        case Phase::Connecting:
        {
            int error = 0;
            socklen_t length = sizeof error;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
            {
                Finish(fd, false, true, now);
                return;
            }
            const std::string request = FormatPackageRequest(download.order.packetNumber, kPackageName, download.start);
            if (send(fd, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT)
                != static_cast<ssize_t>(request.size()))
            {
                Finish(fd, false, true, now);
                return;
            }
            download.phase = Phase::Receiving;
            download.receiveStart = now;
            download.lastProgress = now;
            Watch(fd, EPOLLIN | EPOLLRDHUP);
            SetTimer(fd, download, now + kProgressLimit);
            return;
        }
        case Phase::Receiving:
            if (download.paused)
            {
                // A paused download asked for no event: this is a reset or a
                // hang-up, reported whatever the interest, and would come back
                // at once for as long as the pause lasts.
                Finish(fd, false, true, now);
                return;
            }
            Receive(fd, download, now);
            return;
        case Phase::Draining:
            Drain(fd, download, now);
            return;
        case Phase::Stalled:
            // The tool closed (or reset) the connection it could not finish.
            if ((events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0)
            {
                Finish(fd, false, false, now);
            }
            return;
        }
    }

    // How many more bytes a slow download may read now.
    std::uint64_t Allowance(const Download& download, Clock::time_point now) const
    {
        const Machine& machine = machines_[download.order.machine];
        if (machine.behaviour.download != DownloadMode::Slow)
        {
            return kReadBuffer;
        }
        const auto rate = static_cast<double>(machine.behaviour.downloadRateKBps) * 1024.0;
        const double elapsed = std::chrono::duration<double>(now - download.receiveStart).count();
        const double allowed
            = rate * elapsed + static_cast<double>(kRateBurst) - static_cast<double>(download.received);
        return allowed <= 0 ? 0 : static_cast<std::uint64_t>(allowed);
    }

    void Receive(int fd, Download& download, Clock::time_point now)
    {
        Machine& machine = machines_[download.order.machine];
        for (int turn = 0; turn < kReadsPerTurn && download.received < download.stopAt; ++turn)
        {
            const std::uint64_t allowance = Allowance(download, now);
            if (allowance == 0)
            {
                Pause(fd, download, now);
                return;
            }
            const std::uint64_t wanted = std::min(
                { download.stopAt - download.received, allowance, static_cast<std::uint64_t>(buffer_.size()) });
            const ssize_t got = recv(fd, buffer_.data(), static_cast<std::size_t>(wanted), MSG_DONTWAIT);
            if (got > 0)
            {
                const auto chunk = std::span(buffer_).first(static_cast<std::size_t>(got));
                if (expected_.IsOpen() && !download.mismatch
                    && !expected_.Matches(download.start + download.received, chunk))
                {
                    download.mismatch = true;
                }
                download.received += static_cast<std::uint64_t>(got);
                download.lastProgress = now;
                machine.counters.downloadBytes.fetch_add(static_cast<std::uint64_t>(got), std::memory_order_relaxed);
                continue;
            }
            if (got < 0 && errno == EINTR)
            {
                continue;
            }
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            {
                return;
            }
            Finish(fd, false, true, now); // closed or reset before the end
            return;
        }
        if (download.received < download.stopAt)
        {
            return; // more next turn
        }
        if (download.start + download.stopAt == download.order.size)
        {
            // Everything is here: acknowledge, then wait for the tool to close.
            [[maybe_unused]] const auto sent
                = send(fd, kAcknowledgement.data(), kAcknowledgement.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            download.phase = Phase::Draining;
            SetTimer(fd, download, now + kDrainLimit);
            return;
        }
        if (machine.behaviour.download == DownloadMode::CloseHalf)
        {
            Finish(fd, false, true, now);
            return;
        }
        // Stall: read nothing more, so the tool's sends block; keep-alive
        // probes find out when the tool has given up and gone.
        download.phase = Phase::Stalled;
        const int on = 1;
        const int idle = 10;
        const int interval = 5;
        const int probes = 3;
        setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
        Watch(fd, EPOLLRDHUP);
        SetTimer(fd, download, now + kStallLimit);
    }

    void Pause(int fd, Download& download, Clock::time_point now)
    {
        // Level-triggered readiness would wake us for data we may not read yet.
        download.paused = true;
        Watch(fd, 0);
        const Machine& machine = machines_[download.order.machine];
        const double rate = static_cast<double>(machine.behaviour.downloadRateKBps) * 1024.0;
        const std::uint64_t next = std::min<std::uint64_t>(kRateBurst, download.stopAt - download.received);
        const double due = (static_cast<double>(download.received + next) - static_cast<double>(kRateBurst)) / rate;
        const auto resume
            = download.receiveStart + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(due));
        SetTimer(fd, download, std::max(resume, now + 1ms));
    }

    void Drain(int fd, Download& download, Clock::time_point now)
    {
        for (;;)
        {
            const ssize_t got = recv(fd, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
            if (got > 0)
            {
                download.extra += static_cast<std::uint64_t>(got);
                continue;
            }
            if (got < 0 && errno == EINTR)
            {
                continue;
            }
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            {
                return;
            }
            Finish(fd, Verified(download), true, now);
            return;
        }
    }

    bool Verified(const Download& download) const
    {
        return !download.mismatch && download.extra == 0 && download.start + download.received == download.order.size
            && download.start < download.order.size
            && (!expected_.IsOpen() || download.order.size == expected_.Bytes().size());
    }

    void RunTimers(Clock::time_point now)
    {
        while (const auto due = timers_.PopDue(now))
        {
            const FdTimer& timer = *due;
            const auto found = downloads_.find(timer.fd);
            if (found == downloads_.end() || found->second.generation != timer.generation)
            {
                continue;
            }
            Download& download = found->second;
            switch (download.phase)
            {
            case Phase::Connecting:
                Finish(timer.fd, false, true, now);
                break;
            case Phase::Receiving:
                if (download.paused)
                {
                    download.paused = false;
                    Watch(timer.fd, EPOLLIN | EPOLLRDHUP);
                    SetTimer(timer.fd, download, now + kProgressLimit);
                    Receive(timer.fd, download, now);
                }
                else if (now - download.lastProgress >= kProgressLimit)
                {
                    Finish(timer.fd, false, true, now);
                }
                else
                {
                    SetTimer(timer.fd, download, download.lastProgress + kProgressLimit);
                }
                break;
            case Phase::Draining:
                Finish(timer.fd, Verified(download), true, now);
                break;
            case Phase::Stalled:
                Finish(timer.fd, false, false, now);
                break;
            }
        }
    }

    void Finish(int fd, bool verified, bool answer, Clock::time_point now)
    {
        const DownloadOrder order = downloads_.at(fd).order;
        downloads_.erase(fd);
        close(fd);
        Conclude(order, verified, answer, now);
    }

    // The end of a download, with the upgrade result when one is due: after
    // the install time when the package was good, at once when it was not.
    void Conclude(const DownloadOrder& order, bool verified, bool answer, Clock::time_point now)
    {
        Machine& machine = machines_[order.machine];
        machine.EndDownload();
        (verified ? machine.counters.downloadsVerified : machine.counters.downloadsFailed)
            .fetch_add(1, std::memory_order_relaxed);
        if (!answer)
        {
            return;
        }
        const std::int32_t result = verified ? machine.behaviour.upgradeResult : 0;
        const auto delay = std::chrono::milliseconds(machine.behaviour.replyDelayMs)
            + (verified ? std::chrono::milliseconds(machine.behaviour.installMs) : 0ms);
        if (result != 0)
        {
            // Installed when it answers: a search from then on shows the new version.
            machine.Upgrade(announcedVersion_, now + delay);
        }
        std::vector<std::uint8_t> bytes(protocol::kCommandReplyTextOffset);
        bytes.resize(protocol::BuildCommandReply(bytes, machine.identity.mac, protocol::CMD_Upgrade, result));
        std::vector<OutgoingReply> replies(1);
        replies[0].machine = order.machine;
        replies[0].destination = net::Endpoint { order.server.address, replyPort_ };
        replies[0].due = now + delay;
        replies[0].bytes = std::move(bytes);
        scheduler_.Schedule(std::move(replies));
    }

    int epoll_;
    MachineTable& machines_;
    ReplyScheduler& scheduler_;
    const ExpectedPackage& expected_;
    const std::uint16_t replyPort_;
    const std::optional<VersionInfo> announcedVersion_;
    std::vector<std::uint8_t> buffer_;
    std::unordered_map<int, Download> downloads_;
    FdTimers timers_;
    std::uint64_t generations_ = 0;
};

} // namespace

struct DownloadPool::Worker
{
    std::thread thread;
    int epoll = -1;
    int wake = -1;
    std::mutex mutex;
    std::vector<DownloadOrder> inbox;
    std::promise<std::string> ready;
};

DownloadPool::DownloadPool(
    MachineTable& machines, ReplyScheduler& scheduler, const ExpectedPackage& expected, DownloadSettings settings)
    : machines_(machines)
    , scheduler_(scheduler)
    , expected_(expected)
    , settings_(std::move(settings))
{
}

DownloadPool::~DownloadPool()
{
    Stop();
}

bool DownloadPool::Start(int stopEvent, std::string* error)
{
    const int count = std::clamp(settings_.threads, 1, 64);
    std::vector<std::future<std::string>> readiness;
    for (int i = 0; i < count; ++i)
    {
        auto worker = std::make_unique<Worker>();
        worker->epoll = epoll_create1(EPOLL_CLOEXEC);
        worker->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (worker->epoll < 0 || worker->wake < 0)
        {
            *error = std::string("cannot create the download workers' events: ") + std::strerror(errno);
            workers_.push_back(std::move(worker));
            return false;
        }
        epoll_event stop {};
        stop.events = EPOLLIN;
        stop.data.u64 = Tag(kTagStop, 0);
        epoll_event wake {};
        wake.events = EPOLLIN;
        wake.data.u64 = Tag(kTagWake, 0);
        epoll_ctl(worker->epoll, EPOLL_CTL_ADD, stopEvent, &stop);
        epoll_ctl(worker->epoll, EPOLL_CTL_ADD, worker->wake, &wake);
        readiness.push_back(worker->ready.get_future());
        Worker& started = *worker;
        workers_.push_back(std::move(worker));
        started.thread = std::thread([this, &started] { Run(started); });
    }
    for (auto& ready : readiness)
    {
        const std::string failure = ready.get();
        if (!failure.empty())
        {
            *error = failure;
            return false;
        }
    }
    return true;
}

void DownloadPool::Run(Worker& worker)
{
    // Owns: its epoll set, its downloads and their sockets, its read buffer.
    // Shares: its inbox (under worker.mutex) with the receive thread that
    // submits orders; the machines (counters atomic, download flag atomic);
    // the reply scheduler's queue.
    if (!settings_.netns.empty())
    {
        std::string failure;
        if (!EnterNetworkNamespace(settings_.netns, &failure))
        {
            worker.ready.set_value(failure);
            return;
        }
    }
    worker.ready.set_value({});
    Loop loop(worker.epoll, machines_, scheduler_, expected_, settings_);
    loop.Run(worker.mutex, worker.inbox, worker.wake);
}

void DownloadPool::Submit(const DownloadOrder& order)
{
    if (workers_.empty())
    {
        return;
    }
    Worker& worker = *workers_[static_cast<std::size_t>(order.machine) % workers_.size()];
    {
        std::lock_guard lock(worker.mutex);
        worker.inbox.push_back(order);
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = write(worker.wake, &one, sizeof one);
}

void DownloadPool::Stop()
{
    for (auto& worker : workers_)
    {
        if (worker->thread.joinable())
        {
            worker->thread.join();
        }
    }
    for (auto& worker : workers_)
    {
        // Orders that arrived after the worker stopped never began.
        for (const auto& order : worker->inbox)
        {
            machines_[order.machine].EndDownload();
        }
        if (worker->epoll >= 0)
        {
            close(worker->epoll);
        }
        if (worker->wake >= 0)
        {
            close(worker->wake);
        }
    }
    workers_.clear();
}

} // namespace quellis::sim
