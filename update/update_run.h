#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The typed update run, as every front end starts it: which machines, how
// many at once, who hears each machine's outcome; the refusal when it cannot
// start, or the handle of the run that started.

namespace quellis::update
{

// Why a run does not start. The window shows each as today's box.
enum class UpdateRefusal
{
    RunGoing, // a run is in progress (the window asks whether to stop it)
    NoPackage,
    NoSelection,
    NoRows,
    NotStarted, // its thread did not start; nothing shown
};

// The box text of a refusal (UTF-8); empty for NotStarted and RunGoing,
// which the window answers otherwise.
[[nodiscard]] std::string_view RefusalText(UpdateRefusal refusal);

// One machine of a run: its address and MAC as the list shows them. An
// empty MAC keeps the previous machine's.
struct UpdateTarget
{
    std::string ip;
    std::string mac;
};

// The machines of a run, asked for one at a time on the run's thread just
// before each offer, so that a source may follow a list that changes.
class UpdateTargets
{
public:
    virtual ~UpdateTargets() = default;
    // Caller's thread, before the start: the refusal when there is none.
    [[nodiscard]] virtual std::optional<UpdateRefusal> Missing() = 0;
    virtual std::optional<UpdateTarget> Next() = 0;
};

// A fixed list, in order (the command line).
class ListedTargets : public UpdateTargets
{
public:
    explicit ListedTargets(std::vector<UpdateTarget> targets)
        : targets_(std::move(targets))
    {
    }
    std::optional<UpdateRefusal> Missing() override
    {
        return targets_.empty() ? std::optional(UpdateRefusal::NoRows) : std::nullopt;
    }
    std::optional<UpdateTarget> Next() override
    {
        return next_ < targets_.size() ? std::optional(targets_[next_++]) : std::nullopt;
    }

private:
    std::vector<UpdateTarget> targets_;
    std::size_t next_ = 0;
};

struct UpdateOptions
{
    // Machines offered at once, each with its own wait; the window's run is 1.
    int concurrency = 1;
    // How long each machine's result is awaited; zero: the controller's timing.
    std::chrono::milliseconds resultWait { 0 };
};

enum class UpdateOutcome
{
    Updated,
    Failed, // the machine reported a failed install
    TimedOut, // no result within the wait
    NotSent, // the offer could not be sent
};

// The command line's word for an outcome.
[[nodiscard]] std::string_view OutcomeWord(UpdateOutcome outcome);

// Hears a run. The target is as offered (the MAC as sent).
class UpdateObserver
{
public:
    virtual ~UpdateObserver() = default;
    // Caller's thread, once the run is sure to start and before its thread does.
    virtual void OnStarting() { }
    // The run's thread, as each machine's wait ends; the next offer waits
    // for the return.
    virtual void OnMachine(const UpdateTarget& target, UpdateOutcome outcome) = 0;
    // The run's thread (or the caller's, when its thread did not start),
    // once, after the last machine and before the summary line.
    virtual void OnEnded() { }
};

// A started run, shared between the controller and the caller.
class UpdateRun
{
public:
    // No further machine is offered; those in hand finish.
    void Stop() { stop_ = true; }
    [[nodiscard]] bool StopAsked() const { return stop_.load(); }
    // Once the summary is written. The run needs the caller's thread (the
    // package server is served there): a front end keeps its loop going
    // until then.
    [[nodiscard]] bool Ended() const { return ended_.load(); }

    // The controller's side.
    void MarkEnded() { ended_ = true; }

private:
    std::atomic<bool> stop_ { false };
    std::atomic<bool> ended_ { false };
};

} // namespace quellis::update
