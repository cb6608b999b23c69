// The blink of every row at scale: the real main dialog on the network lab's
// tool side lists a simulated farm of 10,000 machines (one search), then its
// blink button runs the blink thread over all rows while the farm counts, per
// machine, the identify datagrams that reach its own address. Measured: the
// time of one pass (first to last datagram of the pass at the farm), the
// datagrams each machine got per pass, the longest time the UI thread was
// blocked while the thread read the list pass after pass, and the time of one
// read of the list (one window call for every row). References in the same
// run: a plain sender that sends the same datagrams from one socket in a
// loop, and the longest UI block of the same idle wait without the blink.
// Needs root (the lab).
#include "commands/blink_thread.h"
#include "platform/net/socket.h"
#include "platform/ui/application.h"
#include "protocol/device_packet.h"
#include "resources/templates/main_dialog_ids.h"
#include "sim/farm.h"
#include "sim/scenario.h"
#include "tests/support/netlab.h"
#include "tests/support/quellis_dlg_fixture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace quellis;
using Clock = std::chrono::steady_clock;

namespace
{

double Ms(Clock::duration duration)
{
    return std::chrono::duration<double, std::milli>(duration).count();
}

// The longest gap between two ticks of a 1 ms timer: how long the UI thread
// stayed away from its event loop.
class UiBlockMeter
{
public:
    UiBlockMeter()
    {
        clock_.start();
        ticker_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&ticker_,
            &QTimer::timeout,
            [this]
            {
                const qint64 now = clock_.nsecsElapsed();
                if (last_ != 0)
                {
                    longest_ = std::max(longest_, now - last_);
                }
                last_ = now;
            });
        ticker_.start(1);
    }
    double LongestMs() const { return static_cast<double>(longest_) / 1e6; }

private:
    QElapsedTimer clock_;
    QTimer ticker_;
    qint64 last_ = 0;
    qint64 longest_ = 0;
};

std::uint64_t Flickers(const sim::Farm& farm)
{
    return farm.Totals().unicastFlickers;
}

// Runs the event loop until the farm has counted `total` flickers; the time
// it first saw `from` exceeded and the time it saw `total`.
struct Pass
{
    Clock::time_point first;
    Clock::time_point last;
    bool complete = false;
};

Pass AwaitPass(const sim::Farm& farm, std::uint64_t from, std::uint64_t total, std::chrono::seconds limit)
{
    Pass pass;
    bool started = false;
    const auto end = Clock::now() + limit;
    while (Clock::now() < end)
    {
        QApplication::processEvents(QEventLoop::AllEvents, 1);
        // Polls without taking a core from the blink thread and the farm.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        const std::uint64_t now = Flickers(farm);
        if (!started && now > from)
        {
            started = true;
            pass.first = Clock::now();
        }
        if (now >= total)
        {
            pass.last = Clock::now();
            pass.complete = true;
            return pass;
        }
    }
    return pass;
}

