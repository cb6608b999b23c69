#include "commands/network_settings.h"

#include "platform/net/ipv4.h"
#include "platform/text/codepage.h"
#include "protocol/device_packet.h"

#include <cstdio>

namespace quellis::commands
{

namespace
{

std::uint32_t AddressOrZero(std::string_view text)
{
    // The conversion the system offers would turn a text that is no address
    // into 255.255.255.255; the dialog then shows an empty-looking 0.0.0.0
    // instead, which the operator sees and corrects.
    return net::ParseIpv4(text).value_or(0);
}

// Leading hexadecimal digits as a 32-bit number; a longer run saturates, as
// the system's conversion of an unsigned long does.
std::uint32_t LeadingHex(std::string_view text)
{
    std::uint64_t value = 0;
    for (const char c : text)
    {
        int digit = 0;
        if (c >= '0' && c <= '9')
        {
            digit = c - '0';
        }
        else if (c >= 'a' && c <= 'f')
        {
            digit = c - 'a' + 10;
        }
        else if (c >= 'A' && c <= 'F')
        {
            digit = c - 'A' + 10;
        }
        else
        {
            break;
        }
        value = value * 16 + static_cast<std::uint64_t>(digit);
        if (value > 0xFFFFFFFFu)
        {
            return 0xFFFFFFFFu;
        }
    }
    return static_cast<std::uint32_t>(value);
}

} // namespace

DevSetFields FieldsFromRow(std::string_view ip, std::string_view mask, std::string_view gateway, std::string_view mac)
{
    DevSetFields fields;
    fields.address = AddressOrZero(ip);
    fields.mask = AddressOrZero(mask);
    fields.gateway = AddressOrZero(gateway);
    fields.mac = mac;
    return fields;
}

std::vector<std::uint8_t> BuildSettingRequest(const DevSetFields& fields)
{
    std::string ip;
    std::string mask;
    std::string gateway;
    if (fields.staticAddress != 0)
    {
        ip = net::FormatIpv4(fields.address);
        mask = net::FormatIpv4(fields.mask);
        gateway = net::FormatIpv4(fields.gateway);
    }
    const std::string mac = text::Utf8ToCp936(fields.mac);
    const std::string userName = text::Utf8ToCp936(fields.userName);
    const std::string dns = net::FormatIpv4(fields.dns);
    std::vector<std::uint8_t> request(protocol::kRequestBufferSize);
    request.resize(protocol::BuildDevSetting(request, { ip, mask, gateway, mac, userName, dns }));
    return request;
}

CompanionNumbers SplitMacForCompanion(std::string_view mac)
{
    CompanionNumbers numbers;
    numbers.wParam = LeadingHex(mac.substr(0, 4));
    numbers.lParam = LeadingHex(mac.size() > 4 ? mac.substr(4) : std::string_view {});
    return numbers;
}

bool AppendChangeMac(const std::filesystem::path& file, std::string_view mac)
{
    // The line ends as a text-mode file of the system writes it.
    std::FILE* out = std::fopen(file.c_str(), "ab");
    if (out == nullptr)
    {
        return false;
    }
    const std::string line = text::Utf8ToCp936(mac) + "\r\n";
    const bool written = std::fwrite(line.data(), 1, line.size(), out) == line.size();
    return std::fclose(out) == 0 && written;
}

} // namespace quellis::commands
