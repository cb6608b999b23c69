#include "miner/pool_config.h"

#include "core/settings.h"
#include "platform/net/ipv4.h"

#include <fstream>
#include <iterator>

namespace quellis::miner
{

namespace
{

// The fixed pools of the generated files (placeholders: the operator's
// template carries the rest of the configuration).
constexpr std::string_view kFilePoolUrl1 = "stratum+tcp://eu.pool.example.net:8888";
constexpr std::string_view kFileWorker1 = "farmaccount";
constexpr std::string_view kFilePoolUrl2 = "stratum+tcp://192.168.1.100:7903";
constexpr std::string_view kFileWallet = "YOUR_WALLET_ADDRESS";
constexpr std::string_view kFilePoolUrl3 = "stratum+tcp://asia.pool.example.org:6099";
constexpr std::string_view kFileWorker3 = "farmbackup";

constexpr std::string_view kEmptyElement = R"({"url":"","user":"","pass":""})";
// ".255x255x255x255" at most.
constexpr std::size_t kLongestSuffix = 16;

std::string AddressSuffix(std::string_view ip)
{
    const std::uint32_t address = net::InetAddr(ip);
    return "." + std::to_string(address >> 24) + "x" + std::to_string((address >> 16) & 0xFF) + "x"
        + std::to_string((address >> 8) & 0xFF) + "x" + std::to_string(address & 0xFF);
}

std::string Element(const PoolSlot& slot, std::string_view suffix)
{
    if (!slot.enabled)
    {
        return std::string(kEmptyElement);
    }
    return R"({"url":")" + slot.url + R"(","user":")" + slot.worker + std::string(suffix) + R"(","pass":")"
        + slot.password + R"("})";
}

// Text mode on the way in: a CR LF pair is read as LF.
std::string ReadAsText(std::string_view bytes)
{
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i)
    {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
        {
            continue;
        }
        text += bytes[i];
    }
    return text;
}

// Text mode on the way out: every LF is written as CR LF.
std::string WrittenAsText(std::string_view text)
{
    std::string bytes;
    bytes.reserve(text.size() + text.size() / 8);
    for (const char c : text)
    {
        if (c == '\n')
        {
            bytes += '\r';
        }
        bytes += c;
    }
    return bytes;
}

} // namespace

std::string BuildPoolText(const PoolSlots& slots, std::string_view ip)
{
    const std::string suffix = AddressSuffix(ip);
    std::string text = R"({"pools":[)";
    for (std::size_t i = 0; i < slots.size(); ++i)
    {
        text += i > 0 ? "," : "";
        text += Element(slots[i], slots[i].suffixMode == kSuffixIp ? std::string_view(suffix) : std::string_view());
    }
    return text + "]}";
}

std::size_t LongestPoolText(const PoolSlots& slots)
{
    std::size_t length = BuildPoolText(slots, "0.0.0.0").size();
    for (const PoolSlot& slot : slots)
    {
        // ".0x0x0x0" is 8 bytes; the longest address suffix is 16.
        length += slot.enabled && slot.suffixMode == kSuffixIp ? kLongestSuffix - 8 : 0;
    }
    return length;
}

PoolRowSettings ReadPoolSettings(const std::filesystem::path& config)
{
    PoolRowSettings rows;
    for (std::size_t n = 0; n < rows.size(); ++n)
    {
        rows[n].url = core::ReadSetting(core::settings::kPoolUrl[n], config);
        rows[n].worker = core::ReadSetting(core::settings::kPoolWorker[n], config);
        rows[n].password = core::ReadSetting(core::settings::kPoolPassword[n], config);
        rows[n].type = core::ReadSetting(core::settings::kPoolType[n], config);
    }
    return rows;
}

void WritePoolSettings(const PoolRowSettings& rows, const std::filesystem::path& config)
{
    for (std::size_t n = 0; n < rows.size(); ++n)
    {
        [[maybe_unused]] const bool url = core::WriteSetting(core::settings::kPoolUrl[n], rows[n].url, config);
        [[maybe_unused]] const bool worker = core::WriteSetting(core::settings::kPoolWorker[n], rows[n].worker, config);
        [[maybe_unused]] const bool password
            = core::WriteSetting(core::settings::kPoolPassword[n], rows[n].password, config);
        [[maybe_unused]] const bool type = core::WriteSetting(core::settings::kPoolType[n], rows[n].type, config);
    }
}

std::string PoolFileName(int index)
{
    return "cgminer.conf" + std::to_string(index) + ".xtc";
}

std::string PoolFileText(int index, std::string_view templateBytes)
{
    const std::string number = std::to_string(index);
    std::string text = "{\n\"pools\":[\n{\n";
    text += "\"url\":\"" + std::string(kFilePoolUrl1) + "\",\n";
    text += "\"user\":\"" + std::string(kFileWorker1) + "." + number + "\",\n";
    text += "\"pass\":\"x\"\n}\n,\n{\n";
    text += "\"url\":\"" + std::string(kFilePoolUrl2) + "\",\n";
    text += "\"user\":\"" + std::string(kFileWallet) + "\",\n";
    text += "\"pass\":\"x\"\n}\n,\n{\n";
    text += "\"url\":\"" + std::string(kFilePoolUrl3) + "\",\n";
    text += "\"user\":\"" + std::string(kFileWorker3) + "." + number + "\",\n";
    text += "\"pass\":\"x\"\n}\n]\n,\n";
    // The template is a text: it ends at its first NUL. All of it is copied,
    // however long.
    const std::string templateText = ReadAsText(templateBytes);
    text += std::string_view(templateText).substr(0, templateText.find('\0'));
    return WrittenAsText(text);
}

PoolFilesResult GeneratePoolFiles(const std::filesystem::path& directory)
{
    std::ifstream in(directory / kPoolTemplateName, std::ios::binary);
    if (!in)
    {
        return PoolFilesResult::TemplateMissing;
    }
    const std::string templateBytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    for (int i = 0; i < kPoolFileCount; ++i)
    {
        std::ofstream out(directory / PoolFileName(i), std::ios::binary | std::ios::trunc);
        if (!out)
        {
            continue; // passed over without a message
        }
        const std::string bytes = PoolFileText(i, templateBytes);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    return PoolFilesResult::Written;
}

} // namespace quellis::miner
