#include "discovery/list_rows_dlg.h"

#include "discovery/device_table.h"
#include "platform/ui/list_view.h"
#include "platform/ui/window_call.h"

namespace quellis::discovery
{

int ListRows::RowCount()
{
    return ui::WindowCall([&] { return list_->ItemCount(); });
}

std::vector<int> ListRows::SelectedRows()
{
    return ui::WindowCall(
        [&]
        {
            std::vector<int> rows;
            for (int row = list_->NextSelected(ui::kListNone); row != ui::kListNone; row = list_->NextSelected(row))
            {
                rows.push_back(row);
            }
            return rows;
        });
}

std::string ListRows::CellText(int row, int column)
{
    return ui::WindowCall([&] { return list_->ItemText(row, column); });
}

std::vector<core::RowTarget> ListRows::Targets(bool selectedOnly)
{
    return ui::WindowCall(
        [&]
        {
            std::vector<core::RowTarget> targets;
            const auto add = [&](int row) {
                targets.push_back({ row, list_->ItemText(row, kColumnIp), list_->ItemText(row, kColumnMac) });
            };
            if (selectedOnly)
            {
                for (int row = list_->NextSelected(ui::kListNone); row != ui::kListNone; row = list_->NextSelected(row))
                {
                    add(row);
                }
            }
            else
            {
                const int count = list_->ItemCount();
                targets.reserve(static_cast<std::size_t>(count));
                for (int row = 0; row < count; ++row)
                {
                    add(row);
                }
            }
            return targets;
        });
}

void ListRows::SelectAndFocusRow(int row)
{
    ui::WindowCall(
        [&]
        {
            list_->setFocus();
            list_->SetItemState(row, ui::kItemSelected | ui::kItemFocused, ui::kItemSelected | ui::kItemFocused);
            return true;
        });
}

void ListRows::FocusList()
{
    ui::WindowCall(
        [&]
        {
            list_->setFocus();
            return true;
        });
}

} // namespace quellis::discovery
