#include "discovery/device_list_dlg.h"

#include "platform/text/codepage.h"
#include "platform/ui/list_view.h"

#include <cstdio>

namespace quellis::discovery
{

namespace
{

QString Shown(std::string_view deviceText)
{
    return QString::fromStdString(text::DeviceTextToUtf8(deviceText));
}

} // namespace

std::string VersionLine(int rowNumber, std::string_view ip, std::int32_t versionNumber)
{
    char line[160];
    const std::string shownIp = text::DeviceTextToUtf8(ip);
    std::snprintf(line, sizeof line, "%d Device %s server version %d.%d.%d\r\n", rowNumber, shownIp.c_str(),
        versionNumber / 10000, (versionNumber % 10000) / 100, versionNumber % 100);
    return line;
}

DeviceList::DeviceList(ui::ListViewControl* list, std::function<int()> language)
    : list_(list)
    , language_(std::move(language))
{
}

std::string DeviceList::Apply(const std::vector<DeviceRecord>& records)
{
    std::string versionLines;
    for (const DeviceRecord& record : records)
    {
        const bool runTimeKnown = record.IsFullRecord() && record.runSeconds > 0;
        std::vector<std::pair<int, QString>> cells = {
            { kColumnIp, Shown(record.ip) },
            { kColumnMask, Shown(record.mask) },
            { kColumnGateway, Shown(record.gateway) },
            { kColumnMac, Shown(record.mac) },
        };
        if (runTimeKnown)
        {
            cells.emplace_back(kColumnRunTime,
                QString::fromStdString(FormatRunTime(record.runSeconds, language_()).value_or(std::string())));
            cells.emplace_back(kColumnTemperature, QString::number(record.temperature));
        }
        cells.emplace_back(kColumnVersion, Shown(record.versionText));
        cells.emplace_back(kColumnHostName, Shown(SkipByteOrderMark(record.hostName)));

        // Rows are keyed by the MAC text as the list shows it.
        const std::string mac = text::DeviceTextToUtf8(record.mac);
        if (const auto row = index_.Find(mac))
        {
            // A known machine: its row is refreshed and nothing is logged.
            list_->SetItemCells(*row, cells);
            continue;
        }
        // A new machine: a row at the end, numbered once and never again.
        const int number = list_->ItemCount() + 1;
        std::vector<QString> row(9);
        row[kColumnIndex] = QString::number(number);
        for (auto& [column, text] : cells)
        {
            row[static_cast<std::size_t>(column)] = std::move(text);
        }
        const int added = list_->InsertItemCells(list_->ItemCount(), std::move(row));
        if (added < 0)
        {
            continue;
        }
        index_.Add(mac, added);
        if (runTimeKnown)
        {
            versionLines += VersionLine(number, record.ip, record.versionNumber);
        }
    }
    return versionLines;
}

void DeviceList::Clear()
{
    list_->DeleteAllItems();
    index_.Clear();
}

void DeviceList::SortByColumn(int column)
{
    bool ascending = false;
    if (!sortState_.Click(column, ascending))
    {
        return;
    }
    // Every row's sort key is its position now; the comparison reads the
    // column's texts by that key.
    const int count = list_->ItemCount();
    std::vector<std::string> texts(static_cast<std::size_t>(count));
    for (int row = 0; row < count; ++row)
    {
        list_->SetItemData(row, row);
        texts[static_cast<std::size_t>(row)] = list_->ItemText(row, column);
    }
    int (*compare)(std::string_view, std::string_view) = column == kColumnIp ? CompareAddress
        : column == kColumnRunTime                                           ? CompareRunTime
                                                                             : CompareHostName;
    list_->SortItems([&](std::intptr_t a, std::intptr_t b) {
        const int order = compare(texts[static_cast<std::size_t>(a)], texts[static_cast<std::size_t>(b)]);
        return ascending ? order : -order;
    });
    RebuildIndex();
}

void DeviceList::RebuildIndex()
{
    index_.Clear();
    for (int row = 0; row < list_->ItemCount(); ++row)
    {
        index_.Add(list_->ItemText(row, kColumnMac), row);
    }
}

int DeviceList::RowCount() const
{
    return list_->ItemCount();
}

std::string DeviceList::Text(int row, int column) const
{
    return list_->ItemText(row, column);
}

int DeviceList::RowOf(const std::string& mac) const
{
    return index_.Find(mac).value_or(-1);
}

} // namespace quellis::discovery
