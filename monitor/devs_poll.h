#pragma once

#include <string>
#include <string_view>

// One poll of a machine by the monitor, as a value: how far the "devs"
// exchange got, and what the monitor makes of that (its log line, whether
// the alarm sounds). The socket work is the worker's; the rules are here.

namespace quellis::monitor
{

// The request, exactly: no blank, no terminator.
inline constexpr std::string_view kDevsRequest = R"({"command":"devs"})";

enum class PollStep
{
    ConnectFailed, // error: the socket error of the connect
    SendClosed, // the machine reset or aborted the connection before the request went out
    ReceiveFailed, // no data: closed, an error, or nothing within the receive time-out
    ParseFailed, // not JSON
    NoStatus, // JSON without "STATUS", or not an object
    StatusArray, // "STATUS" is an array: description is its first element's "Description"
    StatusOther, // "STATUS" is there but not an array
};

struct PollOutcome
{
    PollOutcome(PollStep stepIn, int errorIn = 0)
        : step(stepIn)
        , error(errorIn)
    {
    }

    PollStep step = PollStep::ReceiveFailed;
    int error = 0;
    std::string description; // UTF-8
};

struct Reaction
{
    std::string log; // empty: nothing is logged
    bool alarm = false;
};

// The received bytes (up to the first NUL among them) read as a "devs"
// reply. Bounded by the length: a reply that fills the whole buffer has no
// terminator.
[[nodiscard]] PollOutcome ReadDevsReply(std::string_view received);

[[nodiscard]] Reaction ReactTo(const PollOutcome& outcome);

// Texts of the monitor.
namespace monitortext
{
inline constexpr std::string_view kSocketFailed = "监控线程创建套接字失败请检查\r\n";
inline constexpr const char* kConnecting = "将要连接设备 %s\r\n";
inline constexpr std::string_view kRefused = "请确认设备监听端口是否正确！\r\n";
inline constexpr std::string_view kTimedOut = "连接超时，请确认设备是否已掉电！\r\n";
inline constexpr const char* kUnknownError = "1未知错误：%d\r\n";
inline constexpr std::string_view kPeerClosed = "设备端已关闭连接！";
inline constexpr std::string_view kReceiveFailed = "设备端接收数据失败！";
inline constexpr std::string_view kNoStatus = "设备端接收数据解析失败！";
inline constexpr const char* kVersion = "设备版本信息%s\r\n";
} // namespace monitortext

} // namespace quellis::monitor
