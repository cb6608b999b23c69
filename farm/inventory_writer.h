#pragma once

#include "farm/inventory.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// The inventory's writes, off the caller's thread: callers hand in machines
// seen, state changes and removals, which cost a map insert under a short
// lock; a thread of its own writes what has gathered as one transaction every
// interval. What cannot be written (a full disk, a file held by another
// process) stays pending, within the inventory's ceiling, and goes with the
// next round; the log hears of it once, and once again when writing works.

namespace quellis::farm
{

class InventoryWriter
{
public:
    InventoryWriter(Inventory& inventory, Inventory::LogSink log, std::chrono::milliseconds interval);
    ~InventoryWriter();
    InventoryWriter(const InventoryWriter&) = delete;
    InventoryWriter& operator=(const InventoryWriter&) = delete;

    [[nodiscard]] bool Start();
    // Writes what is pending (one last try) and joins the thread.
    void Stop();

    // Any thread.
    void Seen(const MachineRecord& machine);
    void Changed(const StateChange& change);
    void Removed(const std::string& mac);

    // Writes now on the writer's thread and waits for it: for tests and for
    // the end of a search. False when the write did not go through.
    bool Flush();

    struct Stats
    {
        std::uint64_t batches = 0; // written
        std::uint64_t failures = 0;
        std::uint64_t droppedChanges = 0; // past the pending ceiling
        WriteResult last = WriteResult::Written;
        std::chrono::microseconds longestWrite { 0 };
    };
    [[nodiscard]] Stats Statistics() const;

private:
    void Run();
    bool WriteOnce(std::unique_lock<std::mutex>& lock);
    void Log(const std::string& line);

    Inventory& inventory_;
    const Inventory::LogSink log_;
    const std::chrono::milliseconds interval_;

    // Shared with the callers, under lock_.
    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable flushed_;
    std::unordered_map<std::string, MachineRecord> machines_;
    std::vector<StateChange> changes_;
    std::unordered_set<std::string> removed_;
    std::uint64_t flushAsked_ = 0;
    std::uint64_t flushDone_ = 0;
    bool lastFlushOk_ = true;
    bool stop_ = false;
    Stats stats_;

    // The writer thread's own.
    bool complained_ = false;
    std::thread thread_;
};

} // namespace quellis::farm
