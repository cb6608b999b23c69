#include "tests/sim/loopback_tool.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace quellis::sim::test
{
namespace
{

// The tool's package server reduced to what a download test needs: it serves
// every connection in turn, records the request text, the peer, what came
// back after the bytes, and whether the send went through.
class PackageServer
{
public:
    struct Visit
    {
        std::string request;
        net::Endpoint peer;
        std::string acknowledgement;
        bool sentAll = false;
    };

    explicit PackageServer(Bytes package)
        : package_(std::move(package))
    {
        listener_ = net::Socket::Create(net::SocketKind::Tcp);
        EXPECT_TRUE(listener_.SetReuseAddress(true));
        EXPECT_TRUE(listener_.Bind({ kToolAddress, 0 }));
        EXPECT_TRUE(listener_.Listen(16));
        port_ = listener_.LocalEndpoint()->port;
        thread_ = std::thread([this] { Serve(); });
    }

    ~PackageServer()
    {
        stopping_ = true;
        thread_.join();
    }

    [[nodiscard]] std::uint16_t Port() const { return port_; }
    [[nodiscard]] const Bytes& Package() const { return package_; }

    // The next connection gets this byte changed.
    void CorruptNext(std::size_t offset)
    {
        std::lock_guard lock(mutex_);
        corruptAt_ = offset;
    }

    std::vector<Visit> WaitForVisits(std::size_t count, std::chrono::milliseconds limit)
    {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, limit, [&] { return visits_.size() >= count; });
        return visits_;
    }

private:
    void Serve()
    {
        while (!stopping_)
        {
            if (listener_.WaitReadable(50ms) != net::PollResult::Ready)
            {
                continue;
            }
            Visit visit;
            net::Socket connection = listener_.Accept(&visit.peer);
            if (!connection.IsValid())
            {
                continue;
            }
            EXPECT_TRUE(connection.SetReceiveTimeout(2000ms));
            EXPECT_TRUE(connection.SetSendTimeout(1000ms));
            char request[260] = {};
            const int got = connection.Receive(request, 259);
            visit.request.assign(request, got > 0 ? static_cast<std::size_t>(got) : 0);
            Bytes served = package_;
            {
                std::lock_guard lock(mutex_);
                if (corruptAt_ < served.size())
                {
                    served[corruptAt_] ^= 0x01;
                }
                corruptAt_ = SIZE_MAX;
            }
            std::size_t offset = 0;
            while (offset < served.size())
            {
                const int sent
                    = connection.Send(served.data() + offset, std::min<std::size_t>(served.size() - offset, 65536));
                if (sent <= 0)
                {
                    break;
                }
                offset += static_cast<std::size_t>(sent);
            }
            visit.sentAll = offset == served.size();
            // As the tool does: read up to 4 bytes, or the close, then close.
            EXPECT_TRUE(connection.SetReceiveTimeout(500ms));
            char acknowledgement[4] = {};
            const int acknowledged = connection.Receive(acknowledgement, sizeof acknowledgement);
            visit.acknowledgement.assign(
                acknowledgement, acknowledged > 0 ? static_cast<std::size_t>(acknowledged) : 0);
            connection.Close();
            std::lock_guard lock(mutex_);
            visits_.push_back(std::move(visit));
            changed_.notify_all();
        }
    }

    Bytes package_;
    net::Socket listener_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_ { false };
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Visit> visits_;
    std::size_t corruptAt_ = SIZE_MAX;
    std::thread thread_;
};

Bytes PackageBytes(std::size_t size)
{
    Bytes bytes(size);
    std::uint32_t state = 12345;
    for (auto& byte : bytes)
    {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

// "1:<hex>:<name>:96:0" as the tool's server reads it.
bool IsWholeFileRequest(const std::string& text)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (start <= text.size())
    {
        const std::size_t colon = text.find(':', start);
        fields.push_back(text.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
        if (colon == std::string::npos)
        {
            break;
        }
        start = colon + 1;
    }
    return fields.size() == 5 && fields[0] == "1" && !fields[1].empty()
        && fields[1].find_first_not_of("0123456789abcdefABCDEF") == std::string::npos && !fields[2].empty()
        && fields[2].size() <= 31 && fields[3] == "96" && fields[4] == "0";
}

class FarmUpgrade : public testing::Test
{
protected:
    void StartFarm(std::size_t packageSize, std::initializer_list<const char*> behave, bool expectPackage = false)
    {
        server_ = std::make_unique<PackageServer>(PackageBytes(packageSize));
        FarmConfig config;
        config.machines = 6;
        config.seed = 5;
        config.packagePort = server_->Port();
        config.scenario.groups = Groups(behave);
        if (expectPackage)
        {
            const std::string bytes(server_->Package().begin(), server_->Package().end());
            directory_.Write("firmware-3.2.1.pkg", bytes);
            config.expectedPackage = (directory_ / "firmware-3.2.1.pkg").string();
        }
        farm_ = StartLoopbackFarm(config, tool_.Port());
        ASSERT_TRUE(farm_);
    }

    // Offers the package to one machine and returns the upgrade answers that
    // come within `limit`.
    std::vector<protocol::CommandPacket> Offer(
        int machine, std::uint64_t size, std::chrono::milliseconds limit = 5000ms)
    {
        tool_.Send(Request([&](auto buffer)
                       { return protocol::BuildUpgradeOffer(buffer, farm_->MachineAt(machine).identity.mac, size); }),
            { kToolAddress, farm_->DevicePort() });
        std::vector<protocol::CommandPacket> answers;
        for (const auto& datagram : tool_.Collect(1, limit))
        {
            const auto packet = protocol::ReadCommand(datagram.bytes);
            EXPECT_EQ(packet->cmdCode, protocol::CMD_Upgrade);
            EXPECT_EQ(packet->target, farm_->MachineAt(machine).identity.mac);
            EXPECT_EQ(datagram.from.address, farm_->MachineAt(machine).identity.address);
            answers.push_back(*packet);
        }
        return answers;
    }

    const MachineCounters& Counters(int machine) const { return farm_->MachineAt(machine).counters; }

    // The version a search shows: the record the machine answers with.
    std::string SearchedVersion(int machine) const
    {
        std::array<std::uint8_t, protocol::kRecordSize> record {};
        const std::size_t length
            = farm_->MachineAt(machine).BuildRecord(record, protocol::PKT_SEARCH_ACK, 0, Clock::now());
        const auto read = protocol::ReadRecord(std::span(record).first(length));
        return read ? read->versionText : "";
    }
    std::string VersionBefore(int machine) const { return farm_->MachineAt(machine).identity.versionText; }

    quellis::test::TempDir directory_;
    ToolSide tool_;
    std::unique_ptr<PackageServer> server_;
    std::unique_ptr<Farm> farm_;
};

TEST_F(FarmUpgrade, AMachineDownloadsChecksAndReportsThePackage)
{
    constexpr std::size_t kSize = 4 * 1024 * 1024;
    StartFarm(kSize, { "installMs=50" }, true);
    auto answers = Offer(2, kSize);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].result, 1);
    EXPECT_EQ(SearchedVersion(2), "3.2.1") << "the version the package's name announces";

    auto visits = server_->WaitForVisits(1, 1000ms);
    ASSERT_EQ(visits.size(), 1u);
    EXPECT_TRUE(IsWholeFileRequest(visits[0].request)) << visits[0].request;
    EXPECT_EQ(visits[0].peer.address, farm_->MachineAt(2).identity.address)
        << "the download comes from the machine's address";
    EXPECT_TRUE(visits[0].sentAll);
    EXPECT_FALSE(visits[0].acknowledgement.empty());
    EXPECT_EQ(Counters(2).downloadsStarted.load(), 1u);
    EXPECT_EQ(Counters(2).downloadsVerified.load(), 1u);
    EXPECT_EQ(Counters(2).downloadBytes.load(), kSize);

    // One byte changed on the way: the machine reports a failed upgrade.
    server_->CorruptNext(3'000'000);
    answers = Offer(3, kSize);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].result, 0);
    EXPECT_EQ(Counters(3).downloadsFailed.load(), 1u);
    EXPECT_EQ(Counters(3).downloadsVerified.load(), 0u);
    EXPECT_EQ(SearchedVersion(3), VersionBefore(3));

    // An offer smaller than what the server sends: the bytes past it show.
    answers = Offer(4, kSize - 10);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].result, 0);
    EXPECT_EQ(farm_->Totals().downloadsVerified, 1u);
    EXPECT_EQ(farm_->Totals().downloadsFailed, 2u);
}

