#include "update/package_transfer.h"

#include "platform/net/wsa_error.h"
#include "update/package_request.h"

#include <algorithm>

namespace quellis::update
{

namespace
{

// No send crosses a 64 KiB boundary of the file, so none crosses a window.
constexpr std::uint64_t kChunkSize = 64 * 1024;
constexpr std::size_t kAcknowledgementBytes = 4;

// Bytes from the mapped window; false on a send error. The system copies from
// the mapping itself: a page the file no longer has is a failed send (a bad
// address), never a fault in the program.
bool SendFromWindow(UpdateTransfer& transfer, std::uint64_t wanted, std::uint64_t& sent)
{
    MappedPackage& package = transfer.package;
    if (package.window == nullptr)
    {
        return false;
    }
    const std::uint8_t* from = package.window + (package.offset - package.windowStart);
    const int result = transfer.connection->socket.Send(from, static_cast<std::size_t>(wanted));
    if (result == net::kSocketError)
    {
        sent = 0;
        return net::WsaGetLastError() == net::kWsaWouldBlock;
    }
    sent = static_cast<std::uint64_t>(result);
    return true;
}

bool SendFromFile(UpdateTransfer& transfer, std::uint64_t wanted, std::uint64_t& sent)
{
    MappedPackage& package = transfer.package;
    std::size_t taken = 0;
    switch (package.file.SendTo(
        transfer.connection->socket.Handle(), package.offset, static_cast<std::size_t>(wanted), taken))
    {
    case files::MappedFile::SendStatus::Sent:
        sent = taken;
        return true;
    case files::MappedFile::SendStatus::WouldBlock:
        sent = 0;
        return true;
    case files::MappedFile::SendStatus::Unsupported:
        transfer.sendFile = false;
        return SendFromWindow(transfer, wanted, sent);
    case files::MappedFile::SendStatus::FileEnded:
    case files::MappedFile::SendStatus::Failed:
        break;
    }
    return false;
}

} // namespace

int SendNextChunk(UpdateTransfer& transfer)
{
    MappedPackage& package = transfer.package;
    if (!package.file.IsOpen())
    {
        return 0;
    }
    std::uint64_t sent = 0;
    if (package.offset < package.size)
    {
        const std::uint64_t wanted = std::min(package.size - package.offset, kChunkSize - package.offset % kChunkSize);
        const bool ok
            = transfer.sendFile ? SendFromFile(transfer, wanted, sent) : SendFromWindow(transfer, wanted, sent);
        if (!ok)
        {
            return 0;
        }
    }
    package.offset += sent;
    if (package.offset == package.size)
    {
        transfer.state = TransferState::Complete;
    }
    else if (sent > 0 && package.offset % kWindowSize == 0)
    {
        AdvanceWindow(package);
    }
    return 1;
}

TransferStep AdvanceTransfer(UpdateTransfer& transfer, std::uint64_t budget)
{
    // Nothing is sent for a directory request.
    if (transfer.command == REQ_DIRECTORY)
    {
        return TransferStep::Failed;
    }
    if (!transfer.acknowledging)
    {
        // Chunk after chunk until the socket takes none: its sender hears
        // again only when the socket has room again.
        const std::uint64_t start = transfer.package.offset;
        for (;;)
        {
            const std::uint64_t before = transfer.package.offset;
            if (SendNextChunk(transfer) == 0)
            {
                return TransferStep::Failed;
            }
            if (transfer.state.load() == TransferState::Complete)
            {
                if (transfer.package.size == 0)
                {
                    return TransferStep::Succeeded;
                }
                // The acknowledgement is waited for from now on, also when
                // it came while the last bytes were going out.
                transfer.acknowledging = true;
                return TransferStep::Readable;
            }
            if (transfer.package.offset == before)
            {
                return TransferStep::Writable;
            }
            if (transfer.package.offset - start >= budget)
            {
                return TransferStep::Again;
            }
        }
    }
    char acknowledgement[kAcknowledgementBytes];
    const int got = transfer.connection->socket.Receive(acknowledgement, sizeof acknowledgement);
    if (got >= 0)
    {
        return TransferStep::Succeeded; // the machine's word or its close
    }
    return net::WsaGetLastError() == net::kWsaWouldBlock ? TransferStep::Readable : TransferStep::Failed;
}

} // namespace quellis::update
