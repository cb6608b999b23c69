// quellis-cli on the lab's tool side against a simulated farm on its farm
// side: what it prints, and how it ends.
#include "platform/text/codepage.h"
#include "tests/net/lab_tool.h"
#include "tests/support/process.h"

#include <json/json.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace quellis::test
{
namespace
{

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
    {
        lines.push_back(line);
    }
    return lines;
}

TEST(LabCli, SearchListsEveryMachineSortedByAddressInEachFormat)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    sim::FarmConfig config;
    config.machines = 60;
    config.seed = 5;
    config.scenario.spreadMs = 50;
    auto farm = StartLabFarm(*lab, config);
    ASSERT_TRUE(farm);
    NetLab::Enter tool(lab->ToolNamespace());
    ASSERT_TRUE(tool.Ok());

    const ProcessResult csv = RunProcess({ QUELLIS_CLI_PATH, "search", "--wait", "1", "--format", "csv" });
    ASSERT_EQ(csv.status, 0) << csv.err;
    const auto lines = Lines(csv.out);
    ASSERT_EQ(lines.size(), 61u) << csv.out;
    EXPECT_EQ(lines[0], "Index,IP,Mask,Gateway,MAC,Run time,Run seconds,Temperature,Version,Host name");
    // Ascending by address, as the four numbers read.
    std::uint32_t previous = 0;
    for (std::size_t i = 1; i < lines.size(); ++i)
    {
        const std::string ip = lines[i].substr(
            lines[i].find(',') + 1, lines[i].find(',', lines[i].find(',') + 1) - lines[i].find(',') - 1);
        const auto address = net::ParseIpv4(ip);
        ASSERT_TRUE(address) << lines[i];
        EXPECT_GT(*address, previous) << lines[i];
        previous = *address;
    }

    // JSON: one object per machine, the run time also in seconds; and the
    // address filter of the command line.
    const ProcessResult json
        = RunProcess({ QUELLIS_CLI_PATH, "search", "--wait", "1", "--format", "json", "--filter", "128,10,19" });
    ASSERT_EQ(json.status, 0) << json.err;
    Json::Value machines;
    ASSERT_TRUE(Json::Reader().parse(json.out, machines)) << json.out;
    ASSERT_TRUE(machines.isArray());
    std::size_t withRunTime = 0;
    for (const Json::Value& machine : machines)
    {
        const sim::Machine* simulated = farm->FindMachine(machine["mac"].asString());
        ASSERT_NE(simulated, nullptr) << machine.toStyledString();
        if (machine["run_seconds"].isInt())
        {
            ++withRunTime;
            EXPECT_FALSE(machine["run_time"].asString().empty());
        }
    }
    // Machines 10 to 19 pass the filter; a machine that asks to be shown
    // with its sender's address is never filtered.
    EXPECT_GE(machines.size(), 10u);
    EXPECT_LT(machines.size(), 60u);
    EXPECT_GT(withRunTime, 0u);

    const ProcessResult table = RunProcess({ QUELLIS_CLI_PATH, "search", "--wait", "1" });
    ASSERT_EQ(table.status, 0);
    EXPECT_EQ(Lines(table.out).size(), 61u);
    EXPECT_NE(table.err.find("60 machines found"), std::string::npos) << table.err;
}

