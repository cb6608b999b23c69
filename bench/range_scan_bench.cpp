// The range scan's sender against a plain paced loop, on loopback: the same
// number of datagrams to as many addresses at 2,000, 10,000 and 50,000 per
// second, each counted by one receiver. The table sets the scan's achieved
// rate and its busiest millisecond beside the plain loop's in the same run.
#include "platform/net/socket.h"
#include "protocol/paced_sender.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

using namespace quellis;
using Clock = std::chrono::steady_clock;

namespace
{

constexpr std::uint32_t kFirst = 0x7F010000u; // 127.1.0.0: every address is local

// Counts what arrives and when, until told to stop.
class Receiver
{
public:
    explicit Receiver(std::size_t capacity)
    {
        if (!socket_.Bind({ net::kInaddrAny, 0 }) || !socket_.SetReceiveTimeout(std::chrono::milliseconds(50)))
        {
            std::fprintf(stderr, "cannot open the receiver\n");
            std::exit(1);
        }
        [[maybe_unused]] const int obtained = socket_.SetLargeReceiveBuffer(32 * 1024 * 1024);
        port_ = socket_.LocalEndpoint()->port;
        times_.reserve(capacity);
        thread_ = std::thread(
            [this]
            {
                std::uint8_t buffer[512];
                while (!stop_.load())
                {
                    if (socket_.ReceiveFrom(buffer, sizeof buffer, nullptr) > 0)
                    {
                        times_.push_back(Clock::now());
                    }
                }
            });
    }
    ~Receiver() { Stop(); }
    void Stop()
    {
        stop_ = true;
        if (thread_.joinable())
        {
            thread_.join();
        }
    }
    [[nodiscard]] std::uint16_t Port() const { return port_; }
    // After Stop: datagrams received, and the most within any one millisecond.
    [[nodiscard]] std::size_t Count() const { return times_.size(); }
    [[nodiscard]] std::size_t BusiestMillisecond() const
    {
        std::size_t most = 0;
        std::size_t begin = 0;
        for (std::size_t end = 0; end < times_.size(); ++end)
        {
            while (times_[end] - times_[begin] >= std::chrono::milliseconds(1))
            {
                ++begin;
            }
            most = std::max(most, end - begin + 1);
        }
        return most;
    }

private:
    net::Socket socket_ = net::Socket::Create(net::SocketKind::Udp);
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_ { false };
    std::vector<Clock::time_point> times_;
    std::thread thread_;
};

struct Result
{
    double seconds = 0;
    std::size_t received = 0;
    std::size_t busiest = 0;
};

Result Paced(int rate, std::uint32_t count, const std::vector<std::uint8_t>& datagram)
{
    Receiver receiver(count);
    net::Socket socket = net::Socket::Create(net::SocketKind::Udp);
    protocol::PacedSender sender;
    std::atomic<bool> done { false };
    protocol::PacedRun run;
    run.datagram = datagram;
    run.ranges = { { kFirst, kFirst + count - 1, {} } };
    run.port = receiver.Port();
    run.rate = rate;
    run.done = [&](std::uint64_t, bool) { done = true; };
    const auto start = Clock::now();
    if (!sender.Submit(socket, std::move(run)))
    {
        return {};
    }
    while (!done.load())
    {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    receiver.Stop();
    return { seconds, receiver.Count(), receiver.BusiestMillisecond() };
}

// The reference: one thread that sleeps until each datagram is due.
Result Plain(int rate, std::uint32_t count, const std::vector<std::uint8_t>& datagram)
{
    Receiver receiver(count);
    net::Socket socket = net::Socket::Create(net::SocketKind::Udp);
    const auto start = Clock::now();
    for (std::uint32_t i = 0; i < count; ++i)
    {
        std::this_thread::sleep_until(start + std::chrono::nanoseconds(std::int64_t { i } * 1'000'000'000 / rate));
        [[maybe_unused]] const int sent
            = socket.SendTo(datagram.data(), datagram.size(), { kFirst + i, receiver.Port() });
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    receiver.Stop();
    return { seconds, receiver.Count(), receiver.BusiestMillisecond() };
}

} // namespace

int main()
{
    const std::vector<std::uint8_t> datagram(256, 0x41);
    std::printf("range scan sender vs a plain paced loop, loopback, 256-byte datagrams\n\n");
    std::printf("%8s %9s %9s | %9s %10s %8s %9s | %9s %10s %8s %9s\n",
        "rate/s",
        "addresses",
        "ideal s",
        "scan s",
        "scan /s",
        "scan rx",
        "max/ms",
        "plain s",
        "plain /s",
        "plain rx",
        "max/ms");
    for (const int rate : { 2000, 10000, 50000 })
    {
        const auto count = static_cast<std::uint32_t>(std::min(rate * 2, 65536));
        const Result scan = Paced(rate, count, datagram);
        const Result plain = Plain(rate, count, datagram);
        std::printf("%8d %9u %9.3f | %9.3f %10.0f %8zu %9zu | %9.3f %10.0f %8zu %9zu\n",
            rate,
            count,
            static_cast<double>(count) / rate,
            scan.seconds,
            count / scan.seconds,
            scan.received,
            scan.busiest,
            plain.seconds,
            count / plain.seconds,
            plain.received,
            plain.busiest);
    }
    return 0;
}
