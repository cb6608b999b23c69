#pragma once

#include "platform/ui/dialog.h"

#include <atomic>

namespace quellis::app
{
class CQuellisDlg;
}

namespace quellis::monitor
{

// The side panel in the main dialog's left column: the language box, the
// receive filter's settings and the monitor function's controls.
class CDlgMonitor : public ui::Dialog
{
    Q_OBJECT

public:
    explicit CDlgMonitor(app::CQuellisDlg* parent);

    void SetParentDialog(app::CQuellisDlg* parent) { parent_ = parent; }

    // Read from config.ini when the panel is constructed.
    [[nodiscard]] int Interval() const { return interval_.load(); }
    [[nodiscard]] int Netmask() const { return netmask_; }
    [[nodiscard]] int IpBegin() const { return ipBegin_; }
    [[nodiscard]] int IpEnd() const { return ipEnd_; }

protected:
    bool OnInitDialog() override;
    void OnCommand(int id, int code) override;

private:
    // The monitor check box; the polling comes with the monitoring subsystem.
    void OnMonitorClicked();

    app::CQuellisDlg* parent_ = nullptr;
    std::atomic<int> interval_{ 2000 };
    int netmask_ = -1;
    int ipBegin_ = -1;
    int ipEnd_ = -1;
};

} // namespace quellis::monitor
