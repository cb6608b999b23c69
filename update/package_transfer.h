#pragma once

#include "platform/files/file_info.h"
#include "platform/net/socket.h"
#include "update/mapped_package.h"
#include "update/tlist.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// One machine's connection to the package server, and its download.

namespace quellis::update
{

// An accepted connection whose request has not arrived yet.
struct UpdateConnection : TLink
{
    net::Socket socket;
    net::Endpoint peer;
    std::chrono::steady_clock::time_point accepted;
    // Shut down by the server (idle too long, or the oldest when too many
    // wait): its close notification, which the shutdown brings, frees it.
    bool closing = false;
};

enum class TransferState
{
    None,
    Sending,
    Complete,
    Failed,
};

// How often a transfer's sender looks at it, and how many rounds without its
// socket ever becoming ready end a transfer that makes no progress.
struct TransferTiming
{
    std::chrono::milliseconds round { 1000 };
    int idleRounds = 180;
};

// What a transfer waits for after its sender has served it.
enum class TransferStep
{
    Writable, // sending: the socket took all it could
    Again, // sending: the turn's budget is spent and the socket may take more
    Readable, // all sent: the machine's acknowledgement or its close
    Succeeded,
    Failed,
};

struct UpdateTransfer : TLink
{
    // Set by the server before the hand-off, then read by both.
    std::unique_ptr<UpdateConnection> connection;
    int command = 0;
    std::uint32_t packetNumber = 0;
    std::string name;
    files::FileInfo info;
    bool isDirectory = false;

    // Owned by the sender thread from the hand-off until `ended` is set.
    MappedPackage package;
    // The bytes go by sendfile until the file or socket refuses it, then
    // from the mapped window.
    bool sendFile = true;
    bool acknowledging = false;
    // Rounds in a row without the socket becoming ready for what it waits for.
    int idle = 0;
    bool readyThisRound = false;
    std::size_t slot = 0; // in its sender's list
    bool again = false; // in its sender's list of transfers to serve again at once

    // The server's: which sender carries it.
    std::size_t sender = 0;

    // The sender serves it while set; cleared by the server to stop it (with
    // the socket shut down, so that the sender hears of it at once).
    std::atomic<bool> run { false };
    std::atomic<TransferState> state { TransferState::None };
    // Set by the sender just before it posts the close notification; it
    // touches nothing of the transfer afterwards.
    std::atomic<bool> ended { false };
};

// The next bytes up to the next 64 KiB boundary of the file, as many as the
// socket takes now. 1 to go on (also when it took none), 0 on a send error or
// when the bytes are gone (file cut short, window not mapped).
[[nodiscard]] int SendNextChunk(UpdateTransfer& transfer);

// The sender, when the socket is ready for what the transfer waits for (and
// once when it takes the transfer over): chunk after chunk while the socket
// takes them, up to about `budget` bytes, then, once the last byte is out,
// the machine's acknowledgement (up to 4 bytes) or its close. Nothing is
// sent for a directory request, and an empty package needs no
// acknowledgement.
[[nodiscard]] TransferStep AdvanceTransfer(UpdateTransfer& transfer, std::uint64_t budget);

} // namespace quellis::update
