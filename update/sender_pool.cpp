#include "update/sender_pool.h"

#include "platform/net/broken_pipe.h"
#include "platform/net/poller.h"
#include "platform/sync/thread.h"
#include "platform/trace/trace.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

namespace quellis::update
{

namespace
{

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadyPerWait = 256;
// A machine that reads as fast as the sender writes would otherwise hold
// its sender for the whole package while the others wait.
constexpr std::uint64_t kBytesPerTurn = 1024 * 1024;

std::size_t DefaultThreads()
{
    return std::clamp<std::size_t>(4 * std::size_t { std::thread::hardware_concurrency() }, 4, 16);
}

} // namespace

struct SenderPool::Sender
{
    net::Poller poller;
    // Transfers handed over and not yet taken: the server adds, the sender takes.
    std::mutex inboxLock;
    std::vector<UpdateTransfer*> inbox;
    sync::Thread thread;
    // The server's count of the transfers it handed to this sender and has
    // not yet freed.
    std::size_t load = 0;
};

// One sender's transfers, on the sender thread's stack.
class SenderPool::Loop
{
public:
    Loop(SenderPool& pool, Sender& sender)
        : pool_(pool)
        , sender_(sender)
    {
    }

    // Runs on a sender thread. Owns the transfers it has taken over (their
    // package, their sends and receives, their idle count) until it posts
    // their end; shares the inbox with the server (under its lock), and reads
    // the transfers' `run` flags and the pool's `stopping_`.
    void Run()
    {
        // sendfile to a machine that has gone raises SIGPIPE, which would end
        // a process that has not ignored it (a benchmark, a program that
        // embeds the server): blocked here, it only fails the send.
        net::BlockBrokenPipeSignal();
        void* ready[kReadyPerWait];
        auto nextRound = Clock::now() + pool_.timing_.round;
        while (!pool_.stopping_.load())
        {
            auto timeout = std::chrono::milliseconds(-1);
            if (!again_.empty())
            {
                timeout = std::chrono::milliseconds(0);
            }
            else if (!carried_.empty())
            {
                timeout = std::max(std::chrono::ceil<std::chrono::milliseconds>(nextRound - Clock::now()),
                    std::chrono::milliseconds(0));
            }
            const int count = sender_.poller.Wait(ready, timeout);
            if (pool_.stopping_.load())
            {
                break;
            }
            if (carried_.empty())
            {
                nextRound = Clock::now() + pool_.timing_.round;
            }
            TakeHandedOver();
            if (count < 0)
            {
                // Like a failed wait of each transfer's own.
                trace::OutputDebugStringF("package server: a sender's wait failed\n");
                while (!carried_.empty())
                {
                    End(*carried_.back(), false);
                }
                std::this_thread::sleep_for(pool_.timing_.round);
            }
            for (int i = 0; i < count; ++i)
            {
                Serve(*static_cast<UpdateTransfer*>(ready[i]));
            }
            ServeAgain();
            if (Clock::now() >= nextRound)
            {
                Round();
                nextRound = Clock::now() + pool_.timing_.round;
            }
        }
        // Teardown: the server frees everything once this thread is joined.
        for (UpdateTransfer* transfer : carried_)
        {
            sender_.poller.Remove(transfer->connection->socket.Handle());
            transfer->state = TransferState::Failed;
            transfer->ended.store(true, std::memory_order_release);
        }
        carried_.clear();
        again_.clear();
    }

private:
    void TakeHandedOver()
    {
        {
            std::lock_guard lock(sender_.inboxLock);
            arrived_.swap(sender_.inbox);
        }
        for (UpdateTransfer* transfer : arrived_)
        {
            if (!transfer->run.load())
            {
                Finish(*transfer, false);
                continue;
            }
            // A new socket has room: the first bytes go at once.
            const TransferStep step = AdvanceTransfer(*transfer, kBytesPerTurn);
            if (step == TransferStep::Succeeded || step == TransferStep::Failed)
            {
                Finish(*transfer, step == TransferStep::Succeeded);
                continue;
            }
            const auto interest = step == TransferStep::Readable ? net::Interest::Read : net::Interest::Write;
            if (!sender_.poller.Add(transfer->connection->socket.Handle(), transfer, interest))
            {
                Finish(*transfer, false);
                continue;
            }
            transfer->idle = 0;
            transfer->readyThisRound = true;
            transfer->slot = carried_.size();
            carried_.push_back(transfer);
            if (step == TransferStep::Again)
            {
                transfer->again = true;
                again_.push_back(transfer);
            }
        }
        arrived_.clear();
    }

    // The ones whose socket still took bytes when their turn ended, in turn.
    void ServeAgain()
    {
        serving_.swap(again_);
        for (UpdateTransfer* transfer : serving_)
        {
            transfer->again = false;
            Serve(*transfer);
        }
        serving_.clear();
    }

