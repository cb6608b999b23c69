// The farm view at scale, without the window: the time to apply one search
// of N machines and one poll round to the list model, the status summary,
// the CSV export, the inventory's write per round, and the model's memory.
// References measured in the same run: the same lookups into a bare hash map
// (the least a keyed list can cost), and the same rows inserted into a bare
// SQLite table in one transaction on the same disk.
//   farm_view_bench [MACHINES]
#include "farm/farm_model.h"
#include "farm/inventory.h"
#include "farm/inventory_writer.h"
#include "tests/support/temp_dir.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

using namespace quellis;
using Clock = std::chrono::steady_clock;

namespace
{

constexpr int kRuns = 5;

// The median of a few runs, in milliseconds.
double Median(const std::function<void()>& run)
{
    std::vector<double> times;
    for (int i = 0; i < kRuns; ++i)
    {
        const auto start = Clock::now();
        run();
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

long ResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
    {
        if (line.rfind("VmRSS:", 0) == 0)
        {
            return std::atol(line.c_str() + 6);
        }
    }
    return 0;
}

std::string Mac(int n)
{
    char mac[16];
    std::snprintf(mac, sizeof mac, "A1B2C3%06X", n);
    return mac;
}

protocol::DeviceRecord Reply(int n)
{
    protocol::DeviceRecord record;
    record.ip = "10.77." + std::to_string(128 + n / 250) + "." + std::to_string(n % 250 + 1);
    record.mask = "255.255.128.0";
    record.gateway = "10.77.128.254";
    record.mac = Mac(n);
    record.runSeconds = 3600 + n;
    record.temperature = 60;
    record.versionText = "2.0.1";
    record.hostName = "miner";
    record.receivedLength = protocol::kRecordSize;
    return record;
}

} // namespace

int main(int argc, char** argv)
{
    const int machines = argc > 1 ? std::atoi(argv[1]) : 10000;
    if (machines < 100 || machines > farm::kInventoryCeiling)
    {
        std::fprintf(stderr, "usage: farm_view_bench [MACHINES, 100 to 65536]\n");
        return 2;
    }
    std::vector<protocol::DeviceRecord> replies;
    std::vector<poller::MachineView> round(static_cast<std::size_t>(machines));
    for (int n = 0; n < machines; ++n)
    {
        replies.push_back(Reply(n));
        round[static_cast<std::size_t>(n)].info.mac = Mac(n);
        round[static_cast<std::size_t>(n)].state = poller::MachineState::Up;
        round[static_cast<std::size_t>(n)].mhsAv = 13.5e6 + n;
    }
    const std::int64_t now = 1'800'000'000;

    const long before = ResidentKiB();
    farm::FarmModel model(farm::kInventoryCeiling);
    std::vector<farm::MachineRecord> records;
    const double search = Median(
        [&]
        {
            records.clear();
            model.BeginSearch();
            for (const auto& reply : replies)
            {
                if (auto placed = model.ApplyReply(reply, 0, now))
                {
                    records.push_back(std::move(placed->record));
                }
            }
            (void)model.EndSearch(now);
        });
    const long modelKiB = ResidentKiB() - before;
    int bump = 0;
    const double poll = Median(
        [&]
        {
            // Every rate changes, so every row is touched.
            ++bump;
            for (auto& view : round)
            {
                view.mhsAv = *view.mhsAv + bump;
            }
            (void)model.ApplyRound(round);
        });
    double total = 0;
    const double summary = Median([&] { total += model.Summary().hashRate; });
    std::vector<std::size_t> order(model.Rows().size());
    for (std::size_t i = 0; i < order.size(); ++i)
    {
        order[i] = i;
    }
    std::size_t csvBytes = 0;
    const double csv = Median([&] { csvBytes = farm::FarmCsv(model.Rows(), order).size(); });

    std::unordered_map<std::string, double> bare;
    for (int n = 0; n < machines; ++n)
    {
        bare.emplace(Mac(n), 0);
    }
    const double bareRound = Median(
        [&]
        {
            for (const auto& view : round)
            {
                bare.find(view.info.mac)->second = *view.mhsAv;
            }
        });

    test::TempDir dir;
    farm::Inventory inventory;
    if (inventory.Open(dir / "inventory.db", {}) == farm::OpenResult::Failed)
    {
        std::fprintf(stderr, "no inventory in %s\n", dir.Path().c_str());
        return 1;
    }
    farm::InventoryWriter writer(inventory, {}, std::chrono::hours(1));
    if (!writer.Start())
    {
        return 1;
    }
    const double writeAll = Median(
        [&]
        {
            for (const auto& record : records)
            {
                writer.Seen(record);
            }
            (void)writer.Flush();
        });
    const double writeChanges = Median(
        [&]
        {
            for (int n = 0; n < machines / 100; ++n)
            {
                writer.Changed({ now, Mac(n), "up", "down", "timeout" });
            }
            (void)writer.Flush();
        });
    writer.Stop();

    sqlite3* db = nullptr;
    sqlite3_open((dir / "bare.db").c_str(), &db);
    sqlite3_exec(db,
        "CREATE TABLE t(mac TEXT PRIMARY KEY, address TEXT, seen INTEGER) WITHOUT ROWID",
        nullptr,
        nullptr,
        nullptr);
    const double bareWrite = Median(
        [&]
        {
            sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
            sqlite3_stmt* insert = nullptr;
            sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO t VALUES(?1, ?2, ?3)", -1, &insert, nullptr);
            for (const auto& record : records)
            {
                sqlite3_bind_text(insert, 1, record.mac.c_str(), -1, SQLITE_STATIC);
                sqlite3_bind_text(insert, 2, record.address.c_str(), -1, SQLITE_STATIC);
                sqlite3_bind_int64(insert, 3, record.lastSeen);
                sqlite3_step(insert);
                sqlite3_reset(insert);
            }
            sqlite3_finalize(insert);
            sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        });
    sqlite3_close(db);

    std::printf("## Farm view: %d machines (median of %d runs)\n\n", machines, kRuns);
    std::printf("| step | time | reference | goal |\n|---|---|---|---|\n");
    std::printf("| a search applied to the list (every row refreshed) | %.2f ms | | |\n", search);
    std::printf("| one poll round applied to the list | %.2f ms | %.2f ms (bare hash map, same lookups) | ≤ 16 ms |\n",
        poll,
        bareRound);
    std::printf("| status summary | %.3f ms | | ≤ 16 ms |\n", summary);
    std::printf("| CSV export (%.1f KiB) | %.2f ms | | |\n", static_cast<double>(csvBytes) / 1024, csv);
    std::printf("| inventory write, every machine seen (off the UI thread) | %.1f ms | %.1f ms (bare SQLite, one "
                "transaction) | < the 10 s period |\n",
        writeAll,
        bareWrite);
    std::printf(
        "| inventory write, 1 %% of the machines changing state | %.1f ms | | < the 10 s period |\n", writeChanges);
    std::printf("\nMemory of the list model: %.1f MiB resident (%.0f bytes a machine).\n",
        static_cast<double>(modelKiB) / 1024,
        static_cast<double>(modelKiB) * 1024 / machines);
    return total > 0 ? 0 : 1;
}
