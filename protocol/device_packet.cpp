#include "protocol/device_packet.h"

#include "protocol/internet_checksum.h"

#include <algorithm>
#include <cstring>

namespace quellis::protocol
{

namespace
{

// A copy of the first bytes of a datagram in a zeroed layout: bytes beyond the
// received length read as zero, and nothing past it is touched.
template <typename Layout> Layout ZeroFilledCopy(std::span<const std::uint8_t> datagram, std::size_t offset = 0)
{
    Layout layout {};
    if (datagram.size() > offset)
    {
        std::memcpy(&layout, datagram.data() + offset, std::min(sizeof(Layout), datagram.size() - offset));
    }
    return layout;
}

template <std::size_t Width> std::string FieldString(const char (&field)[Width])
{
    const auto* end = static_cast<const char*>(std::memchr(field, '\0', Width));
    return std::string(field, end != nullptr ? static_cast<std::size_t>(end - field) : Width);
}

// Leaves the last byte of the field as its terminator.
template <std::size_t Width> void CopyField(char (&field)[Width], std::string_view text)
{
    // An empty view may carry a null pointer, which memcpy must not be given.
    if (!text.empty())
    {
        std::memcpy(field, text.data(), std::min(text.size(), Width - 1));
    }
}

template <typename Layout> Layout* Prepare(std::span<std::uint8_t> buffer, std::size_t needed)
{
    if (buffer.size() < needed || buffer.size() < sizeof(Layout))
    {
        return nullptr;
    }
    std::fill(buffer.begin(), buffer.end(), std::uint8_t { 0 });
    return reinterpret_cast<Layout*>(buffer.data());
}

RecordLayout* PrepareRecordRequest(std::span<std::uint8_t> buffer, PacketType type)
{
    auto* record = Prepare<RecordLayout>(buffer, kRecordSize);
    if (record != nullptr)
    {
        record->header = PacketHeader { kPacketMagic, type };
        record->length = kRecordSize;
    }
    return record;
}

// The command header; the caller fills the payload behind it.
CommandLayout* PrepareCommand(std::span<std::uint8_t> buffer,
    PacketType type,
    std::string_view target,
    std::uint16_t cmdCode,
    std::size_t totalLength)
{
    auto* command = Prepare<CommandLayout>(buffer, totalLength);
    if (command != nullptr)
    {
        command->header = PacketHeader { kPacketMagic, type };
        CopyField(command->target, target);
        command->totalLength = static_cast<std::uint32_t>(totalLength);
        command->cmdFamily = type == PKT_CMD ? kCommandFamily : 0;
        command->cmdCode = cmdCode;
    }
    return command;
}

} // namespace

std::string_view TextField(std::span<const std::uint8_t> datagram, std::size_t offset, std::size_t width)
{
    if (offset >= datagram.size())
    {
        return {};
    }
    const auto* start = reinterpret_cast<const char*>(datagram.data() + offset);
    const std::size_t available = std::min(width, datagram.size() - offset);
    const auto* end = static_cast<const char*>(std::memchr(start, '\0', available));
    return { start, end != nullptr ? static_cast<std::size_t>(end - start) : available };
}

std::optional<PacketHeader> ReadHeader(std::span<const std::uint8_t> datagram)
{
    const auto header = ZeroFilledCopy<PacketHeader>(datagram);
    if (header.magic != kPacketMagic)
    {
        return std::nullopt;
    }
    return header;
}

std::optional<DeviceRecord> ReadRecord(std::span<const std::uint8_t> datagram)
{
    const auto layout = ZeroFilledCopy<RecordLayout>(datagram);
    if (layout.header.magic != kPacketMagic)
    {
        return std::nullopt;
    }
    DeviceRecord record;
    record.type = layout.header.type;
    record.ip = FieldString(layout.ip);
    record.mask = FieldString(layout.mask);
    record.gateway = FieldString(layout.gateway);
    record.mac = FieldString(layout.mac);
    record.searchMode = layout.searchMode;
    record.temperature = layout.temperature;
    record.versionNumber = layout.versionNumber;
    record.length = layout.length;
    record.runSeconds = layout.runSeconds;
    record.versionText = FieldString(layout.versionText);
    record.hostName = FieldString(layout.hostName);
    record.userName = FieldString(layout.setting.userName);
    record.dns = FieldString(layout.setting.dns);
    record.result = layout.result;
    record.receivedLength = datagram.size();
    return record;
}

std::string_view SkipByteOrderMark(std::string_view hostName)
{
    if (hostName.size() >= 2 && hostName[0] == '\xEF' && hostName[1] == '\xBB')
    {
        hostName.remove_prefix(std::min<std::size_t>(3, hostName.size()));
    }
    return hostName;
}

std::optional<CommandPacket> ReadCommand(std::span<const std::uint8_t> datagram)
{
    const auto layout = ZeroFilledCopy<CommandLayout>(datagram);
    if (layout.header.magic != kPacketMagic)
    {
        return std::nullopt;
    }
    CommandPacket packet;
    packet.type = layout.header.type;
    packet.target = FieldString(layout.target);
    packet.totalLength = layout.totalLength;
    packet.cmdFamily = layout.cmdFamily;
    packet.cmdCode = layout.cmdCode;
    packet.receivedLength = datagram.size();
    if (datagram.size() > kCommandHeaderSize)
    {
        const std::size_t end
            = std::min<std::size_t>(datagram.size(), std::max<std::size_t>(layout.totalLength, kCommandHeaderSize));
        packet.payload = datagram.subspan(kCommandHeaderSize, end - kCommandHeaderSize);
    }
    const auto result = ZeroFilledCopy<std::int32_t>(datagram, kCommandHeaderSize);
    packet.result = result;
    packet.text = std::string(TextField(datagram, kCommandReplyTextOffset, kMaxDatagramSize));
    return packet;
}

std::uint64_t ReadUpgradeSize(const CommandPacket& offer)
{
    const auto high = ZeroFilledCopy<std::uint32_t>(offer.payload);
    const auto low = ZeroFilledCopy<std::uint32_t>(offer.payload, 4);
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

std::optional<E2Block> ReadE2Request(std::span<const std::uint8_t> datagram)
{
    if (!ReadHeader(datagram))
    {
        return std::nullopt;
    }
    const auto layout = ZeroFilledCopy<E2RequestLayout>(datagram, kCommandHeaderSize);
    E2Block block;
    block.checksum = layout.checksum;
    block.start = layout.start;
    block.length = layout.length;
    std::copy(std::begin(layout.data), std::end(layout.data), block.data.begin());
    return block;
}

std::optional<E2Reply> ReadE2Reply(std::span<const std::uint8_t> datagram)
{
    if (!ReadHeader(datagram))
    {
        return std::nullopt;
    }
    const auto layout = ZeroFilledCopy<E2ReplyLayout>(datagram, kCommandHeaderSize);
    E2Reply reply;
    reply.result = layout.result;
    reply.block.checksum = layout.checksum;
    reply.block.start = layout.start;
    reply.block.length = layout.length;
    reply.block.data = ZeroFilledCopy<std::array<std::uint8_t, kE2DataCapacity>>(datagram, kE2ReplyDataOffset);
    // Over `length` bytes from offset 64 of the datagram, which may run past
    // the 256 bytes of the block. Bytes beyond the received end read as zero,
    // and zero bytes add nothing to a one's-complement sum, so the sum over
    // what arrived is the sum over the length.
    const std::size_t received = datagram.size() > kE2ReplyDataOffset ? datagram.size() - kE2ReplyDataOffset : 0;
    const std::size_t counted = std::min<std::size_t>(layout.length, received);
    reply.computedChecksum
        = counted == 0 ? InternetChecksum({}) : InternetChecksum(datagram.subspan(kE2ReplyDataOffset, counted));
    return reply;
}

std::size_t BuildSearch(std::span<std::uint8_t> buffer, SearchMode mode, std::string_view account)
{
    auto* record = PrepareRecordRequest(buffer, PKT_SEARCH);
    if (record == nullptr)
    {
        return 0;
    }
    record->searchMode = mode;
    CopyField(record->versionText, account);
    return kRecordSize;
}

std::size_t BuildDevSetting(std::span<std::uint8_t> buffer, const DevSetting& setting)
{
    auto* record = PrepareRecordRequest(buffer, PKT_DEV_SETTING);
    if (record == nullptr)
    {
        return 0;
    }
    CopyField(record->ip, setting.ip);
    CopyField(record->mask, setting.mask);
    CopyField(record->gateway, setting.gateway);
    CopyField(record->mac, setting.mac);
    CopyField(record->setting.userName, setting.userName);
    CopyField(record->setting.dns, setting.dns);
    return kRecordSize;
}

std::size_t BuildNetLedFlicker(std::span<std::uint8_t> buffer, std::string_view mac)
{
    auto* record = PrepareRecordRequest(buffer, PKT_NET_LED_FLICKER);
    if (record == nullptr)
    {
        return 0;
    }
    CopyField(record->mac, mac);
    return kRecordSize;
}

std::size_t BuildCommand(std::span<std::uint8_t> buffer,
    std::string_view target,
    std::uint16_t cmdCode,
    std::span<const std::uint8_t> payload)
{
    const std::size_t total = kCommandHeaderSize + payload.size();
    if (PrepareCommand(buffer, PKT_CMD, target, cmdCode, total) == nullptr)
    {
        return 0;
    }
    std::copy(payload.begin(), payload.end(), buffer.begin() + kCommandHeaderSize);
    return total;
}

std::size_t BuildExecute(std::span<std::uint8_t> buffer, std::string_view target, std::string_view command)
{
    // The text must leave room for its terminator in the 512-byte request buffer.
    if (command.size() + kCommandHeaderSize + 1 > kRequestBufferSize)
    {
        return 0;
    }
    return BuildCommand(buffer, target, CMD_EXECUTE, AsBytes(command));
}

std::size_t BuildUpgradeOffer(std::span<std::uint8_t> buffer, std::string_view target, std::uint64_t packageSize)
{
    const std::uint32_t halves[2]
        = { static_cast<std::uint32_t>(packageSize >> 32), static_cast<std::uint32_t>(packageSize & 0xFFFFFFFFu) };
    return BuildCommand(
        buffer, target, CMD_Upgrade, std::span(reinterpret_cast<const std::uint8_t*>(halves), sizeof halves));
}

std::size_t BuildPoolConfig(std::span<std::uint8_t> buffer, std::string_view target, std::string_view poolText)
{
    const std::size_t total = kCommandHeaderSize + poolText.size() + 1;
    if (PrepareCommand(buffer, PKT_CMD, target, CMD_PoolConfig, total) == nullptr)
    {
        return 0;
    }
    // The terminating NUL is part of the payload; the zeroed buffer holds it.
    std::copy(poolText.begin(), poolText.end(), buffer.begin() + kCommandHeaderSize);
    return total;
}

std::size_t BuildE2Request(
    std::span<std::uint8_t> buffer, std::string_view target, CommandCode code, const E2Block& block)
{
    if (PrepareCommand(buffer, PKT_CMD, target, code, kE2RequestSize) == nullptr)
    {
        return 0;
    }
    E2RequestLayout layout {};
    layout.checksum = block.checksum;
    layout.start = block.start;
    layout.length = block.length;
    std::copy_n(block.data.begin(), std::min<std::size_t>(block.length, kE2DataCapacity), layout.data);
    std::memcpy(buffer.data() + kCommandHeaderSize, &layout, sizeof layout);
    return kE2RequestSize;
}

std::size_t BuildRecordReply(
    std::span<std::uint8_t> buffer, PacketType type, const RecordFields& fields, std::size_t length)
{
    auto* record = Prepare<RecordLayout>(buffer, kRecordSize);
    if (record == nullptr)
    {
        return 0;
    }
    record->header = PacketHeader { kPacketMagic, type };
    CopyField(record->ip, fields.ip);
    CopyField(record->mask, fields.mask);
    CopyField(record->gateway, fields.gateway);
    CopyField(record->mac, fields.mac);
    record->temperature = fields.temperature;
    record->versionNumber = fields.versionNumber;
    record->length = kRecordSize;
    record->runSeconds = fields.runSeconds;
    CopyField(record->versionText, fields.versionText);
    CopyField(record->hostName, fields.hostName);
    record->result = fields.result;
    // A short reply is the whole record cut at its length; what lies beyond is
    // cleared so the buffer holds exactly what goes on the wire.
    const std::size_t sent = std::min(length, kRecordSize);
    std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(sent), buffer.begin() + kRecordSize, std::uint8_t { 0 });
    return sent;
}

std::size_t BuildCommandReply(std::span<std::uint8_t> buffer,
    std::string_view target,
    std::uint16_t cmdCode,
    std::int32_t result,
    std::span<const std::uint8_t> data)
{
    const std::size_t total = kCommandReplyTextOffset + data.size();
    if (PrepareCommand(buffer, PKT_CMD_ACK, target, cmdCode, total) == nullptr)
    {
        return 0;
    }
    std::memcpy(buffer.data() + kCommandHeaderSize, &result, sizeof result);
    std::copy(data.begin(), data.end(), buffer.begin() + kCommandReplyTextOffset);
    return total;
}

std::size_t BuildE2ReadReply(
    std::span<std::uint8_t> buffer, std::string_view target, std::int32_t result, const E2Block& block)
{
    const std::size_t dataLength = std::min<std::size_t>(block.length, kE2DataCapacity);
    const std::size_t total = kE2ReplyDataOffset + dataLength;
    if (PrepareCommand(buffer, PKT_CMD_ACK, target, CMD_ReadE2, total) == nullptr)
    {
        return 0;
    }
    const E2ReplyLayout layout { result, block.checksum, 0, block.start, block.length };
    std::memcpy(buffer.data() + kCommandHeaderSize, &layout, sizeof layout);
    std::copy_n(block.data.begin(), dataLength, buffer.begin() + kE2ReplyDataOffset);
    return total;
}

} // namespace quellis::protocol
