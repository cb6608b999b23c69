#pragma once

#include "platform/net/socket.h"
#include "protocol/device_packet.h"

#include <json/json.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The miner API of one machine: its mining software answers one JSON request
// per connection on TCP 4029. The client carries out one exchange (connect,
// one send, one receive, close); the readers check a reply and turn the
// values the batch runs show into log lines. Texts here are the bytes on the
// wire (code page 936 or whatever the machine sent); the callers convert.

namespace quellis::miner
{

using protocol::kMinerApiPort;
// One run's exchange buffer: the request is formatted into it and the reply
// received into it.
inline constexpr std::size_t kExchangeBufferSize = 1024 * 1024;
inline constexpr std::chrono::milliseconds kExchangeTimeout { 2000 };

enum class ExchangeResult
{
    Ok,
    SocketFailed,
    ConnectFailed,
    SendFailed,
    ReceiveFailed,
};

struct Exchanged
{
    ExchangeResult result = ExchangeResult::SocketFailed;
    int error = 0; // the socket error of ConnectFailed
    std::string_view reply; // Ok with a reply: in the client's buffer, valid until the next exchange
};

struct ClientOptions
{
    std::uint16_t port = kMinerApiPort;
    // A machine that is switched off costs this long, not the system's minutes.
    std::chrono::milliseconds connectTimeout = net::kConnectTimeout;
    std::chrono::milliseconds sendReceiveTimeout = kExchangeTimeout;
};

// The request texts, byte for byte as the mining software expects them: one
// blank after each colon and the comma, texts as typed (no escaping), nothing
// before or after.
[[nodiscard]] std::string PoolsRequest();
[[nodiscard]] std::string SummaryRequest();
[[nodiscard]] std::string TemperatureRequest(int low, int high);
// Without a parameter the command goes alone.
[[nodiscard]] std::string CommandRequest(std::string_view command, std::string_view parameter);

// One client per run: it owns the run's 1 MiB exchange buffer. Exchange runs
// on the run's thread; Cancel may be called from any other.
class MinerApiClient
{
public:
    explicit MinerApiClient(ClientOptions options = {});
    MinerApiClient(const MinerApiClient&) = delete;
    MinerApiClient& operator=(const MinerApiClient&) = delete;

    // Connects to ip:port, sends the request in one call, and unless no reply
    // is expected receives once; the socket is closed before it returns. The
    // reply is the received bytes up to the first NUL among them. A request
    // that does not fit the buffer is a SendFailed without a connection.
    [[nodiscard]] Exchanged Exchange(std::string_view ip, std::string_view request, bool expectReply);

    // Ends the exchange in progress at once and makes every later one a
    // SocketFailed (which logs nothing): the run is being torn down.
    void Cancel();

private:
    const ClientOptions options_;
    std::vector<char> buffer_;
    std::atomic<bool> cancelled_ { false };
    std::mutex activeLock_;
    net::Socket* active_ = nullptr;
};

enum class SectionResult
{
    Ok,
    ParseFailed,
    NoStatus,
    NotArray,
};

struct ParsedSection
{
    SectionResult result = SectionResult::ParseFailed;
    Json::Value section; // the array, for Ok
};

// Nesting deeper than this is refused before the parser sees it, so that its
// recursion stays bounded whatever a machine sends.
inline constexpr int kMaxJsonDepth = 512;

// Parses with jsoncpp's Reader as the mining software's replies were always
// read (comments allowed, any root, comments collected), then checks "STATUS"
// and the named section ("POOLS", "SUMMARY"). Reads no byte past the reply.
[[nodiscard]] ParsedSection ParseSection(std::string_view reply, const char* name);

// The "Msg" of a reply whose status says "E" (error) or "F" (fatal): the
// "STATUS" member, or the first element of it, with such a "STATUS". Nothing
// for any other reply, one that is not JSON included.
[[nodiscard]] std::optional<std::string> ErrorStatus(std::string_view reply);

// Every pool of a "POOLS" section in its order, one line each:
// "PRIORITY URL USER" (a priority that is not a number shows as "-").
[[nodiscard]] std::string ReadPoolList(const Json::Value& pools);

// The first pool of every "POOLS" element of priority 0 (a run over all
// machines): one line each. A "Priority" that is a string, an array or an
// object is not 0.
[[nodiscard]] std::string ReadFirstMinerAll(const Json::Value& pools, std::string_view ip);
// Element 0 only, whatever its priority (a run over selected machines).
[[nodiscard]] std::string ReadFirstMinerSelected(const Json::Value& pools, std::string_view ip);
// The pool a machine mines on: the first element whose "Stratum Active" is
// true, else the first of priority 0 (as the first-miner run reads it); its
// URL and user as shown, or nothing when neither has both as texts.
struct ActivePool
{
    std::string url;
    std::string user;
};
[[nodiscard]] std::optional<ActivePool> ReadActivePool(const Json::Value& pools);
// "MHS av" of element 0 when it is a real number.
[[nodiscard]] std::string ReadHashRate(const Json::Value& summary, std::string_view ip);

// The log text of a failed exchange (nothing for SocketFailed); a run over
// selected machines writes the send and receive failures without a line break.
[[nodiscard]] std::string ExchangeFailureText(ExchangeResult result, int error, std::string_view ip, bool allMachines);
// The log text of a failed section check; NoStatus also sounds the alarm.
[[nodiscard]] std::string_view SectionFailureText(SectionResult result);

namespace minertext
{
inline constexpr const char* kRefused = "请确认设备%s已经打开并监听相应端口！\r\n";
inline constexpr std::string_view kConnectTimedOut = "连接超时，请确认服务器端是否启动！\r\n";
inline constexpr const char* kUnknownError = "操作设备%s，未知错误：%d\r\n";
inline constexpr std::string_view kSendFailed = "发送命令出错";
inline constexpr std::string_view kReceiveFailed = "接收命令执行结果出错";
inline constexpr std::string_view kParseFailed = "设备端接收数据解析失败！\r\n";
inline constexpr std::string_view kNoStatus = "设备端接收数据解析出错！";
inline constexpr std::string_view kNotArray = "设备端接收数据格式错误！\r\n";
inline constexpr std::string_view kNoPoolInformation = "未能发现矿池信息\r\n";
inline constexpr std::string_view kNoHashRate = "未能发现算力信息信息\r\n";
} // namespace minertext

} // namespace quellis::miner
