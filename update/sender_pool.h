#pragma once

#include "core/window.h"
#include "update/package_transfer.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// The package server's senders: a few threads carry every transfer, however
// many machines download at once. Each sender waits on the sockets of its own
// transfers (net::Poller, no descriptor-number limit) and serves those that
// are ready, each a turn of at most 1 MiB before the next ready one; once per
// round it ends the transfers that were stopped or have had too many idle
// rounds. A transfer belongs to one sender from the hand-off to its end,
// which the sender announces by posting the close notification for the
// transfer's socket; the server then frees it on its own thread.
//
// Four senders per core, at least 4 and at most 16. A sender is busy for the
// whole of a send: while the system copies from the page cache, waits on a
// page of the package that has to come from the disk, or (on a local link)
// runs the receiving side's network stack as well; the others go on
// meanwhile. Measured on two cores with 100 machines downloading at once: 2
// senders carried 3.3 GB/s, 8 carried 5.7 GB/s, 16 no more (5.2 GB/s).

namespace quellis::update
{

class SenderPool
{
public:
    // A transfer's end is posted to `messages` as `message` (wParam the
    // socket, lParam kFdClose). `threads` 0: four per core, 4 to 16.
    SenderPool(core::WindowMessages& messages, std::uint32_t message, TransferTiming timing, std::size_t threads);
    ~SenderPool();
    SenderPool(const SenderPool&) = delete;
    SenderPool& operator=(const SenderPool&) = delete;

    // Server thread: starts the senders (once); false when none could start.
    bool Start();
    // Server thread: hands the transfer to the sender carrying the fewest.
    // False when no sender runs; the transfer is then still the caller's alone.
    [[nodiscard]] bool Hand(UpdateTransfer& transfer);
    // Server thread, when it frees a transfer it handed over.
    void Forget(const UpdateTransfer& transfer);
    // Server thread: every sender is stopped and joined. The transfers they
    // carried end as failed without a notification (`ended` set); those not
    // yet taken over are left as they were handed. Afterwards the server may
    // free every transfer, and nothing is handed any more.
    void Stop();

    [[nodiscard]] std::size_t Threads() const { return senders_.size(); }

private:
    struct Sender;
    class Loop;

    core::WindowMessages& messages_;
    const std::uint32_t message_;
    const TransferTiming timing_;
    const std::size_t threads_;
    std::vector<std::unique_ptr<Sender>> senders_;
    std::atomic<bool> stopping_ { false };
    bool started_ = false;
};

} // namespace quellis::update
