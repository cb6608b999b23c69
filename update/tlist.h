#pragma once

#include <cstddef>

// The package server's intrusive list: circular, doubly linked, with a link
// cell of the list's own as the sentinel. Every item begins with its own link
// pair (next: toward the front, the newer items; previous: toward the back).
// Add puts an item at the front; First is the oldest item, Next the next newer
// one, so searches run from the oldest to the newest. The list owns nothing
// and takes no lock: its owner links, unlinks and frees the items on one
// thread.

namespace quellis::update
{

struct TLink
{
    TLink* next = nullptr;
    TLink* previous = nullptr;
};

template <typename Item> class TList
{
public:
    TList()
    {
        sentinel_.next = &sentinel_;
        sentinel_.previous = &sentinel_;
    }
    TList(const TList&) = delete;
    TList& operator=(const TList&) = delete;

    // At the front, as the newest item.
    void Add(Item* item)
    {
        TLink* link = item;
        link->next = &sentinel_;
        link->previous = sentinel_.previous;
        sentinel_.previous->next = link;
        sentinel_.previous = link;
        ++count_;
    }

    // The oldest item, or nullptr when the list is empty.
    [[nodiscard]] Item* First() const { return ItemAt(sentinel_.next); }

    // The next newer item, or nullptr after the newest.
    [[nodiscard]] Item* Next(const Item* item) const { return ItemAt(static_cast<const TLink*>(item)->next); }

    // Links the neighbours to each other and clears the item's links.
    void Remove(Item* item)
    {
        TLink* link = item;
        link->previous->next = link->next;
        link->next->previous = link->previous;
        link->next = nullptr;
        link->previous = nullptr;
        --count_;
    }

    [[nodiscard]] bool IsEmpty() const { return sentinel_.next == &sentinel_; }
    [[nodiscard]] std::size_t Count() const { return count_; }

    // The first item, oldest first, for which match(item) holds.
    template <typename Match> [[nodiscard]] Item* Find(Match match) const
    {
        for (Item* item = First(); item != nullptr; item = Next(item))
        {
            if (match(*item))
            {
                return item;
            }
        }
        return nullptr;
    }

private:
    Item* ItemAt(const TLink* link) const
    {
        return link == &sentinel_ ? nullptr : static_cast<Item*>(const_cast<TLink*>(link));
    }

    TLink sentinel_;
    std::size_t count_ = 0;
};

} // namespace quellis::update
