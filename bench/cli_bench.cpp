// quellis-cli at scale, in the network lab, with references measured in the
// same run:
//   search  quellis-cli search over 10,000 simulated machines: machines found
//           and wall time, beside a plain receiver that only counts the
//           replies to one broadcast (found, and the time to the last one).
//   update  quellis-cli update of a 64 MiB package to 100 machines, one, ten
//           and a hundred at a time, beside the real main dialog updating all
//           of them, one after another, from the same farm: total time, and
//           how many machines checked the package byte for byte.
// The farm runs in this process on the lab's farm side; quellis-cli and the
// dialog run on its tool side. Needs root (the lab); says so and skips
// otherwise.
#include "core/window.h"
#include "platform/net/default_route.h"
#include "platform/net/socket.h"
#include "platform/ui/application.h"
#include "protocol/device_packet.h"
#include "resources/templates/main_dialog_ids.h"
#include "sim/farm.h"
#include "sim/scenario.h"
#include "tests/support/netlab.h"
#include "tests/support/process.h"
#include "tests/support/quellis_dlg_fixture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace quellis;
using Clock = std::chrono::steady_clock;

namespace
{

constexpr std::size_t kMiB = 1024 * 1024;

double Seconds(Clock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

std::size_t Count(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    {
        ++count;
    }
    return count;
}

std::unique_ptr<sim::Farm> StartFarm(test::NetLab& lab, sim::FarmConfig config)
{
    config.netns = lab.FarmNamespace();
    config.firstAddress = test::NetLab::kFirstMachine;
    auto farm = std::make_unique<sim::Farm>(std::move(config));
    std::string error;
    if (!farm->Start(&error))
    {
        std::fprintf(stderr, "farm did not start: %s\n", error.c_str());
        std::exit(1);
    }
    return farm;
}

struct Found
{
    std::size_t machines = 0;
    double seconds = 0; // wall time of the whole command, or to the last reply
};

// One broadcast search; counts search replies until the farm has sent every
// one and nothing has come for 400 ms. Seconds: send to last reply.
Found PlainReceiver(sim::Farm& farm)
{
    net::Socket receive = net::Socket::Create(net::SocketKind::Udp);
    if (!receive.Bind({ net::kInaddrAny, protocol::kDevicePort }))
    {
        std::fprintf(stderr, "cannot bind 6667 on the tool side\n");
        std::exit(1);
    }
    // The same receive buffer the program asks for.
    receive.SetLargeReceiveBuffer(32 * 1024 * 1024);
    net::Socket send = net::Socket::Create(net::SocketKind::Udp);
    [[maybe_unused]] const bool broadcast = send.SetBroadcast(true);
    [[maybe_unused]] const bool bound = send.Bind({ net::InetAddr(net::DefaultRouteAddress()), 0 });
    std::vector<std::uint8_t> search(protocol::kRequestBufferSize);
    search.resize(protocol::BuildSearch(search, protocol::kSearchOrdinary));

    const std::uint64_t sentBefore = farm.Totals().repliesSent;
    const auto start = Clock::now();
    if (send.SendTo(search.data(), search.size(), { net::kInaddrBroadcast, protocol::kDevicePort }) <= 0)
    {
        std::fprintf(stderr, "the search could not be sent\n");
        std::exit(1);
    }
    Found found;
    auto last = start;
    std::vector<std::uint8_t> datagram(protocol::kMaxDatagramSize);
    while (Clock::now() - start < std::chrono::seconds(20))
    {
        if (receive.WaitReadable(std::chrono::milliseconds(400)) != net::PollResult::Ready)
        {
            if (farm.Totals().repliesSent - sentBefore >= static_cast<std::uint64_t>(farm.MachineCount()))
            {
                break;
            }
            continue;
        }
        const int got = receive.ReceiveFrom(datagram.data(), datagram.size(), nullptr);
        if (got < 8)
        {
            continue;
        }
        const auto header = protocol::ReadHeader(std::span(datagram).first(static_cast<std::size_t>(got)));
        if (header && header->type == protocol::PKT_SEARCH_ACK)
        {
            ++found.machines;
            last = Clock::now();
        }
    }
    found.seconds = Seconds(last - start);
    return found;
}

Found CliSearch(const std::string& wait)
{
    const auto start = Clock::now();
    const test::ProcessResult result = test::RunProcess(
        { QUELLIS_CLI_PATH, "search", "--wait", wait, "--format", "csv" }, {}, std::chrono::seconds(60));
    Found found;
    found.seconds = Seconds(Clock::now() - start);
    if (result.status != 0)
    {
        std::fprintf(stderr, "quellis-cli search failed (%d): %s\n", result.status, result.err.c_str());
        std::exit(1);
    }
    found.machines = Count(result.out, "\n") - 1; // less the heading
    return found;
}

void SearchTable(test::NetLab& lab, int machines, int repeats)
{
    std::printf(
        "## quellis-cli search: %d machines answer (network lab, veth; replies spread over 100 ms)\n\n", machines);
    std::printf("| searcher | found (each run) | seconds (each run) |\n|---|---|---|\n");
    sim::FarmConfig config;
    config.machines = machines;
    config.seed = 1;
    config.scenario.spreadMs = 100;
    auto farm = StartFarm(lab, config);
    test::NetLab::Enter tool(lab.ToolNamespace());
    const auto row = [&](const char* name, const std::function<Found()>& measure, const char* seconds)
    {
        std::string found;
        std::string times;
        for (int i = 0; i < repeats; ++i)
        {
            const Found run = measure();
            found += (i > 0 ? " / " : "") + std::to_string(run.machines);
            char text[32];
            std::snprintf(text, sizeof text, "%s%.2f", i > 0 ? " / " : "", run.seconds);
            times += text;
        }
        std::printf("| %s | %s | %s %s |\n", name, found.c_str(), times.c_str(), seconds);
    };
    row(
        "plain receiver", [&] { return PlainReceiver(*farm); }, "(send to last reply)");
    for (const char* wait : { "1", "3" })
    {
        const std::string name = std::string("quellis-cli search --wait ") + wait;
        row(
            name.c_str(), [&] { return CliSearch(wait); }, "(whole command)");
    }
    std::printf("\n");
}

std::string WritePackage(std::size_t size)
{
    const std::filesystem::path path = std::filesystem::temp_directory_path() / "quellis-cli-bench.bin";
    std::string bytes(size, '\0');
    std::uint32_t state = 12345;
    for (char& byte : bytes)
    {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
}

struct Updated
{
    std::size_t ok = 0;
    std::uint64_t verified = 0;
    double seconds = 0;
};

sim::FarmConfig UpdateFarm(int machines, const std::string& package)
{
    sim::FarmConfig config;
    config.machines = machines;
    config.seed = 3;
    config.scenario.spreadMs = 0;
    config.expectedPackage = package;
    sim::BehaviourGroup quick;
    std::string error;
    // Installing takes 100 ms on every machine, so the transfers dominate.
    if (!sim::ParseBehaveOption("fraction=1,installMs=100", &quick, &error))
    {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    config.scenario.groups = { quick };
    return config;
}

Updated CliUpdate(test::NetLab& lab, int machines, const std::string& package, int concurrency)
{
    auto farm = StartFarm(lab, UpdateFarm(machines, package));
    test::NetLab::Enter tool(lab.ToolNamespace());
    const auto start = Clock::now();
    const test::ProcessResult result = test::RunProcess({ QUELLIS_CLI_PATH,
                                                            "update",
                                                            package,
                                                            "--all",
                                                            "--yes",
                                                            "--concurrency",
                                                            std::to_string(concurrency),
                                                            "--format",
                                                            "csv",
                                                            "--wait",
                                                            "1" },
        {},
        std::chrono::minutes(10));
    Updated updated;
    updated.seconds = Seconds(Clock::now() - start);
    if (result.status != 0)
    {
        std::fprintf(stderr, "quellis-cli update exited with %d: %s\n", result.status, result.err.c_str());
    }
    updated.ok = Count(result.out, ",ok,updated");
    updated.verified = farm->Totals().downloadsVerified;
    return updated;
}

// The window's own run: package chosen with button 7, a search, then "update
// all" confirmed; timed from the press to the run's summary line.
Updated DialogUpdate(test::NetLab& lab, int machines, const std::string& package)
{
    auto farm = StartFarm(lab, UpdateFarm(machines, package));
    test::NetLab::Enter tool(lab.ToolNamespace());
    test::QuellisDlgFixture fixture;
    fixture.Open({ "TOOLTYPE=2", "LANG=0" });
    fixture.AnswerNextOpenFile(package);
    fixture.Click(resources::kIdSelectPackage);
    fixture.Click(resources::kIdSearch);
    if (!fixture.WaitFor([&] { return fixture.RowCount() == machines; }, 10000))
    {
        std::fprintf(stderr, "the dialog found %d of %d machines\n", fixture.RowCount(), machines);
        std::exit(1);
    }
    const std::string summary = "升级成功" + std::to_string(machines) + "台";
    fixture.AnswerNextBox(core::kAnswerYes);
    const auto start = Clock::now();
    fixture.Click(resources::kIdUpdateAll);
    Updated updated;
    if (!fixture.WaitFor([&] { return fixture.LogText().find("升级成功") != std::string::npos; }, 600000))
    {
        std::fprintf(stderr, "the dialog's run did not end\n");
        std::exit(1);
    }
    updated.seconds = Seconds(Clock::now() - start);
    updated.ok = fixture.LogText().find(summary) != std::string::npos ? static_cast<std::size_t>(machines) : 0;
    updated.verified = farm->Totals().downloadsVerified;
    return updated;
}

void UpdateTable(test::NetLab& lab, int machines, std::size_t size)
{
    const std::string package = WritePackage(size);
    std::printf(
        "## quellis-cli update: %zu MiB to %d machines (network lab, veth; install 100 ms)\n\n", size / kMiB, machines);
    std::printf("| updater | ok | verified downloads | seconds (window: press to summary; quellis-cli: whole command, "
                "its 1 s search included) | MB/s (10^6 bytes) | vs the window |\n");
    std::printf("|---|---|---|---|---|---|\n");
    const Updated window = DialogUpdate(lab, machines, package);
    const auto row = [&](const std::string& name, const Updated& run)
    {
        const double megabytes = static_cast<double>(size) * static_cast<double>(run.verified) / 1e6;
        std::printf("| %s | %zu | %llu | %.1f | %.0f | %.2f× |\n",
            name.c_str(),
            run.ok,
            static_cast<unsigned long long>(run.verified),
            run.seconds,
            megabytes / run.seconds,
            run.seconds / window.seconds);
    };
    row("window, update all (one at a time)", window);
    for (const int concurrency : { 1, 10, 100 })
    {
        row("quellis-cli --concurrency " + std::to_string(concurrency), CliUpdate(lab, machines, package, concurrency));
    }
    std::filesystem::remove(package);
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ui::Application application(argc, argv);
    // Each row as it is measured, also into a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string why;
    test::NetLab* lab = test::NetLab::Get(&why);
    if (lab == nullptr)
    {
        std::printf("quellis-cli benchmark skipped: %s\n", why.c_str());
        return 0;
    }
    const int searchMachines = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int updateMachines = argc > 2 ? std::atoi(argv[2]) : 100;
    const std::size_t packageMiB = argc > 3 ? static_cast<std::size_t>(std::atoi(argv[3])) : 64;
    SearchTable(*lab, searchMachines, 3);
    UpdateTable(*lab, updateMachines, packageMiB * kMiB);
    return 0;
}