TEST(LabCli, MaintenanceCommandsReachTheMachinesNamedAndReportEachOne)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    sim::FarmConfig config;
    config.machines = 12;
    config.seed = 9; // machine 4 has a name in code page 936
    config.scenario.spreadMs = 0;
    auto farm = StartLabFarm(*lab, config);
    ASSERT_TRUE(farm);
    NetLab::Enter tool(lab->ToolNamespace());
    ASSERT_TRUE(tool.Ok());
    const sim::Machine& first = farm->MachineAt(0);
    const sim::Machine& second = farm->MachineAt(1);
    const std::string firstMac = first.identity.mac;
    const auto commands = [&](const sim::Machine& machine, std::uint16_t code)
    { return machine.counters.commands[sim::CommandSlot(code)].load(); };

    // A shell command on one machine: its exit status and output, by MAC.
    const ProcessResult executed = RunProcess(
        { QUELLIS_CLI_PATH, "exec", "--mac", firstMac, "echo hello farm", "--format", "csv", "--wait", "0.5" });
    ASSERT_EQ(executed.status, 0) << executed.out << executed.err;
    EXPECT_EQ(executed.out, "MAC,IP,Result,Outcome,Detail\n" + firstMac + ",,ok,exit status 0,\"hello farm\n\"\n");
    EXPECT_EQ(commands(first, protocol::CMD_EXECUTE), 1u);
    EXPECT_EQ(commands(second, protocol::CMD_EXECUTE), 0u);

    // On every machine: each row has the machine's address, and its output
    // as the machine sent it, line by line below the row's first line.
    const ProcessResult everywhere
        = RunProcess({ QUELLIS_CLI_PATH, "exec", "--all", "--yes", "ifconfig", "--wait", "0.5" });
    ASSERT_EQ(everywhere.status, 0) << everywhere.out << everywhere.err;
    const auto shown = Lines(everywhere.out);
    ASSERT_EQ(shown.size(), 1u + 3u * config.machines) << everywhere.out;
    for (int i = 0; i < config.machines; ++i)
    {
        const std::string mac = farm->MachineAt(i).identity.mac;
        const std::string ip = net::FormatIpv4(farm->MachineAt(i).identity.address);
        const auto row
            = std::find_if(shown.begin(), shown.end(), [&](const std::string& line) { return line.starts_with(mac); });
        ASSERT_LE(row + 3, shown.end()) << mac << "\n" << everywhere.out;
        EXPECT_NE(row->find("  " + ip + " "), std::string::npos) << *row;
        EXPECT_TRUE(row->ends_with("eth0      Link encap:Ethernet  HWaddr " + mac.substr(0, 2) + ":" + mac.substr(2, 2)
            + ":" + mac.substr(4, 2) + ":" + mac.substr(6, 2) + ":" + mac.substr(8, 2) + ":" + mac.substr(10, 2)))
            << *row;
        EXPECT_TRUE(row[1].starts_with("          inet addr:" + ip + "  Mask:")) << row[1];
    }

    // Names in UTF-8, also those that old firmware sends in code page 936.
    int gbkNames = 0;
    const ProcessResult named = RunProcess({ QUELLIS_CLI_PATH, "name", "--all", "--format", "csv", "--wait", "0.5" });
    ASSERT_EQ(named.status, 0) << named.out << named.err;
    for (int i = 0; i < config.machines; ++i)
    {
        const sim::MachineIdentity& identity = farm->MachineAt(i).identity;
        gbkNames += identity.nameKind == sim::HostNameKind::Gbk ? 1 : 0;
        EXPECT_NE(named.out.find(identity.mac + "," + net::FormatIpv4(identity.address) + ",ok,name,"
                      + text::DeviceTextToUtf8(identity.name) + "\n"),
            std::string::npos)
            << named.out;
    }
    EXPECT_GT(gbkNames, 0) << "the farm has a name in code page 936";

    // The serial-port test of a machine by its address (found by a search
    // first), and of one that is not there: that one fails the command.
    const ProcessResult tested = RunProcess({ QUELLIS_CLI_PATH,
        "uart-test",
        "--ip",
        net::FormatIpv4(NetLab::kFirstMachine + 1),
        "--mac",
        "00000000FFFF",
        "--format",
        "csv",
        "--wait",
        "0.5" });
    EXPECT_EQ(tested.status, 1) << tested.out << tested.err;
    EXPECT_NE(tested.out.find(std::string(second.identity.mac) + "," + net::FormatIpv4(NetLab::kFirstMachine + 1)
                  + ",ok,tested,ports working:"),
        std::string::npos)
        << tested.out;
    EXPECT_NE(tested.out.find("00000000FFFF,,failed,not found"), std::string::npos) << tested.out;
    EXPECT_EQ(commands(second, protocol::CMD_UARTTest), 1u);

    // Every machine: refused without --yes when no one can be asked, and
    // nothing sent; with --yes one request to "FFFFFFFFFFFF" reaches all.
    const ProcessResult refused = RunProcess({ QUELLIS_CLI_PATH, "restart-miner", "--all" });
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("Refused without --yes"), std::string::npos) << refused.err;
    const ProcessResult restarted = RunProcess({ QUELLIS_CLI_PATH, "restart-miner", "--all", "--yes" });
    EXPECT_EQ(restarted.status, 0) << restarted.err;
    for (int i = 0; i < 200 && farm->Totals().commands[sim::CommandSlot(protocol::CMD_RestartMiner)] < 12u; ++i)
    {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(farm->Totals().commands[sim::CommandSlot(protocol::CMD_RestartMiner)], 12u);
    EXPECT_EQ(commands(first, protocol::CMD_RestartMiner), 1u);

    // DHCP for one machine: it acknowledges, and its MAC is in changeMac.txt.
    const ProcessResult dhcp
        = RunProcess({ QUELLIS_CLI_PATH, "set-ip", "--mac", firstMac, "--dhcp", "--format", "json", "--wait", "1" });
    EXPECT_EQ(dhcp.status, 0) << dhcp.out << dhcp.err;
    EXPECT_NE(dhcp.out.find("\"result\": \"ok\", \"outcome\": \"set\""), std::string::npos) << dhcp.out;
    EXPECT_EQ(first.counters.settings.load(), 1u);
    std::filesystem::remove("changeMac.txt");
}

