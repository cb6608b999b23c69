#include "protocol/internet_checksum.h"
#include "sim/eeprom.h"
#include "sim/package_request.h"
#include "sim/pool_config.h"

#include <gtest/gtest.h>

#include <cstring>

namespace quellis::sim
{
namespace
{

using Pools = std::vector<PoolEntry>;

TEST(PoolConfig, ReadsTheToolsTextAndDropsDisabledRows)
{
    const std::string text
        = R"({"pools":[{"url":"stratum+tcp://a.example:9560","user":"W.10x77x128x5","pass":"P"},)"
          R"({"url":"","user":"","pass":""},{"url":"stratum+tcp://b.example:3272","user":"W2","pass":""},)"
          R"({"url":"","user":"","pass":""}]})";
    EXPECT_EQ(ParsePoolText(text),
        (Pools {
            { "stratum+tcp://a.example:9560", "W.10x77x128x5", "P" }, { "stratum+tcp://b.example:3272", "W2", "" } }));
    // The NUL the datagram carries ends the text.
    EXPECT_EQ(ParsePoolText(text + std::string(1, '\0') + "garbage"), ParsePoolText(text));
    const std::string allDisabled = R"({"pools":[{"url":"","user":"","pass":""},{"url":"","user":"","pass":""}]})";
    EXPECT_EQ(ParsePoolText(allDisabled), Pools {});
}

TEST(PoolConfig, ReadsUnescapedTextsByTheToolsShape)
{
    // The tool puts in what the operator typed: a quote or a backslash breaks the JSON.
    const std::string text = R"({"pools":[{"url":"stratum+tcp://a\b.example:1","user":"w"x","pass":"p"},"q"},)"
                             R"({"url":"u2","user":"w2","pass":"p2"}]})";
    EXPECT_EQ(
        ParsePoolText(text), (Pools { { "stratum+tcp://a\\b.example:1", "w\"x", "p\"},\"q" }, { "u2", "w2", "p2" } }));
}

TEST(PoolConfig, RefusesWhatIsNeitherJsonNorTheToolsShape)
{
    for (const char* text : { "",
             "{}",
             "{\"pools\":{}}",
             "{\"pools\":[1]}",
             "{\"pools\":[{\"url\":5}]}",
             "{\"pools\":[{\"url\":\"a\",\"user\":\"b\"}",
             "pools" })
    {
        EXPECT_FALSE(ParsePoolText(text).has_value()) << text;
    }
}

protocol::E2Block Block(std::uint32_t start, std::string_view data, std::optional<std::uint16_t> checksum = {})
{
    protocol::E2Block block;
    block.start = start;
    block.length = static_cast<std::uint32_t>(data.size());
    std::memcpy(block.data.data(), data.data(), data.size());
    block.checksum = checksum.value_or(protocol::InternetChecksum(std::span(block.data).first(data.size())));
    return block;
}

E2Record Record(std::string_view text)
{
    E2Record record {};
    std::memcpy(record.data(), text.data(), std::min(text.size(), record.size()));
    return record;
}

TEST(Eeprom, ReadsWithAMatchingChecksumAndWritesWhereAsked)
{
    E2Record record = Record("N00042");
    protocol::E2Block request;
    request.length = 40;
    E2ReadAnswer read = ReadE2(record, request, EepromMode::Ok, 5);
    EXPECT_EQ(read.result, 0);
    EXPECT_EQ(read.block.length, 40u);
    EXPECT_EQ(std::memcmp(read.block.data.data(), record.data(), 40), 0);
    EXPECT_EQ(read.block.checksum, protocol::InternetChecksum(record));

    // The one-D part alone, from byte 15.
    EXPECT_EQ(WriteE2(record, Block(15, "1234890ABSN0001"), EepromMode::Ok, 5), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(record.data()) + 15), "1234890ABSN0001");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(record.data())), "N00042");

    // A write running past the record keeps to its 40 bytes.
    const std::string longText(60, 'x');
    EXPECT_EQ(WriteE2(record, Block(30, longText), EepromMode::Ok, 5), 0);
    EXPECT_EQ(record[39], 'x');
    EXPECT_EQ(record[29], '1');

    request.start = 15;
    request.length = 100;
    read = ReadE2(record, request, EepromMode::Ok, 5);
    EXPECT_EQ(read.block.length, 25u);
    EXPECT_EQ(read.block.start, 15u);
}

TEST(Eeprom, RefusesBadWrites)
{
    E2Record record = Record("N00042");
    const E2Record before = record;
    EXPECT_EQ(WriteE2(record, Block(0, "ABCDEF", 0x1234), EepromMode::Ok, 5), kE2ChecksumMismatch);
    EXPECT_EQ(WriteE2(record, Block(0, ""), EepromMode::Ok, 5), kE2InvalidRequest);
    EXPECT_EQ(WriteE2(record, Block(40, "A"), EepromMode::Ok, 5), kE2InvalidRequest);
    protocol::E2Block tooLong = Block(0, "A");
    tooLong.length = 257;
    EXPECT_EQ(WriteE2(record, tooLong, EepromMode::Ok, 5), kE2InvalidRequest);
    EXPECT_EQ(record, before);
    protocol::E2Block request;
    request.start = 40;
    request.length = 1;
    EXPECT_EQ(ReadE2(record, request, EepromMode::Ok, 5).result, kE2InvalidRequest);
}

TEST(Eeprom, FaultsDoExactlyWhatTheySay)
{
    E2Record record = Record("N00042");
    protocol::E2Block request;
    request.length = 40;

    const E2ReadAnswer blank = ReadE2(record, request, EepromMode::Blank, 5);
    EXPECT_EQ(blank.result, 0);
    EXPECT_EQ(blank.block.data[0], 0xFF);
    EXPECT_EQ(blank.block.data[39], 0xFF);
    EXPECT_EQ(blank.block.data[40], 0x00);
    EXPECT_EQ(blank.block.checksum, protocol::InternetChecksum(std::span(blank.block.data).first(40)));
    EXPECT_EQ(WriteE2(record, Block(0, "ZZZZZZ"), EepromMode::Blank, 5), 0);
    EXPECT_EQ(record[0], 'N') << "a blank EEPROM keeps nothing";

    const E2ReadAnswer bad = ReadE2(record, request, EepromMode::BadChecksum, 5);
    EXPECT_EQ(bad.result, 0);
    EXPECT_EQ(bad.block.data[0], 'N');
    EXPECT_NE(bad.block.checksum, protocol::InternetChecksum(std::span(bad.block.data).first(40)));

    const E2ReadAnswer failed = ReadE2(record, request, EepromMode::Error, 17);
    EXPECT_EQ(failed.result, 17);
    EXPECT_EQ(failed.block.length, 0u);
    EXPECT_EQ(WriteE2(record, Block(0, "ZZZZZZ"), EepromMode::Error, 17), 17);
    EXPECT_EQ(record[0], 'N');
}

TEST(PackageRequest, IsTheFiveFieldTextTheServerParses)
{
    EXPECT_EQ(FormatPackageRequest(0x3f2, "miner", 0), "1:3f2:miner:96:0");
    EXPECT_EQ(FormatPackageRequest(16, "x", 0x400000), "1:10:x:96:400000");
    EXPECT_EQ(FormatPackageRequest(1, "a:b", 0), "1:1:a_b:96:0");
    EXPECT_EQ(FormatPackageRequest(1, "", 0), "1:1:package:96:0");
    EXPECT_EQ(FormatPackageRequest(1, std::string(40, 'n'), 0), "1:1:" + std::string(31, 'n') + ":96:0");
}

} // namespace
} // namespace quellis::sim
