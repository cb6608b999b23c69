#include "update/list_targets.h"

#include "discovery/device_table.h"

#include <algorithm>

namespace quellis::update
{

namespace
{

UpdateTarget RowTarget(core::DeviceListView& list, int row)
{
    return { list.CellText(row, discovery::kColumnIp), list.CellText(row, discovery::kColumnMac) };
}

} // namespace

std::optional<UpdateRefusal> SelectedRowTargets::Missing()
{
    return list_.SelectedRows().empty() ? std::optional(UpdateRefusal::NoSelection) : std::nullopt;
}

std::optional<UpdateTarget> SelectedRowTargets::Next()
{
    int row = next_;
    if (!started_)
    {
        started_ = true;
        const std::vector<int> selected = list_.SelectedRows();
        row = selected.empty() ? -1 : selected.front();
    }
    if (row < 0)
    {
        return std::nullopt;
    }
    // The next selected row is looked up before this one is handled.
    const std::vector<int> now = list_.SelectedRows();
    const auto next = std::upper_bound(now.begin(), now.end(), row);
    next_ = next == now.end() ? -1 : *next;
    return RowTarget(list_, row);
}

std::optional<UpdateRefusal> AllRowTargets::Missing()
{
    return list_.RowCount() == 0 ? std::optional(UpdateRefusal::NoRows) : std::nullopt;
}

std::optional<UpdateTarget> AllRowTargets::Next()
{
    if (count_ < 0)
    {
        count_ = list_.RowCount();
    }
    if (row_ >= count_)
    {
        return std::nullopt;
    }
    return RowTarget(list_, row_++);
}

} // namespace quellis::update
