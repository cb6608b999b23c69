#include "miner/miner_api_client.h"

#include "platform/net/ipv4.h"
#include "platform/net/wsa_error.h"
#include "platform/text/codepage.h"
#include "platform/text/printf_text.h"

#include <charconv>
#include <cstring>
#include <exception>

namespace quellis::miner
{

using text::PrintfText;

namespace
{

// Clears the client's record of the socket in use when the exchange ends,
// before the socket itself goes.
class ActiveSocket
{
public:
    ActiveSocket(std::mutex& lock, net::Socket*& slot, net::Socket& socket)
        : lock_(lock)
        , slot_(slot)
    {
        std::lock_guard guard(lock_);
        slot_ = &socket;
    }
    ~ActiveSocket()
    {
        std::lock_guard guard(lock_);
        slot_ = nullptr;
    }
    ActiveSocket(const ActiveSocket&) = delete;
    ActiveSocket& operator=(const ActiveSocket&) = delete;

private:
    std::mutex& lock_;
    net::Socket*& slot_;
};

// The deepest nesting of arrays and objects in a JSON text (with comments),
// stopping as soon as it passes `limit`. Strings and comments do not count.
int NestingDepth(std::string_view text, int limit)
{
    int depth = 0;
    int deepest = 0;
    for (std::size_t i = 0; i < text.size() && deepest <= limit; ++i)
    {
        const char c = text[i];
        if (c == '"')
        {
            for (++i; i < text.size() && text[i] != '"'; ++i)
            {
                i += text[i] == '\\' ? 1 : 0;
            }
        }
        else if (c == '/' && i + 1 < text.size() && text[i + 1] == '/')
        {
            const std::size_t end = text.find('\n', i);
            i = end == std::string_view::npos ? text.size() : end;
        }
        else if (c == '/' && i + 1 < text.size() && text[i + 1] == '*')
        {
            const std::size_t end = text.find("*/", i + 2);
            i = end == std::string_view::npos ? text.size() : end + 1;
        }
        else if (c == '[' || c == '{')
        {
            deepest = std::max(deepest, ++depth);
        }
        else if ((c == ']' || c == '}') && depth > 0)
        {
            --depth;
        }
    }
    return deepest;
}

// Member lookups that yield null for a value that is not an object or an
// array, as the readers require (jsoncpp itself refuses those lookups).
const Json::Value& Member(const Json::Value& value, const char* key)
{
    if (!value.isObject())
    {
        return Json::Value::nullSingleton();
    }
    const Json::Value* found = value.find(key, key + std::strlen(key));
    return found != nullptr ? *found : Json::Value::nullSingleton();
}

const Json::Value& Element(const Json::Value& value, Json::ArrayIndex index)
{
    if (!value.isArray() || index >= value.size())
    {
        return Json::Value::nullSingleton();
    }
    return value[index];
}

// A string member as the machine's text is shown: up to its first NUL, decoded.
std::string Shown(const Json::Value& text)
{
    const char* bytes = text.asCString();
    return text::DeviceTextToUtf8(bytes != nullptr ? std::string_view(bytes) : std::string_view());
}

// "Priority" read as an integer: absent and false are 0, true is 1, a real
// number counts by its integer part. Anything else is taken as not 0, so the
// entry is passed over and the run goes on.
bool IsPriorityZero(const Json::Value& priority)
{
    switch (priority.type())
    {
    case Json::nullValue:
        return true;
    case Json::booleanValue:
        return !priority.asBool();
    case Json::intValue:
        return priority.asLargestInt() == 0;
    case Json::uintValue:
        return priority.asLargestUInt() == 0;
    case Json::realValue:
        return priority.asDouble() > -1.0 && priority.asDouble() < 1.0;
    default:
        return false;
    }
}

std::string PoolLine(const Json::Value& pool, std::string_view ip)
{
    const Json::Value& user = Member(pool, "User");
    const Json::Value& url = Member(pool, "URL");
    if (!user.isString() || !url.isString())
    {
        return std::string(minertext::kNoPoolInformation);
    }
    return std::string(ip) + " " + Shown(url) + " " + Shown(user) + "\r\n";
}

} // namespace

std::string PoolsRequest()
{
    return R"({"parameter": "", "command": "pools"})";
}

std::string SummaryRequest()
{
    return R"({"parameter": "", "command": "summary"})";
}

std::string TemperatureRequest(int low, int high)
{
    return R"({"parameter": ")" + std::to_string(low) + "," + std::to_string(high)
        + R"(", "command": "pgasetwarnsafe"})";
}

