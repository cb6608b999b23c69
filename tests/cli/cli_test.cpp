// The command line's own pieces: which machines a selection names, how
// results are written for scripts, and the rows of its device list.
#include "cli/command_line.h"
#include "cli/headless_window.h"
#include "cli/monitor_lines.h"
#include "cli/output.h"
#include "cli/run.h"
#include "cli/selection.h"
#include "cli/static_address.h"
#include "platform/net/ipv4.h"

#include <gtest/gtest.h>

#include <CLI/CLI.hpp>
#include <cstdio>

namespace quellis::cli
{
namespace
{

TEST(CliSelection, MacsAndAddressesInEveryFormAnOperatorHasThem)
{
    EXPECT_EQ(NormaliseMac("a1:b2:c3:d4:e5:f6"), "A1B2C3D4E5F6");
    EXPECT_EQ(NormaliseMac("A1-B2-C3-D4-E5-F6"), "A1B2C3D4E5F6");
    EXPECT_EQ(NormaliseMac("a1b2c3d4e5f6"), "A1B2C3D4E5F6");
    for (const char* bad : { "a1b2c3d4e5", "a1b2c3d4e5f6a7", "g1b2c3d4e5f6", "" })
    {
        EXPECT_EQ(NormaliseMac(bad), "") << bad;
    }
    EXPECT_TRUE(IsDottedAddress("10.77.128.5"));
    for (const char* bad : { "10.77.128", "10.77.128.256", "10.77..5", "10.77.128.5.1", "a.b.c.d" })
    {
        EXPECT_FALSE(IsDottedAddress(bad)) << bad;
    }

    Selection selection;
    std::string error;
    EXPECT_TRUE(AddMacs("a1b2c3d4e5f6,0A:1B:2C:3D:4E:5F", selection, &error));
    EXPECT_TRUE(AddIps("10.77.128.5", selection, &error));
    EXPECT_FALSE(AddIps("10.77.128.300", selection, &error));
    EXPECT_EQ(error, "not an IPv4 address: 10.77.128.300");
    // Ranges, across a third number too; backwards and huge ones are refused.
    Selection range;
    EXPECT_TRUE(AddIps("10.77.128.254-10.77.129.1,10.77.130.7-9", range, &error));
    EXPECT_EQ(range.ips,
        (std::set<std::string> { "10.77.128.254",
            "10.77.128.255",
            "10.77.129.0",
            "10.77.129.1",
            "10.77.130.7",
            "10.77.130.8",
            "10.77.130.9" }));
    for (const char* bad : { "10.77.130.9-7", "10.0.0.0-10.2.0.0", "10.77.130.9-", "10.77.130-9" })
    {
        EXPECT_FALSE(AddIps(bad, range, &error)) << bad;
    }
    EXPECT_TRUE(selection.Matches("10.0.0.1", "0A1B2C3D4E5F"));
    EXPECT_TRUE(selection.Matches("10.77.128.5", "FFFFFFFFFFFF"));
    EXPECT_FALSE(selection.Matches("10.77.128.6", "FFFFFFFFFFFF"));
    EXPECT_FALSE(Selection {}.Matches("10.77.128.6", "A1B2C3D4E5F6")) << "no selection is never all";
    EXPECT_TRUE(Selection {}.Empty());
}

TEST(CliSelection, FilesWrittenBySearchAndListsOfLines)
{
    const struct
    {
        const char* text;
        std::set<std::string> macs;
        std::set<std::string> ips;
    } cases[] = {
        // The CSV of `search`: the MAC names the machine; the address only without one.
        { "Index,IP,Mask,Gateway,MAC,Run time\n1,10.77.128.1,255.255.0.0,10.77.0.2,A1B2C3D4E5F6,5S\n"
          "2,10.77.128.2,,,,\n",
            { "A1B2C3D4E5F6" },
            { "10.77.128.2" } },
        { "[{\"ip\": \"10.77.128.1\", \"mac\": \"a1b2c3d4e5f6\"}, {\"ip\": \"10.77.128.9\"}]",
            { "A1B2C3D4E5F6" },
            { "10.77.128.9" } },
        { "# rack 3\n10.77.128.1\r\n\na1:b2:c3:d4:e5:f6\n", { "A1B2C3D4E5F6" }, { "10.77.128.1" } },
    };
    for (const auto& example : cases)
    {
        Selection selection;
        std::string error;
        ASSERT_TRUE(AddFromText(example.text, selection, &error)) << example.text << ": " << error;
        EXPECT_EQ(selection.macs, example.macs) << example.text;
        EXPECT_EQ(selection.ips, example.ips) << example.text;
    }
    for (const char* bad : { "10.77.128.1\nrack3\n", "[{\"host\": \"m1\"}]", "[1, 2", "{\"ip\": \"10.0.0.1\"}" })
    {
        Selection selection;
        std::string error;
        EXPECT_FALSE(AddFromText(bad, selection, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

std::string Printed(const Results& results, Format format)
{
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    Print(results, format, out);
    std::fclose(out);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

TEST(CliScan, RangeAndRateOptionsOrWhyNot)
{
    const struct
    {
        std::vector<std::string> ranges;
        std::optional<std::string> rate;
        std::size_t scanned; // ranges; 0: no scan
        int scanRate;
        const char* error;
    } cases[] = {
        { {}, {}, 0, 0, "" },
        { { "10.1.0.0/24", "10.2.0.1-10.2.0.9" }, {}, 2, 2000, "" },
        { { "10.1.0.0/24,10.3.0.0/24" }, "50000", 2, 50000, "" },
        { {}, "5000", 0, 0, "--rate needs --range" },
        { { "" }, {}, 0, 0, "--range no address range given" },
        { { "10.0.0.0/8" }, {}, 0, 0, "--range \"10.0.0.0/8\": more than 65536" },
        { { "10.0.0.5-10.0.0.1" }, {}, 0, 0, "--range \"10.0.0.5-10.0.0.1\": the range ends" },
        { { "10.1.0.0/24" }, "1000000000", 0, 0, "--rate \"1000000000\": the scan rate" },
        { { "10.1.0.0/24" }, "0", 0, 0, "--rate \"0\": the scan rate" },
    };
    for (const auto& c : cases)
    {
        std::optional<discovery::ScanSettings> scan;
        std::string error;
        EXPECT_EQ(ParseScan(c.ranges, c.rate, scan, &error), std::string_view(c.error).empty()) << error;
        EXPECT_EQ(error.substr(0, std::string_view(c.error).size()), c.error);
        EXPECT_EQ(scan ? scan->ranges.size() : 0u, c.scanned) << error;
        EXPECT_EQ(scan ? scan->rate : 0, c.scanRate);
    }
}

TEST(CliOutput, CsvQuotesAndJsonEscapesWhatWouldBreakThem)
{
    Results results;
    results.columns = { { "MAC", "mac" }, { "Host name", "host_name" }, { "Seconds", "seconds", true } };
    results.rows = { { "A1B2C3D4E5F6", "rack \"3\", m1", "61" }, { "0A1B2C3D4E5F", "机架\n01\\x", "" } };
    EXPECT_EQ(Printed(results, Format::Csv),
        "MAC,Host name,Seconds\nA1B2C3D4E5F6,\"rack \"\"3\"\", m1\",61\n0A1B2C3D4E5F,\"机架\n01\\x\",\n");
    EXPECT_EQ(Printed(results, Format::Json),
        "[\n  {\"mac\": \"A1B2C3D4E5F6\", \"host_name\": \"rack \\\"3\\\", m1\", \"seconds\": 61},\n"
        "  {\"mac\": \"0A1B2C3D4E5F\", \"host_name\": \"机架\\n01\\\\x\", \"seconds\": null}\n]\n");
    EXPECT_EQ(Printed({ results.columns, {} }, Format::Json), "[]\n");
    // The table lines its columns up by display width: a CJK character takes two.
    results.rows = { { "A1", "机架", "1" }, { "B2", "ab", "2" } };
    EXPECT_EQ(Printed(results, Format::Table), "MAC  Host name  Seconds\nA1   机架       1\nB2   ab         2\n");
    // A command's output as the machine sent it: its first line in the row,
    // the rest below; a terminal's escapes are blanked.
    results.rows = { { "A1", "ok", "total 8\r\n\tdrwx x\n-rw- \x1b[2Jy\n" }, { "B2", "\x1b]0;t\a", "" } };
    EXPECT_EQ(Printed(results, Format::Table),
        "MAC  Host name  Seconds\nA1   ok         total 8\n\tdrwx x\n-rw-  [2Jy\nB2    ]0;t      \n");
}

// A monitor line names its machine in every form; a machine's text cannot
// break a line or reach the terminal as an escape.
TEST(CliOutput, MonitorLinesNameTheMachineInEveryForm)
{
    const MonitorLine line {
        "2026-12-07 18:00:00", "10.1.0.5", "A1B2C3D4E5F6", "answered", "设备版本信息 \"x\",\x1b[2J\r\n", false
    };
    EXPECT_EQ(FormatMonitorLine(line, Format::Table),
        "2026-12-07 18:00:00 10.1.0.5 A1B2C3D4E5F6 设备版本信息 \"x\", [2J  \n");
    EXPECT_EQ(FormatMonitorLine(line, Format::Json),
        "{\"time\":\"2026-12-07 18:00:00\",\"ip\":\"10.1.0.5\",\"mac\":\"A1B2C3D4E5F6\",\"event\":\"answered\","
        "\"failure\":false,\"text\":\"设备版本信息 \\\"x\\\",\\u001b[2J\\r\\n\"}\n");
    EXPECT_EQ(MonitorHeader(Format::Csv) + FormatMonitorLine(line, Format::Csv),
        "time,ip,mac,event,failure,text\n2026-12-07 18:00:00,10.1.0.5,A1B2C3D4E5F6,answered,0,"
        "\"设备版本信息 \"\"x\"\",\x1b[2J\r\n\"\n");
    // A machine named by its MAC that no search found: no address, a failure.
    EXPECT_EQ(FormatMonitorLine({ "t", "", "A1B2C3D4E5F6", "not found", "", true }, Format::Table),
        "t - A1B2C3D4E5F6 not found\n");
}

// What set-ip accepts before anything is sent: a prefix length or a dotted
// mask, and only host addresses of that network.
TEST(CliStaticAddress, PrefixOrContiguousMaskAndHostsOfTheNetworkOnly)
{
    const struct
    {
        const char* given;
        const char* gateway;
        const char* mask; // accepted with this mask, or refused (nullptr) saying `why`
        const char* why;
    } cases[] = {
        { "10.77.130.8/17", "10.77.128.1", "255.255.128.0", "" },
        { "10.77.130.8/255.255.128.0", "10.77.128.1", "255.255.128.0", "" },
        { "192.168.1.21/30", "192.168.1.22", "255.255.255.252", "" },
        { "10.77.130.8", "10.77.128.1", nullptr, "ADDR/PREFIX or ADDR/MASK" },
        { "10.77.130.8/0", "10.77.128.1", nullptr, "prefix length is 1 to 30" },
        { "10.77.130.8/31", "10.77.130.9", nullptr, "prefix length is 1 to 30" },
        { "10.77.130.8/255.255.255.255", "10.77.130.9", nullptr, "prefix length is 1 to 30" },
        { "10.77.130.8/255.0.255.0", "10.77.128.1", nullptr, "not a run of ones" },
        { "10.77.130.8/0.0.0.17", "10.77.128.1", nullptr, "not a run of ones" },
        { "10.77.130.8/17x", "10.77.128.1", nullptr, "prefix length" },
        { "10.77.0x82.8/17", "10.77.128.1", nullptr, "not an address" },
        { "10.77.130/17", "10.77.128.1", nullptr, "not an address" },
        { "10.77.130.8/17", "", nullptr, "needs --gateway" },
        { "10.77.128.0/17", "10.77.128.1", nullptr, "address 10.77.128.0 is the network's own address" },
        { "10.77.255.255/17", "10.77.128.1", nullptr, "broadcast address" },
        { "0.0.0.9/24", "0.0.0.1", nullptr, "0.0.0.0/8" },
        { "224.0.0.9/24", "224.0.0.1", nullptr, "multicast" },
        { "10.77.130.8/17", "10.77.255.255", nullptr, "gateway 10.77.255.255 is the network's broadcast" },
        { "10.77.130.8/17", "10.78.0.1", nullptr, "not in the network 10.77.128.0" },
        { "10.77.130.8/17", "10.77.130.8", nullptr, "the address itself" },
    };
    for (const auto& example : cases)
    {
        std::string error;
        const auto parsed = ParseStaticAddress(example.given, example.gateway, &error);
        if (example.mask != nullptr)
        {
            ASSERT_TRUE(parsed) << example.given << ": " << error;
            EXPECT_EQ(net::FormatIpv4(parsed->mask), example.mask) << example.given;
            const std::string given = example.given;
            EXPECT_EQ(net::FormatIpv4(parsed->address), given.substr(0, given.find('/')));
            EXPECT_EQ(net::FormatIpv4(parsed->gateway), example.gateway);
        }
        else
        {
            EXPECT_FALSE(parsed) << example.given;
            EXPECT_NE(error.find(example.why), std::string::npos) << example.given << ": " << error;
        }
    }
}

// Every usage error is found while the line is read, before anything is
// sent, and names what is wrong; the help goes to standard output.
TEST(CliCommandLine, UsageErrorsAndHelpBeforeAnythingIsSent)
{
    const struct
    {
        std::vector<std::string> args;
        int status; // -1: a command to run
        const char* text; // in the help or the usage error
    } cases[] = {
        { {}, kExitUsage, "usage: quellis-cli COMMAND" },
        { { "--help" }, kExitOk, "\ncommands:\n  search " },
        { { "frob" }, kExitUsage, "quellis-cli: no command frob" },
        { { "search", "--help" }, kExitOk, "usage: quellis-cli search" },
        { { "pools", "set", "--help" }, kExitOk, "usage: quellis-cli pools set" },
        { { "search", "--colour", "red" }, kExitUsage, "quellis-cli search: unknown option: --colour\n" },
        { { "flicker", "--all", "rack3" }, kExitUsage, "quellis-cli flicker: unexpected argument: rack3\n" },
        { { "search", "--wait" }, kExitUsage, "quellis-cli search: --wait" },
        { { "blink", "--all", "--seconds", "ten" }, kExitUsage, "--seconds takes 1 to 86400" },
        { { "blink", "--all", "--seconds=86401" }, kExitUsage, "--seconds takes 1 to 86400" },
        { { "exporter", "--api-port", "0x10" }, kExitUsage, "--api-port takes 1 to 65535" },
        { { "monitor", "--all", "--grace", "3" }, kExitUsage, "--grace requires --concurrency" },
        { { "inventory", "--format", "xml" }, kExitUsage, "quellis-cli inventory: --format is table, csv or json" },
        { { "set-ip", "--all", "--dhcp", "--dns", "8.8.8" }, kExitUsage, "--dns takes an IPv4 address" },
        { { "pools", "--all" }, kExitUsage, "quellis-cli pools: give set or show" },
        { { "pools", "set", "--all", "--pool", "u,w" }, kExitUsage, "quellis-cli pools set: --pool is URL" },
        { { "events", "--since", "soon" }, kExitUsage, "--since is a time" },
        // A value that names another command is a value; the machines may
        // come before the word of pools and e2.
        { { "exec", "--all", "reboot" }, -1, "" },
        { { "pools", "--all", "show" }, -1, "" },
        { { "e2", "--ip", "10.0.0.1", "write", "QRZUN00042", "KAVDRUP1" }, -1, "" },
    };
    for (const auto& c : cases)
    {
        const std::string args = ::testing::PrintToString(c.args);
        const CommandLine line = ReadCommandLine(c.args);
        EXPECT_EQ(line.run != nullptr, c.status < 0) << args << line.error;
        if (c.status >= 0)
        {
            EXPECT_EQ(line.status, c.status) << args;
            EXPECT_NE((c.status == kExitOk ? line.out : line.error).find(c.text), std::string::npos)
                << args << line.out << line.error;
            EXPECT_TRUE((c.status == kExitOk ? line.error : line.out).empty()) << args;
        }
    }
}

// The help texts are written by hand: each names every option its command takes.
TEST(CliCommandLine, EachCommandsHelpNamesEveryOptionItTakes)
{
    const CommandLine line = ReadCommandLine({ "name", "--all" });
    ASSERT_TRUE(line.app);
    for (const Command& command : Commands())
    {
        const CLI::App& app = *line.app;
        std::vector<const CLI::App*> parts { app.get_subcommand(std::string(command.name)) };
        for (std::size_t i = 0; i < parts.size(); ++i)
        {
            for (const CLI::App* word : parts[i]->get_subcommands([](const CLI::App*) { return true; }))
            {
                parts.push_back(word);
            }
            for (const CLI::Option* option : parts[i]->get_options())
            {
                for (const std::string& name : option->get_lnames())
                {
                    if (name == "help")
                    {
                        continue;
                    }
                    EXPECT_NE(command.help.find("--" + name), std::string::npos) << command.name << " --" << name;
                }
            }
        }
    }
}

// Search replies with MACs of anyone's making fill the list up to its
// ceiling and no further; a machine already listed is still refreshed.
TEST(CliDeviceList, NewMacsPastTheCeilingGetNoRowAndTheLogSaysSoOnce)
{
    EventLoop loop;
    HeadlessWindow window(loop, [] { return 1; });
    std::string versionLines;
    window.SetAppliedHandler([&](const std::string& lines) { versionLines += lines; });
    const auto record = [](int n, const std::string& ip)
    {
        protocol::DeviceRecord made;
        char mac[13];
        std::snprintf(mac, sizeof mac, "02%010X", static_cast<unsigned>(n));
        made.mac = mac;
        made.ip = ip;
        made.receivedLength = protocol::kRecordSize;
        return made;
    };
    std::vector<protocol::DeviceRecord> burst;
    for (int n = 0; n < discovery::kMaxDeviceRows + 2; ++n)
    {
        burst.push_back(record(n, "10.77.128.1"));
    }
    window.Enqueue(std::move(burst));
    window.Enqueue({ record(0, "10.77.140.9"), record(discovery::kMaxDeviceRows + 5, "10.77.128.1") });
    EXPECT_EQ(window.RowCount(), discovery::kMaxDeviceRows);
    EXPECT_EQ(window.CellText(0, discovery::kColumnIp), "10.77.140.9");
    EXPECT_EQ(versionLines, discovery::RowCeilingLine());
    EXPECT_EQ(versionLines, "设备列表已达上限65536台，不再添加新设备\r\n");

    window.Clear();
    window.Enqueue({ record(discovery::kMaxDeviceRows + 9, "10.77.128.2") });
    EXPECT_EQ(window.RowCount(), 1);
}

} // namespace
} // namespace quellis::cli
