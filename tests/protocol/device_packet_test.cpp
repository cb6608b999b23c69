#include "protocol/device_packet.h"
#include "protocol/internet_checksum.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace quellis::protocol
{
namespace
{

using Bytes = std::vector<std::uint8_t>;

std::uint32_t U32At(const Bytes& bytes, std::size_t offset)
{
    std::uint32_t value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

std::uint16_t U16At(const Bytes& bytes, std::size_t offset)
{
    std::uint16_t value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

std::string TextAt(const Bytes& bytes, std::size_t offset, std::size_t length)
{
    return std::string(reinterpret_cast<const char*>(bytes.data() + offset), length);
}

bool AllZero(const Bytes& bytes, std::size_t from, std::size_t to)
{
    for (std::size_t i = from; i < to; ++i)
    {
        if (bytes[i] != 0)
        {
            return false;
        }
    }
    return true;
}

Bytes Datagram(std::size_t capacity = kMaxDatagramSize)
{
    // Filled with garbage so that a builder that does not zero its buffer shows.
    return Bytes(capacity, 0xCC);
}

TEST(InternetChecksum, MatchesWorkedValues)
{
    const struct
    {
        Bytes bytes;
        std::uint16_t expected;
    } cases[] = {
        { { 'a', 'b', 'c' }, 0x9D3B },
        { {}, 0xFFFF },
        { { 0x01, 0x00 }, 0xFFFE },
        { { 0x00, 0x01 }, 0xFEFF }, // little-endian words
        { { 0xFF, 0xFF, 0xFF, 0xFF }, 0x0000 }, // the carry is folded back in
        { { 0x01 }, 0xFFFE }, // an odd last byte is the low byte
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(InternetChecksum(c.bytes), c.expected) << "block of " << c.bytes.size() << " bytes";
    }
}

TEST(DevicePacket, SearchRequestIsAZeroedRecordWithModeAndLength)
{
    Bytes buffer = Datagram(kRequestBufferSize);
    ASSERT_EQ(BuildSearch(buffer, kSearchOrdinary), kRecordSize);
    const Bytes magic = { 0x41, 0x5A, 0x5A, 0xF0 };
    EXPECT_TRUE(std::equal(magic.begin(), magic.end(), buffer.begin()));
    EXPECT_EQ(U32At(buffer, 4), PKT_SEARCH);
    EXPECT_EQ(U32At(buffer, 136), 11u);
    EXPECT_EQ(U32At(buffer, 148), 256u);
    EXPECT_TRUE(AllZero(buffer, 8, 136));
    EXPECT_TRUE(AllZero(buffer, 152, kRequestBufferSize));

    // The fixed-account search carries at most 31 characters of the account.
    const std::string account(40, 'k');
    ASSERT_EQ(BuildSearch(buffer, kSearchFixedAccount, account), kRecordSize);
    EXPECT_EQ(U32At(buffer, 136), 10u);
    EXPECT_EQ(TextAt(buffer, 156, 31), std::string(31, 'k'));
    EXPECT_EQ(buffer[187], 0);
    EXPECT_TRUE(AllZero(buffer, 188, kRequestBufferSize));
}

TEST(DevicePacket, BuildersRefuseBuffersTooSmall)
{
    Bytes small(255);
    EXPECT_EQ(BuildSearch(small, kSearchOrdinary), 0u);
    EXPECT_EQ(BuildNetLedFlicker(small, "A1B2C3D4E5F6"), 0u);
    EXPECT_EQ(BuildE2Request(small, "A1B2C3D4E5F6", CMD_ReadE2, E2Block {}), 0u);
    Bytes header(47);
    EXPECT_EQ(BuildCommand(header, "A1B2C3D4E5F6", CMD_LedTest), 0u);
}

TEST(DevicePacket, ExecuteRequestIsSentWithoutTerminatorUpTo463Characters)
{
    Bytes buffer = Datagram(kRequestBufferSize);
    const std::string longest(463, 'x');
    ASSERT_EQ(BuildExecute(buffer, "A1B2C3D4E5F6", longest), 511u);
    EXPECT_EQ(U32At(buffer, 4), PKT_CMD);
    EXPECT_EQ(TextAt(buffer, 8, 12), "A1B2C3D4E5F6");
    EXPECT_TRUE(AllZero(buffer, 20, 40));
    EXPECT_EQ(U32At(buffer, 40), 511u);
    EXPECT_EQ(U16At(buffer, 44), kCommandFamily);
    EXPECT_EQ(U16At(buffer, 46), CMD_EXECUTE);
    EXPECT_EQ(TextAt(buffer, 48, 463), longest);
    EXPECT_EQ(buffer[511], 0);

    EXPECT_EQ(BuildExecute(buffer, "A1B2C3D4E5F6", std::string(464, 'x')), 0u);

    // The all-devices target and an empty target (a row without a MAC text).
    ASSERT_EQ(BuildExecute(buffer, kAllDevices, "uptime"), 54u);
    EXPECT_EQ(TextAt(buffer, 8, 13), std::string("FFFFFFFFFFFF") + '\0');
    ASSERT_EQ(BuildExecute(buffer, "", "uptime"), 54u);
    EXPECT_TRUE(AllZero(buffer, 8, 40));
}

TEST(DevicePacket, UpgradeOfferCarriesTheSizeHighHalfFirst)
{
    Bytes buffer = Datagram(kRequestBufferSize);
    const std::uint64_t size = 0x0000000123456789ull;
    ASSERT_EQ(BuildUpgradeOffer(buffer, "A1B2C3D4E5F6", size), kUpgradeOfferSize);
    EXPECT_EQ(U32At(buffer, 40), 56u);
    EXPECT_EQ(U16At(buffer, 46), CMD_Upgrade);
    EXPECT_EQ(U32At(buffer, 48), 0x1u);
    EXPECT_EQ(U32At(buffer, 52), 0x23456789u);

    const auto offer = ReadCommand(std::span(buffer).first(kUpgradeOfferSize));
    ASSERT_TRUE(offer);
    EXPECT_EQ(ReadUpgradeSize(*offer), size);
    // A truncated offer reads the missing half as zero instead of past the end.
    const auto cut = ReadCommand(std::span(buffer).first(52));
    ASSERT_TRUE(cut);
    EXPECT_EQ(ReadUpgradeSize(*cut), 0x100000000ull);
}

TEST(DevicePacket, PoolConfigIncludesTheTerminatorAndMustFit)
{
    Bytes buffer = Datagram();
    const std::string pools = R"({"pools":[{"url":"U","user":"W","pass":"P"}]})";
    const std::size_t total = BuildPoolConfig(buffer, "A1B2C3D4E5F6", pools);
    ASSERT_EQ(total, 48 + pools.size() + 1);
    EXPECT_EQ(U32At(buffer, 40), total);
    EXPECT_EQ(U16At(buffer, 46), CMD_PoolConfig);
    EXPECT_EQ(TextAt(buffer, 48, pools.size()), pools);
    EXPECT_EQ(buffer[total - 1], 0);

    const auto request = ReadCommand(std::span(buffer).first(total));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->payload.size(), pools.size() + 1);

    EXPECT_EQ(BuildPoolConfig(buffer, "A1B2C3D4E5F6", std::string(kMaxDatagramSize - 48, 'p')), 0u);
    EXPECT_EQ(BuildPoolConfig(buffer, "A1B2C3D4E5F6", std::string(kMaxDatagramSize - 49, 'p')), kMaxDatagramSize);
}

TEST(DevicePacket, DevSettingForDhcpLeavesTheAddressesZero)
{
    Bytes buffer = Datagram(kRequestBufferSize);
    ASSERT_EQ(BuildDevSetting(buffer, DevSetting { {}, {}, {}, "A1B2C3D4E5F6", {}, "8.8.4.4" }), kRecordSize);
    EXPECT_EQ(U32At(buffer, 4), PKT_DEV_SETTING);
    EXPECT_TRUE(AllZero(buffer, 8, 104));
    EXPECT_EQ(TextAt(buffer, 104, 13), std::string("A1B2C3D4E5F6") + '\0');
    EXPECT_TRUE(AllZero(buffer, 188, 220));
    EXPECT_EQ(TextAt(buffer, 220, 8), std::string("8.8.4.4") + '\0');
    EXPECT_EQ(U32At(buffer, 148), 256u);

    ASSERT_EQ(
        BuildDevSetting(buffer, DevSetting { "10.0.0.9", "0.0.0.0", "10.0.0.1", "A1", "admin", "1.1.1.1" }), 256u);
    const auto read = ReadRecord(std::span(buffer).first(256));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->ip, "10.0.0.9");
    EXPECT_EQ(read->mask, "0.0.0.0");
    EXPECT_EQ(read->gateway, "10.0.0.1");
    EXPECT_EQ(read->userName, "admin");
    EXPECT_EQ(read->dns, "1.1.1.1");
}

TEST(DevicePacket, SearchReplyOfFullLengthReadsEveryField)
{
    Bytes buffer = Datagram();
    const std::string bomName = "\xEF\xBB\xBFminer-07";
    const RecordFields fields {
        "192.168.1.15", "255.255.255.0", "192.168.1.1", "A1B2C3D4E5F6", 67, 20105, 90061, "2.1.5", bomName, 0
    };
    ASSERT_EQ(BuildRecordReply(buffer, PKT_SEARCH_ACK, fields), kRecordSize);
    const auto record = ReadRecord(std::span(buffer).first(kRecordSize));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->type, PKT_SEARCH_ACK);
    EXPECT_EQ(record->ip, "192.168.1.15");
    EXPECT_EQ(record->mask, "255.255.255.0");
    EXPECT_EQ(record->gateway, "192.168.1.1");
    EXPECT_EQ(record->mac, "A1B2C3D4E5F6");
    EXPECT_EQ(record->temperature, 67);
    EXPECT_EQ(record->versionNumber, 20105);
    EXPECT_EQ(record->runSeconds, 90061);
    EXPECT_EQ(record->versionText, "2.1.5");
    EXPECT_TRUE(record->IsFullRecord());
    // The host name is shown from its fourth byte when it starts with EF BB BF.
    EXPECT_EQ(record->hostName, bomName);
    EXPECT_EQ(SkipByteOrderMark(record->hostName), "miner-07");
}

TEST(DevicePacket, ByteOrderMarkSkipLooksAtTwoBytesAndNeverPassesTheEnd)
{
    const struct
    {
        std::string name;
        std::string shown;
    } cases[] = {
        { "\xEF\xBB\xBFhost", "host" },
        { "\xEF\xBBxhost", "host" }, // two bytes decide, three are skipped
        { "\xEF\xBB", "" },
        { "\xEFhost", "\xEFhost" },
        { "host", "host" },
        { "", "" },
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(SkipByteOrderMark(c.name), c.shown);
    }
}

TEST(DevicePacket, ShortRepliesReadMissingFieldsAsEmpty)
{
    Bytes buffer = Datagram();
    const RecordFields fields {
        "10.77.128.5", "255.255.128.0", "10.77.0.2", "0A1B2C3D4E5F", 55, 10203, 3600, "1.2.3", "host", 0
    };

    ASSERT_EQ(BuildRecordReply(buffer, PKT_SEARCH_ACK, fields, 255), 255u);
    auto record = ReadRecord(std::span(buffer).first(255));
    ASSERT_TRUE(record);
    EXPECT_FALSE(record->IsFullRecord());
    EXPECT_EQ(record->hostName, "host");
    EXPECT_EQ(record->receivedLength, 255u);

    // 120 bytes reach into the MAC field only.
    ASSERT_EQ(BuildRecordReply(buffer, PKT_SEARCH_ACK, fields, 120), 120u);
    record = ReadRecord(std::span(buffer).first(120));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->ip, "10.77.128.5");
    EXPECT_EQ(record->mac, "0A1B2C3D4E5F");
    EXPECT_EQ(record->runSeconds, 0);
    EXPECT_EQ(record->temperature, 0);
    EXPECT_EQ(record->versionText, "");
    EXPECT_EQ(record->hostName, "");

    // A MAC field cut by the datagram's end is read up to the end only.
    record = ReadRecord(std::span(buffer).first(110));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->mac, "0A1B2C");
}

