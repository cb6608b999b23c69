// How a burst of search replies from a large farm reaches the tool's side of
// the network lab: the farm simulator answers one broadcast search from
// 10,000 machines, and a plain receiver on the tool's side counts what
// arrives, with the receive buffer a socket gets by default, with the largest
// an unprivileged socket may ask for, and with a forced large one. A receiver
// that spends 50 us on each datagram shows what a slow reader loses. This is
// the reference the discovery path is measured against. Needs root (the lab).
#include "platform/net/default_route.h"
#include "platform/net/socket.h"
#include "protocol/device_packet.h"
#include "sim/farm.h"
#include "tests/support/netlab.h"

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace quellis;
using Clock = std::chrono::steady_clock;

namespace
{

enum class Buffer
{
    Default,
    Unprivileged,
    Forced,
};

struct Run
{
    std::size_t received = 0;
    std::uint64_t sent = 0;
    double burstMs = 0; // first to last reply received
    int bufferBytes = 0;
};

const char* Name(Buffer buffer)
{
    switch (buffer)
    {
    case Buffer::Default:
        return "default";
    case Buffer::Unprivileged:
        return "unprivileged max";
    case Buffer::Forced:
        return "forced 32 MiB";
    }
    return "";
}

Run Measure(sim::Farm& farm, Buffer buffer, std::chrono::microseconds perDatagram)
{
    Run run;
    net::Socket receive = net::Socket::Create(net::SocketKind::Udp);
    if (!receive.Bind({ net::kInaddrAny, protocol::kDevicePort }))
    {
        std::fprintf(stderr, "cannot bind 6667 on the tool side\n");
        std::exit(1);
    }
    constexpr int kLarge = 32 * 1024 * 1024;
    if (buffer == Buffer::Unprivileged)
    {
        [[maybe_unused]] const bool set = receive.SetReceiveBuffer(kLarge);
    }
    else if (buffer == Buffer::Forced)
    {
        receive.SetLargeReceiveBuffer(kLarge);
    }
    run.bufferBytes = receive.ReceiveBufferSize().value_or(0);

    net::Socket send = net::Socket::Create(net::SocketKind::Udp);
    [[maybe_unused]] const bool broadcast = send.SetBroadcast(true);
    [[maybe_unused]] const bool bound = send.Bind({ net::InetAddr(net::DefaultRouteAddress()), 0 });

    const std::uint64_t sentBefore = farm.Totals().repliesSent;
    std::atomic<bool> stop { false };
    std::atomic<std::size_t> received { 0 };
    Clock::time_point first {};
    Clock::time_point last {};
    std::thread receiver(
        [&]
        {
            std::vector<std::uint8_t> datagram(protocol::kMaxDatagramSize);
            while (!stop)
            {
                if (receive.WaitReadable(std::chrono::milliseconds(20)) != net::PollResult::Ready)
                {
                    continue;
                }
                const int got = receive.ReceiveFrom(datagram.data(), datagram.size(), nullptr);
                if (got < 8)
                {
                    continue;
                }
                const auto header = protocol::ReadHeader(std::span(datagram).first(static_cast<std::size_t>(got)));
                if (!header || header->type != protocol::PKT_SEARCH_ACK)
                {
                    continue;
                }
                const auto now = Clock::now();
                if (received.fetch_add(1) == 0)
                {
                    first = now;
                }
                last = now;
                if (perDatagram.count() > 0)
                {
                    const auto until = now + perDatagram;
                    while (Clock::now() < until)
                    {
                    }
                }
            }
        });

    std::vector<std::uint8_t> search(protocol::kRequestBufferSize);
    search.resize(protocol::BuildSearch(search, protocol::kSearchOrdinary));
    if (send.SendTo(search.data(), search.size(), { net::kInaddrBroadcast, protocol::kDevicePort }) <= 0)
    {
        std::fprintf(stderr, "the search could not be sent\n");
        std::exit(1);
    }
    // Done when the farm has sent everything and nothing more has come for a while.
    const auto start = Clock::now();
    std::size_t seen = 0;
    auto quietSince = Clock::now();
    while (Clock::now() - start < std::chrono::seconds(20))
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (received.load() != seen)
        {
            seen = received.load();
            quietSince = Clock::now();
        }
        if (farm.Totals().repliesSent - sentBefore >= static_cast<std::uint64_t>(farm.MachineCount())
            && Clock::now() - quietSince > std::chrono::milliseconds(400))
        {
            break;
        }
    }
    stop = true;
    receiver.join();
    run.received = received.load();
    run.sent = farm.Totals().repliesSent - sentBefore;
    run.burstMs = run.received > 1 ? std::chrono::duration<double, std::milli>(last - first).count() : 0.0;
    return run;
}

} // namespace

int main(int argc, char** argv)
{
    const int machines = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 3;
    std::string why;
    test::NetLab* lab = test::NetLab::Get(&why);
    if (lab == nullptr)
    {
        std::printf("search burst benchmark skipped: %s\n", why.c_str());
        return 0;
    }

    std::printf("## Search burst: %d machines answer one broadcast (network lab, veth)\n\n", machines);
    std::printf("| replies spread | receiver | receive buffer | buffer bytes | replies sent | received (min / median / "
                "max) | burst ms (median) |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    for (const int spread : { 0, 100 })
    {
        sim::FarmConfig config;
        config.machines = machines;
        config.seed = 1;
        config.netns = lab->FarmNamespace();
        config.firstAddress = test::NetLab::kFirstMachine;
        config.scenario.spreadMs = spread;
        sim::Farm farm(config);
        std::string error;
        if (!farm.Start(&error))
        {
            std::fprintf(stderr, "farm did not start: %s\n", error.c_str());
            return 1;
        }
        test::NetLab::Enter tool(lab->ToolNamespace());
        for (const auto perDatagram : { std::chrono::microseconds(0), std::chrono::microseconds(50) })
        {
            for (const Buffer buffer : { Buffer::Default, Buffer::Unprivileged, Buffer::Forced })
            {
                std::vector<Run> runs;
                for (int i = 0; i < repeats; ++i)
                {
                    runs.push_back(Measure(farm, buffer, perDatagram));
                }
                std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.received < b.received; });
                std::vector<double> bursts;
                for (const Run& run : runs)
                {
                    bursts.push_back(run.burstMs);
                }
                std::sort(bursts.begin(), bursts.end());
                std::printf("| %s | %s | %s | %d | %llu | %zu / %zu / %zu | %.1f |\n",
                    spread == 0 ? "all at once" : "over 100 ms",
                    perDatagram.count() == 0 ? "plain (counts only)" : "50 us per datagram",
                    Name(buffer),
                    runs.front().bufferBytes,
                    static_cast<unsigned long long>(runs.front().sent),
                    runs.front().received,
                    runs[runs.size() / 2].received,
                    runs.back().received,
                    bursts[bursts.size() / 2]);
            }
        }
    }
    return 0;
}
