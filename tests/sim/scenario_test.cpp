#include "sim/scenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace quellis::sim
{
namespace
{

std::vector<MachineIdentity> Farm(int count, std::uint64_t seed = 7)
{
    return GenerateMachines(count, seed, kDefaultFirstAddress);
}

std::vector<Behaviour> Assign(
    const std::vector<BehaviourGroup>& groups, const std::vector<MachineIdentity>& machines, std::uint64_t seed = 7)
{
    std::vector<Behaviour> behaviours;
    std::string error;
    EXPECT_TRUE(AssignBehaviours(groups, machines, seed, &behaviours, &error)) << error;
    return behaviours;
}

BehaviourGroup Behave(std::string_view text)
{
    BehaviourGroup group;
    std::string error;
    EXPECT_TRUE(ParseBehaveOption(text, &group, &error)) << text << ": " << error;
    return group;
}

template <typename Predicate> std::set<std::size_t> Where(const std::vector<Behaviour>& behaviours, Predicate predicate)
{
    std::set<std::size_t> indexes;
    for (std::size_t i = 0; i < behaviours.size(); ++i)
    {
        if (predicate(behaviours[i]))
        {
            indexes.insert(i);
        }
    }
    return indexes;
}

TEST(Scenario, ReadsAWholeFile)
{
    const std::string text = R"({
        // operators comment their scenarios
        "machines": 1000, "seed": 7, "firstAddress": "10.77.130.1", "search": { "spreadMs": 250 },
        "groups": [ { "fraction": 0.05, "silent": true }, { "count": 3, "api": "refuse" },
                    { "indexes": [0, 5], "settingResult": 2, "uartMask": "0x15" },
                    { "macs": ["02ab00000001"], "eeprom": "blank", "execOutput": "a, b" } ],
        "defaults": { "replyDelayMs": 5, "download": "close-half" } })";
    Scenario scenario;
    std::string error;
    ASSERT_TRUE(ParseScenario(text, &scenario, &error)) << error;
    EXPECT_EQ(scenario.machines, 1000);
    EXPECT_EQ(scenario.seed, 7u);
    EXPECT_EQ(scenario.firstAddress, 0x0A4D8201u);
    EXPECT_EQ(scenario.spreadMs, 250);
    ASSERT_EQ(scenario.groups.size(), 5u);
    // The defaults come first wherever the file puts them.
    EXPECT_EQ(scenario.groups[0].selector, GroupSelector::All);
    EXPECT_EQ(scenario.groups[0].settings.size(), 2u);
    EXPECT_EQ(scenario.groups[1].selector, GroupSelector::Fraction);
    EXPECT_DOUBLE_EQ(scenario.groups[1].fraction, 0.05);
    EXPECT_EQ(scenario.groups[2].selector, GroupSelector::Count);
    EXPECT_EQ(scenario.groups[2].count, 3);
    EXPECT_EQ(scenario.groups[3].indexes, (std::vector<std::int64_t> { 0, 5 }));
    EXPECT_EQ(scenario.groups[4].macs, (std::vector<std::string> { "02AB00000001" }));

    Behaviour behaviour;
    for (const auto& setting : scenario.groups[3].settings)
    {
        ASSERT_TRUE(ApplySetting(behaviour, setting, &error)) << error;
    }
    EXPECT_EQ(behaviour.settingResult, 2);
    EXPECT_EQ(behaviour.uartMask, 0x15u);
    for (const auto& setting : scenario.groups[0].settings)
    {
        ASSERT_TRUE(ApplySetting(behaviour, setting, &error)) << error;
    }
    EXPECT_EQ(behaviour.replyDelayMs, 5);
    EXPECT_EQ(behaviour.download, DownloadMode::CloseHalf);
}

