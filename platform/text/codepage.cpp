#include "platform/text/codepage.h"

#include <iconv.h>

#include <cerrno>

namespace quellis::text
{

namespace
{

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";
constexpr char kUnmappable = '?';
const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// One conversion descriptor per thread and direction: an iconv_t keeps state
// and must not be used by two threads at once, and opening one per call costs
// more than most of the texts converted.
class Converter
{
public:
    Converter(const char* to, const char* from)
        : handle_(iconv_open(to, from))
    {
    }
    ~Converter()
    {
        if (handle_ != kNoConverter)
        {
            iconv_close(handle_);
        }
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    [[nodiscard]] bool Usable() const { return handle_ != kNoConverter; }

    // Converts as much as it can; in and inLeft are moved past what was read.
    // Returns 0 when all input was read, else the errno that stopped it.
    int Convert(const char*& in, std::size_t& inLeft, std::string& out)
    {
        char buffer[1024];
        while (inLeft > 0)
        {
            char* input = const_cast<char*>(in);
            char* output = buffer;
            std::size_t outLeft = sizeof buffer;
            const std::size_t result = iconv(handle_, &input, &inLeft, &output, &outLeft);
            const int error = errno;
            out.append(buffer, static_cast<std::size_t>(output - buffer));
            in = input;
            if (result != static_cast<std::size_t>(-1))
            {
                return 0;
            }
            if (error != E2BIG)
            {
                return error;
            }
        }
        return 0;
    }

    void ResetState()
    {
        if (Usable())
        {
            iconv(handle_, nullptr, nullptr, nullptr, nullptr);
        }
    }

private:
    iconv_t handle_;
};

Converter& Decoder()
{
    thread_local Converter converter("UTF-8", "CP936");
    converter.ResetState();
    return converter;
}

Converter& Encoder()
{
    thread_local Converter converter("CP936", "UTF-8");
    converter.ResetState();
    return converter;
}

bool IsCp936TrailByte(unsigned char byte)
{
    return byte >= 0x40 && byte <= 0xFE && byte != 0x7F;
}

struct Utf8Sequence
{
    std::size_t length; // of the character, or of the maximal invalid subpart
    bool valid;
};

// The sequence at pos, by the well-formed byte ranges of the Unicode standard.
// An invalid one is as long as its longest start that could still have become
// valid, at least one byte, so that "E5 8D" followed by text is one error.
Utf8Sequence DecodeUtf8At(std::string_view text, std::size_t pos)
{
    const auto lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x80)
    {
        return { 1, true };
    }
    std::size_t trailCount = 0;
    unsigned char secondLow = 0x80;
    unsigned char secondHigh = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF)
    {
        trailCount = 1;
    }
    else if (lead >= 0xE0 && lead <= 0xEF)
    {
        trailCount = 2;
        secondLow = lead == 0xE0 ? 0xA0 : 0x80; // below: overlong
        secondHigh = lead == 0xED ? 0x9F : 0xBF; // above: surrogates
    }
    else if (lead >= 0xF0 && lead <= 0xF4)
    {
        trailCount = 3;
        secondLow = lead == 0xF0 ? 0x90 : 0x80; // below: overlong
        secondHigh = lead == 0xF4 ? 0x8F : 0xBF; // above: beyond U+10FFFF
    }
    else
    {
        return { 1, false };
    }
    for (std::size_t i = 1; i <= trailCount; ++i)
    {
        if (pos + i >= text.size())
        {
            return { i, false };
        }
        const auto byte = static_cast<unsigned char>(text[pos + i]);
        const unsigned char low = i == 1 ? secondLow : 0x80;
        const unsigned char high = i == 1 ? secondHigh : 0xBF;
        if (byte < low || byte > high)
        {
            return { i, false };
        }
    }
    return { trailCount + 1, true };
}

// Without a converter (a system without the gconv modules) ASCII still passes.
std::string AsciiOnly(std::string_view bytes, std::string_view otherwise, bool utf8Input)
{
    std::string out;
    for (std::size_t pos = 0; pos < bytes.size();)
    {
        const auto byte = static_cast<unsigned char>(bytes[pos]);
        if (byte < 0x80)
        {
            out += static_cast<char>(byte);
            ++pos;
            continue;
        }
        out += otherwise;
        if (utf8Input)
        {
            pos += DecodeUtf8At(bytes, pos).length;
        }
        else
        {
            pos += Cp936CharLength(bytes, pos);
        }
    }
    return out;
}

} // namespace

