#include "sim/farm.h"

#include "platform/net/ipv4.h"
#include "platform/trace/trace.h"
#include "sim/api_server.h"
#include "sim/device_service.h"
#include "sim/download_pool.h"
#include "sim/expected_package.h"
#include "sim/link_routes.h"
#include "sim/net_namespace.h"
#include "sim/reply_scheduler.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstring>
#include <functional>

namespace quellis::sim
{

namespace
{

constexpr int kReceiveBatch = 32;
constexpr int kReceiveBuffer = 8 * 1024 * 1024;
constexpr int kSendBuffer = 4 * 1024 * 1024;
constexpr rlim_t kDescriptorMargin = 512; // downloads, API connections, the process's own

bool Fail(std::string* error, std::string message)
{
    *error = std::move(message);
    return false;
}

// Runs `open` in the network namespace `netns` (a thread of its own enters
// it, so the caller's namespace stays as it is); the sockets it creates belong
// to that namespace whichever thread uses them later.
bool RunInNamespace(const std::string& netns, std::string* error, const std::function<bool(std::string*)>& open)
{
    if (netns.empty())
    {
        return open(error);
    }
    bool opened = false;
    // Owns nothing beyond its namespace; shares `opened` and `error`, read
    // after the join.
    std::thread helper([&] { opened = EnterNetworkNamespace(netns, error) && open(error); });
    helper.join();
    return opened;
}

// Many machines need a listening socket each; the soft limit is raised to the
// hard one only when it is too low, since descriptors above 1024 would break
// select() elsewhere in a process that hosts the farm.
bool EnsureDescriptors(rlim_t needed, std::string* error)
{
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= needed)
    {
        return true;
    }
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed)
    {
        return Fail(error,
            "the farm needs about " + std::to_string(needed) + " file descriptors, the hard limit is "
                + std::to_string(limit.rlim_max) + " (raise it, or let more machines refuse their API)");
    }
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? needed : limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
    {
        return Fail(error, std::string("cannot raise the file descriptor limit: ") + std::strerror(errno));
    }
    return true;
}

std::string_view CommandName(std::size_t slot)
{
    switch (slot)
    {
    case protocol::CMD_LedTest:
        return "led-test";
    case protocol::CMD_UARTTest:
        return "uart-test";
    case protocol::CMD_EXECUTE:
        return "execute";
    case protocol::CMD_Upgrade:
        return "upgrade";
    case protocol::CMD_RestartMiner:
        return "restart-miner";
    case protocol::CMD_Reboot:
        return "reboot";
    case protocol::CMD_PoolConfig:
        return "pool-config";
    case protocol::CMD_ReadE2:
        return "read-e2";
    case protocol::CMD_WriteE2:
        return "write-e2";
    case protocol::CMD_SetName:
        return "set-name";
    case protocol::CMD_GetName:
        return "get-name";
    default:
        return {};
    }
}

} // namespace

struct Farm::Engine
{
    FarmCounters counters;
    MachineTable machines;
    ExpectedPackage expected;
    std::unique_ptr<ReplyScheduler> scheduler;
    std::unique_ptr<ApiServer> api;
    std::unique_ptr<DownloadPool> downloads;
    std::unique_ptr<DeviceService> service;
    LinkRoutes unplugged;
    int udp = -1;
    int stopEvent = -1;
    bool stopped = false;
};

namespace
{

class FarmSink final : public ReplySink
{
public:
    FarmSink(ReplyScheduler& scheduler, DownloadPool& downloads)
        : scheduler_(scheduler)
        , downloads_(downloads)
    {
    }

    void Schedule(std::vector<OutgoingReply> replies) override { scheduler_.Schedule(std::move(replies)); }
    void StartDownload(const DownloadOrder& order) override { downloads_.Submit(order); }

private:
    ReplyScheduler& scheduler_;
    DownloadPool& downloads_;
};

} // namespace

