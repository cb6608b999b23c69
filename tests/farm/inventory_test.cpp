#include "farm/inventory.h"
#include "farm/inventory_writer.h"
#include "farm/time_text.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace quellis::farm
{
namespace
{

using namespace std::chrono_literals;

MachineRecord Machine(int n, std::int64_t seen, std::string version = "v1")
{
    char mac[16];
    std::snprintf(mac, sizeof mac, "A1B2C3%06X", n);
    return { mac, "10.77.128." + std::to_string(n % 250 + 1), seen, seen, std::move(version), "", 0 };
}

struct Opened
{
    Inventory inventory;
    std::vector<std::string> log;
    OpenResult result;
    Opened(const std::filesystem::path& path, std::int64_t maxPages = 0)
        : result(inventory.Open(
            path, [this](const std::string& line) { log.push_back(line); }, maxPages))
    {
    }
};

std::vector<std::string> AsideFiles(const test::TempDir& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
    {
        if (entry.path().filename().string().find(".bad-") != std::string::npos)
        {
            names.push_back(entry.path().filename().string());
        }
    }
    return names;
}

TEST(Inventory, KeepsMachinesAndChangesAcrossARestart)
{
    test::TempDir dir;
    const auto path = dir / "inventory.db";
    {
        Opened first(path);
        ASSERT_EQ(first.result, OpenResult::Created);
        InventoryBatch batch;
        batch.machines = { Machine(1, 100), Machine(2, 100) };
        batch.changes = { { 150, Machine(1, 0).mac, "up", "down", "timeout" } };
        ASSERT_EQ(first.inventory.Write(batch), WriteResult::Written);
        // A later sighting keeps the first, moves the last and keeps a version
        // it does not know; removal takes the row.
        batch = {};
        batch.machines = { Machine(1, 200, ""), Machine(3, 200) };
        batch.removed = { Machine(2, 0).mac };
        ASSERT_EQ(first.inventory.Write(batch), WriteResult::Written);
    }
    Opened again(path);
    ASSERT_EQ(again.result, OpenResult::Opened);
    EXPECT_TRUE(again.log.empty());
    const auto machines = again.inventory.Machines();
    ASSERT_EQ(machines.size(), 2u);
    EXPECT_EQ(machines[0].mac, Machine(1, 0).mac);
    EXPECT_EQ(machines[0].firstSeen, 100);
    EXPECT_EQ(machines[0].lastSeen, 200);
    EXPECT_EQ(machines[0].version, "v1");
    EXPECT_EQ(machines[0].state, "down");
    EXPECT_EQ(machines[0].stateSince, 150);
    EXPECT_EQ(machines[1].mac, Machine(3, 0).mac);
    const auto changes = again.inventory.Changes(150);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].reason, "timeout");
    EXPECT_TRUE(again.inventory.Changes(151).empty());

    Inventory reader;
    std::string error;
    ASSERT_TRUE(reader.OpenReadOnly(path, &error)) << error;
    EXPECT_EQ(reader.Machines().size(), 2u);
    EXPECT_EQ(reader.Write({}), WriteResult::Failed);
}

