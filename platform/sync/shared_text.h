#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

// A short text written by one thread and read by another (the target of the
// command last sent, the address of the machine being updated). Each read
// and write is whole. Like the fixed-size buffer it stands for, it keeps at
// most Capacity - 1 bytes.

namespace quellis::sync
{

template <std::size_t Capacity> class SharedText
{
public:
    void Set(std::string_view text)
    {
        std::lock_guard lock(mutex_);
        text_.assign(text.substr(0, Capacity - 1));
    }

    [[nodiscard]] std::string Get() const
    {
        std::lock_guard lock(mutex_);
        return text_;
    }

    [[nodiscard]] bool Equals(std::string_view text) const
    {
        std::lock_guard lock(mutex_);
        return text_ == text;
    }

private:
    mutable std::mutex mutex_;
    std::string text_;
};

} // namespace quellis::sync
