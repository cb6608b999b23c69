// The package request text and the server's intrusive list: pure logic.
#include "update/package_request.h"
#include "update/tlist.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quellis::update
{
namespace
{

TEST(PackageRequest, ReadsTheFiveFieldsByTheirRules)
{
    struct Case
    {
        std::string text;
        bool valid;
        int command = 0;
        std::uint64_t offset = 0;
    };
    const Case cases[] = {
        { "1:3f2:miner:96:0", true, REQ_FILE_DATA, 0 },
        { "1:10:x:96:400000", true, REQ_FILE_DATA, 4 * 1024 * 1024 },
        { "1:10:x:352:0", true, REQ_FILE_DATA, 0 }, // only the low 8 bits of the command count
        { "::1::10:x:96:0", true, REQ_FILE_DATA, 0 }, // leading colons and runs of them are one separator
        { "1:10:x:98", true, REQ_DIRECTORY, 0 }, // no offset for a directory request
        { "1:10:x:98:ff", true, REQ_DIRECTORY, 0 }, // nor is one read
        { "1:10:x:96:4x0-0:000", true, REQ_FILE_DATA, 0x400 }, // non-hex characters skipped, the field ends at ':'
        { "1:10:x:96:AbCdEf012", true, REQ_FILE_DATA, 0xABCDEF012 },
        { "1:10:x:96:ffffffffffffffff", true, REQ_FILE_DATA, ~std::uint64_t { 0 } },
        { "1:10:x:96:0\r\n", true, REQ_FILE_DATA, 0 },
        { "1:10:x:98\n", true, REQ_DIRECTORY, 0 }, // a trailing line end ends the decimal
        { "1:10:x:96:0:more:fields", true, REQ_FILE_DATA, 0 },
        { "2:10:x:96:0", false },
        { "1:10:x:97:0", false },
        { "1:10:x:96", false }, // a file request needs its offset
        { "1:10:x:96:", false },
        { "1:10:x", false },
        { "1:10", false },
        { "", false },
        { ":::::", false },
        { "x:10:x:96:0", false },
        { std::string("1:10:x:96\0:0", 12), false }, // the text ends at its NUL
    };
    for (const Case& c : cases)
    {
        const auto request = ParsePackageRequest(c.text);
        ASSERT_EQ(request.has_value(), c.valid) << c.text;
        if (request)
        {
            EXPECT_EQ(request->command, c.command) << c.text;
            EXPECT_EQ(request->startOffset, c.offset) << c.text;
        }
    }
}

TEST(PackageRequest, KeepsThePacketNumberAndAtMost31CharactersOfTheName)
{
    const auto request = ParsePackageRequest("1:3f2:" + std::string(40, 'n') + ":96:0");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->packetNumber, 0x3F2u);
    EXPECT_EQ(request->name, std::string(31, 'n'));
}

struct Item : TLink
{
    explicit Item(int v)
        : value(v)
    {
    }
    int value;
};

std::vector<int> OldestFirst(const TList<Item>& list)
{
    std::vector<int> values;
    for (Item* item = list.First(); item != nullptr; item = list.Next(item))
    {
        values.push_back(item->value);
    }
    return values;
}

TEST(TList, SearchesRunFromTheOldestAndRemovalRelinksTheNeighbours)
{
    TList<Item> list;
    EXPECT_EQ(list.First(), nullptr);
    Item one(1), two(2), three(3), four(4);
    for (Item* item : { &one, &two, &three, &four })
    {
        list.Add(item);
    }
    EXPECT_EQ(OldestFirst(list), (std::vector<int> { 1, 2, 3, 4 }));
    EXPECT_EQ(list.Find([](const Item& item) { return item.value % 2 == 0; }), &two);

    list.Remove(&two); // from the middle
    EXPECT_EQ(two.next, nullptr);
    EXPECT_EQ(two.previous, nullptr);
    list.Remove(&four); // the newest
    list.Remove(&one); // the oldest
    EXPECT_EQ(OldestFirst(list), std::vector<int> { 3 });
    EXPECT_EQ(list.Count(), 1u);
    list.Add(&one);
    EXPECT_EQ(OldestFirst(list), (std::vector<int> { 3, 1 }));
    list.Remove(&three);
    list.Remove(&one);
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_EQ(list.First(), nullptr);
}

} // namespace
} // namespace quellis::update
