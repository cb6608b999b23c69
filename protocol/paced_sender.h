#pragma once

#include "platform/net/socket.h"
#include "platform/sync/thread.h"
#include "protocol/rate_pacer.h"
#include "protocol/scan_ranges.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <vector>

// Sends one datagram unicast to every address of a list of ranges, each run
// at its own steady rate, on one thread: the range scan of a search and the
// copies of a request to every machine for the rows found behind routers.
// Runs go side by side, so a long scan does not hold a command back.

namespace quellis::protocol
{

struct PacedRun
{
    std::vector<std::uint8_t> datagram;
    // Every address of each, in order.
    std::vector<AddressRange> ranges;
    std::uint16_t port = 0;
    int rate = kDefaultScanRate;
    // A search's scan: the next search, or CancelScans, ends it.
    bool scan = false;
    // How long the run stays after its last datagram before it is done (the
    // answers of the last machines asked are on their way).
    std::chrono::milliseconds linger { 0 };
    // On the sender thread, once the run is done or cancelled (not when the
    // sender stops): the datagrams sent, and whether it was cancelled.
    std::function<void(std::uint64_t sent, bool cancelled)> done;
};

class PacedSender
{
public:
    PacedSender() = default;
    ~PacedSender();
    PacedSender(const PacedSender&) = delete;
    PacedSender& operator=(const PacedSender&) = delete;

    // Any thread: queues a run; its first datagram leaves at once. The thread
    // starts with the first run; false when it cannot (nothing is sent).
    [[nodiscard]] bool Submit(net::Socket& socket, PacedRun run);
    // Any thread: ends the scans in progress; their done is told.
    void CancelScans();
    // Ends every run without its done and lets the thread leave; the owner
    // joins Thread() before the socket closes.
    void Stop();
    [[nodiscard]] sync::Thread& Thread() { return thread_; }
    [[nodiscard]] std::size_t Running() const;

private:
    struct Active
    {
        PacedRun run;
        net::Socket* socket = nullptr;
        RatePacer pacer;
        std::size_t range = 0;
        std::uint64_t next = 0; // offset in the current range
        std::uint64_t sent = 0;
        bool finished = false; // every address asked; lingering
        RatePacer::Clock::time_point doneAt {};
        bool cancelled = false;
    };

    void Body();

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::list<Active> active_;
    bool stopping_ = false;
    sync::Thread thread_;
};

} // namespace quellis::protocol
