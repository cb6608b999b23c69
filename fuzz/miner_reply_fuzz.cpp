// The readers of a miner API reply, on anything a machine may send: the reply
// text up to its first NUL, parsed for each section and read by each reader.
// libFuzzer hands over a buffer of exactly the input's size, so AddressSanitizer
// catches a read past the received length; nesting of any depth must neither
// overflow the stack nor throw.
#include "fuzz/fuzz_check.h"
#include "miner/miner_api_client.h"

#include <algorithm>
#include <cstring>
#include <string_view>

using namespace quellis::miner;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    const void* nul = std::memchr(data, 0, size);
    const std::string_view reply(
        text, nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - text) : size);
    const std::string_view ip = "10.77.128.1";

    const ParsedSection pools = ParseSection(reply, "POOLS");
    const ParsedSection summary = ParseSection(reply, "SUMMARY");
    // Both sections come from the same reply: they fail alike up to the section type.
    Check((pools.result == SectionResult::ParseFailed) == (summary.result == SectionResult::ParseFailed));
    Check((pools.result == SectionResult::NoStatus) == (summary.result == SectionResult::NoStatus));
    if (pools.result == SectionResult::Ok)
    {
        Check(pools.section.isArray());
        const std::string all = ReadFirstMinerAll(pools.section, ip);
        const std::string selected = ReadFirstMinerSelected(pools.section, ip);
        // Every line ends its line; the selected run always gives one.
        Check(all.empty() || all.ends_with("\r\n"));
        Check(selected.ends_with("\r\n"));
        // One line per pool, each ended.
        const std::string list = ReadPoolList(pools.section);
        Check(static_cast<Json::ArrayIndex>(std::count(list.begin(), list.end(), '\n')) >= pools.section.size());
        Check(list.empty() || list.ends_with("\n"));
    }
    else
    {
        Check(!SectionFailureText(pools.result).empty());
    }
    // An error status needs a reply that parses, with a status.
    if (ErrorStatus(reply))
    {
        Check(pools.result != SectionResult::ParseFailed && pools.result != SectionResult::NoStatus);
    }
    if (summary.result == SectionResult::Ok)
    {
        const std::string rate = ReadHashRate(summary.section, ip);
        Check(rate.ends_with("Mh/s\r\n") || rate == "未能发现算力信息信息\r\n");
    }
    return 0;
}
