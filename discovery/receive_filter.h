#pragma once

#include <string_view>

// Which replies the receive thread lets through, by the numbers of the
// device's address text: the third must be NETMASK, the fourth lie between
// IPBEGIN and IPEND. Values from [COMMON] NETMASK, IPBEGIN, IPEND.

namespace quellis::discovery
{

struct ReceiveFilter
{
    int netmask = -1; // any negative value: no test
    int ipBegin = -1; // -1: no test
    int ipEnd = -1; // -1: no test
};

// The address text is split at dots with empty pieces skipped; a piece's number
// is its leading decimal digits (0 when there are none). Fewer than three
// pieces always pass, as does a text without a fourth piece once the third
// has passed.
[[nodiscard]] bool PassesAddressFilter(std::string_view ipText, const ReceiveFilter& filter);

} // namespace quellis::discovery
