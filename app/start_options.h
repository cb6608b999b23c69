#pragma once

// The window's own command-line options, read before Qt starts so that
// --help and --version work without a display. Qt's options (-platform,
// -style, ...) are left to Qt.

namespace quellis::app
{

struct StartOptions
{
    bool help = false;
    bool version = false;
    // Started from the desktop menu: the working files go to the user's data
    // folder instead of the current directory.
    bool fromMenu = false;
};

[[nodiscard]] StartOptions ParseStartOptions(int argc, const char* const* argv);

// The text of --help.
extern const char* const kStartUsage;

} // namespace quellis::app
