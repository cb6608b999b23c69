// The package server against real loopback sockets, driven by the fake
// window's socket notifications as the dialog drives it: the request table,
// packages of every awkward size from any offset by both ways of sending,
// and machines (or anything else on the LAN) that misbehave.
#include "resources/templates/main_dialog_ids.h"
#include "tests/support/fake_window.h"
#include "tests/support/temp_dir.h"
#include "update/package_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

namespace quellis::update
{
namespace
{

using namespace std::chrono_literals;
using resources::kTimerPackageServer;
using resources::kWmTcpSocket;

constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr std::uint64_t kMiB = 1024 * 1024;

std::string Pattern(std::size_t size, std::uint32_t seed = 7)
{
    std::string bytes(size, '\0');
    for (char& byte : bytes)
    {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<char>(seed >> 24);
    }
    return bytes;
}

int Count(const char* directory)
{
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory))
    {
        ++count;
    }
    return count;
}

int OpenDescriptors()
{
    return Count("/proc/self/fd");
}

// What a machine got: the bytes, and whether the server closed the stream.
struct Received
{
    std::string bytes;
    bool closed = false;
};

class PackageServerTest : public testing::Test
{
protected:
    void StartServer(PackageServerLimits limits = {})
    {
        listening_ = net::Socket::Create(net::SocketKind::Tcp);
        ASSERT_TRUE(listening_.Bind({ kLoopback, 0 }));
        ASSERT_TRUE(listening_.Listen(5));
        server_ = std::make_unique<PackageServer>(
            listening_, window_.Window().messages, window_.Window().log, kWmTcpSocket, kTimerPackageServer, limits);
        window_.SetMessageHandler(
            [this](std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
            {
                ASSERT_EQ(message, kWmTcpSocket);
                server_->OnSocketEvent(static_cast<int>(wParam), lParam & 0xFFFF, static_cast<int>(lParam >> 16));
            });
        ASSERT_TRUE(window_.SelectSocket(listening_.Handle(), kWmTcpSocket, core::kFdAccept | core::kFdClose));
        server_->Start();
        baseline_ = OpenDescriptors();
    }

    ~PackageServerTest() override
    {
        if (server_)
        {
            server_->Stop();
        }
        window_.SetMessageHandler({});
    }

    net::Socket Connect(int receiveBuffer = 0)
    {
        net::Socket socket = net::Socket::Create(net::SocketKind::Tcp);
        if (receiveBuffer > 0)
        {
            EXPECT_TRUE(socket.SetReceiveBuffer(receiveBuffer));
        }
        EXPECT_TRUE(socket.Connect(*listening_.LocalEndpoint()));
        EXPECT_TRUE(socket.SetReceiveTimeout(20s));
        return socket;
    }

    // A machine on its own thread: the request, the bytes until `expected`
    // have come or the server closes, then its acknowledgement and the close.
    std::future<Received> Download(const std::string& request, std::size_t expected)
    {
        return std::async(std::launch::async,
            [this, request, expected, socket = Connect()]() mutable
            {
                Received received;
                EXPECT_EQ(socket.Send(request.data(), request.size()), static_cast<int>(request.size()));
                std::string buffer(256 * 1024, '\0');
                while (received.bytes.size() < expected)
                {
                    const int got
                        = socket.Receive(buffer.data(), std::min(buffer.size(), expected - received.bytes.size()));
                    if (got <= 0)
                    {
                        received.closed = true;
                        return received;
                    }
                    received.bytes.append(buffer.data(), static_cast<std::size_t>(got));
                }
                [[maybe_unused]] const int acknowledged = socket.Send("done", 4);
                char rest = 0;
                received.closed = socket.Receive(&rest, 1) <= 0;
                return received;
            });
    }

    Received Wait(std::future<Received>& download)
    {
        EXPECT_TRUE(window_.WaitFor([&] { return download.wait_for(0s) == std::future_status::ready; }, 30000));
        return download.get();
    }

    bool Idle()
    {
        return window_.WaitFor([&]
            { return server_->PendingCount() == 0 && server_->ActiveCount() == 0 && OpenDescriptors() == baseline_; },
            10000);
    }

    std::size_t UploadedLines() const
    {
        std::size_t count = 0;
        for (const auto& line : window_.LogLines())
        {
            count += line.text == servertext::kUploaded ? 1 : 0;
        }
        return count;
    }

    test::TempDir directory_;
    test::FakeWindow window_;
    net::Socket listening_;
    std::unique_ptr<PackageServer> server_;
    int baseline_ = 0;
};

TEST_F(PackageServerTest, ServesTheRequestTableOverARealSocket)
{
    StartServer();
    const std::string package = Pattern(5 * kMiB);
    directory_.Write("package.tar.gz", package);

    // Before any package is chosen a machine is closed at once.
    auto early = Download("1:10:x:96:0", package.size());
    Received got = Wait(early);
    EXPECT_TRUE(got.closed);
    EXPECT_TRUE(got.bytes.empty());

    server_->SetServedPath((directory_ / "package.tar.gz").string());
    struct Case
    {
        const char* request;
        std::int64_t offset; // -1: closed without a byte
    };
    const Case cases[] = {
        { "1:10:x:96:400000", 4 * kMiB },
        { "1:10:x:352:0", 0 }, // 352 has the low byte 96
        { "::1::10:x:96:0", 0 },
        { "2:10:x:96:0", -1 },
        { "1:10:x:97:0", -1 },
        { "1:10:x:96", -1 },
        { "1:10:x:96:500000", -1 }, // the package's end: nothing to send
        { "1:10:x:96:fffffffffffff", -1 },
        { "1:10:x:98", -1 }, // accepted, nothing sent, ends as failed
    };
    for (const Case& c : cases)
    {
        auto download = Download(c.request, c.offset < 0 ? 1 : package.size() - static_cast<std::size_t>(c.offset));
        got = Wait(download);
        EXPECT_TRUE(got.closed) << c.request;
        if (c.offset < 0)
        {
            EXPECT_TRUE(got.bytes.empty()) << c.request;
        }
        else
        {
            EXPECT_TRUE(got.bytes == package.substr(static_cast<std::size_t>(c.offset))) << c.request;
        }
    }
    // A directory as the package: only the directory request is taken, and sends nothing.
    server_->SetServedPath(directory_.Path().string());
    for (const char* request : { "1:10:x:96:0", "1:10:x:98" })
    {
        auto download = Download(request, 1);
        got = Wait(download);
        EXPECT_TRUE(got.closed && got.bytes.empty()) << request;
    }
    ASSERT_TRUE(Idle());
    // One line per transfer that ended: three served, two directory requests.
    EXPECT_EQ(UploadedLines(), 5u);
}

TEST_F(PackageServerTest, PackagesOfEveryAwkwardSizeArriveByteForByteFromAnyOffset)
{
    const std::size_t sizes[]
        = { 0, 1, 65535, 65536, 65537, 8 * kMiB - 1, 8 * kMiB, 8 * kMiB + 1, 20 * kMiB, 10 * kMiB };
    for (const bool sendFile : { true, false })
    {
        PackageServerLimits limits;
        limits.sendFile = sendFile;
        StartServer(limits);
        for (std::size_t i = 0; i < std::size(sizes); ++i)
        {
            const std::string name = "package" + std::to_string(i);
            const std::string package = Pattern(sizes[i], static_cast<std::uint32_t>(i));
            directory_.Write(name, package);
            server_->SetServedPath((directory_ / name).string());
            // The last one resumes at 9 MiB of 10 MiB: the window [8, 10) MiB, entered 1 MiB in.
            const std::size_t offset = sizes[i] == 10 * kMiB ? 9 * kMiB : 0;
            char request[64];
            std::snprintf(request, sizeof request, "1:%zx:machine:96:%zx", i, offset);
            auto download = Download(request, package.size() - offset);
            const Received got = Wait(download);
            const std::string way = sendFile ? " by sendfile" : " from the window";
            EXPECT_TRUE(got.closed) << sizes[i] << way;
            EXPECT_EQ(got.bytes.size(), package.size() - offset) << sizes[i] << way;
            EXPECT_TRUE(got.bytes == package.substr(offset)) << sizes[i] << way;
        }
        ASSERT_TRUE(Idle());
        server_->Stop();
        server_.reset();
    }
}

// Closes with a reset instead of an orderly close.
void Reset(net::Socket& socket)
{
    const linger abort { 1, 0 };
    setsockopt(socket.Handle(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    const int handle = socket.Release();
    close(handle);
}

TEST_F(PackageServerTest, MisbehavingConnectionsEndAloneAndGiveEverythingBack)
{
    PackageServerLimits limits;
    limits.transfer.round = 10ms; // 180 idle rounds: 1.8 s
    StartServer(limits);
    const std::string package = Pattern(8 * kMiB + 3);
    directory_.Write("package", package);
    server_->SetServedPath((directory_ / "package").string());

    // A machine that stops reading after its request, and one reset half-way.
    net::Socket stalled = Connect(64 * 1024);
    ASSERT_EQ(stalled.Send("1:1:s:96:0", 10), 10);
    net::Socket resetMidway = Connect(64 * 1024);
    ASSERT_EQ(resetMidway.Send("1:2:r:96:0", 10), 10);
    std::string buffer(kMiB, '\0');
    for (std::size_t got = 0; got < kMiB;)
    {
        ASSERT_TRUE(window_.WaitFor([&] { return resetMidway.WaitReadable(0ms) == net::PollResult::Ready; }));
        const int n = resetMidway.Receive(buffer.data(), kMiB - got);
        ASSERT_GT(n, 0);
        got += static_cast<std::size_t>(n);
    }
    Reset(resetMidway);
    // Meanwhile an ordinary machine.
    auto ordinary = Download("1:3:o:96:0", package.size());

    // Requests no server can take: too long (only 259 bytes are read), binary,
    // and one whose first piece is read alone.
    const std::string tooLong = "1:4:" + std::string(300, 'n') + ":96:0";
    std::string binary = Pattern(200, 3);
    for (const std::string& request : { tooLong, binary })
    {
        net::Socket socket = Connect();
        ASSERT_EQ(socket.Send(request.data(), request.size()), static_cast<int>(request.size()));
        ASSERT_TRUE(window_.WaitFor([&] { return socket.WaitReadable(0ms) == net::PollResult::Ready; }));
        char byte = 0;
        EXPECT_LE(socket.Receive(&byte, 1), 0) << "closed without a byte";
    }
    net::Socket pieces = Connect();
    ASSERT_EQ(pieces.Send("1:5:p:9", 7), 7);
    ASSERT_TRUE(window_.WaitFor([&] { return pieces.WaitReadable(0ms) == net::PollResult::Ready; }));
    [[maybe_unused]] const int late = pieces.Send("6:0", 3);
    char byte = 0;
    EXPECT_LE(pieces.Receive(&byte, 1), 0) << "\"1:5:p:9\" was the request";
    pieces.Close();

    // Reset before any request, and just after the request.
    net::Socket silent = Connect();
    ASSERT_TRUE(window_.WaitFor([&] { return server_->PendingCount() == 1; }));
    Reset(silent);
    net::Socket resetAtOnce = Connect();
    ASSERT_EQ(resetAtOnce.Send("1:6:a:96:0", 10), 10);
    Reset(resetAtOnce);

    const Received got = Wait(ordinary);
    EXPECT_TRUE(got.bytes == package) << "the other transfers go on";
    // The stalled one ends after its idle rounds; then everything is given back.
    ASSERT_TRUE(window_.WaitFor([&] { return server_->ActiveCount() == 0; }, 10000));
    stalled.Close();
    EXPECT_TRUE(Idle());
    EXPECT_EQ(server_->EndingCount(), 0u);
    EXPECT_FALSE(window_.TimerPeriod(kTimerPackageServer)) << "no timer once nothing waits for its request";
}

// The server's end of the connection whose local end is `client`: the
// accepted socket whose peer that is.
int ServerSideOf(const net::Socket& client)
{
    const auto local = client.LocalEndpoint();
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    {
        const int fd = std::stoi(entry.path().filename().string());
        sockaddr_in peer {};
        socklen_t length = sizeof peer;
        if (local && getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 && peer.sin_family == AF_INET
            && ntohl(peer.sin_addr.s_addr) == local->address && ntohs(peer.sin_port) == local->port)
        {
            return fd;
        }
    }
    return -1;
}

TEST_F(PackageServerTest, AClosedTransferKeepsItsSocketNumberUntilItsSenderLetsGo)
{
    PackageServerLimits limits;
    limits.transfer.round = 10ms;
    limits.transfer.idleRounds = 1000; // 10 s: the machine below never reads
    StartServer(limits);
    directory_.Write("package", Pattern(8 * kMiB));
    server_->SetServedPath((directory_ / "package").string());
    net::Socket machine = Connect(64 * 1024);
    ASSERT_EQ(machine.Send("1:1:s:96:0", 10), 10);
    ASSERT_TRUE(window_.WaitFor([&] { return server_->ActiveCount() == 1; }));
    const int socket = ServerSideOf(machine);
    ASSERT_GE(socket, 0);

    // A close notification that was on its way when the transfer was taken
    // over (the machine went as its request arrived) reaches the server
    // while the sender still carries the transfer.
    server_->OnSocketEvent(socket, core::kFdClose, 0);
    EXPECT_EQ(server_->ActiveCount(), 0u);
    EXPECT_EQ(server_->EndingCount(), 1u);
    EXPECT_NE(fcntl(socket, F_GETFD), -1) << "the number is still the server's: no newer connection can get it";
    ASSERT_TRUE(window_.WaitFor([&] { return machine.WaitReadable(0ms) == net::PollResult::Ready; }))
        << "shut down: the machine and the sender hear of it at once";

    // The sender's own close frees it; only then is the number given back.
    ASSERT_TRUE(window_.WaitFor([&] { return server_->EndingCount() == 0; }));
    EXPECT_EQ(fcntl(socket, F_GETFD), -1);
    machine.Close();
    EXPECT_TRUE(Idle());
}

// A machine that goes in the middle of a download makes sendfile raise
// SIGPIPE; the server must not need the process to ignore it (the test
// programs do, as the tool's mains do). In a child process that takes the
// default action: end the process.
TEST_F(PackageServerTest, AMachineGoneMidDownloadRaisesNoSignalThatEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto goneMidDownload = [this]
    {
        std::signal(SIGPIPE, SIG_DFL);
        StartServer();
        directory_.Write("package", Pattern(16 * kMiB));
        server_->SetServedPath((directory_ / "package").string());
        for (int machine = 0; machine < 4; ++machine)
        {
            net::Socket socket = Connect(64 * 1024);
            if (socket.Send("1:1:g:96:0", 10) != 10 || !window_.WaitFor([&] { return server_->ActiveCount() == 1; }))
            {
                std::exit(2);
            }
            char byte = 0;
            [[maybe_unused]] const int got = socket.Receive(&byte, 1);
            // Its half closed first, then the rest reset with bytes unread:
            // the server's next send meets a connection the peer has left.
            shutdown(socket.Handle(), SHUT_WR);
            std::this_thread::sleep_for(20ms);
            Reset(socket);
            if (!window_.WaitFor([&] { return server_->ActiveCount() == 0; }, 10000))
            {
                std::exit(3);
            }
        }
        server_->Stop();
        std::exit(0);
    };
    EXPECT_EXIT(goneMidDownload(), testing::ExitedWithCode(0), "");
}

TEST_F(PackageServerTest, APackageCutShortOrReplacedDuringATransfer)
{
    for (const bool sendFile : { true, false })
    {
        PackageServerLimits limits;
        limits.sendFile = sendFile;
        StartServer(limits);
        const std::string package = Pattern(20 * kMiB, sendFile ? 1 : 2);
        directory_.Write("cut", package);
        directory_.Write("replaced", package);

        // Two machines with small buffers, so that little is in flight: each
        // reads 1 MiB, waits until the files have changed, then reads on.
        std::promise<void> changed;
        std::shared_future<void> go = changed.get_future().share();
        const auto machine = [&](const char* name, const char* request, std::promise<void>& halfway)
        {
            server_->SetServedPath((directory_ / name).string());
            net::Socket socket = Connect(64 * 1024);
            EXPECT_EQ(socket.Send(request, std::strlen(request)), static_cast<int>(std::strlen(request)));
            // Taken before the served path changes again.
            EXPECT_TRUE(window_.WaitFor([&] { return server_->PendingCount() == 0 && server_->ActiveCount() > 0; }));
            return std::async(std::launch::async,
                [&halfway, go, socket = std::move(socket)]() mutable
                {
                    std::string bytes;
                    std::string buffer(256 * 1024, '\0');
                    for (;;)
                    {
                        const int n = socket.Receive(buffer.data(), buffer.size());
                        if (n <= 0)
                        {
                            return bytes;
                        }
                        bytes.append(buffer.data(), static_cast<std::size_t>(n));
                        if (bytes.size() >= kMiB && bytes.size() - static_cast<std::size_t>(n) < kMiB)
                        {
                            halfway.set_value();
                            go.wait();
                        }
                        if (bytes.size() == 20 * kMiB)
                        {
                            [[maybe_unused]] const int acknowledged = socket.Send("done", 4);
                        }
                    }
                });
        };
        std::promise<void> cutHalfway;
        std::promise<void> replacedHalfway;
        auto cutReader = machine("cut", "1:1:c:96:0", cutHalfway);
        auto replacedReader = machine("replaced", "1:2:r:96:0", replacedHalfway);
        auto cutAt = cutHalfway.get_future();
        auto replacedAt = replacedHalfway.get_future();
        ASSERT_TRUE(window_.WaitFor(
            [&] {
                return cutAt.wait_for(0s) == std::future_status::ready
                    && replacedAt.wait_for(0s) == std::future_status::ready;
            }));

        // Cut to 4 MiB in place; the other one renamed over with new contents.
        std::filesystem::resize_file(directory_ / "cut", 4 * kMiB);
        directory_.Write("new", Pattern(20 * kMiB, 9));
        std::filesystem::rename(directory_ / "new", directory_ / "replaced");
        changed.set_value();

        ASSERT_TRUE(window_.WaitFor(
            [&]
            {
                return cutReader.wait_for(0s) == std::future_status::ready
                    && replacedReader.wait_for(0s) == std::future_status::ready;
            },
            20000));
        const std::string cut = cutReader.get();
        const std::string replaced = replacedReader.get();
        const std::string way = sendFile ? "by sendfile" : "from the window";
        EXPECT_EQ(cut.size(), 4 * kMiB) << "the transfer fails at the new end, " << way;
        EXPECT_TRUE(cut == package.substr(0, cut.size())) << way;
        EXPECT_TRUE(replaced == package) << "the old contents to the end, " << way;
        ASSERT_TRUE(window_.WaitFor([&] { return server_->ActiveCount() == 0; }));
        EXPECT_TRUE(Idle()) << way;
        server_->Stop();
        server_.reset();
    }
}

TEST_F(PackageServerTest, ConnectionsThatSendNothingAreClosedInTimeAndTheOldestMakeRoom)
{
    PackageServerLimits limits;
    limits.requestWait = 300ms;
    limits.maxPending = 3;
    StartServer(limits);
    std::vector<net::Socket> idle;
    for (int i = 0; i < 5; ++i)
    {
        idle.push_back(Connect());
        ASSERT_TRUE(window_.WaitFor([&] { return server_->PendingCount() >= std::min<std::size_t>(i + 1, 3); }));
    }
    const auto closedByServer = [&](net::Socket& socket) { return socket.WaitReadable(0ms) == net::PollResult::Ready; };
    // Two over the limit: the two oldest are closed.
    ASSERT_TRUE(window_.WaitFor([&] { return closedByServer(idle[0]) && closedByServer(idle[1]); }));
    EXPECT_FALSE(closedByServer(idle[4]));
    EXPECT_EQ(window_.TimerPeriod(kTimerPackageServer).value_or(0), 150);

    std::this_thread::sleep_for(limits.requestWait);
    server_->OnTimer();
    ASSERT_TRUE(window_.WaitFor(
        [&] { return std::all_of(idle.begin(), idle.end(), closedByServer) && server_->PendingCount() == 0; }));
    EXPECT_FALSE(window_.TimerPeriod(kTimerPackageServer)) << "no timer while nothing waits";
    EXPECT_EQ(UploadedLines(), 0u) << "closed by the server without a request: nothing was uploaded";
    idle.clear();
    EXPECT_TRUE(Idle());
}

// The request for the whole package from `offset`.
std::string RequestFrom(std::size_t machine, std::size_t offset)
{
    char request[64];
    std::snprintf(request, sizeof request, "1:%zx:m:96:%zx", machine, offset);
    return request;
}

TEST_F(PackageServerTest, ManyDownloadsShareTwoSendersAndNoneWaitsForAMachineThatStoppedReading)
{
    PackageServerLimits limits;
    limits.senders = 2;
    StartServer(limits);
    const std::string package = Pattern(2 * kMiB + 7);
    directory_.Write("package", package);
    server_->SetServedPath((directory_ / "package").string());
    const int threadsBefore = Count("/proc/self/task");

    // Every eighth machine reads nothing: its transfer fills the socket and
    // waits on the same two senders as the others, which one thread reads
    // all at once, from offsets on and off the 64 KiB boundaries.
    constexpr std::size_t kMachines = 64;
    std::vector<net::Socket> stalled;
    std::vector<net::Socket> readers;
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < kMachines; ++i)
    {
        net::Socket socket = Connect(64 * 1024);
        const std::size_t offset = i * 65535 % package.size();
        const std::string request = RequestFrom(i, offset);
        ASSERT_EQ(socket.Send(request.data(), request.size()), static_cast<int>(request.size()));
        if (i % 8 == 0)
        {
            stalled.push_back(std::move(socket));
            continue;
        }
        offsets.push_back(offset);
        readers.push_back(std::move(socket));
    }
    auto reading = std::async(std::launch::async,
        [&]
        {
            std::vector<std::string> got(readers.size());
            std::vector<bool> closed(readers.size(), false);
            std::string buffer(256 * 1024, '\0');
            for (std::size_t open = readers.size(); open > 0;)
            {
                std::vector<pollfd> waits;
                for (std::size_t i = 0; i < readers.size(); ++i)
                {
                    waits.push_back({ closed[i] ? -1 : readers[i].Handle(), POLLIN, 0 });
                }
                if (poll(waits.data(), waits.size(), 20000) <= 0)
                {
                    break;
                }
                for (std::size_t i = 0; i < readers.size(); ++i)
                {
                    if (waits[i].revents == 0)
                    {
                        continue;
                    }
                    const int n = readers[i].Receive(buffer.data(), buffer.size());
                    if (n > 0)
                    {
                        got[i].append(buffer.data(), static_cast<std::size_t>(n));
                        if (got[i].size() == package.size() - offsets[i])
                        {
                            EXPECT_EQ(readers[i].Send("done", 4), 4);
                        }
                        continue;
                    }
                    closed[i] = true;
                    --open;
                }
            }
            return got;
        });
    int mostThreads = 0;
    ASSERT_TRUE(window_.WaitFor(
        [&]
        {
            mostThreads = std::max(mostThreads, Count("/proc/self/task"));
            return reading.wait_for(0s) == std::future_status::ready;
        },
        30000));
    const std::vector<std::string> got = reading.get();
    for (std::size_t i = 0; i < readers.size(); ++i)
    {
        EXPECT_TRUE(got[i] == package.substr(offsets[i])) << "machine at " << offsets[i] << ": " << got[i].size();
    }
    EXPECT_EQ(server_->SenderThreads(), 2u);
    EXPECT_LE(mostThreads, threadsBefore + 1) << "the reader and the two senders, not a thread per machine";
    EXPECT_EQ(server_->ActiveCount(), stalled.size()) << "the stalled ones still wait for room";

    // Their machines go away with bytes unread: their sends fail at once.
    stalled.clear();
    readers.clear();
    EXPECT_TRUE(Idle());
    EXPECT_EQ(UploadedLines(), kMachines);
}

TEST_F(PackageServerTest, StopWithTransfersInFlightJoinsTheSendersAndClosesEverything)
{
    // A sanitizer runtime starts a thread of its own with the process's
    // first thread: one made and joined first keeps it out of the count.
    std::thread([] {}).join();
    const int threadsBefore = Count("/proc/self/task");
    StartServer();
    const std::string package = Pattern(20 * kMiB);
    directory_.Write("package", package);
    server_->SetServedPath((directory_ / "package").string());
    std::vector<net::Socket> machines;
    for (int i = 0; i < 3; ++i)
    {
        machines.push_back(Connect(64 * 1024));
        ASSERT_EQ(machines.back().Send("1:1:s:96:0", 10), 10); // and never read
    }
    machines.push_back(Connect()); // and never ask
    // Two that keep reading, slowly, while the server stops: each gets a
    // prefix of the package from its offset, then the close.
    std::atomic<std::size_t> flowingBytes[2] = { 0, 0 };
    std::vector<std::future<std::string>> flowing;
    for (std::size_t i = 0; i < 2; ++i)
    {
        net::Socket socket = Connect(64 * 1024);
        const std::string request = RequestFrom(i, i * kMiB);
        ASSERT_EQ(socket.Send(request.data(), request.size()), static_cast<int>(request.size()));
        flowing.push_back(std::async(std::launch::async,
            [&counted = flowingBytes[i], socket = std::move(socket)]() mutable
            {
                std::string bytes;
                std::string buffer(64 * 1024, '\0');
                for (int n = 0; (n = socket.Receive(buffer.data(), buffer.size())) > 0;)
                {
                    bytes.append(buffer.data(), static_cast<std::size_t>(n));
                    counted = bytes.size();
                    std::this_thread::sleep_for(5ms);
                }
                return bytes;
            }));
    }
    ASSERT_TRUE(window_.WaitFor(
        [&]
        {
            return server_->ActiveCount() == 5 && server_->PendingCount() == 1 && flowingBytes[0] > kMiB
                && flowingBytes[1] > kMiB;
        }));
    ASSERT_LE(Count("/proc/self/task"), threadsBefore + 2 + static_cast<int>(server_->SenderThreads()));

    server_->Stop();
    const std::size_t posted = window_.PostedMessages().size();
    EXPECT_EQ(server_->ActiveCount(), 0u);
    EXPECT_EQ(server_->PendingCount(), 0u);
    EXPECT_EQ(server_->EndingCount(), 0u);
    for (std::size_t i = 0; i < flowing.size(); ++i)
    {
        ASSERT_EQ(flowing[i].wait_for(20s), std::future_status::ready) << "closed by the stop";
        const std::string got = flowing[i].get();
        EXPECT_LT(got.size(), package.size() - i * kMiB) << "stopped in flight";
        EXPECT_TRUE(got == package.substr(i * kMiB, got.size()));
    }
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(window_.PostedMessages().size(), posted);
    EXPECT_TRUE(window_.WaitFor([&] { return Count("/proc/self/task") == threadsBefore; })) << "the senders are joined";
    machines.clear();
    EXPECT_TRUE(window_.WaitFor([&] { return OpenDescriptors() == baseline_; }));
}

} // namespace
} // namespace quellis::update
