#pragma once

#include "platform/version/elf_section.h"

#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

// The program file's own version record, laid out as the fixed part of a
// Windows version resource: the About box reads the product version from it.
// An executable embeds it with QUELLIS_DEFINE_VERSION_RECORD; the record sits
// in a section of its own, so it is found in the file by the section's name.

#define QUELLIS_VERSION_SECTION ".quellis_version"

namespace quellis::version
{

inline constexpr std::string_view kVersionSectionName = QUELLIS_VERSION_SECTION;
inline constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
inline constexpr std::uint32_t kFixedFileInfoStructVersion = 0x00010000;
inline constexpr std::uint32_t kFileFlagsMask = 0x3F;
inline constexpr std::uint32_t kFileTypeApplication = 1;

// A record larger than this is not one of ours.
inline constexpr std::size_t kMaxVersionBlock = 4096;

// Each version a.b.c.d is kept as MS = a << 16 | b and LS = c << 16 | d.
struct FixedFileInfo
{
    std::uint32_t signature = 0;
    std::uint32_t structVersion = 0;
    std::uint32_t fileVersionMS = 0;
    std::uint32_t fileVersionLS = 0;
    std::uint32_t productVersionMS = 0;
    std::uint32_t productVersionLS = 0;
    std::uint32_t fileFlagsMask = 0;
    std::uint32_t fileFlags = 0;
    std::uint32_t fileOS = 0;
    std::uint32_t fileType = 0;
    std::uint32_t fileSubtype = 0;
    std::uint32_t fileDateMS = 0;
    std::uint32_t fileDateLS = 0;
};
static_assert(sizeof(FixedFileInfo) == 52, "the record is 13 words without padding");

[[nodiscard]] constexpr bool IsVersionPart(long long part)
{
    return part >= 0 && part <= 0xFFFF;
}

[[nodiscard]] constexpr FixedFileInfo MakeFixedFileInfo(std::uint16_t fileA,
    std::uint16_t fileB,
    std::uint16_t fileC,
    std::uint16_t fileD,
    std::uint16_t productA,
    std::uint16_t productB,
    std::uint16_t productC,
    std::uint16_t productD)
{
    FixedFileInfo info;
    info.signature = kFixedFileInfoSignature;
    info.structVersion = kFixedFileInfoStructVersion;
    info.fileVersionMS = static_cast<std::uint32_t>(fileA) << 16 | fileB;
    info.fileVersionLS = static_cast<std::uint32_t>(fileC) << 16 | fileD;
    info.productVersionMS = static_cast<std::uint32_t>(productA) << 16 | productB;
    info.productVersionLS = static_cast<std::uint32_t>(productC) << 16 | productD;
    info.fileFlagsMask = kFileFlagsMask;
    info.fileType = kFileTypeApplication;
    return info;
}

// The fixed part at the start of a version block: nothing for a block too
// short for it or without the signature and a structure version 1.x.
[[nodiscard]] std::optional<FixedFileInfo> QueryRootBlock(std::span<const std::uint8_t> block);

// The version block of an ELF file: the whole record section, provided it
// holds a record and is at most kMaxVersionBlock bytes. `block` is left as it
// was on failure.
[[nodiscard]] bool ReadVersionBlock(const ByteSource& file, std::vector<std::uint8_t>& block);

} // namespace quellis::version

#if defined(__has_attribute)
#if __has_attribute(retain)
#define QUELLIS_VERSION_RECORD_RETAIN , retain
#endif
#endif
#ifndef QUELLIS_VERSION_RECORD_RETAIN
#define QUELLIS_VERSION_RECORD_RETAIN
#endif

// Defines the executable's record; use once, at namespace scope, in a source
// file of the executable itself (not of a library, whose unused object the
// linker would leave out). `used` and `retain` keep it although no code reads
// it: it is read from the file. A second record in one program fails to link.
#define QUELLIS_DEFINE_VERSION_RECORD(fileA, fileB, fileC, fileD, productA, productB, productC, productD)              \
    static_assert(std::endian::native == std::endian::little, "the record is read as little-endian");                  \
    static_assert(::quellis::version::IsVersionPart(fileA) && ::quellis::version::IsVersionPart(fileB)                 \
            && ::quellis::version::IsVersionPart(fileC) && ::quellis::version::IsVersionPart(fileD)                    \
            && ::quellis::version::IsVersionPart(productA) && ::quellis::version::IsVersionPart(productB)              \
            && ::quellis::version::IsVersionPart(productC) && ::quellis::version::IsVersionPart(productD),             \
        "each part of a version is a 16-bit number");                                                                  \
    extern "C" __attribute__((section(QUELLIS_VERSION_SECTION), used QUELLIS_VERSION_RECORD_RETAIN))                   \
    const ::quellis::version::FixedFileInfo quellisVersionRecord                                                       \
        = ::quellis::version::MakeFixedFileInfo(fileA, fileB, fileC, fileD, productA, productB, productC, productD)