TEST(LabCli, MinerRunsPoolsLabelCodesAndTheMonitorReportEachMachine)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    sim::FarmConfig config;
    config.machines = 6;
    config.seed = 9;
    config.scenario.spreadMs = 0;
    sim::BehaviourGroup refusing;
    std::string error;
    ASSERT_TRUE(sim::ParseBehaveOption("indexes=2,api=refuse", &refusing, &error)) << error;
    config.scenario.groups = { refusing };
    auto farm = StartLabFarm(*lab, config);
    ASSERT_TRUE(farm);
    NetLab::Enter tool(lab->ToolNamespace());
    ASSERT_TRUE(tool.Ok());
    const auto ip
        = [](int machine) { return net::FormatIpv4(NetLab::kFirstMachine + static_cast<std::uint32_t>(machine)); };
    const std::string first = farm->MachineAt(0).identity.mac;

    // Hash rates: one line per machine; a miner that refuses fails the command.
    const ProcessResult rates
        = RunProcess({ QUELLIS_CLI_PATH, "hashrate", "--ip", ip(0) + "," + ip(2), "--format", "csv", "--wait", "1" });
    EXPECT_EQ(rates.status, 1) << rates.out << rates.err;
    const auto lines = Lines(rates.out);
    ASSERT_EQ(lines.size(), 3u) << rates.out;
    EXPECT_EQ(lines[1].rfind(first + "," + ip(0) + ",ok,answered," + ip(0) + "\t", 0), 0u) << rates.out;
    EXPECT_NE(lines[1].find("Mh/s"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find(",failed,no exchange,"), std::string::npos) << lines[2];
    EXPECT_EQ(farm->MachineAt(0).counters.apiRequests.load(), 1u);

    // Pools for one machine: the exact pool text reaches it, and it confirms.
    const ProcessResult pools = RunProcess({ QUELLIS_CLI_PATH,
        "pools",
        "set",
        "--mac",
        first,
        "--pool",
        "stratum+tcp://pool.lab:3333,farm1,x",
        "--pool",
        "stratum+tcp://backup.lab:3333,farm1,x,none",
        "--wait",
        "1" });
    EXPECT_EQ(pools.status, 0) << pools.out << pools.err;
    const auto state = farm->MachineAt(0).Snapshot(std::chrono::steady_clock::now());
    ASSERT_GE(state.pools.size(), 2u);
    std::string suffix = ip(0);
    std::replace(suffix.begin(), suffix.end(), '.', 'x');
    EXPECT_EQ(state.pools[0].user, "farm1." + suffix);
    EXPECT_EQ(state.pools[1].user, "farm1");
    // Every pool it has, each with its priority.
    const ProcessResult shown
        = RunProcess({ QUELLIS_CLI_PATH, "pools", "show", "--mac", first, "--format", "csv", "--wait", "1" });
    EXPECT_EQ(shown.status, 0) << shown.out << shown.err;
    EXPECT_NE(shown.out.find(first + "," + ip(0) + ",ok,answered,\"0 stratum+tcp://pool.lab:3333 farm1." + suffix
                  + "\n1 stratum+tcp://backup.lab:3333 farm1"),
        std::string::npos)
        << shown.out;

    // A command the mining software refuses fails, with its message.
    const ProcessResult refused
        = RunProcess({ QUELLIS_CLI_PATH, "miner-cmd", "--mac", first, "frobnicate", "--format", "csv", "--wait", "1" });
    EXPECT_EQ(refused.status, 1) << refused.out << refused.err;
    EXPECT_NE(refused.out.find(first + "," + ip(0) + ",failed,error status,Invalid command\n"), std::string::npos)
        << refused.out;

    // The label codes of the example: written, confirmed and read back.
    const ProcessResult e2 = RunProcess({ QUELLIS_CLI_PATH,
        "e2",
        "write",
        "QRZUN00042",
        "KAVDRUP1234567890AB-SN0001-X",
        "--mac",
        first,
        "--format",
        "csv",
        "--wait",
        "1" });
    EXPECT_EQ(e2.status, 0) << e2.out << e2.err;
    EXPECT_NE(e2.out.find(",ok,written and read back,N00042 1234890ABSN0001"), std::string::npos) << e2.out;

    // The monitor: each machine polled in turn, every line naming it, the
    // refusing one a failure, and an address no machine has reported.
    const std::string mac1 = farm->MachineAt(1).identity.mac;
    const std::string mac2 = farm->MachineAt(2).identity.mac;
    const ProcessResult monitored = RunProcess({ QUELLIS_CLI_PATH,
        "monitor",
        "--ip",
        ip(1) + "," + ip(2) + "," + ip(200),
        "--interval",
        "100",
        "--seconds",
        "1",
        "--wait",
        "1" });
    EXPECT_EQ(monitored.status, 1) << monitored.err;
    EXPECT_NE(monitored.out.find(" " + ip(1) + " " + mac1 + " 将要连接设备 " + ip(1) + "\n"), std::string::npos)
        << monitored.out;
    EXPECT_NE(monitored.out.find(" " + ip(2) + " " + mac2 + " 请确认设备监听端口是否正确！\n"), std::string::npos)
        << monitored.out;
    EXPECT_NE(monitored.out.find(" " + ip(200) + " - not found (no answer to the search)\n"), std::string::npos)
        << monitored.out;
    EXPECT_NE(monitored.err.find("monitoring 2 machines, 1 not found"), std::string::npos) << monitored.err;
    EXPECT_EQ(monitored.out.find("将要连接设备 " + ip(0)), std::string::npos) << "not named";
    // For scripts: one object per line.
    const ProcessResult json = RunProcess({ QUELLIS_CLI_PATH,
        "monitor",
        "--ip",
        ip(1),
        "--interval",
        "100",
        "--seconds",
        "1",
        "--wait",
        "1",
        "--format",
        "json" });
    EXPECT_EQ(json.status, 0) << json.err;
    const std::string answered
        = "\"ip\":\"" + ip(1) + "\",\"mac\":\"" + mac1 + "\",\"event\":\"answered\",\"failure\":false";
    EXPECT_NE(json.out.find(answered), std::string::npos) << json.out;
    EXPECT_EQ(json.out.substr(0, 9), "{\"time\":\"") << json.out;
}

