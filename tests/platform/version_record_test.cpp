#include "platform/version/version_info.h"
#include "tests/support/temp_dir.h"

#include <elf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

// The product version differs from the file version, as in a release whose
// program file was rebuilt fewer times than the product was: the About box
// must show the product one.
QUELLIS_DEFINE_VERSION_RECORD(1, 0, 2, 9, 1, 0, 2, 15);

namespace quellis::version
{
namespace
{

constexpr std::uint32_t kFileMS = 0x00010000;
constexpr std::uint32_t kFileLS = 0x00020009;
constexpr std::uint32_t kProductMS = 0x00010000;
constexpr std::uint32_t kProductLS = 0x0002000F;

std::string ReadAll(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// Where things are in this test's own file, found with the system's ELF
// structures rather than the code under test.
struct Layout
{
    Elf64_Ehdr header {};
    std::vector<Elf64_Shdr> sections;
    std::size_t record = 0; // index of the record section
    std::size_t bss = 0; // index of a section without file bytes

    [[nodiscard]] std::size_t SectionAt(std::size_t index) const { return header.e_shoff + index * header.e_shentsize; }
};

Layout ReadLayout(const std::string& bytes)
{
    Layout layout;
    std::memcpy(&layout.header, bytes.data(), sizeof layout.header);
    for (std::size_t i = 0; i < layout.header.e_shnum; ++i)
    {
        Elf64_Shdr section {};
        std::memcpy(&section, bytes.data() + layout.SectionAt(i), sizeof section);
        layout.sections.push_back(section);
    }
    const Elf64_Shdr& names = layout.sections.at(layout.header.e_shstrndx);
    for (std::size_t i = 0; i < layout.sections.size(); ++i)
    {
        const char* name = bytes.data() + names.sh_offset + layout.sections[i].sh_name;
        if (std::strcmp(name, ".quellis_version") == 0)
        {
            layout.record = i;
        }
        if (layout.sections[i].sh_type == SHT_NOBITS)
        {
            layout.bss = i;
        }
    }
    return layout;
}

template <typename T> void Put(std::string& bytes, std::size_t offset, T value)
{
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

TEST(VersionRecord, ProgramReadsProductAndFileVersionFromItsOwnFile)
{
    const std::filesystem::path self = ModuleFileName();
    ASSERT_FALSE(self.empty());
    EXPECT_TRUE(self.is_absolute());
    EXPECT_TRUE(std::filesystem::equivalent(self, "/proc/self/exe"));

    EXPECT_EQ(VersionInfoSize(self), sizeof(FixedFileInfo));
    std::vector<std::uint8_t> block;
    ASSERT_TRUE(ReadVersionInfo(self, block));
    ASSERT_EQ(block.size(), sizeof(FixedFileInfo));
    const auto info = QueryRootBlock(block);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->productVersionMS, kProductMS);
    EXPECT_EQ(info->productVersionLS, kProductLS);
    EXPECT_EQ(info->fileVersionMS, kFileMS);
    EXPECT_EQ(info->fileVersionLS, kFileLS);
    EXPECT_EQ(info->fileType, kFileTypeApplication);
    // The file holds what the program was built with.
    EXPECT_EQ(std::memcmp(block.data(), &quellisVersionRecord, sizeof quellisVersionRecord), 0);
}

TEST(VersionRecord, RootBlockNeedsTheWholeSignedRecord)
{
    // Each version is two 16-bit parts per word, the first part high.
    const FixedFileInfo made = MakeFixedFileInfo(0xFFFF, 1, 0x1234, 0, 7, 8, 9, 0xFFFE);
    EXPECT_EQ(made.fileVersionMS, 0xFFFF0001u);
    EXPECT_EQ(made.fileVersionLS, 0x12340000u);
    EXPECT_EQ(made.productVersionMS, 0x00070008u);
    EXPECT_EQ(made.productVersionLS, 0x0009FFFEu);

    std::vector<std::uint8_t> block(sizeof made + 8, 0xEE); // later additions after the fixed part
    std::memcpy(block.data(), &made, sizeof made);
    const auto info = QueryRootBlock(block);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->fileVersionMS, 0xFFFF0001u);
    EXPECT_EQ(info->productVersionLS, 0x0009FFFEu);

    auto minor = block;
    minor[4] = 3; // structure version 1.3 is still read
    EXPECT_TRUE(QueryRootBlock(minor).has_value());

    auto broken = block;
    broken[0] ^= 1;
    EXPECT_FALSE(QueryRootBlock(broken).has_value());
    broken = block;
    broken[6] = 2; // structure version 2.0
    EXPECT_FALSE(QueryRootBlock(broken).has_value());
    EXPECT_FALSE(QueryRootBlock(std::span(block).first(sizeof made - 1)).has_value());
    EXPECT_FALSE(QueryRootBlock({}).has_value());
}

TEST(VersionRecord, FilesWithoutARecordHaveNone)
{
    test::TempDir dir;
    dir.Write("config.ini", "[Config]\r\nIP=10.0.0.1\r\n");
    dir.Write("empty", "");
    std::string renamed = ReadAll(ModuleFileName());
    const Layout layout = ReadLayout(renamed);
    ASSERT_NE(layout.record, 0u);
    renamed[layout.sections[layout.header.e_shstrndx].sh_offset + layout.sections[layout.record].sh_name + 1] = 'Q';
    dir.Write("renamed", renamed);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);

