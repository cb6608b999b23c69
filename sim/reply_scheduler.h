#pragma once

#include "sim/device_service.h"
#include "sim/machine.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

// Sends the machines' replies when they are due, each from its machine's own
// address (IP_PKTINFO), in sendmmsg batches: a search of 10,000 machines with
// no spread leaves as a burst of a few system calls.

namespace quellis::sim
{

class ReplyScheduler
{
public:
    ReplyScheduler(MachineTable& machines, FarmCounters& counters);
    ~ReplyScheduler();
    ReplyScheduler(const ReplyScheduler&) = delete;
    ReplyScheduler& operator=(const ReplyScheduler&) = delete;

    // Starts the send thread on a UDP socket that the caller keeps open until Stop.
    void Start(int socketHandle);
    // Joins the send thread; replies not yet due are dropped. Safe to call twice.
    void Stop();

    void Schedule(std::vector<OutgoingReply> replies);

private:
    struct Entry
    {
        OutgoingReply reply;
        std::uint64_t sequence = 0;
    };
    struct Later
    {
        bool operator()(const Entry& a, const Entry& b) const
        {
            return a.reply.due != b.reply.due ? a.reply.due > b.reply.due : a.sequence > b.sequence;
        }
    };

    void Run(int socketHandle);
    void Send(int socketHandle, std::vector<OutgoingReply>& batch);

    MachineTable& machines_;
    FarmCounters& counters_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Entry> heap_;
    std::uint64_t nextSequence_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace quellis::sim
