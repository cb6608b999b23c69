#include "discovery/receive_filter.h"

#include <array>
#include <cstdint>

namespace quellis::discovery
{

namespace
{

// Leading decimal digits; large values saturate rather than wrap.
int LeadingNumber(std::string_view piece)
{
    std::int64_t value = 0;
    for (const char c : piece)
    {
        if (c < '0' || c > '9')
        {
            break;
        }
        value = value * 10 + (c - '0');
        if (value > INT32_MAX)
        {
            return INT32_MAX;
        }
    }
    return static_cast<int>(value);
}

} // namespace

bool PassesAddressFilter(std::string_view ipText, const ReceiveFilter& filter)
{
    // Only the first four pieces are ever looked at.
    std::array<int, 4> numbers {};
    std::size_t pieces = 0;
    std::size_t position = 0;
    while (position < ipText.size() && pieces < numbers.size())
    {
        const std::size_t dot = ipText.find('.', position);
        const std::size_t end = dot == std::string_view::npos ? ipText.size() : dot;
        if (end > position)
        {
            numbers[pieces++] = LeadingNumber(ipText.substr(position, end - position));
        }
        position = end + 1;
    }
    if (pieces < 3)
    {
        return true;
    }
    if (filter.netmask >= 0 && numbers[2] != filter.netmask)
    {
        return false;
    }
    if (pieces < 4)
    {
        return true;
    }
    if (filter.ipBegin != -1 && numbers[3] < filter.ipBegin)
    {
        return false;
    }
    if (filter.ipEnd != -1 && numbers[3] > filter.ipEnd)
    {
        return false;
    }
    return true;
}

} // namespace quellis::discovery
