#include "platform/files/mapped_file.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>

namespace quellis::files
{
namespace
{

// The window the package sender walks a file with.
constexpr std::size_t kWindow = 8u << 20;

// Bytes that differ from window to window and page to page, so a window
// mapped at the wrong offset cannot compare equal.
std::string PatternBytes(std::size_t size)
{
    std::string bytes(size, '\0');
    std::uint32_t state = 2463534242u;
    for (char& byte : bytes)
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state);
    }
    return bytes;
}

TEST(MappedFile, WindowsShowTheFileBytesAtTheirOffset)
{
    test::TempDir dir;
    const std::string bytes = PatternBytes(2 * kWindow + 4097);
    dir.Write("firmware.bin", bytes);

    MappedFile file;
    ASSERT_TRUE(file.Open(dir / "firmware.bin"));
    ASSERT_EQ(file.Size(), bytes.size());
    for (std::uint64_t offset = 0; offset < file.Size(); offset += kWindow)
    {
        const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, file.Size() - offset));
        const std::uint8_t* window = file.MapWindow(offset, length);
        ASSERT_NE(window, nullptr) << offset;
        EXPECT_EQ(std::memcmp(window, bytes.data() + offset, length), 0) << offset;
    }
    // A small window at a page boundary inside the file, and the last page.
    const std::size_t page = MappedFile::PageSize();
    const std::uint8_t* window = file.MapWindow(3 * page, 100);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(std::memcmp(window, bytes.data() + 3 * page, 100), 0);
    const std::uint64_t lastPage = (file.Size() - 1) / page * page;
    window = file.MapWindow(lastPage, static_cast<std::size_t>(file.Size() - lastPage));
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(std::memcmp(window, bytes.data() + lastPage, file.Size() - lastPage), 0);
}

TEST(MappedFile, RefusesWindowsPastTheEndOrOffPageOrEmpty)
{
    test::TempDir dir;
    dir.Write("firmware.bin", PatternBytes(kWindow + 10));
    MappedFile file;
    ASSERT_TRUE(file.Open(dir / "firmware.bin"));
    const std::uint64_t size = file.Size();
    const std::size_t page = MappedFile::PageSize();
    const struct
    {
        std::uint64_t offset;
        std::size_t length;
    } refused[] = {
        { 0, kWindow + 11 }, // one byte past the end
        { kWindow, 11 },
        { 2 * kWindow, 1 }, // starts past the end
        { size / page * page + page, 1 },
        { ~std::uint64_t { 0 } / page * page, 2 * page }, // offset + length overflows
        { kWindow, ~std::size_t { 0 } },
        { 1, 1 }, // not on a page boundary
        { page / 2, 1 },
        { 0, 0 },
    };
    for (const auto& entry : refused)
    {
        EXPECT_EQ(file.MapWindow(entry.offset, entry.length), nullptr) << entry.offset << "+" << entry.length;
    }
    EXPECT_NE(file.MapWindow(kWindow, 10), nullptr);
}

TEST(MappedFile, EmptyFileOpensAndMapsNothing)
{
    test::TempDir dir;
    dir.Write("empty.bin", "");
    MappedFile file;
    ASSERT_TRUE(file.Open(dir / "empty.bin"));
    EXPECT_TRUE(file.IsOpen());
    EXPECT_EQ(file.Size(), 0u);
    EXPECT_EQ(file.MapWindow(0, 1), nullptr);
    EXPECT_EQ(file.MapWindow(0, 0), nullptr);
}

TEST(MappedFile, OpenFailsForMissingFileOrDirectoryAndCloseIsSafe)
{
    test::TempDir dir;
    MappedFile file;
    file.Close(); // never opened
    EXPECT_FALSE(file.Open(dir / "missing.bin"));
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(file.Open(dir.Path()));
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.MapWindow(0, 1), nullptr);
    file.Unmap();
    file.Close();
    file.Close();
}

TEST(MappedFile, MovesOwnershipAndKeepsTheWindow)
{
    test::TempDir dir;
    const std::string bytes = PatternBytes(3 * MappedFile::PageSize());
    dir.Write("pool.bin", bytes);
    MappedFile first;
    ASSERT_TRUE(first.Open(dir / "pool.bin"));
    const std::uint8_t* window = first.MapWindow(0, bytes.size());
    ASSERT_NE(window, nullptr);

    MappedFile second(std::move(first));
    EXPECT_FALSE(first.IsOpen());
    EXPECT_EQ(first.MapWindow(0, 1), nullptr);
    ASSERT_TRUE(second.IsOpen());
    EXPECT_EQ(std::memcmp(window, bytes.data(), bytes.size()), 0);

    MappedFile third;
    ASSERT_TRUE(third.Open(dir / "pool.bin"));
    third = std::move(second);
    EXPECT_FALSE(second.IsOpen());
    EXPECT_EQ(third.Size(), bytes.size());
    EXPECT_EQ(std::memcmp(window, bytes.data(), bytes.size()), 0);
}

TEST(MappedFile, FileCanBeReplacedWhileOpenAndTheViewKeepsTheOldBytes)
{
    test::TempDir dir;
    const std::string oldBytes = PatternBytes(2 * MappedFile::PageSize());
    dir.Write("firmware.bin", oldBytes);
    MappedFile file;
    ASSERT_TRUE(file.Open(dir / "firmware.bin"));

    // Another program copies a new package over it by rename, as installers do.
    dir.Write("firmware.new", std::string(100, 'n'));
    std::filesystem::rename(dir / "firmware.new", dir / "firmware.bin");
    EXPECT_EQ(dir.Read("firmware.bin"), std::string(100, 'n'));

    const std::uint8_t* window = file.MapWindow(0, oldBytes.size());
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(std::memcmp(window, oldBytes.data(), oldBytes.size()), 0);
}

} // namespace
} // namespace quellis::files
