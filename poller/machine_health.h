#pragma once

#include "poller/poll_result.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

// The rules of watching one machine, apart from sockets and threads: its
// state with a grace count, and when it is polled next.

namespace quellis::poller
{

enum class MachineState : std::uint8_t
{
    Unknown, // not yet polled to a verdict
    Up,
    Down,
};

[[nodiscard]] std::string_view StateName(MachineState state);

struct Health
{
    MachineState state = MachineState::Unknown;
    std::uint16_t failuresInRow = 0;
};

struct Transition
{
    MachineState from = MachineState::Unknown;
    MachineState to = MachineState::Unknown;
    PollFailure reason = PollFailure::None; // None: the machine answered
};

// One poll's outcome applied to a machine: down after `grace` failed polls in
// a row, up after one good poll. A change of state comes back as a transition.
[[nodiscard]] std::optional<Transition> ApplyPoll(Health& health, PollFailure outcome, int grace);

using SteadyTime = std::chrono::steady_clock::time_point;

// Where in each period a machine is polled: spread over the period by its
// address, so that a farm's machines are never all polled at once and each
// keeps its place from one period to the next.
[[nodiscard]] std::chrono::milliseconds PhaseOf(std::uint32_t address, std::chrono::milliseconds period);

// The next poll after the one due at `due` that has just ended at `now`: one
// period on, in the same phase. When that place has already passed (the
// poller is saturated) the next poll is due at once, and polls are not
// stacked up to catch up.
[[nodiscard]] SteadyTime NextDue(SteadyTime due, SteadyTime now, std::chrono::milliseconds period);

} // namespace quellis::poller
