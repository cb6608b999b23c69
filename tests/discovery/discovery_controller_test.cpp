// The discovery controller on a fake window and loopback sockets: what the
// search buttons send, what a datagram arriving on the receive socket becomes,
// and the start and stop of its two threads.
#include "core/settings.h"
#include "discovery/discovery_controller.h"
#include "resources/resource_ids.h"
#include "resources/templates/main_dialog_ids.h"
#include "tests/support/fake_window.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <mutex>

namespace quellis::discovery
{

using namespace quellis::protocol;
namespace
{

using namespace quellis::resources;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kLoopback = 0x7F000001;

// The device list as plain records: what was handed over, and the clicks.
class RecordedRows : public DeviceRecordSink
{
public:
    void Enqueue(std::vector<DeviceRecord> records) override
    {
        std::lock_guard lock(lock_);
        for (auto& record : records)
        {
            records_.push_back(std::move(record));
        }
    }
    void Flush() override { }
    void Clear() override
    {
        std::lock_guard lock(lock_);
        ++clears;
        records_.clear();
    }
    void SortByColumn(int column) override { sorted.push_back(column); }
    void SetAppliedHandler(AppliedHandler handler) override { applied = std::move(handler); }
    std::vector<DeviceRecord> Records()
    {
        std::lock_guard lock(lock_);
        return records_;
    }

    int clears = 0;
    std::vector<int> sorted;
    AppliedHandler applied;

private:
    std::mutex lock_;
    std::vector<DeviceRecord> records_;
};

// A UDP socket on loopback standing in for the machines: requests the tool
// broadcasts arrive here.
struct Machines
{
    Machines()
    {
        EXPECT_TRUE(socket.Bind({ kLoopback, 0 }));
        EXPECT_TRUE(socket.SetReceiveTimeout(std::chrono::milliseconds(2000)));
        endpoint = *socket.LocalEndpoint();
    }
    Bytes Receive()
    {
        Bytes buffer(kMaxDatagramSize);
        const int length = socket.ReceiveFrom(buffer.data(), buffer.size(), nullptr);
        buffer.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
        return buffer;
    }
    net::Socket socket = net::Socket::Create(net::SocketKind::Udp);
    net::Endpoint endpoint;
};

class DiscoveryControllerTest : public testing::Test
{
protected:
    DiscoveryControllerTest()
    {
        state.sendSocket = net::Socket::Create(net::SocketKind::Udp);
        state.deviceBroadcast = machines.endpoint;
        state.replyPort = 0;
        EXPECT_TRUE(state.replyQueue.Initialise());
    }
    ~DiscoveryControllerTest() override
    {
        // The teardown's order: flags and socket first, then the joins.
        state.receiveSocket.Shutdown();
        state.running = 0;
        state.replyQueue.WakeWaiters();
        controller.Stop();
    }

    Machines machines;
    SharedState state { "config.ini" };
    test::FakeWindow window;
    RecordedRows rows;
    DiscoveryController controller { state, window.Window(), rows };
};

TEST_F(DiscoveryControllerTest, SearchClearsTheRowsAndBroadcastsOneSearch)
{
    state.toolType = core::kToolTypeBare;
    EXPECT_TRUE(controller.OnCommand(kIdSearch));
    EXPECT_EQ(rows.clears, 1);
    const Bytes search = machines.Receive();
    ASSERT_EQ(search.size(), kRecordSize);
    const auto header = ReadHeader(search);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->type, PKT_SEARCH);
    EXPECT_EQ(window.Focus(), test::FakeWindow::kListFocus);
    // Without a side panel the tests wait for a machine, and the lamps go out.
    EXPECT_FALSE(window.IsItemEnabled(kIdLedTest));
    EXPECT_FALSE(window.IsItemEnabled(kIdSerialTest));
    EXPECT_EQ(window.Icon(kIdSerialLamp5), kIconLampOff);

