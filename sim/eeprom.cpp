#include "sim/eeprom.h"

#include "protocol/internet_checksum.h"

#include <algorithm>
#include <span>

namespace quellis::sim
{

E2ReadAnswer ReadE2(const E2Record& record, const protocol::E2Block& request, EepromMode mode, std::int32_t errorNumber)
{
    E2ReadAnswer answer;
    if (mode == EepromMode::Error)
    {
        answer.result = errorNumber;
        return answer;
    }
    if (request.start >= record.size())
    {
        answer.result = kE2InvalidRequest;
        return answer;
    }
    const std::size_t count = std::min<std::size_t>(request.length, record.size() - request.start);
    answer.block.start = request.start;
    answer.block.length = static_cast<std::uint32_t>(count);
    if (mode == EepromMode::Blank)
    {
        std::fill_n(answer.block.data.begin(), count, std::uint8_t { 0xFF });
    }
    else
    {
        std::copy_n(record.begin() + request.start, count, answer.block.data.begin());
    }
    answer.block.checksum = protocol::InternetChecksum(std::span(answer.block.data).first(count));
    if (mode == EepromMode::BadChecksum)
    {
        answer.block.checksum = static_cast<std::uint16_t>(answer.block.checksum ^ 0x5A5A);
    }
    return answer;
}

std::int32_t WriteE2(E2Record& record, const protocol::E2Block& request, EepromMode mode, std::int32_t errorNumber)
{
    if (mode == EepromMode::Error)
    {
        return errorNumber;
    }
    if (request.length == 0 || request.length > request.data.size() || request.start >= record.size())
    {
        return kE2InvalidRequest;
    }
    if (protocol::InternetChecksum(std::span(request.data).first(request.length)) != request.checksum)
    {
        return kE2ChecksumMismatch;
    }
    if (mode == EepromMode::Blank)
    {
        return 0;
    }
    const std::size_t count = std::min<std::size_t>(request.length, record.size() - request.start);
    std::copy_n(request.data.begin(), count, record.begin() + request.start);
    return 0;
}

} // namespace quellis::sim