std::string CommandRequest(std::string_view command, std::string_view parameter)
{
    return R"({"parameter": ")" + std::string(parameter) + R"(", "command": ")" + std::string(command) + R"("})";
}

MinerApiClient::MinerApiClient(ClientOptions options)
    : options_(options)
    , buffer_(kExchangeBufferSize)
{
}

void MinerApiClient::Cancel()
{
    cancelled_ = true;
    std::lock_guard guard(activeLock_);
    if (active_ != nullptr)
    {
        active_->Shutdown();
    }
}

Exchanged MinerApiClient::Exchange(std::string_view ip, std::string_view request, bool expectReply)
{
    Exchanged exchanged;
    if (request.size() > buffer_.size())
    {
        exchanged.result = ExchangeResult::SendFailed;
        return exchanged;
    }
    net::Socket socket = net::Socket::Create(net::SocketKind::Tcp);
    // Known to Cancel before the flag is tested: a Cancel either sees the
    // socket or has set the flag that this test reads.
    const ActiveSocket active(activeLock_, active_, socket);
    if (!socket.IsValid() || cancelled_)
    {
        exchanged.result = ExchangeResult::SocketFailed;
        return exchanged;
    }
    // A text that is not an address gives the broadcast address, as the
    // standard conversion does, and its connect fails like any other.
    if (!socket.Connect({ net::InetAddr(ip), options_.port }, options_.connectTimeout))
    {
        exchanged.result = cancelled_ ? ExchangeResult::SocketFailed : ExchangeResult::ConnectFailed;
        exchanged.error = net::WsaGetLastError();
        return exchanged;
    }
    [[maybe_unused]] const bool sendLimit = socket.SetSendTimeout(options_.sendReceiveTimeout);
    [[maybe_unused]] const bool receiveLimit = socket.SetReceiveTimeout(options_.sendReceiveTimeout);
    std::memcpy(buffer_.data(), request.data(), request.size());
    if (socket.Send(buffer_.data(), request.size()) != static_cast<int>(request.size()))
    {
        exchanged.result = ExchangeResult::SendFailed;
        return exchanged;
    }
    if (!expectReply)
    {
        exchanged.result = ExchangeResult::Ok;
        return exchanged;
    }
    // One receive: of a reply in several pieces only the first counts.
    const int received = socket.Receive(buffer_.data(), buffer_.size());
    if (received <= 0)
    {
        exchanged.result = cancelled_ ? ExchangeResult::SocketFailed : ExchangeResult::ReceiveFailed;
        return exchanged;
    }
    const auto length = static_cast<std::size_t>(received);
    // A full buffer has no room for a terminator: the text ends at the first
    // NUL or at the received length.
    const void* nul = std::memchr(buffer_.data(), '\0', length);
    exchanged.reply = std::string_view(buffer_.data(),
        nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - buffer_.data()) : length);
    exchanged.result = ExchangeResult::Ok;
    return exchanged;
}

namespace
{

// The reply as the mining software's replies were always read; false for
// one that is not JSON, or nested too deep.
bool ParseReply(std::string_view reply, Json::Value& root)
{
    if (NestingDepth(reply, kMaxJsonDepth) > kMaxJsonDepth)
    {
        return false;
    }
    // jsoncpp reports some inputs by throwing; here they fail like any other.
    try
    {
        Json::Reader reader { Json::Features() };
        const char* begin = reply.empty() ? "" : reply.data();
        return reader.parse(begin, begin + reply.size(), root, true);
    }
    catch (const std::exception&)
    {
        return false;
    }
}

} // namespace

ParsedSection ParseSection(std::string_view reply, const char* name)
{
    ParsedSection parsed;
    Json::Value root;
    if (!ParseReply(reply, root))
    {
        return parsed;
    }
    if (Member(root, "STATUS").isNull())
    {
        parsed.result = SectionResult::NoStatus;
        return parsed;
    }
    const Json::Value& section = Member(root, name);
    if (!section.isArray())
    {
        parsed.result = SectionResult::NotArray;
        return parsed;
    }
    parsed.result = SectionResult::Ok;
    parsed.section = section;
    return parsed;
}

std::optional<std::string> ErrorStatus(std::string_view reply)
{
    Json::Value root;
    if (!ParseReply(reply, root))
    {
        return std::nullopt;
    }
    const Json::Value& status = Member(root, "STATUS");
    const Json::Value& first = status.isArray() ? Element(status, 0) : status;
    const Json::Value& code = Member(first, "STATUS");
    if (!code.isString() || (code.asString() != "E" && code.asString() != "F"))
    {
        return std::nullopt;
    }
    const Json::Value& message = Member(first, "Msg");
    return message.isString() ? Shown(message) : std::string("error status ") + code.asString();
}

