#include "platform/audio/queued_wave_out.h"
#include "platform/trace/trace.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
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
// How long past its own length a sound may take before the device is given
// up on for this sound: a stream that never starts or never moves must not
// keep the alarm busy for the rest of the session.
constexpr auto kSlack = 2s;

// ALSA prints its own errors to standard error by default; the caller reports
// a device that does not open in its one trace.
void QuietAlsa(const char*, int, const char*, int, const char*, ...)
{
}

// Opened without blocking, and left so: a busy device or a sound server that
// does not answer must not hold up the caller (the window's start-up), and a
// write waits for room only as long as the sound may take.
snd_pcm_t* OpenPcm(const std::string& device, const PcmFormat& format, std::string* error)
{
    snd_pcm_t* pcm = nullptr;
    int result = snd_pcm_open(&pcm, device.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (result < 0)
    {
        *error = snd_strerror(result);
        return nullptr;
    }
    result = snd_pcm_set_params(pcm,
        format.bitsPerSample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE,
        SND_PCM_ACCESS_RW_INTERLEAVED,
        format.channels,
        format.samplesPerSecond,
        1,
        kLatencyMicroseconds);
    if (result < 0)
    {
        *error = snd_strerror(result);
        snd_pcm_close(pcm);
        return nullptr;
    }
    return pcm;
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
        if (pcm_ != nullptr)
        {
            snd_pcm_close(pcm_);
        }
    }

    std::string Name() const override { return name_; }

private:
    // Device thread: the only one that touches the PCM handle after opening.
    // Every way out leaves the stream stopped and ready, or reopened, so that
    // the next sound plays whatever happened to this one.
    void Play(std::span<const std::uint8_t> samples) override
    {
        const snd_pcm_uframes_t total = samples.size() / format_.blockAlign;
        const auto length = std::chrono::microseconds(total * 1'000'000ULL / format_.samplesPerSecond);
        const auto deadline = Clock::now() + length + kSlack;
        if (pcm_ == nullptr && !Reopen())
        {
            // No device for now: keep the sound's timing, as the null device does.
            [[maybe_unused]] const bool cancelled = WaitCancelled(deadline - kSlack);
            return;
        }
        const bool written = WriteAll(samples, total, deadline);
        // The stream starts by itself once its buffer is full; a sound
        // shorter than that, or the rest after an underrun, waits for this.
        if (written && !Cancelled())
        {
            if (snd_pcm_state(pcm_) == SND_PCM_STATE_PREPARED && snd_pcm_start(pcm_) < 0)
            {
                Trace("sound not started");
            }
            else
            {
                WaitPlayed(deadline);
            }
        }
        // After a natural end there is nothing left to drop.
        snd_pcm_drop(pcm_);
        if (snd_pcm_prepare(pcm_) < 0)
        {
            Trace("stream not ready again: reopened");
            snd_pcm_close(pcm_);
            pcm_ = nullptr;
            [[maybe_unused]] const bool reopened = Reopen();
        }
    }

    // False when the device failed or took too long; a cancel is not a failure.
    bool WriteAll(std::span<const std::uint8_t> samples, snd_pcm_uframes_t total, Clock::time_point deadline)
    {
        const auto piece = std::max<snd_pcm_uframes_t>(1, format_.samplesPerSecond * kPiece.count() / 1000);
        snd_pcm_uframes_t done = 0;
        while (done < total && !Cancelled())
        {
            if (Clock::now() >= deadline)
            {
                Trace("sound not written in its time");
                return false;
            }
            const snd_pcm_uframes_t frames = std::min(piece, total - done);
            snd_pcm_sframes_t written = snd_pcm_writei(pcm_, samples.data() + done * format_.blockAlign, frames);
            if (written == -EAGAIN)
            {
                // The buffer is full: wait for room, a piece at most.
                written = snd_pcm_wait(pcm_, static_cast<int>(kPiece.count()));
                if (written >= 0)
                {
                    continue;
                }
            }
            if (written < 0)
            {
                // An underrun or a suspended device.
                if (snd_pcm_recover(pcm_, static_cast<int>(written), 1) < 0)
                {
                    Trace("write failed");
                    return false;
                }
                continue;
            }
            done += static_cast<snd_pcm_uframes_t>(written);
        }
        return true;
    }

    // Until the device has played what it holds, the buffer is still
    // sounding: wait for it in short steps that a reset can cut.
    void WaitPlayed(Clock::time_point deadline)
    {
        for (;;)
        {
            snd_pcm_sframes_t delay = 0;
            if (Cancelled() || snd_pcm_state(pcm_) != SND_PCM_STATE_RUNNING || snd_pcm_delay(pcm_, &delay) < 0
                || delay <= 0)
            {
                return;
            }
            const auto now = Clock::now();
            if (now >= deadline)
            {
                Trace("sound never finished");
                return;
            }
            const auto left = std::chrono::microseconds(delay * 1'000'000LL / format_.samplesPerSecond);
            const auto step = std::min<Clock::duration>({ left, kPiece, deadline - now });
            if (WaitCancelled(now + step))
            {
                return;
            }
        }
    }

    bool Reopen()
    {
        std::string error;
        pcm_ = OpenPcm(name_, format_, &error);
        if (pcm_ == nullptr)
        {
            trace::OutputDebugStringF("alarm device \"%s\" not reopened (%s)\n", name_.c_str(), error.c_str());
        }
        return pcm_ != nullptr;
    }

    void Trace(const char* what) const { trace::OutputDebugStringF("alarm device \"%s\": %s\n", name_.c_str(), what); }

    snd_pcm_t* pcm_;
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
    snd_pcm_t* pcm = OpenPcm(device, format, error);
    if (pcm == nullptr)
    {
        return nullptr;
    }
    return std::make_unique<AlsaWaveOut>(pcm, device, format, std::move(done));
}

} // namespace quellis::audio
