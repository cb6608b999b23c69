#include "app/log_file.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace quellis::app
{
namespace
{

// The log file is named relatively: each test works in a directory of its
// own and goes back where it was.
class InDirectory
{
public:
    explicit InDirectory(const std::filesystem::path& directory)
        : previous_(std::filesystem::current_path())
    {
        std::filesystem::current_path(directory);
    }
    ~InDirectory() { std::filesystem::current_path(previous_); }
    InDirectory(const InDirectory&) = delete;
    InDirectory& operator=(const InDirectory&) = delete;

private:
    std::filesystem::path previous_;
};

TEST(LogFile, EachWriteOpensAppendsAndClosesInTheCurrentDirectory)
{
    test::TempDir dir;
    InDirectory inDir(dir.Path());
    // An empty text still creates the file, with nothing in it.
    EXPECT_TRUE(AppendToLogFile(""));
    ASSERT_TRUE(std::filesystem::exists(dir / "log.txt"));
    EXPECT_EQ(std::filesystem::file_size(dir / "log.txt"), 0u);

    // Appended as they are: the code page 936 bytes, no separator of its own.
    EXPECT_TRUE(AppendToLogFile("old"));
    EXPECT_TRUE(AppendToLogFile("成功\r\n"));
    EXPECT_TRUE(AppendToLogFile(""));
    EXPECT_EQ(dir.Read("log.txt"), "old\xb3\xc9\xb9\xa6\r\n");

    // The file is not held open: another program may delete it in between.
    std::filesystem::remove(dir / "log.txt");
    EXPECT_TRUE(AppendToLogFile("again\r\n"));
    EXPECT_EQ(dir.Read("log.txt"), "again\r\n");
}

TEST(LogFile, AFileThatCannotBeOpenedIsSkipped)
{
    test::TempDir dir;
    {
        // A directory in the file's place (a read-only directory would not
        // stop a test that runs as root).
        InDirectory inDir(dir.Path());
        std::filesystem::create_directory(dir / "log.txt");
        EXPECT_FALSE(AppendToLogFile("lost\r\n"));
    }
    {
        // The current directory removed under the program.
        std::filesystem::create_directory(dir / "gone");
        InDirectory inDir(dir / "gone");
        std::filesystem::remove(dir / "gone");
        EXPECT_FALSE(AppendToLogFile("lost\r\n"));
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "gone"));
}

} // namespace
} // namespace quellis::app
