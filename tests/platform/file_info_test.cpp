#include "platform/files/file_info.h"
#include "tests/support/temp_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <string>

namespace quellis::files
{
namespace
{

TEST(FileInfo, ReportsSizeTimesAndNormalForAPlainFile)
{
    test::TempDir dir;
    const std::time_t before = std::time(nullptr);
    dir.Write("package.bin", std::string(1234, 'x'));
    // Fixed access and write times, so a swapped or truncated field shows.
    const timespec times[2] = { { 1'500'000'000, 0 }, { 1'600'000'123, 999'999'999 } };
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / "package.bin").c_str(), times, 0), 0);

    FileInfo info;
    ASSERT_TRUE(QueryFileInfo(dir / "package.bin", info));
    EXPECT_EQ(info.attributes, kFileAttributeNormal);
    EXPECT_EQ(info.size, 1234u);
    EXPECT_EQ(info.lastAccessTime, 1'500'000'000);
    EXPECT_EQ(info.lastWriteTime, 1'600'000'123);
    // Birth time, or the status change of the utimensat above: now either way.
    EXPECT_GE(info.creationTime, before - 2);
    EXPECT_LE(info.creationTime, std::time(nullptr) + 2);
}

TEST(FileInfo, ReadOnlyOnlyWithoutAnyWriteBit)
{
    const struct
    {
        mode_t mode;
        std::uint32_t attributes;
    } cases[] = {
        { 0644, kFileAttributeNormal },
        { 0444, kFileAttributeReadOnly },
        { 0400, kFileAttributeReadOnly },
        { 0000, kFileAttributeReadOnly },
        { 0200, kFileAttributeNormal },
        { 0464, kFileAttributeNormal },
        { 0446, kFileAttributeNormal },
    };
    test::TempDir dir;
    dir.Write("pool.txt", "pool");
    for (const auto& entry : cases)
    {
        ASSERT_EQ(chmod((dir / "pool.txt").c_str(), entry.mode), 0);
        FileInfo info;
        ASSERT_TRUE(QueryFileInfo(dir / "pool.txt", info));
        EXPECT_EQ(info.attributes, entry.attributes) << std::oct << entry.mode;
    }
}

TEST(FileInfo, DirectoryHasTheDirectoryBitAndNoSize)
{
    test::TempDir dir;
    dir.Write("inside", "some bytes");
    FileInfo info;
    ASSERT_TRUE(QueryFileInfo(dir.Path(), info));
    EXPECT_EQ(info.attributes, kFileAttributeDirectory);
    EXPECT_EQ(info.size, 0u);
}

TEST(FileInfo, MissingPathFailsAndLeavesInfoAlone)
{
    test::TempDir dir;
    FileInfo info;
    info.attributes = 0xABCD;
    info.size = 77;
    EXPECT_FALSE(QueryFileInfo(dir / "missing.bin", info));
    EXPECT_FALSE(QueryFileInfo(dir / "missing" / "deeper.bin", info));
    EXPECT_FALSE(QueryFileInfo("", info));
    EXPECT_EQ(info.attributes, 0xABCDu);
    EXPECT_EQ(info.size, 77u);
}

TEST(FileInfo, FollowsSymbolicLinks)
{
    test::TempDir dir;
    dir.Write("target.bin", std::string(4096 + 5, 'y'));
    std::filesystem::create_symlink("target.bin", dir / "link.bin");
    FileInfo info;
    ASSERT_TRUE(QueryFileInfo(dir / "link.bin", info));
    EXPECT_EQ(info.size, 4096u + 5u);
    std::filesystem::create_symlink("gone.bin", dir / "dangling.bin");
    EXPECT_FALSE(QueryFileInfo(dir / "dangling.bin", info));
}

} // namespace
} // namespace quellis::files