TEST_F(FarmUpgrade, WithoutAnExpectedPackageTheLengthDecides)
{
    constexpr std::size_t kSize = 300'000;
    StartFarm(kSize, { "installMs=20", "indexes=1,upgradeResult=0", "indexes=2,upgradeVersion=4.0.7" });
    auto answers = Offer(0, kSize);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].result, 1);
    const auto before = ParseVersionText(VersionBefore(0));
    ASSERT_TRUE(before);
    EXPECT_EQ(SearchedVersion(0), NextPatch(*before).text) << "no version announced: one patch up";
    answers = Offer(1, kSize);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].result, 0) << "the scenario fails the install";
    EXPECT_EQ(Counters(1).downloadsVerified.load(), 1u);
    EXPECT_EQ(SearchedVersion(1), VersionBefore(1));
    answers = Offer(2, kSize);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(SearchedVersion(2), "4.0.7") << "the configured version";
    answers = Offer(5, kSize + 1); // the server closes one byte short
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].result, 0);
}

TEST_F(FarmUpgrade, DownloadFaultsBehaveAsTheToolMustSeeThem)
{
    StartFarm(64 * 1024,
        { "installMs=20",
            "indexes=1,download=close-half",
            "indexes=2,download=never",
            "indexes=3,download=stall",
            "indexes=4,download=slow,downloadRateKBps=64" });
    auto answers = Offer(1, 64 * 1024);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].result, 0);
    EXPECT_EQ(Counters(1).downloadBytes.load(), 32u * 1024);

    answers = Offer(2, 64 * 1024, 400ms);
    EXPECT_TRUE(answers.empty());
    EXPECT_EQ(server_->WaitForVisits(2, 100ms).size(), 1u) << "no connection";

    // Stalled half-way: no answer; the connection stays until the server gives up and closes.
    answers = Offer(3, 64 * 1024, 700ms);
    EXPECT_TRUE(answers.empty());
    auto visits = server_->WaitForVisits(2, 2000ms);
    ASSERT_EQ(visits.size(), 2u);
    EXPECT_TRUE(visits[1].acknowledgement.empty());
    for (int i = 0; i < 100 && Counters(3).downloadsFailed.load() == 0; ++i)
    {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(Counters(3).downloadsFailed.load(), 1u);
    EXPECT_EQ(Counters(3).downloadBytes.load(), 32u * 1024);
    EXPECT_TRUE(tool_.Quiet(100ms).empty());

    // 64 KiB at 64 KiB/s after a 16 KiB start: no sooner than 0.75 s.
    const auto offered = Clock::now();
    answers = Offer(4, 64 * 1024);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].result, 1);
    EXPECT_GE(Clock::now() - offered, 700ms);
}

} // namespace
} // namespace quellis::sim::test