// Every file the program cannot use is put aside with a log line naming it,
// and a new, writable inventory takes its place.
TEST(Inventory, RenamesAnUnusableFileAsideAndStartsEmpty)
{
    const auto valid = [](const std::filesystem::path& path)
    {
        Opened made(path);
        InventoryBatch batch;
        for (int n = 0; n < 2000; ++n)
        {
            batch.machines.push_back(Machine(n, 100));
        }
        ASSERT_EQ(made.inventory.Write(batch), WriteResult::Written);
    };
    struct Case
    {
        const char* name;
        std::function<void(const test::TempDir&, const std::filesystem::path&)> spoil;
        const char* why;
    };
    sqlite3* holder = nullptr;
    const Case cases[] = {
        { "not a database",
            [](const test::TempDir& dir, const std::filesystem::path&)
            { dir.Write("inventory.db", std::string(8192, 'x')); },
            "unreadable" },
        { "damaged pages",
            [&](const test::TempDir& dir, const std::filesystem::path& path)
            {
                valid(path);
                std::string bytes = dir.Read("inventory.db");
                for (std::size_t i = 8192; i < 16384 && i < bytes.size(); ++i)
                {
                    bytes[i] = static_cast<char>(0xA5);
                }
                dir.Write("inventory.db", bytes);
            },
            "damaged" },
        { "newer version",
            [&](const test::TempDir&, const std::filesystem::path& path)
            {
                valid(path);
                sqlite3* db = nullptr;
                ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
                sqlite3_exec(db, "PRAGMA user_version = 7", nullptr, nullptr, nullptr);
                sqlite3_close(db);
            },
            "newer version (layout 7)" },
        { "tables of another program",
            [&](const test::TempDir&, const std::filesystem::path& path)
            {
                sqlite3* db = nullptr;
                ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
                sqlite3_exec(db, "CREATE TABLE machines(x)", nullptr, nullptr, nullptr);
                sqlite3_close(db);
            },
            "not an inventory" },
        { "a trigger of its own",
            [&](const test::TempDir&, const std::filesystem::path& path)
            {
                valid(path);
                sqlite3* db = nullptr;
                ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
                sqlite3_exec(db,
                    "CREATE TRIGGER t AFTER INSERT ON changes BEGIN DELETE FROM machines; END",
                    nullptr,
                    nullptr,
                    nullptr);
                sqlite3_close(db);
            },
            "not an inventory" },
        { "held by another process",
            [&](const test::TempDir&, const std::filesystem::path& path)
            {
                valid(path);
                ASSERT_EQ(sqlite3_open(path.c_str(), &holder), SQLITE_OK);
                ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
            },
            "" },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const auto path = dir / "inventory.db";
        c.spoil(dir, path);
        const std::string before = dir.Read("inventory.db");
        const auto start = std::chrono::steady_clock::now();
        Opened opened(path);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        sqlite3_close(holder);
        holder = nullptr;
        EXPECT_EQ(opened.result, OpenResult::RenamedAside);
        ASSERT_EQ(opened.log.size(), 1u);
        EXPECT_NE(opened.log[0].find(c.why), std::string::npos) << opened.log[0];
        const auto aside = AsideFiles(dir);
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_NE(opened.log[0].find(aside[0]), std::string::npos) << opened.log[0];
        // Put aside as it was (compared as a whole: the bytes are not for printing).
        EXPECT_TRUE(dir.Read(aside[0]) == before);
        EXPECT_TRUE(opened.inventory.Machines().empty());
        InventoryBatch batch;
        batch.machines = { Machine(1, 1) };
        EXPECT_EQ(opened.inventory.Write(batch), WriteResult::Written);
    }
}

// The rule at a ceiling of 1,000 rows (the program's is 65,536, the same code).
TEST(Inventory, HoldsTheCeilingForMachinesAndChanges)
{
    constexpr int kCeiling = 1000;
    test::TempDir dir;
    Inventory inventory(kCeiling);
    ASSERT_EQ(inventory.Open(dir / "inventory.db", {}), OpenResult::Created);
    InventoryBatch batch;
    for (int n = 0; n < kCeiling + 10; ++n)
    {
        batch.machines.push_back(Machine(n, 1));
        // A machine flapping every poll: one row per change, the oldest go.
        batch.changes.push_back({ n, Machine(1, 0).mac, n % 2 ? "down" : "up", n % 2 ? "up" : "down", "" });
    }
    ASSERT_EQ(inventory.Write(batch), WriteResult::Written);
    EXPECT_EQ(inventory.Machines().size(), static_cast<std::size_t>(kCeiling));
    const auto changes = inventory.Changes(0, kCeiling * 2);
    ASSERT_EQ(changes.size(), static_cast<std::size_t>(kCeiling));
    EXPECT_EQ(changes.front().time, 10);
    // A known machine is still refreshed at the ceiling; a new one is not added.
    batch = {};
    batch.machines = { Machine(5, 99), Machine(kCeiling + 20, 99) };
    ASSERT_EQ(inventory.Write(batch), WriteResult::Written);
    const auto machines = inventory.Machines();
    EXPECT_EQ(machines.size(), static_cast<std::size_t>(kCeiling));
    EXPECT_EQ(machines[5].lastSeen, 99);
}