std::string FormatTotals(const FarmTotals& totals)
{
    std::string text;
    const auto line = [&](std::string_view name, std::uint64_t value)
    {
        if (value != 0)
        {
            text += std::string(name) + " " + std::to_string(value) + "\n";
        }
    };
    line("datagrams", totals.datagrams);
    line("foreign-datagrams", totals.foreign);
    line("ignored-datagrams", totals.ignored);
    line("searches", totals.searches);
    line("settings", totals.settings);
    line("flickers", totals.flickers);
    line("flickers-to-own-address", totals.unicastFlickers);
    for (std::size_t slot = 0; slot < totals.commands.size(); ++slot)
    {
        const std::string_view name = CommandName(slot);
        if (!name.empty())
        {
            line(name, totals.commands[slot]);
        }
        else
        {
            line(slot + 1 == totals.commands.size() ? "other-commands" : "command-" + std::to_string(slot),
                totals.commands[slot]);
        }
    }
    line("replies-sent", totals.repliesSent);
    line("send-failures", totals.sendFailures);
    line("api-connections", totals.apiConnections);
    line("api-requests", totals.apiRequests);
    line("downloads-started", totals.downloadsStarted);
    line("downloads-verified", totals.downloadsVerified);
    line("downloads-failed", totals.downloadsFailed);
    line("download-bytes", totals.downloadBytes);
    return text.empty() ? "nothing yet\n" : text;
}

Farm::Farm(FarmConfig config)
    : config_(std::move(config))
{
}

Farm::~Farm()
{
    Stop();
}

