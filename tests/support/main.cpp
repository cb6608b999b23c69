#include "tests/support/runtime_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

int main(int argc, char** argv)
{
    // A peer that closes while a test writes must fail the write, not the process.
    std::signal(SIGPIPE, SIG_IGN);
    // Alarms played by tests are timed but silent.
    setenv("QUELLIS_AUDIO", "null", 0);
    const quellis::test::PrivateRuntimeDir runtime;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
