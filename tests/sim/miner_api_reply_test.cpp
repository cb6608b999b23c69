#include "sim/miner_api_reply.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <memory>

namespace quellis::sim
{
namespace
{

constexpr std::int64_t kWhen = 1700000000;

const std::vector<PoolEntry> kPools
    = { { "stratum+tcp://a.example:9560", "ops.m1", "x" }, { "stratum+tcp://b.example:3272", "ops.\"m1\"", "x" } };

MinerView Miner()
{
    MinerView miner;
    miner.description = "farmminer 4.2.0";
    miner.elapsedSeconds = 86400;
    miner.mhsAv = 13542.27;
    miner.temperature = 61;
    miner.chains = 3;
    miner.pools = kPools;
    return miner;
}

// The reply read the way the tool reads it: jsoncpp, default features.
Json::Value Parse(const std::string& reply)
{
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    const std::size_t length = reply.find('\0') == std::string::npos ? reply.size() : reply.find('\0');
    EXPECT_TRUE(reader->parse(reply.data(), reply.data() + length, &root, &errors)) << reply << "\n" << errors;
    return root;
}

ApiOutcome Ask(std::string_view request, ApiMode mode = ApiMode::Ok, bool nul = false)
{
    return ComposeApiReply(request, mode, Miner(), kWhen, nul);
}

void ExpectStatus(const Json::Value& root, const char* status, int code)
{
    ASSERT_TRUE(root["STATUS"].isArray());
    const Json::Value& first = root["STATUS"][0];
    EXPECT_EQ(first["STATUS"].asString(), status);
    EXPECT_EQ(first["When"].asInt64(), kWhen);
    EXPECT_EQ(first["Code"].asInt(), code);
    EXPECT_EQ(first["Description"].asString(), "farmminer 4.2.0");
    EXPECT_TRUE(first["Msg"].isString());
}

TEST(MinerApiReply, SummaryCarriesTheHashRateAsARealNumber)
{
    const ApiOutcome outcome = Ask(R"({"parameter": "", "command": "summary"})");
    EXPECT_EQ(outcome.action, ApiAction::Answer);
    EXPECT_NE(outcome.reply.find("\"MHS av\":13542.27,"), std::string::npos) << outcome.reply;
    const Json::Value root = Parse(outcome.reply);
    ExpectStatus(root, "S", kCodeSummary);
    ASSERT_TRUE(root["SUMMARY"].isArray());
    ASSERT_EQ(root["SUMMARY"].size(), 1u);
    const Json::Value& summary = root["SUMMARY"][0];
    // jsoncpp's isDouble() also holds for integers; the type tells a real number.
    EXPECT_EQ(summary["MHS av"].type(), Json::realValue);
    EXPECT_DOUBLE_EQ(summary["MHS av"].asDouble(), 13542.27);
    EXPECT_EQ(summary["Elapsed"].asInt64(), 86400);
    EXPECT_GT(summary["Accepted"].asInt64(), 0);
}

TEST(MinerApiReply, DevsPoolsAndVersionHaveTheirSections)
{
    Json::Value root = Parse(Ask(R"({"command":"devs"})").reply);
    ExpectStatus(root, "S", kCodeDevs);
    ASSERT_TRUE(root["DEVS"].isArray());
    EXPECT_EQ(root["DEVS"].size(), 3u);
    EXPECT_EQ(root["DEVS"][2]["ID"].asInt(), 2);
    EXPECT_EQ(root["DEVS"][0]["MHS av"].type(), Json::realValue);

    root = Parse(Ask(R"({"parameter": "", "command": "pools"})").reply);
    ExpectStatus(root, "S", kCodePools);
    ASSERT_TRUE(root["POOLS"].isArray());
    ASSERT_EQ(root["POOLS"].size(), 2u);
    for (Json::ArrayIndex i = 0; i < 2; ++i)
    {
        EXPECT_EQ(root["POOLS"][i]["URL"].asString(), kPools[i].url);
        EXPECT_EQ(root["POOLS"][i]["User"].asString(), kPools[i].user); // a quote survives the round trip
        EXPECT_EQ(root["POOLS"][i]["Priority"].asInt(), static_cast<int>(i));
    }

    root = Parse(Ask(R"({"command":"version"})").reply);
    EXPECT_EQ(root["VERSION"][0]["Miner"].asString(), "4.2.0");
}

TEST(MinerApiReply, TemperatureLimitsAreStoredOnlyWhenValid)
{
    ApiOutcome outcome = Ask(R"({"parameter": "-5,80", "command": "pgasetwarnsafe"})");
    ASSERT_TRUE(outcome.newLimits);
    EXPECT_EQ(*outcome.newLimits, (TemperatureLimits { -5, 80 }));
    ExpectStatus(Parse(outcome.reply), "S", kCodeWarnSafe);

    for (const char* parameter : { "80", "a,b", "90,80", "", "5,80,1", "1,99999" })
    {
        outcome = Ask(std::string(R"({"parameter": ")") + parameter + R"(", "command": "pgasetwarnsafe"})");
        EXPECT_FALSE(outcome.newLimits) << parameter;
        ExpectStatus(Parse(outcome.reply), "E", kCodeInvalidParameter);
    }
    EXPECT_EQ(ParseTemperatureLimits("70,70"), (TemperatureLimits { 70, 70 }));
}

TEST(MinerApiReply, BadRequestsGetAnErrorStatus)
{
    const struct
    {
        const char* request;
        int code;
    } cases[] = {
        { R"({"parameter": "", "command": "nosuch"})", kCodeInvalidCommand },
        { R"({"parameter": "", "command": "pgasetstaticipparam"})", kCodeInvalidCommand },
        { R"({"parameter": "a"b", "command": "summary"})", kCodeInvalidJson }, // the tool does not escape
        { "", kCodeInvalidJson },
        { "[1,2]", kCodeInvalidJson },
        { R"({"parameter": ""})", kCodeMissingCommand },
    };
    for (const auto& c : cases)
    {
        const ApiOutcome outcome = Ask(c.request);
        EXPECT_EQ(outcome.action, ApiAction::Answer) << c.request;
        const Json::Value root = Parse(outcome.reply);
        ExpectStatus(root, "E", c.code);
        EXPECT_FALSE(root.isMember("SUMMARY")) << c.request;
    }
}

TEST(MinerApiReply, EachFaultProducesExactlyItsFault)
{
    const std::string summary = R"({"parameter": "", "command": "summary"})";
    EXPECT_EQ(Ask(summary, ApiMode::Silent).action, ApiAction::Silent);
    EXPECT_EQ(Ask(summary, ApiMode::Close).action, ApiAction::Close);
    EXPECT_TRUE(Ask(summary, ApiMode::Close).reply.empty());

    const std::string notJson = Ask(summary, ApiMode::NotJson).reply;
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value ignored;
    std::string errors;
    EXPECT_FALSE(reader->parse(notJson.data(), notJson.data() + notJson.size(), &ignored, &errors)) << notJson;
    EXPECT_NE(notJson.find("STATUS=S"), std::string::npos);

    const Json::Value noStatus = Parse(Ask(summary, ApiMode::NoStatus).reply);
    EXPECT_FALSE(noStatus.isMember("STATUS"));
    EXPECT_TRUE(noStatus["SUMMARY"].isArray());
    EXPECT_TRUE(Parse(Ask(R"({"command":"nosuch"})", ApiMode::NoStatus).reply).isObject());

    const Json::Value summaryObject = Parse(Ask(summary, ApiMode::SummaryObject).reply);
    ExpectStatus(summaryObject, "S", kCodeSummary);
    EXPECT_TRUE(summaryObject["SUMMARY"].isObject());
    EXPECT_EQ(summaryObject["SUMMARY"]["MHS av"].type(), Json::realValue);

    const Json::Value integerRate = Parse(Ask(summary, ApiMode::MhsInteger).reply);
    ASSERT_TRUE(integerRate["SUMMARY"].isArray());
    EXPECT_EQ(integerRate["SUMMARY"][0]["MHS av"].type(), Json::intValue);
    EXPECT_EQ(integerRate["SUMMARY"][0]["MHS av"].asInt(), 0);

    // The summary faults touch the summary only.
    EXPECT_TRUE(Parse(Ask(R"({"command":"pools"})", ApiMode::SummaryObject).reply)["POOLS"].isArray());
    EXPECT_EQ(
        Parse(Ask(R"({"command":"devs"})", ApiMode::MhsInteger).reply)["DEVS"][0]["MHS av"].type(), Json::realValue);
}

TEST(MinerApiReply, TheFaultsOfBrokenFirmwareKeepTheirShape)
{
    const std::string summary = R"({"parameter": "", "command": "summary"})";
    const std::string pools = R"({"parameter": "", "command": "pools"})";
    EXPECT_EQ(Ask(summary, ApiMode::Reset).action, ApiAction::Reset);

    // Split: the whole answer, cut in two where the second piece begins.
    const ApiOutcome split = Ask(summary, ApiMode::Split, true);
    EXPECT_EQ(split.reply, Ask(summary, ApiMode::Ok, true).reply);
    EXPECT_EQ(split.firstPiece, split.reply.size() / 2);
    EXPECT_EQ(Ask(summary).firstPiece, 0u) << "a well machine answers in one piece";

    // Huge: exactly 1 MiB without any NUL (also when the machine ends with one), still one JSON text.
    const ApiOutcome huge = Ask(summary, ApiMode::Huge, true);
    ASSERT_EQ(huge.reply.size(), kHugeReplySize);
    EXPECT_EQ(huge.reply.find('\0'), std::string::npos);
    EXPECT_TRUE(Parse(huge.reply)["SUMMARY"].isArray());

    // Deep: the section 100,000 arrays down; the status stays readable before it.
    const std::string deep = Ask(summary, ApiMode::Deep).reply;
    EXPECT_NE(deep.find("\"SUMMARY\":" + std::string(kDeepNesting, '[') + "{"), std::string::npos);
    EXPECT_NE(deep.find("\"STATUS\":[{"), std::string::npos);
    EXPECT_NE(
        Ask(pools, ApiMode::Deep).reply.find("\"POOLS\":" + std::string(kDeepNesting + 1, '[')), std::string::npos);

    const Json::Value poolsObject = Parse(Ask(pools, ApiMode::PoolsObject).reply);
    ExpectStatus(poolsObject, "S", kCodePools);
    EXPECT_TRUE(poolsObject["POOLS"].isObject());
    EXPECT_TRUE(Parse(Ask(summary, ApiMode::PoolsObject).reply)["SUMMARY"].isArray());

    // Priorities that are not numbers: a string, an array and an object in turn.
    const std::vector<PoolEntry> three = { kPools[0], kPools[1], kPools[0] };
    MinerView miner = Miner();
    miner.pools = three;
    const Json::Value odd = Parse(ComposeApiReply(pools, ApiMode::PriorityOdd, miner, kWhen, false).reply);
    ASSERT_EQ(odd["POOLS"].size(), 3u);
    EXPECT_TRUE(odd["POOLS"][0]["Priority"].isString());
    EXPECT_TRUE(odd["POOLS"][1]["Priority"].isArray());
    EXPECT_TRUE(odd["POOLS"][2]["Priority"].isObject());
    EXPECT_EQ(odd["POOLS"][1]["URL"].asString(), kPools[1].url);
}

TEST(MinerApiReply, SomeMinersEndWithANul)
{
    const std::string reply = Ask(R"({"command":"devs"})", ApiMode::Ok, true).reply;
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(reply.back(), '\0');
    EXPECT_EQ(reply.find('\0'), reply.size() - 1);
    EXPECT_EQ(reply[reply.size() - 2], '}');
    EXPECT_NE(Ask(R"({"command":"devs"})").reply.back(), '\0');
}

TEST(MinerApiReply, DeepNestingIsABadRequestNotACrash)
{
    // jsoncpp throws past its nesting limit; the reader must turn that into an answer.
    const std::string nested = std::string(5000, '[') + std::string(5000, ']');
    EXPECT_FALSE(IsCompleteApiRequest(nested));
    const ApiOutcome outcome = Ask(nested);
    EXPECT_EQ(outcome.action, ApiAction::Answer);
    ExpectStatus(Parse(outcome.reply), "E", kCodeInvalidJson);
    EXPECT_FALSE(ParsePoolText("{\"pools\":" + nested + "}").has_value());
}

TEST(MinerApiReply, ARequestIsCompleteWhenItParses)
{
    EXPECT_TRUE(IsCompleteApiRequest(R"({"parameter": "", "command": "summary"})"));
    EXPECT_TRUE(IsCompleteApiRequest(std::string(R"({"command":"devs"})") + '\0'));
    EXPECT_FALSE(IsCompleteApiRequest(R"({"parameter": "", "comm)"));
    EXPECT_FALSE(IsCompleteApiRequest(""));
    EXPECT_FALSE(IsCompleteApiRequest(R"({"parameter": "a"b", "command": "x"})"));
}

} // namespace
} // namespace quellis::sim
