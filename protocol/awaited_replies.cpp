#include "protocol/awaited_replies.h"

#include <algorithm>

namespace quellis::protocol
{

namespace
{

// How often a waiting worker looks at its request and at `stopping`.
constexpr auto kLookEvery = std::chrono::milliseconds(100);

} // namespace

AwaitedReplies::Entry* AwaitedReplies::Find(Ticket ticket)
{
    for (Entry& entry : entries_)
    {
        if (ticket != kNone && entry.ticket == ticket)
        {
            return &entry;
        }
    }
    return nullptr;
}

AwaitedReplies::Recent* AwaitedReplies::FindRecent(Ticket ticket)
{
    for (Recent& recent : recent_)
    {
        if (ticket != kNone && recent.ticket == ticket)
        {
            return &recent;
        }
    }
    return nullptr;
}

AwaitedReplies::Ticket AwaitedReplies::Await(AwaitedKind kind, std::string_view target, Clock::time_point now)
{
    std::lock_guard guard(lock_);
    // A free entry, else the oldest that no answer is being applied to.
    Entry* slot = nullptr;
    for (Entry& entry : entries_)
    {
        if (entry.ticket == kNone)
        {
            slot = &entry;
            break;
        }
        if (entry.state != State::Claimed && (slot == nullptr || entry.ticket < slot->ticket))
        {
            slot = &entry;
        }
    }
    if (slot == nullptr)
    {
        // Every entry is being applied: impossible with one reply thread.
        return kNone;
    }
    target = target.substr(0, kTextFieldWidth);
    slot->ticket = next_++;
    slot->kind = kind;
    slot->state = State::Awaited;
    slot->everyMachine = target == kAllDevices;
    slot->targetLength = static_cast<std::uint8_t>(target.size());
    std::copy(target.begin(), target.end(), slot->target.begin());
    Recent& recent = recent_[nextRecent_];
    nextRecent_ = (nextRecent_ + 1) % recent_.size();
    recent.ticket = slot->ticket;
    recent.kind = kind;
    recent.until = now + kLateFor;
    recent.everyMachine = slot->everyMachine;
    recent.lateLeft = slot->everyMachine ? kLateFromEveryMachine : 1;
    recent.targetLength = slot->targetLength;
    recent.target = slot->target;
    return slot->ticket;
}

AwaitedReplies::Ticket AwaitedReplies::Claim(AwaitedKind kind, std::string_view target)
{
    std::lock_guard guard(lock_);
    Entry* oldest = nullptr;
    for (Entry& entry : entries_)
    {
        if (entry.ticket != kNone && entry.state == State::Awaited && entry.kind == kind
            && (entry.everyMachine || std::string_view(entry.target.data(), entry.targetLength) == target)
            && (oldest == nullptr || entry.ticket < oldest->ticket))
        {
            oldest = &entry;
        }
    }
    if (oldest == nullptr)
    {
        return kNone;
    }
    if (!oldest->everyMachine)
    {
        oldest->state = State::Claimed;
        if (Recent* recent = FindRecent(oldest->ticket))
        {
            recent->lateLeft = 0;
        }
    }
    return oldest->ticket;
}

void AwaitedReplies::Answered(Ticket ticket)
{
    std::lock_guard guard(lock_);
    if (Entry* entry = Find(ticket); entry != nullptr && !entry->everyMachine)
    {
        entry->state = State::Answered;
    }
}

AwaitedReplies::State AwaitedReplies::StateOf(Ticket ticket) const
{
    std::lock_guard guard(lock_);
    for (const Entry& entry : entries_)
    {
        if (ticket != kNone && entry.ticket == ticket)
        {
            return entry.state;
        }
    }
    return State::Gone;
}

AwaitedReplies::State AwaitedReplies::Forget(Ticket ticket)
{
    std::lock_guard guard(lock_);
    Entry* entry = Find(ticket);
    if (entry == nullptr)
    {
        return State::Gone;
    }
    const State state = entry->state;
    if (state != State::Claimed)
    {
        *entry = Entry {};
    }
    return state;
}

bool AwaitedReplies::ClaimLate(AwaitedKind kind, std::string_view target, Clock::time_point now)
{
    std::lock_guard guard(lock_);
    Recent* newest = nullptr;
    for (Recent& recent : recent_)
    {
        if (recent.ticket != kNone && recent.lateLeft > 0 && now < recent.until && recent.kind == kind
            && (recent.everyMachine || std::string_view(recent.target.data(), recent.targetLength) == target)
            && (newest == nullptr || recent.ticket > newest->ticket))
        {
            newest = &recent;
        }
    }
    if (newest == nullptr)
    {
        return false;
    }
    --newest->lateLeft;
    return true;
}

AwaitResult WaitForAnswer(AwaitedReplies& awaited,
    AwaitedReplies::Ticket ticket,
    sync::Event& done,
    std::chrono::milliseconds limit,
    const std::function<bool()>& stopping)
{
    using State = AwaitedReplies::State;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;)
    {
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const auto slice = std::clamp(left, std::chrono::milliseconds(0), kLookEvery);
        // Whose wake-up it was does not matter: the request's state tells.
        [[maybe_unused]] const sync::WaitResult woken = done.Wait(static_cast<std::uint32_t>(slice.count()));
        if (awaited.StateOf(ticket) == State::Answered)
        {
            awaited.Forget(ticket);
            return AwaitResult::Answered;
        }
        if (stopping && stopping())
        {
            awaited.Forget(ticket);
            return AwaitResult::Stopped;
        }
        if (std::chrono::steady_clock::now() >= deadline)
        {
            // Dropped in one step with the look, so that no answer is claimed
            // after it; one being applied now is waited for.
            switch (awaited.Forget(ticket))
            {
            case State::Answered:
                return AwaitResult::Answered;
            case State::Claimed:
                // The wake-up follows at once; the next look finds it answered.
                break;
            case State::Awaited:
            case State::Gone:
                return AwaitResult::TimedOut;
            }
        }
    }
}

} // namespace quellis::protocol
