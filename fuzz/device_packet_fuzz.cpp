// Every reader of a datagram, on anything of up to 10240 bytes. libFuzzer hands
// over a buffer of exactly the input's size, so AddressSanitizer catches any
// read past the received length.
#include "protocol/device_packet.h"

#include <cstdlib>

using namespace quellis::protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > kMaxDatagramSize)
    {
        return 0;
    }
    const std::span<const std::uint8_t> datagram(data, size);

    if (const auto record = ReadRecord(datagram))
    {
        if (record->ip.size() > 32 || record->mac.size() > 32 || record->hostName.size() > 64
            || record->userName.size() > 32 || record->dns.size() > 32)
        {
            std::abort();
        }
        [[maybe_unused]] const auto shown = SkipByteOrderMark(record->hostName);
    }
    if (const auto command = ReadCommand(datagram))
    {
        if (command->payload.size() > size || command->text.size() > size)
        {
            std::abort();
        }
        [[maybe_unused]] const auto packageSize = ReadUpgradeSize(*command);
    }
    [[maybe_unused]] const auto header = ReadHeader(datagram);
    [[maybe_unused]] const auto e2Request = ReadE2Request(datagram);
    [[maybe_unused]] const auto e2Reply = ReadE2Reply(datagram);
    for (std::size_t offset : { kIpOffset, kMacOffset, std::size_t { 188 }, kCommandReplyTextOffset })
    {
        if (TextField(datagram, offset, kTextFieldWidth).size() > kTextFieldWidth)
        {
            std::abort();
        }
    }
    return 0;
}
