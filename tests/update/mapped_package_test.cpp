// The package as a transfer reads it: 8 MiB windows aligned to 8 MiB, the
// refused starts, and the sender's 64 KiB steps over a real socket.
#include "tests/support/temp_dir.h"
#include "update/mapped_package.h"
#include "update/package_transfer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace quellis::update
{
namespace
{

constexpr std::uint64_t kMiB = 1024 * 1024;

std::string Pattern(std::size_t size)
{
    std::string bytes(size, '\0');
    std::uint32_t state = 99;
    for (char& byte : bytes)
    {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 23);
    }
    return bytes;
}

TEST(MappedPackage, WindowsStartAtMultiplesOf8MiBAndTheLastOneIsShort)
{
    test::TempDir directory;
    const std::string bytes = Pattern(20 * kMiB);
    directory.Write("package", bytes);

    MappedPackage package;
    ASSERT_TRUE(OpenMappedPackage(directory / "package", package));
    EXPECT_EQ(package.size, 20 * kMiB);
    EXPECT_EQ(package.windowStart, 0u);
    ASSERT_NE(package.window, nullptr);
    EXPECT_EQ(package.window[kWindowSize - 1], static_cast<std::uint8_t>(bytes[kWindowSize - 1]));
    for (const std::uint64_t start : { 8 * kMiB, 16 * kMiB })
    {
        package.offset = start;
        AdvanceWindow(package);
        ASSERT_NE(package.window, nullptr);
        EXPECT_EQ(package.windowStart, start);
        EXPECT_EQ(package.window[0], static_cast<std::uint8_t>(bytes[start]));
    }
    // [16 MiB, 20 MiB): its last byte is the file's last.
    EXPECT_EQ(package.window[4 * kMiB - 1], static_cast<std::uint8_t>(bytes.back()));
    EXPECT_TRUE(CloseMappedPackage(package));
    EXPECT_FALSE(package.file.IsOpen());
    EXPECT_EQ(package.window, nullptr);
    EXPECT_EQ(package.offset, 0u);

    // 9 MiB of 10 MiB: the window [8 MiB, 10 MiB), entered 1 MiB in.
    directory.Write("ten", bytes.substr(0, 10 * kMiB));
    MappedPackage resumed;
    resumed.offset = 9 * kMiB;
    ASSERT_TRUE(OpenMappedPackage(directory / "ten", resumed));
    EXPECT_EQ(resumed.windowStart, 8 * kMiB);
    EXPECT_EQ(resumed.window[1 * kMiB], static_cast<std::uint8_t>(bytes[9 * kMiB]));
}

TEST(MappedPackage, RefusesStartsWithNothingToSendAndPathsItCannotRead)
{
    test::TempDir directory;
    directory.Write("small", Pattern(1000));
    directory.Write("empty", "");
    struct Case
    {
        const char* name;
        std::uint64_t offset;
        bool opens;
    };
    const Case cases[] = {
        { "small", 999, true },
        { "small", 1000, false }, // at the end: nothing would ever be sent
        { "small", 5000, false },
        { "empty", 0, true }, // an empty package is sent as nothing at all
        { "empty", 1, false },
        { "missing", 0, false },
        { ".", 0, false }, // the directory itself
    };
    for (const Case& c : cases)
    {
        MappedPackage package;
        package.offset = c.offset;
        EXPECT_EQ(OpenMappedPackage(directory / c.name, package), c.opens) << c.name << " at " << c.offset;
        EXPECT_TRUE(CloseMappedPackage(package));
    }
}

TEST(PackageTransfer, ChunksNeverCrossA64KiBBoundaryByEitherWay)
{
    test::TempDir directory;
    const std::string bytes = Pattern(200 * 1024);
    directory.Write("package", bytes);
    for (const bool sendFile : { true, false })
    {
        net::Socket listening = net::Socket::Create(net::SocketKind::Tcp);
        ASSERT_TRUE(listening.Bind({ 0x7F000001, 0 }));
        ASSERT_TRUE(listening.Listen(1));
        net::Socket machine = net::Socket::Create(net::SocketKind::Tcp);
        ASSERT_TRUE(machine.Connect(*listening.LocalEndpoint()));
        ASSERT_TRUE(machine.SetReceiveBuffer(1 << 20));

        UpdateTransfer transfer;
        transfer.connection = std::make_unique<UpdateConnection>();
        transfer.connection->socket = listening.Accept();
        ASSERT_TRUE(transfer.connection->socket.SetSendBuffer(1 << 20));
        transfer.sendFile = sendFile;
        transfer.package.offset = 100;
        ASSERT_TRUE(OpenMappedPackage(directory / "package", transfer.package));
        std::vector<std::uint64_t> offsets;
        while (transfer.state.load() != TransferState::Complete)
        {
            ASSERT_EQ(SendNextChunk(transfer), 1);
            offsets.push_back(transfer.package.offset);
        }
        EXPECT_EQ(offsets, (std::vector<std::uint64_t> { 65536, 131072, 196608, 204800 })) << sendFile;

        std::string received(bytes.size() - 100, '\0');
        std::size_t got = 0;
        while (got < received.size())
        {
            const int n = machine.Receive(received.data() + got, received.size() - got);
            ASSERT_GT(n, 0);
            got += static_cast<std::size_t>(n);
        }
        EXPECT_TRUE(received == bytes.substr(100)) << sendFile;
        // A closed package sends nothing more.
        CloseMappedPackage(transfer.package);
        EXPECT_EQ(SendNextChunk(transfer), 0);
    }
}

} // namespace
} // namespace quellis::update
