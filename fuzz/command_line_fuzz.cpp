// The command lines of quellis-cli and quellis-farmsim, as a script may write
// them: one argument a line. Nothing is run; files are not named (no '/'), so
// that no line reads beyond the current directory.
#include "cli/command_line.h"
#include "fuzz/fuzz_check.h"
#include "sim/farmsim_options.h"

#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (text.find('/') != std::string_view::npos || size > 4096)
    {
        return 0;
    }
    std::vector<std::string> args;
    for (std::size_t start = 0; start <= text.size();)
    {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        args.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    const quellis::cli::CommandLine line = quellis::cli::ReadCommandLine(args);
    if (line.run)
    {
        Check(line.error.empty() && line.out.empty() && !line.command.empty());
    }
    else if (line.status == quellis::cli::kExitOk)
    {
        Check(!line.out.empty() && line.error.empty());
    }
    else
    {
        Check(line.status == quellis::cli::kExitUsage && line.error.starts_with("quellis-cli") && line.out.empty());
    }

    const std::vector<std::string_view> views(args.begin(), args.end());
    quellis::sim::FarmsimOptions options;
    std::string error;
    Check(quellis::sim::ParseFarmsimArguments(views, &options, &error) || !error.empty());
    return 0;
}
