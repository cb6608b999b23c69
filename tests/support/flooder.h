#pragma once

#include "platform/net/socket.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <thread>
#include <vector>

// Datagrams nobody asked for, as anyone on a farm's segment may send them to
// the tool's port 6667: random bytes, every packet type and command code with
// random fields, forged successes of pool and EEPROM commands, setting
// refusals, and search replies each with a MAC of its own. Sent as fast as a
// socket takes them, from the lab's farm side, and bounded: at most `count`
// datagrams and never longer than `limit`. The same seed makes the same flood.

namespace quellis::test
{

enum class FloodKind
{
    RandomBytes, // 0 to 65,507 bytes of anything
    AnyTypeAndCode, // the right magic, any type and command code, random fields
    ForgedSuccess, // CMD_WriteE2 and CMD_PoolConfig successes of random and real MACs
    SettingRefusal, // PKT_DEV_SETTING_ACK with a result of 1 to 3 for random MACs
    SearchReply, // PKT_SEARCH_ACK, a new MAC each
};
inline constexpr std::size_t kFloodKinds = 5;

struct FloodConfig
{
    std::string netns; // sent from this namespace (under /run/netns); empty: the caller's
    net::Endpoint target; // the tool's receive socket
    std::size_t count = 100000;
    std::chrono::milliseconds limit { 30000 };
    std::uint64_t seed = 1;
    // Datagrams a second at most; 0: as fast as the socket takes them.
    std::uint64_t perSecond = 0;
    // Shares of the kinds, in FloodKind order: of every sum-of-weights
    // datagrams in a row, weights[k] are of kind k. Half of them search
    // replies by default.
    std::array<unsigned, kFloodKinds> weights { 3, 3, 3, 1, 10 };
    // Machines that exist: forged successes name them half of the time.
    std::vector<std::string> realMacs;
};

struct FloodTotals
{
    std::array<std::uint64_t, kFloodKinds> sent {};
    std::uint64_t sendFailures = 0;
    std::uint64_t bytes = 0;
    double seconds = 0;

    [[nodiscard]] std::uint64_t Sent() const;
};

// Datagram `n` of a flood: its kind, and its bytes in `buffer` (at least
// kMaxFloodDatagram bytes); returns the length.
inline constexpr std::size_t kMaxFloodDatagram = 65507;
std::size_t BuildFloodDatagram(
    const FloodConfig& config, std::uint64_t n, FloodKind& kind, std::span<std::uint8_t> buffer);

// The flood on a thread of its own, which moves into the namespace.
class Flooder
{
public:
    explicit Flooder(FloodConfig config);
    ~Flooder();
    Flooder(const Flooder&) = delete;
    Flooder& operator=(const Flooder&) = delete;

    void Start();
    // Waits for the end of the flood (count sent or limit reached).
    FloodTotals Join();
    // Datagrams handed to the socket so far (any thread).
    [[nodiscard]] std::uint64_t Progress() const { return progress_.load(); }
    [[nodiscard]] bool Finished() const { return finished_.load(); }

private:
    void Run();

    const FloodConfig config_;
    std::atomic<std::uint64_t> progress_ { 0 };
    std::atomic<bool> finished_ { false };
    FloodTotals totals_;
    std::thread thread_;
};

} // namespace quellis::test