    for (const char* name : { "config.ini", "empty", "renamed", "missing", "fifo" })
    {
        std::vector<std::uint8_t> block = { 1, 2, 3 };
        EXPECT_EQ(VersionInfoSize(dir / name), 0u) << name;
        EXPECT_FALSE(ReadVersionInfo(dir / name, block)) << name;
        EXPECT_EQ(block, (std::vector<std::uint8_t> { 1, 2, 3 })) << name;
    }
    EXPECT_EQ(VersionInfoSize(dir.Path()), 0u);
}

TEST(VersionRecord, DamagedCopiesOfTheProgramGiveNoRecordWithoutReadingOutside)
{
    test::TempDir dir;
    const std::string original = ReadAll(ModuleFileName());
    const Layout layout = ReadLayout(original);
    ASSERT_NE(layout.record, 0u);
    ASSERT_NE(layout.bss, 0u);
    const std::size_t size = original.size();
    const std::size_t record = layout.SectionAt(layout.record);
    const std::size_t names = layout.SectionAt(layout.header.e_shstrndx);
    const Elf64_Shdr& recordSection = layout.sections[layout.record];
    const Elf64_Shdr& nameSection = layout.sections[layout.header.e_shstrndx];

    // The unchanged copy has its record, so each change below is what removes it.
    dir.Write("copy", original);
    ASSERT_EQ(VersionInfoSize(dir / "copy"), sizeof(FixedFileInfo));

    const struct
    {
        const char* what;
        std::function<void(std::string&)> change;
    } damages[] = {
        { "32-bit class", [](std::string& b) { b[EI_CLASS] = ELFCLASS32; } },
        { "big-endian", [](std::string& b) { b[EI_DATA] = ELFDATA2MSB; } },
        { "no magic", [](std::string& b) { b[1] = 'e'; } },
        { "table past the end", [&](std::string& b) { Put<Elf64_Off>(b, offsetof(Elf64_Ehdr, e_shoff), size); } },
        { "table runs past the end",
            [&](std::string& b) { Put<Elf64_Off>(b, offsetof(Elf64_Ehdr, e_shoff), size - 100); } },
        { "table offset wraps", [](std::string& b) { Put<Elf64_Off>(b, offsetof(Elf64_Ehdr, e_shoff), ~0ull - 10); } },
        { "too many sections", [](std::string& b) { Put<Elf64_Half>(b, offsetof(Elf64_Ehdr, e_shnum), 0xFFFE); } },
        { "entry size 0", [](std::string& b) { Put<Elf64_Half>(b, offsetof(Elf64_Ehdr, e_shentsize), 0); } },
        { "entry size 32", [](std::string& b) { Put<Elf64_Half>(b, offsetof(Elf64_Ehdr, e_shentsize), 32); } },
        { "name table index past the table",
            [&](std::string& b) { Put<Elf64_Half>(b, offsetof(Elf64_Ehdr, e_shstrndx), layout.header.e_shnum); } },
        { "name table index in section 0, garbage",
            [&](std::string& b)
            {
                Put<Elf64_Half>(b, offsetof(Elf64_Ehdr, e_shstrndx), SHN_XINDEX);
                Put<Elf64_Word>(b, layout.SectionAt(0) + offsetof(Elf64_Shdr, sh_link), 0xFFFFFFF0);
            } },
        { "section count in section 0, huge",
            [&](std::string& b)
            {
                Put<Elf64_Half>(b, offsetof(Elf64_Ehdr, e_shnum), 0);
                Put<Elf64_Xword>(b, layout.SectionAt(0) + offsetof(Elf64_Shdr, sh_size), ~0ull / 2);
            } },
        { "name table without file bytes",
            [&](std::string& b) { Put<Elf64_Half>(b, offsetof(Elf64_Ehdr, e_shstrndx), layout.bss); } },
        { "name table past the end",
            [&](std::string& b) { Put<Elf64_Off>(b, names + offsetof(Elf64_Shdr, sh_offset), size - 4); } },
        { "name table size wraps",
            [&](std::string& b) { Put<Elf64_Xword>(b, names + offsetof(Elf64_Shdr, sh_size), ~0ull - 2); } },
        { "record name index past the name table",
            [&](std::string& b) { Put<Elf64_Word>(b, record + offsetof(Elf64_Shdr, sh_name), 0xFFFFFFF0); } },
        { "record name cut by the end of the name table",
            [&](std::string& b)
            { Put<Elf64_Xword>(b, names + offsetof(Elf64_Shdr, sh_size), recordSection.sh_name + 5); } },
        { "record past the end",
            [&](std::string& b) { Put<Elf64_Off>(b, record + offsetof(Elf64_Shdr, sh_offset), size - 10); } },
        { "record size wraps",
            [&](std::string& b) { Put<Elf64_Xword>(b, record + offsetof(Elf64_Shdr, sh_size), ~0ull - 8); } },
        { "record too short",
            [&](std::string& b) { Put<Elf64_Xword>(b, record + offsetof(Elf64_Shdr, sh_size), 51); } },
        { "record too long",
            [&](std::string& b) { Put<Elf64_Xword>(b, record + offsetof(Elf64_Shdr, sh_size), 64 * 1024); } },
        { "record without file bytes",
            [&](std::string& b) { Put<Elf64_Word>(b, record + offsetof(Elf64_Shdr, sh_type), SHT_NOBITS); } },
        { "record without signature", [&](std::string& b) { b[recordSection.sh_offset] ^= 0x40; } },
    };
    ASSERT_LT(recordSection.sh_name + 5, nameSection.sh_size);
    for (const auto& damage : damages)
    {
        std::string bytes = original;
        damage.change(bytes);
        dir.Write("copy", bytes);
        std::vector<std::uint8_t> block;
        EXPECT_EQ(VersionInfoSize(dir / "copy"), 0u) << damage.what;
        EXPECT_FALSE(ReadVersionInfo(dir / "copy", block)) << damage.what;
        EXPECT_TRUE(block.empty()) << damage.what;
    }

    // Cut anywhere, the file loses its section table or the record in it.
    const std::size_t cuts[] = { 0,
        4,
        63,
        64,
        65,
        recordSection.sh_offset + 20,
        layout.header.e_shoff - 1,
        layout.header.e_shoff + 32,
        record + 40,
        size / 2,
        size - 1 };
    for (const std::size_t cut : cuts)
    {
        dir.Write("cut", original.substr(0, cut));
        std::vector<std::uint8_t> block;
        EXPECT_EQ(VersionInfoSize(dir / "cut"), 0u) << cut;
        EXPECT_FALSE(ReadVersionInfo(dir / "cut", block)) << cut;
    }
}

TEST(VersionRecord, ManySectionsKeepTheirCountAndNameTableInSectionZero)
{
    // The form linkers use past 0xFF00 sections, applied to this file.
    test::TempDir dir;
    std::string bytes = ReadAll(ModuleFileName());
    const Layout layout = ReadLayout(bytes);
    Put<Elf64_Half>(bytes, offsetof(Elf64_Ehdr, e_shnum), 0);
    Put<Elf64_Half>(bytes, offsetof(Elf64_Ehdr, e_shstrndx), SHN_XINDEX);
    Put<Elf64_Xword>(bytes, layout.SectionAt(0) + offsetof(Elf64_Shdr, sh_size), layout.header.e_shnum);
    Put<Elf64_Word>(bytes, layout.SectionAt(0) + offsetof(Elf64_Shdr, sh_link), layout.header.e_shstrndx);
    dir.Write("many", bytes);
    std::vector<std::uint8_t> block;
    ASSERT_TRUE(ReadVersionInfo(dir / "many", block));
    const auto info = QueryRootBlock(block);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->productVersionLS, kProductLS);
}

} // namespace
} // namespace quellis::version
