#include "sim/reply_scheduler.h"

#include "platform/trace/trace.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quellis::sim
{

namespace
{

constexpr std::size_t kMaxBatch = 512;

} // namespace

ReplyScheduler::ReplyScheduler(MachineTable& machines, FarmCounters& counters)
    : machines_(machines)
    , counters_(counters)
{
}

ReplyScheduler::~ReplyScheduler()
{
    Stop();
}

void ReplyScheduler::Start(int socketHandle)
{
    stopping_ = false;
    thread_ = std::thread([this, socketHandle] { Run(socketHandle); });
}

void ReplyScheduler::Stop()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
    {
        thread_.join();
    }
    std::lock_guard lock(mutex_);
    heap_.clear();
}

void ReplyScheduler::Schedule(std::vector<OutgoingReply> replies)
{
    bool earliest = false;
    {
        std::lock_guard lock(mutex_);
        for (auto& reply : replies)
        {
            earliest = earliest || heap_.empty() || reply.due < heap_.front().reply.due;
            heap_.push_back(Entry { std::move(reply), nextSequence_++ });
            std::push_heap(heap_.begin(), heap_.end(), Later {});
        }
    }
    // Only a reply due before everything queued moves the sender's wake-up time.
    if (earliest)
    {
        changed_.notify_one();
    }
}

void ReplyScheduler::Run(int socketHandle)
{
    // Owns: the send side of the farm's UDP socket and the batches it builds.
    // Shares: the due queue (under mutex_) with the receive thread and the
    // download workers that schedule; the machines, read under their locks.
    std::vector<OutgoingReply> batch;
    std::unique_lock lock(mutex_);
    while (!stopping_)
    {
        if (heap_.empty())
        {
            changed_.wait(lock);
            continue;
        }
        const auto now = Clock::now();
        if (const Clock::time_point due = heap_.front().reply.due; due > now)
        {
            // A copy: the wait reads its time again after it wakes, and by
            // then a Schedule may have moved the queue's storage.
            changed_.wait_until(lock, due);
            continue;
        }
        while (!heap_.empty() && heap_.front().reply.due <= now && batch.size() < kMaxBatch)
        {
            std::pop_heap(heap_.begin(), heap_.end(), Later {});
            batch.push_back(std::move(heap_.back().reply));
            heap_.pop_back();
        }
        lock.unlock();
        Send(socketHandle, batch);
        batch.clear();
        lock.lock();
    }
}

void ReplyScheduler::Send(int socketHandle, std::vector<OutgoingReply>& batch)
{
    const auto now = Clock::now();
    std::vector<mmsghdr> messages;
    std::vector<iovec> vectors(batch.size());
    std::vector<sockaddr_in> destinations(batch.size());
    std::vector<std::uint8_t> controls(batch.size() * CMSG_SPACE(sizeof(in_pktinfo)));
    std::vector<int> senders;
    messages.reserve(batch.size());
    senders.reserve(batch.size());

    for (std::size_t i = 0; i < batch.size(); ++i)
    {
        OutgoingReply& reply = batch[i];
        Machine& machine = machines_[reply.machine];
        if (machine.IsSilent(now))
        {
            continue; // began rebooting after the reply was scheduled
        }
        if (reply.searchRecord)
        {
            reply.bytes.resize(protocol::kRecordSize);
            reply.bytes.resize(machine.BuildRecord(reply.bytes, protocol::PKT_SEARCH_ACK, 0, now));
        }
        vectors[i] = iovec { reply.bytes.data(), reply.bytes.size() };
        destinations[i] = sockaddr_in {};
        destinations[i].sin_family = AF_INET;
        destinations[i].sin_addr.s_addr = htonl(reply.destination.address);
        destinations[i].sin_port = htons(reply.destination.port);

        // The source address of each datagram is its machine's: one socket
        // speaks for the whole farm.
        auto* control = controls.data() + i * CMSG_SPACE(sizeof(in_pktinfo));
        std::memset(control, 0, CMSG_SPACE(sizeof(in_pktinfo)));
        mmsghdr message {};
        message.msg_hdr.msg_name = &destinations[i];
        message.msg_hdr.msg_namelen = sizeof(sockaddr_in);
        message.msg_hdr.msg_iov = &vectors[i];
        message.msg_hdr.msg_iovlen = 1;
        message.msg_hdr.msg_control = control;
        message.msg_hdr.msg_controllen = CMSG_SPACE(sizeof(in_pktinfo));
        cmsghdr* header = CMSG_FIRSTHDR(&message.msg_hdr);
        header->cmsg_level = IPPROTO_IP;
        header->cmsg_type = IP_PKTINFO;
        header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info {};
        info.ipi_spec_dst.s_addr = htonl(reply.source != 0 ? reply.source : machine.WireAddress());
        std::memcpy(CMSG_DATA(header), &info, sizeof info);
        messages.push_back(message);
        senders.push_back(reply.machine);
    }

    std::size_t offset = 0;
    while (offset < messages.size())
    {
        const int sent
            = sendmmsg(socketHandle, messages.data() + offset, static_cast<unsigned>(messages.size() - offset), 0);
        if (sent < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            // One datagram the system refused (no route, a foreign source
            // address outside the farm's range): drop it, send the rest.
            counters_.sendFailures.fetch_add(1, std::memory_order_relaxed);
            trace::OutputDebugStringF(
                "farm: reply of machine %d not sent: %s\n", senders[offset], std::strerror(errno));
            ++offset;
            continue;
        }
        for (int i = 0; i < sent; ++i)
        {
            machines_[senders[offset + static_cast<std::size_t>(i)]].counters.repliesSent.fetch_add(
                1, std::memory_order_relaxed);
        }
        offset += static_cast<std::size_t>(sent);
    }
}

} // namespace quellis::sim