// A full disk (a file that may not grow past a few pages) loses nothing that
// fits in memory: the writer says so once, keeps the rows and writes them
// when there is room again.
TEST(InventoryWriter, KeepsWritesThroughAFullDiskAndSaysSoOnce)
{
    test::TempDir dir;
    const auto path = dir / "inventory.db";
    Opened small(path, 8);
    ASSERT_EQ(small.result, OpenResult::Created);
    InventoryWriter writer(
        small.inventory, [&](const std::string& line) { small.log.push_back(line); }, 1h);
    for (int n = 0; n < 3000; ++n)
    {
        writer.Seen(Machine(n, 10));
    }
    writer.Changed({ 10, Machine(1, 0).mac, "up", "down", "refused" });
    EXPECT_FALSE(writer.Flush());
    writer.Seen(Machine(1, 20, "v2"));
    EXPECT_FALSE(writer.Flush());
    ASSERT_EQ(small.log.size(), 1u);
    EXPECT_NE(small.log[0].find("disk is full"), std::string::npos) << small.log[0];
    EXPECT_EQ(writer.Statistics().last, WriteResult::DiskFull);
    EXPECT_TRUE(small.inventory.Machines().empty());

    ASSERT_EQ(small.inventory.Open(path, {}), OpenResult::Opened);
    ASSERT_TRUE(writer.Start());
    EXPECT_TRUE(writer.Flush());
    writer.Stop();
    ASSERT_EQ(small.log.size(), 2u);
    EXPECT_EQ(small.log[1], "inventory written again");
    const auto machines = small.inventory.Machines();
    ASSERT_EQ(machines.size(), 3000u);
    EXPECT_EQ(machines[1].version, "v2");
    EXPECT_EQ(machines[1].firstSeen, 10);
    EXPECT_EQ(machines[1].state, "down");
    EXPECT_EQ(small.inventory.Changes(0).size(), 1u);
}

TEST(InventoryWriter, WritesOnItsOwnThreadEveryIntervalAndOnStop)
{
    test::TempDir dir;
    Opened opened(dir / "inventory.db");
    InventoryWriter writer(opened.inventory, {}, 20ms);
    ASSERT_TRUE(writer.Start());
    writer.Seen(Machine(1, 1));
    for (int i = 0; i < 500 && writer.Statistics().batches == 0; ++i)
    {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(writer.Statistics().batches, 1u);
    writer.Seen(Machine(2, 1));
    writer.Removed(Machine(1, 0).mac);
    writer.Stop();
    const auto machines = opened.inventory.Machines();
    ASSERT_EQ(machines.size(), 1u);
    EXPECT_EQ(machines[0].mac, Machine(2, 0).mac);
}

TEST(TimeText, ReadsDatesSpansAndSecondsAndRejectsTheRest)
{
    const std::int64_t now = 1'800'000'000;
    EXPECT_EQ(ParseTimeText(LocalTimeText(now), 0), now);
    EXPECT_EQ(ParseTimeText(LocalTimeText(now).replace(10, 1, "T"), 0), now);
    EXPECT_EQ(ParseTimeText(LocalTimeText(now).substr(0, 16), 0), now - now % 60);
    EXPECT_EQ(ParseTimeText("1796000000", now), 1'796'000'000);
    EXPECT_EQ(ParseTimeText("90s", now), now - 90);
    EXPECT_EQ(ParseTimeText("30m", now), now - 1800);
    EXPECT_EQ(ParseTimeText("2h", now), now - 7200);
    EXPECT_EQ(ParseTimeText("7d", now), now - 7 * 86400);
    for (const char* bad : { "",
             "h",
             "-5m",
             "5x",
             "2026-13-01",
             "2026-12-07 25:00",
             "2026-12-07X10:00",
             "2026-12-7",
             "99999999999999999999",
             "9999999999999d",
             "yesterday" })
    {
        EXPECT_FALSE(ParseTimeText(bad, now)) << bad;
    }
}

} // namespace
} // namespace quellis::farm
