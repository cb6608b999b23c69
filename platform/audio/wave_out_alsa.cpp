#include "platform/audio/queued_wave_out.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <mutex>

namespace quellis::audio
{

namespace
{

using namespace std::chrono_literals;

// What the device may hold ahead of the sound: short, so that a reset is
// heard at once.
constexpr unsigned kLatencyMicroseconds = 100'000;
// Samples go out in pieces of this length, so that a cancelled playback
// stops within one piece.
constexpr auto kPiece = 20ms;

// ALSA prints its own errors to standard error by default; the caller reports
// a device that does not open in its one trace.
void QuietAlsa(const char*, int, const char*, int, const char*, ...)
{
}

class AlsaWaveOut final : public QueuedWaveOut
{
public:
    AlsaWaveOut(snd_pcm_t* pcm, std::string name, const PcmFormat& format, DoneHandler done)
        : QueuedWaveOut(format, std::move(done))
        , pcm_(pcm)
        , name_(std::move(name))
    {
        StartThread();
    }
    ~AlsaWaveOut() override
    {
        Shutdown();
        snd_pcm_close(pcm_);
    }

    std::string Name() const override { return name_; }

private:
    // Device thread: the only one that touches the PCM handle after opening.
    void Play(std::span<const std::uint8_t> samples) override
    {
        const snd_pcm_uframes_t total = samples.size() / format_.blockAlign;
        const auto piece = std::max<snd_pcm_uframes_t>(1, format_.samplesPerSecond * kPiece.count() / 1000);
        snd_pcm_uframes_t done = 0;
        while (done < total && !Cancelled())
        {
            const snd_pcm_uframes_t frames = std::min(piece, total - done);
            snd_pcm_sframes_t written = snd_pcm_writei(pcm_, samples.data() + done * format_.blockAlign, frames);
            if (written < 0)
            {
                // An underrun between two sounds or a suspended device.
                written = snd_pcm_recover(pcm_, static_cast<int>(written), 1);
                if (written < 0)
                {
                    break; // the device has gone: the sound counts as played
                }
                continue;
            }
            done += static_cast<snd_pcm_uframes_t>(written);
        }
        // Until the device has played what it holds, the buffer is still
        // sounding: wait for it in short steps that a reset can cut.
        for (;;)
        {
            snd_pcm_sframes_t delay = 0;
            if (Cancelled() || snd_pcm_delay(pcm_, &delay) < 0 || delay <= 0)
            {
                break;
            }
            const auto left = std::chrono::microseconds(delay * 1'000'000LL / format_.samplesPerSecond);
            if (WaitCancelled(Clock::now() + std::min<std::chrono::microseconds>(left, kPiece)))
            {
                break;
            }
        }
        // Stop the stream either way and make it ready for the next sound;
        // after a natural end there is nothing left to drop.
        snd_pcm_drop(pcm_);
        snd_pcm_prepare(pcm_);
    }

    snd_pcm_t* const pcm_;
    const std::string name_;
};

} // namespace

std::unique_ptr<WaveOut> OpenAlsaWaveOut(
    const std::string& device, const PcmFormat& format, WaveOut::DoneHandler done, std::string* error)
{
    static std::once_flag quiet;
    std::call_once(quiet, [] { snd_lib_error_set_handler(QuietAlsa); });
    if (!IsPlayableFormat(format))
    {
        *error = "format refused";
        return nullptr;
    }
    snd_pcm_t* pcm = nullptr;
    // Opened without blocking: a busy device or a sound server that does not
    // answer must not hold up the caller (the window's start-up).
    int result = snd_pcm_open(&pcm, device.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (result < 0)
    {
        *error = snd_strerror(result);
        return nullptr;
    }
    result = snd_pcm_nonblock(pcm, 0);
    if (result >= 0)
    {
        result = snd_pcm_set_params(pcm,
            format.bitsPerSample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE,
            SND_PCM_ACCESS_RW_INTERLEAVED,
            format.channels,
            format.samplesPerSecond,
            1,
            kLatencyMicroseconds);
    }
    if (result < 0)
    {
        *error = snd_strerror(result);
        snd_pcm_close(pcm);
        return nullptr;
    }
    return std::make_unique<AlsaWaveOut>(pcm, device, format, std::move(done));
}

} // namespace quellis::audio
