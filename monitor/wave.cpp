#include "monitor/wave.h"

#include "monitor/wave_file.h"
#include "platform/trace/trace.h"

namespace quellis::monitor
{

CWave::CWave()
    : CWave(audio::OpenWaveOut)
{
}

CWave::CWave(DeviceOpener opener)
    : opener_(std::move(opener))
{
}

CWave::~CWave()
{
    Close();
}

bool CWave::Load(const std::filesystem::path& file)
{
    Close();
    std::optional<WaveSound> sound = ReadWaveFile(file);
    if (!sound)
    {
        return false;
    }
    // The player is built for 16-bit samples: an 8-bit file gets a format
    // whose block alignment does not match its bits, and the device refuses it.
    const std::uint64_t blockAlign = std::uint64_t { sound->channels } * 2;
    audio::PcmFormat format;
    format.channels = sound->channels;
    format.samplesPerSecond = sound->samplesPerSecond;
    format.bitsPerSample = sound->bitsPerSample;
    format.blockAlign = static_cast<std::uint16_t>(blockAlign);
    format.bytesPerSecond = static_cast<std::uint32_t>(sound->samplesPerSecond * blockAlign);

    std::lock_guard use(useMutex_);
    std::unique_ptr<audio::WaveOut> device = opener_(format, [this] { OnDone(); });
    idle_ = true;
    if (!device)
    {
        trace::OutputDebugStringF("%s: no device takes %u channels, %u Hz, %u bits\n",
            file.string().c_str(),
            unsigned { sound->channels },
            sound->samplesPerSecond,
            unsigned { sound->bitsPerSample });
        return false;
    }
    sound_ = std::move(sound->samples);
    std::lock_guard header(headerLock_);
    device_ = std::move(device);
    return true;
}

void CWave::Play()
{
    std::lock_guard use(useMutex_);
    if (!device_ || sound_.empty())
    {
        return;
    }
    // A running alarm is neither restarted nor queued again.
    bool idle = true;
    if (!idle_.compare_exchange_strong(idle, false))
    {
        return;
    }
    bool prepared = false;
    {
        std::lock_guard header(headerLock_);
        if (!prepared_)
        {
            prepared_ = device_->Prepare(sound_) == audio::WaveResult::Ok;
        }
        prepared = prepared_;
    }
    if (!prepared || device_->Write() != audio::WaveResult::Ok)
    {
        // No done notification follows a buffer that was not queued; without
        // this the alarm would stay mute until the next Load.
        trace::OutputDebugString("alarm: the device did not take the sound\n");
        idle_ = true;
    }
}

void CWave::OnDone()
{
    {
        std::lock_guard header(headerLock_);
        if (!stopping_)
        {
            [[maybe_unused]] const bool released = ReleaseBufferLocked();
        }
    }
    idle_ = true;
}

bool CWave::ReleaseBufferLocked()
{
    if (!prepared_ || !device_)
    {
        return true;
    }
    prepared_ = false;
    return device_->Unprepare() == audio::WaveResult::Ok;
}

bool CWave::Close()
{
    std::lock_guard use(useMutex_);
    bool closed = true;
    if (device_)
    {
        if (!sound_.empty() && !idle_.exchange(true))
        {
            // The reset makes the device give the buffer back through the done
            // notification; stopping keeps that notification from releasing it
            // while this thread does.
            {
                std::lock_guard header(headerLock_);
                stopping_ = true;
            }
            const bool reset = device_->Reset() == audio::WaveResult::Ok;
            std::lock_guard header(headerLock_);
            const bool released = ReleaseBufferLocked();
            stopping_ = false;
            closed = reset && released;
        }
        std::unique_ptr<audio::WaveOut> device;
        {
            std::lock_guard header(headerLock_);
            // A buffer prepared for a write the device refused.
            [[maybe_unused]] const bool released = ReleaseBufferLocked();
            device = std::move(device_);
        }
        // Closing joins the device's thread: outside the lock its last
        // notification may still take.
        device.reset();
    }
    sound_.clear();
    sound_.shrink_to_fit();
    return closed;
}

std::size_t CWave::SoundLength() const
{
    std::lock_guard use(useMutex_);
    return sound_.size();
}

bool CWave::DeviceOpen() const
{
    std::lock_guard use(useMutex_);
    return device_ != nullptr;
}

} // namespace quellis::monitor
