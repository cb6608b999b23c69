#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

// The waveform output: a device opened for one PCM format that plays one
// buffer at a time and hands it back through a done notification on the
// device's own thread. The system's default device plays through ALSA; the
// null device plays nothing for exactly as long as the samples would sound,
// so that tests and machines without sound keep the same timing.

namespace quellis::audio
{

struct PcmFormat
{
    std::uint16_t channels = 0;
    std::uint32_t samplesPerSecond = 0;
    std::uint16_t bitsPerSample = 0;
    std::uint16_t blockAlign = 0;
    std::uint32_t bytesPerSecond = 0;
};

// What every device takes: 8 or 16 bits, 1 to 8 channels, 1 to 384,000
// samples per second, and a block alignment and byte rate that agree with
// them. A device refuses any other format.
[[nodiscard]] bool IsPlayableFormat(const PcmFormat& format);

enum class WaveResult
{
    Ok,
    NotPrepared, // a write or a release of a buffer that is not prepared
    StillPlaying, // the buffer is queued: it cannot be prepared, written or released again
    DeviceFailed,
};

class WaveOut
{
public:
    // Called on the device's thread when the written buffer has been played
    // or given back by Reset. The device holds none of its locks then, so the
    // handler may release the buffer (Unprepare); it must not call Reset.
    using DoneHandler = std::function<void()>;

    // Ends a playback still running (its done notification comes first) and
    // closes the device.
    virtual ~WaveOut() = default;

    // Lends the samples to the device until Unprepare: they must stay valid
    // and unchanged until then.
    [[nodiscard]] virtual WaveResult Prepare(std::span<const std::uint8_t> samples) = 0;
    // Queues the prepared buffer; it plays at once.
    [[nodiscard]] virtual WaveResult Write() = 0;
    // Stops the playback: when this returns, the queued buffer (if any) has
    // been given back and its done notification has returned.
    [[nodiscard]] virtual WaveResult Reset() = 0;
    [[nodiscard]] virtual WaveResult Unprepare() = 0;
    // "null", or the ALSA name of the device ("default").
    [[nodiscard]] virtual std::string Name() const = 0;
};

// The system's default output device, or the one QUELLIS_AUDIO names ("null"
// for the null device, an ALSA device name otherwise). When that device does
// not open, the null device plays instead and one debug trace says why.
// Nothing for a format no device takes.
[[nodiscard]] std::unique_ptr<WaveOut> OpenWaveOut(const PcmFormat& format, WaveOut::DoneHandler done);

// The null device: silent, with real timing.
[[nodiscard]] std::unique_ptr<WaveOut> OpenNullWaveOut(const PcmFormat& format, WaveOut::DoneHandler done);

// An ALSA playback device by name; nothing, with the reason in `error`, when
// it does not open or refuses the format.
[[nodiscard]] std::unique_ptr<WaveOut> OpenAlsaWaveOut(
    const std::string& device, const PcmFormat& format, WaveOut::DoneHandler done, std::string* error);

} // namespace quellis::audio
