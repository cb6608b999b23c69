#include "platform/text/codepage.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace quellis::text
{
namespace
{

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

std::string Repeat(std::string_view text, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
    {
        out += text;
    }
    return out;
}

struct TextPair
{
    std::string utf8;
    std::string cp936;
};

TEST(Codepage, ConvertsChineseBothWays)
{
    const std::vector<TextPair> cases = {
        { "", "" },
        { "IP 192.168.1.10\r\n", "IP 192.168.1.10\r\n" },
        { "升级成功%d台", "\xC9\xFD\xBC\xB6\xB3\xC9\xB9\xA6%d\xCC\xA8" },
        { "矿机-01", "\xBF\xF3\xBB\xFA-01" },
        // Second bytes that are ASCII letters and ']'.
        { "丄乤乚", "\x81\x41\x81\x61\x81\x5D" },
        { "€", "\x80" },
        // Longer than the conversion's chunk buffer.
        { Repeat("升级.", 3000), Repeat("\xC9\xFD\xBC\xB6.", 3000) },
    };
    for (const TextPair& pair : cases)
    {
        EXPECT_EQ(Utf8ToCp936(pair.utf8), pair.cp936) << pair.utf8.substr(0, 40);
        EXPECT_EQ(Cp936ToUtf8(pair.cp936), pair.utf8) << pair.utf8.substr(0, 40);
    }
}

TEST(Codepage, BadCp936BecomesReplacementWithoutEatingTheNextCharacter)
{
    const std::string r(kReplacement);
    const std::vector<TextPair> cases = {
        { r, "\xFF" },
        { "a" + r, "a\x81" }, // lead byte at the end
        { r + "0x", "\x81\x30x" }, // a second byte that cannot follow: kept as ASCII
        { r + "\x7F", "\x81\x7F" },
        { r + "?", "\xAA\xA1?" }, // a well-formed pair without a character: one replacement
        { "升" + r + "级", "\xC9\xFD\xFF\xBC\xB6" },
    };
    for (const TextPair& pair : cases)
    {
        EXPECT_EQ(Cp936ToUtf8(pair.cp936), pair.utf8);
    }

    // The byte after the view would complete the character; it must not be read.
    const std::string backing = "\xC9\xFD";
    EXPECT_EQ(Cp936ToUtf8(std::string_view(backing.data(), 1)), r);
}

TEST(Codepage, Utf8WithoutCp936FormOrInvalidBecomesQuestionMark)
{
    const std::vector<TextPair> cases = {
        { "😀", "?" },
        { "a한b", "a?b" },
        { "升😀级", "\xC9\xFD?\xBC\xB6" },
        { "\xFF", "?" },
        { "\x80", "?" },
        { "\xC0\xAF", "??" }, // overlong '/': C0 can never start a character
        { "\xE5\x8D", "?" }, // cut off at the end
        { "\xE5\x8Dx", "?x" },
        { "\xED\xA0\x80", "???" }, // surrogate
        { "\xF4\x90\x80\x80", "????" }, // above U+10FFFF
        { "\xF0\x9F\x98", "?" }, // cut-off emoji: one error, not three
        { "\xFF升", "?\xC9\xFD" },
    };
    for (const TextPair& pair : cases)
    {
        EXPECT_EQ(Utf8ToCp936(pair.utf8), pair.cp936) << "input bytes: " << pair.utf8.size();
    }
}

TEST(Codepage, ValidatesUtf8Strictly)
{
    const struct
    {
        std::string text;
        bool valid;
    } cases[] = {
        { "", true },
        { "plain", true },
        { "升级成功", true },
        { "\xF4\x8F\xBF\xBF", true }, // U+10FFFF
        { "\xEF\xBF\xBD", true },
        { std::string("a\0b", 3), true },
        { "\xC0\x80", false }, // overlong NUL
        { "\xE0\x9F\xBF", false }, // overlong three-byte form
        { "\xF0\x8F\xBF\xBF", false }, // overlong four-byte form
        { "\xED\xA0\x80", false }, // U+D800
        { "\xED\xBF\xBF", false }, // U+DFFF
        { "\xF4\x90\x80\x80", false }, // U+110000
        { "\xF5\x80\x80\x80", false },
        { "\xE5\x8D", false },
        { "\x80", false },
        { "\xC9\xFD", false }, // GBK for 升
    };
    for (const auto& entry : cases)
    {
        EXPECT_EQ(IsValidUtf8(entry.text), entry.valid) << "size " << entry.text.size();
    }
}

TEST(Codepage, DeviceTextIsUtf8WhenValidElseCp936)
{
    const struct
    {
        std::string sent;
        std::string shown;
    } cases[] = {
        { "miner-01", "miner-01" },
        { "矿机-01", "矿机-01" }, // a UTF-8 host name
        { "\xBF\xF3\xBB\xFA-01", "矿机-01" }, // the same name in GBK
        // UTF-8 "你好" also reads as three GBK pairs; UTF-8 wins.
        { "\xE4\xBD\xA0\xE5\xA5\xBD", "你好" },
        { "\xD6\xD0\xFF", "中" + std::string(kReplacement) },
    };
    for (const auto& entry : cases)
    {
        EXPECT_EQ(DeviceTextToUtf8(entry.sent), entry.shown);
    }
}

TEST(Codepage, Cp936PrefixNeverSplitsACharacter)
{
    const struct
    {
        std::string bytes;
        std::size_t maxBytes;
        std::string expected;
    } cases[] = {
        { "\xC9\xFD\xBC\xB6", 3, "\xC9\xFD" },
        { "\xC9\xFD\xBC\xB6", 4, "\xC9\xFD\xBC\xB6" },
        { "\xC9\xFD\xBC\xB6", 1, "" },
        { "a\xC9\xFD", 2, "a" },
        { "\x81\x41?", 1, "" }, // 'A' here is the second half of 丄
        { "\x81\x30", 1, "\x81" }, // not a pair
        { "abc", 0, "" },
        { "abc", 10, "abc" },
    };
    for (const auto& entry : cases)
    {
        EXPECT_EQ(Cp936Prefix(entry.bytes, entry.maxBytes), entry.expected) << entry.maxBytes;
    }
}

TEST(Codepage, ConvertsFromManyThreadsAtOnce)
{
    const std::string utf8 = Repeat("升级成功%d台，升级失败%d台\r\n", 20);
    const std::string cp936 = Utf8ToCp936(utf8);
    ASSERT_NE(cp936, utf8);
    std::atomic<int> wrong { 0 };
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
    {
        threads.emplace_back(
            [&]
            {
                for (int i = 0; i < 300; ++i)
                {
                    if (Utf8ToCp936(utf8) != cp936 || Cp936ToUtf8(cp936) != utf8)
                    {
                        ++wrong;
                    }
                }
            });
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
} // namespace quellis::text