    // The fixed-account search without an account clears, refuses, sends nothing.
    EXPECT_TRUE(controller.OnCommand(kIdFixedAccountSearch));
    EXPECT_EQ(rows.clears, 2);
    ASSERT_EQ(window.Boxes().size(), 1u);
    EXPECT_EQ(window.Boxes()[0].text, "请输入终端账号");
    window.SetItemText(kIdAccountEdit, "operator-07");
    EXPECT_TRUE(controller.OnCommand(kIdFixedAccountSearch));
    const Bytes fixed = machines.Receive();
    ASSERT_EQ(fixed.size(), kRecordSize);
    EXPECT_EQ(TextField(fixed, offsetof(RecordLayout, versionText), kTextFieldWidth), "operator-07");
    EXPECT_FALSE(controller.OnCommand(kIdUpdateAll)) << "another subsystem's button";
}

TEST_F(DiscoveryControllerTest, ClicksOnTheListFlickerARowAndSortByColumn)
{
    window.AddRow("10.77.128.5", "A1B2C3D4E5F6");
    window.AddRow("10.77.128.6", "A1B2C3D4E5F7");
    EXPECT_TRUE(controller.OnListNotify(core::ListNotify::Click, 1, 0));
    const Bytes flicker = machines.Receive();
    ASSERT_EQ(flicker.size(), kRecordSize);
    EXPECT_EQ(ReadHeader(flicker)->type, PKT_NET_LED_FLICKER);
    EXPECT_EQ(ReadRecord(flicker)->mac, "A1B2C3D4E5F7");
    EXPECT_EQ(window.FocusedRow(), 1);
    EXPECT_EQ(controller.FlickerRow(-1), 0);

    EXPECT_TRUE(controller.OnListNotify(core::ListNotify::ColumnClick, -1, 5));
    EXPECT_EQ(rows.sorted, std::vector<int> { 5 });
    EXPECT_FALSE(controller.OnListNotify(core::ListNotify::DoubleClick, 1, 0)) << "the network settings' own";
}

TEST_F(DiscoveryControllerTest, ReceivedRepliesBecomeRecordsAndRequestsAndFilteredAddressesDoNot)
{
    state.running = 1;
    ASSERT_TRUE(controller.StartReplyThread());
    ASSERT_EQ(controller.StartLisServ({ 128, 1, 10 }), ReceiveStart::Started);
    const auto bound = state.receiveSocket.LocalEndpoint();
    ASSERT_TRUE(bound);
    net::Socket machine = net::Socket::Create(net::SocketKind::Udp);
    const auto send = [&](PacketType type, const std::string& ip, const std::string& mac)
    {
        Bytes buffer(kMaxDatagramSize);
        RecordFields fields;
        fields.ip = ip;
        fields.mac = mac;
        fields.runSeconds = 61;
        buffer.resize(BuildRecordReply(buffer, type, fields, kRecordSize));
        ASSERT_GT(machine.SendTo(buffer.data(), buffer.size(), { kLoopback, bound->port }), 0);
    };
    send(PKT_SEARCH, "10.77.128.2", "000000000001"); // a request: dropped
    send(PKT_SEARCH_ACK, "10.77.129.2", "000000000002"); // third number 129: filtered out
    send(PKT_SEARCH_ACK, "10.77.128.11", "000000000003"); // fourth number 11: filtered out
    send(PKT_SEARCH_ACK, "10.77.128.10", "000000000004"); // passes
    send(PKT_SEARCH_ACK, "FFFFFFFFFFFF", "000000000005"); // shown with the sender's address
    // Shorter than the header (the magic and a type byte 1), and one byte
    // longer than the largest datagram taken: dropped whole, never cut.
    const auto sendSized = [&](std::size_t size, const std::string& mac)
    {
        Bytes buffer(std::max(size, kRecordSize));
        RecordFields fields;
        fields.ip = "10.77.128.10";
        fields.mac = mac;
        [[maybe_unused]] const std::size_t built = BuildRecordReply(buffer, PKT_SEARCH_ACK, fields, kRecordSize);
        buffer.resize(size);
        ASSERT_EQ(machine.SendTo(buffer.data(), buffer.size(), { kLoopback, bound->port }), static_cast<int>(size));
    };
    sendSized(5, "");
    sendSized(kMaxDatagramSize + 1, "000000000006");
    sendSized(kMaxDatagramSize, "000000000007");
    ASSERT_TRUE(window.WaitFor([&] { return rows.Records().size() == 3; }));
    const auto records = rows.Records();
    EXPECT_EQ(records[0].mac, "000000000004");
    EXPECT_EQ(records[1].mac, "000000000005");
    EXPECT_EQ(records[1].ip, "127.0.0.1");
    EXPECT_EQ(records[2].mac, "000000000007");
    EXPECT_EQ(state.datagramsReceived.load(), 8u);
    EXPECT_EQ(state.datagramsQueued.load(), 3u);
}

TEST_F(DiscoveryControllerTest, AppliedRowsLogTheirVersionsAndWithoutPanelSelectTheFirstRow)
{
    ASSERT_TRUE(rows.applied);
    rows.applied("1 Device 10.77.128.5 server version 2.1.5\r\n");
    EXPECT_EQ(window.LogText(), "1 Device 10.77.128.5 server version 2.1.5\r\n");
    EXPECT_FALSE(window.LogLines()[0].toFile);
    EXPECT_EQ(window.FocusedRow(), -1) << "with a side panel nothing is selected";

    state.toolType = core::kToolTypeBare;
    window.EnableItem(kIdLedTest, false);
    rows.applied("");
    EXPECT_FALSE(window.IsItemEnabled(kIdLedTest)) << "no row yet";
    window.AddRow("10.77.128.5", "A1B2C3D4E5F6");
    rows.applied("");
    EXPECT_EQ(window.FocusedRow(), 0);
    EXPECT_TRUE(window.IsItemEnabled(kIdLedTest));
    EXPECT_TRUE(window.IsItemEnabled(kIdSerialTest));
    EXPECT_EQ(window.LogLines().size(), 1u) << "empty version lines write nothing";
}

TEST_F(DiscoveryControllerTest, RangeScanFollowsTheBroadcastAndItsAnswersMakeRemoteRows)
{
    state.language = 0; // English
    state.running = 1;
    ASSERT_TRUE(controller.StartReplyThread());
    ASSERT_EQ(controller.StartLisServ({}), ReceiveStart::Started);
    const std::uint16_t replyPort = state.receiveSocket.LocalEndpoint()->port;
    // Two machines in the range on the machines' port; only the first answers.
    Machines remote[2];
    for (int i = 0; i < 2; ++i)
    {
        remote[i].socket = net::Socket::Create(net::SocketKind::Udp);
        ASSERT_TRUE(remote[i].socket.Bind({ 0x7F000A02u + static_cast<std::uint32_t>(i), machines.endpoint.port }));
        ASSERT_TRUE(remote[i].socket.SetReceiveTimeout(std::chrono::milliseconds(2000)));
    }
    controller.SetScan(ScanSettings { ParseScanRanges("127.0.10.2-127.0.10.3", std::nullopt).ranges, 1000 });
    EXPECT_TRUE(controller.OnCommand(kIdSearch));
    const Bytes broadcast = machines.Receive();
    ASSERT_EQ(ReadHeader(broadcast)->type, PKT_SEARCH);
    EXPECT_EQ(remote[0].Receive(), broadcast);
    EXPECT_EQ(remote[1].Receive(), broadcast);
    Bytes answer(kMaxDatagramSize);
    RecordFields fields;
    fields.ip = "127.0.10.2";
    fields.mac = "00000000000A";
    answer.resize(BuildRecordReply(answer, PKT_SEARCH_ACK, fields, kRecordSize));
    ASSERT_GT(remote[0].socket.SendTo(answer.data(), answer.size(), { kLoopback, replyPort }), 0);
    ASSERT_TRUE(window.WaitFor([&] { return window.LogText().find("Range scan done") != std::string::npos; }));
    EXPECT_EQ(window.LogText(),
        "Range scan: 2 addresses (127.0.10.2-127.0.10.3) at 1000 per second\r\n"
        "Range scan done: 2 addresses sent, 1 machines found behind routers\r\n");
    ASSERT_EQ(rows.Records().size(), 1u);
    // The row found in the range is flickered where it is; the broadcast
    // would not cross its router.
    window.AddRow("127.0.10.2", "00000000000A");
    EXPECT_EQ(controller.FlickerRow(0), 1);
    EXPECT_EQ(ReadRecord(remote[0].Receive())->mac, "00000000000A");
    EXPECT_TRUE(machines.socket.SetReceiveTimeout(std::chrono::milliseconds(100)));
    EXPECT_TRUE(machines.Receive().empty());

    // The log lines follow the language box, as the other lines do.
    state.language = 1;
    controller.SetScan(ScanSettings { ParseScanRanges("127.0.10.3", std::nullopt).ranges, 1000 });
    EXPECT_TRUE(controller.OnCommand(kIdSearch));
    ASSERT_TRUE(window.WaitFor([&] { return window.LogText().find("范围扫描完成") != std::string::npos; }));
    EXPECT_EQ(window.LogText().substr(window.LogText().find("范围扫描：")),
        "范围扫描：1 个地址 (127.0.10.3)，每秒 1000 个\r\n"
        "范围扫描完成：已发送 1 个地址，在路由器后找到 0 台机器\r\n");
}

// A list the search cannot scan is refused in a box, in the language of the
// language box, before anything is sent or cleared.
TEST(ScanSettings, ABadListIsRefusedInTheWindowsLanguage)
{
    const struct
    {
        int language;
        const char* rate;
        const char* text;
        const char* caption;
    } cases[] = {
        { 0,
            "",
            "config.ini [SCAN]: \"10.0.0.0/8\": more than 65536 addresses together (a /16), the most one search scans",
            "Range scan" },
        { 1,
            "",
            "config.ini [SCAN]：\"10.0.0.0/8\"：合计超过 65536 个地址 (一个 /16)，一次搜索最多扫描这么多",
            "范围扫描" },
        { 1, "0", "config.ini [SCAN]：\"0\"：扫描速率为每秒 1 到 100000 个地址", "范围扫描" },
    };
    for (const auto& c : cases)
    {
        test::TempDir dir;
        const std::string ranges = std::string(c.rate).empty() ? "10.0.0.0/8" : "198.51.100.0/24";
        dir.Write("config.ini", "[SCAN]\r\nRANGES=" + ranges + "\r\nRATE=" + c.rate + "\r\n");
        Machines machines;
        SharedState state { dir / "config.ini" };
        state.sendSocket = net::Socket::Create(net::SocketKind::Udp);
        state.deviceBroadcast = machines.endpoint;
        state.language = c.language;
        test::FakeWindow window;
        RecordedRows rows;
        DiscoveryController controller { state, window.Window(), rows };
        EXPECT_TRUE(controller.OnCommand(kIdSearch));
        ASSERT_EQ(window.Boxes().size(), 1u) << c.text;
        EXPECT_EQ(window.Boxes()[0].text, c.text);
        EXPECT_EQ(window.Boxes()[0].caption, c.caption);
        EXPECT_EQ(rows.clears, 0);
        EXPECT_TRUE(machines.socket.SetReceiveTimeout(std::chrono::milliseconds(50)));
        EXPECT_TRUE(machines.Receive().empty()) << "nothing sent";
    }
}

TEST(ScanSettings, ConfigKeysGiveRangesAndRateOrAClearRefusal)
{
    const struct
    {
        const char* ranges;
        const char* rate;
        bool scans;
        int scanRate;
        const char* error;
    } cases[] = {
        { "", "5000", false, 0, "" }, // no ranges: the broadcast alone, the rate unread
        { " ", "x", false, 0, "" },
        { "10.1.0.0/24", "", true, kDefaultScanRate, "" },
        { "10.1.0.0/24", "10000", true, 10000, "" },
        { "10.1.0.0/24", "0", false, 0, "\"0\": the scan rate is 1 to 100000 addresses per second" },
        { "10.1.0.0/24", "1000000000", false, 0, "\"1000000000\": the scan rate is" },
        { "10.0.0.0/8", "", false, 0, "\"10.0.0.0/8\": more than 65536 addresses" },
    };
    for (const auto& c : cases)
    {
        const ScanSettingsRead read = ReadScanSettings(c.ranges, c.rate, std::nullopt);
        EXPECT_EQ(read.scan.has_value(), c.scans) << c.ranges << " " << c.rate;
        EXPECT_EQ(read.error.substr(0, std::string_view(c.error).size()), c.error) << c.ranges << " " << c.rate;
        EXPECT_EQ(read.error.empty(), std::string_view(c.error).empty());
        if (read.scan)
        {
            EXPECT_EQ(read.scan->rate, c.scanRate);
        }
    }
}

} // namespace
} // namespace quellis::discovery
