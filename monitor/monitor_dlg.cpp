#include "monitor/monitor_dlg.h"

#include "app/quellis_dlg.h"
#include "platform/profile/profile.h"
#include "resources/templates/dialog_templates.h"
#include "resources/templates/monitor_panel_ids.h"

#include <string>

namespace quellis::monitor
{

using namespace quellis::resources;

CDlgMonitor::CDlgMonitor(const std::filesystem::path& config, QWidget* owner)
    : ui::Dialog(kMonitorPanel, owner)
{
    // A child widget is shown with its parent unless it was hidden: in the
    // layout without a panel it must stay out of sight.
    hide();
    // The template gives the panel no caption; a screen reader names it so.
    setAccessibleName(QStringLiteral("监控面板"));
    interval_ = profile::ReadProfileInt("COMMON", "INTERVAL", 2000, config);
    netmask_ = profile::ReadProfileInt("COMMON", "NETMASK", -1, config);
    ipBegin_ = profile::ReadProfileInt("COMMON", "IPBEGIN", -1, config);
    ipEnd_ = profile::ReadProfileInt("COMMON", "IPEND", -1, config);
}

bool CDlgMonitor::OnInitDialog()
{
    ui::Dialog::OnInitDialog();
    SetItemText(kIdIntervalEdit, std::to_string(interval_.load()));
    SetItemText(kIdNetmaskEdit, std::to_string(netmask_));
    SetItemText(kIdIpBeginEdit, std::to_string(ipBegin_));
    SetItemText(kIdIpEndEdit, std::to_string(ipEnd_));
    return true;
}

void CDlgMonitor::OnCommand(int id, int code)
{
    if (code != ui::kBnClicked)
    {
        return;
    }
    if (id == kIdLanguageCheck && parent_ != nullptr)
    {
        parent_->SwitchLanguage(IsButtonChecked(kIdLanguageCheck));
    }
    else if (id == kIdMonitorCheck)
    {
        OnMonitorClicked();
    }
}

void CDlgMonitor::OnMonitorClicked()
{
}

} // namespace quellis::monitor
