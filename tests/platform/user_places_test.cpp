// Where config.ini and the working files go, for the portable and the
// installed layout, including homes and XDG variables that cannot be used.
#include "platform/places/user_places.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

namespace quellis::test
{
namespace
{

namespace fs = std::filesystem;

// A home whose name has spaces and Chinese characters in it.
constexpr const char* kHomeName = "操作 员 home";

void WriteFile(const fs::path& path, const std::string& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

std::string Joined(const std::vector<std::string>& messages)
{
    std::string text;
    for (const auto& message : messages)
    {
        text += message + "\n";
    }
    return text;
}

// <root>/usr/bin/quellis with <root>/usr/share/quellis holding the default
// files (installed), or <root>/run/quellis alone (a build or unpacked folder).
places::Environment MakeLayout(const TempDir& root, bool installed)
{
    places::Environment environment;
    environment.home = (root.Path() / kHomeName).string();
    fs::create_directories(environment.home);
    if (installed)
    {
        environment.executable = root.Path() / "usr" / "bin" / "quellis";
        WriteFile(root.Path() / "usr" / "share" / "quellis" / "devDown.wav", "installed wav");
        WriteFile(root.Path() / "usr" / "share" / "quellis" / "cgminer.conf.xtc", "installed template");
    }
    else
    {
        environment.executable = root.Path() / "run" / "quellis";
        WriteFile(root.Path() / "run" / "devDown.wav", "run wav");
        WriteFile(root.Path() / "run" / "cgminer.conf.xtc", "run template");
    }
    return environment;
}

enum class Beside
{
    Nothing,
    File,
    Directory
};
enum class Expect
{
    Beside,
    XdgConfigHome,
    HomeConfig
};

TEST(UserPlaces, ConfigIsBesideTheProgramUnlessInstalledWithoutOne)
{
    struct Case
    {
        const char* name;
        bool installed;
        Beside beside;
        const char* xdgConfigHome; // "ABS" for a folder in the test's root
        bool xdgConfigIsDirectory;
        Expect expect;
        const char* message; // in the messages; empty: none
    };
    const Case cases[] = {
        { "portable with config.ini", false, Beside::File, "ABS", false, Expect::Beside, "" },
        { "portable, none yet: created beside on first write",
            false,
            Beside::Nothing,
            "ABS",
            false,
            Expect::Beside,
            "" },
        { "installed with config.ini beside", true, Beside::File, "ABS", false, Expect::Beside, "" },
        { "installed", true, Beside::Nothing, "ABS", false, Expect::XdgConfigHome, "" },
        { "installed, XDG_CONFIG_HOME unset", true, Beside::Nothing, "", false, Expect::HomeConfig, "" },
        { "installed, XDG_CONFIG_HOME relative",
            true,
            Beside::Nothing,
            "relative/dir",
            false,
            Expect::HomeConfig,
            "XDG_CONFIG_HOME is not an absolute path" },
        { "installed, config.ini beside is a directory",
            true,
            Beside::Directory,
            "ABS",
            false,
            Expect::XdgConfigHome,
            "is a directory, not a file" },
        { "portable, config.ini beside is a directory",
            false,
            Beside::Directory,
            "ABS",
            false,
            Expect::Beside,
            "none is saved" },
        { "installed, the user's config.ini is a directory",
            true,
            Beside::Nothing,
            "ABS",
            true,
            Expect::XdgConfigHome,
            "is a directory, not a file" },
        { "installed, XDG_CONFIG_HOME under a file",
            true,
            Beside::Nothing,
            "UNDER-FILE",
            false,
            Expect::XdgConfigHome,
            "cannot write in the settings folder" },
    };
    for (const Case& test : cases)
    {
        SCOPED_TRACE(test.name);
        TempDir root;
        places::Environment environment = MakeLayout(root, test.installed);
        const fs::path beside = environment.executable.parent_path() / "config.ini";
        if (test.beside == Beside::File)
        {
            WriteFile(beside, "[COMMON]\r\n");
        }
        else if (test.beside == Beside::Directory)
        {
            fs::create_directories(beside);
        }
        const std::string xdg = test.xdgConfigHome;
        if (xdg == "ABS")
        {
            environment.xdgConfigHome = (root.Path() / "xdg config").string();
        }
        else if (xdg == "UNDER-FILE")
        {
            WriteFile(root.Path() / "a file", "");
            environment.xdgConfigHome = (root.Path() / "a file" / "config").string();
        }
        else
        {
            environment.xdgConfigHome = xdg;
        }
        if (test.xdgConfigIsDirectory)
        {
            fs::create_directories(fs::path(environment.xdgConfigHome) / "quellis" / "config.ini");
        }

        const places::Place place = places::FindConfig(environment);
        switch (test.expect)
        {
        case Expect::Beside:
            EXPECT_EQ(place.path, beside);
            break;
        case Expect::XdgConfigHome:
            EXPECT_EQ(place.path, fs::path(environment.xdgConfigHome) / "quellis" / "config.ini");
            break;
        case Expect::HomeConfig:
            EXPECT_EQ(place.path, fs::path(environment.home) / ".config" / "quellis" / "config.ini");
            // Made, so that the first write of a setting can create the file.
            EXPECT_TRUE(fs::is_directory(place.path.parent_path()));
            break;
        }
        if (*test.message == '\0')
        {
            EXPECT_TRUE(place.messages.empty()) << Joined(place.messages);
        }
        else
        {
            EXPECT_NE(Joined(place.messages).find(test.message), std::string::npos) << Joined(place.messages);
        }
    }
}

TEST(UserPlaces, DataDirGetsTheDefaultFilesOnceAndNeverReplacesThem)
{
    for (const bool installed : { true, false })
    {
        SCOPED_TRACE(installed ? "installed" : "portable");
        TempDir root;
        places::Environment environment = MakeLayout(root, installed);
        // Unset: under the home with spaces and Chinese characters.
        const fs::path dir = fs::path(environment.home) / ".local" / "share" / "quellis";
        WriteFile(dir / "devDown.wav", "the user's own sound");

        const places::Place place = places::PrepareDataDir(environment);
        EXPECT_EQ(place.path, dir);
        EXPECT_TRUE(place.messages.empty()) << Joined(place.messages);
        EXPECT_EQ(ReadFile(dir / "devDown.wav"), "the user's own sound");
        EXPECT_EQ(ReadFile(dir / "cgminer.conf.xtc"), installed ? "installed template" : "run template");

        // A missing XDG_DATA_HOME is made; a second start copies nothing again.
        environment.xdgDataHome = (root.Path() / "not yet" / "data").string();
        const fs::path xdgDir = fs::path(environment.xdgDataHome) / "quellis";
        ASSERT_EQ(places::PrepareDataDir(environment).path, xdgDir);
        WriteFile(xdgDir / "cgminer.conf.xtc", "edited");
        const places::Place again = places::PrepareDataDir(environment);
        EXPECT_TRUE(again.messages.empty()) << Joined(again.messages);
        EXPECT_EQ(ReadFile(xdgDir / "cgminer.conf.xtc"), "edited");
        EXPECT_EQ(ReadFile(xdgDir / "devDown.wav"), installed ? "installed wav" : "run wav");
    }
}

TEST(UserPlaces, UnusableDataDirLeavesTheWorkingFilesInTheCurrentDirectory)
{
    TempDir root;
    places::Environment environment = MakeLayout(root, true);
    WriteFile(root.Path() / "a file", "");
    const struct
    {
        const char* name;
        std::string xdgDataHome;
        std::string home;
        const char* message;
    } cases[] = {
        { "under a file", (root.Path() / "a file" / "data").string(), environment.home, "cannot use" },
        { "relative, and no home", "relative", "", "no home directory" },
    };
    for (const auto& test : cases)
    {
        SCOPED_TRACE(test.name);
        environment.xdgDataHome = test.xdgDataHome;
        environment.home = test.home;
        const places::Place place = places::PrepareDataDir(environment);
        EXPECT_TRUE(place.path.empty());
        const std::string messages = Joined(place.messages);
        EXPECT_NE(messages.find(test.message), std::string::npos) << messages;
        EXPECT_NE(messages.find("stay in the current directory"), std::string::npos) << messages;
    }
}

// Read-only folders stop only an ordinary user: as root the check runs in a
// child that has become nobody.
TEST(UserPlaces, ReadOnlyDataHomeIsReportedAndNotUsed)
{
    TempDir root;
    places::Environment environment = MakeLayout(root, true);
    const fs::path dataHome = root.Path() / "read-only";
    fs::create_directories(dataHome);
    fs::permissions(root.Path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    fs::permissions(
        dataHome, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read | fs::perms::others_exec);
    environment.xdgDataHome = dataHome.string();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
        {
            _exit(3);
        }
        const places::Place place = places::PrepareDataDir(environment);
        const bool reported = Joined(place.messages).find("not writable") != std::string::npos
            || Joined(place.messages).find("Permission denied") != std::string::npos;
        _exit(place.path.empty() && reported ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(fs::exists(dataHome / "quellis"));
}

} // namespace
} // namespace quellis::test
