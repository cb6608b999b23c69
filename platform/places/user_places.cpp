#include "platform/places/user_places.h"

#include "platform/version/version_info.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace quellis::places
{

namespace fs = std::filesystem;

namespace
{

constexpr const char* kConfigName = "config.ini";
constexpr const char* kFolderName = "quellis";
constexpr const char* kNotSaved = "the default settings are used and none is saved";

std::string Quoted(const fs::path& path)
{
    return "\"" + path.string() + "\"";
}

// An XDG base directory: the variable when it holds an absolute path (the
// XDG rules ignore a relative one), otherwise the default under the home.
std::optional<fs::path> BaseDir(const std::string& variable,
    const char* name,
    const std::string& home,
    const fs::path& underHome,
    std::vector<std::string>& messages)
{
    if (!variable.empty())
    {
        if (fs::path(variable).is_absolute())
        {
            return fs::path(variable);
        }
        messages.push_back(std::string(name) + " is not an absolute path (" + variable + "); it is ignored");
    }
    if (home.empty())
    {
        messages.push_back(std::string("no home directory (HOME is not set) for ") + name);
        return std::nullopt;
    }
    return fs::path(home) / underHome;
}

// What is wrong with `path` when it names something that is not a file (a
// directory, most likely); nothing when it is a file or is not there.
std::optional<std::string> NotAFile(const fs::path& path)
{
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (!fs::exists(status) || fs::is_regular_file(status))
    {
        return std::nullopt;
    }
    return Quoted(path) + (fs::is_directory(status) ? " is a directory, not a file" : " is not a regular file");
}

// Makes `dir` and checks that this user may write in it.
bool MakeWritableDir(const fs::path& dir, std::string& why)
{
    std::error_code error;
    fs::create_directories(dir, error);
    if (error)
    {
        why = error.message();
        return false;
    }
    if (!fs::is_directory(dir, error))
    {
        why = "not a directory";
        return false;
    }
    if (access(dir.c_str(), W_OK | X_OK) != 0)
    {
        why = "not writable";
        return false;
    }
    return true;
}

} // namespace

Environment CurrentEnvironment()
{
    const auto get = [](const char* name)
    {
        const char* value = std::getenv(name);
        return value != nullptr ? std::string(value) : std::string();
    };
    Environment environment;
    environment.executable = version::ModuleFileName();
    environment.home = get("HOME");
    if (environment.home.empty())
    {
        // A service or `env -i` may start the program without HOME.
        if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr)
        {
            environment.home = entry->pw_dir;
        }
    }
    environment.xdgConfigHome = get("XDG_CONFIG_HOME");
    environment.xdgDataHome = get("XDG_DATA_HOME");
    return environment;
}

std::optional<fs::path> InstalledDataDir(const fs::path& executable)
{
    const fs::path bin = executable.parent_path();
    if (bin.filename() != "bin")
    {
        return std::nullopt;
    }
    const fs::path data = bin.parent_path() / "share" / kFolderName;
    std::error_code error;
    if (!fs::is_directory(data, error))
    {
        return std::nullopt;
    }
    return data;
}

Place FindConfig(const Environment& environment)
{
    Place place;
    const fs::path beside = environment.executable.parent_path() / kConfigName;
    std::error_code error;
    if (fs::is_regular_file(beside, error))
    {
        place.path = beside;
        return place;
    }
    const std::optional<std::string> besideUnusable = NotAFile(beside);
    std::optional<fs::path> configHome;
    if (InstalledDataDir(environment.executable))
    {
        configHome = BaseDir(environment.xdgConfigHome, "XDG_CONFIG_HOME", environment.home, ".config", place.messages);
    }
    if (!configHome)
    {
        // The portable layout: config.ini is created beside the executable
        // on the first write, as it always was.
        place.path = beside;
        if (besideUnusable)
        {
            place.messages.push_back(*besideUnusable + ": " + kNotSaved);
        }
        return place;
    }
    if (besideUnusable)
    {
        place.messages.push_back(*besideUnusable + ": the user's settings are used");
    }
    const fs::path dir = *configHome / kFolderName;
    place.path = dir / kConfigName;
    std::string why;
    if (!MakeWritableDir(dir, why))
    {
        // A read-only folder with a config.ini in it (a service's settings
        // under /etc) still gives its settings.
        std::error_code error;
        const bool readable = fs::is_regular_file(place.path, error);
        place.messages.push_back("cannot write in the settings folder " + Quoted(dir) + " (" + why
            + "): " + (readable ? "the settings are read but changes are not saved" : kNotSaved));
    }
    else if (const auto wrong = NotAFile(place.path))
    {
        place.messages.push_back(*wrong + ": " + kNotSaved);
    }
    return place;
}

Place PrepareDataDir(const Environment& environment)
{
    Place place;
    const auto dataHome = BaseDir(
        environment.xdgDataHome, "XDG_DATA_HOME", environment.home, fs::path(".local") / "share", place.messages);
    std::error_code error;
    const fs::path current = fs::current_path(error);
    const std::string stay = "the working files stay in the current directory " + Quoted(current);
    if (!dataHome)
    {
        place.messages.push_back(stay);
        return place;
    }
    const fs::path dir = *dataHome / kFolderName;
    std::string why;
    if (!MakeWritableDir(dir, why))
    {
        place.messages.push_back("cannot use " + Quoted(dir) + " for the working files (" + why + "): " + stay);
        return place;
    }
    const fs::path source = InstalledDataDir(environment.executable).value_or(environment.executable.parent_path());
    for (const char* name : kDefaultDataFiles)
    {
        const fs::path target = dir / name;
        if (fs::exists(fs::symlink_status(target, error)))
        {
            continue;
        }
        // copy_options::none fails rather than replace a file made meanwhile.
        if (!fs::copy_file(source / name, target, fs::copy_options::none, error))
        {
            place.messages.push_back(
                "cannot copy " + Quoted(source / name) + " to " + Quoted(target) + ": " + error.message());
        }
    }
    place.path = dir;
    return place;
}

Place EnterDataDir(const Environment& environment)
{
    Place place = PrepareDataDir(environment);
    if (place.path.empty())
    {
        return place;
    }
    std::error_code error;
    fs::current_path(place.path, error);
    if (error)
    {
        place.messages.push_back("cannot change to " + Quoted(place.path) + ": " + error.message());
        place.path.clear();
    }
    return place;
}

void PrintMessages(const char* program, const std::vector<std::string>& messages)
{
    for (const std::string& message : messages)
    {
        std::fprintf(stderr, "%s: %s\n", program, message.c_str());
    }
}

} // namespace quellis::places
