#pragma once

#include "discovery/device_packet.h"
#include "discovery/device_table.h"

#include <functional>
#include <string>
#include <vector>

namespace quellis::ui
{
class ListViewControl;
}

namespace quellis::discovery
{

// The device list of the main dialog as the program keeps it: one row per
// machine, keyed by its MAC text. UI thread only; the reply thread hands it
// the records of a burst in one window call.
class DeviceList
{
public:
    // language() is read at each record, so rows refreshed after a switch of
    // language show the new units.
    DeviceList(ui::ListViewControl* list, std::function<int()> language);

    // Adds or refreshes the rows of the records in order and returns the
    // version lines of the rows added, one after the other.
    std::string Apply(const std::vector<DeviceRecord>& records);
    // Deletes every row (the search buttons).
    void Clear();
    // A click on a column header: sorts by it when it is a sortable column.
    void SortByColumn(int column);

    [[nodiscard]] int RowCount() const;
    [[nodiscard]] std::string Text(int row, int column) const;
    [[nodiscard]] int RowOf(const std::string& mac) const;

private:
    void RebuildIndex();

    ui::ListViewControl* list_;
    std::function<int()> language_;
    MacIndex index_;
    SortState sortState_;
};

// "%d Device %s server version %d.%d.%d\r\n"
[[nodiscard]] std::string VersionLine(int rowNumber, std::string_view ip, std::int32_t versionNumber);

} // namespace quellis::discovery
