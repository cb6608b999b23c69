#include "tests/support/flooder.h"

#include "protocol/device_packet.h"
#include "tests/support/netlab.h"

#include <cstdio>
#include <cstring>
#include <numeric>
#include <optional>

namespace quellis::test
{

namespace
{

using namespace quellis::protocol;

// A small generator of its own, seeded per datagram, so that datagram n is
// the same whatever came before it.
class SplitMix
{
public:
    explicit SplitMix(std::uint64_t seed)
        : state_(seed)
    {
    }
    std::uint64_t Next()
    {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint64_t Below(std::uint64_t bound) { return Next() % bound; }
    void Fill(std::span<std::uint8_t> bytes)
    {
        std::size_t i = 0;
        for (; i + 8 <= bytes.size(); i += 8)
        {
            const std::uint64_t word = Next();
            std::memcpy(bytes.data() + i, &word, 8);
        }
        const std::uint64_t word = Next();
        std::memcpy(bytes.data() + i, &word, bytes.size() - i);
    }

private:
    std::uint64_t state_;
};

// "F0" and ten digits: F0 is a universally administered unicast prefix, which
// the simulator's locally administered MACs never have.
std::string FloodMac(std::uint64_t number)
{
    char text[16];
    std::snprintf(text, sizeof text, "F0%010llX", static_cast<unsigned long long>(number & 0xFFFFFFFFFFull));
    return text;
}

// A bijection of the 40-bit numbers: every datagram's MAC differs from the others.
std::uint64_t Scatter(std::uint64_t n)
{
    return (n * 0x9E3779B97Full) & 0xFFFFFFFFFFull;
}

std::string FloodIp(SplitMix& random)
{
    return "10.77." + std::to_string(random.Below(256)) + "." + std::to_string(1 + random.Below(254));
}

constexpr std::uint16_t kAnyCodes[] = { CMD_LedTest,
    CMD_UARTTest,
    CMD_EXECUTE,
    CMD_Upgrade,
    CMD_RestartMiner,
    CMD_Reboot,
    CMD_PoolConfig,
    CMD_ReadE2,
    CMD_WriteE2,
    CMD_SetName,
    CMD_GetName };

} // namespace

std::uint64_t FloodTotals::Sent() const
{
    return std::accumulate(sent.begin(), sent.end(), std::uint64_t { 0 });
}

std::size_t BuildFloodDatagram(
    const FloodConfig& config, std::uint64_t n, FloodKind& kind, std::span<std::uint8_t> buffer)
{
    SplitMix random(config.seed * 0x100000001B3ull ^ Scatter(n));
    // The kinds take their turns by the weights, so that a flood of N
    // datagrams holds exactly its shares of each.
    const unsigned total = std::accumulate(config.weights.begin(), config.weights.end(), 0u);
    unsigned pick = static_cast<unsigned>(n % std::max(total, 1u));
    std::size_t chosen = 0;
    while (chosen + 1 < kFloodKinds && pick >= config.weights[chosen])
    {
        pick -= config.weights[chosen];
        ++chosen;
    }
    kind = static_cast<FloodKind>(chosen);
    // The builders zero what they are given: a record's worth, not 64 KiB.
    const std::span<std::uint8_t> small = buffer.first(kRequestBufferSize);
    switch (kind)
    {
    case FloodKind::RandomBytes:
    {
        const std::size_t length = random.Below(kMaxFloodDatagram + 1);
        random.Fill(buffer.first(length));
        return length;
    }
    case FloodKind::AnyTypeAndCode:
    {
        const std::size_t length = 8 + random.Below(2041);
        random.Fill(buffer.first(length));
        const std::uint32_t magic = kPacketMagic;
        const auto type = static_cast<std::uint32_t>(random.Below(8)); // 7 is no type at all
        std::memcpy(buffer.data(), &magic, 4);
        std::memcpy(buffer.data() + 4, &type, 4);
        if ((type == PKT_CMD || type == PKT_CMD_ACK) && length >= kCommandHeaderSize)
        {
            const std::size_t which = random.Below(std::size(kAnyCodes) + 1);
            const auto code
                = which < std::size(kAnyCodes) ? kAnyCodes[which] : static_cast<std::uint16_t>(random.Next());
            std::memcpy(buffer.data() + offsetof(CommandLayout, cmdCode), &code, 2);
            if (random.Below(2) == 0)
            {
                const std::string target = FloodMac(random.Next());
                std::memset(buffer.data() + offsetof(CommandLayout, target), 0, kTextFieldWidth);
                std::memcpy(buffer.data() + offsetof(CommandLayout, target), target.data(), target.size());
            }
        }
        return length;
    }
    case FloodKind::ForgedSuccess:
    {
        const bool real = !config.realMacs.empty() && random.Below(2) == 0;
        const std::string target
            = real ? config.realMacs[random.Below(config.realMacs.size())] : FloodMac(random.Next());
        return random.Below(2) == 0 ? BuildCommandReply(small, target, CMD_WriteE2, 0)
                                    : BuildCommandReply(small, target, CMD_PoolConfig, 1);
    }
    case FloodKind::SettingRefusal:
    {
        const std::string ip = FloodIp(random);
        const std::string mac = FloodMac(random.Next());
        RecordFields fields;
        fields.ip = ip;
        fields.mac = mac;
        fields.result = static_cast<std::int32_t>(1 + random.Below(3));
        return BuildRecordReply(small, PKT_DEV_SETTING_ACK, fields);
    }
    case FloodKind::SearchReply:
    {
        const std::string ip = FloodIp(random);
        const std::string mac = FloodMac(Scatter(n ^ config.seed));
        const std::string host = "flood-" + std::to_string(n);
        RecordFields fields;
        fields.ip = ip;
        fields.mask = "255.255.0.0";
        fields.gateway = "10.77.0.2";
        fields.mac = mac;
        fields.temperature = static_cast<std::int32_t>(random.Below(120));
        fields.versionNumber = static_cast<std::int32_t>(random.Below(100000));
        fields.runSeconds = static_cast<std::int32_t>(1 + random.Below(10000000));
        fields.versionText = "9.9.9";
        fields.hostName = host;
        return BuildRecordReply(small, PKT_SEARCH_ACK, fields);
    }
    }
    return 0;
}

Flooder::Flooder(FloodConfig config)
    : config_(std::move(config))
{
}

Flooder::~Flooder()
{
    if (thread_.joinable())
    {
        thread_.join();
    }
}

void Flooder::Start()
{
    thread_ = std::thread([this] { Run(); });
}

FloodTotals Flooder::Join()
{
    if (thread_.joinable())
    {
        thread_.join();
    }
    return totals_;
}

// Owns its socket and buffer; shares only the progress count.
void Flooder::Run()
{
    struct Finish
    {
        std::atomic<bool>& flag;
        ~Finish() { flag.store(true); }
    } finish { finished_ };
    std::optional<NetLab::Enter> inside;
    if (!config_.netns.empty())
    {
        inside.emplace(config_.netns);
        if (!inside->Ok())
        {
            return;
        }
    }
    net::Socket socket = net::Socket::Create(net::SocketKind::Udp);
    [[maybe_unused]] const bool buffered = socket.SetSendBuffer(4 * 1024 * 1024);
    std::vector<std::uint8_t> buffer(kMaxFloodDatagram);
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + config_.limit;
    for (std::uint64_t n = 0; n < config_.count && std::chrono::steady_clock::now() < end; ++n)
    {
        if (config_.perSecond != 0)
        {
            // Ahead of the pace: wait until datagram n is due.
            const auto due = start + std::chrono::nanoseconds(n * 1'000'000'000ull / config_.perSecond);
            if (due > std::chrono::steady_clock::now())
            {
                std::this_thread::sleep_until(due);
            }
        }
        FloodKind kind = FloodKind::RandomBytes;
        const std::size_t length = BuildFloodDatagram(config_, n, kind, buffer);
        const int sent = socket.SendTo(buffer.data(), length, config_.target);
        if (sent < 0 || static_cast<std::size_t>(sent) != length)
        {
            ++totals_.sendFailures;
        }
        else
        {
            ++totals_.sent[static_cast<std::size_t>(kind)];
            totals_.bytes += length;
        }
        progress_.store(n + 1);
    }
    totals_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace quellis::test
