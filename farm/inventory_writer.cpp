#include "farm/inventory_writer.h"

#include <algorithm>

namespace quellis::farm
{

namespace
{

std::string_view ResultText(WriteResult result)
{
    switch (result)
    {
    case WriteResult::Written:
        return "written";
    case WriteResult::DiskFull:
        return "the disk is full";
    case WriteResult::Busy:
        return "the file is held by another process";
    case WriteResult::Failed:
        break;
    }
    return "the write failed";
}

} // namespace

InventoryWriter::InventoryWriter(Inventory& inventory, Inventory::LogSink log, std::chrono::milliseconds interval)
    : inventory_(inventory)
    , log_(std::move(log))
    , interval_(interval)
{
}

InventoryWriter::~InventoryWriter()
{
    Stop();
}

bool InventoryWriter::Start()
{
    if (thread_.joinable())
    {
        return true;
    }
    {
        const std::lock_guard guard(lock_);
        stop_ = false;
    }
    thread_ = std::thread([this] { Run(); });
    return true;
}

void InventoryWriter::Stop()
{
    {
        const std::lock_guard guard(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
    {
        thread_.join();
    }
}

void InventoryWriter::Seen(const MachineRecord& machine)
{
    const std::lock_guard guard(lock_);
    removed_.erase(machine.mac);
    auto [it, added] = machines_.try_emplace(machine.mac, machine);
    if (!added)
    {
        const std::int64_t first = std::min(it->second.firstSeen, machine.firstSeen);
        it->second = machine;
        it->second.firstSeen = first;
    }
    else if (machines_.size() > static_cast<std::size_t>(kInventoryCeiling))
    {
        // Beyond the ceiling the inventory would not take it anyway.
        machines_.erase(it);
    }
}

void InventoryWriter::Changed(const StateChange& change)
{
    const std::lock_guard guard(lock_);
    if (changes_.size() >= static_cast<std::size_t>(kInventoryCeiling))
    {
        changes_.erase(changes_.begin(), changes_.begin() + static_cast<std::ptrdiff_t>(changes_.size() / 2));
        stats_.droppedChanges += static_cast<std::uint64_t>(kInventoryCeiling) / 2;
    }
    changes_.push_back(change);
}

void InventoryWriter::Removed(const std::string& mac)
{
    const std::lock_guard guard(lock_);
    machines_.erase(mac);
    if (removed_.size() < static_cast<std::size_t>(kInventoryCeiling))
    {
        removed_.insert(mac);
    }
}

bool InventoryWriter::Flush()
{
    std::unique_lock lock(lock_);
    if (!thread_.joinable())
    {
        return WriteOnce(lock);
    }
    const std::uint64_t ticket = ++flushAsked_;
    wake_.notify_all();
    flushed_.wait(lock, [&] { return flushDone_ >= ticket; });
    return lastFlushOk_;
}

InventoryWriter::Stats InventoryWriter::Statistics() const
{
    const std::lock_guard guard(lock_);
    return stats_;
}

void InventoryWriter::Log(const std::string& line)
{
    if (log_)
    {
        log_(line);
    }
}

// Called with lock_ held; writes without it, so that callers never wait for
// the disk.
bool InventoryWriter::WriteOnce(std::unique_lock<std::mutex>& lock)
{
    if (machines_.empty() && changes_.empty() && removed_.empty())
    {
        return true;
    }
    InventoryBatch batch;
    batch.machines.reserve(machines_.size());
    for (auto& [mac, machine] : machines_)
    {
        batch.machines.push_back(std::move(machine));
    }
    machines_.clear();
    batch.changes.swap(changes_);
    batch.removed.assign(removed_.begin(), removed_.end());
    removed_.clear();
    lock.unlock();

    const auto start = std::chrono::steady_clock::now();
    const WriteResult result = inventory_.Write(batch);
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    if (result != WriteResult::Written && !complained_)
    {
        complained_ = true;
        Log("inventory not written (" + std::string(ResultText(result))
            + "); the changes are kept in memory and written when it can be");
    }
    else if (result == WriteResult::Written && complained_)
    {
        complained_ = false;
        Log("inventory written again");
    }

    lock.lock();
    stats_.last = result;
    stats_.longestWrite = std::max(stats_.longestWrite, took);
    if (result == WriteResult::Written)
    {
        ++stats_.batches;
        return true;
    }
    ++stats_.failures;
    // Put the batch back under what came meanwhile: newer news wins, the
    // order of changes holds, and the ceiling still bounds the memory.
    for (MachineRecord& machine : batch.machines)
    {
        if (removed_.count(machine.mac) == 0)
        {
            machines_.try_emplace(machine.mac, std::move(machine));
        }
    }
    batch.changes.insert(batch.changes.end(), changes_.begin(), changes_.end());
    changes_.swap(batch.changes);
    if (changes_.size() > static_cast<std::size_t>(kInventoryCeiling))
    {
        const std::size_t drop = changes_.size() - static_cast<std::size_t>(kInventoryCeiling);
        changes_.erase(changes_.begin(), changes_.begin() + static_cast<std::ptrdiff_t>(drop));
        stats_.droppedChanges += drop;
    }
    for (std::string& mac : batch.removed)
    {
        removed_.insert(std::move(mac));
    }
    return false;
}

// The writer thread: owns the inventory's connection while it runs; shares
// the pending writes and the flush tickets with the callers under lock_.
void InventoryWriter::Run()
{
    std::unique_lock lock(lock_);
    while (true)
    {
        wake_.wait_for(lock, interval_, [&] { return stop_ || flushAsked_ > flushDone_; });
        const std::uint64_t asked = flushAsked_;
        const bool ok = WriteOnce(lock);
        if (asked > flushDone_)
        {
            flushDone_ = asked;
            lastFlushOk_ = ok;
            flushed_.notify_all();
        }
        if (stop_)
        {
            return;
        }
    }
}

} // namespace quellis::farm
