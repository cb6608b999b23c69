#include "platform/profile/profile_text.h"

#include "platform/text/codepage.h"

#include <cstdint>

namespace quellis::profile
{

namespace
{

constexpr std::string_view kNewLine = "\r\n";

bool IsBlank(char byte)
{
    return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\v' || byte == '\f';
}

// Blanks are below 0x40, so they are never the second byte of a double-byte
// character and trimming byte by byte is safe.
std::string_view Trim(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front()))
    {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back()))
    {
        text.remove_suffix(1);
    }
    return text;
}

char FoldAsciiCase(char byte)
{
    return byte >= 'a' && byte <= 'z' ? static_cast<char>(byte - 'a' + 'A') : byte;
}

std::string_view Unquote(std::string_view value)
{
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
    {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// ']' is 0x5D, a valid second byte ("乚" is 81 5D), so it is looked for a
// character at a time.
std::size_t FindCharacter(std::string_view text, char wanted, std::size_t from)
{
    for (std::size_t pos = from; pos < text.size(); pos += text::Cp936CharLength(text, pos))
    {
        if (text[pos] == wanted)
        {
            return pos;
        }
    }
    return std::string_view::npos;
}

enum class LineKind
{
    Blank,
    Other,
    Section,
    Key,
};

struct Line
{
    std::size_t begin = 0;
    std::size_t contentEnd = 0; // where the CR LF or LF starts
    std::size_t end = 0; // past the line ending
    LineKind kind = LineKind::Other;
    std::string_view name; // of the section or key, trimmed
    std::string_view value; // of a key, trimmed and unquoted
};

void Classify(std::string_view content, Line& line)
{
    const std::string_view trimmed = Trim(content);
    if (trimmed.empty())
    {
        line.kind = LineKind::Blank;
        return;
    }
    if (trimmed.front() == '[')
    {
        const std::size_t close = FindCharacter(trimmed, ']', 1);
        if (close != std::string_view::npos)
        {
            line.kind = LineKind::Section;
            line.name = Trim(trimmed.substr(1, close - 1));
            return;
        }
    }
    // '=' is 0x3D, never the second byte of a character.
    const std::size_t equals = trimmed.find('=');
    if (equals == std::string_view::npos)
    {
        return;
    }
    const std::string_view name = Trim(trimmed.substr(0, equals));
    if (name.empty())
    {
        return;
    }
    line.kind = LineKind::Key;
    line.name = name;
    line.value = Unquote(Trim(trimmed.substr(equals + 1)));
}

Line ReadLine(std::string_view text, std::size_t begin)
{
    Line line;
    line.begin = begin;
    line.contentEnd = text.size();
    line.end = text.size();
    const std::size_t lineFeed = text.find('\n', begin);
    if (lineFeed != std::string_view::npos)
    {
        line.end = lineFeed + 1;
        line.contentEnd = lineFeed > begin && text[lineFeed - 1] == '\r' ? lineFeed - 1 : lineFeed;
    }
    Classify(text.substr(begin, line.contentEnd - begin), line);
    return line;
}

bool HasLineBreak(std::string_view text)
{
    return text.find_first_of("\r\n") != std::string_view::npos;
}

// A name is written only if reading the line back gives the same name; this
// refuses "a]b" as a section and "[a" or "a=b" as a key, whatever the bytes.
bool WritableSection(std::string_view section)
{
    if (section.empty())
    {
        return false;
    }
    const std::string header = "[" + std::string(section) + "]";
    Line line;
    Classify(header, line);
    return line.kind == LineKind::Section && line.name == section;
}

bool WritableKeyLine(std::string_view key, std::string_view value)
{
    if (key.empty() || HasLineBreak(value))
    {
        return false;
    }
    const std::string keyLine = std::string(key) + "=" + std::string(value);
    Line line;
    Classify(keyLine, line);
    return line.kind == LineKind::Key && line.name == key;
}

} // namespace

bool ProfileNamesEqual(std::string_view left, std::string_view right)
{
    // Folding keeps lengths, so names of different lengths never match.
    if (left.size() != right.size())
    {
        return false;
    }
    for (std::size_t pos = 0; pos < left.size();)
    {
        const std::size_t length = text::Cp936CharLength(left, pos);
        if (length == 2)
        {
            if (left.compare(pos, 2, right, pos, 2) != 0)
            {
                return false;
            }
        }
        else
        {
            if (FoldAsciiCase(left[pos]) != FoldAsciiCase(right[pos]))
            {
                return false;
            }
        }
        pos += length;
    }
    return true;
}

std::optional<std::string_view> FindProfileValue(std::string_view text, std::string_view section, std::string_view key)
{
    section = Trim(section);
    key = Trim(key);
    bool inSection = false;
    for (std::size_t pos = 0; pos < text.size();)
    {
        const Line line = ReadLine(text, pos);
        pos = line.end;
        if (line.kind == LineKind::Section)
        {
            if (inSection)
            {
                return std::nullopt;
            }
            inSection = ProfileNamesEqual(line.name, section);
        }
        else if (inSection && line.kind == LineKind::Key && ProfileNamesEqual(line.name, key))
        {
            return line.value;
        }
    }
    return std::nullopt;
}

std::optional<std::string> SetProfileValue(
    std::string_view text, std::string_view section, std::string_view key, std::string_view value)
{
    // A line break is refused even where trimming would drop it: it says the
    // caller passed something other than a name.
    if (HasLineBreak(section) || HasLineBreak(key))
    {
        return std::nullopt;
    }
    section = Trim(section);
    key = Trim(key);
    if (!WritableSection(section) || !WritableKeyLine(key, value))
    {
        return std::nullopt;
    }

    bool inSection = false;
    bool sectionFound = false;
    std::size_t insertAt = 0;
    bool insertNeedsBreak = false;
    for (std::size_t pos = 0; pos < text.size();)
    {
        const Line line = ReadLine(text, pos);
        pos = line.end;
        if (line.kind == LineKind::Section)
        {
            if (inSection)
            {
                break;
            }
            inSection = sectionFound = ProfileNamesEqual(line.name, section);
            if (!inSection)
            {
                continue;
            }
        }
        else if (!inSection)
        {
            continue;
        }
        else if (line.kind == LineKind::Key && ProfileNamesEqual(line.name, key))
        {
            std::string result(text.substr(0, line.begin));
            result.append(line.name).append("=").append(value);
            result.append(text.substr(line.contentEnd));
            return result;
        }
        else if (line.kind == LineKind::Blank)
        {
            // Blank lines at a section's end separate it from the next one and
            // stay after the new key.
            continue;
        }
        // The header, or a non-blank line of the section: a new key follows it.
        insertAt = line.end;
        insertNeedsBreak = line.contentEnd == line.end;
    }

    std::string result;
    result.reserve(text.size() + section.size() + key.size() + value.size() + 8);
    if (sectionFound)
    {
        result.append(text.substr(0, insertAt));
        if (insertNeedsBreak)
        {
            result.append(kNewLine);
        }
        result.append(key).append("=").append(value).append(kNewLine);
        result.append(text.substr(insertAt));
        return result;
    }
    result.append(text);
    if (!text.empty() && text.back() != '\n')
    {
        result.append(kNewLine);
    }
    result.append("[").append(section).append("]").append(kNewLine);
    result.append(key).append("=").append(value).append(kNewLine);
    return result;
}

int ParseProfileInt(std::string_view value)
{
    std::size_t pos = 0;
    while (pos < value.size() && IsBlank(value[pos]))
    {
        ++pos;
    }
    bool negative = false;
    if (pos < value.size() && (value[pos] == '+' || value[pos] == '-'))
    {
        negative = value[pos] == '-';
        ++pos;
    }
    std::uint32_t result = 0;
    for (; pos < value.size() && value[pos] >= '0' && value[pos] <= '9'; ++pos)
    {
        result = result * 10u + static_cast<std::uint32_t>(value[pos] - '0');
    }
    if (negative)
    {
        result = 0u - result;
    }
    // Conversion to int is modulo 2^32 since C++20.
    return static_cast<int>(result);
}

} // namespace quellis::profile
