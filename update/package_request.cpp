#include "update/package_request.h"

#include <array>
#include <cstdint>

namespace quellis::update
{

namespace
{

constexpr int kRequestVersion = 1;
constexpr std::size_t kFieldCount = 5;

// The fields of the text: runs of ':' separate, leading ones are skipped, at
// most five are taken and whatever follows the fifth is not looked at.
struct Fields
{
    std::array<std::string_view, kFieldCount> field {};
    std::size_t count = 0;
};

Fields Split(std::string_view text)
{
    Fields fields;
    std::size_t at = 0;
    while (fields.count < kFieldCount)
    {
        while (at < text.size() && text[at] == ':')
        {
            ++at;
        }
        if (at == text.size())
        {
            break;
        }
        const std::size_t end = text.find(':', at);
        const std::size_t stop = end == std::string_view::npos ? text.size() : end;
        fields.field[fields.count++] = text.substr(at, stop - at);
        at = stop;
    }
    return fields;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
    {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f')
    {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F')
    {
        return c - 'A' + 10;
    }
    return -1;
}

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// A decimal field as the C library reads one: leading white space, a sign,
// then the digits up to the first other character (none gives 0). Wraps
// instead of overflowing; only small values and the low 8 bits matter.
std::int64_t Decimal(std::string_view field)
{
    std::size_t at = 0;
    while (at < field.size() && IsSpace(field[at]))
    {
        ++at;
    }
    bool negative = false;
    if (at < field.size() && (field[at] == '+' || field[at] == '-'))
    {
        negative = field[at] == '-';
        ++at;
    }
    std::uint64_t value = 0;
    for (; at < field.size() && field[at] >= '0' && field[at] <= '9'; ++at)
    {
        value = value * 10 + static_cast<std::uint64_t>(field[at] - '0');
    }
    return static_cast<std::int64_t>(negative ? 0 - value : value);
}

// The leading hexadecimal digits of a field (after white space).
std::uint32_t LeadingHex(std::string_view field)
{
    std::size_t at = 0;
    while (at < field.size() && IsSpace(field[at]))
    {
        ++at;
    }
    std::uint32_t value = 0;
    for (int digit = 0; at < field.size() && (digit = HexDigit(field[at])) >= 0; ++at)
    {
        value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    return value;
}

// Every hexadecimal digit of the field, whatever stands between them; the
// last sixteen count.
std::uint64_t ScatteredHex(std::string_view field)
{
    std::uint64_t value = 0;
    for (const char c : field)
    {
        const int digit = HexDigit(c);
        if (digit >= 0)
        {
            value = (value << 4) | static_cast<std::uint64_t>(digit);
        }
    }
    return value;
}

} // namespace

std::optional<PackageRequest> ParsePackageRequest(std::string_view text)
{
    const std::size_t nul = text.find('\0');
    if (nul != std::string_view::npos)
    {
        text = text.substr(0, nul);
    }
    const Fields fields = Split(text);
    // Version, packet number, name and command must all be there.
    if (fields.count < 4 || Decimal(fields.field[0]) != kRequestVersion)
    {
        return std::nullopt;
    }
    PackageRequest request;
    request.packetNumber = LeadingHex(fields.field[1]);
    request.name = std::string(fields.field[2].substr(0, kMaxRequestNameLength));
    request.command = static_cast<int>(static_cast<std::uint64_t>(Decimal(fields.field[3])) & 0xFF);
    if (request.command == REQ_DIRECTORY)
    {
        return request;
    }
    if (request.command != REQ_FILE_DATA || fields.count < 5)
    {
        return std::nullopt;
    }
    request.startOffset = ScatteredHex(fields.field[4]);
    return request;
}

} // namespace quellis::update
