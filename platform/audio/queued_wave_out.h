#pragma once

#include "platform/audio/wave_out.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// The part every device shares: the one buffer's state (prepared, queued),
// the device thread that plays it and delivers the done notification, and
// Reset and close, which cancel a playback and wait for its notification.
// A device supplies only how samples are played.

namespace quellis::audio
{

class QueuedWaveOut : public WaveOut
{
public:
    ~QueuedWaveOut() override;

    WaveResult Prepare(std::span<const std::uint8_t> samples) override;
    WaveResult Write() override;
    WaveResult Reset() override;
    WaveResult Unprepare() override;

protected:
    using Clock = std::chrono::steady_clock;

    QueuedWaveOut(const PcmFormat& format, DoneHandler done);

    // The device's constructor calls this last and its destructor calls
    // Shutdown first: the thread runs Play, which the device implements.
    void StartThread();
    void Shutdown();

    // Device thread: plays the samples, returning early once Cancelled.
    virtual void Play(std::span<const std::uint8_t> samples) = 0;
    [[nodiscard]] bool Cancelled();
    // Waits until `until`; true (at once) when the playback is cancelled.
    [[nodiscard]] bool WaitCancelled(Clock::time_point until);

    const PcmFormat format_;

private:
    void Run();

    const DoneHandler done_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::span<const std::uint8_t> samples_;
    bool prepared_ = false;
    bool queued_ = false;
    bool delivering_ = false; // the done notification is running
    bool cancel_ = false;
    bool closing_ = false;
    // Done notifications delivered; Reset waits for the one of its buffer.
    std::uint64_t delivered_ = 0;
    std::thread thread_;
};

} // namespace quellis::audio
