// Anyone on the LAN can connect to the package server and send anything; the
// server reads at most 259 bytes once and parses them. Beyond not crashing
// or reading past the text: a request taken is one of the two commands with
// a short name, and leading colons change nothing.

#include "fuzz/fuzz_check.h"
#include "update/package_request.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace quellis::update;

    const std::string_view text(reinterpret_cast<const char*>(data), std::min(size, kMaxRequestBytes));
    const auto request = ParsePackageRequest(text);
    if (request)
    {
        Check(request->command == REQ_FILE_DATA || request->command == REQ_DIRECTORY);
        Check(request->name.size() <= kMaxRequestNameLength && !request->name.empty());
        Check(request->name.find(':') == std::string::npos && request->name.find('\0') == std::string::npos);
        Check(request->command == REQ_FILE_DATA || request->startOffset == 0);
    }
    const auto prefixed = ParsePackageRequest("::" + std::string(text));
    Check(prefixed.has_value() == request.has_value());
    if (request)
    {
        Check(prefixed->command == request->command && prefixed->startOffset == request->startOffset
            && prefixed->packetNumber == request->packetNumber && prefixed->name == request->name);
    }
    return 0;
}
