#pragma once

#include "sim/device_service.h"
#include "sim/machine.h"

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

// The mining software's API of every machine: one listening socket per
// machine, bound to the machine's own address, so that a machine whose API
// refuses simply has none; one thread serves them all with epoll.

namespace quellis::sim
{

class ApiServer
{
public:
    ApiServer(MachineTable& machines, FarmCounters& counters);
    ~ApiServer();
    ApiServer(const ApiServer&) = delete;
    ApiServer& operator=(const ApiServer&) = delete;

    // Creates the listeners in the calling thread's network namespace. Port 0:
    // the first listener takes an ephemeral port and every other machine
    // listens on the same one.
    [[nodiscard]] bool Open(std::uint16_t port, std::string* error);
    [[nodiscard]] std::uint16_t Port() const { return port_; }

    // Serves until stopEvent (an eventfd) becomes readable.
    [[nodiscard]] bool Start(int stopEvent, std::string* error);
    // Joins the thread and closes every socket. Safe to call twice.
    void Stop();

    // A machine that is switched off neither accepts nor refuses a
    // connection: its listener drops every segment that arrives, so the
    // client's connect runs into its time-out as with a machine without
    // power. Any thread, between Open and Stop. The machines' own power
    // schedules are followed by the serving thread.
    void SetReachable(int machine, bool reachable);

private:
    struct Listener
    {
        int fd = -1;
        int machine = 0;
        bool off = false; // a switched-off machine: never served
    };

    void Run(int epoll);

    MachineTable& machines_;
    FarmCounters& counters_;
    std::vector<Listener> listeners_;
    std::vector<int> listenerOf_; // by machine: its listener's descriptor, or -1
    std::vector<int> fillers_; // the connections that fill the queues of machines whose API is off
    std::uint16_t port_ = 0;
    int epoll_ = -1;
    std::thread thread_;
};

} // namespace quellis::sim
