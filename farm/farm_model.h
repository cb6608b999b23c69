#pragma once

#include "farm/inventory.h"
#include "poller/machine_poller.h"
#include "protocol/device_packet.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The farm view's list, apart from the list control: every machine ever seen
// (by MAC), kept across searches with a running number that never changes,
// its state and since when, its hash rate from the poller, its pool and when
// it was last seen. A search refreshes the rows that answer and marks the
// others not answering; the poller's verdicts make rows up or down, and the
// first fall of an outage asks for the alarm. Runs on one thread (the UI's).

namespace quellis::farm
{

enum class RowState : std::uint8_t
{
    NotYetAnswering, // from the inventory, before the first search
    Up,
    Down, // the miner's API fails (the poller's verdict)
    NotAnswering, // missed a search
};

// "up", "down", … as the inventory and the command line write them.
[[nodiscard]] std::string_view StateName(RowState state);
// As the list shows it: the state in the language of the list, and since when.
[[nodiscard]] std::string StateText(RowState state, std::int64_t since, int language);

// The columns after the device list's nine.
enum FarmColumn : int
{
    kColumnHashRate = 9,
    kColumnState = 10,
    kColumnPool = 11,
    kColumnLastSeen = 12,
};
inline constexpr int kFarmColumns = 13;
// The headers of the four, in the list's language.
[[nodiscard]] std::array<std::string_view, 4> FarmHeaders(int language);

struct FarmRow
{
    int number = 0; // the running number, given once
    std::string mac;
    std::array<std::string, 9> cells; // the device list's texts; cells[0] is the number
    std::int32_t runSeconds = -1; // -1: not reported
    std::optional<double> hashRate; // TH/s, of the last good poll
    RowState state = RowState::NotYetAnswering;
    std::int64_t since = 0; // Unix seconds; 0: not known
    std::string pool; // URL and worker of the first active pool
    std::int64_t firstSeen = 0;
    std::int64_t lastSeen = 0; // the last search reply; 0: never
    bool alarmed = false; // the alarm has sounded for this outage
    bool seenThisSearch = false;
};

// The text of one cell, for the list and the export.
[[nodiscard]] std::string CellText(const FarmRow& row, int column, int language);

// A change of a row's state, for the log, the inventory and the alarm.
struct FarmEvent
{
    std::int64_t time = 0;
    std::string mac;
    std::string address;
    RowState from = RowState::NotYetAnswering;
    RowState to = RowState::NotYetAnswering;
    std::string reason;
    bool alarm = false; // the first fall of this outage
};

// "10.77.128.5 A1B2C3D4E5F6: up -> down (refused)\r\n"
[[nodiscard]] std::string EventLine(const FarmEvent& event);
[[nodiscard]] StateChange ToChange(const FarmEvent& event);

struct FarmSummary
{
    std::size_t listed = 0;
    std::size_t up = 0;
    std::size_t down = 0;
    std::size_t notAnswering = 0; // not yet answering included
    double hashRate = 0; // TH/s, of the rows up
};
// The status line under the list.
[[nodiscard]] std::string SummaryText(const FarmSummary& summary, int language);

class FarmModel
{
public:
    explicit FarmModel(std::size_t ceiling);

    // The inventory's machines, not yet answering, numbered in its order.
    void Load(const std::vector<MachineRecord>& machines);

    void BeginSearch();
    // A search reply: refreshes or adds the row (nullopt past the ceiling)
    // and gives the machine's record for the inventory; a row that was not
    // answering is up again.
    struct Placed
    {
        std::size_t row = 0;
        bool added = false;
        MachineRecord record;
        std::optional<FarmEvent> event;
    };
    [[nodiscard]] std::optional<Placed> ApplyReply(
        const protocol::DeviceRecord& record, int language, std::int64_t now);
    // Rows up that missed the search are not answering since `now`; rows
    // from the inventory that missed it as well.
    [[nodiscard]] std::vector<FarmEvent> EndSearch(std::int64_t now);

    // The poller's verdict on a machine.
    [[nodiscard]] std::optional<FarmEvent> ApplyPollEvent(const poller::StateEvent& event);
    // One poll round's hash rates and pools; returns the rows that changed.
    std::vector<std::size_t> ApplyRound(const std::vector<poller::MachineView>& machines);

    // Takes the rows off the list; the others keep their numbers.
    std::size_t Remove(const std::vector<std::string>& macs);

    [[nodiscard]] const std::vector<FarmRow>& Rows() const { return rows_; }
    [[nodiscard]] std::optional<std::size_t> Find(std::string_view mac) const;
    [[nodiscard]] FarmSummary Summary() const;
    // What the poller is to watch: every row with an address.
    [[nodiscard]] std::vector<poller::MachineInfo> PollTargets() const;

private:
    std::size_t Add(const std::string& mac);
    FarmEvent Move(FarmRow& row, RowState to, std::int64_t time, std::string reason);

    std::size_t ceiling_;
    std::vector<FarmRow> rows_;
    std::unordered_map<std::string, std::size_t> byMac_;
    int nextNumber_ = 1;
};

// The order of two rows by a column (< 0: a first), ascending: numbers by
// value, addresses by their numbers, run time by seconds, state by severity.
[[nodiscard]] int CompareRows(const FarmRow& a, const FarmRow& b, int column);

// The list as CSV (UTF-8, a header, "\n" line ends): the columns of the
// command line's search output and then hash rate, state, since, pool and
// last seen; rows in the order given.
[[nodiscard]] std::string FarmCsv(const std::vector<FarmRow>& rows, const std::vector<std::size_t>& order);

} // namespace quellis::farm
