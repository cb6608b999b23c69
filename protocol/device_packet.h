#pragma once

// The DevicePacket: the one UDP datagram family exchanged with the machines'
// management server on port 6667. This header is the only definition of its
// layout. Builders zero the whole buffer they are given and return the exact
// number of bytes to send (0 when the packet does not fit or is refused);
// readers never look past the received length, read missing bytes as zero,
// and end every text field at its first NUL or at its width.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quellis::protocol
{

static_assert(std::endian::native == std::endian::little,
    "the wire layout is little-endian and is copied as it stands; add byte swaps before porting");

inline constexpr std::uint32_t kPacketMagic = 0xF05A5A41;
// The ports of the conversation with the machines: their management server
// (UDP), the package server of the tool that they download an update from
// (TCP), and their mining software's API (TCP).
inline constexpr std::uint16_t kDevicePort = 6667;
inline constexpr std::uint16_t kPackagePort = 2425;
inline constexpr std::uint16_t kMinerApiPort = 4029;
inline constexpr std::uint16_t kCommandFamily = 2;
inline constexpr std::size_t kRecordSize = 256;
inline constexpr std::size_t kCommandHeaderSize = 48;
inline constexpr std::size_t kCommandReplyTextOffset = 52;
inline constexpr std::size_t kRequestBufferSize = 512;
inline constexpr std::size_t kMaxDatagramSize = 10240;
inline constexpr std::size_t kUpgradeOfferSize = 56;
inline constexpr std::size_t kE2RequestSize = 317;
inline constexpr std::size_t kE2RecordSize = 40;
inline constexpr std::size_t kE2DataCapacity = 256;
inline constexpr std::size_t kE2ReplyDataOffset = 64;

// The identity text of every device, as a command target; in a record's
// address field it asks the receiver to use the datagram's source address.
inline constexpr std::string_view kAllDevices = "FFFFFFFFFFFF";

enum PacketType : std::uint32_t
{
    PKT_SEARCH = 0,
    PKT_SEARCH_ACK = 1,
    PKT_DEV_SETTING = 2,
    PKT_DEV_SETTING_ACK = 3,
    PKT_NET_LED_FLICKER = 4,
    PKT_CMD = 5,
    PKT_CMD_ACK = 6,
};

enum CommandCode : std::uint16_t
{
    CMD_LedTest = 0,
    CMD_UARTTest = 2,
    CMD_EXECUTE = 3,
    CMD_Upgrade = 4,
    CMD_RestartMiner = 5,
    CMD_Reboot = 6,
    CMD_PoolConfig = 7,
    CMD_ReadE2 = 8,
    CMD_WriteE2 = 9,
    CMD_SetName = 20,
    CMD_GetName = 21,
};

enum SearchMode : std::uint32_t
{
    kSearchFixedAccount = 10,
    kSearchOrdinary = 11,
};

// ---- Wire layout -----------------------------------------------------------

#pragma pack(push, 1)

struct PacketHeader
{
    std::uint32_t magic;
    std::uint32_t type;
};

// PKT_DEV_SETTING splits the 64 host-name bytes in two.
struct SettingCredentials
{
    char userName[32];
    char dns[32];
};

// Types 0 to 4.
struct RecordLayout
{
    PacketHeader header;
    char ip[32];
    char mask[32];
    char gateway[32];
    char mac[32];
    std::uint32_t searchMode;
    std::int32_t temperature;
    std::int32_t versionNumber;
    std::uint32_t length;
    std::int32_t runSeconds;
    char versionText[32];
    union
    {
        char hostName[64];
        SettingCredentials setting;
    };
    std::int32_t result;
};

// Types 5 and 6; the payload (request) or result and data (reply) follow.
struct CommandLayout
{
    PacketHeader header;
    char target[32];
    std::uint32_t totalLength;
    std::uint16_t cmdFamily;
    std::uint16_t cmdCode;
};

// CMD_ReadE2 and CMD_WriteE2 requests: this block follows the command header.
struct E2RequestLayout
{
    std::uint16_t checksum;
    std::uint16_t reserved;
    std::uint32_t start;
    std::uint32_t length;
    std::uint8_t data[kE2DataCapacity];
    std::uint8_t tail;
};

// A CMD_ReadE2 reply carries the block 4 bytes further on, after the result.
struct E2ReplyLayout
{
    std::int32_t result;
    std::uint16_t checksum;
    std::uint16_t reserved;
    std::uint32_t start;
    std::uint32_t length;
};

#pragma pack(pop)

static_assert(sizeof(PacketHeader) == 8);
static_assert(offsetof(RecordLayout, ip) == 8);
static_assert(offsetof(RecordLayout, mask) == 40);
static_assert(offsetof(RecordLayout, gateway) == 72);
static_assert(offsetof(RecordLayout, mac) == 104);
static_assert(offsetof(RecordLayout, searchMode) == 136);
static_assert(offsetof(RecordLayout, temperature) == 140);
static_assert(offsetof(RecordLayout, versionNumber) == 144);
static_assert(offsetof(RecordLayout, length) == 148);
static_assert(offsetof(RecordLayout, runSeconds) == 152);
static_assert(offsetof(RecordLayout, versionText) == 156);
static_assert(offsetof(RecordLayout, hostName) == 188);
static_assert(offsetof(RecordLayout, setting) + offsetof(SettingCredentials, userName) == 188);
static_assert(offsetof(RecordLayout, setting) + offsetof(SettingCredentials, dns) == 220);
static_assert(offsetof(RecordLayout, result) == 252);
static_assert(sizeof(RecordLayout) == kRecordSize);
static_assert(offsetof(CommandLayout, target) == 8);
static_assert(offsetof(CommandLayout, totalLength) == 40);
static_assert(offsetof(CommandLayout, cmdFamily) == 44);
static_assert(offsetof(CommandLayout, cmdCode) == 46);
static_assert(sizeof(CommandLayout) == kCommandHeaderSize);
static_assert(kCommandHeaderSize + offsetof(E2RequestLayout, checksum) == 48);
static_assert(kCommandHeaderSize + offsetof(E2RequestLayout, start) == 52);
static_assert(kCommandHeaderSize + offsetof(E2RequestLayout, length) == 56);
static_assert(kCommandHeaderSize + offsetof(E2RequestLayout, data) == 60);
static_assert(kCommandHeaderSize + sizeof(E2RequestLayout) == kE2RequestSize);
static_assert(kCommandHeaderSize + offsetof(E2ReplyLayout, result) == 48);
static_assert(kCommandHeaderSize + offsetof(E2ReplyLayout, checksum) == 52);
static_assert(kCommandHeaderSize + offsetof(E2ReplyLayout, start) == 56);
static_assert(kCommandHeaderSize + offsetof(E2ReplyLayout, length) == 60);
static_assert(kCommandHeaderSize + sizeof(E2ReplyLayout) == kE2ReplyDataOffset);

inline constexpr std::size_t kIpOffset = offsetof(RecordLayout, ip);
inline constexpr std::size_t kMacOffset = offsetof(RecordLayout, mac);
inline constexpr std::size_t kTextFieldWidth = 32;

// ---- Reading ---------------------------------------------------------------

// The text of a fixed-width field: up to its first NUL or its width, and never
// past the received length.
[[nodiscard]] std::string_view TextField(std::span<const std::uint8_t> datagram, std::size_t offset, std::size_t width);

// The header of a DevicePacket; nothing when the magic is not ours. A datagram
// shorter than the header reads its missing bytes as zero.
[[nodiscard]] std::optional<PacketHeader> ReadHeader(std::span<const std::uint8_t> datagram);

// What a record-layout datagram (types 0 to 4) carries. Texts are the device's
// bytes as sent (not yet decoded).
struct DeviceRecord
{
    std::uint32_t type = 0;
    std::string ip;
    std::string mask;
    std::string gateway;
    std::string mac;
    std::uint32_t searchMode = 0;
    std::int32_t temperature = 0;
    std::int32_t versionNumber = 0;
    std::uint32_t length = 0;
    std::int32_t runSeconds = 0;
    std::string versionText;
    std::string hostName; // all 64 bytes' text, byte-order mark included
    std::string userName; // the same bytes read as PKT_DEV_SETTING splits them
    std::string dns;
    std::int32_t result = 0;
    std::size_t receivedLength = 0;

    // Run time and temperature count only from a whole record.
    [[nodiscard]] bool IsFullRecord() const { return receivedLength >= kRecordSize; }
};

[[nodiscard]] std::optional<DeviceRecord> ReadRecord(std::span<const std::uint8_t> datagram);

// A host name may begin with the UTF-8 byte-order mark; the receiver looks at
// its first two bytes (EF BB) and then skips three.
[[nodiscard]] std::string_view SkipByteOrderMark(std::string_view hostName);

// A command-layout datagram (types 5 and 6). For a request, payload is the
// bytes from offset 48 up to totalLength (or to the received end); for a reply,
// result is the i32 at 48 and text the NUL-terminated text from 52.
struct CommandPacket
{
    std::uint32_t type = 0;
    std::string target;
    std::uint32_t totalLength = 0;
    std::uint16_t cmdFamily = 0;
    std::uint16_t cmdCode = 0;
    std::span<const std::uint8_t> payload;
    std::int32_t result = 0;
    std::string text;
    std::size_t receivedLength = 0;
};

[[nodiscard]] std::optional<CommandPacket> ReadCommand(std::span<const std::uint8_t> datagram);

// The package size that a CMD_Upgrade offer announces (high half first).
[[nodiscard]] std::uint64_t ReadUpgradeSize(const CommandPacket& offer);

// The EEPROM block of a CMD_ReadE2 or CMD_WriteE2 request, or of a CMD_ReadE2
// reply (where it stands 4 bytes further on). data holds the block's bytes as
// received, zero beyond; length is the value as sent, which may exceed what
// was received.
struct E2Block
{
    std::uint16_t checksum = 0;
    std::uint32_t start = 0;
    std::uint32_t length = 0;
    std::array<std::uint8_t, kE2DataCapacity> data {};
};

[[nodiscard]] std::optional<E2Block> ReadE2Request(std::span<const std::uint8_t> datagram);

struct E2Reply
{
    std::int32_t result = 0;
    E2Block block;
    // The checksum of the reply's data as the receiver computes it: over
    // `length` bytes from offset 64, those beyond the datagram reading as zero.
    std::uint16_t computedChecksum = 0;
};

[[nodiscard]] std::optional<E2Reply> ReadE2Reply(std::span<const std::uint8_t> datagram);

// ---- Building requests (the tool's side) -----------------------------------

[[nodiscard]] std::size_t BuildSearch(std::span<std::uint8_t> buffer, SearchMode mode, std::string_view account = {});

struct DevSetting
{
    std::string_view ip; // empty ip, mask and gateway: address by DHCP
    std::string_view mask;
    std::string_view gateway;
    std::string_view mac;
    std::string_view userName;
    std::string_view dns;
};

[[nodiscard]] std::size_t BuildDevSetting(std::span<std::uint8_t> buffer, const DevSetting& setting);
[[nodiscard]] std::size_t BuildNetLedFlicker(std::span<std::uint8_t> buffer, std::string_view mac);

// A command request with an arbitrary payload; 0 when it does not fit.
[[nodiscard]] std::size_t BuildCommand(std::span<std::uint8_t> buffer,
    std::string_view target,
    std::uint16_t cmdCode,
    std::span<const std::uint8_t> payload = {});

// CMD_EXECUTE: the command text without its NUL. A command whose length plus
// 49 exceeds the 512-byte request buffer is refused (0).
[[nodiscard]] std::size_t BuildExecute(
    std::span<std::uint8_t> buffer, std::string_view target, std::string_view command);

[[nodiscard]] std::size_t BuildUpgradeOffer(
    std::span<std::uint8_t> buffer, std::string_view target, std::uint64_t packageSize);

// CMD_PoolConfig: the pool text with its NUL; 0 when it does not fit.
[[nodiscard]] std::size_t BuildPoolConfig(
    std::span<std::uint8_t> buffer, std::string_view target, std::string_view poolText);

// CMD_ReadE2 or CMD_WriteE2, always 317 bytes. Data bytes beyond block.length
// are sent as zero.
[[nodiscard]] std::size_t BuildE2Request(
    std::span<std::uint8_t> buffer, std::string_view target, CommandCode code, const E2Block& block);

// ---- Building replies (the machine's side) ---------------------------------

struct RecordFields
{
    std::string_view ip;
    std::string_view mask;
    std::string_view gateway;
    std::string_view mac;
    std::int32_t temperature = 0;
    std::int32_t versionNumber = 0;
    std::int32_t runSeconds = 0;
    std::string_view versionText;
    std::string_view hostName;
    std::int32_t result = 0;
};

// A PKT_SEARCH_ACK or PKT_DEV_SETTING_ACK of `length` bytes (at most 256: a
// machine may send a shorter record).
[[nodiscard]] std::size_t BuildRecordReply(
    std::span<std::uint8_t> buffer, PacketType type, const RecordFields& fields, std::size_t length = kRecordSize);

// A PKT_CMD_ACK: result at 48, data from 52.
[[nodiscard]] std::size_t BuildCommandReply(std::span<std::uint8_t> buffer,
    std::string_view target,
    std::uint16_t cmdCode,
    std::int32_t result,
    std::span<const std::uint8_t> data = {});

// A CMD_ReadE2 reply: result, then the block from 52 with data from 64.
[[nodiscard]] std::size_t BuildE2ReadReply(
    std::span<std::uint8_t> buffer, std::string_view target, std::int32_t result, const E2Block& block);

// Texts as bytes, for payloads and reply data.
[[nodiscard]] inline std::span<const std::uint8_t> AsBytes(std::string_view text)
{
    return { reinterpret_cast<const std::uint8_t*>(text.data()), text.size() };
}

} // namespace quellis::protocol