TEST(Scenario, RejectsWhatItDoesNotKnowAndNamesTheKey)
{
    const std::string deep = R"({"groups": )" + std::string(3000, '['); // past jsoncpp's nesting limit
    const struct
    {
        const char* text;
        const char* mentions;
    } cases[] = {
        { R"({"machine": 5})", "machine" },
        { R"({"groups": [{"count": 1, "apii": "refuse"}]})", "groups[0].apii" },
        { R"({"defaults": {"api": "refuze"}})", "defaults.api" },
        { R"({"defaults": {"silent": 1}})", "defaults.silent" },
        { R"({"defaults": {"shortReply": 300}})", "defaults.shortReply" },
        { R"({"defaults": {"upgradeVersion": "2.1"}})", "defaults.upgradeVersion" },
        { R"({"defaults": {"fraction": 0.5}})", "defaults.fraction" },
        { R"({"groups": [{"fraction": 1.5}]})", "groups[0].fraction" },
        { R"({"groups": [{"fraction": 0.5, "count": 2}]})", "groups[0]" },
        { R"({"groups": [{"indexes": [-1]}]})", "groups[0].indexes[0]" },
        { R"({"search": {"spread": 10}})", "search.spread" },
        { R"({"firstAddress": "10.77"})", "firstAddress" },
        { R"({"machines": 0})", "machines" },
        { R"({"seed": 1, "seed": 2})", "JSON" },
        { R"([1, 2])", "object" },
        { R"({"machines": 5)", "JSON" },
        { deep.c_str(), "JSON" },
    };
    for (const auto& c : cases)
    {
        Scenario scenario;
        std::string error;
        EXPECT_FALSE(ParseScenario(c.text, &scenario, &error)) << c.text;
        EXPECT_NE(error.find(c.mentions), std::string::npos) << c.text << " gave: " << error;
    }
}

TEST(Scenario, BehaveOptionsTakeTheSameKeys)
{
    const BehaviourGroup group = Behave(
        "fraction=0.25,api=not-json,replyDelayMs=0x10,execOutput=a\\,b,silent=yes,unplugged=true,upgradeVersion=3.0.1");
    EXPECT_EQ(group.selector, GroupSelector::Fraction);
    EXPECT_DOUBLE_EQ(group.fraction, 0.25);
    Behaviour behaviour;
    std::string error;
    for (const auto& setting : group.settings)
    {
        ASSERT_TRUE(ApplySetting(behaviour, setting, &error)) << error;
    }
    EXPECT_EQ(behaviour.api, ApiMode::NotJson);
    EXPECT_EQ(behaviour.replyDelayMs, 16);
    EXPECT_EQ(behaviour.execOutput, "a,b");
    EXPECT_TRUE(behaviour.silent);
    EXPECT_TRUE(behaviour.unplugged);
    EXPECT_EQ(behaviour.upgradeVersion, "3.0.1");

    EXPECT_EQ(Behave("indexes=3:1:4").indexes, (std::vector<std::int64_t> { 3, 1, 4 }));
    EXPECT_EQ(
        Behave("macs=02ab00000001:02AB00000002").macs, (std::vector<std::string> { "02AB00000001", "02AB00000002" }));
    EXPECT_EQ(Behave("rebootMs=010").settings[0].value, SettingValue(std::int64_t { 10 })); // decimal, not octal

    for (const char* bad : { "api=refuze",
             "count=-1",
             "fraction=x",
             "silent",
             "nosuchkey=1",
             "count=1,indexes=2",
             "ledTestMs=1,ledTestMs=2",
             "uartMask=0x100000000",
             "execStatus=1.5",
             "upgradeVersion=3.0.100" })
    {
        BehaviourGroup ignored;
        std::string message;
        EXPECT_FALSE(ParseBehaveOption(bad, &ignored, &message)) << bad;
        EXPECT_FALSE(message.empty()) << bad;
    }
}

TEST(Scenario, FractionAndCountGroupsPickDistinctMachinesDeterministically)
{
    const auto machines = Farm(1000);
    const std::vector<BehaviourGroup> groups
        = { Behave("fraction=0.05,silent=true"), Behave("count=3,api=refuse"), Behave("fraction=0.1,eeprom=error") };
    const auto first = Assign(groups, machines);
    const auto silent = Where(first, [](const Behaviour& b) { return b.silent; });
    const auto refusing = Where(first, [](const Behaviour& b) { return b.api == ApiMode::Refuse; });
    const auto failing = Where(first, [](const Behaviour& b) { return b.eeprom == EepromMode::Error; });
    EXPECT_EQ(silent.size(), 50u);
    EXPECT_EQ(refusing.size(), 3u);
    EXPECT_EQ(failing.size(), 100u);
    std::set<std::size_t> all = silent;
    all.insert(refusing.begin(), refusing.end());
    all.insert(failing.begin(), failing.end());
    EXPECT_EQ(all.size(), 153u) << "the groups overlap";

    // The same seed picks the same machines; another seed picks others.
    EXPECT_EQ(Where(Assign(groups, machines), [](const Behaviour& b) { return b.silent; }), silent);
    EXPECT_NE(Where(Assign(groups, machines, 8), [](const Behaviour& b) { return b.silent; }), silent);
}

