// quellis-cli with address ranges in the lab: a farm on the tool's own
// segment, and a second farm on a routed subnet behind it, half of whose
// machines answer by broadcast.
#include "tests/net/lab_tool.h"
#include "tests/support/process.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace quellis::test
{
namespace
{

std::vector<std::string> CsvRows(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
    {
        lines.push_back(line);
    }
    return lines;
}

TEST(LabCli, RangesFindAndReachUnicastMachinesBehindTheRouterAndNothingElse)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    const std::filesystem::path package = std::filesystem::temp_directory_path() / "quellis-range-update.bin";
    {
        std::string bytes(300'000, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i)
        {
            bytes[i] = static_cast<char>((i * 7919) >> 3);
        }
        std::ofstream(package, std::ios::binary) << bytes;
    }
    sim::FarmConfig nearConfig;
    nearConfig.machines = 5;
    nearConfig.seed = 21;
    nearConfig.scenario.spreadMs = 0;
    auto nearFarm = StartLabFarm(*lab, nearConfig);
    ASSERT_TRUE(nearFarm);
    sim::FarmConfig farConfig;
    farConfig.machines = 20;
    farConfig.seed = 22;
    farConfig.scenario.spreadMs = 0;
    farConfig.strictAddresses = true;
    farConfig.expectedPackage = package.string();
    sim::BehaviourGroup quick;
    sim::BehaviourGroup broadcasting;
    std::string error;
    ASSERT_TRUE(sim::ParseBehaveOption("fraction=1,installMs=100", &quick, &error)) << error;
    ASSERT_TRUE(
        sim::ParseBehaveOption("indexes=10:11:12:13:14:15:16:17:18:19,broadcastReply=true", &broadcasting, &error))
        << error;
    farConfig.scenario.groups = { quick, broadcasting };
    auto farFarm = StartLabFarm(*lab, farConfig, true);
    ASSERT_TRUE(farFarm);
    NetLab::Enter tool(lab->ToolNamespace());
    ASSERT_TRUE(tool.Ok());

    // Without ranges the search is today's: the near farm only, no segment column.
    const ProcessResult plain = RunProcess({ QUELLIS_CLI_PATH, "search", "--wait", "1", "--format", "csv" });
    ASSERT_EQ(plain.status, 0) << plain.err;
    ASSERT_EQ(CsvRows(plain.out).size(), 6u) << plain.out;
    EXPECT_EQ(CsvRows(plain.out)[0], "Index,IP,Mask,Gateway,MAC,Run time,Run seconds,Temperature,Version,Host name");
    EXPECT_EQ(farFarm->Totals().searches, 0u) << "a broadcast does not cross the router";

    const ProcessResult ranged = RunProcess({ QUELLIS_CLI_PATH,
        "search",
        "--range",
        "10.78.128.0/24",
        "--rate",
        "5000",
        "--wait",
        "1",
        "--format",
        "csv" });
    ASSERT_EQ(ranged.status, 0) << ranged.err;
    const auto rows = CsvRows(ranged.out);
    ASSERT_EQ(rows.size(), 1u + 5u + 10u) << ranged.out;
    EXPECT_EQ(rows[0], CsvRows(plain.out)[0] + ",Segment");
    for (int i = 0; i < 20; ++i)
    {
        const sim::Machine& machine = farFarm->MachineAt(i);
        EXPECT_EQ(machine.counters.searches.load(), 1u) << "every address is asked once";
        const bool listed = ranged.out.find(machine.identity.mac) != std::string::npos;
        EXPECT_EQ(listed, i < 10) << "machine " << i << " answers by broadcast: " << (i >= 10);
    }
    std::size_t local = 0;
    std::size_t remote = 0;
    for (std::size_t i = 1; i < rows.size(); ++i)
    {
        local += rows[i].ends_with(",local") ? 1 : 0;
        remote += rows[i].ends_with(",10.78.128.0/24") && rows[i].find(",10.78.128.") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(local, 5u);
    EXPECT_EQ(remote, 10u);

    // A flicker of a machine behind the router reaches it by its address;
    // nobody on the near segment sees a thing.
    const sim::Machine& target = farFarm->MachineAt(3);
    const ProcessResult flicker = RunProcess({ QUELLIS_CLI_PATH,
        "flicker",
        "--mac",
        target.identity.mac,
        "--range",
        "10.78.128.1-10.78.128.20",
        "--wait",
        "1" });
    ASSERT_EQ(flicker.status, 0) << flicker.out << flicker.err;
    EXPECT_EQ(target.counters.unicastFlickers.load(), 1u);
    EXPECT_EQ(farFarm->Totals().flickers, 1u);
    EXPECT_EQ(nearFarm->Totals().flickers, 0u);

    // A pool run and a firmware update across the router: the requests go to
    // the machine's address, the download connects back through the router.
    const std::string ranges = "10.78.128.1-10.78.128.20";
    const ProcessResult pools = RunProcess({ QUELLIS_CLI_PATH,
        "pools",
        "set",
        "--mac",
        farFarm->MachineAt(4).identity.mac,
        "--pool",
        "stratum+tcp://pool.lab:3333,far4,x",
        "--range",
        ranges,
        "--wait",
        "1" });
    EXPECT_EQ(pools.status, 0) << pools.out << pools.err;
    const auto state = farFarm->MachineAt(4).Snapshot(std::chrono::steady_clock::now());
    ASSERT_GE(state.pools.size(), 1u);
    EXPECT_EQ(state.pools[0].url, "stratum+tcp://pool.lab:3333");
    const ProcessResult updated = RunProcess({ QUELLIS_CLI_PATH,
                                                 "update",
                                                 package.string(),
                                                 "--mac",
                                                 farFarm->MachineAt(5).identity.mac,
                                                 "--range",
                                                 ranges,
                                                 "--format",
                                                 "csv",
                                                 "--wait",
                                                 "1" },
        {},
        std::chrono::seconds(60));
    std::filesystem::remove(package);
    EXPECT_EQ(updated.status, 0) << updated.out << updated.err;
    EXPECT_NE(updated.out.find(",ok,updated"), std::string::npos) << updated.out;
    EXPECT_EQ(farFarm->Totals().downloadsVerified, 1u) << "the package byte for byte";
    EXPECT_EQ(nearFarm->Totals().downloadsStarted, 0u);

    // Routed addresses cost the tool no neighbour entries: the router's only.
    const ProcessResult neighbours = RunProcess({ "ip", "-4", "neigh", "show" });
    EXPECT_LE(CsvRows(neighbours.out).size(), 1u) << neighbours.out;
}

} // namespace
} // namespace quellis::test
