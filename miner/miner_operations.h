#pragma once

#include "core/window.h"
#include "miner/pool_config.h"

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

// The miner runs as every front end starts them: which run, which machines,
// its inputs, who answers the question before a run over every machine and
// hears each machine's outcome; the refusal when a run cannot start, or the
// handle of the run that started.

namespace quellis::miner
{

// Why a run does not start.
enum class MinerRefusal
{
    Updating, // an update or a pool run is under way
    ListEmpty,
    CommandEmpty,
    SameIp, // a static address for several machines
    LimitsReversed,
    PoolTextTooLong,
    CodesEqual,
    QrLength,
    OneDLength,
    QrMarkMissing,
    OneDMarkMissing,
    NoMachineToWrite,
    NoMachineToRead,
    SeveralSelected,
    SelectOne,
    NotStarted, // its thread could not be made: the window says so on a button, not in a box
};

// A refusal with the text the window shows (UTF-8): the box's text and
// caption (empty: the window's default), or the button's text for NotStarted.
struct MinerRefused
{
    MinerRefusal reason = MinerRefusal::NotStarted;
    std::string text;
    std::string_view caption;
};

// The inputs of a run, as typed (UTF-8).
struct MinerRunOptions
{
    std::string command; // a free miner command and its parameter
    std::string parameter;
    int lowLimit = 0; // temperature limits
    int highLimit = 0;
    PoolSlots pools; // the pool run (not "slots", which Qt defines away)
    std::string qrCode; // an E2 write
    std::string oneDCode;
};

// Hears a run.
class MinerObserver : public core::ResultObserver
{
public:
    // The run's thread, before a run over every machine goes on; the
    // question is the window's.
    [[nodiscard]] virtual bool ConfirmEveryMachine(std::string_view question) = 0;
    // The run's thread: one machine's outcome of an API run.
    void OnResult([[maybe_unused]] const core::MachineResult& result) override { }
};

// A started run, shared between the controller and the caller.
class MinerRun
{
public:
    // Once the run and the read-back that an E2 write's confirmation starts
    // have ended.
    [[nodiscard]] bool Ended() const { return pending_.load() == 0; }

    // The controller's side: each thread of the run adds itself before it
    // starts and takes itself off at its end.
    void Add() { ++pending_; }
    void Done() { --pending_; }

private:
    std::atomic<int> pending_ { 0 };
};

using MinerStarted = std::variant<MinerRefused, std::shared_ptr<MinerRun>>;

} // namespace quellis::miner
