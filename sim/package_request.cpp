#include "sim/package_request.h"

#include <algorithm>
#include <cstdio>

namespace quellis::sim
{

std::string FormatPackageRequest(std::uint32_t packetNumber, std::string_view name, std::uint64_t startOffset)
{
    std::string field(name.substr(0, std::min(name.size(), kMaxPackageNameLength)));
    std::replace(field.begin(), field.end(), ':', '_');
    if (field.empty())
    {
        field = "package"; // the server requires the field to be present
    }
    char numbers[2][24];
    std::snprintf(numbers[0], sizeof numbers[0], "%x", packetNumber);
    std::snprintf(numbers[1], sizeof numbers[1], "%llx", static_cast<unsigned long long>(startOffset));
    return std::to_string(kPackageRequestVersion) + ":" + numbers[0] + ":" + field + ":"
        + std::to_string(kRequestFileData) + ":" + numbers[1];
}

} // namespace quellis::sim
