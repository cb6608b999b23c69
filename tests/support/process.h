#pragma once

#include <chrono>
#include <string>
#include <vector>

// A program run to its end by a test: its output, its errors and its exit
// status. It runs in the calling thread's network namespace, with the
// environment of ChildEnvironment (this process's runtime directory).

namespace quellis::test
{

struct ProcessResult
{
    int status = -1; // the exit status; -1 when it did not start or was killed
    std::string out;
    std::string err;
};

// Killed after `limit`; `input` is its standard input (then closed).
ProcessResult RunProcess(const std::vector<std::string>& arguments,
    const std::string& input = {},
    std::chrono::milliseconds limit = std::chrono::seconds(60));

} // namespace quellis::test
