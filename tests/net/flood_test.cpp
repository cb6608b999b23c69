// The real main dialog on the lab's tool side while a search of 1,000
// simulated machines runs and datagrams nobody asked for arrive from the farm
// side as fast as a socket sends them: 100,000 of random bytes, every type
// and command code, forged pool and EEPROM successes naming real and made-up
// machines, and setting refusals, interleaved with 100,000 search replies
// each with a new MAC. The program must list every real machine, stay within
// a few threads and a bounded memory, open no box, and afterwards run a pool
// configuration and an EEPROM write exactly as it did before the flood.
#include "discovery/device_list_dlg.h"
#include "platform/net/ipv4.h"
#include "platform/ui/list_view.h"
#include "resources/templates/main_dialog_ids.h"
#include "resources/templates/pool_info_ids.h"
#include "tests/net/lab_tool.h"
#include "tests/support/flooder.h"
#include "tests/support/quellis_dlg_fixture.h"
#include "tests/support/ui_stall_meter.h"

#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <linux/sock_diag.h>
#include <sys/socket.h>

#include <array>
#include <fstream>
#include <regex>
#include <set>

namespace quellis::test
{
namespace
{

using namespace quellis::resources;

// Threads the process may have beyond those it had before the flood: the
// flooder's own, and one to spare. A datagram must never start one.
constexpr int kThreadSlack = 2;
// The flood: 100,000 datagrams of the mixed kinds interleaved with 100,000
// search replies, each of a new MAC. Resident memory the process may reach
// meanwhile (the farm of 1,000 machines and the flooder live in it too): a
// full list of 65,536 rows with their version lines in the log pane takes
// most of it, some 125 MiB measured. The sanitizer builds send a tenth: they
// are many times slower at each datagram, and what they check (memory and
// thread safety of the same paths) needs no more; their shadow memory and
// quarantine come on top of the bound.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kFloodCount = 20000;
constexpr long kMemoryBoundMiB = 768;
#else
constexpr std::size_t kFloodCount = 200000;
constexpr long kMemoryBoundMiB = 256;
#endif

struct ProcessFigures
{
    int threads = 0;
    long rssKiB = 0;
};

ProcessFigures ReadProcess()
{
    ProcessFigures figures;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
    {
        if (line.rfind("Threads:", 0) == 0)
        {
            figures.threads = std::stoi(line.substr(8));
        }
        else if (line.rfind("VmRSS:", 0) == 0)
        {
            figures.rssKiB = std::stol(line.substr(6));
        }
    }
    return figures;
}

// The highest thread count and resident memory, looked at every 5 ms.
class Sampler
{
public:
    Sampler()
        : thread_(
            [this]
            {
                while (!stop_)
                {
                    const ProcessFigures now = ReadProcess();
                    most_.threads = std::max(most_.threads.load(), now.threads);
                    most_.rssKiB = std::max(most_.rssKiB.load(), now.rssKiB);
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
            })
    {
    }
    ~Sampler() { Stop(); }
    ProcessFigures Stop()
    {
        stop_ = true;
        if (thread_.joinable())
        {
            thread_.join();
        }
        return { most_.threads.load(), most_.rssKiB.load() };
    }

private:
    struct
    {
        std::atomic<int> threads { 0 };
        std::atomic<long> rssKiB { 0 };
    } most_;
    std::atomic<bool> stop_ { false };
    std::thread thread_;
};

// Datagrams for the tool lost before the program could look at them: dropped
// by the kernel while the receive socket's buffer was full, or by the receive
// thread while the reply queue was full.
std::uint64_t LostDatagrams(const protocol::SharedState& state)
{
    std::array<std::uint32_t, SK_MEMINFO_VARS> info {};
    socklen_t length = sizeof info;
    EXPECT_EQ(getsockopt(state.receiveSocket.Handle(), SOL_SOCKET, SO_MEMINFO, info.data(), &length), 0);
    return info[SK_MEMINFO_DROPS] + state.datagramsLostQueueFull.load();
}

// The log pane shows "\r\n" as "\n"; the EEPROM lines carry the time.
std::string WithoutTimes(const std::string& text)
{
    static const std::regex time(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\])");
    return std::regex_replace(text, time, "[T]");
}

// Runs the UI thread's event loop, as the program's own modal loop does, until
// done() or the time is up: a window call from another thread is served at
// once instead of at the next look of a polling wait.
bool RunUntil(const std::function<bool()>& done, int milliseconds)
{
    QEventLoop loop;
    QTimer look;
    look.setInterval(2);
    QObject::connect(&look,
        &QTimer::timeout,
        &loop,
        [&]
        {
            if (done())
            {
                loop.quit();
            }
        });
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, [&] { loop.quit(); });
    look.start();
    limit.start(milliseconds);
    if (!done())
    {
        loop.exec();
    }
    return done();
}

int Count(const std::string& text, const std::string& piece)
{
    int count = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
    {
        ++count;
    }
    return count;
}

class LabFlood : public testing::Test
{
protected:
    int RowOf(const std::string& mac) const
    {
        for (int row = 0; row < fixture.RowCount(); ++row)
        {
            if (fixture.Row(row)[discovery::kColumnMac] == mac)
            {
                return row;
            }
        }
        return -1;
    }
    void SelectOnly(int row)
    {
        ui::ListViewControl* list = fixture.Dialog().ListView(kIdDeviceList);
        for (int other = list->NextSelected(ui::kListNone); other != ui::kListNone; other = list->NextSelected(other))
        {
            list->SetItemState(other, 0, ui::kItemSelected);
        }
        list->SetItemState(row, ui::kItemSelected, ui::kItemSelected);
    }
    // Presses a button of a run over the one selected row and returns what
    // the run logged, once `ended` is in the log and the run has enabled its controls.
    std::string Run(int id, const std::string& ended)
    {
        const std::size_t before = fixture.LogText().size();
        fixture.Dialog().ShowItem(id, true);
        fixture.Click(id);
        EXPECT_TRUE(RunUntil(
            [&] {
                return fixture.LogText().find(ended, before) != std::string::npos
                    && fixture.Enabled(kIdExecuteMinerCommand);
            },
            10000))
            << fixture.LogText().substr(before);
        RunUntil([] { return false; }, 100);
        return WithoutTimes(fixture.LogText().substr(before));
    }
    // The pools of the settings dialog as they stand, to the machine's row.
    std::string ConfigurePools(const std::string& mac)
    {
        SelectOnly(RowOf(mac));
        fixture.AnswerNextDialog(
            kPoolInfoTemplate, [](ui::Dialog& dialog) { QuellisDlgFixture::ClickItem(dialog, kIdPoolOk); });
        return Run(kIdSetPools, "矿池配置成功1个");
    }
    // The label example written to the machine's row, and read back.
    std::string WriteLabels(const std::string& mac)
    {
        SelectOnly(RowOf(mac));
        fixture.Dialog().SetItemText(kIdQrCodeEdit, "QRZUN00042");
        fixture.Dialog().SetItemText(kIdOneDCodeEdit, "KAVDRUP1234567890AB-SN0001-X");
        return Run(kIdWriteE2, "读E2");
    }

