// config.ini is edited by hand and by other programs, so any bytes may be in it.
// Beyond not crashing, a write must read back and must be a fixed point.

#include "fuzz/fuzz_check.h"
#include "platform/profile/profile_text.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace quellis::profile;

    FuzzedDataProvider provider(data, size);
    const std::string section = provider.ConsumeRandomLengthString(24);
    const std::string key = provider.ConsumeRandomLengthString(24);
    const std::string value = provider.ConsumeRandomLengthString(24);
    const std::string text = provider.ConsumeRemainingBytesAsString();

    // The names the tool reads, and whatever names the input chose.
    for (const char* name : { "Config", "IP", "SendBuf" })
    {
        if (const auto found = FindProfileValue(text, "CONFIG", name))
        {
            Check(found->data() >= text.data() && found->data() + found->size() <= text.data() + text.size());
            [[maybe_unused]] const int number = ParseProfileInt(*found);
        }
    }
    [[maybe_unused]] const auto found = FindProfileValue(text, section, key);

    const auto written = SetProfileValue(text, section, key, value);
    if (!written)
    {
        return 0;
    }
    // What was written reads back as the value with blanks and one pair of
    // quotes removed: the same as the value written into a file of its own.
    const auto single = SetProfileValue("", section, key, value);
    Check(single.has_value());
    const auto expected = FindProfileValue(*single, section, key);
    Check(expected.has_value());
    const auto readBack = FindProfileValue(*written, section, key);
    Check(readBack.has_value() && *readBack == *expected);
    Check(SetProfileValue(*written, section, key, value) == written);
    return 0;
}
