// The receive path under a flood of datagrams nobody asked for: the flooder
// of the tests sends from the network lab's farm side to the tool's port 6667
// at a set pace or as fast as it can, and on the tool's side either the
// program's receive path takes them (receive thread, reply queue, reply
// thread with the dispatch, and the command line's device list with its
// ceiling; no window) or the plain receiver of the search burst benchmark
// only counts them. Both ask for the same forced 32 MiB receive buffer. Two
// floods: the mix of the lab test (random bytes up to 64 KiB, every type and
// code, forged successes, setting refusals, search replies with new MACs),
// and search replies only, each of which reaches the device list. Needs root
// (the lab). The flooder shares the 2 cores with the receiver: at full speed
// the figures say as much about the sender as about the receiver.
#include "cli/event_loop.h"
#include "cli/headless_window.h"
#include "discovery/discovery_controller.h"
#include "platform/net/ipv4.h"
#include "platform/net/socket.h"
#include "tests/support/flooder.h"
#include "tests/support/netlab.h"

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

struct Outcome
{
    std::uint64_t sent = 0;
    double sendSeconds = 0;
    std::uint64_t received = 0;
    double receiveSeconds = 0; // flood start to the last datagram taken
    int rows = -1;
    int boxes = 0;
};

test::FloodConfig Flood(test::NetLab& lab, std::size_t count, std::uint64_t perSecond, bool searchOnly)
{
    test::FloodConfig config;
    config.netns = lab.FarmNamespace();
    config.target = { net::InetAddr(test::NetLab::kToolAddress), protocol::kDevicePort };
    config.count = count;
    config.limit = std::chrono::seconds(60);
    config.seed = 7;
    config.perSecond = perSecond;
    if (searchOnly)
    {
        config.weights = { 0, 0, 0, 0, 1 };
    }
    return config;
}

// Until the count stops changing for 300 ms after the flood has ended; the
// time of its last change.
template <typename Count> double WaitQuiet(test::Flooder& flooder, Clock::time_point start, Count count)
{
    std::uint64_t seen = 0;
    auto changed = Clock::now();
    for (;;)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const std::uint64_t now = count();
        if (now != seen)
        {
            seen = now;
            changed = Clock::now();
        }
        if (flooder.Finished() && Clock::now() - changed > std::chrono::milliseconds(300))
        {
            return std::chrono::duration<double>(changed - start).count();
        }
    }
}

// The program's receive path with the command line's window.
Outcome RunProgram(test::NetLab& lab, std::size_t count, std::uint64_t perSecond, bool searchOnly)
{
    Outcome outcome;
    cli::EventLoop loop;
    cli::HeadlessWindow window(loop, [] { return 1; });
    std::atomic<int> boxes { 0 };
    window.SetBoxFunction(
        [&](std::string_view, std::string_view, unsigned)
        {
            ++boxes;
            return core::kAnswerOk;
        });
    protocol::SharedState state("config.ini");
    if (!state.replyQueue.Initialise())
    {
        return outcome;
    }
    discovery::DiscoveryController controller(state, window.Window(), window);
    state.running = 1;
    if (!controller.StartReplyThread() || controller.StartLisServ({ -1, -1, -1 }) != discovery::ReceiveStart::Started)
    {
        std::fprintf(stderr, "the receive path did not start\n");
        std::exit(1);
    }
    test::Flooder flooder(Flood(lab, count, perSecond, searchOnly));
    const auto start = Clock::now();
    flooder.Start();
    outcome.receiveSeconds = WaitQuiet(flooder, start, [&] { return state.datagramsReceived.load(); });
    const test::FloodTotals totals = flooder.Join();
    // Everything taken is handled before the count is read.
    while (state.replyQueue.UsedCount() != 0)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    outcome.sent = totals.Sent();
    outcome.sendSeconds = totals.seconds;
    outcome.received = state.datagramsReceived.load();
    outcome.rows = window.RowCount();
    outcome.boxes = boxes.load();
    state.receiveSocket.Shutdown();
    state.running = 0;
    state.replyQueue.WakeWaiters();
    controller.Stop();
    return outcome;
}

