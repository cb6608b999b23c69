// The farm view ([VIEW] FARM=1) on a real main dialog: search replies are put
// into its reply queue as the receive thread puts them; its poller watches a
// loopback farm. The search button's request goes to a closed loopback port,
// never to a broadcast address.
#include "app/farm_list.h"
#include "farm/time_text.h"
#include "platform/net/ipv4.h"
#include "platform/ui/list_view.h"
#include "protocol/device_packet.h"
#include "resources/templates/main_dialog_ids.h"
#include "tests/sim/loopback_tool.h"
#include "tests/support/quellis_dlg_fixture.h"

#include <QLabel>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

namespace quellis::test
{
namespace
{

using namespace quellis::protocol;

std::vector<std::uint8_t> Reply(const sim::MachineIdentity& machine)
{
    std::vector<std::uint8_t> buffer(kMaxDatagramSize);
    // The fields refer to their texts: this one lives as long as they do.
    const std::string ip = net::FormatIpv4(machine.address);
    RecordFields fields;
    fields.ip = ip;
    fields.mask = "255.255.0.0";
    fields.gateway = "127.0.0.1";
    fields.mac = machine.mac;
    fields.temperature = 60;
    fields.versionNumber = 20105;
    fields.runSeconds = 3600;
    fields.versionText = "2.1.5";
    fields.hostName = "m";
    buffer.resize(BuildRecordReply(buffer, PKT_SEARCH_ACK, fields, kRecordSize));
    return buffer;
}

TEST(FarmViewWindow, KeepsAMachineThatMissedASearchMarksItSortsAndExportsTheList)
{
    sim::FarmConfig config;
    config.machines = 2;
    config.seed = 5;
    config.scenario.spreadMs = 0;
    auto farm = sim::test::StartLoopbackFarm(config, 0);
    ASSERT_TRUE(farm);
    const auto& a = farm->MachineAt(0).identity;
    const auto& b = farm->MachineAt(1).identity;

    QuellisDlgFixture fixture;
    const std::string port = "APIPORT=" + std::to_string(farm->ApiPort());
    fixture.Open({ "LANG=0", "[VIEW]", "FARM=1", "PERIOD=1", "GRACE=1", port });
    auto& dialog = fixture.Dialog();
    const auto headers = fixture.Headers();
    ASSERT_EQ(headers.size(), 13u);
    EXPECT_EQ(headers[9], "Hash rate (TH/s)");
    EXPECT_EQ(headers[12], "Last seen");
    ASSERT_TRUE(dialog.State().replyQueue.Put(Reply(a)));
    ASSERT_TRUE(dialog.State().replyQueue.Put(Reply(b)));
    ASSERT_TRUE(fixture.WaitFor([&] { return fixture.RowCount() == 2; }));

    // B is switched off and misses the next search: its row stays, with
    // its number, marked, and coloured.
    farm->SwitchOff(1);
    dialog.State().deviceBroadcast = { net::ParseIpv4("127.0.0.1").value(), 9 };
    fixture.Click(resources::kIdSearch);
    ASSERT_TRUE(dialog.State().replyQueue.Put(Reply(a)));
    ASSERT_TRUE(fixture.WaitFor([&] { return fixture.Row(1)[10].rfind("✖ DOWN since ", 0) == 0; }, 10000))
        << fixture.Row(1)[10];
    ASSERT_TRUE(fixture.WaitFor([&] { return !fixture.Row(0)[9].empty(); }, 5000));
    EXPECT_EQ(fixture.RowCount(), 2);
    EXPECT_EQ(fixture.Row(1)[0], "2");
    EXPECT_EQ(fixture.Row(1)[4], b.mac);
    ui::ListViewControl* list = dialog.ListView(resources::kIdDeviceList);
    EXPECT_TRUE(list->model()->data(list->model()->index(1, 0), Qt::BackgroundRole).isValid());
    EXPECT_FALSE(list->model()->data(list->model()->index(0, 0), Qt::BackgroundRole).isValid());
    EXPECT_TRUE(fixture.WaitFor(
        [&]
        {
            const std::string log = fixture.LogText();
            const auto line = log.find(b.mac + ": ");
            return line != std::string::npos && log.find(" -> down (", line) != std::string::npos;
        }))
        << fixture.LogText();
    const auto* status = dialog.findChild<QLabel*>(QStringLiteral("farmStatus"));
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->text().toStdString().rfind("2 listed, 1 up, 1 down, 0 not answering, total ", 0), 0u)
        << status->text().toStdString();

    // Sorted by state, the machine down comes last, then first.
    emit list->ColumnClicked(10);
    EXPECT_EQ(fixture.Row(1)[4], b.mac);
    emit list->ColumnClicked(10);
    EXPECT_EQ(fixture.Row(0)[4], b.mac);

    // Ctrl+S writes the list as shown.
    QTest::keyClick(&dialog, Qt::Key_S, Qt::ControlModifier);
    std::filesystem::path exported;
    for (const auto& entry : std::filesystem::directory_iterator(fixture.Dir().Path()))
    {
        if (entry.path().extension() == ".csv")
        {
            exported = entry.path();
        }
    }
    ASSERT_FALSE(exported.empty());
    std::string expected = "Index,IP,Mask,Gateway,MAC,Run time,Run seconds,Temperature,Version,Host name,"
                           "Hash rate (TH/s),State,Since,Pool,Last seen\n";
    for (int row = 0; row < 2; ++row)
    {
        const auto cells = fixture.Row(row);
        const std::string since = cells[10].substr(cells[10].find(" since ") + 7);
        expected += cells[0] + "," + cells[1] + ",255.255.0.0,127.0.0.1," + cells[4] + "," + cells[5]
            + ",3600,60,2.1.5,m," + cells[9] + "," + (row == 0 ? "down" : "up") + "," + since + "," + cells[11] + ","
            + cells[12] + "\n";
    }
    EXPECT_EQ(fixture.Dir().Read(exported.filename().string()), expected);
    fixture.Close();
}

// The view's log lines from another thread reach the log in order, whole,
// in pieces small enough to keep the window answering.
TEST(FarmViewWindow, LogLinesFromAnyThreadAreWrittenWholeInOrderInSmallPieces)
{
    std::vector<std::string> pieces;
    const auto sink = app::BatchedLogSink([&](const std::string& piece) { pieces.push_back(piece); });
    std::string expected;
    for (int i = 0; i < 2000; ++i)
    {
        expected += "10.77.128." + std::to_string(i % 250) + " A1B2C3D4E5F6: up -> down (timeout)\r\n";
    }
    std::thread writer(
        [&]
        {
            for (std::size_t at = 0; at < expected.size();)
            {
                const std::size_t end = expected.find('\n', at) + 1;
                sink(expected.substr(at, end - at));
                at = end;
            }
        });
    std::string written;
    ASSERT_TRUE(QuellisDlgFixture::WaitFor(
        [&]
        {
            written.clear();
            for (const std::string& piece : pieces)
            {
                written += piece;
            }
            return written.size() >= expected.size();
        },
        10000));
    writer.join();
    EXPECT_EQ(written, expected);
    EXPECT_GT(pieces.size(), 10u);
    for (const std::string& piece : pieces)
    {
        EXPECT_LE(piece.size(), 4096u);
        EXPECT_TRUE(piece.ends_with("\n"));
    }
}

} // namespace
} // namespace quellis::test
