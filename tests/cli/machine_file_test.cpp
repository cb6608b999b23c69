#include "cli/machine_file.h"
#include "platform/net/ipv4.h"

#include <gtest/gtest.h>

namespace quellis::cli
{
namespace
{

// "ip mac version host" per machine, or "error: …".
std::string Read(std::string_view text)
{
    std::vector<poller::MachineInfo> machines;
    std::string error;
    if (!ReadMachineFile(text, &machines, &error))
    {
        return "error: " + error;
    }
    std::string out;
    for (const auto& machine : machines)
    {
        out += net::FormatIpv4(machine.address) + " " + machine.mac + " " + machine.version + " " + machine.host + ";";
    }
    return out;
}

TEST(CliMachineFile, ReadsWhatSearchWritesAndPlainAddressLists)
{
    struct Case
    {
        std::string text;
        const char* machines;
    };
    const Case cases[] = {
        { "Index,IP,Mask,Gateway,MAC,Run time,Run seconds,Temperature,Version,Host name\r\n"
          "1,10.77.128.1,255.255.0.0,10.77.0.1,A1B2C3D4E5F6,1天,86400,65,2.1.5,\"rack \"\"7\"\", a\"\r\n"
          "2,10.77.128.2,,,,,,,,\r\n",
            "10.77.128.1 A1B2C3D4E5F6 2.1.5 rack \"7\", a;10.77.128.2   ;" },
        { R"([{"index":1,"ip":"10.77.128.9","mac":"a1:b2:c3:d4:e5:f6","version":"2.1.5","host_name":"矿机"}])",
            "10.77.128.9 A1B2C3D4E5F6 2.1.5 矿机;" },
        { "# machines\n10.77.128.3\n\n 10.77.128.4 \n", "10.77.128.3   ;10.77.128.4   ;" },
        { "IP\n10.77.128.5\nnot an address\n", "error: not an address: not an address" },
        { "Index,MAC\n1,A1B2C3D4E5F6\n", "error: a CSV without an \"IP\" column" },
        { R"([{"mac":"A1B2C3D4E5F6"}])", "error: not an address: " },
        { "[1,", "error: not a JSON array of machines" },
        { "# nothing\n", "error: no machine in the file" },
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(Read(c.text), c.machines) << c.text;
    }
}

} // namespace
} // namespace quellis::cli