bool Farm::Start(std::string* error)
{
    std::string scratch;
    error = error != nullptr ? error : &scratch;
    if (engine_)
    {
        return Fail(error, "a farm starts only once");
    }
    if (config_.machines < 1 || config_.machines > kMaxMachines)
    {
        return Fail(error, "a farm has 1 to " + std::to_string(kMaxMachines) + " machines");
    }
    if (!NthMachineAddress(config_.firstAddress, config_.machines - 1))
    {
        return Fail(error,
            "the addresses from " + net::FormatIpv4(config_.firstAddress) + " run out before machine "
                + std::to_string(config_.machines));
    }
    auto identities = GenerateMachines(config_.machines, config_.seed, config_.firstAddress);
    std::vector<Behaviour> behaviours;
    if (!AssignBehaviours(config_.scenario.groups, identities, config_.seed, &behaviours, error))
    {
        return false;
    }

    auto engine = std::make_unique<Engine>();
    engine->machines = MachineTable(std::move(identities), std::move(behaviours), Clock::now());
    if (!config_.expectedPackage.empty() && !engine->expected.Open(config_.expectedPackage, error))
    {
        return false;
    }
    rlim_t listeners = 0;
    for (int i = 0; i < engine->machines.Size(); ++i)
    {
        const ApiMode api = engine->machines[i].behaviour.api;
        // A switched-off machine holds its listener and the connection that fills it.
        listeners += api == ApiMode::Refuse ? 0 : api == ApiMode::Off ? 2 : 1;
    }
    if (!EnsureDescriptors(listeners + kDescriptorMargin, error))
    {
        return false;
    }

    engine->scheduler = std::make_unique<ReplyScheduler>(engine->machines, engine->counters);
    engine->api = std::make_unique<ApiServer>(engine->machines, engine->counters);
    engine->downloads = std::make_unique<DownloadPool>(engine->machines,
        *engine->scheduler,
        engine->expected,
        DownloadSettings {
            config_.replyPort, config_.downloadThreads, config_.netns, VersionInName(config_.expectedPackage) });
    engine->service = std::make_unique<DeviceService>(engine->machines,
        engine->counters,
        DeviceServiceSettings { config_.replyPort,
            config_.packagePort,
            config_.scenario.spreadMs.value_or(kDefaultSpreadMs),
            config_.seed,
            config_.strictAddresses });
    engine->stopEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    Engine& started = *engine;
    engine_ = std::move(engine);
    if (started.stopEvent < 0)
    {
        Stop();
        return Fail(error, std::string("eventfd: ") + std::strerror(errno));
    }

    const bool opened = RunInNamespace(config_.netns,
        error,
        [&](std::string* failure)
        {
            started.udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (started.udp < 0)
            {
                return Fail(failure, std::string("cannot create the farm's UDP socket: ") + std::strerror(errno));
            }
            // IP_PKTINFO tells which address a request was sent to (one machine, or
            // all of them by broadcast).
            const int on = 1;
            setsockopt(started.udp, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
            // Machines that answer by broadcast (Behaviour::broadcastReply).
            setsockopt(started.udp, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
            sockaddr_in address {};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_ANY);
            address.sin_port = htons(config_.devicePort);
            if (bind(started.udp, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            {
                return Fail(failure,
                    "cannot bind UDP port " + std::to_string(config_.devicePort) + ": " + std::strerror(errno));
            }
            socklen_t length = sizeof address;
            getsockname(started.udp, reinterpret_cast<sockaddr*>(&address), &length);
            devicePort_ = ntohs(address.sin_port);
            // Bursts of requests (a blink pass over 10,000 machines) and of replies
            // must not be dropped by small default buffers; the forced sizes need
            // privilege, the plain ones are the fallback.
            if (setsockopt(started.udp, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0)
            {
                setsockopt(started.udp, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
            }
            if (setsockopt(started.udp, SOL_SOCKET, SO_SNDBUFFORCE, &kSendBuffer, sizeof kSendBuffer) != 0)
            {
                setsockopt(started.udp, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
            }
            if (!started.api->Open(config_.apiPort, failure))
            {
                return false;
            }
            // After the listeners are bound: an address taken off the link is
            // no longer one to bind to.
            bool routesOpen = false;
            for (int i = 0; i < started.machines.Size(); ++i)
            {
                const Machine& machine = started.machines[i];
                if (!machine.behaviour.unplugged)
                {
                    continue;
                }
                if (!routesOpen && !started.unplugged.Open(failure))
                {
                    return false;
                }
                routesOpen = true;
                if (!started.unplugged.TakeOff(machine.identity.address, failure))
                {
                    return false;
                }
            }
            return true;
        });
    if (!opened || !started.downloads->Start(started.stopEvent, error) || !started.api->Start(started.stopEvent, error))
    {
        Stop();
        return false;
    }
    started.scheduler->Start(started.udp);
    receiveThread_ = std::thread([this] { ReceiveLoop(); });
    return true;
}

void Farm::Stop()
{
    if (!engine_ || engine_->stopped)
    {
        return;
    }
    Engine& engine = *engine_;
    engine.stopped = true;
    if (engine.stopEvent >= 0)
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = write(engine.stopEvent, &one, sizeof one);
    }
    if (receiveThread_.joinable())
    {
        receiveThread_.join();
    }
    // The downloads may still schedule answers, so the scheduler stops after them.
    engine.downloads->Stop();
    engine.api->Stop();
    engine.scheduler->Stop();
    engine.unplugged.Restore();
    if (engine.udp >= 0)
    {
        close(engine.udp);
        engine.udp = -1;
    }
    if (engine.stopEvent >= 0)
    {
        close(engine.stopEvent);
        engine.stopEvent = -1;
    }
}

void Farm::ReceiveLoop()
{
    // Owns: the receive side of the farm's UDP socket and the DeviceService
    // (its random timing, the management state changes of the machines).
    // Shares: the machines (state under their locks, counters atomic), the
    // reply scheduler's queue and the download workers' inboxes.
    Engine& engine = *engine_;
    FarmSink sink(*engine.scheduler, *engine.downloads);
    std::vector<std::uint8_t> storage(static_cast<std::size_t>(kReceiveBatch) * protocol::kMaxDatagramSize);
    std::array<mmsghdr, kReceiveBatch> messages {};
    std::array<iovec, kReceiveBatch> vectors {};
    std::array<sockaddr_in, kReceiveBatch> sources {};
    constexpr std::size_t kControlSize = CMSG_SPACE(sizeof(in_pktinfo));
    std::array<std::array<std::uint8_t, kControlSize>, kReceiveBatch> controls {};
    pollfd waits[2] = { { engine.udp, POLLIN, 0 }, { engine.stopEvent, POLLIN, 0 } };

    for (;;)
    {
        if (poll(waits, 2, -1) < 0 && errno != EINTR)
        {
            trace::OutputDebugStringF("farm: poll failed: %s\n", std::strerror(errno));
            return;
        }
        if ((waits[1].revents & POLLIN) != 0)
        {
            return;
        }
        for (int i = 0; i < kReceiveBatch; ++i)
        {
            vectors[static_cast<std::size_t>(i)]
                = iovec { storage.data() + static_cast<std::size_t>(i) * protocol::kMaxDatagramSize,
                      protocol::kMaxDatagramSize };
            msghdr& header = messages[static_cast<std::size_t>(i)].msg_hdr;
            header = msghdr {};
            header.msg_name = &sources[static_cast<std::size_t>(i)];
            header.msg_namelen = sizeof(sockaddr_in);
            header.msg_iov = &vectors[static_cast<std::size_t>(i)];
            header.msg_iovlen = 1;
            header.msg_control = controls[static_cast<std::size_t>(i)].data();
            header.msg_controllen = kControlSize;
        }
        const int received = recvmmsg(engine.udp, messages.data(), kReceiveBatch, MSG_DONTWAIT, nullptr);
        if (received <= 0)
        {
            continue; // EAGAIN after a spurious wake, EINTR, or an error report on the socket
        }
        const auto now = Clock::now();
        for (int i = 0; i < received; ++i)
        {
            const auto slot = static_cast<std::size_t>(i);
            msghdr& header = messages[slot].msg_hdr;
            std::uint32_t destination = 0;
            for (cmsghdr* control = CMSG_FIRSTHDR(&header); control != nullptr; control = CMSG_NXTHDR(&header, control))
            {
                if (control->cmsg_level == IPPROTO_IP && control->cmsg_type == IP_PKTINFO)
                {
                    in_pktinfo info {};
                    std::memcpy(&info, CMSG_DATA(control), sizeof info);
                    destination = ntohl(info.ipi_addr.s_addr);
                }
            }
            const net::Endpoint source { ntohl(sources[slot].sin_addr.s_addr), ntohs(sources[slot].sin_port) };
            const std::span<const std::uint8_t> datagram(
                static_cast<const std::uint8_t*>(vectors[slot].iov_base), messages[slot].msg_len);
            engine.service->Handle(datagram, source, destination, now, sink);
        }
    }
}

std::uint16_t Farm::ApiPort() const
{
    return engine_ ? engine_->api->Port() : config_.apiPort;
}

int Farm::MachineCount() const
{
    return engine_ ? engine_->machines.Size() : 0;
}

const Machine& Farm::MachineAt(int index) const
{
    assert(engine_ && index >= 0 && index < engine_->machines.Size());
    return engine_->machines[index];
}

const Machine* Farm::FindMachine(std::string_view mac) const
{
    return engine_ ? engine_->machines.ByMac(mac) : nullptr;
}

void Farm::SwitchOff(int index)
{
    assert(engine_ && index >= 0 && index < engine_->machines.Size());
    engine_->api->SetReachable(index, false);
    engine_->machines[index].SwitchOff(Clock::now());
}

void Farm::SwitchOn(int index)
{
    assert(engine_ && index >= 0 && index < engine_->machines.Size());
    engine_->machines[index].SwitchOn(Clock::now());
    engine_->api->SetReachable(index, true);
}

FarmTotals Farm::Totals() const
{
    FarmTotals totals;
    if (!engine_)
    {
        return totals;
    }
    for (int i = 0; i < engine_->machines.Size(); ++i)
    {
        const MachineCounters& counters = engine_->machines[i].counters;
        totals.searches += counters.searches.load(std::memory_order_relaxed);
        totals.settings += counters.settings.load(std::memory_order_relaxed);
        totals.flickers += counters.flickers.load(std::memory_order_relaxed);
        totals.unicastFlickers += counters.unicastFlickers.load(std::memory_order_relaxed);
        for (std::size_t slot = 0; slot < kCommandSlots; ++slot)
        {
            totals.commands[slot] += counters.commands[slot].load(std::memory_order_relaxed);
        }
        totals.repliesSent += counters.repliesSent.load(std::memory_order_relaxed);
        totals.apiRequests += counters.apiRequests.load(std::memory_order_relaxed);
        totals.downloadsStarted += counters.downloadsStarted.load(std::memory_order_relaxed);
        totals.downloadsVerified += counters.downloadsVerified.load(std::memory_order_relaxed);
        totals.downloadsFailed += counters.downloadsFailed.load(std::memory_order_relaxed);
        totals.downloadBytes += counters.downloadBytes.load(std::memory_order_relaxed);
    }
    const FarmCounters& farm = engine_->counters;
    totals.datagrams = farm.datagrams.load(std::memory_order_relaxed);
    totals.foreign = farm.foreign.load(std::memory_order_relaxed);
    totals.ignored = farm.ignored.load(std::memory_order_relaxed);
    totals.sendFailures = farm.sendFailures.load(std::memory_order_relaxed);
    totals.apiConnections = farm.apiConnections.load(std::memory_order_relaxed);
    return totals;
}

} // namespace quellis::sim
