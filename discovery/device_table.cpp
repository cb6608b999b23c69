#include "discovery/device_table.h"

#include "platform/net/ipv4.h"
#include "platform/text/codepage.h"

#include <cstdio>

namespace quellis::discovery
{

using namespace quellis::protocol;

namespace
{

int Sign(long long value)
{
    return value < 0 ? -1 : value > 0 ? 1 : 0;
}

unsigned char FoldAscii(unsigned char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

} // namespace

std::optional<std::string> FormatRunTime(std::int32_t seconds, int language)
{
    if (seconds < 0)
    {
        return std::nullopt;
    }
    const int d = seconds / 86400;
    const int h = (seconds % 86400) / 3600;
    const int m = (seconds % 3600) / 60;
    const int s = seconds % 60;
    const bool chinese = language == 1;
    char text[64];
    if (seconds < 60)
    {
        std::snprintf(text, sizeof text, chinese ? "%d秒" : "%dS", s);
    }
    else if (seconds < 3600)
    {
        std::snprintf(text, sizeof text, chinese ? "%d分%02d秒" : "%dM%02dS", m, s);
    }
    else if (seconds < 86400)
    {
        std::snprintf(text, sizeof text, chinese ? "%d时%02d分%02d秒" : "%dH%02dM%02dS", h, m, s);
    }
    else
    {
        std::snprintf(text, sizeof text, chinese ? "%d天%02d时%02d分%02d秒" : "%dD%02dH%02dM%02dS", d, h, m, s);
    }
    return std::string(text);
}

std::uint32_t AddressSortKey(std::string_view ipText)
{
    const std::uint32_t address = net::InetAddr(ipText);
    // The byte order of the address as stored on the wire read as a number:
    // the first number in the least significant byte.
    return ((address & 0xFF) << 24) | ((address & 0xFF00) << 8) | ((address >> 8) & 0xFF00) | (address >> 24);
}

int CompareAddress(std::string_view a, std::string_view b)
{
    const std::uint32_t keyA = AddressSortKey(a);
    const std::uint32_t keyB = AddressSortKey(b);
    return keyA < keyB ? -1 : keyA > keyB ? 1 : 0;
}

int CompareRunTime(std::string_view a, std::string_view b)
{
    const std::string bytesA = text::Utf8ToCp936(a);
    const std::string bytesB = text::Utf8ToCp936(b);
    if (bytesA.size() != bytesB.size())
    {
        return bytesA.size() < bytesB.size() ? -1 : 1;
    }
    const auto leading = [](const std::string& text)
    {
        long long value = 0;
        for (const char c : text)
        {
            if (c < '0' || c > '9' || value > 100000000000LL)
            {
                break;
            }
            value = value * 10 + (c - '0');
        }
        return value;
    };
    return Sign(leading(bytesA) - leading(bytesB));
}

int CompareHostName(std::string_view a, std::string_view b)
{
    const std::string bytesA = text::Utf8ToCp936(a);
    const std::string bytesB = text::Utf8ToCp936(b);
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < bytesA.size() && j < bytesB.size())
    {
        const std::size_t lengthA = text::Cp936CharLength(bytesA, i);
        const std::size_t lengthB = text::Cp936CharLength(bytesB, j);
        // A double-byte character's trail byte may look like a letter: only
        // single-byte characters are folded.
        for (std::size_t k = 0; k < std::max(lengthA, lengthB); ++k)
        {
            unsigned char ca = k < lengthA ? static_cast<unsigned char>(bytesA[i + k]) : 0;
            unsigned char cb = k < lengthB ? static_cast<unsigned char>(bytesB[j + k]) : 0;
            if (lengthA == 1)
            {
                ca = FoldAscii(ca);
            }
            if (lengthB == 1)
            {
                cb = FoldAscii(cb);
            }
            if (ca != cb)
            {
                return ca < cb ? -1 : 1;
            }
        }
        i += lengthA;
        j += lengthB;
    }
    return Sign(static_cast<long long>(bytesA.size() - i) - static_cast<long long>(bytesB.size() - j));
}

bool SortState::Click(int column, bool& ascending)
{
    bool* flag = nullptr;
    switch (column)
    {
    case kColumnIp:
        flag = &addressAscending_;
        break;
    case kColumnRunTime:
        flag = &runTimeAscending_;
        break;
    case kColumnHostName:
        flag = &hostNameAscending_;
        break;
    default:
        return false;
    }
    lastColumn_ = column;
    ascending = *flag;
    *flag = !*flag;
    return true;
}

std::optional<int> MacIndex::Find(std::string_view mac) const
{
    const auto found = rows_.find(mac);
    if (found == rows_.end())
    {
        return std::nullopt;
    }
    return found->second;
}

void MacIndex::Add(std::string_view mac, int row)
{
    rows_.insert_or_assign(std::string(mac), row);
}

bool RunTimeKnown(const DeviceRecord& record)
{
    return record.IsFullRecord() && record.runSeconds > 0;
}

RowCells RecordCells(const DeviceRecord& record, int language)
{
    RowCells cells = {
        { kColumnIp, text::DeviceTextToUtf8(record.ip) },
        { kColumnMask, text::DeviceTextToUtf8(record.mask) },
        { kColumnGateway, text::DeviceTextToUtf8(record.gateway) },
        { kColumnMac, text::DeviceTextToUtf8(record.mac) },
    };
    if (RunTimeKnown(record))
    {
        cells.emplace_back(kColumnRunTime, FormatRunTime(record.runSeconds, language).value_or(std::string()));
        cells.emplace_back(kColumnTemperature, std::to_string(record.temperature));
    }
    cells.emplace_back(kColumnVersion, text::DeviceTextToUtf8(record.versionText));
    cells.emplace_back(kColumnHostName, text::DeviceTextToUtf8(SkipByteOrderMark(record.hostName)));
    return cells;
}

std::string RowCeilingLine()
{
    char line[160];
    std::snprintf(line, sizeof line, "设备列表已达上限%d台，不再添加新设备\r\n", kMaxDeviceRows);
    return line;
}

std::string VersionLine(int rowNumber, std::string_view ip, std::int32_t versionNumber)
{
    char line[160];
    const std::string shownIp = text::DeviceTextToUtf8(ip);
    std::snprintf(line,
        sizeof line,
        "%d Device %s server version %d.%d.%d\r\n",
        rowNumber,
        shownIp.c_str(),
        versionNumber / 10000,
        (versionNumber % 10000) / 100,
        versionNumber % 100);
    return line;
}

std::optional<PlacedRecord> PlaceRecord(const protocol::DeviceRecord& record,
    int language,
    int nextRow,
    MacIndex& index,
    bool& ceilingLogged,
    std::string& lines)
{
    // Rows are keyed by the MAC text as the list shows it.
    const std::string mac = text::DeviceTextToUtf8(record.mac);
    if (const std::optional<int> known = index.Find(mac))
    {
        // A known machine: its row is refreshed and nothing is logged.
        return PlacedRecord { *known, false, RecordCells(record, language) };
    }
    if (nextRow >= kMaxDeviceRows)
    {
        if (!ceilingLogged)
        {
            ceilingLogged = true;
            lines += RowCeilingLine();
        }
        return std::nullopt;
    }
    PlacedRecord placed { nextRow, true, { { kColumnIndex, std::to_string(nextRow + 1) } } };
    RowCells cells = RecordCells(record, language);
    placed.cells.insert(placed.cells.end(), cells.begin(), cells.end());
    index.Add(mac, nextRow);
    if (RunTimeKnown(record))
    {
        lines += VersionLine(nextRow + 1, record.ip, record.versionNumber);
    }
    return placed;
}

} // namespace quellis::discovery
