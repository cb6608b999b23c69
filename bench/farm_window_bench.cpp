// The farm view in the real window at scale: the main dialog with
// [VIEW] FARM=1 over a simulated farm of N machines on loopback (their search
// replies handed to the window as its receive thread hands them over; its
// poller polling their miner API every 10 s). Measured: the longest time the
// UI thread was blocked while the search's rows went in, and while the
// poller's rounds were applied (a first round changes every row), the rows
// that then have their hash rate and pool, and the peak memory. The reference, in the same run and the same list: the
// two cells a round changes written into every row in one go, the least such a round costs when nothing else is done.
//   farm_window_bench [MACHINES]
#include "platform/ui/application.h"
#include "platform/ui/list_view.h"
#include "protocol/device_packet.h"
#include "resources/templates/main_dialog_ids.h"
#include "sim/farm.h"
#include "tests/support/quellis_dlg_fixture.h"
#include "tests/support/ui_stall_meter.h"

#include <QApplication>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace quellis;
using Clock = std::chrono::steady_clock;

namespace
{

constexpr int kColumnHashRate = 9;
constexpr int kColumnPool = 11;

std::unique_ptr<sim::Farm> StartLoopbackFarm(int machines)
{
    std::random_device entropy;
    for (int attempt = 0; attempt < 8; ++attempt)
    {
        sim::FarmConfig config;
        config.machines = machines;
        config.seed = 3;
        config.scenario.spreadMs = 0;
        config.firstAddress = (127u << 24) | ((2 + entropy() % 200) << 16) | 1u;
        config.devicePort = 0;
        config.apiPort = 0;
        config.replyPort = 0;
        auto farm = std::make_unique<sim::Farm>(config);
        std::string error;
        if (farm->Start(&error))
        {
            return farm;
        }
    }
    return nullptr;
}

long PeakKiB()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Runs the event loop until done() or the limit; the time it took.
template <typename Done> double RunUntil(Done done, std::chrono::milliseconds limit)
{
    const auto start = Clock::now();
    while (!done() && Clock::now() - start < limit)
    {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("QUELLIS_AUDIO", "null", 0);
    ui::Application application(argc, argv);
    const int machines = argc > 1 ? std::atoi(argv[1]) : 10000;
    if (machines < 10 || machines > 65536)
    {
        std::fprintf(stderr, "usage: farm_window_bench [MACHINES, 10 to 65536]\n");
        return 2;
    }
    auto farm = StartLoopbackFarm(machines);
    if (!farm)
    {
        std::fprintf(stderr, "no loopback farm started\n");
        return 1;
    }

    test::QuellisDlgFixture fixture;
    const std::string port = "APIPORT=" + std::to_string(farm->ApiPort());
    fixture.Open({ "LANG=0", "[VIEW]", "FARM=1", "PERIOD=10", port });
    auto& dialog = fixture.Dialog();
    ui::ListViewControl* list = dialog.ListView(resources::kIdDeviceList);

    // The floor: the window with nothing to do for 3 s, on the same machine
    // at the same time (on a loaded machine the scheduler alone blocks).
    test::UiStallMeter stalls;
    stalls.Start();
    RunUntil([] { return false; }, std::chrono::seconds(3));
    stalls.Stop();
    const double idleBlockMs = stalls.LongestMs();

    // A search whose own request goes to loopback's discard port; the
    // replies come from a thread, as the receive thread hands them over.
    dialog.State().deviceBroadcast = { 0x7F000001u, 9 }; // 127.0.0.1
    stalls.Start();
    const auto pressed = Clock::now();
    fixture.Click(resources::kIdSearch);
    RunUntil([] { return false; }, std::chrono::milliseconds(300));
    stalls.Stop();
    const double pressBlockMs = stalls.LongestMs();
    stalls.Start();
    std::thread receiver(
        [&]
        {
            for (int i = 0; i < farm->MachineCount(); ++i)
            {
                std::vector<std::uint8_t> reply(protocol::kMaxDatagramSize);
                reply.resize(farm->MachineAt(i).BuildRecord(reply, protocol::PKT_SEARCH_ACK, 0, sim::Clock::now()));
                // The queue is bounded: a full one is waited for.
                while (!dialog.State().replyQueue.Put(reply))
                {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
        });
    RunUntil([&] { return list->ItemCount() >= machines; }, std::chrono::seconds(60));
    const double searchMs = std::chrono::duration<double, std::milli>(Clock::now() - pressed).count();
    stalls.Stop();
    receiver.join();
    const double searchBlockMs = stalls.LongestMs();
    const int rows = list->ItemCount();

    // Three periods: the search ends after its wait and hands the machines
    // to the poller, which polls each once a period; a round is applied once
    // a period, the first of them changing nearly every row. The rows are
    // read only after the meter has stopped: reading them is UI work too.
    stalls.Start();
    const double roundsMs = RunUntil([] { return false; }, std::chrono::seconds(30));
    stalls.Stop();
    const double roundBlockMs = stalls.LongestMs();
    int complete = 0;
    for (int row = 0; row < list->ItemCount(); ++row)
    {
        complete += list->ItemText(row, kColumnHashRate).empty() || list->ItemText(row, kColumnPool).empty() ? 0 : 1;
    }

    // The reference: the two cells written into every row at once.
    const auto start = Clock::now();
    for (int row = 0; row < list->ItemCount(); ++row)
    {
        list->SetItemText(row, kColumnHashRate, "13.50");
        list->SetItemText(row, kColumnPool, "stratum+tcp://pool.example:3333 worker.1");
    }
    const double referenceMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    fixture.Close();

    std::printf("## The farm view in the window: %d machines on loopback, poller period 10 s\n\n", machines);
    std::printf("| measure | figure |\n|---|---|\n");
    std::printf("| rows listed | %d |\n", rows);
    std::printf("| Search pressed, replies handed over, to the last row, ms | %.0f |\n", searchMs);
    std::printf("| longest UI block of the Search press (300 ms from it), ms | %.1f |\n", pressBlockMs);
    std::printf("| longest UI block while the search's rows went in, ms | %.1f |\n", searchBlockMs);
    std::printf("| rows with hash rate and pool after %.0f s of rounds | %d |\n", roundsMs / 1000, complete);
    std::printf("| longest UI block while the poller's rounds were applied, ms | %.1f |\n", roundBlockMs);
    std::printf("| reference: two cells of every row written in one go, ms | %.1f |\n", referenceMs);
    std::printf("| reference: longest UI block of the idle window over 3 s, ms | %.1f |\n", idleBlockMs);
    std::printf("| peak memory of the process (window, farm, poller), MiB | %.0f |\n", PeakKiB() / 1024.0);
    return 0;
}
