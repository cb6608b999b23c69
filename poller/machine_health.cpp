#include "poller/machine_health.h"

#include <array>
#include <limits>

namespace quellis::poller
{

std::string_view StateName(MachineState state)
{
    static constexpr std::array<std::string_view, 3> kNames = { "unknown", "up", "down" };
    return kNames[static_cast<std::size_t>(state)];
}

std::optional<Transition> ApplyPoll(Health& health, PollFailure outcome, int grace)
{
    const MachineState before = health.state;
    if (outcome == PollFailure::None)
    {
        health.failuresInRow = 0;
        health.state = MachineState::Up;
    }
    else
    {
        if (health.failuresInRow < std::numeric_limits<std::uint16_t>::max())
        {
            ++health.failuresInRow;
        }
        if (health.failuresInRow >= grace)
        {
            health.state = MachineState::Down;
        }
    }
    if (health.state == before)
    {
        return std::nullopt;
    }
    return Transition { before, health.state, outcome };
}

std::chrono::milliseconds PhaseOf(std::uint32_t address, std::chrono::milliseconds period)
{
    // A multiplicative hash: neighbouring addresses land far apart.
    const std::uint64_t mixed = static_cast<std::uint32_t>(address * 2654435761u);
    const auto span = static_cast<std::uint64_t>(period.count() > 0 ? period.count() : 1);
    return std::chrono::milliseconds(static_cast<std::int64_t>((mixed * span) >> 32));
}

SteadyTime NextDue(SteadyTime due, SteadyTime now, std::chrono::milliseconds period)
{
    const SteadyTime next = due + period;
    return next >= now ? next : now;
}

} // namespace quellis::poller
