#pragma once

#include "platform/files/file_info.h"
#include "platform/net/socket.h"
#include "platform/sync/thread.h"
#include "update/mapped_package.h"
#include "update/tlist.h"

#include <atomic>
#include <chrono>
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

// Each round's wait, and how many rounds without the socket ever being ready
// end a transfer that makes no progress.
struct TransferTiming
{
    std::chrono::milliseconds round { 1000 };
    int idleRounds = 180;
};

struct UpdateTransfer : TLink
{
    std::unique_ptr<UpdateConnection> connection;
    int command = 0;
    std::uint32_t packetNumber = 0;
    std::string name;
    files::FileInfo info;
    bool isDirectory = false;
    MappedPackage package;
    sync::Thread worker;
    // The worker runs its rounds while set; cleared to stop it (with the
    // socket shut down, so that a waiting round ends at once).
    std::atomic<bool> run { false };
    std::atomic<TransferState> state { TransferState::None };
    // Set by the worker just before it posts its close notification.
    std::atomic<bool> ended { false };
    // The bytes go by sendfile until the file or socket refuses it, then
    // from the mapped window.
    bool sendFile = true;
};

// Worker thread: the next bytes up to the next 64 KiB boundary of the file,
// as many as the socket takes now. 1 to go on (also when it took none),
// 0 on a send error or when the bytes are gone (file cut short, window not
// mapped).
[[nodiscard]] int SendNextChunk(UpdateTransfer& transfer);

// The transfer worker's rounds: sends the package from its start offset, then
// waits for the machine's acknowledgement (up to 4 bytes, or its close).
// Returns true on success. The caller sets `state` and posts the end.
[[nodiscard]] bool RunTransfer(UpdateTransfer& transfer, const TransferTiming& timing);

} // namespace quellis::update
