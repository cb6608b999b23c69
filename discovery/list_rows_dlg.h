#pragma once

#include "core/window.h"

#include <string>
#include <vector>

namespace quellis::ui
{
class ListViewControl;
}

namespace quellis::discovery
{

// The rows of a device list control as the commands read them, from any
// thread (window calls): the plain device list and the farm view's list.
class ListRows : public core::DeviceListView
{
public:
    explicit ListRows(ui::ListViewControl* list)
        : list_(list)
    {
    }

    int RowCount() override;
    std::vector<int> SelectedRows() override;
    std::string CellText(int row, int column) override;
    std::vector<core::RowTarget> Targets(bool selectedOnly) override;
    void SelectAndFocusRow(int row) override;
    void FocusList() override;

protected:
    ui::ListViewControl* list_;
};

} // namespace quellis::discovery
