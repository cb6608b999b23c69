#include "miner/e2_record.h"

#include "protocol/internet_checksum.h"

#include <algorithm>

namespace quellis::miner
{

namespace
{

constexpr std::string_view kWrongLength = "长度错误\r\n";
constexpr std::string_view kContentWrong = "二维码内容有误，请检查\r\n";

// Characters start to start + count - 1, or fewer when the code is shorter.
std::string_view Mid(std::string_view code, std::size_t start, std::size_t count)
{
    return start < code.size() ? code.substr(start, count) : std::string_view();
}

void Put(protocol::E2Block& block, std::size_t at, std::string_view bytes, std::size_t room)
{
    std::copy_n(bytes.begin(), std::min(bytes.size(), room), block.data.begin() + static_cast<std::ptrdiff_t>(at));
}

// The one-D code's pieces: characters 7 to 10, then 14 to 18. A piece of the
// wrong length is logged (with the line break or without) and ends the build.
bool PutOneD(E2Write& write, std::string_view oneD, std::size_t at, std::string_view lineBreak)
{
    const std::string_view first = Mid(oneD, 7, 4);
    if (first.size() != 4)
    {
        write.logLines.push_back(std::string(first) + std::string(lineBreak));
        return false;
    }
    Put(write.block, at, first, 4);
    const std::string_view second = Mid(oneD, 14, 5);
    if (second.size() != 5)
    {
        write.logLines.push_back(std::string(second) + std::string(lineBreak));
        return false;
    }
    Put(write.block, at + 4, second, 5);
    // The field has the rest of the one-D part (16 bytes); a longer one is cut
    // there, inside the record.
    Put(write.block, at + 9, SecondField(oneD), kOneDPartSize - 9);
    return true;
}

} // namespace

std::string_view SecondField(std::string_view code)
{
    const std::size_t dash = code.find('-');
    if (dash == std::string_view::npos)
    {
        return {};
    }
    const std::string_view rest = code.substr(dash + 1);
    return rest.substr(0, rest.find('-'));
}

E2Write BuildE2Write(std::string_view qrCode, std::string_view oneDCode)
{
    E2Write write;
    protocol::E2Block& block = write.block;
    if (!qrCode.empty())
    {
        if (qrCode.size() < 6)
        {
            write.logLines.push_back(std::string(qrCode) + std::string(kWrongLength));
        }
        else
        {
            Put(block, 0, qrCode.substr(qrCode.size() - 6), 6);
            block.length = kQrPartSize;
            if (!oneDCode.empty() && PutOneD(write, oneDCode, kQrPartSize, "\r\n"))
            {
                block.length = protocol::kE2RecordSize;
            }
        }
    }
    else if (!oneDCode.empty())
    {
        block.start = kOneDPartOffset;
        if (PutOneD(write, oneDCode, 0, ""))
        {
            block.length = kOneDPartSize;
        }
    }
    if (block.length == 0)
    {
        write.logLines.emplace_back(kContentWrong);
    }
    else
    {
        block.checksum = protocol::InternetChecksum(std::span(block.data).first(block.length));
    }
    return write;
}

} // namespace quellis::miner
