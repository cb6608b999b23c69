#include "platform/profile/profile.h"
#include "platform/profile/profile_text.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace quellis::profile
{
namespace
{

constexpr const char* kIni = "config.ini";

// GBK bytes of the Chinese texts used below.
constexpr std::string_view kGbkMineConfig = "\xBF\xF3\xB3\xA1\xC5\xE4\xD6\xC3"; // 矿场配置
constexpr std::string_view kGbkMiner = "\xBF\xF3\xB9\xA4"; // 矿工
constexpr std::string_view kGbkUpgradeOk = "\xC9\xFD\xBC\xB6\xB3\xC9\xB9\xA6"; // 升级成功

TEST(ProfileText, NamesCompareIgnoringAsciiCaseOnly)
{
    const struct
    {
        std::string left;
        std::string right;
        bool equal;
    } cases[] = {
        { "IP", "ip", true },
        { "SendBuf", "SENDBUF", true },
        { "a", "ab", false },
        { "@", "`", false }, // 0x40 and 0x60 differ only in the case bit but are not letters
        { "[", "{", false },
        { "\x81\x41", "\x81\x61", false }, // 丄 and 乤: the second bytes are 'A' and 'a'
        { "\x81\x41x", "\x81\x41X", true },
        { "\xA3\xC1", "\xA3\xE1", false }, // full-width Ａ and ａ are different names
    };
    for (const auto& entry : cases)
    {
        EXPECT_EQ(ProfileNamesEqual(entry.left, entry.right), entry.equal) << entry.left << " / " << entry.right;
        EXPECT_EQ(ProfileNamesEqual(entry.right, entry.left), entry.equal) << entry.right << " / " << entry.left;
    }
}

TEST(ProfileText, IntegersTakeLeadingDigitsAndWrap)
{
    const struct
    {
        std::string value;
        int expected;
    } cases[] = {
        { "-1", -1 },
        { "+7", 7 },
        { "12abc", 12 },
        { "abc", 0 },
        { "", 0 },
        { "  42", 42 },
        { "\t-8", -8 },
        { "007", 7 },
        { "3.9", 3 },
        { "0x10", 0 },
        { "- 3", 0 },
        { "--3", 0 },
        { "2147483647", INT_MAX },
        { "-2147483648", INT_MIN },
        { "2147483648", INT_MIN },
        { "4294967295", -1 },
        { "4294967296", 0 },
        { "4294967306", 10 },
    };
    for (const auto& entry : cases)
    {
        EXPECT_EQ(ParseProfileInt(entry.value), entry.expected) << '"' << entry.value << '"';
    }
}

TEST(ProfileFile, ReadsIgnoringCaseAndBlanksAndStripsQuotes)
{
    test::TempDir dir;
    dir.Write(kIni,
        "[Config]\r\n"
        "  IP = 192.168.1.10  \r\n"
        "Port=4029\n"
        "Name=\"  my farm \"\r\n"
        "Single='x'\r\n"
        "Mismatch=\"x'\r\n"
        "Lone=\"\r\n"
        "EmptyQuotes=\"\"\r\n"
        "Inner=a\"b\"\r\n"
        "not a key\r\n"
        "=orphan\r\n"
        "  [ Other ]  \r\n"
        "IP=10.0.0.1");
    const struct
    {
        const char* section;
        const char* key;
        const char* expected;
    } cases[] = {
        { "config", "ip", "192.168.1.10" },
        { "CONFIG", "PORT", "4029" },
        { "Config", "name", "  my farm " },
        { "Config", "Single", "x" },
        { "Config", "Mismatch", "\"x'" },
        { "Config", "Lone", "\"" },
        { "Config", "EmptyQuotes", "" },
        { "Config", "Inner", "a\"b\"" },
        { "Config", "not a key", "-" },
        { "Config", "", "-" },
        { "other", "ip", "10.0.0.1" },
        { " Other ", " IP ", "10.0.0.1" },
    };
    for (const auto& entry : cases)
    {
        EXPECT_EQ(ReadProfileString(entry.section, entry.key, "-", dir / kIni), entry.expected)
            << entry.section << "/" << entry.key;
    }
}

TEST(ProfileFile, DefaultOnlyWhenAbsent)
{
    test::TempDir dir;
    dir.Write(kIni, "[Config]\r\nEmpty=\r\nBlank=   \r\n");
    const std::filesystem::path ini = dir / kIni;

    EXPECT_EQ(ReadProfileString("Config", "Empty", "dflt", dir / "missing.ini"), "dflt");
    EXPECT_EQ(ReadProfileString("Nowhere", "Empty", "dflt", ini), "dflt");
    EXPECT_EQ(ReadProfileString("Config", "Missing", "dflt", ini), "dflt");
    EXPECT_EQ(ReadProfileString("Config", "Empty", "dflt", ini), "");
    EXPECT_EQ(ReadProfileString("Config", "Blank", "dflt", ini), "");
    // Windows cuts trailing spaces off the default.
    EXPECT_EQ(ReadProfileString("Config", "Missing", "dflt  ", ini), "dflt");
    // A default the code page cannot hold comes back as given.
    EXPECT_EQ(ReadProfileString("Config", "Missing", "😀", ini), "😀");

    EXPECT_EQ(ReadProfileInt("Config", "Empty", 7, dir / "missing.ini"), 7);
    EXPECT_EQ(ReadProfileInt("Config", "Missing", 7, ini), 7);
    EXPECT_EQ(ReadProfileInt("Config", "Empty", 7, ini), 0);
    EXPECT_EQ(ReadProfileInt("Config", "Blank", 7, ini), 0);
    // A directory where the file should be reads as absent.
    EXPECT_EQ(ReadProfileInt("Config", "Empty", 7, dir.Path()), 7);
}

TEST(ProfileFile, IntegersComeFromTheValueAsStored)
{
    test::TempDir dir;
    dir.Write(kIni, "[Net]\r\nTimeout = 3000 \r\nQuoted=\"5\"\r\nRetries=-1\r\nSendBuf=64k\r\n");
    EXPECT_EQ(ReadProfileInt("net", "timeout", 0, dir / kIni), 3000);
    EXPECT_EQ(ReadProfileInt("Net", "Quoted", 0, dir / kIni), 5);
    EXPECT_EQ(ReadProfileInt("Net", "Retries", 0, dir / kIni), -1);
    EXPECT_EQ(ReadProfileInt("Net", "SendBuf", 0, dir / kIni), 64);
}

TEST(ProfileFile, FirstSectionAndFirstKeyWin)
{
    test::TempDir dir;
    dir.Write(kIni, "[A]\nk=1\nK=2\n[B]\nk=b\n[a]\nk=3\nj=4\n");
    EXPECT_EQ(ReadProfileString("A", "k", "-", dir / kIni), "1");
    // A second section of the same name is not searched.
    EXPECT_EQ(ReadProfileString("A", "j", "-", dir / kIni), "-");
    EXPECT_EQ(ReadProfileString("B", "K", "-", dir / kIni), "b");
}

TEST(ProfileFile, GbkNamesAreMatchedByCharacterNotByByte)
{
    test::TempDir dir;
    dir.Write(kIni,
        "[\x81\x41]\r\nKey=one\r\n" // 丄
        "[\x81\x61]\r\nKey=two\r\n" // 乤: a byte-wise fold would take it for 丄
        "[\x81\x5D]\r\nKey=three\r\n" // 乚: its second byte is ']'
        "[\xBF\xF3\xB3\xD8]\r\n\xBC\xFC=\xCB\xC4\r\n"); // [矿池] 键=四
    const struct
    {
        const char* section;
        const char* key;
        const char* expected;
    } cases[] = {
        { "丄", "key", "one" },
        { "乤", "KEY", "two" },
        { "乚", "Key", "three" },
        { "矿池", "键", "四" },
    };
    for (const auto& entry : cases)
    {
        EXPECT_EQ(ReadProfileString(entry.section, entry.key, "-", dir / kIni), entry.expected) << entry.section;
    }
}

TEST(ProfileFile, BufferSizeKeepsWholeCharacters)
{
    test::TempDir dir;
    dir.Write(kIni, "[Log]\r\nDone=" + std::string(kGbkUpgradeOk) + "\r\nMixed=a\xC9\xFD\xBC\xB6\r\n");
    const struct
    {
        const char* key;
        std::size_t bufferSize;
        const char* expected;
    } cases[] = {
        { "Done", 260, "升级成功" },
        { "Done", 9, "升级成功" },
        { "Done", 8, "升级成" }, // 7 bytes: the fourth character would be cut in half
        { "Done", 4, "升" },
        { "Done", 2, "" },
        { "Done", 1, "" },
        { "Done", 0, "" },
        { "Mixed", 3, "a" },
        { "Mixed", 4, "a升" },
        { "Missing", 4, "升" }, // the default goes through the same buffer
    };
    for (const auto& entry : cases)
    {
        EXPECT_EQ(ReadProfileString("Log", entry.key, "升级成功", dir / kIni, entry.bufferSize), entry.expected)
            << entry.key << " " << entry.bufferSize;
    }
}

// A file as an operator leaves it: GBK comment, mixed line endings, odd
// blanks, and no line break at the very end.
const std::string kOperatorFile = "; " + std::string(kGbkMineConfig)
    + "\r\n"
      "[Config]\r\n"
      "ip = 10.0.0.1 \n"
      "Port=4029\r\n"
      "\r\n"
      "[Pool]\r\n"
      "URL=stratum+tcp://pool:3333\r\n"
      "  \t\r\n"
      "[Tail]\r\n"
      "X=1";

TEST(ProfileWrite, ReplacesValueKeepingKeySpellingLineEndingAndAllOtherBytes)
{
    test::TempDir dir;
    dir.Write(kIni, kOperatorFile);
    ASSERT_TRUE(WriteProfileString("CONFIG", "IP", "192.168.1.10", dir / kIni));
    std::string expected = kOperatorFile;
    expected.replace(expected.find("ip = 10.0.0.1 \n"), 15, "ip=192.168.1.10\n");
    EXPECT_EQ(dir.Read(kIni), expected);

    ASSERT_TRUE(WriteProfileString("Tail", "x", "矿工", dir / kIni));
    expected.replace(expected.size() - 3, 3, "X=" + std::string(kGbkMiner));
    EXPECT_EQ(dir.Read(kIni), expected);
    EXPECT_EQ(ReadProfileString("tail", "X", "-", dir / kIni), "矿工");
}

TEST(ProfileWrite, AddsMissingKeyAfterTheSectionsLastNonBlankLine)
{
    const struct
    {
        const char* section;
        const char* after; // the line the new key must follow
    } cases[] = {
        { "Config", "Port=4029\r\n" }, // a section in the middle, blank line after it
        { "Pool", "URL=stratum+tcp://pool:3333\r\n" }, // blank line of spaces and a tab after it
    };
    for (const auto& entry : cases)
    {
        test::TempDir dir;
        dir.Write(kIni, kOperatorFile);
        ASSERT_TRUE(WriteProfileString(entry.section, "User", "矿工", dir / kIni)) << entry.section;
        std::string expected = kOperatorFile;
        const std::size_t at = expected.find(entry.after) + std::string_view(entry.after).size();
        expected.insert(at, "User=" + std::string(kGbkMiner) + "\r\n");
        EXPECT_EQ(dir.Read(kIni), expected) << entry.section;
    }
}

TEST(ProfileWrite, AddsLineBreaksWhereTheFileEndsWithoutOne)
{
    const struct
    {
        std::string before;
        const char* section;
        std::string after;
    } cases[] = {
        // Key added to the last section, whose last line has no line break.
        { kOperatorFile, "Tail", kOperatorFile + "\r\nUser=v\r\n" },
        // New section after a last line without a line break.
        { kOperatorFile, "新段", kOperatorFile + "\r\n[\xD0\xC2\xB6\xCE]\r\nUser=v\r\n" },
        // New section after a final line break: none is added.
        { "[A]\nk=1\n", "B", "[A]\nk=1\n[B]\r\nUser=v\r\n" },
        { "", "B", "[B]\r\nUser=v\r\n" },
        // The header alone at the end of the file.
        { "[B]", "B", "[B]\r\nUser=v\r\n" },
    };
    for (const auto& entry : cases)
    {
        test::TempDir dir;
        dir.Write(kIni, entry.before);
        ASSERT_TRUE(WriteProfileString(entry.section, "User", "v", dir / kIni)) << entry.section;
        EXPECT_EQ(dir.Read(kIni), entry.after) << entry.section;
    }
}

TEST(ProfileWrite, CreatesTheFileOnFirstWrite)
{
    test::TempDir dir;
    const std::filesystem::path ini = dir / kIni;
    ASSERT_FALSE(std::filesystem::exists(ini));
    ASSERT_TRUE(WriteProfileString("升级", "次数", "3", ini));
    EXPECT_EQ(dir.Read(kIni), "[\xC9\xFD\xBC\xB6]\r\n\xB4\xCE\xCA\xFD=3\r\n");
    ASSERT_TRUE(WriteProfileString("升级", "Done", "升级成功", ini));
    EXPECT_EQ(ReadProfileInt("升级", "次数", 0, ini), 3);
    EXPECT_EQ(ReadProfileString("升级", "done", "", ini), "升级成功");
    // Only the file itself is left in the directory: no temporary beside it.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
    {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string> { kIni });
}

TEST(ProfileWrite, RefusesWhatWouldNotReadBackAndLeavesTheFile)
{
    const struct
    {
        const char* section;
        const char* key;
        const char* value;
    } cases[] = {
        { "", "k", "v" },
        { "  ", "k", "v" },
        { "S", "", "v" },
        { "S", "a=b", "v" },
        { "S", "[k", "x]" }, // the line would read as a section header
        { "S]", "k", "v" },
        { "S\n", "k", "v" },
        { "S", "k\r", "v" },
        { "S", "k", "a\r\nb=c" },
    };
    test::TempDir dir;
    dir.Write(kIni, kOperatorFile);
    for (const auto& entry : cases)
    {
        EXPECT_FALSE(WriteProfileString(entry.section, entry.key, entry.value, dir / kIni))
            << entry.section << "/" << entry.key;
    }
    EXPECT_EQ(dir.Read(kIni), kOperatorFile);
    EXPECT_FALSE(WriteProfileString("S", "k", "v", dir / "no-such-dir" / kIni));
}

TEST(ProfileWrite, KeepsModeAndWritesThroughASymbolicLink)
{
    test::TempDir dir;
    dir.Write("real.ini", "[A]\r\nk=1\r\n");
    ASSERT_EQ(chmod((dir / "real.ini").c_str(), 0640), 0);
    std::filesystem::create_symlink("real.ini", dir / kIni);

    ASSERT_TRUE(WriteProfileString("A", "k", "2", dir / kIni));
    EXPECT_TRUE(std::filesystem::is_symlink(dir / kIni));
    EXPECT_EQ(dir.Read("real.ini"), "[A]\r\nk=2\r\n");
    struct stat status = {};
    ASSERT_EQ(stat((dir / "real.ini").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
}

TEST(ProfileWrite, WritersOnSeveralThreadsLoseNoChange)
{
    test::TempDir dir;
    const std::filesystem::path ini = dir / kIni;
    constexpr int kThreads = 4;
    constexpr int kKeys = 10;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back(
            [&ini, t]
            {
                for (int k = 0; k < kKeys; ++k)
                {
                    const std::string key = "K" + std::to_string(t) + "_" + std::to_string(k);
                    EXPECT_TRUE(WriteProfileString("S" + std::to_string(k % 3), key, std::to_string(t * 100 + k), ini));
                }
            });
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t)
    {
        for (int k = 0; k < kKeys; ++k)
        {
            const std::string key = "K" + std::to_string(t) + "_" + std::to_string(k);
            EXPECT_EQ(ReadProfileInt("S" + std::to_string(k % 3), key, -1, ini), t * 100 + k) << key;
        }
    }
}

} // namespace
} // namespace quellis::profile