TEST(DevicePacket, TextFieldsWithoutTerminatorEndAtTheirWidth)
{
    Bytes buffer = Datagram();
    ASSERT_EQ(BuildRecordReply(buffer, PKT_SEARCH_ACK, RecordFields {}), kRecordSize);
    std::memset(buffer.data() + 104, 'M', 32); // mac, no NUL
    std::memset(buffer.data() + 136, 0x7F, 4); // the next field is not text
    std::memset(buffer.data() + 188, 'h', 64); // host name up to the result field
    const auto record = ReadRecord(std::span(buffer).first(kRecordSize));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->mac, std::string(32, 'M'));
    EXPECT_EQ(record->hostName, std::string(64, 'h'));
    EXPECT_EQ(TextField(std::span(buffer).first(kRecordSize), kMacOffset, kTextFieldWidth), std::string(32, 'M'));
    EXPECT_EQ(TextField(std::span(buffer).first(100), kMacOffset, kTextFieldWidth), "");
}

TEST(DevicePacket, ForeignAndTinyDatagramsAreRecognised)
{
    Bytes buffer = Datagram();
    ASSERT_EQ(BuildSearch(buffer, kSearchOrdinary), kRecordSize);
    EXPECT_TRUE(ReadHeader(std::span(buffer).first(256)));
    EXPECT_FALSE(ReadHeader(std::span(buffer).first(0)));
    EXPECT_FALSE(ReadHeader(std::span(buffer).first(3)));
    // Four bytes of magic: a packet whose type reads as zero.
    ASSERT_EQ(BuildRecordReply(buffer, PKT_SEARCH_ACK, RecordFields {}), kRecordSize);
    const auto header = ReadHeader(std::span(buffer).first(4));
    ASSERT_TRUE(header);
    EXPECT_EQ(header->type, PKT_SEARCH);

    buffer[3] = 0xF1;
    EXPECT_FALSE(ReadHeader(std::span(buffer).first(256)));
    EXPECT_FALSE(ReadRecord(std::span(buffer).first(256)));
    EXPECT_FALSE(ReadCommand(std::span(buffer).first(256)));
    EXPECT_FALSE(ReadE2Reply(std::span(buffer).first(256)));
}

