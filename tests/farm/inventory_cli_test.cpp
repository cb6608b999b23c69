#include "farm/inventory.h"
#include "farm/time_text.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <string>

namespace quellis::farm
{
namespace
{

using test::RunProcess;

constexpr std::int64_t kT = 1'800'000'000;

class InventoryCli : public testing::Test
{
protected:
    void SetUp() override
    {
        Inventory inventory;
        ASSERT_EQ(inventory.Open(path_, {}), OpenResult::Created);
        InventoryBatch batch;
        batch.machines = { { "A1B2C3000001", "10.77.128.1", kT, kT + 60, "v1", "", 0 },
            { "A1B2C3000002", "10.77.128.2", kT, kT + 60, "v, \"2\"", "", 0 },
            { "A1B2C3000003", "10.77.128.3", kT, kT + 10, "v1", "", 0 } };
        batch.changes = { { kT + 20, "A1B2C3000002", "up", "down", "refused" },
            { kT + 30, "A1B2C3000003", "up", "not answering", "missed search" },
            { kT + 40, "A1B2C3000001", "down", "up", "" } };
        ASSERT_EQ(inventory.Write(batch), WriteResult::Written);
    }

    test::ProcessResult Run(std::vector<std::string> arguments)
    {
        // Before the case's own options, so that a --file of its own wins.
        arguments.insert(arguments.begin() + 1, { "--file", path_.string() });
        arguments.insert(arguments.begin(), QUELLIS_CLI_PATH);
        return RunProcess(arguments);
    }

    test::TempDir dir_;
    std::filesystem::path path_ = dir_ / "inventory.db";
};

TEST_F(InventoryCli, ListsMachinesAndTheDownOnesInEachFormat)
{
    const std::string t0 = LocalTimeText(kT);
    const auto csv = Run({ "inventory", "--format", "csv" });
    EXPECT_EQ(csv.status, 0) << csv.err;
    EXPECT_EQ(csv.out,
        "MAC,IP,State,Since,First seen,Last seen,Version\n"
        "A1B2C3000001,10.77.128.1,up,"
            + LocalTimeText(kT + 40) + "," + t0 + "," + LocalTimeText(kT + 60)
            + ",v1\n"
              "A1B2C3000002,10.77.128.2,down,"
            + LocalTimeText(kT + 20) + "," + t0 + "," + LocalTimeText(kT + 60)
            + ",\"v, \"\"2\"\"\"\n"
              "A1B2C3000003,10.77.128.3,not answering,"
            + LocalTimeText(kT + 30) + "," + t0 + "," + LocalTimeText(kT + 10) + ",v1\n");
    const auto down = Run({ "inventory", "--down", "--format", "json" });
    EXPECT_EQ(down.status, 0) << down.err;
    EXPECT_EQ(down.out.find("A1B2C3000001"), std::string::npos) << down.out;
    EXPECT_NE(
        down.out.find("\"mac\": \"A1B2C3000002\", \"ip\": \"10.77.128.2\", \"state\": \"down\""), std::string::npos)
        << down.out;
    EXPECT_NE(down.out.find("\"state\": \"not answering\""), std::string::npos) << down.out;
    const auto table = Run({ "inventory" });
    EXPECT_EQ(table.err, "3 machines, 2 down or not answering\n");

    const auto events = Run({ "events", "--since", std::to_string(kT + 30), "--format", "csv" });
    EXPECT_EQ(events.status, 0) << events.err;
    EXPECT_EQ(events.out,
        "Time,MAC,From,To,Reason\n" + LocalTimeText(kT + 30) + ",A1B2C3000003,up,not answering,missed search\n"
            + LocalTimeText(kT + 40) + ",A1B2C3000001,down,up,\n");
}

TEST_F(InventoryCli, RefusesBadOptionsAndAMissingInventory)
{
    struct Case
    {
        std::vector<std::string> arguments;
        int status;
        const char* error;
    };
    const Case cases[] = {
        { { "inventory", "--format", "xml" }, 2, "--format is table, csv or json" },
        { { "events", "--since", "yesterday" }, 2, "--since is a time" },
        { { "inventory", "--extra" }, 2, "--extra" },
        { { "events", "--file", "/nonexistent/inventory.db" }, 1, "/nonexistent/inventory.db: cannot open" },
    };
    for (const Case& c : cases)
    {
        const auto result = Run(c.arguments);
        EXPECT_EQ(result.status, c.status) << c.arguments[0] << " " << result.err;
        EXPECT_NE(result.err.find(c.error), std::string::npos) << result.err;
        EXPECT_TRUE(result.out.empty()) << result.out;
    }
}

} // namespace
} // namespace quellis::farm
