#include "farm/farm_model.h"

#include "discovery/device_table.h"
#include "farm/time_text.h"
#include "platform/net/ipv4.h"
#include "platform/text/codepage.h"
#include "platform/text/csv_field.h"

#include <algorithm>
#include <cstdio>
#include <unordered_set>

namespace quellis::farm
{

namespace
{

using discovery::kColumnGateway;
using discovery::kColumnHostName;
using discovery::kColumnIndex;
using discovery::kColumnIp;
using discovery::kColumnMac;
using discovery::kColumnMask;
using discovery::kColumnRunTime;
using discovery::kColumnTemperature;
using discovery::kColumnVersion;

constexpr int kChinese = 1;

std::string HashRateText(const std::optional<double>& rate)
{
    if (!rate)
    {
        return {};
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", *rate);
    return text;
}

// The order of severity, for sorting: the rows that need a look first when
// sorted descending.
int Severity(RowState state)
{
    switch (state)
    {
    case RowState::Up:
        return 0;
    case RowState::NotYetAnswering:
        return 1;
    case RowState::NotAnswering:
        return 2;
    case RowState::Down:
        return 3;
    }
    return 0;
}

template <typename T> int Compare(const T& a, const T& b)
{
    return a < b ? -1 : b < a ? 1 : 0;
}

} // namespace

std::string_view StateName(RowState state)
{
    switch (state)
    {
    case RowState::NotYetAnswering:
        return "not yet answering";
    case RowState::Up:
        return "up";
    case RowState::Down:
        return "down";
    case RowState::NotAnswering:
        return "not answering";
    }
    return "";
}

std::string StateText(RowState state, std::int64_t since, int language)
{
    const bool chinese = language == kChinese;
    std::string text;
    switch (state)
    {
    case RowState::NotYetAnswering:
        return chinese ? "尚未应答" : "not yet answering";
    case RowState::Up:
        text = chinese ? "正常" : "up";
        break;
    // A word as well as the colour, for operators who do not see the colour.
    case RowState::Down:
        text = chinese ? "✖ 掉线" : "✖ DOWN";
        break;
    case RowState::NotAnswering:
        text = chinese ? "? 无应答" : "? not answering";
        break;
    }
    if (since > 0)
    {
        text += (chinese ? "，自 " : " since ") + LocalTimeText(since);
    }
    return text;
}

std::array<std::string_view, 4> FarmHeaders(int language)
{
    if (language == kChinese)
    {
        return { "算力(TH/s)", "状态", "矿池", "最后在线" };
    }
    return { "Hash rate (TH/s)", "State", "Pool", "Last seen" };
}

std::string CellText(const FarmRow& row, int column, int language)
{
    if (column >= 0 && column < kColumnHashRate)
    {
        return row.cells[static_cast<std::size_t>(column)];
    }
    switch (column)
    {
    case kColumnHashRate:
        return HashRateText(row.hashRate);
    case kColumnState:
        return StateText(row.state, row.since, language);
    case kColumnPool:
        return row.pool;
    case kColumnLastSeen:
        return row.lastSeen > 0 ? LocalTimeText(row.lastSeen) : std::string();
    default:
        return {};
    }
}

std::string EventLine(const FarmEvent& event)
{
    std::string line = event.address + " " + event.mac + ": " + std::string(StateName(event.from)) + " -> "
        + std::string(StateName(event.to));
    if (!event.reason.empty())
    {
        line += " (" + event.reason + ")";
    }
    return line + "\r\n";
}

StateChange ToChange(const FarmEvent& event)
{
    return {
        event.time, event.mac, std::string(StateName(event.from)), std::string(StateName(event.to)), event.reason
    };
}

std::string SummaryText(const FarmSummary& summary, int language)
{
    char text[256];
    if (language == kChinese)
    {
        std::snprintf(text,
            sizeof text,
            "共 %zu 台，正常 %zu，掉线 %zu，无应答 %zu，总算力 %.2f TH/s",
            summary.listed,
            summary.up,
            summary.down,
            summary.notAnswering,
            summary.hashRate);
    }
    else
    {
        std::snprintf(text,
            sizeof text,
            "%zu listed, %zu up, %zu down, %zu not answering, total %.2f TH/s",
            summary.listed,
            summary.up,
            summary.down,
            summary.notAnswering,
            summary.hashRate);
    }
    return text;
}

FarmModel::FarmModel(std::size_t ceiling)
    : ceiling_(ceiling)
{
}

std::size_t FarmModel::Add(const std::string& mac)
{
    FarmRow row;
    row.number = nextNumber_++;
    row.mac = mac;
    row.cells[kColumnIndex] = std::to_string(row.number);
    row.cells[kColumnMac] = mac;
    rows_.push_back(std::move(row));
    byMac_.emplace(mac, rows_.size() - 1);
    return rows_.size() - 1;
}

FarmEvent FarmModel::Move(FarmRow& row, RowState to, std::int64_t time, std::string reason)
{
    FarmEvent event { time, row.mac, row.cells[kColumnIp], row.state, to, std::move(reason), false };
    row.state = to;
    row.since = time;
    if (to == RowState::Down && !row.alarmed)
    {
        // One alarm per outage: it ends only when the machine is up again.
        row.alarmed = true;
        event.alarm = true;
    }
    else if (to == RowState::Up)
    {
        row.alarmed = false;
    }
    if (to != RowState::Up)
    {
        row.hashRate.reset();
    }
    return event;
}

void FarmModel::Load(const std::vector<MachineRecord>& machines)
{
    for (const MachineRecord& machine : machines)
    {
        if (rows_.size() >= ceiling_ || machine.mac.empty() || byMac_.count(machine.mac) > 0)
        {
            continue;
        }
        FarmRow& row = rows_[Add(machine.mac)];
        row.cells[kColumnIp] = machine.address;
        row.cells[kColumnVersion] = machine.version;
        row.firstSeen = machine.firstSeen;
        row.lastSeen = machine.lastSeen;
        // A machine down when the program ended is still in the same outage.
        row.alarmed = machine.state == StateName(RowState::Down);
    }
}

void FarmModel::BeginSearch()
{
    for (FarmRow& row : rows_)
    {
        row.seenThisSearch = false;
    }
}

std::optional<FarmModel::Placed> FarmModel::ApplyReply(
    const protocol::DeviceRecord& record, int language, std::int64_t now)
{
    // Keyed by the MAC text as the list shows it, as the device list is.
    const std::string mac = text::DeviceTextToUtf8(record.mac);
    Placed placed;
    if (const auto known = Find(mac))
    {
        placed.row = *known;
    }
    else if (rows_.size() >= ceiling_)
    {
        return std::nullopt;
    }
    else
    {
        placed.row = Add(mac);
        placed.added = true;
    }
    FarmRow& row = rows_[placed.row];
    for (auto& [column, text] : discovery::RecordCells(record, language))
    {
        row.cells[static_cast<std::size_t>(column)] = std::move(text);
    }
    if (discovery::RunTimeKnown(record))
    {
        row.runSeconds = record.runSeconds;
    }
    row.seenThisSearch = true;
    row.lastSeen = now;
    if (row.firstSeen == 0)
    {
        row.firstSeen = now;
    }
    if (row.state == RowState::NotAnswering || row.state == RowState::NotYetAnswering)
    {
        placed.event = Move(row, RowState::Up, now, "search");
    }
    placed.record = { row.mac,
        row.cells[kColumnIp],
        row.firstSeen,
        row.lastSeen,
        row.cells[kColumnVersion],
        std::string(StateName(row.state)),
        row.since };
    return placed;
}

std::vector<FarmEvent> FarmModel::EndSearch(std::int64_t now)
{
    std::vector<FarmEvent> events;
    for (FarmRow& row : rows_)
    {
        // A machine down stays down: the poller tells when it is back.
        if (!row.seenThisSearch && (row.state == RowState::Up || row.state == RowState::NotYetAnswering))
        {
            events.push_back(Move(row, RowState::NotAnswering, now, "missed search"));
        }
    }
    return events;
}

std::optional<FarmEvent> FarmModel::ApplyPollEvent(const poller::StateEvent& event)
{
    const auto found = Find(event.mac);
    if (!found || event.transition.to == poller::MachineState::Unknown)
    {
        return std::nullopt;
    }
    FarmRow& row = rows_[*found];
    const RowState to = event.transition.to == poller::MachineState::Up ? RowState::Up : RowState::Down;
    if (row.state == to)
    {
        return std::nullopt;
    }
    const auto time = std::chrono::duration_cast<std::chrono::seconds>(event.time.time_since_epoch()).count();
    return Move(row, to, time, std::string(poller::FailureName(event.transition.reason)));
}

std::vector<std::size_t> FarmModel::ApplyRound(const std::vector<poller::MachineView>& machines)
{
    std::vector<std::size_t> changed;
    for (const poller::MachineView& view : machines)
    {
        const auto found = Find(view.info.mac);
        if (!found)
        {
            continue;
        }
        FarmRow& row = rows_[*found];
        std::optional<double> rate;
        if (view.state == poller::MachineState::Up && view.mhsAv)
        {
            rate = *view.mhsAv / 1e6;
        }
        const bool poolChanged = view.pool && *view.pool != row.pool;
        if (rate != row.hashRate || poolChanged)
        {
            row.hashRate = rate;
            if (poolChanged)
            {
                row.pool = *view.pool;
            }
            changed.push_back(*found);
        }
    }
    return changed;
}

std::size_t FarmModel::Remove(const std::vector<std::string>& macs)
{
    const std::unordered_set<std::string> gone(macs.begin(), macs.end());
    const std::size_t before = rows_.size();
    std::erase_if(rows_, [&](const FarmRow& row) { return gone.count(row.mac) > 0; });
    byMac_.clear();
    for (std::size_t i = 0; i < rows_.size(); ++i)
    {
        byMac_.emplace(rows_[i].mac, i);
    }
    return before - rows_.size();
}

std::optional<std::size_t> FarmModel::Find(std::string_view mac) const
{
    const auto it = byMac_.find(std::string(mac));
    return it == byMac_.end() ? std::nullopt : std::optional<std::size_t>(it->second);
}

FarmSummary FarmModel::Summary() const
{
    FarmSummary summary;
    summary.listed = rows_.size();
    for (const FarmRow& row : rows_)
    {
        summary.up += row.state == RowState::Up ? 1 : 0;
        summary.down += row.state == RowState::Down ? 1 : 0;
        summary.notAnswering += row.state == RowState::NotAnswering || row.state == RowState::NotYetAnswering ? 1 : 0;
        summary.hashRate += row.hashRate.value_or(0);
    }
    return summary;
}

std::vector<poller::MachineInfo> FarmModel::PollTargets() const
{
    std::vector<poller::MachineInfo> targets;
    targets.reserve(rows_.size());
    for (const FarmRow& row : rows_)
    {
        const auto address = net::ParseIpv4(row.cells[kColumnIp]);
        if (!address)
        {
            continue;
        }
        poller::MachineInfo info;
        info.address = *address;
        info.mac = row.mac;
        info.host = row.cells[kColumnHostName];
        info.version = row.cells[kColumnVersion];
        if (row.lastSeen > 0)
        {
            info.lastSeenUnix = row.lastSeen;
        }
        targets.push_back(std::move(info));
    }
    return targets;
}

int CompareRows(const FarmRow& a, const FarmRow& b, int column)
{
    const auto cell
        = [](const FarmRow& row, int c) -> const std::string& { return row.cells[static_cast<std::size_t>(c)]; };
    switch (column)
    {
    case kColumnIndex:
        return Compare(a.number, b.number);
    case kColumnIp:
    case kColumnMask:
    case kColumnGateway:
        // The addresses in the usual order of their four numbers.
        return Compare(net::ParseIpv4(cell(a, column)).value_or(0xFFFFFFFFu),
            net::ParseIpv4(cell(b, column)).value_or(0xFFFFFFFFu));
    case kColumnRunTime:
        return Compare(a.runSeconds, b.runSeconds);
    case kColumnTemperature:
        return Compare(std::atoi(cell(a, column).c_str()), std::atoi(cell(b, column).c_str()));
    case kColumnHostName:
        return discovery::CompareHostName(cell(a, column), cell(b, column));
    case kColumnHashRate:
        return Compare(a.hashRate.value_or(-1), b.hashRate.value_or(-1));
    case kColumnState:
        if (const int bySeverity = Compare(Severity(a.state), Severity(b.state)); bySeverity != 0)
        {
            return bySeverity;
        }
        return Compare(a.since, b.since);
    case kColumnPool:
        return Compare(a.pool, b.pool);
    case kColumnLastSeen:
        return Compare(a.lastSeen, b.lastSeen);
    case kColumnMac:
    case kColumnVersion:
        return Compare(cell(a, column), cell(b, column));
    default:
        return 0;
    }
}

std::string FarmCsv(const std::vector<FarmRow>& rows, const std::vector<std::size_t>& order)
{
    std::string out = "Index,IP,Mask,Gateway,MAC,Run time,Run seconds,Temperature,Version,Host name,"
                      "Hash rate (TH/s),State,Since,Pool,Last seen\n";
    for (const std::size_t index : order)
    {
        if (index >= rows.size())
        {
            continue;
        }
        const FarmRow& row = rows[index];
        const std::string fields[] = { row.cells[kColumnIndex],
            row.cells[kColumnIp],
            row.cells[kColumnMask],
            row.cells[kColumnGateway],
            row.cells[kColumnMac],
            row.cells[kColumnRunTime],
            row.runSeconds >= 0 ? std::to_string(row.runSeconds) : std::string(),
            row.cells[kColumnTemperature],
            row.cells[kColumnVersion],
            row.cells[kColumnHostName],
            HashRateText(row.hashRate),
            std::string(StateName(row.state)),
            row.since > 0 ? LocalTimeText(row.since) : std::string(),
            row.pool,
            row.lastSeen > 0 ? LocalTimeText(row.lastSeen) : std::string() };
        for (std::size_t i = 0; i < std::size(fields); ++i)
        {
            out += (i == 0 ? "" : ",") + text::CsvField(fields[i]);
        }
        out += '\n';
    }
    return out;
}

} // namespace quellis::farm