TEST(DevicePacket, CommandRepliesCarryResultAndTextWithinTheDatagram)
{
    Bytes buffer = Datagram();
    const std::string output = "Linux miner 5.4\n";
    const std::size_t total = BuildCommandReply(buffer, "A1B2C3D4E5F6", CMD_EXECUTE, 127, AsBytes(output));
    ASSERT_EQ(total, 52 + output.size());
    auto reply = ReadCommand(std::span(buffer).first(total));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->type, PKT_CMD_ACK);
    EXPECT_EQ(reply->target, "A1B2C3D4E5F6");
    EXPECT_EQ(reply->cmdCode, CMD_EXECUTE);
    EXPECT_EQ(reply->result, 127);
    EXPECT_EQ(reply->text, output);

    // Output without a terminator ends with the datagram, not with the buffer.
    reply = ReadCommand(std::span(buffer).first(total - 4));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->text, output.substr(0, output.size() - 4));

    // A reply cut inside the result reads the missing bytes as zero.
    ASSERT_EQ(BuildCommandReply(buffer, "A1B2C3D4E5F6", CMD_UARTTest, 0x15), 52u);
    reply = ReadCommand(std::span(buffer).first(49));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->result, 0x15);
    EXPECT_EQ(reply->text, "");
}

TEST(DevicePacket, CommandPayloadEndsAtTotalLengthOrTheDatagram)
{
    Bytes buffer = Datagram();
    ASSERT_EQ(BuildExecute(buffer, "A1", "reboot-now"), 58u);
    auto request = ReadCommand(std::span(buffer).first(58));
    ASSERT_TRUE(request);
    EXPECT_EQ(std::string(request->payload.begin(), request->payload.end()), "reboot-now");
    // A total length that claims more than arrived.
    request = ReadCommand(std::span(buffer).first(52));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->payload.size(), 4u);
    // A total length below the header gives no payload.
    buffer[40] = 10;
    request = ReadCommand(std::span(buffer).first(58));
    ASSERT_TRUE(request);
    EXPECT_TRUE(request->payload.empty());
}

