#include "app/start_options.h"

#include <string_view>

namespace quellis::app
{

const char* const kStartUsage = "usage: quellis [--from-menu] [Qt options]\n"
                                "Finds the mining machines on the local network and identifies, tests, commands,\n"
                                "updates, configures and watches them, all from one window.\n"
                                "\n"
                                "  --from-menu   keep the working files (log.txt, changeMac.txt, devDown.wav and the\n"
                                "                pool files) in $XDG_DATA_HOME/quellis (~/.local/share/quellis), as\n"
                                "                the menu entry does; without it they are in the current directory\n"
                                "  --help        this text\n"
                                "  --version     the version\n"
                                "\n"
                                "The settings are config.ini beside the program when it is there or when the\n"
                                "program runs from the folder it was built or unpacked in; an installed program\n"
                                "uses $XDG_CONFIG_HOME/quellis/config.ini (~/.config/quellis/config.ini).\n"
                                "Only one instance runs per machine: starting it again brings the running\n"
                                "window to the front.\n";

StartOptions ParseStartOptions(int argc, const char* const* argv)
{
    StartOptions options;
    for (int i = 1; i < argc; ++i)
    {
        const std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h")
        {
            options.help = true;
        }
        else if (argument == "--version")
        {
            options.version = true;
        }
        else if (argument == "--from-menu")
        {
            options.fromMenu = true;
        }
    }
    return options;
}

} // namespace quellis::app
