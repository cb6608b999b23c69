#include "platform/audio/queued_wave_out.h"
#include "platform/trace/trace.h"

#include <cstdlib>

namespace quellis::audio
{

namespace
{

constexpr std::uint16_t kMaxChannels = 8;
constexpr std::uint32_t kMaxSamplesPerSecond = 384'000;
constexpr const char* kDeviceVariable = "QUELLIS_AUDIO";
constexpr const char* kDefaultDevice = "default";
constexpr const char* kNullDevice = "null";

// Plays nothing, for as long as the samples last at the format's byte rate.
class NullWaveOut final : public QueuedWaveOut
{
public:
    NullWaveOut(const PcmFormat& format, DoneHandler done)
        : QueuedWaveOut(format, std::move(done))
    {
        StartThread();
    }
    ~NullWaveOut() override { Shutdown(); }

    std::string Name() const override { return kNullDevice; }

private:
    void Play(std::span<const std::uint8_t> samples) override
    {
        const auto length = std::chrono::microseconds(
            static_cast<std::int64_t>(samples.size() * 1'000'000ULL / format_.bytesPerSecond));
        [[maybe_unused]] const bool cancelled = WaitCancelled(Clock::now() + length);
    }
};

} // namespace

bool IsPlayableFormat(const PcmFormat& format)
{
    if (format.channels < 1 || format.channels > kMaxChannels || format.samplesPerSecond < 1
        || format.samplesPerSecond > kMaxSamplesPerSecond)
    {
        return false;
    }
    if (format.bitsPerSample != 8 && format.bitsPerSample != 16)
    {
        return false;
    }
    const std::uint64_t blockAlign = std::uint64_t { format.channels } * format.bitsPerSample / 8;
    return format.blockAlign == blockAlign && format.bytesPerSecond == format.samplesPerSecond * blockAlign;
}

// ---- The shared buffer and device thread ----------------------------------------

QueuedWaveOut::QueuedWaveOut(const PcmFormat& format, DoneHandler done)
    : format_(format)
    , done_(std::move(done))
{
}

QueuedWaveOut::~QueuedWaveOut()
{
    Shutdown();
}

void QueuedWaveOut::StartThread()
{
    thread_ = std::thread([this] { Run(); });
}

void QueuedWaveOut::Shutdown()
{
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        cancel_ = queued_;
    }
    changed_.notify_all();
    if (thread_.joinable())
    {
        thread_.join();
    }
}

WaveResult QueuedWaveOut::Prepare(std::span<const std::uint8_t> samples)
{
    std::lock_guard lock(mutex_);
    if (queued_)
    {
        return WaveResult::StillPlaying;
    }
    samples_ = samples;
    prepared_ = true;
    return WaveResult::Ok;
}

WaveResult QueuedWaveOut::Write()
{
    {
        std::lock_guard lock(mutex_);
        if (!prepared_)
        {
            return WaveResult::NotPrepared;
        }
        if (queued_)
        {
            return WaveResult::StillPlaying;
        }
        if (closing_)
        {
            return WaveResult::DeviceFailed;
        }
        queued_ = true;
        cancel_ = false;
    }
    changed_.notify_all();
    return WaveResult::Ok;
}

WaveResult QueuedWaveOut::Reset()
{
    std::unique_lock lock(mutex_);
    if (!queued_ && !delivering_)
    {
        return WaveResult::Ok;
    }
    if (std::this_thread::get_id() == thread_.get_id())
    {
        // A done notification cannot wait for itself.
        return WaveResult::DeviceFailed;
    }
    cancel_ = queued_;
    // The buffer being played or delivered is the next one counted.
    const std::uint64_t awaited = delivered_ + 1;
    changed_.notify_all();
    changed_.wait(lock, [&] { return delivered_ >= awaited; });
    return WaveResult::Ok;
}

WaveResult QueuedWaveOut::Unprepare()
{
    std::lock_guard lock(mutex_);
    if (!prepared_)
    {
        return WaveResult::NotPrepared;
    }
    if (queued_)
    {
        return WaveResult::StillPlaying;
    }
    prepared_ = false;
    samples_ = {};
    return WaveResult::Ok;
}

bool QueuedWaveOut::Cancelled()
{
    std::lock_guard lock(mutex_);
    return cancel_;
}

bool QueuedWaveOut::WaitCancelled(Clock::time_point until)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_until(lock, until, [&] { return cancel_; });
}

// Device thread. Owns nothing but its turn with the samples: from Write to
// the done notification the caller must leave them alone (the buffer is
// queued, so it can be neither prepared again nor released).
void QueuedWaveOut::Run()
{
    std::unique_lock lock(mutex_);
    for (;;)
    {
        changed_.wait(lock, [&] { return queued_ || closing_; });
        if (!queued_)
        {
            return;
        }
        const std::span<const std::uint8_t> samples = samples_;
        lock.unlock();
        Play(samples);
        lock.lock();
        queued_ = false;
        cancel_ = false;
        delivering_ = true;
        // The handler runs without the device's lock: it may release the
        // buffer, and Reset waits for it to have returned.
        lock.unlock();
        done_();
        lock.lock();
        delivering_ = false;
        ++delivered_;
        changed_.notify_all();
    }
}

// ---- Opening -------------------------------------------------------------------

std::unique_ptr<WaveOut> OpenNullWaveOut(const PcmFormat& format, WaveOut::DoneHandler done)
{
    if (!IsPlayableFormat(format))
    {
        return nullptr;
    }
    return std::make_unique<NullWaveOut>(format, std::move(done));
}

std::unique_ptr<WaveOut> OpenWaveOut(const PcmFormat& format, WaveOut::DoneHandler done)
{
    if (!IsPlayableFormat(format))
    {
        return nullptr;
    }
    const char* chosen = std::getenv(kDeviceVariable);
    const std::string device = chosen != nullptr && *chosen != '\0' ? chosen : kDefaultDevice;
    if (device != kNullDevice)
    {
        std::string error;
        if (auto alsa = OpenAlsaWaveOut(device, format, done, &error))
        {
            return alsa;
        }
        // A machine without sound still plays the alarm's timing: a play
        // request during the silent sound is ignored as during a real one.
        trace::OutputDebugStringF(
            "waveform output \"%s\" not opened (%s): the null device plays instead\n", device.c_str(), error.c_str());
    }
    return std::make_unique<NullWaveOut>(format, std::move(done));
}

} // namespace quellis::audio
