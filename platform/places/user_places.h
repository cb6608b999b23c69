#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Where the program keeps config.ini and its working files (log.txt,
// changeMac.txt, devDown.wav, the pool files). A folder a person unpacks
// keeps config.ini beside the executable, as it always has. An installed
// program (its executable in <prefix>/bin, its data in <prefix>/share/quellis)
// cannot write beside itself and keeps each user's files in the XDG places.
// Every problem on the way becomes a message and a usable place: the program
// always starts.

namespace quellis::places
{

// What the lookup reads from the process, given as values so that tests can
// give any.
struct Environment
{
    std::filesystem::path executable; // the running program
    std::string home; // $HOME, or the password entry's home
    std::string xdgConfigHome; // $XDG_CONFIG_HOME as set (may be empty)
    std::string xdgDataHome; // $XDG_DATA_HOME as set (may be empty)
};

// This process's environment.
[[nodiscard]] Environment CurrentEnvironment();

// <prefix>/share/quellis for an executable in <prefix>/bin, when that folder
// exists: the program is installed.
[[nodiscard]] std::optional<std::filesystem::path> InstalledDataDir(const std::filesystem::path& executable);

// A place, and what went wrong on the way to it (one line each).
struct Place
{
    std::filesystem::path path;
    std::vector<std::string> messages;
};

// config.ini beside the executable when it is a file there or when the
// program is not installed; otherwise $XDG_CONFIG_HOME/quellis/config.ini
// (default ~/.config), whose folder is made here so that a later write
// can create the file.
[[nodiscard]] Place FindConfig(const Environment& environment);

// $XDG_DATA_HOME/quellis (default ~/.local/share), made if missing, with the
// alarm sound and the pool template copied in from the installed data (or
// from beside the executable) when they are not there yet; a file already
// there is never replaced. An empty path when the folder cannot be made:
// the working files then stay in the current directory.
[[nodiscard]] Place PrepareDataDir(const Environment& environment);

// PrepareDataDir, then that folder as the current directory: what the
// window does when started from the desktop menu.
[[nodiscard]] Place EnterDataDir(const Environment& environment);

// The files PrepareDataDir copies.
inline constexpr const char* kDefaultDataFiles[] = { "devDown.wav", "cgminer.conf.xtc" };

// Prints each message as "<program>: <message>" on standard error.
void PrintMessages(const char* program, const std::vector<std::string>& messages);

} // namespace quellis::places
