#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

// The bounded queue of datagrams between the receive thread (the one
// producer) and the reply thread (the one consumer): a fixed number of slots
// in one preallocated block, a free list and a used list with a lock each.
// Put and take only relink nodes and copy bytes; neither allocates, and
// neither ever holds both locks. The slot bytes are copied outside the locks:
// between leaving one list and joining the other a node belongs to one side.

namespace quellis::protocol
{

inline constexpr std::size_t kReplySlotCount = 256;
inline constexpr std::size_t kReplySlotSize = 10240;

class ReplyQueue
{
public:
    ReplyQueue() = default;
    ~ReplyQueue();
    ReplyQueue(const ReplyQueue&) = delete;
    ReplyQueue& operator=(const ReplyQueue&) = delete;

    // Allocates the block and puts every node on the free list; false when
    // already initialised or out of memory.
    [[nodiscard]] bool Initialise(std::size_t slotCount = kReplySlotCount, std::size_t slotSize = kReplySlotSize);
    [[nodiscard]] bool IsInitialised() const { return initialised_; }

    // Stores a copy of a datagram (cut to the slot size); false when no slot is free.
    [[nodiscard]] bool Put(std::span<const std::uint8_t> datagram);
    // Moves the oldest datagram into buffer (at least one slot long) and gives
    // its length; false when the queue is empty.
    [[nodiscard]] bool Take(std::span<std::uint8_t> buffer, std::size_t& length);

    // Waits until a slot is free or the time is up; true when one is. The
    // receive thread waits here instead of reading a datagram it could only drop.
    [[nodiscard]] bool WaitForFreeSlot(std::chrono::milliseconds timeout);
    // Waits until a datagram is queued or the time is up; true when one is.
    // The reply thread waits here rather than sleeping a fixed time, so that
    // a burst is taken as fast as it comes.
    [[nodiscard]] bool WaitForDatagram(std::chrono::milliseconds timeout);
    // Wakes the threads in WaitForFreeSlot and WaitForDatagram (teardown).
    void WakeWaiters();

    // Deletes all nodes of both lists.
    void Clear();
    // Clear, free the block, not initialised.
    void Release();

    [[nodiscard]] std::size_t FreeCount() const;
    [[nodiscard]] std::size_t UsedCount() const;
    [[nodiscard]] std::size_t SlotSize() const { return slotSize_; }

private:
    struct Node
    {
        std::uint8_t* bytes = nullptr;
        std::size_t length = 0;
        Node* next = nullptr;
        Node* previous = nullptr;
    };

    struct List
    {
        Node* head = nullptr;
        Node* tail = nullptr;
        std::size_t count = 0;
        mutable std::mutex lock;

        void Append(Node* node);
        Node* PopHead();
        void Reset();
    };

    std::unique_ptr<std::uint8_t[]> block_;
    std::vector<Node> nodes_;
    std::size_t slotSize_ = 0;
    List free_;
    List used_;
    bool initialised_ = false;
    std::condition_variable_any slotFreed_;
    std::condition_variable_any datagramQueued_;
};

} // namespace quellis::protocol
