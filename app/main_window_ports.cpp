#include "app/main_window_ports.h"

#include "app/quellis_dlg.h"
#include "app/write_log.h"
#include "controls/picture_ex.h"
#include "miner/pool_info_dlg.h"
#include "platform/ui/async_select.h"
#include "platform/ui/icons.h"
#include "platform/ui/message_box.h"
#include "platform/ui/window_call.h"
#include "platform/ui/window_class.h"

namespace quellis::app
{

void DialogControls::EnableItem(int id, bool enable)
{
    dialog_.EnableItem(id, enable);
}

bool DialogControls::IsItemEnabled(int id)
{
    return dialog_.IsItemEnabled(id);
}

void DialogControls::SetItemText(int id, std::string_view text)
{
    dialog_.SetItemText(id, text);
}

std::string DialogControls::ItemText(int id)
{
    return dialog_.ItemText(id);
}

void DialogControls::CheckButton(int id, int state)
{
    dialog_.CheckButton(id, state);
}

int DialogControls::IsButtonChecked(int id)
{
    return dialog_.IsButtonChecked(id);
}

void DialogControls::SetItemIcon(int id, int iconId)
{
    dialog_.SetItemIcon(id, iconId, ui::kSystemIconSize);
}

void DialogControls::SetFocusItem(int id)
{
    dialog_.SetFocusItem(id);
}

MainWindowPorts::MainWindowPorts(CQuellisDlg& dialog, core::DeviceListView& list, core::Alarm& alarm)
    : dialog_(dialog)
    , controls_(dialog)
    , window_ { list, *this, controls_, *this, *this, *this, *this, alarm }
{
}

void MainWindowPorts::WriteLog(core::LogColour colour, std::string_view text, bool toLogFile)
{
    app::WriteLog(colour, text, &dialog_, toLogFile ? 1 : 0);
}

int MainWindowPorts::MessageBox(std::string_view text, std::string_view caption, unsigned type)
{
    return ui::ShowMessageBox(&dialog_, text, caption, type);
}

std::optional<std::string> MainWindowPorts::OpenFile(std::string_view title, std::string_view filter)
{
    return ui::ShowOpenFileDialog(&dialog_, title, filter);
}

void MainWindowPorts::SetTimer(int id, int milliseconds)
{
    dialog_.SetTimer(id, milliseconds);
}

void MainWindowPorts::KillTimer(int id)
{
    dialog_.KillTimer(id);
}

void MainWindowPorts::PostMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    dialog_.PostMessage(message, wParam, lParam);
}

bool MainWindowPorts::SelectSocket(int socket, std::uint32_t message, std::intptr_t events)
{
    return ui::AsyncSelect(socket, events == 0 ? nullptr : &dialog_, message, events);
}

void MainWindowPorts::ReenableSocketEvent(int socket, std::intptr_t event)
{
    ui::ReenableAsyncEvent(socket, event);
}

void MainWindowPorts::Start()
{
    if (controls::CPictureEx* picture = dialog_.BusyPicture())
    {
        picture->StartAnimation();
    }
}

void MainWindowPorts::Stop()
{
    if (controls::CPictureEx* picture = dialog_.BusyPicture())
    {
        picture->StopAnimation();
    }
}

bool MainWindowPorts::IsCurrent()
{
    return ui::OnUiThread();
}

bool MainWindowPorts::Post(std::function<void()> fn)
{
    return ui::PostToUiThread(std::move(fn));
}

void MainWindowPorts::Join(sync::Thread& thread)
{
    ui::JoinServingCalls(thread);
}

bool CompanionWindowPort::PostToClass(
    std::string_view className, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    return ui::PostMessageToClass(std::string(className), message, wParam, lParam);
}

std::optional<miner::PoolSlots> PoolSettingsPort::Run()
{
    miner::CDlgPoolInfo dialog(configPath_, &owner_);
    if (dialog.DoModal() != ui::kIdOk)
    {
        return std::nullopt;
    }
    return dialog.Slots();
}

} // namespace quellis::app
