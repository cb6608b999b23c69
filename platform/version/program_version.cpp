#include "platform/version/program_version.h"

#include "platform/version/version_info.h"

#include <vector>

namespace quellis::version
{

std::string ProductVersionText(const FixedFileInfo& info)
{
    // Each version word holds two 16-bit parts, the first in the high half.
    return std::to_string(info.productVersionMS >> 16) + "." + std::to_string(info.productVersionMS & 0xFFFF) + "."
        + std::to_string(info.productVersionLS >> 16) + "." + std::to_string(info.productVersionLS & 0xFFFF);
}

std::string VersionLine(std::string_view program)
{
    std::string line(program);
    std::vector<std::uint8_t> block;
    const auto info = ReadVersionInfo(RunningProgramImage(), block) ? QueryRootBlock(block) : std::nullopt;
    return line + (info ? " " + ProductVersionText(*info) : std::string(" (no version record)"));
}

} // namespace quellis::version
