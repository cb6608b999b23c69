#include "commands/commands_controller.h"

#include "resources/templates/main_dialog_ids.h"

#include <cstdio>

namespace quellis::commands
{

CommandsController::CommandsController(discovery::SharedState& state, core::Window& window)
    : state_(state)
    , window_(window)
{
}

bool CommandsController::OnMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t)
{
    if (message != resources::kWmDevSettingFailed)
    {
        return false;
    }
    ShowSettingFailure(static_cast<int>(wParam));
    return true;
}

std::string SettingFailureText(int result, const std::string& target)
{
    const char* format = nullptr;
    switch (result)
    {
    case 1:
        format = "设置终端%s IP失败：用户名不存在";
        break;
    case 2:
        format = "设置终端%s IP失败：密码错误";
        break;
    case 3:
        format = "设置终端%s IP失败：未知错误";
        break;
    default:
        break;
    }
    char text[160];
    if (format != nullptr)
    {
        std::snprintf(text, sizeof text, format, target.c_str());
    }
    else
    {
        // The machine named a reason of its own; it is shown with its number.
        std::snprintf(text, sizeof text, "设置终端%s IP失败：未知错误(%d)", target.c_str(), result);
    }
    return text;
}

void CommandsController::ShowSettingFailure(int result)
{
    window_.boxes.MessageBox(SettingFailureText(result, state_.currentTarget.Get()));
}

} // namespace quellis::commands
