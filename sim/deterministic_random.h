#pragma once

#include <cstdint>

// A small random source whose sequence is the same on every platform and
// standard library: the farm's machines and behaviour groups must come out
// identical for a seed wherever the simulator runs (the standard
// distributions are implementation-defined, so they are not used for that).

namespace quellis::sim
{

class SplitMix64
{
public:
    explicit SplitMix64(std::uint64_t seed)
        : state_(seed)
    {
    }

    std::uint64_t Next()
    {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // Uniform in [0, bound); 0 when bound is 0. The modulo bias is far below
    // anything a simulated farm could show.
    std::uint64_t Below(std::uint64_t bound) { return bound == 0 ? 0 : Next() % bound; }

    // Uniform in [0, 1).
    double Unit() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }

    // Uniform in [low, high].
    std::int64_t Between(std::int64_t low, std::int64_t high)
    {
        return high <= low ? low : low + static_cast<std::int64_t>(Below(static_cast<std::uint64_t>(high - low) + 1));
    }

private:
    std::uint64_t state_;
};

// A seed for one purpose and one item, so that what machine 7 gets does not
// depend on how many machines the farm has.
[[nodiscard]] inline std::uint64_t DeriveSeed(std::uint64_t seed, std::uint64_t purpose, std::uint64_t item = 0)
{
    SplitMix64 mix(seed ^ (purpose * 0xD1B54A32D192ED03ull) ^ (item * 0x9E3779B97F4A7C15ull));
    mix.Next();
    return mix.Next();
}

} // namespace quellis::sim
