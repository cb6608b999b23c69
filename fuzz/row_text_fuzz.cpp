// The texts of a device-list row that a machine reports (its address, mask,
// gateway and MAC) as the commands read them: the blink destination, the
// settings dialog's fields and request, and the companion's two numbers.
// The input is split at its first three NUL bytes.
#include "commands/blink_thread.h"
#include "commands/network_settings.h"
#include "fuzz/fuzz_check.h"
#include "protocol/device_packet.h"

#include <array>
#include <string_view>

using namespace quellis::commands;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::array<std::string_view, 4> parts {};
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    for (std::size_t i = 0; i < parts.size(); ++i)
    {
        const std::size_t end = i + 1 < parts.size() ? rest.find('\0') : std::string_view::npos;
        parts[i] = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view {} : rest.substr(end + 1);
    }
    if (const auto address = BlinkDestination(parts[0]))
    {
        // Never 0.0.0.0, a broadcast, multicast or reserved address.
        Check((*address >> 24) >= 1 && (*address >> 24) <= 223);
    }
    DevSetFields fields = FieldsFromRow(parts[0], parts[1], parts[2], parts[3]);
    fields.staticAddress = size % 2 == 0 ? 1 : 0;
    fields.userName = parts[1];
    Check(BuildSettingRequest(fields).size() == quellis::protocol::kRecordSize);
    const CompanionNumbers numbers = SplitMacForCompanion(parts[3]);
    Check(numbers.wParam <= 0xFFFF && numbers.lParam >= 0 && numbers.lParam <= 0xFFFFFFFF);
    return 0;
}
