// Discovery at scale: the real main dialog on the network lab's tool side
// presses Search while quellis-farmsim answers from its farm side with
// 1,000, 5,000 or 10,000 machines, their replies spread over 100 ms (as
// hardware answers) or all at once. Measured per case: rows found, time from
// the press to the last row, the longest time the UI thread was blocked, and
// the process's peak memory. The receive socket asks for a forced large
// buffer; the "unprivileged" rows run without CAP_NET_ADMIN, so it gets what
// net.core.rmem_max allows. Beside each case, the reference: a receiver that
// only counts the same burst with the same buffer. Needs root (the lab).
#include "platform/net/default_route.h"
#include "platform/net/socket.h"
#include "platform/ui/application.h"
#include "protocol/device_packet.h"
#include "resources/templates/main_dialog_ids.h"
#include "tests/support/netlab.h"
#include "tests/support/quellis_dlg_fixture.h"
#include "tests/support/ui_stall_meter.h"

#include <QApplication>

#include <linux/capability.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace quellis;
using Clock = std::chrono::steady_clock;

namespace
{

// CAP_NET_ADMIN in this thread's effective set decides whether a socket may
// force its receive buffer past net.core.rmem_max.
bool SetNetAdmin(bool on)
{
    __user_cap_header_struct header { _LINUX_CAPABILITY_VERSION_3, 0 };
    __user_cap_data_struct data[2] {};
    if (syscall(SYS_capget, &header, data) != 0)
    {
        return false;
    }
    const unsigned bit = 1u << CAP_NET_ADMIN;
    data[0].effective = on ? (data[0].effective | bit) : (data[0].effective & ~bit);
    return syscall(SYS_capset, &header, data) == 0;
}

long PeakMemoryKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
    {
        if (line.rfind("VmHWM:", 0) == 0)
        {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

// Datagrams the kernel dropped because a socket's receive buffer was full,
// counted for the network namespace of this thread.
long ReceiveBufferErrors()
{
    std::ifstream snmp("/proc/thread-self/net/snmp");
    std::string header;
    std::string values;
    std::string line;
    while (std::getline(snmp, line))
    {
        if (line.rfind("Udp: ", 0) == 0)
        {
            if (header.empty())
            {
                header = line;
            }
            else
            {
                values = line;
                break;
            }
        }
    }
    std::istringstream names(header);
    std::istringstream numbers(values);
    std::string name;
    std::string number;
    while (names >> name && numbers >> number)
    {
        if (name == "RcvbufErrors")
        {
            return std::stol(number);
        }
    }
    return 0;
}

void ResetPeakMemory()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

// quellis-farmsim in the farm namespace, until the object goes.
class FarmProcess
{
public:
    FarmProcess(const std::string& farmNamespace, int machines, int spread)
    {
        int output[2];
        if (pipe(output) != 0)
        {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, output[0]);
        std::vector<std::string> arguments = { "/usr/sbin/ip",
            "netns",
            "exec",
            farmNamespace,
            QUELLIS_FARMSIM_PATH,
            "--machines",
            std::to_string(machines),
            "--seed",
            "1",
            "--spread",
            std::to_string(spread) };
        std::vector<char*> argv;
        for (std::string& argument : arguments)
        {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(output[1]);
        char c = 0;
        while (read(output[0], &c, 1) == 1 && c != '\n')
        {
            ready_ += c;
        }
        close(output[0]);
    }
    ~FarmProcess()
    {
        if (pid_ > 0)
        {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    [[nodiscard]] bool Ready() const { return ready_.find("ready") != std::string::npos; }

private:
    pid_t pid_ = -1;
    std::string ready_;
};

struct DialogRun
{
    int rows = 0;
    long dropped = 0; // by the receive socket's full buffer
    double lastRowMs = 0;
    double longestBlockMs = 0;
    long peakKiB = 0;
};

DialogRun RunDialog(int machines)
{
    DialogRun run;
    test::QuellisDlgFixture fixture;
    fixture.Open({ "TOOLTYPE=2", "LANG=1" });
    ResetPeakMemory();

    // The longest time the UI thread did not get back to its event loop.
    test::UiStallMeter stalls;
    stalls.Start();

    const long droppedBefore = ReceiveBufferErrors();
    const auto pressed = Clock::now();
    fixture.Click(resources::kIdSearch);
    int seen = 0;
    auto lastChange = Clock::now();
    while (Clock::now() - lastChange < std::chrono::milliseconds(1500)
        && Clock::now() - pressed < std::chrono::seconds(30))
    {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        const int rows = fixture.RowCount();
        if (rows != seen)
        {
            seen = rows;
            lastChange = Clock::now();
        }
        if (rows >= machines)
        {
            break;
        }
    }
    stalls.Stop();
    run.dropped = ReceiveBufferErrors() - droppedBefore;
    run.rows = seen;
    run.lastRowMs = std::chrono::duration<double, std::milli>(lastChange - pressed).count();
    run.longestBlockMs = stalls.LongestMs();
    run.peakKiB = PeakMemoryKiB();
    fixture.Close();
    return run;
}

// The reference: a receiver that only counts one search's replies, and the
// time from its search to the last of them.
struct PlainRun
{
    int counted = -1;
    double lastMs = 0;
};

PlainRun RunPlainReceiver(int machines)
{
    net::Socket receive = net::Socket::Create(net::SocketKind::Udp);
    if (!receive.Bind({ net::kInaddrAny, protocol::kDevicePort }))
    {
        return {};
    }
    receive.SetLargeReceiveBuffer(32 * 1024 * 1024);
    net::Socket send = net::Socket::Create(net::SocketKind::Udp);
    [[maybe_unused]] const bool broadcast = send.SetBroadcast(true);
    [[maybe_unused]] const bool bound = send.Bind({ net::InetAddr(net::DefaultRouteAddress()), 0 });
    std::vector<std::uint8_t> datagram(protocol::kMaxDatagramSize);
    std::vector<std::uint8_t> search(protocol::kRequestBufferSize);
    search.resize(protocol::BuildSearch(search, protocol::kSearchOrdinary));
    const auto sent = Clock::now();
    if (send.SendTo(search.data(), search.size(), { net::kInaddrBroadcast, protocol::kDevicePort }) <= 0)
    {
        return {};
    }
    PlainRun run;
    run.counted = 0;
    while (run.counted < machines && receive.WaitReadable(std::chrono::milliseconds(1500)) == net::PollResult::Ready)
    {
        const int got = receive.ReceiveFrom(datagram.data(), datagram.size(), nullptr);
        const auto header = protocol::ReadHeader(std::span(datagram).first(static_cast<std::size_t>(std::max(got, 0))));
        if (header && header->type == protocol::PKT_SEARCH_ACK)
        {
            ++run.counted;
            run.lastMs = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
        }
    }
    return run;
}

template <typename T> T Median(std::vector<T> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ui::Application application(argc, argv);
    const int repeats = argc > 1 ? std::atoi(argv[1]) : 3;
    // A second argument runs one farm size only.
    const int only = argc > 2 ? std::atoi(argv[2]) : 0;
    std::string why;
    test::NetLab* lab = test::NetLab::Get(&why);
    if (lab == nullptr)
    {
        std::printf("discovery search benchmark skipped: %s\n", why.c_str());
        return 0;
    }

    std::printf(
        "## Discovery: Search in the real dialog against a simulated farm (network lab), %d runs each\n\n", repeats);
    std::printf(
        "| machines | replies | receive buffer (bytes) | rows found (min / max) | press to last row, ms (median) "
        "| longest UI block, ms (max) | peak memory, MiB | dropped by the socket (max) | plain receiver got (min / "
        "max) "
        "| plain receiver's last reply, ms (median) | press to last row / plain |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const int machines : { 1000, 5000, 10000 })
    {
        if (only != 0 && machines != only)
        {
            continue;
        }
        for (const int spread : { 100, 0 })
        {
            FarmProcess farm(lab->FarmNamespace(), machines, spread);
            if (!farm.Ready())
            {
                std::fprintf(stderr, "quellis-farmsim did not start\n");
                return 1;
            }
            test::NetLab::Enter tool(lab->ToolNamespace());
            for (const bool forced : { false, true })
            {
                if (!SetNetAdmin(forced) && forced)
                {
                    std::fprintf(stderr, "cannot raise CAP_NET_ADMIN\n");
                }
                int bufferBytes = 0;
                {
                    net::Socket probe = net::Socket::Create(net::SocketKind::Udp);
                    bufferBytes = probe.SetLargeReceiveBuffer(32 * 1024 * 1024);
                }
                std::vector<DialogRun> runs;
                std::vector<int> reference;
                std::vector<double> referenceMs;
                for (int i = 0; i < repeats; ++i)
                {
                    runs.push_back(RunDialog(machines));
                    const PlainRun plain = RunPlainReceiver(machines);
                    reference.push_back(plain.counted);
                    referenceMs.push_back(plain.lastMs);
                }
                SetNetAdmin(true);
                std::vector<int> rows;
                std::vector<double> lastRow;
                double block = 0;
                long peak = 0;
                long dropped = 0;
                for (const DialogRun& run : runs)
                {
                    rows.push_back(run.rows);
                    lastRow.push_back(run.lastRowMs);
                    block = std::max(block, run.longestBlockMs);
                    peak = std::max(peak, run.peakKiB);
                    dropped = std::max(dropped, run.dropped);
                }
                std::printf("| %d | %s | %s (%d) | %d / %d | %.0f | %.1f | %.0f | %ld | %d / %d | %.0f | %.2f |\n",
                    machines,
                    spread == 0 ? "all at once" : "over 100 ms",
                    forced ? "forced" : "unprivileged",
                    bufferBytes,
                    *std::min_element(rows.begin(), rows.end()),
                    *std::max_element(rows.begin(), rows.end()),
                    Median(lastRow),
                    block,
                    static_cast<double>(peak) / 1024.0,
                    dropped,
                    *std::min_element(reference.begin(), reference.end()),
                    *std::max_element(reference.begin(), reference.end()),
                    Median(referenceMs),
                    Median(lastRow) / std::max(Median(referenceMs), 1.0));
                std::fflush(stdout);
            }
        }
    }
    return 0;
}
