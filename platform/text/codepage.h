#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Code page 936 <-> UTF-8. Inside the program text is UTF-8; files on disk
// (config.ini, log.txt, the pool files) and the wire carry the code page 936
// bytes the Windows tool wrote, so text is converted where it crosses that
// boundary. Every function here may be called from any thread at once.

namespace quellis::text
{

// Invalid or unmapped sequences become U+FFFD: a well-formed double-byte pair
// without a character (the user-defined areas, for example) as one, a lead byte
// whose next byte cannot follow it as one and the next byte is read afresh, a
// lead byte at the very end as one.
[[nodiscard]] std::string Cp936ToUtf8(std::string_view bytes);

// A character without a code page 936 form becomes '?', and so does each
// maximal invalid UTF-8 subsequence (a lone byte, a cut-off sequence, an
// overlong form, a surrogate).
[[nodiscard]] std::string Utf8ToCp936(std::string_view utf8);

// Strict: no overlong forms, no surrogates, nothing above U+10FFFF.
[[nodiscard]] bool IsValidUtf8(std::string_view text);

// Text a machine sends (version, host name, command output): its firmware may
// write either encoding, so valid UTF-8 is kept and anything else is read as
// code page 936.
[[nodiscard]] std::string DeviceTextToUtf8(std::string_view bytes);

// 0x81-0xFE start a double-byte character; its second byte may be any of
// 0x40-0xFE but 0x7F, ASCII letters and '[', ']', '\' included, which is why
// code page 936 text is never scanned or case-folded one byte at a time.
[[nodiscard]] constexpr bool IsCp936LeadByte(unsigned char byte)
{
    return byte >= 0x81 && byte <= 0xFE;
}

// 2 when the byte at pos starts a double-byte character and a byte that can
// end one follows, else 1 (ASCII, a stray byte, a lead byte without its pair).
[[nodiscard]] std::size_t Cp936CharLength(std::string_view bytes, std::size_t pos);

// The longest start of the bytes that is at most maxBytes long and does not
// end in the first half of a double-byte character.
[[nodiscard]] std::string_view Cp936Prefix(std::string_view bytes, std::size_t maxBytes);

} // namespace quellis::text
