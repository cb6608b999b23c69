#include "miner/run_log.h"

#include <chrono>

namespace quellis::miner
{

namespace
{

// A drain that cannot run (the window is going away) is not waited for longer.
constexpr auto kLongestDrainWait = std::chrono::seconds(2);

} // namespace

RunLog::RunLog(core::UiThread& uiThread, core::LogSink& sink, LogTarget target)
    : uiThread_(uiThread)
    , sink_(sink)
    , target_(std::move(target))
{
}

void RunLog::Drain(const std::shared_ptr<Pending>& pending, const LogTarget& target)
{
    for (;;)
    {
        std::string text;
        {
            std::lock_guard lock(pending->lock);
            if (pending->text.empty())
            {
                pending->posted = false;
                pending->drained.notify_all();
                return;
            }
            text.swap(pending->text);
        }
        if (core::LogSink* sink = target->load())
        {
            sink->WriteLog(core::LogColour::Default, text, false);
        }
    }
}

void RunLog::Add(std::string_view text)
{
    bool post = false;
    {
        std::lock_guard lock(pending_->lock);
        pending_->text += text;
        post = !pending_->posted;
        pending_->posted = true;
    }
    if (post && !uiThread_.Post([pending = pending_, target = target_] { Drain(pending, target); }))
    {
        {
            std::lock_guard lock(pending_->lock);
            pending_->posted = false;
        }
        Flush();
    }
}

void RunLog::Flush()
{
    std::string text;
    {
        // A drain under way writes first; what is left is written here.
        std::unique_lock lock(pending_->lock);
        pending_->drained.wait_for(lock, kLongestDrainWait, [&] { return !pending_->posted; });
        text.swap(pending_->text);
    }
    if (!text.empty())
    {
        sink_.WriteLog(core::LogColour::Default, text, false);
    }
}

} // namespace quellis::miner