std::string Cp936ToUtf8(std::string_view bytes)
{
    Converter& decoder = Decoder();
    if (!decoder.Usable())
    {
        return AsciiOnly(bytes, kReplacementCharacter, false);
    }
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 2);
    const char* in = bytes.data();
    std::size_t inLeft = bytes.size();
    while (inLeft > 0)
    {
        if (decoder.Convert(in, inLeft, out) == 0)
        {
            break;
        }
        // A well-formed pair without a character is one character's worth; a
        // lead byte followed by anything else (or by nothing) is one byte, as
        // the next byte may be ASCII and must not be swallowed.
        out += kReplacementCharacter;
        const std::size_t skip = Cp936CharLength(std::string_view(in, inLeft), 0);
        in += skip;
        inLeft -= skip;
        decoder.ResetState();
    }
    return out;
}

std::string Utf8ToCp936(std::string_view utf8)
{
    Converter& encoder = Encoder();
    if (!encoder.Usable())
    {
        return AsciiOnly(utf8, std::string_view(&kUnmappable, 1), true);
    }
    std::string out;
    out.reserve(utf8.size());
    std::size_t pos = 0;
    while (pos < utf8.size())
    {
        // iconv gets only well-formed runs, so its only complaint left is a
        // character the code page lacks; invalid bytes are replaced here.
        std::size_t runEnd = pos;
        Utf8Sequence sequence { 0, true };
        while (runEnd < utf8.size())
        {
            sequence = DecodeUtf8At(utf8, runEnd);
            if (!sequence.valid)
            {
                break;
            }
            runEnd += sequence.length;
        }
        const char* in = utf8.data() + pos;
        std::size_t inLeft = runEnd - pos;
        while (inLeft > 0)
        {
            if (encoder.Convert(in, inLeft, out) == 0)
            {
                break;
            }
            out += kUnmappable;
            const std::size_t skip = DecodeUtf8At(std::string_view(in, inLeft), 0).length;
            in += skip;
            inLeft -= skip;
            encoder.ResetState();
        }
        pos = runEnd;
        if (pos < utf8.size())
        {
            out += kUnmappable;
            pos += sequence.length;
        }
    }
    return out;
}

bool IsValidUtf8(std::string_view text)
{
    for (std::size_t pos = 0; pos < text.size();)
    {
        const Utf8Sequence sequence = DecodeUtf8At(text, pos);
        if (!sequence.valid)
        {
            return false;
        }
        pos += sequence.length;
    }
    return true;
}

std::string DeviceTextToUtf8(std::string_view bytes)
{
    if (IsValidUtf8(bytes))
    {
        return std::string(bytes);
    }
    return Cp936ToUtf8(bytes);
}

std::size_t Cp936CharLength(std::string_view bytes, std::size_t pos)
{
    const bool pair = IsCp936LeadByte(static_cast<unsigned char>(bytes[pos])) && pos + 1 < bytes.size()
        && IsCp936TrailByte(static_cast<unsigned char>(bytes[pos + 1]));
    return pair ? 2 : 1;
}

std::string_view Cp936Prefix(std::string_view bytes, std::size_t maxBytes)
{
    std::size_t end = 0;
    while (end < bytes.size())
    {
        const std::size_t length = Cp936CharLength(bytes, end);
        if (end + length > maxBytes)
        {
            break;
        }
        end += length;
    }
    return bytes.substr(0, end);
}

} // namespace quellis::text