TEST(LabCli, UpdateServesThePackageToAHundredMachinesTenAtATime)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    const std::filesystem::path package = std::filesystem::temp_directory_path() / "quellis-cli-update.bin";
    {
        std::string bytes(1'500'000, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i)
        {
            bytes[i] = static_cast<char>((i * 7919) >> 3);
        }
        std::ofstream(package, std::ios::binary) << bytes;
    }
    sim::FarmConfig config;
    config.machines = 100;
    config.seed = 10;
    config.scenario.spreadMs = 0;
    config.expectedPackage = package.string();
    sim::BehaviourGroup quick;
    std::string error;
    // Machines 7 and 8 report a failed install; the rest install at once.
    ASSERT_TRUE(sim::ParseBehaveOption("fraction=1,installMs=100", &quick, &error)) << error;
    sim::BehaviourGroup failing;
    ASSERT_TRUE(sim::ParseBehaveOption("indexes=7:8,upgradeResult=0,installMs=100", &failing, &error)) << error;
    config.scenario.groups = { quick, failing };
    auto farm = StartLabFarm(*lab, config);
    ASSERT_TRUE(farm);
    NetLab::Enter tool(lab->ToolNamespace());
    ASSERT_TRUE(tool.Ok());

    const ProcessResult updated = RunProcess({ QUELLIS_CLI_PATH,
                                                 "update",
                                                 package.string(),
                                                 "--all",
                                                 "--yes",
                                                 "--concurrency",
                                                 "10",
                                                 "--format",
                                                 "csv",
                                                 "--wait",
                                                 "1" },
        {},
        std::chrono::seconds(120));
    std::filesystem::remove(package);
    EXPECT_EQ(updated.status, 1) << updated.err;
    const auto lines = Lines(updated.out);
    ASSERT_EQ(lines.size(), 101u) << updated.out << updated.err;
    std::set<std::string> macs;
    int ok = 0;
    for (std::size_t i = 1; i < lines.size(); ++i)
    {
        macs.insert(lines[i].substr(0, lines[i].find(',')));
        ok += lines[i].find(",ok,updated") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(macs.size(), 100u) << "one result per machine";
    EXPECT_EQ(ok, 98);
    EXPECT_NE(updated.out.find(std::string(farm->MachineAt(7).identity.mac) + ","), std::string::npos);
    EXPECT_NE(updated.out.find(",failed,update failed"), std::string::npos) << updated.out;
    EXPECT_EQ(farm->Totals().downloadsVerified, 100u) << "every machine got the package byte for byte";
}