TEST(DevicePacket, E2RequestLayoutAndReadBack)
{
    Bytes buffer = Datagram();
    E2Block block;
    const std::string record = "N00042";
    std::copy(record.begin(), record.end(), block.data.begin());
    block.data[20] = 0x55; // beyond the counted length: must not be sent
    block.length = 15;
    block.checksum = InternetChecksum(std::span(block.data).first(15));
    ASSERT_EQ(BuildE2Request(buffer, "A1B2C3D4E5F6", CMD_WriteE2, block), kE2RequestSize);
    EXPECT_EQ(U32At(buffer, 40), 317u);
    EXPECT_EQ(U16At(buffer, 46), CMD_WriteE2);
    EXPECT_EQ(U16At(buffer, 48), block.checksum);
    EXPECT_EQ(U16At(buffer, 50), 0);
    EXPECT_EQ(U32At(buffer, 52), 0u);
    EXPECT_EQ(U32At(buffer, 56), 15u);
    EXPECT_EQ(TextAt(buffer, 60, 6), record);
    EXPECT_TRUE(AllZero(buffer, 66, 317));

    const auto parsed = ReadE2Request(std::span(buffer).first(kE2RequestSize));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->length, 15u);
    EXPECT_EQ(parsed->checksum, block.checksum);
    EXPECT_EQ(parsed->data[20], 0);

    // A read request: checksum 0, start 0, 40 bytes.
    E2Block read;
    read.length = kE2RecordSize;
    ASSERT_EQ(BuildE2Request(buffer, "A1B2C3D4E5F6", CMD_ReadE2, read), kE2RequestSize);
    EXPECT_EQ(U16At(buffer, 46), CMD_ReadE2);
    EXPECT_EQ(U32At(buffer, 56), 40u);
    EXPECT_TRUE(AllZero(buffer, 60, 317));
}

