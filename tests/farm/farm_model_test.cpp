#include "discovery/device_table.h"
#include "farm/farm_model.h"
#include "farm/time_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

namespace quellis::farm
{
namespace
{

constexpr std::int64_t kT = 1'800'000'000;

protocol::DeviceRecord Reply(const std::string& mac, const std::string& ip, std::int32_t runSeconds = 3700)
{
    protocol::DeviceRecord record;
    record.ip = ip;
    record.mask = "255.255.255.0";
    record.gateway = "10.77.128.254";
    record.mac = mac;
    record.runSeconds = runSeconds;
    record.temperature = 61;
    record.versionText = "v2";
    record.hostName = "miner";
    record.receivedLength = protocol::kRecordSize;
    return record;
}

poller::StateEvent Poll(const std::string& mac,
    poller::MachineState to,
    std::int64_t time,
    poller::PollFailure reason = poller::PollFailure::None)
{
    return { std::chrono::system_clock::time_point(std::chrono::seconds(time)), 0, mac, { {}, to, reason } };
}

// "MAC:number:state" of every row, in the list's order.
std::string Shown(const FarmModel& model)
{
    std::string text;
    for (const FarmRow& row : model.Rows())
    {
        text += row.mac + ":" + std::to_string(row.number) + ":" + std::string(StateName(row.state)) + " ";
    }
    return text;
}

std::string Search(FarmModel& model, const std::vector<std::string>& macs, std::int64_t now)
{
    model.BeginSearch();
    std::string events;
    for (const std::string& mac : macs)
    {
        const auto placed = model.ApplyReply(Reply(mac, "10.77.128." + mac.substr(11)), 0, now);
        if (!placed)
        {
            events += mac + " no row; ";
        }
        else if (placed->event)
        {
            events += EventLine(*placed->event);
        }
    }
    for (const FarmEvent& event : model.EndSearch(now))
    {
        events += EventLine(event);
    }
    return events;
}

TEST(FarmModel, KeepsEveryMachineAcrossSearchesWithItsNumberAndMarksTheMissed)
{
    FarmModel model(4);
    model.Load({ { "A1B2C3D4E501", "10.77.128.1", kT - 99, kT - 9, "v1", "up", kT - 50 },
        { "A1B2C3D4E502", "10.77.128.2", kT - 99, kT - 9, "v1", "", 0 } });
    EXPECT_EQ(Shown(model), "A1B2C3D4E501:1:not yet answering A1B2C3D4E502:2:not yet answering ");

    EXPECT_EQ(Search(model, { "A1B2C3D4E501", "A1B2C3D4E503" }, kT),
        "10.77.128.1 A1B2C3D4E501: not yet answering -> up (search)\r\n"
        "10.77.128.3 A1B2C3D4E503: not yet answering -> up (search)\r\n"
        "10.77.128.2 A1B2C3D4E502: not yet answering -> not answering (missed search)\r\n");
    // Missed again: still not answering since the first search it missed.
    EXPECT_EQ(Search(model, { "A1B2C3D4E503" }, kT + 10),
        "10.77.128.1 A1B2C3D4E501: up -> not answering (missed search)\r\n");
    EXPECT_EQ(model.Rows()[1].since, kT);
    EXPECT_EQ(model.Rows()[0].since, kT + 10);
    EXPECT_EQ(model.Rows()[0].firstSeen, kT - 99);
    EXPECT_EQ(model.Rows()[0].lastSeen, kT);
    EXPECT_EQ(CellText(model.Rows()[1], kColumnState, 0), "? not answering since " + LocalTimeText(kT));

    EXPECT_EQ(model.Remove({ "A1B2C3D4E502", "unknown" }), 1u);
    EXPECT_EQ(Search(model, { "A1B2C3D4E501", "A1B2C3D4E504", "A1B2C3D4E505", "A1B2C3D4E506" }, kT + 20),
        "10.77.128.1 A1B2C3D4E501: not answering -> up (search)\r\n"
        "10.77.128.4 A1B2C3D4E504: not yet answering -> up (search)\r\n"
        "10.77.128.5 A1B2C3D4E505: not yet answering -> up (search)\r\n"
        "A1B2C3D4E506 no row; "
        "10.77.128.3 A1B2C3D4E503: up -> not answering (missed search)\r\n");
    EXPECT_EQ(Shown(model), "A1B2C3D4E501:1:up A1B2C3D4E503:3:not answering A1B2C3D4E504:4:up A1B2C3D4E505:5:up ");
    EXPECT_EQ(model.Find("A1B2C3D4E504"), 2u);
    EXPECT_EQ(model.Rows()[2].cells[discovery::kColumnIndex], "4");
    EXPECT_EQ(model.PollTargets().size(), 4u);
}

TEST(FarmModel, SoundsTheAlarmOncePerOutageAndCarriesAnOutageAcrossARestart)
{
    using poller::MachineState;
    struct Case
    {
        const char* name;
        const char* storedState;
        std::vector<MachineState> polls; // Unknown: a search it misses
        const char* alarms; // per step: A alarm, - change without, . nothing
    };
    const Case cases[] = {
        { "down twice in one outage", "", { MachineState::Down, MachineState::Down, MachineState::Unknown }, "A.." },
        { "two outages", "", { MachineState::Down, MachineState::Up, MachineState::Down }, "A-A" },
        { "missed searches then down",
            "",
            { MachineState::Unknown, MachineState::Unknown, MachineState::Down },
            "-.A" },
        { "down before the restart", "down", { MachineState::Down, MachineState::Up, MachineState::Down }, "--A" },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        FarmModel model(10);
        model.Load({ { "A1B2C3D4E501", "10.77.128.1", kT, kT, "v1", c.storedState, kT } });
        std::string alarms;
        std::int64_t time = kT;
        for (const MachineState state : c.polls)
        {
            ++time;
            std::optional<FarmEvent> event;
            if (state == MachineState::Unknown)
            {
                model.BeginSearch();
                const auto events = model.EndSearch(time);
                event = events.empty() ? std::nullopt : std::optional<FarmEvent>(events[0]);
            }
            else
            {
                event = model.ApplyPollEvent(Poll("A1B2C3D4E501", state, time, poller::PollFailure::Refused));
            }
            alarms += !event ? '.' : event->alarm ? 'A' : '-';
        }
        EXPECT_EQ(alarms, c.alarms);
    }
}

TEST(FarmModel, TakesHashRatesFromAPollRoundAndSumsTheRowsUp)
{
    FarmModel model(10);
    Search(model, { "A1B2C3D4E501", "A1B2C3D4E502", "A1B2C3D4E503" }, kT);
    const auto view = [](const char* mac, poller::MachineState state, std::optional<double> mhs)
    {
        poller::MachineView machine;
        machine.info.mac = mac;
        machine.state = state;
        machine.mhsAv = mhs;
        return machine;
    };
    const auto changed = model.ApplyRound({ view("A1B2C3D4E501", poller::MachineState::Up, 13'500'000.0),
        view("A1B2C3D4E502", poller::MachineState::Up, 14'250'000.0),
        view("A1B2C3D4E503", poller::MachineState::Down, 14'000'000.0),
        view("FFFFFFFFFFFF", poller::MachineState::Up, 1.0) });
    EXPECT_EQ(changed, (std::vector<std::size_t> { 0, 1 }));
    ASSERT_TRUE(model.ApplyPollEvent(Poll("A1B2C3D4E503", poller::MachineState::Down, kT + 5)));
    const FarmSummary summary = model.Summary();
    EXPECT_EQ(SummaryText(summary, 0), "3 listed, 2 up, 1 down, 0 not answering, total 27.75 TH/s");
    EXPECT_EQ(SummaryText(summary, 1), "共 3 台，正常 2，掉线 1，无应答 0，总算力 27.75 TH/s");
    EXPECT_EQ(CellText(model.Rows()[0], kColumnHashRate, 0), "13.50");
    // A machine that goes down has no hash rate until it is up again.
    ASSERT_TRUE(model.ApplyPollEvent(Poll("A1B2C3D4E501", poller::MachineState::Down, kT + 6)));
    EXPECT_EQ(CellText(model.Rows()[0], kColumnHashRate, 0), "");
    EXPECT_EQ(model.Summary().hashRate, 14.25);
}

TEST(FarmModel, SortsByEveryColumnAndExportsTheListAsCsv)
{
    FarmModel model(10);
    model.BeginSearch();
    (void)model.ApplyReply(Reply("A1B2C3D4E501", "10.77.128.20", 90), 0, kT);
    (void)model.ApplyReply(Reply("A1B2C3D4E502", "10.77.128.3", 3700), 0, kT + 1);
    (void)model.ApplyReply(Reply("A1B2C3D4E503", "10.77.129.1", 86400), 0, kT + 2);
    (void)model.ApplyPollEvent(Poll("A1B2C3D4E502", poller::MachineState::Down, kT + 3));
    poller::MachineView up;
    up.info.mac = "A1B2C3D4E501";
    up.state = poller::MachineState::Up;
    up.mhsAv = 9e6;
    poller::MachineView pooled;
    pooled.info.mac = "A1B2C3D4E503";
    pooled.state = poller::MachineState::Up;
    pooled.pool = "stratum+tcp://pool:3333, worker \"b\"";
    model.ApplyRound({ up, pooled });

    const auto sorted = [&](int column)
    {
        std::vector<std::size_t> order(model.Rows().size());
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(),
            order.end(),
            [&](std::size_t a, std::size_t b) { return CompareRows(model.Rows()[a], model.Rows()[b], column) < 0; });
        std::string numbers;
        for (const std::size_t row : order)
        {
            numbers += std::to_string(model.Rows()[row].number);
        }
        return numbers;
    };
    const std::pair<int, const char*> orders[] = { { discovery::kColumnIndex, "123" },
        { discovery::kColumnIp, "213" },
        { discovery::kColumnRunTime, "123" },
        { discovery::kColumnMac, "123" },
        { kColumnHashRate, "231" },
        { kColumnState, "132" },
        { kColumnPool, "123" },
        { kColumnLastSeen, "123" } };
    for (const auto& [column, order] : orders)
    {
        EXPECT_EQ(sorted(column), order) << "column " << column;
    }

    const std::string runTime = *discovery::FormatRunTime(3700, 0);
    EXPECT_EQ(FarmCsv(model.Rows(), { 1, 2 }),
        "Index,IP,Mask,Gateway,MAC,Run time,Run seconds,Temperature,Version,Host name,"
        "Hash rate (TH/s),State,Since,Pool,Last seen\n"
        "2,10.77.128.3,255.255.255.0,10.77.128.254,A1B2C3D4E502,"
            + runTime + ",3700,61,v2,miner,,down," + LocalTimeText(kT + 3) + ",," + LocalTimeText(kT + 1)
            + "\n"
              "3,10.77.129.1,255.255.255.0,10.77.128.254,A1B2C3D4E503,"
            + *discovery::FormatRunTime(86400, 0) + ",86400,61,v2,miner,,up," + LocalTimeText(kT + 2)
            + ",\"stratum+tcp://pool:3333, worker \"\"b\"\"\"," + LocalTimeText(kT + 2) + "\n");
}

} // namespace
} // namespace quellis::farm