template <typename T> T Median(std::vector<T> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? T {} : values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ui::Application application(argc, argv);
    const int machines = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int passes = argc > 2 ? std::atoi(argv[2]) : 4;
    std::string why;
    test::NetLab* lab = test::NetLab::Get(&why);
    if (lab == nullptr)
    {
        std::printf("blink benchmark skipped: %s\n", why.c_str());
        return 0;
    }

    sim::FarmConfig config;
    config.machines = machines;
    config.seed = 3;
    config.netns = lab->FarmNamespace();
    config.firstAddress = test::NetLab::kFirstMachine;
    config.scenario.spreadMs = 0;
    sim::BehaviourGroup whole;
    std::string error;
    if (!sim::ParseBehaveOption("shortReply=256,addressAsAll=false,silent=false", &whole, &error))
    {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    config.scenario.groups = { whole };
    sim::Farm farm(config);
    if (!farm.Start(&error))
    {
        std::fprintf(stderr, "farm did not start: %s\n", error.c_str());
        return 1;
    }

    test::NetLab::Enter tool(lab->ToolNamespace());
    test::QuellisDlgFixture fixture;
    fixture.Open({ "TOOLTYPE=2", "LANG=1" });
    fixture.Click(resources::kIdSearch);
    if (!fixture.WaitFor([&] { return fixture.RowCount() >= machines; }, 30000))
    {
        std::fprintf(stderr, "only %d of %d machines listed\n", fixture.RowCount(), machines);
        return 1;
    }

    // The reference for the UI: the same waiting loop without the blink.
    double idleBlockMs = 0;
    {
        UiBlockMeter meter;
        [[maybe_unused]] const Pass none = AwaitPass(farm, 0, 1, std::chrono::seconds(3));
        idleBlockMs = meter.LongestMs();
    }

    // One read of the whole list, as the blink thread has the UI thread do
    // it at each pass (on the UI thread the window call runs in place).
    double readMs = 0;
    {
        const auto start = Clock::now();
        const std::size_t rows = fixture.Dialog().Window().list.Targets(false).size();
        readMs = Ms(Clock::now() - start);
        if (rows != static_cast<std::size_t>(fixture.RowCount()))
        {
            std::fprintf(stderr, "the list read %zu of %d rows\n", rows, fixture.RowCount());
        }
    }

    // The blink of all rows, `passes` passes.
    std::vector<double> passMs;
    double blinkBlockMs = 0;
    {
        UiBlockMeter meter;
        fixture.Click(resources::kIdFlashMachines);
        for (int pass = 0; pass < passes; ++pass)
        {
            const auto n = static_cast<std::uint64_t>(machines);
            const Pass seen
                = AwaitPass(farm, n * static_cast<std::uint64_t>(pass), n * (pass + 1), std::chrono::seconds(30));
            if (!seen.complete)
            {
                break;
            }
            passMs.push_back(Ms(seen.last - seen.first));
        }
        // Stopped in the pause after the last pass: no pass is cut short.
        fixture.Click(resources::kIdFlashMachines);
        blinkBlockMs = meter.LongestMs();
    }
    QApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::uint64_t fewest = UINT64_MAX;
    std::uint64_t most = 0;
    for (int i = 0; i < farm.MachineCount(); ++i)
    {
        const std::uint64_t got = farm.MachineAt(i).counters.unicastFlickers.load();
        fewest = std::min(fewest, got);
        most = std::max(most, got);
    }
    const int completed = static_cast<int>(passMs.size());
    fixture.Close();

    // The reference pass: the same datagrams from one socket in a plain loop,
    // seen at the farm the same way.
    std::vector<double> plainMs;
    {
        net::Socket socket = net::Socket::Create(net::SocketKind::Udp);
        for (int round = 0; round < 3; ++round)
        {
            const std::uint64_t before = Flickers(farm);
            std::thread sender(
                [&]
                {
                    std::vector<std::uint8_t> request(protocol::kRequestBufferSize);
                    for (int i = 0; i < farm.MachineCount(); ++i)
                    {
                        const sim::Machine& machine = farm.MachineAt(i);
                        const std::size_t length = protocol::BuildNetLedFlicker(request, machine.identity.mac);
                        [[maybe_unused]] const int sent
                            = socket.SendTo(request.data(), length, { machine.WireAddress(), protocol::kDevicePort });
                    }
                });
            const Pass seen
                = AwaitPass(farm, before, before + static_cast<std::uint64_t>(machines), std::chrono::seconds(10));
            sender.join();
            if (seen.complete)
            {
                plainMs.push_back(Ms(seen.last - seen.first));
            }
        }
    }
    farm.Stop();

    std::printf("## Blink of all rows: the real dialog's blink thread against a simulated farm (network lab)\n\n");
    std::printf("| machines | passes | one pass, ms (median) | plain sender's pass, ms (median) | pass / plain "
                "| datagrams per machine per pass (min / max) | longest UI block while blinking, ms "
                "| longest UI block idle, ms | one read of the list, ms |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    const double pass = Median(passMs);
    const double plain = Median(plainMs);
    std::printf("| %d | %d of %d | %.1f | %.1f | %.2f | %.2f / %.2f | %.1f | %.1f | %.1f |\n",
        machines,
        completed,
        passes,
        pass,
        plain,
        pass / std::max(plain, 0.1),
        completed > 0 ? static_cast<double>(fewest) / completed : 0.0,
        completed > 0 ? static_cast<double>(most) / completed : 0.0,
        blinkBlockMs,
        idleBlockMs,
        readMs);
    return completed == passes ? 0 : 1;
}
