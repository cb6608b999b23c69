#pragma once

// A property a fuzz target asserts beyond "no crash": a failed one stops the
// run like a crash, so libFuzzer keeps the input.
inline void Check(bool condition)
{
    if (!condition)
    {
        __builtin_trap();
    }
}
