#include "monitor/monitor_dlg.h"

#include "core/settings.h"
#include "resources/templates/dialog_templates.h"
#include "resources/templates/monitor_panel_ids.h"

#include <string>

namespace quellis::monitor
{

using namespace quellis::resources;

CDlgMonitor::CDlgMonitor(const std::filesystem::path& config, QWidget* owner)
    : ui::Dialog(kMonitorPanel, owner)
    , configPath_(config)
{
    // A child widget is shown with its parent unless it was hidden: in the
    // layout without a panel it must stay out of sight.
    hide();
    // The template gives the panel no caption; a screen reader names it so.
    setAccessibleName(QStringLiteral("监控面板"));
    netmask_ = core::ReadSetting(core::settings::kNetmask, config);
    ipBegin_ = core::ReadSetting(core::settings::kIpBegin, config);
    ipEnd_ = core::ReadSetting(core::settings::kIpEnd, config);
}

bool CDlgMonitor::OnInitDialog()
{
    ui::Dialog::OnInitDialog();
    SetItemText(kIdIntervalEdit, std::to_string(core::ReadSetting(core::settings::kInterval, configPath_)));
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
    if (id == kIdLanguageCheck && switchLanguage_)
    {
        switchLanguage_(IsButtonChecked(kIdLanguageCheck));
    }
    else if (id != kIdLanguageCheck && command_)
    {
        command_(id);
    }
}

} // namespace quellis::monitor
