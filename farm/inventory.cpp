#include "farm/inventory.h"

#include <sqlite3.h>

#include <ctime>
#include <system_error>

namespace quellis::farm
{

namespace
{

// Long enough for a reader's moment on the file, short enough that a file
// held by a hung process costs the start no more than this.
constexpr int kBusyMilliseconds = 500;

constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS machines(
    mac TEXT PRIMARY KEY,
    address TEXT NOT NULL,
    first_seen INTEGER NOT NULL,
    last_seen INTEGER NOT NULL,
    version TEXT NOT NULL,
    state TEXT NOT NULL DEFAULT '',
    state_since INTEGER NOT NULL DEFAULT 0) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS changes(
    id INTEGER PRIMARY KEY,
    time INTEGER NOT NULL,
    mac TEXT NOT NULL,
    from_state TEXT NOT NULL,
    to_state TEXT NOT NULL,
    reason TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS changes_by_time ON changes(time);
)";

class Statement
{
public:
    Statement(sqlite3* db, const char* sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK)
        {
            statement_ = nullptr;
        }
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    [[nodiscard]] bool Ok() const { return statement_ != nullptr; }
    Statement& Bind(int index, std::string_view text)
    {
        sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& Bind(int index, std::int64_t value)
    {
        sqlite3_bind_int64(statement_, index, value);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error; resets for the next run after DONE or an error.
    int Step()
    {
        if (statement_ == nullptr)
        {
            return SQLITE_ERROR;
        }
        const int result = sqlite3_step(statement_);
        if (result != SQLITE_ROW)
        {
            sqlite3_reset(statement_);
            sqlite3_clear_bindings(statement_);
        }
        return result;
    }
    [[nodiscard]] std::int64_t Int(int column) const { return sqlite3_column_int64(statement_, column); }
    [[nodiscard]] std::string Text(int column) const
    {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
        return text == nullptr ? std::string()
                               : std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
    }

private:
    sqlite3_stmt* statement_ = nullptr;
};

bool Exec(sqlite3* db, const char* sql, int* code = nullptr)
{
    const int result = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (code != nullptr)
    {
        *code = result;
    }
    return result == SQLITE_OK;
}

std::string Why(sqlite3* db, const char* what)
{
    return std::string(what) + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory");
}

std::int64_t UnixNow()
{
    return static_cast<std::int64_t>(std::time(nullptr));
}

WriteResult ResultOf(int code)
{
    switch (code & 0xFF)
    {
    case SQLITE_FULL:
        return WriteResult::DiskFull;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return WriteResult::Busy;
    default:
        return WriteResult::Failed;
    }
}

} // namespace

std::filesystem::path AsideName(const std::filesystem::path& path, std::int64_t unixTime)
{
    const auto time = static_cast<std::time_t>(unixTime);
    std::tm local {};
    localtime_r(&time, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = path.string() + ".bad-" + stamp;
    std::filesystem::path name = base;
    std::error_code error;
    for (int n = 2; std::filesystem::exists(name, error) && n < 1000; ++n)
    {
        name = base + "-" + std::to_string(n);
    }
    return name;
}

Inventory::~Inventory()
{
    Close();
}

void Inventory::Close()
{
    sqlite3_close_v2(db_);
    db_ = nullptr;
}

bool Inventory::Prepare(std::string* why)
{
    sqlite3_busy_timeout(db_, kBusyMilliseconds);
    // A damaged file must come back as an error, never as a write through
    // its broken pages.
    sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    Statement version(db_, "PRAGMA user_version");
    if (version.Step() != SQLITE_ROW)
    {
        *why = Why(db_, "unreadable");
        return false;
    }
    const std::int64_t schema = version.Int(0);
    version.Step();
    if (schema > kInventorySchema)
    {
        *why = "written by a newer version (layout " + std::to_string(schema) + ")";
        return false;
    }
    Statement check(db_, "PRAGMA quick_check(1)");
    if (check.Step() != SQLITE_ROW || check.Text(0) != "ok")
    {
        *why = Why(db_, "damaged");
        return false;
    }
    check.Step();
    // Nothing of a file's own may run in our statements: a trigger or a view
    // is not ours, so the file is not an inventory.
    Statement foreign(db_, "SELECT count(*) FROM sqlite_schema WHERE type IN ('trigger', 'view')");
    if (foreign.Step() != SQLITE_ROW || foreign.Int(0) != 0)
    {
        *why = "not an inventory";
        return false;
    }
    foreign.Step();
    // Tables of these names with other columns are not ours either; for
    // writing, the check runs after the missing tables are made, inside the
    // same transaction, so that a foreign file is put aside as it was.
    const auto ours = [&]
    {
        for (const char* columns : { "SELECT mac, address, first_seen, last_seen, version, state, state_since FROM "
                                     "machines LIMIT 0",
                 "SELECT id, time, mac, from_state, to_state, reason FROM changes LIMIT 0" })
        {
            if (!Statement(db_, columns).Ok())
            {
                *why = "not an inventory";
                return false;
            }
        }
        return true;
    };
    if (readOnly_)
    {
        return ours();
    }
    // Taking the write lock now tells a file held by another process at once,
    // not at the first round's write.
    int code = SQLITE_OK;
    if (!Exec(db_, "BEGIN IMMEDIATE", &code))
    {
        *why = Why(db_, (code & 0xFF) == SQLITE_BUSY ? "held by another process" : "not writable");
        return false;
    }
    if (!Exec(db_, kSchema) || !Exec(db_, "PRAGMA user_version = 1"))
    {
        const std::string failed = Why(db_, "not writable");
        if (ours())
        {
            *why = failed;
        }
        Exec(db_, "ROLLBACK");
        return false;
    }
    if (!ours())
    {
        Exec(db_, "ROLLBACK");
        return false;
    }
    if (!Exec(db_, "COMMIT"))
    {
        *why = Why(db_, "not writable");
        Exec(db_, "ROLLBACK");
        return false;
    }
    return true;
}

OpenResult Inventory::Open(const std::filesystem::path& path, const LogSink& log, std::int64_t maxPages)
{
    Close();
    readOnly_ = false;
    const auto open = [&](int flags, std::string* why)
    {
        if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK)
        {
            *why = Why(db_, "cannot open");
            Close();
            return false;
        }
        if (maxPages > 0)
        {
            Exec(db_, ("PRAGMA max_page_count = " + std::to_string(maxPages)).c_str());
        }
        if (!Prepare(why))
        {
            Close();
            return false;
        }
        return true;
    };
    std::error_code error;
    const bool existed = std::filesystem::exists(path, error);
    std::string why;
    if (existed && open(SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, &why))
    {
        return OpenResult::Opened;
    }
    bool renamed = false;
    if (existed)
    {
        const std::filesystem::path aside = AsideName(path, UnixNow());
        std::filesystem::rename(path, aside, error);
        if (error)
        {
            if (log)
            {
                log("inventory " + path.string() + " cannot be used (" + why + ") nor renamed aside (" + error.message()
                    + "); nothing is kept this time");
            }
            return OpenResult::Failed;
        }
        // Its journal belongs to it, not to the new file.
        for (const char* suffix : { "-journal", "-wal", "-shm" })
        {
            std::filesystem::rename(path.string() + suffix, aside.string() + suffix, error);
        }
        if (log)
        {
            log("inventory " + path.string() + " cannot be used (" + why + "); renamed to " + aside.string()
                + ", starting empty");
        }
        renamed = true;
    }
    if (!open(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW, &why))
    {
        if (log)
        {
            log("inventory " + path.string() + " cannot be made (" + why + "); nothing is kept this time");
        }
        return OpenResult::Failed;
    }
    return renamed ? OpenResult::RenamedAside : OpenResult::Created;
}

bool Inventory::OpenReadOnly(const std::filesystem::path& path, std::string* error)
{
    Close();
    readOnly_ = true;
    std::string why;
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
    {
        why = Why(db_, "cannot open");
        Close();
    }
    else if (!Prepare(&why))
    {
        Close();
    }
    if (db_ == nullptr && error != nullptr)
    {
        *error = path.string() + ": " + why;
    }
    return db_ != nullptr;
}

WriteResult Inventory::Write(const InventoryBatch& batch)
{
    if (db_ == nullptr || readOnly_)
    {
        return WriteResult::Failed;
    }
    int code = SQLITE_OK;
    if (!Exec(db_, "BEGIN IMMEDIATE", &code))
    {
        return ResultOf(code);
    }
    const auto fail = [&](int failed)
    {
        if (sqlite3_get_autocommit(db_) == 0)
        {
            Exec(db_, "ROLLBACK");
        }
        return ResultOf(failed);
    };

    Statement count(db_, "SELECT count(*) FROM machines");
    if (count.Step() != SQLITE_ROW)
    {
        return fail(sqlite3_errcode(db_));
    }
    std::int64_t machines = count.Int(0);
    count.Step();

    Statement remove(db_, "DELETE FROM machines WHERE mac = ?1");
    for (const std::string& mac : batch.removed)
    {
        if (remove.Bind(1, mac).Step() != SQLITE_DONE)
        {
            return fail(sqlite3_errcode(db_));
        }
        machines -= sqlite3_changes(db_);
    }
    Statement update(db_,
        "UPDATE machines SET address = ?2, last_seen = max(last_seen, ?3),"
        " version = CASE WHEN ?4 = '' THEN version ELSE ?4 END WHERE mac = ?1");
    Statement insert(db_,
        "INSERT INTO machines(mac, address, first_seen, last_seen, version, state, state_since)"
        " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    for (const MachineRecord& machine : batch.machines)
    {
        update.Bind(1, machine.mac).Bind(2, machine.address).Bind(3, machine.lastSeen).Bind(4, machine.version);
        if (update.Step() != SQLITE_DONE)
        {
            return fail(sqlite3_errcode(db_));
        }
        if (sqlite3_changes(db_) > 0 || machines >= ceiling_)
        {
            continue;
        }
        insert.Bind(1, machine.mac)
            .Bind(2, machine.address)
            .Bind(3, machine.firstSeen)
            .Bind(4, machine.lastSeen)
            .Bind(5, machine.version)
            .Bind(6, machine.state)
            .Bind(7, machine.stateSince);
        if (insert.Step() != SQLITE_DONE)
        {
            return fail(sqlite3_errcode(db_));
        }
        ++machines;
    }
    Statement change(db_, "INSERT INTO changes(time, mac, from_state, to_state, reason) VALUES(?1, ?2, ?3, ?4, ?5)");
    Statement state(db_, "UPDATE machines SET state = ?2, state_since = ?3 WHERE mac = ?1");
    for (const StateChange& item : batch.changes)
    {
        change.Bind(1, item.time).Bind(2, item.mac).Bind(3, item.from).Bind(4, item.to).Bind(5, item.reason);
        state.Bind(1, item.mac).Bind(2, item.to).Bind(3, item.time);
        if (change.Step() != SQLITE_DONE || state.Step() != SQLITE_DONE)
        {
            return fail(sqlite3_errcode(db_));
        }
    }
    // A machine that flaps every poll costs rows, but never more than the
    // ceiling: the oldest changes go first.
    if (!batch.changes.empty())
    {
        Statement trim(db_, "DELETE FROM changes WHERE id <= (SELECT max(id) FROM changes) - ?1");
        if (trim.Bind(1, ceiling_).Step() != SQLITE_DONE)
        {
            return fail(sqlite3_errcode(db_));
        }
    }
    if (!Exec(db_, "COMMIT", &code))
    {
        return fail(code);
    }
    return WriteResult::Written;
}

std::vector<MachineRecord> Inventory::Machines() const
{
    std::vector<MachineRecord> out;
    if (db_ == nullptr)
    {
        return out;
    }
    Statement select(db_,
        "SELECT mac, address, first_seen, last_seen, version, state, state_since FROM machines ORDER BY mac LIMIT ?1");
    select.Bind(1, ceiling_);
    while (select.Step() == SQLITE_ROW)
    {
        out.push_back({ select.Text(0),
            select.Text(1),
            select.Int(2),
            select.Int(3),
            select.Text(4),
            select.Text(5),
            select.Int(6) });
    }
    return out;
}

std::vector<StateChange> Inventory::Changes(std::int64_t since, std::int64_t limit) const
{
    std::vector<StateChange> out;
    if (db_ == nullptr)
    {
        return out;
    }
    Statement select(
        db_, "SELECT time, mac, from_state, to_state, reason FROM changes WHERE time >= ?1 ORDER BY time, id LIMIT ?2");
    select.Bind(1, since).Bind(2, limit);
    while (select.Step() == SQLITE_ROW)
    {
        out.push_back({ select.Int(0), select.Text(1), select.Text(2), select.Text(3), select.Text(4) });
    }
    return out;
}

} // namespace quellis::farm
