#pragma once

#include "core/window.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

// The log lines of one API run, handed to the log pane without the worker
// waiting for each: a run over ten thousand machines would otherwise wait for
// the window once per machine. Lines added while the window is busy go in
// together, in their order, in one append; the first line after a quiet
// moment is posted at once, so a line never waits for the next machine.

namespace quellis::miner
{

// Where posted lines go, shared with the posted work: the controller clears
// it (UI thread) before the window goes, and posted work that runs later
// writes nothing.
using LogTarget = std::shared_ptr<std::atomic<core::LogSink*>>;

class RunLog
{
public:
    RunLog(core::UiThread& uiThread, core::LogSink& sink, LogTarget target);
    RunLog(const RunLog&) = delete;
    RunLog& operator=(const RunLog&) = delete;

    // Worker: the text goes to the log pane (default colour, not log.txt).
    void Add(std::string_view text);
    // Worker: when it returns, everything added is in the log pane, in order.
    void Flush();

private:
    struct Pending
    {
        std::mutex lock;
        std::condition_variable drained;
        std::string text;
        bool posted = false; // a drain is queued or running
    };

    // UI thread: writes what is waiting, until nothing is.
    static void Drain(const std::shared_ptr<Pending>& pending, const LogTarget& target);

    core::UiThread& uiThread_;
    core::LogSink& sink_;
    const LogTarget target_;
    const std::shared_ptr<Pending> pending_ = std::make_shared<Pending>();
};

} // namespace quellis::miner
