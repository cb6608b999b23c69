#pragma once

#include "poller/machine_poller.h"

#include <string>
#include <string_view>
#include <vector>

// The machines of a file written by `search` (CSV or JSON) or one address per
// line, as the exporter polls them: address, MAC, version and host name. The
// file's run time and temperature are left out: they were true when the file
// was written, not now.

namespace quellis::cli
{

// False with the reason for a text that holds no machine or a row without a
// valid address.
[[nodiscard]] bool ReadMachineFile(
    std::string_view text, std::vector<poller::MachineInfo>* machines, std::string* error);

} // namespace quellis::cli