std::string ReadPoolList(const Json::Value& pools)
{
    std::string lines;
    const Json::ArrayIndex count = pools.isArray() ? pools.size() : 0;
    for (Json::ArrayIndex i = 0; i < count; ++i)
    {
        const Json::Value& pool = Element(pools, i);
        const Json::Value& priority = Member(pool, "Priority");
        // A priority past the 64-bit range (kept as a double) shows as not given.
        const std::string shownPriority = priority.isInt64() ? std::to_string(priority.asInt64())
            : priority.isUInt64()                            ? std::to_string(priority.asUInt64())
                                                             : "-";
        const Json::Value& url = Member(pool, "URL");
        const Json::Value& user = Member(pool, "User");
        lines += shownPriority + " " + (url.isString() ? Shown(url) : "-") + " " + (user.isString() ? Shown(user) : "-")
            + "\n";
    }
    return lines;
}

std::string ReadFirstMinerAll(const Json::Value& pools, std::string_view ip)
{
    std::string lines;
    const Json::ArrayIndex count = pools.isArray() ? pools.size() : 0;
    for (Json::ArrayIndex i = 0; i < count; ++i)
    {
        const Json::Value& pool = Element(pools, i);
        if (IsPriorityZero(Member(pool, "Priority")))
        {
            lines += PoolLine(pool, ip);
        }
    }
    return lines;
}

std::optional<ActivePool> ReadActivePool(const Json::Value& pools)
{
    const Json::ArrayIndex count = pools.isArray() ? pools.size() : 0;
    const auto find = [&](auto&& chosen) -> const Json::Value*
    {
        for (Json::ArrayIndex i = 0; i < count; ++i)
        {
            if (const Json::Value& pool = Element(pools, i); chosen(pool))
            {
                return &pool;
            }
        }
        return nullptr;
    };
    const Json::Value* pool = find(
        [](const Json::Value& p)
        {
            const Json::Value& active = Member(p, "Stratum Active");
            return active.isBool() && active.asBool();
        });
    if (pool == nullptr)
    {
        pool = find([](const Json::Value& p) { return IsPriorityZero(Member(p, "Priority")); });
    }
    if (pool == nullptr)
    {
        return std::nullopt;
    }
    const Json::Value& url = Member(*pool, "URL");
    const Json::Value& user = Member(*pool, "User");
    if (!url.isString() || !user.isString())
    {
        return std::nullopt;
    }
    return ActivePool { Shown(url), Shown(user) };
}

std::string ReadFirstMinerSelected(const Json::Value& pools, std::string_view ip)
{
    return PoolLine(Element(pools, 0), ip);
}

std::string ReadHashRate(const Json::Value& summary, std::string_view ip)
{
    const Json::Value& rate = Member(Element(summary, 0), "MHS av");
    // Only a number written as a real one: an integer 0 is not a rate.
    if (rate.type() != Json::realValue)
    {
        return std::string(minertext::kNoHashRate);
    }
    // Six decimals as printf's %f gives them, whatever the process's locale.
    char number[400];
    const auto written = std::to_chars(number, number + sizeof number, rate.asDouble(), std::chars_format::fixed, 6);
    return std::string(ip) + "\t" + std::string(number, written.ptr) + "Mh/s\r\n";
}

std::string ExchangeFailureText(ExchangeResult result, int error, std::string_view ip, bool allMachines)
{
    const std::string address(ip);
    switch (result)
    {
    case ExchangeResult::Ok:
    case ExchangeResult::SocketFailed:
        return {};
    case ExchangeResult::ConnectFailed:
        if (error == net::kWsaConnectionRefused)
        {
            return PrintfText(minertext::kRefused, address.c_str());
        }
        if (net::IsUnansweredConnect(error))
        {
            return std::string(minertext::kConnectTimedOut);
        }
        return PrintfText(minertext::kUnknownError, address.c_str(), error);
    case ExchangeResult::SendFailed:
        return std::string(minertext::kSendFailed) + (allMachines ? "\r\n" : "");
    case ExchangeResult::ReceiveFailed:
        return std::string(minertext::kReceiveFailed) + (allMachines ? "\r\n" : "");
    }
    return {};
}

std::string_view SectionFailureText(SectionResult result)
{
    switch (result)
    {
    case SectionResult::Ok:
        return {};
    case SectionResult::ParseFailed:
        return minertext::kParseFailed;
    case SectionResult::NoStatus:
        return minertext::kNoStatus;
    case SectionResult::NotArray:
        return minertext::kNotArray;
    }
    return {};
}

} // namespace quellis::miner