    std::unique_ptr<sim::Farm> farm;
    QuellisDlgFixture fixture;
};

TEST_F(LabFlood, ASearchUnderAFloodListsEveryMachineAndTheRunsAfterItAreUnchanged)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    sim::FarmConfig config;
    config.machines = 1000;
    config.seed = 41;
    config.scenario.spreadMs = 100;
    farm = StartLabFarm(*lab, config);
    ASSERT_TRUE(farm);
    NetLab::Enter tool(lab->ToolNamespace());
    ASSERT_TRUE(tool.Ok());
    fixture.Open({ "TOOLTYPE=2", "LANG=1" });
    fixture.Click(kIdSearch);
    ASSERT_TRUE(fixture.WaitFor([&] { return fixture.RowCount() == 1000; }, 20000)) << fixture.RowCount();

    // What a pool run and an EEPROM write do to one machine without a flood.
    const std::string mac = farm->MachineAt(7).identity.mac;
    const std::string poolsBefore = ConfigurePools(mac);
    const std::string labelsBefore = WriteLabels(mac);
    ASSERT_NE(labelsBefore.find("]读E2成功"), std::string::npos) << labelsBefore;

    FloodConfig flood;
    flood.netns = lab->FarmNamespace();
    flood.target = { net::InetAddr(NetLab::kToolAddress), protocol::kDevicePort };
    flood.count = kFloodCount;
    flood.limit = std::chrono::seconds(60);
    flood.seed = 41;
    flood.perSecond = 0; // as fast as the socket takes them
    for (int i = 0; i < farm->MachineCount(); ++i)
    {
        flood.realMacs.push_back(farm->MachineAt(i).identity.mac);
    }
    Flooder flooder(flood);
    const protocol::SharedState& state = fixture.Dialog().State();
    const std::uint64_t receivedBefore = state.datagramsReceived.load();
    const std::uint64_t queuedBefore = state.datagramsQueued.load();

