#pragma once

#include "core/log_colour.h"
#include "core/window.h"
#include "protocol/reply_dispatch.h"

#include <string>
#include <string_view>

// The answers to the tests, the system command, the names and the network
// settings, registered with the reply dispatcher: their log lines, lamps,
// buttons and timers. What they do to the window is behind
// CommandReplyEffects, which the commands controller implements.

namespace quellis::commands
{

class CommandReplyEffects
{
public:
    virtual ~CommandReplyEffects() = default;
    // Posted to the main window: a network setting of the current target failed.
    virtual void PostSettingFailed(int result) = 0;
    virtual bool IsButtonEnabled(int id) = 0;
    virtual void EnableButton(int id) = 0;
    // The run that the answer ended gives back its hold on the busy animation.
    virtual void ReleaseBusyAnimation(core::BusyRun run) = 0;
    virtual void KillTimer(int id) = 0;
    virtual void SetLamp(int id, bool lit) = 0;
    virtual void Log(core::LogColour colour, std::string_view text, bool toFile) = 0;
    // The target of the request sent last.
    virtual std::string CurrentTarget() = 0;
};

// Reply thread, for every handler; `effects` outlives the dispatcher's use.
void RegisterCommandReplies(protocol::ReplyDispatcher& dispatcher, CommandReplyEffects& effects);

// Texts of the log lines (UTF-8).
namespace replytext
{
inline constexpr std::string_view kLedTestDone = "LED灯测试结束\r\n";
inline constexpr const char* kSerialTestDone = "串口测试结束%d个串口正常\r\n";
inline constexpr const char* kCommandDone = "设备%s系统命令运行结束\r\n";
inline constexpr const char* kCommandResult = "运行结果[%d]:\r\n%s\r\n";
inline constexpr std::string_view kNameSet = "设置名字成功\r\n";
inline constexpr std::string_view kNameNotSet = "设置名字失败\r\n";
inline constexpr const char* kNameRead = "读取名字成功 %s\r\n";
inline constexpr std::string_view kNameNotRead = "读取名字失败\r\n";
} // namespace replytext

} // namespace quellis::commands
