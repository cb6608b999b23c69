// The miner API client and its readers: the request texts, the reply checks,
// the lines the runs log, and exchanges with the simulator's faulty machines.
#include "miner/miner_api_client.h"
#include "platform/net/wsa_error.h"
#include "tests/sim/loopback_tool.h"

#include <gtest/gtest.h>

#include <cstring>

namespace quellis::miner
{
namespace
{

using namespace std::chrono_literals;

TEST(MinerRequests, AreTheTextsByteForByte)
{
    EXPECT_EQ(PoolsRequest(), R"({"parameter": "", "command": "pools"})");
    EXPECT_EQ(SummaryRequest(), R"({"parameter": "", "command": "summary"})");
    EXPECT_EQ(TemperatureRequest(-5, 80), R"({"parameter": "-5,80", "command": "pgasetwarnsafe"})");
    EXPECT_EQ(TemperatureRequest(0, 0), R"({"parameter": "0,0", "command": "pgasetwarnsafe"})");
    // As typed: a quote is not escaped.
    EXPECT_EQ(CommandRequest("ver\"x", ""), R"({"parameter": "", "command": "ver"x"})");
    EXPECT_EQ(CommandRequest("ascset", "0,freq,700"), R"({"parameter": "0,freq,700", "command": "ascset"})");
}

TEST(ParseSection, ChecksTheReplyThenStatusThenTheSectionType)
{
    const struct
    {
        std::string reply;
        SectionResult result;
    } cases[] = {
        { R"({"STATUS":[{"STATUS":"S"}],"SUMMARY":[{"MHS av":1.5}]})", SectionResult::Ok },
        // Comments are allowed, as jsoncpp's default features allow them.
        { "/* head */ {\"STATUS\":1, // tail\n \"SUMMARY\":[]}", SectionResult::Ok },
        { "{}", SectionResult::NoStatus },
        { R"({"STATUS":null,"SUMMARY":[]})", SectionResult::NoStatus },
        { "[1,2]", SectionResult::NoStatus }, // any root parses; an array has no members
        { R"("text")", SectionResult::NoStatus },
        { R"({"STATUS":[],"SUMMARY":{"MHS av":1.5}})", SectionResult::NotArray },
        { R"({"STATUS":[]})", SectionResult::NotArray },
        // The reader stops after the first value: what follows it is not read.
        { R"({"STATUS":1,"SUMMARY":[]} trailing {)", SectionResult::Ok },
        { "STATUS=S,When=1|SUMMARY,MHS av=1.0|", SectionResult::ParseFailed },
        { "", SectionResult::ParseFailed },
        { R"({"STATUS":[],"SUMMARY":[{"MHS av":1.)", SectionResult::ParseFailed }, // a first piece
        // Deeper than the bound: refused before the parser recurses.
        { "{\"STATUS\":1,\"SUMMARY\":" + std::string(100000, '[') + std::string(100000, ']') + "}",
            SectionResult::ParseFailed },
        { "{\"STATUS\":1,\"SUMMARY\":" + std::string(kMaxJsonDepth - 1, '[') + std::string(kMaxJsonDepth - 1, ']')
                + "}",
            SectionResult::Ok },
        // Brackets in strings and comments do not count as nesting.
        { "{\"STATUS\":\"" + std::string(600, '[') + "\", /*" + std::string(600, '{') + "*/ \"SUMMARY\":[]}",
            SectionResult::Ok },
    };
    for (const auto& [reply, result] : cases)
    {
        EXPECT_EQ(ParseSection(reply, "SUMMARY").result, result) << reply.substr(0, 80);
    }
}

TEST(ParseSection, ReadsAFullBufferByItsLengthAndNoFurther)
{
    // A 1 MiB reply leaves no room for a terminator: the heap block ends where
    // the text does, so a read past it is an error under AddressSanitizer.
    const std::string json = R"({"STATUS":[{"STATUS":"S"}],"SUMMARY":[{"MHS av":2.25}]})";
    const auto full = std::make_unique<char[]>(kExchangeBufferSize);
    std::memset(full.get(), ' ', kExchangeBufferSize);
    // The text ends with the buffer's last byte.
    std::memcpy(full.get() + kExchangeBufferSize - json.size(), json.data(), json.size());
    const ParsedSection parsed = ParseSection({ full.get(), kExchangeBufferSize }, "SUMMARY");
    ASSERT_EQ(parsed.result, SectionResult::Ok);
    EXPECT_EQ(ReadHashRate(parsed.section, "10.0.0.9"), "10.0.0.9\t2.250000Mh/s\r\n");

    // Without its last brace the object ends at the buffer's end, unfinished.
    full[kExchangeBufferSize - 1] = ' ';
    EXPECT_EQ(ParseSection({ full.get(), kExchangeBufferSize }, "SUMMARY").result, SectionResult::ParseFailed);
}

Json::Value Section(const std::string& reply, const char* name)
{
    ParsedSection parsed = ParseSection(reply, name);
    EXPECT_EQ(parsed.result, SectionResult::Ok) << reply;
    return parsed.section;
}

TEST(MinerReaders, FirstPoolLinesFollowPriorityAndTheRunKind)
{
    const std::string ip = "10.77.128.4";
    const std::string noPool = "未能发现矿池信息\r\n";
    const struct
    {
        std::string pools;
        std::string all;
        std::string selected;
    } cases[] = {
        { R"([{"URL":"u0","User":"w0","Priority":0},{"URL":"u1","User":"w1","Priority":1},{"URL":"u2","User":"w2","Priority":0}])",
            ip + " u0 w0\r\n" + ip + " u2 w2\r\n",
            ip + " u0 w0\r\n" },
        // Absent and false count as 0, true as 1; a real number by its integer part.
        { R"([{"URL":"a","User":"b"},{"URL":"c","User":"d","Priority":false},{"URL":"e","User":"f","Priority":true}])",
            ip + " a b\r\n" + ip + " c d\r\n",
            ip + " a b\r\n" },
        { R"([{"URL":"a","User":"b","Priority":0.9},{"URL":"c","User":"d","Priority":-0.5},{"URL":"e","User":"f","Priority":1.0}])",
            ip + " a b\r\n" + ip + " c d\r\n",
            ip + " a b\r\n" },
        // Not numbers, or beyond any integer: not 0, passed over; the selected
        // run does not look at the priority.
        { R"([{"URL":"a","User":"b","Priority":"0"},{"URL":"c","User":"d","Priority":[0]},{"URL":"e","User":"f","Priority":{}},{"URL":"g","User":"h","Priority":1e300}])",
            "",
            ip + " a b\r\n" },
        // Texts that are not both strings, and elements that are not objects.
        { R"([{"URL":"a","User":7,"Priority":0},5,{"URL":"c"}])", noPool + noPool + noPool, noPool },
        { "[]", "", noPool },
        // Machine text that is not UTF-8 is code page 936; a NUL ends a text.
        { "[{\"URL\":\"\xb3\xd8\",\"User\":\"w\\u0000x\",\"Priority\":0}]", ip + " 池 w\r\n", ip + " 池 w\r\n" },
    };
    for (const auto& [pools, all, selected] : cases)
    {
        const Json::Value section = Section(R"({"STATUS":[],"POOLS":)" + pools + "}", "POOLS");
        EXPECT_EQ(ReadFirstMinerAll(section, ip), all) << pools;
        EXPECT_EQ(ReadFirstMinerSelected(section, ip), selected) << pools;
    }
}

TEST(MinerReaders, EveryPoolWithItsPriority)
{
    const Json::Value section = Section(
        R"({"STATUS":[],"POOLS":[{"URL":"u0","User":"w0","Priority":0},{"URL":"u1","User":"w1","Priority":1},)"
        R"({"URL":"\u6c60","Priority":"2"},7]})",
        "POOLS");
    EXPECT_EQ(ReadPoolList(section), "0 u0 w0\n1 u1 w1\n- 池 -\n- - -\n");
    EXPECT_EQ(ReadPoolList(Json::Value()), "");
}

// A command the mining software refused is a failure with its message; a
// status of success, or a reply that is not JSON, is not.
TEST(MinerReaders, ErrorStatusGivesTheMessage)
{
    const struct
    {
        const char* reply;
        std::optional<std::string> error;
    } cases[] = {
        { R"({"STATUS":[{"STATUS":"E","When":1,"Code":14,"Msg":"Invalid command"}],"id":1})", "Invalid command" },
        { R"({"STATUS":[{"STATUS":"F","Msg":"\u5931\u8d25"}]})", "失败" },
        { R"({"STATUS":{"STATUS":"E","Msg":"object"}})", "object" },
        { R"({"STATUS":[{"STATUS":"E"}]})", "error status E" },
        { R"({"STATUS":[{"STATUS":"S","Msg":"Pool 1 switched"}]})", std::nullopt },
        { R"({"STATUS":[{"STATUS":"W","Msg":"warning"}]})", std::nullopt },
        { R"({"STATUS":"E"})", std::nullopt },
        { "ok", std::nullopt },
        { "", std::nullopt },
    };
    for (const auto& example : cases)
    {
        EXPECT_EQ(ErrorStatus(example.reply), example.error) << example.reply;
    }
}

TEST(MinerReaders, HashRateOnlyFromARealNumber)
{
    const std::string none = "未能发现算力信息信息\r\n";
    const struct
    {
        std::string summary;
        std::string line;
    } cases[] = {
        { R"([{"MHS av":13542.27}])", "10.0.0.1\t13542.270000Mh/s\r\n" },
        { R"([{"MHS av":0.0}])", "10.0.0.1\t0.000000Mh/s\r\n" },
        { R"([{"MHS av":-1.5e-7}])", "10.0.0.1\t-0.000000Mh/s\r\n" },
        { R"([{"MHS av":0}])", none },
        { R"([{"MHS av":"1.5"}])", none },
        { R"([{"Elapsed":5}])", none },
        { R"([7])", none },
        { "[]", none },
    };
    for (const auto& [summary, line] : cases)
    {
        EXPECT_EQ(ReadHashRate(Section(R"({"STATUS":[],"SUMMARY":)" + summary + "}", "SUMMARY"), "10.0.0.1"), line)
            << summary;
    }
}

TEST(MinerFailureTexts, FollowTheResultAndTheRunKind)
{
    const std::string ip = "10.77.128.9";
    for (const bool all : { true, false })
    {
        EXPECT_EQ(ExchangeFailureText(ExchangeResult::SocketFailed, 0, ip, all), "");
        EXPECT_EQ(ExchangeFailureText(ExchangeResult::ConnectFailed, net::kWsaConnectionRefused, ip, all),
            "请确认设备10.77.128.9已经打开并监听相应端口！\r\n");
        // Nothing answered: the time-out, or a machine switched off whose
        // address resolution failed first.
        for (const int error : { net::kWsaTimedOut, net::kWsaHostUnreachable, net::kWsaNetworkUnreachable })
        {
            EXPECT_EQ(ExchangeFailureText(ExchangeResult::ConnectFailed, error, ip, all),
                "连接超时，请确认服务器端是否启动！\r\n");
        }
        EXPECT_EQ(ExchangeFailureText(ExchangeResult::ConnectFailed, net::kWsaNetworkDown, ip, all),
            "操作设备10.77.128.9，未知错误：10050\r\n");
        EXPECT_EQ(
            ExchangeFailureText(ExchangeResult::SendFailed, 0, ip, all), all ? "发送命令出错\r\n" : "发送命令出错");
        EXPECT_EQ(ExchangeFailureText(ExchangeResult::ReceiveFailed, 0, ip, all),
            all ? "接收命令执行结果出错\r\n" : "接收命令执行结果出错");
    }
    EXPECT_EQ(SectionFailureText(SectionResult::ParseFailed), "设备端接收数据解析失败！\r\n");
    EXPECT_EQ(SectionFailureText(SectionResult::NoStatus), "设备端接收数据解析出错！");
    EXPECT_EQ(SectionFailureText(SectionResult::NotArray), "设备端接收数据格式错误！\r\n");
}

// Every fault kind of the simulator, through the client, in bounded time.
TEST(MinerApiClient, EachFaultOfTheSimulatorGivesItsResult)
{
    sim::test::ToolSide tool;
    sim::FarmConfig config;
    config.machines = 13;
    config.scenario.groups = sim::test::Groups({ "api=ok,apiNul=false",
        "indexes=1,api=refuse",
        "indexes=2,api=off",
        "indexes=3,api=silent",
        "indexes=4,api=close",
        "indexes=5,api=reset",
        "indexes=6,api=not-json",
        "indexes=7,api=split",
        "indexes=8,api=huge",
        "indexes=9,api=deep",
        "indexes=10,api=no-status",
        "indexes=11,api=pools-object",
        "indexes=12,apiNul=true" });
    const auto farm = sim::test::StartLoopbackFarm(config, tool.Port());
    ASSERT_TRUE(farm);
    MinerApiClient client({ farm->ApiPort(), 500ms, 500ms });
    const auto ip = [&](int machine) { return net::FormatIpv4(farm->MachineAt(machine).identity.address); };
    const auto summary = [&](int machine) { return client.Exchange(ip(machine), SummaryRequest(), true); };

    Exchanged ok = summary(0);
    ASSERT_EQ(ok.result, ExchangeResult::Ok);
    EXPECT_EQ(ParseSection(ok.reply, "SUMMARY").result, SectionResult::Ok);
    EXPECT_EQ(farm->MachineAt(0).LastApiRequest(), SummaryRequest()) << "sent as it is, nothing before or after";

    EXPECT_EQ(summary(1).result, ExchangeResult::ConnectFailed);
    EXPECT_EQ(summary(1).error, net::kWsaConnectionRefused);
    const auto before = std::chrono::steady_clock::now();
    const Exchanged off = summary(2);
    EXPECT_EQ(off.result, ExchangeResult::ConnectFailed);
    EXPECT_EQ(off.error, net::kWsaTimedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s) << "bounded by the connect time-out";
    for (const int machine : { 3, 4, 5 })
    {
        EXPECT_EQ(summary(machine).result, ExchangeResult::ReceiveFailed) << machine;
    }
    const struct
    {
        int machine;
        SectionResult result;
    } replies[] = {
        { 6, SectionResult::ParseFailed },
        { 7, SectionResult::ParseFailed }, // only the first piece is read
        { 9, SectionResult::ParseFailed },
        { 10, SectionResult::NoStatus },
    };
    for (const auto& [machine, result] : replies)
    {
        const Exchanged exchanged = summary(machine);
        ASSERT_EQ(exchanged.result, ExchangeResult::Ok) << machine;
        EXPECT_EQ(ParseSection(exchanged.reply, "SUMMARY").result, result) << machine;
    }
    // However much of the 1 MiB the one receive brings, it is read as far as it came.
    const Exchanged huge = summary(8);
    ASSERT_EQ(huge.result, ExchangeResult::Ok);
    EXPECT_LE(huge.reply.size(), kExchangeBufferSize);
    EXPECT_NE(ParseSection(huge.reply, "SUMMARY").result, SectionResult::NoStatus);

    const Exchanged poolsObject = client.Exchange(ip(11), PoolsRequest(), true);
    EXPECT_EQ(ParseSection(poolsObject.reply, "POOLS").result, SectionResult::NotArray);
    const Exchanged withNul = client.Exchange(ip(12), PoolsRequest(), true);
    EXPECT_EQ(withNul.reply.find('\0'), std::string_view::npos);
    EXPECT_EQ(ParseSection(withNul.reply, "POOLS").result, SectionResult::Ok);

    // No reply awaited: the exchange ends after the send, and the machine still got it.
    const std::string setIp = CommandRequest("pgasetstaticipparam", "10.0.0.5");
    EXPECT_EQ(client.Exchange(ip(0), setIp, false).result, ExchangeResult::Ok);
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (farm->MachineAt(0).LastApiRequest() != setIp && std::chrono::steady_clock::now() < deadline)
    {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(farm->MachineAt(0).LastApiRequest(), setIp);
}

TEST(MinerApiClient, CancelEndsAnExchangeAtOnceAndLogsNothing)
{
    sim::test::ToolSide tool;
    sim::FarmConfig config;
    config.machines = 1;
    config.scenario.groups = sim::test::Groups({ "api=silent" });
    const auto farm = sim::test::StartLoopbackFarm(config, tool.Port());
    ASSERT_TRUE(farm);
    MinerApiClient client({ farm->ApiPort(), 2000ms, 5000ms });
    std::thread cancel(
        [&]
        {
            std::this_thread::sleep_for(200ms);
            client.Cancel();
        });
    const auto before = std::chrono::steady_clock::now();
    const Exchanged exchanged
        = client.Exchange(net::FormatIpv4(farm->MachineAt(0).identity.address), SummaryRequest(), true);
    cancel.join();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
    EXPECT_EQ(exchanged.result, ExchangeResult::SocketFailed);
    EXPECT_EQ(client.Exchange("127.0.0.1", SummaryRequest(), true).result, ExchangeResult::SocketFailed);
}

} // namespace
} // namespace quellis::miner
