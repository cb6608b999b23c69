#pragma once

#include "protocol/scan_ranges.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The machines the last search found through its range scan, behind routers:
// a request naming one of them goes unicast to its address, since the
// broadcast stops at the first router. A machine counts as remote when its
// address lies in one of the search's ranges and outside the tool's own
// segment; every other row is local, as all rows were before ranges.

namespace quellis::protocol
{

class RemoteRows
{
public:
    // UI thread, at each search: the ranges it scans (none: no scan) and the
    // tool's own segment when known. Forgets the rows of the search before.
    void Begin(std::vector<AddressRange> ranges, std::optional<LocalSegment> own, int rate);
    // Reply thread: a machine's record. True when it is remembered as remote.
    bool Note(std::string_view ipText, std::string_view mac);

    // The range that holds a remote row's address text; nothing for a local row.
    [[nodiscard]] std::optional<std::string> SegmentOf(std::string_view ipText) const;
    // The address of the remote row of this MAC text (any case).
    [[nodiscard]] std::optional<std::uint32_t> AddressOf(std::string_view mac) const;
    // The addresses of every remote row, one range each.
    [[nodiscard]] std::vector<AddressRange> Addresses() const;
    [[nodiscard]] std::size_t Count() const;
    // The last search's scan rate: the pace of every unicast run.
    [[nodiscard]] int Rate() const;

private:
    [[nodiscard]] const AddressRange* RangeOf(std::uint32_t address) const;

    mutable std::mutex mutex_;
    std::vector<AddressRange> ranges_;
    std::optional<LocalSegment> own_;
    int rate_ = kDefaultScanRate;
    // Upper-case MAC text -> address (the latest one a machine reported).
    std::unordered_map<std::string, std::uint32_t> byMac_;
};

} // namespace quellis::protocol