// The reference: the plain receiver of the search burst benchmark, counting
// every datagram it reads.
Outcome RunPlain(test::NetLab& lab, std::size_t count, std::uint64_t perSecond, bool searchOnly)
{
    Outcome outcome;
    net::Socket receive = net::Socket::Create(net::SocketKind::Udp);
    if (!receive.Bind({ net::kInaddrAny, protocol::kDevicePort }))
    {
        std::fprintf(stderr, "cannot bind 6667 on the tool side\n");
        std::exit(1);
    }
    receive.SetLargeReceiveBuffer(32 * 1024 * 1024);
    std::atomic<bool> stop { false };
    std::atomic<std::uint64_t> received { 0 };
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
                if (got < 0)
                {
                    continue;
                }
                [[maybe_unused]] const auto header
                    = protocol::ReadHeader(std::span(datagram).first(static_cast<std::size_t>(got)));
                received.fetch_add(1);
            }
        });
    test::Flooder flooder(Flood(lab, count, perSecond, searchOnly));
    const auto start = Clock::now();
    flooder.Start();
    outcome.receiveSeconds = WaitQuiet(flooder, start, [&] { return received.load(); });
    const test::FloodTotals totals = flooder.Join();
    stop = true;
    receiver.join();
    outcome.sent = totals.Sent();
    outcome.sendSeconds = totals.seconds;
    outcome.received = received.load();
    return outcome;
}

} // namespace

int main(int argc, char** argv)
{
    const std::size_t count = argc > 1 ? static_cast<std::size_t>(std::atoll(argv[1])) : 100000;
    std::string why;
    test::NetLab* lab = test::NetLab::Get(&why);
    if (lab == nullptr)
    {
        std::printf("flood receive benchmark skipped: %s\n", why.c_str());
        return 0;
    }
    test::NetLab::Enter tool(lab->ToolNamespace());
    if (!tool.Ok())
    {
        std::fprintf(stderr, "cannot enter the tool namespace\n");
        return 1;
    }
    std::printf("## Receive path under a flood: %zu datagrams from the farm side (network lab, veth)\n\n", count);
    std::printf("| flood | pace (datagrams/s) | receiver | sent | send s | received | lost %% | received/s | rows "
                "| boxes |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    for (const bool searchOnly : { false, true })
    {
        for (const std::uint64_t pace : { 20000ull, 50000ull, 100000ull, 0ull })
        {
            for (const bool program : { false, true })
            {
                const Outcome outcome
                    = program ? RunProgram(*lab, count, pace, searchOnly) : RunPlain(*lab, count, pace, searchOnly);
                const double lost = outcome.sent == 0
                    ? 0.0
                    : 100.0 * static_cast<double>(outcome.sent - std::min(outcome.sent, outcome.received))
                        / static_cast<double>(outcome.sent);
                std::printf("| %s | %s | %s | %llu | %.2f | %llu | %.1f | %.0f | %s | %s |\n",
                    searchOnly ? "search replies" : "mixed",
                    pace == 0 ? "full speed" : std::to_string(pace).c_str(),
                    program ? "program (receive + reply threads, list)" : "plain (counts only)",
                    static_cast<unsigned long long>(outcome.sent),
                    outcome.sendSeconds,
                    static_cast<unsigned long long>(outcome.received),
                    lost,
                    static_cast<double>(outcome.received) / std::max(outcome.receiveSeconds, 1e-3),
                    outcome.rows < 0 ? "-" : std::to_string(outcome.rows).c_str(),
                    program ? std::to_string(outcome.boxes).c_str() : "-");
                std::fflush(stdout);
            }
        }
    }
    return 0;
}