TEST(DevicePacket, E2ReadReplyChecksumIsComputedOverWhatArrived)
{
    Bytes buffer = Datagram();
    E2Block block;
    const std::string qr = "N00042";
    const std::string oneD = "1234890ABSN0001";
    std::copy(qr.begin(), qr.end(), block.data.begin());
    std::copy(oneD.begin(), oneD.end(), block.data.begin() + 15);
    block.length = kE2RecordSize;
    block.checksum = InternetChecksum(std::span(block.data).first(kE2RecordSize));
    const std::size_t total = BuildE2ReadReply(buffer, "A1B2C3D4E5F6", 0, block);
    ASSERT_EQ(total, 104u);
    EXPECT_EQ(U16At(buffer, 52), block.checksum);
    EXPECT_EQ(U32At(buffer, 60), 40u);
    EXPECT_EQ(TextAt(buffer, 64, 6), qr);
    EXPECT_EQ(TextAt(buffer, 79, oneD.size()), oneD);

    auto reply = ReadE2Reply(std::span(buffer).first(total));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->result, 0);
    EXPECT_EQ(reply->computedChecksum, reply->block.checksum);

    // A changed data byte is caught.
    buffer[70] ^= 0x01;
    reply = ReadE2Reply(std::span(buffer).first(total));
    ASSERT_TRUE(reply);
    EXPECT_NE(reply->computedChecksum, reply->block.checksum);
    buffer[70] ^= 0x01;

    // A machine may send more data than the block holds: the sum covers its
    // length from offset 64, past the block's 256 bytes.
    Bytes wide(1000, 0);
    std::copy(buffer.begin(), buffer.begin() + 64, wide.begin());
    for (std::size_t i = 64; i < wide.size(); ++i)
    {
        wide[i] = static_cast<std::uint8_t>(i * 7);
    }
    const std::uint32_t wideLength = 900;
    std::memcpy(wide.data() + 60, &wideLength, sizeof wideLength);
    reply = ReadE2Reply(wide);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->computedChecksum, InternetChecksum(std::span(wide).subspan(64, 900)));

    // A length far beyond the datagram counts only the bytes that arrived.
    const std::uint32_t huge = 0xFFFFFFF0u;
    std::memcpy(buffer.data() + 60, &huge, sizeof huge);
    reply = ReadE2Reply(std::span(buffer).first(total));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->block.length, huge);
    EXPECT_EQ(reply->computedChecksum, block.checksum);
}

} // namespace
} // namespace quellis::protocol
