// quellis-cli on the lab's tool side against a simulated farm on its farm
// side: what it prints, and how it ends.
#include "tests/net/lab_tool.h"
#include "tests/support/process.h"

#include <json/json.h>

#include <sstream>

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
        const std::string ip = lines[i].substr(lines[i].find(',') + 1, lines[i].find(',', lines[i].find(',') + 1) - lines[i].find(',') - 1);
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