TEST(LabCli, UsageErrorsEndWithStatusTwoAndSayWhy)
{
    const struct
    {
        std::vector<std::string> arguments;
        const char* message;
    } cases[] = {
        { {}, "usage: quellis-cli COMMAND" },
        { { "frob" }, "no command frob" },
        { { "search", "--wait", "soon" }, "--wait takes seconds" },
        { { "search", "--format", "xml" }, "--format is table, csv or json" },
        { { "search", "--filter", "1,2" }, "--filter is NETMASK,IPBEGIN,IPEND" },
        { { "search", "--colour", "red" }, "unknown option: --colour" },
        { { "reboot" }, "no machines selected" },
        { { "exec", "--all" }, "give the command as one argument" },
        { { "set-ip", "--mac", "A1B2C3D4E5F6" }, "give either --static" },
        { { "set-ip", "--mac", "A1B2C3D4E5F6", "--static", "10.0.0.1", "--gateway", "10.0.0.254" }, "--static takes" },
        { { "set-ip", "--mac", "A1B2C3D4E5F6", "--static", "10.77.130.8/0.0.0.17", "--gateway", "10.77.128.1" },
            "not a run of ones" },
        { { "blink", "--all", "--seconds", "0" }, "--seconds takes" },
        { { "flicker", "--mac", "A1B2", "--all" }, "not a MAC address" },
        { { "temperature", "--all", "60" }, "give LOW and HIGH" },
        { { "pools", "set", "--all" }, "give one to four --pool" },
        { { "pools", "set", "--all", "--pool", "stratum+tcp://p:1,w,x,sometimes" }, "--pool is URL,WORKER,PASSWORD" },
        { { "e2", "write", "QRZUN00042", "KAVDRUP1", "--all" }, "the label codes go to one machine" },
    };
    for (const auto& example : cases)
    {
        std::vector<std::string> arguments = { QUELLIS_CLI_PATH };
        arguments.insert(arguments.end(), example.arguments.begin(), example.arguments.end());
        const ProcessResult result = RunProcess(arguments);
        EXPECT_EQ(result.status, 2) << example.message;
        EXPECT_NE(result.err.find(example.message), std::string::npos) << result.err;
    }
    const ProcessResult help = RunProcess({ QUELLIS_CLI_PATH, "search", "--help" });
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: quellis-cli search"), std::string::npos);
}

} // namespace
} // namespace quellis::test
