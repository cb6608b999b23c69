#pragma once

#include <chrono>
#include <string>
#include <vector>

// A program that runs beside a test (a server, a scraper) until the test
// stops it: its output and errors go to files, and Stop sends SIGTERM and
// waits for it. It runs in the calling thread's network namespace.

namespace quellis::test
{

class BackgroundProcess
{
public:
    BackgroundProcess(const std::vector<std::string>& arguments, const std::string& outputPath);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    [[nodiscard]] bool Started() const { return pid_ > 0; }
    // SIGTERM, then the exit status (-1 when it had to be killed after `limit`
    // or did not start). Safe to call twice.
    int Stop(std::chrono::milliseconds limit = std::chrono::seconds(10));

private:
    int pid_ = -1;
    int status_ = -1;
};

} // namespace quellis::test