    // The socket is ready for what the transfer waits for, or failed. Ends
    // no transfer but this one.
    void Serve(UpdateTransfer& transfer)
    {
        if (!transfer.run.load())
        {
            End(transfer, false);
            return;
        }
        transfer.readyThisRound = true;
        const bool wasAcknowledging = transfer.acknowledging;
        switch (AdvanceTransfer(transfer, kBytesPerTurn))
        {
        case TransferStep::Writable:
            break;
        case TransferStep::Again:
            // The socket never said it was full, so no report will come.
            if (!transfer.again)
            {
                transfer.again = true;
                again_.push_back(&transfer);
            }
            break;
        case TransferStep::Readable:
            // Reported at once if the acknowledgement is already there.
            if (!wasAcknowledging
                && !sender_.poller.Change(transfer.connection->socket.Handle(), &transfer, net::Interest::Read))
            {
                End(transfer, false);
            }
            break;
        case TransferStep::Succeeded:
            End(transfer, true);
            break;
        case TransferStep::Failed:
            End(transfer, false);
            break;
        }
    }

    // Once per round: a stopped transfer ends, and so does one whose socket
    // has not become ready for `idleRounds` rounds in a row (a round in which
    // it was ready counts as the first).
    void Round()
    {
        for (std::size_t i = carried_.size(); i-- > 0;)
        {
            UpdateTransfer& transfer = *carried_[i];
            if (transfer.readyThisRound)
            {
                transfer.idle = 0;
                transfer.readyThisRound = false;
            }
            if (!transfer.run.load() || ++transfer.idle >= pool_.timing_.idleRounds)
            {
                End(transfer, false); // moves only transfers already looked at
            }
        }
    }

    void End(UpdateTransfer& transfer, bool success)
    {
        sender_.poller.Remove(transfer.connection->socket.Handle());
        if (transfer.again)
        {
            // Rare: only a transfer that failed or was stopped between turns.
            std::erase(again_, &transfer);
            transfer.again = false;
        }
        UpdateTransfer* last = carried_.back();
        carried_[transfer.slot] = last;
        last->slot = transfer.slot;
        carried_.pop_back();
        Finish(transfer, success);
    }

    // The last the sender does with the transfer: the server may free it as
    // soon as `ended` is set.
    void Finish(UpdateTransfer& transfer, bool success)
    {
        if (!success)
        {
            net::DiscardBrokenPipeSignal();
        }
        transfer.state = success ? TransferState::Complete : TransferState::Failed;
        const int socket = transfer.connection->socket.Handle();
        transfer.ended.store(true, std::memory_order_release);
        pool_.messages_.PostMessage(pool_.message_, static_cast<std::uintptr_t>(socket), core::kFdClose);
    }

    SenderPool& pool_;
    Sender& sender_;
    std::vector<UpdateTransfer*> carried_;
    std::vector<UpdateTransfer*> arrived_;
    std::vector<UpdateTransfer*> again_;
    std::vector<UpdateTransfer*> serving_;
};

SenderPool::SenderPool(
    core::WindowMessages& messages, std::uint32_t message, TransferTiming timing, std::size_t threads)
    : messages_(messages)
    , message_(message)
    , timing_(timing)
    , threads_(threads == 0 ? DefaultThreads() : threads)
{
}

SenderPool::~SenderPool()
{
    Stop();
}

bool SenderPool::Start()
{
    if (started_ || stopping_.load())
    {
        return !senders_.empty();
    }
    started_ = true;
    for (std::size_t i = 0; i < threads_; ++i)
    {
        auto sender = std::make_unique<Sender>();
        if (!sender->poller.IsValid())
        {
            continue;
        }
        Sender* running = sender.get();
        if (!running->thread.Start([this, running] { Loop(*this, *running).Run(); }))
        {
            continue;
        }
        senders_.push_back(std::move(sender));
    }
    trace::OutputDebugStringF("package server: %zu sender threads\n", senders_.size());
    return !senders_.empty();
}

bool SenderPool::Hand(UpdateTransfer& transfer)
{
    if (stopping_.load() || senders_.empty())
    {
        return false;
    }
    const auto least = std::min_element(senders_.begin(),
        senders_.end(),
        [](const std::unique_ptr<Sender>& a, const std::unique_ptr<Sender>& b) { return a->load < b->load; });
    Sender& sender = **least;
    transfer.sender = static_cast<std::size_t>(least - senders_.begin());
    ++sender.load;
    {
        std::lock_guard lock(sender.inboxLock);
        sender.inbox.push_back(&transfer);
    }
    sender.poller.Wake();
    return true;
}

void SenderPool::Forget(const UpdateTransfer& transfer)
{
    if (transfer.sender < senders_.size() && senders_[transfer.sender]->load > 0)
    {
        --senders_[transfer.sender]->load;
    }
}

void SenderPool::Stop()
{
    stopping_ = true;
    for (auto& sender : senders_)
    {
        sender->poller.Wake();
    }
    for (auto& sender : senders_)
    {
        sender->thread.Join();
    }
}

} // namespace quellis::update
