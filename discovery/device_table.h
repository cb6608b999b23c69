#pragma once

#include "protocol/device_packet.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

// The device table's own logic, apart from the list control: the run-time
// text, the three column comparisons of the column-click sort, and the index
// that finds a device's row by its MAC text in constant time.

namespace quellis::discovery
{

// Device list columns.
enum DeviceColumn : int
{
    kColumnIndex = 0,
    kColumnIp = 1,
    kColumnMask = 2,
    kColumnGateway = 3,
    kColumnMac = 4,
    kColumnRunTime = 5,
    kColumnTemperature = 6,
    kColumnVersion = 7,
    kColumnHostName = 8,
};

// The run time in days, hours, minutes and seconds, in Chinese units for
// language 1 and English ones otherwise; nothing for a negative value.
[[nodiscard]] std::optional<std::string> FormatRunTime(std::int32_t seconds, int language);

// The comparisons of the sortable columns, in ascending order (< 0: a first).
// Texts are the list's UTF-8 texts.
// Address: the four numbers as one u32 with the fourth the most significant
// byte, so that the machines of one /24 sort by host number; a text that is
// not an address counts as 0xFFFFFFFF.
[[nodiscard]] int CompareAddress(std::string_view a, std::string_view b);
// Run time: the longer text (in code page 936 bytes) is greater; texts of one
// length compare by their leading digits.
[[nodiscard]] int CompareRunTime(std::string_view a, std::string_view b);
// Host name: text without regard to letter case, one code page 936 character
// at a time.
[[nodiscard]] int CompareHostName(std::string_view a, std::string_view b);

// The key CompareAddress orders by.
[[nodiscard]] std::uint32_t AddressSortKey(std::string_view ipText);

// Which columns sort, and in which direction the next click sorts each: the
// first click on a column sorts descending, the next ascending, and so on.
class SortState
{
public:
    // False for a column that does not sort. Otherwise gives the direction of
    // this click and flips the column's flag for the next.
    [[nodiscard]] bool Click(int column, bool& ascending);
    [[nodiscard]] int LastColumn() const { return lastColumn_; }

private:
    int lastColumn_ = -1;
    bool addressAscending_ = false;
    bool runTimeAscending_ = false;
    bool hostNameAscending_ = false;
};

// What a search reply (or a successful setting reply) writes into its row:
// (column, text shown) for columns 1 to 4 always, 5 and 6 only when the
// record is whole and its run time is above 0, then 7 and 8. Texts the
// machine sent are shown as UTF-8 (see text::DeviceTextToUtf8).
using RowCells = std::vector<std::pair<int, std::string>>;
[[nodiscard]] RowCells RecordCells(const protocol::DeviceRecord& record, int language);
// Rows at most. Anyone can send search replies, each with a MAC of its own
// making: past the ceiling a new MAC gets no row, so that such a stream cannot
// grow the list without end; the list says so once, in the line below.
inline constexpr int kMaxDeviceRows = 65536;
[[nodiscard]] std::string RowCeilingLine();
// A new row logs its server version only when its run time is known.
[[nodiscard]] bool RunTimeKnown(const protocol::DeviceRecord& record);
// "%d Device %s server version %d.%d.%d\r\n"
[[nodiscard]] std::string VersionLine(int rowNumber, std::string_view ip, std::int32_t versionNumber);

// Rows by MAC text (exact, case-sensitive). Rows only ever come at the end
// or all go at once; a sort moves them, after which the index is rebuilt.
class MacIndex
{
public:
    [[nodiscard]] std::optional<int> Find(std::string_view mac) const;
    void Add(std::string_view mac, int row);
    void Clear() { rows_.clear(); }
    [[nodiscard]] std::size_t Size() const { return rows_.size(); }

private:
    struct Hash
    {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const { return std::hash<std::string_view> {}(text); }
    };
    std::unordered_map<std::string, int, Hash, std::equal_to<>> rows_;
};

// Where a search reply goes in a device list, the rule every list follows: a
// known MAC (as the list shows it) refreshes its row; a new MAC gets the row
// `nextRow` at the end, numbered once (its number cell comes first in
// `cells`), and logs its version line when its run time is known; past the
// ceiling a new MAC gets no row, and the ceiling line is logged the first
// time (`ceilingLogged` remembers). Lines go to the end of `lines`.
struct PlacedRecord
{
    int row = -1;
    bool added = false;
    RowCells cells;
};
[[nodiscard]] std::optional<PlacedRecord> PlaceRecord(const protocol::DeviceRecord& record,
    int language,
    int nextRow,
    MacIndex& index,
    bool& ceilingLogged,
    std::string& lines);

} // namespace quellis::discovery
