// The identification record built from the two label codes.
#include "miner/e2_record.h"
#include "protocol/internet_checksum.h"

#include <gtest/gtest.h>

namespace quellis::miner
{
namespace
{

std::string Data(const E2Write& write)
{
    return std::string(write.block.data.begin(), write.block.data.begin() + 40);
}

using Lines = std::vector<std::string>;

TEST(E2Record, TheLabelExampleFillsTheWholeRecord)
{
    const E2Write write = BuildE2Write("QRZUN00042", "KAVDRUP1234567890AB-SN0001-X");
    EXPECT_EQ(Data(write),
        std::string("N00042\0\0\0\0\0\0\0\0\0"
                    "1234"
                    "890AB"
                    "SN0001\0\0\0\0\0\0\0\0\0\0",
            40));
    EXPECT_EQ(write.block.length, 40u);
    EXPECT_EQ(write.block.start, 0u);
    EXPECT_EQ(write.block.checksum, protocol::InternetChecksum(std::span(write.block.data).first(40)));
    EXPECT_TRUE(write.logLines.empty());
}

TEST(E2Record, LengthsOffsetAndLogLinesOfEveryShape)
{
    const struct
    {
        std::string qr;
        std::string oneD;
        std::uint32_t start;
        std::uint32_t length;
        std::string data; // the counted bytes
        Lines logLines;
    } cases[] = {
        // Without "-" the field stays zero; the length is still 40.
        { "ZUN123",
            "KAVDRUP1234567890ABCD",
            0,
            40,
            std::string("ZUN123\0\0\0\0\0\0\0\0\0"
                        "1234"
                        "890AB",
                24)
                + std::string(16, '\0'),
            {} },
        // A field longer than its 16 bytes is cut inside the record.
        { "ZUN123",
            "KAVDRUP1234567890AB-" + std::string(20, 'F'),
            0,
            40,
            std::string("ZUN123\0\0\0\0\0\0\0\0\0"
                        "1234"
                        "890AB",
                24)
                + std::string(16, 'F'),
            {} },
        // The one-D pieces too short: the QR part alone, the piece logged with a line break.
        { "ZUN123", "KAVDRUP12", 0, 15, std::string("ZUN123\0\0\0\0\0\0\0\0\0", 15), { "12\r\n" } },
        { "ZUN123", "KAVDRUP1234567890", 0, 15, std::string("ZUN123\0\0\0\0\0\0\0\0\0", 15), { "890\r\n" } },
        { "ZUN123", "", 0, 15, std::string("ZUN123\0\0\0\0\0\0\0\0\0", 15), {} },
        // Only the one-D code: from record offset 15, 25 bytes.
        { "", "KAVDRUP1234567890AB-SN7", 15, 25, std::string("1234890ABSN7", 12) + std::string(13, '\0'), {} },
        { "", "KAVDRUP1234", 15, 0, "", { "", "二维码内容有误，请检查\r\n" } },
        // A QR code shorter than 6 writes nothing valid; the request still goes.
        { "ZUN1", "KAVDRUP1234567890AB-1", 0, 0, "", { "ZUN1长度错误\r\n", "二维码内容有误，请检查\r\n" } },
        { "", "", 0, 0, "", { "二维码内容有误，请检查\r\n" } },
    };
    for (const auto& c : cases)
    {
        const E2Write write = BuildE2Write(c.qr, c.oneD);
        EXPECT_EQ(write.block.start, c.start) << c.qr << " / " << c.oneD;
        ASSERT_EQ(write.block.length, c.length) << c.qr << " / " << c.oneD;
        EXPECT_EQ(std::string(write.block.data.begin(), write.block.data.begin() + c.length), c.data) << c.oneD;
        EXPECT_EQ(write.logLines, c.logLines) << c.qr << " / " << c.oneD;
        EXPECT_EQ(write.block.checksum,
            c.length == 0 ? 0 : protocol::InternetChecksum(std::span(write.block.data).first(c.length)));
    }
}

} // namespace
} // namespace quellis::miner
