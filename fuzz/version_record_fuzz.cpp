// The About box reads the program file's version record; a damaged or foreign
// file may be in its place. Beyond not crashing or reading outside the input,
// whatever is found must lie inside it and hold a record.

#include "fuzz/fuzz_check.h"
#include "platform/version/version_record.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace quellis::version;

    const std::span<const std::uint8_t> bytes(data, size);
    const MemoryByteSource file(bytes);

    for (const char* name : { ".shstrtab", ".quellis_version", "" })
    {
        if (const auto section = FindElfSection(file, name))
        {
            Check(section->offset <= size && section->size <= size - section->offset);
        }
    }

    std::vector<std::uint8_t> block;
    if (ReadVersionBlock(file, block))
    {
        Check(block.size() >= sizeof(FixedFileInfo) && block.size() <= kMaxVersionBlock && block.size() <= size);
        const auto info = QueryRootBlock(block);
        Check(info.has_value() && info->signature == kFixedFileInfoSignature);
    }
    else
    {
        Check(block.empty());
    }

    if (const auto info = QueryRootBlock(bytes))
    {
        Check(size >= sizeof(FixedFileInfo) && info->structVersion >> 16 == 1);
    }
    return 0;
}
