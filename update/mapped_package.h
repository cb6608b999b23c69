#pragma once

#include "platform/files/file_info.h"
#include "platform/files/mapped_file.h"

#include <cstdint>
#include <filesystem>

// The package as one transfer reads it: opened read-only and mapped one 8 MiB
// window at a time, each window starting at a multiple of the window size, so
// the byte at file offset o lies at o mod 8 MiB inside its window. Every
// transfer has its own, so machines read the same package at once without
// sharing state.
//
// Nothing locks the file: the operator may copy, replace or rewrite it during
// a transfer. A file renamed over the package leaves the transfer on the old
// contents to its end (the open file is the old one), which keeps each
// machine's stream one consistent package; bytes rewritten in place show
// through, as they do to every reader of a shared file; a file cut short
// fails the transfer at the new end. The mapped bytes are only ever handed to
// the system (socket sends), never read by the program, so a vanished page is
// a failed send and not a fault that would end the program.

namespace quellis::update
{

inline constexpr std::uint64_t kWindowSize = 8 * 1024 * 1024;

struct MappedPackage
{
    std::uint64_t size = 0; // measured when opened
    std::uint64_t offset = 0; // of the next byte to send; preset to the start offset before opening
    const std::uint8_t* window = nullptr;
    std::uint64_t windowStart = 0; // file offset of window[0]
    files::MappedFile file;
};

// QueryFileInfo is the platform's (files::QueryFileInfo): whether the served
// path exists, and whether it is a directory.

// Opens the package and maps the window holding the preset offset. True when
// the byte at the offset can be sent, or for an empty package asked from 0; a
// start at or past the end of a package is refused like an unreadable one (it
// would have nothing to send and never reach the end). On false the package
// may hold part of what was opened: CloseMappedPackage releases it.
[[nodiscard]] bool OpenMappedPackage(const std::filesystem::path& path, MappedPackage& package);

// The sender, when the offset has just reached a multiple of the window size
// short of the end: maps the next window. A window that cannot be mapped is
// left null, and the next send fails.
void AdvanceWindow(MappedPackage& package);

// Releases window and file (also of a partly opened package) and sets the
// offset to 0.
bool CloseMappedPackage(MappedPackage& package);

} // namespace quellis::update
