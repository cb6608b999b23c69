#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

// A joinable thread that also tells whether its body has returned, so that an
// owner can wait for it while doing other work (the UI thread keeps serving
// window calls while it waits for a worker that may be inside one).

namespace quellis::sync
{

class Thread
{
public:
    Thread() = default;
    ~Thread();
    Thread(Thread&&) noexcept = default;
    Thread& operator=(Thread&& other) noexcept;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // False when the system refuses a thread (the object then stays empty).
    [[nodiscard]] bool Start(std::function<void()> body);
    // Tests: the next `count` starts in this process are refused, as by a
    // system that has no thread to give.
    static void RefuseNextStarts(int count);
    [[nodiscard]] bool Joinable() const { return thread_.joinable(); }
    // True once the body has returned (also for a thread never started).
    [[nodiscard]] bool Finished() const { return !finished_ || finished_->load(std::memory_order_acquire); }
    void Join();

private:
    std::thread thread_;
    std::shared_ptr<std::atomic<bool>> finished_;
};

} // namespace quellis::sync
