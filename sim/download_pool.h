#pragma once

#include "protocol/device_packet.h"
#include "sim/device_service.h"
#include "sim/expected_package.h"
#include "sim/machine.h"
#include "sim/reply_scheduler.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// The machines' side of a package download: connect from the machine's own
// address to the tool's package server, send the package request, read and
// check the announced number of bytes, acknowledge, close, and answer the
// CMD_Upgrade offer after the install time. A few threads with an epoll set
// each carry every download of the farm; slow, stalled and half-closed
// downloads are states of a download, not blocked threads.

namespace quellis::sim
{

struct DownloadSettings
{
    std::uint16_t replyPort = protocol::kDevicePort;
    int threads = 2;
    std::string netns; // entered by every worker: the workers create the sockets
    // What a machine runs after a successful upgrade unless its behaviour names a version.
    std::optional<VersionInfo> announcedVersion;
};

class DownloadPool
{
public:
    DownloadPool(
        MachineTable& machines, ReplyScheduler& scheduler, const ExpectedPackage& expected, DownloadSettings settings);
    ~DownloadPool();
    DownloadPool(const DownloadPool&) = delete;
    DownloadPool& operator=(const DownloadPool&) = delete;

    // Starts the workers; they run until stopEvent (an eventfd) is readable.
    // Fails when a worker cannot enter the network namespace.
    [[nodiscard]] bool Start(int stopEvent, std::string* error);
    // Joins the workers; downloads in progress end without an answer. Safe to call twice.
    void Stop();

    void Submit(const DownloadOrder& order);

private:
    struct Worker;

    void Run(Worker& worker);

    MachineTable& machines_;
    ReplyScheduler& scheduler_;
    const ExpectedPackage& expected_;
    const DownloadSettings settings_;
    std::vector<std::unique_ptr<Worker>> workers_;
};

} // namespace quellis::sim