TEST(Scenario, LaterGroupsOverrideEarlierOnesAndFractionsWrapAround)
{
    const auto machines = Farm(10);
    std::vector<BehaviourGroup> groups = {
        Behave("ledTestMs=100"), Behave("indexes=2:3,ledTestMs=200"), Behave("indexes=3,ledTestMs=300,installMs=9")
    };
    auto behaviours = Assign(groups, machines);
    EXPECT_EQ(behaviours[0].ledTestMs, 100);
    EXPECT_EQ(behaviours[2].ledTestMs, 200);
    EXPECT_EQ(behaviours[3].ledTestMs, 300);
    EXPECT_EQ(behaviours[3].installMs, 9);
    EXPECT_EQ(behaviours[2].installMs, Behaviour {}.installMs);

    // 0.7 and 0.6 of ten machines: the second group takes the last three of
    // the shuffle, then starts over and overlaps the first by three.
    groups = { Behave("fraction=0.7,uartMask=1"), Behave("fraction=0.6,replyDelayMs=5") };
    behaviours = Assign(groups, machines);
    EXPECT_EQ(Where(behaviours, [](const Behaviour& b) { return b.uartMask == 1; }).size(), 7u);
    EXPECT_EQ(Where(behaviours, [](const Behaviour& b) { return b.replyDelayMs == 5; }).size(), 6u);
    EXPECT_EQ(Where(behaviours, [](const Behaviour& b) { return b.uartMask == 1 && b.replyDelayMs == 5; }).size(), 3u);
}

TEST(Scenario, MachinesKeepTheirNaturalQuirksUnlessAGroupSaysOtherwise)
{
    const auto machines = Farm(2000);
    auto behaviours = Assign({}, machines);
    std::size_t boms = 0;
    for (std::size_t i = 0; i < machines.size(); ++i)
    {
        EXPECT_EQ(behaviours[i].shortReply, machines[i].shortReply);
        EXPECT_EQ(behaviours[i].addressAsAll, machines[i].addressAsAll);
        boms += behaviours[i].bom ? 1 : 0;
    }
    EXPECT_GT(boms, 0u);
    behaviours = Assign({ Behave("bom=false,shortReply=256") }, machines);
    EXPECT_TRUE(std::none_of(behaviours.begin(), behaviours.end(), [](const Behaviour& b) { return b.bom; }));
    EXPECT_TRUE(
        std::all_of(behaviours.begin(), behaviours.end(), [](const Behaviour& b) { return b.shortReply == 256; }));
}

TEST(Scenario, NamedMachinesMustExist)
{
    const auto machines = Farm(10);
    std::vector<Behaviour> behaviours;
    std::string error;
    EXPECT_FALSE(AssignBehaviours(std::vector { Behave("indexes=10,silent=true") }, machines, 7, &behaviours, &error));
    EXPECT_NE(error.find("index 10"), std::string::npos) << error;
    EXPECT_FALSE(
        AssignBehaviours(std::vector { Behave("macs=020000000000,silent=true") }, machines, 7, &behaviours, &error));
    EXPECT_NE(error.find("020000000000"), std::string::npos) << error;

    // A MAC typed in lower case names its machine.
    std::string lower = machines[4].mac;
    std::transform(
        lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const auto picked = Assign({ Behave("macs=" + lower + ",silent=true") }, machines);
    EXPECT_EQ(Where(picked, [](const Behaviour& b) { return b.silent; }), std::set<std::size_t> { 4 });
}

TEST(Scenario, ApplySettingChecksWhatCodeHandsIt)
{
    Behaviour behaviour;
    std::string error;
    EXPECT_FALSE(ApplySetting(behaviour, { "nosuch", true }, &error));
    EXPECT_FALSE(ApplySetting(behaviour, { "silent", std::int64_t { 1 } }, &error));
    EXPECT_FALSE(ApplySetting(behaviour, { "shortReply", std::int64_t { 4 } }, &error));
    EXPECT_FALSE(ApplySetting(behaviour, { "api", std::int64_t { 99 } }, &error));
    EXPECT_TRUE(ApplySetting(behaviour, { "api", std::int64_t { 1 } }, &error));
    EXPECT_EQ(behaviour.api, ApiMode::Refuse);
}

} // namespace
} // namespace quellis::sim
