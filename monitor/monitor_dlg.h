#pragma once

#include "platform/ui/dialog.h"

#include <filesystem>
#include <functional>

namespace quellis::monitor
{

// The side panel in the main dialog's left column: the language box, the
// receive filter's settings and the monitor function's controls. The object
// lives as long as the main dialog; its window is made (Create, as a child of
// the main dialog) only by the layouts that show a side panel.
class CDlgMonitor : public ui::Dialog
{
    Q_OBJECT

public:
    // Reads the receive filter's settings from config.ini. `owner` is the
    // main dialog: the panel stays hidden with it until Create.
    CDlgMonitor(const std::filesystem::path& configPath, QWidget* owner);

    // The main dialog gives its language switch right after it has created
    // the panel: the language box calls it with the box's new state.
    void SetLanguageHandler(std::function<void(int)> handler) { switchLanguage_ = std::move(handler); }
    // The panel's other buttons (the monitor box) go to the monitor
    // controller through this.
    void SetCommandHandler(std::function<void(int)> handler) { command_ = std::move(handler); }

    // Read from config.ini when the panel is constructed. The interval has
    // no copy here: the field shows config.ini's value when the panel is
    // made, and the monitor takes the field's when its box is ticked.
    [[nodiscard]] int Netmask() const { return netmask_; }
    [[nodiscard]] int IpBegin() const { return ipBegin_; }
    [[nodiscard]] int IpEnd() const { return ipEnd_; }

protected:
    bool OnInitDialog() override;
    void OnCommand(int id, int code) override;

private:
    std::function<void(int)> switchLanguage_;
    std::function<void(int)> command_;
    const std::filesystem::path configPath_;
    int netmask_ = -1;
    int ipBegin_ = -1;
    int ipEnd_ = -1;
};

} // namespace quellis::monitor
