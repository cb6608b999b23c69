#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

// The farm's inventory, kept across restarts in one SQLite file in the working
// directory: every machine seen (by MAC) and every change of its state. Only
// the window writes it (its single instance makes it the only writer); the
// command line opens it read-only. A file that cannot be used (damaged, held
// by another process, written by a newer version) is renamed aside with a log
// line, and the inventory starts empty: a bad file never stops the program.

namespace quellis::farm
{

inline constexpr std::string_view kInventoryFile = "inventory.db";
// The layout this build writes; a file with a higher one is a newer program's.
inline constexpr int kInventorySchema = 1;
// Rows at most in each table: machines past it are not added, the oldest
// state changes go first.
inline constexpr std::int64_t kInventoryCeiling = 65536;

struct MachineRecord
{
    std::string mac; // 12 upper-case hexadecimal digits, as the device list shows it
    std::string address; // dotted
    std::int64_t firstSeen = 0; // Unix seconds
    std::int64_t lastSeen = 0;
    std::string version;
    std::string state; // the last state change's "to", "" before any
    std::int64_t stateSince = 0;
};

struct StateChange
{
    std::int64_t time = 0; // Unix seconds
    std::string mac;
    std::string from;
    std::string to;
    std::string reason;
};

// One round's writes, applied in one transaction.
struct InventoryBatch
{
    std::vector<MachineRecord> machines; // upserts: firstSeen is kept from the stored row
    std::vector<StateChange> changes;
    std::vector<std::string> removed; // MACs the operator took off the list
};

enum class OpenResult
{
    Opened, // an existing inventory
    Created, // none was there
    RenamedAside, // the file there could not be used; a new one was started
    Failed, // not even a new one could be made (read-only folder, …): nothing is kept
};

enum class WriteResult
{
    Written,
    DiskFull, // nothing of the batch was kept
    Busy, // another process held the file; try again later
    Failed,
};

class Inventory
{
public:
    using LogSink = std::function<void(const std::string& line)>;

    // `ceiling`: rows at most in each table (smaller in tests).
    explicit Inventory(std::int64_t ceiling = kInventoryCeiling)
        : ceiling_(ceiling)
    {
    }
    ~Inventory();
    Inventory(const Inventory&) = delete;
    Inventory& operator=(const Inventory&) = delete;

    // For writing. `log` gets the line naming a file renamed aside.
    // `maxPages` (0: no limit) bounds the file, so that tests can fill it.
    [[nodiscard]] OpenResult Open(const std::filesystem::path& path, const LogSink& log, std::int64_t maxPages = 0);
    // For reading only; never changes, creates or renames anything. False
    // with a reason when the file is missing or cannot be read.
    [[nodiscard]] bool OpenReadOnly(const std::filesystem::path& path, std::string* error);
    void Close();
    [[nodiscard]] bool IsOpen() const { return db_ != nullptr; }

    [[nodiscard]] WriteResult Write(const InventoryBatch& batch);

    // Sorted by MAC.
    [[nodiscard]] std::vector<MachineRecord> Machines() const;
    // Changes at or after `since`, oldest first, at most `limit`.
    [[nodiscard]] std::vector<StateChange> Changes(std::int64_t since, std::int64_t limit = kInventoryCeiling) const;

private:
    [[nodiscard]] bool Prepare(std::string* why);

    const std::int64_t ceiling_;
    sqlite3* db_ = nullptr;
    bool readOnly_ = false;
};

// Where a file renamed aside goes: "inventory.db.bad-20261207-174500" (local
// time), with "-2", "-3", … when that name is taken.
[[nodiscard]] std::filesystem::path AsideName(const std::filesystem::path& path, std::int64_t unixTime);

} // namespace quellis::farm
