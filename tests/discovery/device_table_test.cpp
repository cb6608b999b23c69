#include "discovery/device_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace quellis::discovery
{

using namespace quellis::protocol;
namespace
{

TEST(FormatRunTime, BothLanguagesAtEachRange)
{
    const struct
    {
        std::int32_t seconds;
        int language;
        const char* text;
    } cases[] = {
        { 0, 1, "0秒" },
        { 59, 1, "59秒" },
        { 60, 1, "1分00秒" },
        { 3599, 1, "59分59秒" },
        { 3600, 0, "1H00M00S" },
        { 3600, 1, "1时00分00秒" },
        { 90061, 1, "1天01时01分01秒" },
        { 90061, 2, "1D01H01M01S" },
        { 59, 0, "59S" },
        { 61, 5, "1M01S" },
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(FormatRunTime(c.seconds, c.language), std::optional<std::string>(c.text)) << c.seconds;
    }
    EXPECT_EQ(FormatRunTime(-1, 1), std::nullopt);
}

template <typename Compare>
std::vector<std::string> Sorted(std::vector<std::string> texts, Compare compare, bool ascending)
{
    std::stable_sort(texts.begin(),
        texts.end(),
        [&](const std::string& a, const std::string& b)
        {
            const int order = compare(a, b);
            return ascending ? order < 0 : order > 0;
        });
    return texts;
}

TEST(DeviceSort, AddressesSortByHostNumberWithinTheirNetwork)
{
    const std::vector<std::string> ips = { "192.168.1.20", "192.168.2.5", "192.168.1.7" };
    EXPECT_EQ(Sorted(ips, CompareAddress, false),
        (std::vector<std::string> { "192.168.1.20", "192.168.1.7", "192.168.2.5" }));
    EXPECT_EQ(
        Sorted(ips, CompareAddress, true), (std::vector<std::string> { "192.168.2.5", "192.168.1.7", "192.168.1.20" }));
    // Not an address: the largest key, the same as 255.255.255.255.
    EXPECT_GT(CompareAddress("not an address", "254.255.255.255"), 0);
    EXPECT_EQ(CompareAddress("", "255.255.255.255"), 0);
    EXPECT_EQ(AddressSortKey("10.77.128.1"), 0x01804D0Au);
}

TEST(DeviceSort, RunTimesSortByLengthThenLeadingNumber)
{
    EXPECT_GT(CompareRunTime("1时00分00秒", "59分59秒"), 0); // longer text
    EXPECT_LT(CompareRunTime("9秒", "10秒"), 0);
    // Same length: only the leading digits count, so 5M09S and 5M10S are equal.
    EXPECT_EQ(CompareRunTime("5M09S", "5M10S"), 0);
    EXPECT_LT(CompareRunTime("5M10S", "6M00S"), 0);
    EXPECT_EQ(CompareRunTime("", ""), 0);
    EXPECT_LT(CompareRunTime("", "0秒"), 0);
    // Chinese units are two bytes each in the list's code page.
    EXPECT_GT(CompareRunTime("1天00时00分00秒", "23H59M59S1"), 0);
}

TEST(DeviceSort, HostNamesIgnoreCaseOfSingleByteLettersOnly)
{
    EXPECT_EQ(CompareHostName("Rack03-M17", "rack03-m17"), 0);
    EXPECT_LT(CompareHostName("rack03-m09", "RACK03-M17"), 0);
    EXPECT_LT(CompareHostName("rack", "rack03"), 0);
    // 丁 (B6 A1) and 丂 (81 40): code page 936 order, not Unicode order.
    EXPECT_GT(CompareHostName("丁", "丂"), 0);
    // A double-byte character whose trail byte is an ASCII letter is not folded:
    // 丄 is 81 41 ('A'), 乤 is 81 61 ('a').
    EXPECT_NE(CompareHostName("丄", "乤"), 0);
}

TEST(DeviceSort, EachColumnHasItsOwnDirectionStartingDescending)
{
    SortState state;
    bool ascending = true;
    ASSERT_TRUE(state.Click(kColumnIp, ascending));
    EXPECT_FALSE(ascending);
    ASSERT_TRUE(state.Click(kColumnIp, ascending));
    EXPECT_TRUE(ascending);
    ASSERT_TRUE(state.Click(kColumnHostName, ascending));
    EXPECT_FALSE(ascending); // its own flag, still clear
    ASSERT_TRUE(state.Click(kColumnIp, ascending));
    EXPECT_FALSE(ascending);
    EXPECT_EQ(state.LastColumn(), kColumnIp);
    for (const int column : std::initializer_list<int> {
             kColumnIndex, kColumnMask, kColumnGateway, kColumnMac, kColumnTemperature, kColumnVersion, 9 })
    {
        EXPECT_FALSE(state.Click(column, ascending)) << column;
    }
    EXPECT_EQ(state.LastColumn(), kColumnIp);
}

TEST(PlaceRecord, NewMacsTakeTheNextRowOnceKnownOnesRefreshTheirsAndTheCeilingIsToldOnce)
{
    MacIndex index;
    bool ceilingLogged = false;
    std::string lines;
    DeviceRecord record;
    record.mac = "A1B2C3D4E5F6";
    record.ip = "10.0.0.5";
    record.versionNumber = 10203;
    record.runSeconds = 60;
    record.receivedLength = kRecordSize;

    const auto added = PlaceRecord(record, 0, 7, index, ceilingLogged, lines);
    ASSERT_TRUE(added);
    EXPECT_TRUE(added->added);
    EXPECT_EQ(added->row, 7);
    EXPECT_EQ(added->cells.front(), (std::pair<int, std::string>(kColumnIndex, "8")));
    EXPECT_EQ(lines, "8 Device 10.0.0.5 server version 1.2.3\r\n");

    // The same MAC again, whatever row would come next: its own row, no line.
    const auto refreshed = PlaceRecord(record, 0, 9, index, ceilingLogged, lines);
    ASSERT_TRUE(refreshed);
    EXPECT_FALSE(refreshed->added);
    EXPECT_EQ(refreshed->row, 7);
    EXPECT_EQ(refreshed->cells, RecordCells(record, 0));

    // At the ceiling new MACs get no row, and the line comes once.
    lines.clear();
    for (const char* mac : { "000000000001", "000000000002" })
    {
        record.mac = mac;
        EXPECT_FALSE(PlaceRecord(record, 0, kMaxDeviceRows, index, ceilingLogged, lines));
    }
    EXPECT_EQ(lines, RowCeilingLine());
}

TEST(MacIndex, FindsRowsByExactMacText)
{
    MacIndex index;
    index.Add("A1B2C3D4E5F6", 0);
    index.Add("0A1B2C3D4E5F", 1);
    EXPECT_EQ(index.Find("A1B2C3D4E5F6"), 0);
    EXPECT_EQ(index.Find("a1b2c3d4e5f6"), std::nullopt); // case matters
    index.Add("A1B2C3D4E5F6", 7); // moved by a sort
    EXPECT_EQ(index.Find("A1B2C3D4E5F6"), 7);
    index.Clear();
    EXPECT_EQ(index.Find("0A1B2C3D4E5F"), std::nullopt);
}

} // namespace
} // namespace quellis::discovery
