// The exporter's list of machines, on any file an operator may hand it: a
// search file (CSV or JSON) or a list of addresses.
#include "cli/machine_file.h"
#include "fuzz/fuzz_check.h"

#include <cctype>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<quellis::poller::MachineInfo> machines;
    std::string error;
    const bool read = quellis::cli::ReadMachineFile(text, &machines, &error);
    Check(!read || !machines.empty());
    Check(read || !error.empty());
    for (const auto& machine : machines)
    {
        Check(machine.mac.empty() || machine.mac.size() == 12);
        for (const char c : machine.mac)
        {
            Check(std::isxdigit(static_cast<unsigned char>(c)) && !std::islower(static_cast<unsigned char>(c)));
        }
    }
    return 0;
}
