#pragma once

#include "core/window.h"
#include "platform/audio/wave_out.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// The alarm sound: one short WAVE file kept in memory and handed to the
// waveform output as one buffer. A play request while it sounds is ignored,
// so the alarm neither overlaps nor queues up, and it never repeats by itself.

namespace quellis::monitor
{

inline constexpr const char* kAlarmFile = "devDown.wav";

class CWave : public core::Alarm
{
public:
    using DeviceOpener = std::function<std::unique_ptr<audio::WaveOut>(
        const audio::PcmFormat& format, audio::WaveOut::DoneHandler done)>;

    // The system's default output device (the null device without one).
    CWave();
    // Tests hand in the device.
    explicit CWave(DeviceOpener opener);
    ~CWave() override;
    CWave(const CWave&) = delete;
    CWave& operator=(const CWave&) = delete;

    // Reads the sound (a relative name is looked for in the current
    // directory) and opens the device for its format. False when the file
    // cannot be read, is not a PCM WAVE file, or no device takes its format:
    // then nothing is kept and Play does nothing.
    bool Load(const std::filesystem::path& file = kAlarmFile);
    // Any thread: queues the sound unless it is sounding. A file without
    // sound data plays nothing.
    void Play() override;
    // Stops the sound, closes the device and frees the sound. False when the
    // device did not give the buffer back.
    bool Close();

    [[nodiscard]] std::size_t SoundLength() const;
    [[nodiscard]] bool DeviceOpen() const;

private:
    // The device's thread, when the buffer has played or was given back.
    void OnDone();
    // Under headerLock_: gives the buffer back to the device unless it was.
    [[nodiscard]] bool ReleaseBufferLocked();

    const DeviceOpener opener_;
    // Load, Play and Close one at a time: the sound and the device stay whole
    // while a worker queues them.
    mutable std::mutex useMutex_;
    std::vector<std::uint8_t> sound_;
    // Read by the done notification under headerLock_, so that closing it
    // never races with a late notification.
    std::unique_ptr<audio::WaveOut> device_;
    // No buffer queued on the device.
    std::atomic<bool> idle_ { true };
    // Guards stopping_, prepared_ and the release of the buffer: a reset in
    // Close and the done notification never release it twice.
    std::mutex headerLock_;
    bool stopping_ = false;
    bool prepared_ = false;
};

} // namespace quellis::monitor
