#include "protocol/reply_queue.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace quellis::protocol
{

void ReplyQueue::List::Append(Node* node)
{
    node->next = nullptr;
    node->previous = tail;
    if (tail != nullptr)
    {
        tail->next = node;
    }
    else
    {
        head = node;
    }
    tail = node;
    ++count;
}

ReplyQueue::Node* ReplyQueue::List::PopHead()
{
    Node* node = head;
    if (node == nullptr)
    {
        return nullptr;
    }
    head = node->next;
    if (head != nullptr)
    {
        head->previous = nullptr;
    }
    else
    {
        tail = nullptr;
    }
    node->next = nullptr;
    --count;
    return node;
}

void ReplyQueue::List::Reset()
{
    head = nullptr;
    tail = nullptr;
    count = 0;
}

ReplyQueue::~ReplyQueue()
{
    Release();
}

bool ReplyQueue::Initialise(std::size_t slotCount, std::size_t slotSize)
{
    if (initialised_ || slotCount == 0 || slotSize == 0)
    {
        return false;
    }
    block_.reset(new (std::nothrow) std::uint8_t[slotCount * slotSize]);
    if (!block_)
    {
        return false;
    }
    slotSize_ = slotSize;
    nodes_.assign(slotCount, Node {});
    {
        std::lock_guard lock(free_.lock);
        free_.Reset();
        for (std::size_t i = 0; i < slotCount; ++i)
        {
            nodes_[i].bytes = block_.get() + i * slotSize;
            free_.Append(&nodes_[i]);
        }
    }
    {
        std::lock_guard lock(used_.lock);
        used_.Reset();
    }
    initialised_ = true;
    return true;
}

bool ReplyQueue::Put(std::span<const std::uint8_t> datagram)
{
    Node* node = nullptr;
    {
        std::lock_guard lock(free_.lock);
        node = free_.PopHead();
    }
    if (node == nullptr)
    {
        return false;
    }
    node->length = std::min(datagram.size(), slotSize_);
    // An empty span may carry a null pointer, which memcpy must not be given.
    if (node->length > 0)
    {
        std::memcpy(node->bytes, datagram.data(), node->length);
    }
    {
        std::lock_guard lock(used_.lock);
        used_.Append(node);
    }
    datagramQueued_.notify_one();
    return true;
}

bool ReplyQueue::Take(std::span<std::uint8_t> buffer, std::size_t& length)
{
    Node* node = nullptr;
    {
        std::lock_guard lock(used_.lock);
        node = used_.PopHead();
    }
    if (node == nullptr)
    {
        return false;
    }
    length = std::min(node->length, buffer.size());
    if (length > 0)
    {
        std::memcpy(buffer.data(), node->bytes, length);
    }
    {
        std::lock_guard lock(free_.lock);
        free_.Append(node);
    }
    slotFreed_.notify_one();
    return true;
}

bool ReplyQueue::WaitForFreeSlot(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(free_.lock);
    return slotFreed_.wait_for(lock, timeout, [this] { return free_.count > 0; });
}

bool ReplyQueue::WaitForDatagram(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(used_.lock);
    return datagramQueued_.wait_for(lock, timeout, [this] { return used_.count > 0; });
}

void ReplyQueue::WakeWaiters()
{
    slotFreed_.notify_all();
    datagramQueued_.notify_all();
}

void ReplyQueue::Clear()
{
    {
        std::lock_guard lock(free_.lock);
        free_.Reset();
    }
    std::lock_guard lock(used_.lock);
    used_.Reset();
}

void ReplyQueue::Release()
{
    Clear();
    nodes_.clear();
    block_.reset();
    slotSize_ = 0;
    initialised_ = false;
}

std::size_t ReplyQueue::FreeCount() const
{
    std::lock_guard lock(free_.lock);
    return free_.count;
}

std::size_t ReplyQueue::UsedCount() const
{
    std::lock_guard lock(used_.lock);
    return used_.count;
}

} // namespace quellis::protocol
