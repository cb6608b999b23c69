// The pool text of each machine, the [POOLS] keys, and the pool files.
#include "core/settings.h"
#include "miner/pool_config.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace quellis::miner
{
namespace
{

PoolSlots OneSlot(int suffixMode)
{
    PoolSlots slots;
    slots[0] = { true, "U", "W", "P", suffixMode };
    return slots;
}

TEST(PoolText, IsTheFourElementsWithTheAddressSuffixOfMode0Only)
{
    const std::string empty = R"({"url":"","user":"","pass":""})";
    EXPECT_EQ(BuildPoolText(OneSlot(kSuffixIp), "192.168.1.23"),
        R"({"pools":[{"url":"U","user":"W.192x168x1x23","pass":"P"},)" + empty + "," + empty + "," + empty + "]}");
    for (const int mode : { kSuffixExistingWorker, kSuffixNone, 5 })
    {
        EXPECT_EQ(BuildPoolText(OneSlot(mode), "192.168.1.23"),
            R"({"pools":[{"url":"U","user":"W","pass":"P"},)" + empty + "," + empty + "," + empty + "]}");
    }
    // All four disabled: still four elements. Texts go in as typed.
    PoolSlots slots;
    slots[3] = { false, "x", "y", "z", kSuffixIp };
    EXPECT_EQ(
        BuildPoolText(slots, "10.0.0.1"), R"({"pools":[)" + empty + "," + empty + "," + empty + "," + empty + "]}");
    slots[2] = { true, "a\"b", "", "p,q", kSuffixIp };
    EXPECT_EQ(BuildPoolText(slots, "10.0.0.1"),
        R"({"pools":[)" + empty + "," + empty + R"(,{"url":"a"b","user":".10x0x0x1","pass":"p,q"},)" + empty + "]}");

    // The bound used before a run holds for every address.
    slots[0] = { true, "u", "w", "p", kSuffixIp };
    EXPECT_EQ(LongestPoolText(slots), BuildPoolText(slots, "255.255.255.255").size());
    EXPECT_GE(LongestPoolText(slots), BuildPoolText(slots, "1.2.3.4").size());
}

TEST(PoolSettings, DefaultsWithoutASectionAndTheRoundTripOfEveryKey)
{
    test::TempDir dir;
    const std::filesystem::path config = dir / "config.ini";
    const PoolRowSettings defaults = ReadPoolSettings(config);
    for (std::size_t n = 0; n < kPoolSlotCount; ++n)
    {
        EXPECT_EQ(defaults[n].url.rfind("stratum+tcp://", 0), 0u) << n;
        EXPECT_EQ(defaults[n].password, "x");
        EXPECT_EQ(defaults[n].type, kSuffixIp);
    }
    EXPECT_EQ(defaults[0].url.substr(defaults[0].url.size() - 5), ":9560");
    EXPECT_EQ(defaults[3].url.substr(defaults[3].url.size() - 5), ":3256");
    EXPECT_EQ(defaults[3].worker.substr(defaults[3].worker.size() - 2), ".0");

    PoolRowSettings rows = defaults;
    rows[1] = { "stratum+tcp://矿池.example:1", "工人", "", 2 };
    rows[2].url = std::string(600, 'u'); // kept to 499 bytes, as a 500-byte buffer reads it
    WritePoolSettings(rows, config);
    const PoolRowSettings read = ReadPoolSettings(config);
    EXPECT_EQ(read[1].url, rows[1].url);
    EXPECT_EQ(read[1].worker, "工人");
    EXPECT_EQ(read[1].password, "");
    EXPECT_EQ(read[1].type, 2);
    EXPECT_EQ(read[2].url, std::string(499, 'u'));
    EXPECT_NE(dir.Read("config.ini").find("TYPE2=2"), std::string::npos);
}

TEST(PoolFiles, EachFileIsTheThreePoolsThenTheTemplateWithCrLf)
{
    const std::string head7
        = "{\r\n\"pools\":[\r\n{\r\n\"url\":\"stratum+tcp://eu.pool.example.net:8888\",\r\n"
          "\"user\":\"farmaccount.7\",\r\n\"pass\":\"x\"\r\n}\r\n,\r\n{\r\n"
          "\"url\":\"stratum+tcp://192.168.1.100:7903\",\r\n\"user\":\"YOUR_WALLET_ADDRESS\",\r\n"
          "\"pass\":\"x\"\r\n}\r\n,\r\n{\r\n\"url\":\"stratum+tcp://asia.pool.example.org:6099\",\r\n"
          "\"user\":\"farmbackup.7\",\r\n\"pass\":\"x\"\r\n}\r\n]\r\n,\r\n";
    EXPECT_EQ(PoolFileText(7, "0123456789"), head7 + "0123456789");
    // Read and written as text: LF and CR LF both end up CR LF; a NUL ends the template.
    EXPECT_EQ(PoolFileText(7, "\"a\":1,\n\"b\":2\r\n}"), head7 + "\"a\":1,\r\n\"b\":2\r\n}");
    EXPECT_EQ(PoolFileText(7, std::string("ab\0cd", 5)), head7 + "ab");
    // A template of 1024 bytes or more is copied whole.
    const std::string long_(3000, 'k');
    EXPECT_EQ(PoolFileText(7, long_), head7 + long_);
    EXPECT_EQ(PoolFileName(119), "cgminer.conf119.xtc");
}

TEST(PoolFiles, GeneratesTheHundredAndTwentyFilesAndOverwritesThem)
{
    test::TempDir dir;
    EXPECT_EQ(GeneratePoolFiles(dir.Path()), PoolFilesResult::TemplateMissing);
    EXPECT_FALSE(std::filesystem::exists(dir / "cgminer.conf0.xtc"));

    dir.Write("cgminer.conf.xtc", "\"api-listen\":true\n}");
    dir.Write("cgminer.conf5.xtc", std::string(100000, 'z')); // an older, longer file
    ASSERT_EQ(GeneratePoolFiles(dir.Path()), PoolFilesResult::Written);
    for (int i = 0; i < kPoolFileCount; ++i)
    {
        ASSERT_EQ(dir.Read(PoolFileName(i)), PoolFileText(i, "\"api-listen\":true\n}")) << i;
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "cgminer.conf120.xtc"));
    dir.Write("cgminer.conf.xtc", "x");
    ASSERT_EQ(GeneratePoolFiles(dir.Path()), PoolFilesResult::Written);
    EXPECT_EQ(dir.Read("cgminer.conf119.xtc"), PoolFileText(119, "x"));
}

} // namespace
} // namespace quellis::miner
