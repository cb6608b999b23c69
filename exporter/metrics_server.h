#pragma once

#include "platform/net/ipv4.h"

#include <functional>
#include <string>

struct MHD_Daemon;

// The exporter's HTTP server, on the server library's own threads: a small
// fixed pool, a bounded number of connections, and an idle time-out, so that
// slow or many clients cost bounded threads and descriptors and never reach
// the poller.

namespace quellis::exporter
{

struct ServerOptions
{
    net::Endpoint listen { 0x7F000001, 9469 };
    unsigned threads = 2;
    unsigned connections = 128; // at once; more are refused
    unsigned idleSeconds = 10; // a client silent this long is dropped
};

class MetricsServer
{
public:
    // `metrics` renders the text for /metrics; it runs on a server thread.
    MetricsServer(ServerOptions options, std::function<std::string()> metrics);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Listens and serves; false with the reason when it cannot.
    [[nodiscard]] bool Start(std::string* error);
    // Closes the listener and every connection and joins the threads.
    void Stop();
    // The port listened on (the one chosen by the system for port 0).
    [[nodiscard]] std::uint16_t Port() const { return port_; }

    // The library's request callback; public only so the callback can reach
    // the server.
    const std::function<std::string()>& Metrics() const { return metrics_; }

private:
    const ServerOptions options_;
    const std::function<std::string()> metrics_;
    MHD_Daemon* daemon_ = nullptr;
    std::uint16_t port_ = 0;
};

} // namespace quellis::exporter