    // The longest time the UI thread did not get back to its event loop.
    test::UiStallMeter stalls;
    Sampler sampler;
    RunUntil([] { return false; }, 50);
    const ProcessFigures before = ReadProcess();
    stalls.Start();

    // The search is pressed once the flood is well under way, and the
    // machines' replies come in the middle of it.
    flooder.Start();
    ASSERT_TRUE(RunUntil([&] { return flooder.Progress() >= flood.count / 10 || flooder.Finished(); }, 20000));
    const std::uint64_t repliesBefore = farm->Totals().repliesSent;
    const std::uint64_t lostBefore = LostDatagrams(state);
    fixture.Click(kIdSearch);
    // Datagrams lost while the machines answered, and a moment after the last.
    ASSERT_TRUE(RunUntil([&] { return farm->Totals().repliesSent - repliesBefore >= flood.realMacs.size(); }, 30000));
    RunUntil([] { return false; }, 200);
    const std::uint64_t lostWhileAnswered = LostDatagrams(state) - lostBefore;
    ASSERT_TRUE(RunUntil([&] { return flooder.Finished(); }, 90000));
    const FloodTotals sent = flooder.Join();
    // Until everything that came in is handled: nothing more arrives, the
    // queue is empty, and the last count of unexpected replies is logged.
    std::uint64_t seen = 0;
    while (RunUntil([&] { return state.datagramsReceived.load() != seen; }, 500))
    {
        seen = state.datagramsReceived.load();
    }
    ASSERT_TRUE(RunUntil([&] { return state.replyQueue.UsedCount() == 0; }, 20000));
    RunUntil([] { return false; }, 1500);
    stalls.Stop();
    const ProcessFigures most = sampler.Stop();

    std::set<std::string> listed;
    for (int row = 0; row < fixture.RowCount(); ++row)
    {
        listed.insert(fixture.Row(row)[discovery::kColumnMac]);
    }
    int missing = 0;
    for (const std::string& real : flood.realMacs)
    {
        missing += listed.contains(real) ? 0 : 1;
    }
    const std::string log = fixture.LogText();
    std::printf("flood: %llu datagrams sent in %.2f s (%llu send failures); the program received %llu and "
                "queued %llu; %d rows; longest UI block %.1f ms; threads %d before, %d at most; resident memory "
                "%.0f MiB before, %.0f MiB at most; %llu datagrams lost while the machines answered\n",
        static_cast<unsigned long long>(sent.Sent()),
        sent.seconds,
        static_cast<unsigned long long>(sent.sendFailures),
        static_cast<unsigned long long>(state.datagramsReceived.load() - receivedBefore),
        static_cast<unsigned long long>(state.datagramsQueued.load() - queuedBefore),
        fixture.RowCount(),
        stalls.LongestMs(),
        before.threads,
        most.threads,
        static_cast<double>(before.rssKiB) / 1024,
        static_cast<double>(most.rssKiB) / 1024,
        static_cast<unsigned long long>(lostWhileAnswered));
    RecordProperty("longest_ui_block_ms", std::to_string(stalls.LongestMs()));

    EXPECT_EQ(sent.Sent() + sent.sendFailures, flood.count);
    // When the flood outruns the receive thread, the kernel drops what does
    // not fit in the socket's buffer, real answers among the rest: a real
    // machine may be missing only for a datagram lost while the machines
    // answered, never for the list's ceiling or a filter.
    EXPECT_LE(static_cast<std::uint64_t>(missing), lostWhileAnswered) << missing << " real machines not listed";
    EXPECT_LE(fixture.RowCount(), discovery::kMaxDeviceRows);
    EXPECT_EQ(Count(log, "设备列表已达上限"), fixture.RowCount() == discovery::kMaxDeviceRows ? 1 : 0);
    EXPECT_TRUE(fixture.Boxes().empty()) << fixture.Boxes().front().text;
    EXPECT_LE(most.threads, before.threads + kThreadSlack);
    EXPECT_LE(most.rssKiB / 1024, kMemoryBoundMiB);
    EXPECT_NE(log.find("个未预期的应答，已忽略"), std::string::npos);
    // The forged successes took no effect: the lines of the one run before the flood only.
    EXPECT_EQ(Count(log, "]写E2成功"), 1);
    EXPECT_EQ(Count(log, "矿池配置成功\n"), 1);

    // After the flood the same runs log the same lines and do the same.
    EXPECT_EQ(ConfigurePools(mac), poolsBefore);
    EXPECT_EQ(WriteLabels(mac), labelsBefore);
    EXPECT_TRUE(fixture.Boxes().empty());
}

} // namespace
} // namespace quellis::test
