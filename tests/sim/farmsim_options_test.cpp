#include "platform/net/ipv4.h"
#include "sim/farmsim_options.h"

#include <gtest/gtest.h>

namespace quellis::sim
{
namespace
{

bool Parse(std::vector<std::string_view> arguments, FarmsimOptions* options, std::string* error)
{
    return ParseFarmsimArguments(arguments, options, error);
}

TEST(FarmsimOptions, ReadsEveryOptionInBothForms)
{
    FarmsimOptions options;
    std::string error;
    ASSERT_TRUE(Parse({ "--machines",
                          "1000",
                          "--seed=9",
                          "--first-address",
                          "127.40.0.1",
                          "--spread",
                          "010",
                          "--port=0",
                          "--reply-port",
                          "17000",
                          "--api-port",
                          "0",
                          "--package-port",
                          "17001",
                          "--scenario",
                          "farm.json",
                          "--expect-package",
                          "fw.bin",
                          "--netns",
                          "quellis-farm",
                          "--behave",
                          "fraction=0.1,api=refuse",
                          "--behave=count=2,silent=true" },
        &options,
        &error))
        << error;
    EXPECT_EQ(options.machines, 1000);
    EXPECT_EQ(options.seed, 9u);
    EXPECT_EQ(options.firstAddress, *net::ParseIpv4("127.40.0.1"));
    EXPECT_EQ(options.spreadMs, 10) << "decimal, never octal";
    EXPECT_EQ(options.devicePort, 0);
    EXPECT_EQ(options.replyPort, 17000);
    EXPECT_EQ(options.apiPort, 0);
    EXPECT_EQ(options.packagePort, 17001);
    EXPECT_EQ(options.scenarioPath, "farm.json");
    EXPECT_EQ(options.expectedPackage, "fw.bin");
    EXPECT_EQ(options.netns, "quellis-farm");
    ASSERT_EQ(options.behave.size(), 2u);
    EXPECT_EQ(options.behave[0].selector, GroupSelector::Fraction);
    EXPECT_EQ(options.behave[1].count, 2);
    EXPECT_FALSE(options.help);
}

TEST(FarmsimOptions, RefusesBadArguments)
{
    const std::vector<std::vector<std::string_view>> cases = {
        { "--machines", "0" },
        { "--machines", "ten" },
        { "--machines", "1000001" },
        { "--machines" },
        { "--seed", "-1" },
        { "--first-address", "10.77.128" },
        { "--spread", "-5" },
        { "--port", "65536" },
        { "--reply-port", "0" },
        { "--package-port", "0" },
        { "--behave", "api=refuze" },
        { "--behave", "fraction=2" },
        { "--verbose" },
        { "machines" },
    };
    for (const auto& arguments : cases)
    {
        FarmsimOptions options;
        std::string error;
        EXPECT_FALSE(Parse(arguments, &options, &error)) << arguments[0];
        EXPECT_FALSE(error.empty()) << arguments[0];
    }
    FarmsimOptions options;
    std::string error;
    EXPECT_FALSE(Parse({ "--behave", "apii=refuse" }, &options, &error));
    EXPECT_NE(error.find("apii"), std::string::npos) << error;
    ASSERT_TRUE(Parse({ "--help" }, &options, &error));
    EXPECT_TRUE(options.help);
}

TEST(FarmsimOptions, TheCommandLineWinsOverTheScenarioFile)
{
    Scenario file;
    std::string error;
    ASSERT_TRUE(ParseScenario(R"({"machines": 300, "seed": 4, "firstAddress": "10.77.130.1", "search": {"spreadMs": 40},
        "groups": [{"count": 1, "silent": true}]})",
        &file,
        &error))
        << error;
    FarmsimOptions options;
    ASSERT_TRUE(Parse({ "--seed", "5", "--behave", "indexes=0,api=close" }, &options, &error)) << error;
    const FarmConfig config = BuildFarmConfig(options, file);
    EXPECT_EQ(config.machines, 300);
    EXPECT_EQ(config.seed, 5u);
    EXPECT_EQ(net::FormatIpv4(config.firstAddress), "10.77.130.1");
    EXPECT_EQ(config.scenario.spreadMs, 40);
    ASSERT_EQ(config.scenario.groups.size(), 2u);
    EXPECT_EQ(config.scenario.groups[0].selector, GroupSelector::Count);
    EXPECT_EQ(config.scenario.groups[1].selector, GroupSelector::Indexes);

    const FarmConfig defaults = BuildFarmConfig(FarmsimOptions {}, Scenario {});
    EXPECT_EQ(defaults.machines, 50);
    EXPECT_EQ(net::FormatIpv4(defaults.firstAddress), "10.77.128.1");
    EXPECT_EQ(defaults.scenario.spreadMs, kDefaultSpreadMs);
    EXPECT_EQ(defaults.devicePort, 6667);
    EXPECT_EQ(defaults.replyPort, 6667);
    EXPECT_EQ(defaults.apiPort, 4029);
    EXPECT_EQ(defaults.packagePort, 2425);
}

TEST(FarmsimOptions, TheReadyLineAndTheUsageSayWhatOperatorsNeed)
{
    EXPECT_EQ(FormatReadyLine(1000, *net::ParseIpv4("10.77.128.1"), *net::ParseIpv4("10.77.131.238"), 6667, 4029),
        "quellis-farmsim: 1000 machines ready, 10.77.128.1-10.77.131.238, UDP 6667, TCP 4029");
    const std::string usage = FarmsimUsage();
    for (const auto& key : BehaviourKeyList())
    {
        EXPECT_NE(usage.find(std::string(key.key)), std::string::npos) << key.key;
    }
    EXPECT_NE(usage.find("--behave"), std::string::npos);
}

} // namespace
} // namespace quellis::sim
