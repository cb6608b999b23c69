#include "tests/support/fake_pcm.h"

#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <dlfcn.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace quellis::test
{
namespace
{

using Clock = std::chrono::steady_clock;

// The script and the tally are the process's: a test opens one device at a
// time. ALSA calls the stream's callbacks on the device's thread while the
// test reads the tally on its own.
std::mutex shared;
FakePcmScript script;
FakePcmTally tally;

struct Stream
{
    snd_pcm_ioplug_t io {};
    int timer = -1;
    bool running = false;
    Clock::time_point startedAt;
    // Since the last prepare: frames written, and frames the clock consumed.
    snd_pcm_uframes_t queued = 0;
    snd_pcm_uframes_t played = 0;
};

Stream& Of(snd_pcm_ioplug_t* io)
{
    return *static_cast<Stream*>(io->private_data);
}

// Brings `played` up to the clock. Called with `shared` held.
void Advance(Stream& stream)
{
    if (!stream.running || script.frozen)
    {
        return;
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - stream.startedAt);
    const auto due = static_cast<snd_pcm_uframes_t>(elapsed.count() * stream.io.rate / 1'000'000);
    // A card that has played everything it was given plays nothing more.
    const snd_pcm_uframes_t now = std::min(due, stream.queued);
    if (now > stream.played)
    {
        tally.framesPlayed += static_cast<std::int64_t>(now - stream.played);
        stream.played = now;
    }
}

int Start(snd_pcm_ioplug_t* io)
{
    Stream& stream = Of(io);
    std::lock_guard lock(shared);
    // The clock counts from the frames already played (none after a prepare).
    stream.startedAt
        = Clock::now() - std::chrono::microseconds(static_cast<std::int64_t>(stream.played * 1'000'000 / io->rate));
    stream.running = true;
    ++tally.starts;
    return 0;
}

int Stop(snd_pcm_ioplug_t* io)
{
    Stream& stream = Of(io);
    std::lock_guard lock(shared);
    Advance(stream);
    stream.running = false;
    return 0;
}

int Prepare(snd_pcm_ioplug_t* io)
{
    Stream& stream = Of(io);
    std::lock_guard lock(shared);
    stream.running = false;
    if (script.failPrepares > 0)
    {
        --script.failPrepares;
        return -ENODEV;
    }
    stream.queued = 0;
    stream.played = 0;
    return 0;
}

// The position counts from the last prepare and never wraps within a test.
snd_pcm_sframes_t Pointer(snd_pcm_ioplug_t* io)
{
    Stream& stream = Of(io);
    std::lock_guard lock(shared);
    if (stream.running && script.underrunAfter >= 0 && tally.framesWritten >= script.underrunAfter
        && tally.underruns == 0)
    {
        ++tally.underruns;
        return -EPIPE;
    }
    Advance(stream);
    return static_cast<snd_pcm_sframes_t>(stream.played);
}

snd_pcm_sframes_t Transfer(
    snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t*, snd_pcm_uframes_t, snd_pcm_uframes_t size)
{
    Stream& stream = Of(io);
    std::lock_guard lock(shared);
    stream.queued += size;
    tally.framesWritten += static_cast<std::int64_t>(size);
    return static_cast<snd_pcm_sframes_t>(size);
}

// The poll descriptor is a timer ticking every 2 ms: a writer that waits for
// room looks at the clock again on each tick.
int PollRevents(snd_pcm_ioplug_t* io, struct pollfd* fds, unsigned int count, unsigned short* revents)
{
    *revents = 0;
    if (count >= 1 && (fds[0].revents & POLLIN) != 0)
    {
        std::uint64_t ticks = 0;
        [[maybe_unused]] const ssize_t got = read(Of(io).timer, &ticks, sizeof ticks);
        *revents = POLLOUT;
    }
    return 0;
}

int HwParams(snd_pcm_ioplug_t* io, snd_pcm_hw_params_t*)
{
    std::lock_guard lock(shared);
    tally.bufferFrames = static_cast<std::int64_t>(io->buffer_size);
    return 0;
}

int Close(snd_pcm_ioplug_t* io)
{
    Stream* stream = &Of(io);
    close(stream->timer);
    delete stream;
    return 0;
}

snd_pcm_ioplug_callback_t MakeCallbacks()
{
    snd_pcm_ioplug_callback_t callbacks {};
    callbacks.start = Start;
    callbacks.stop = Stop;
    callbacks.pointer = Pointer;
    callbacks.transfer = Transfer;
    callbacks.prepare = Prepare;
    callbacks.hw_params = HwParams;
    callbacks.poll_revents = PollRevents;
    callbacks.close = Close;
    return callbacks;
}

const snd_pcm_ioplug_callback_t kCallbacks = MakeCallbacks();

int Constrain(snd_pcm_ioplug_t* io)
{
    static const unsigned int kAccess[] = { SND_PCM_ACCESS_RW_INTERLEAVED };
    static const unsigned int kFormats[] = { SND_PCM_FORMAT_U8, SND_PCM_FORMAT_S16_LE };
    int result = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, 1, kAccess);
    if (result >= 0)
    {
        result = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT, 2, kFormats);
    }
    const struct
    {
        int parameter;
        unsigned int min;
        unsigned int max;
    } ranges[] = {
        { SND_PCM_IOPLUG_HW_CHANNELS, 1, 8 },
        { SND_PCM_IOPLUG_HW_RATE, 4000, 192000 },
        { SND_PCM_IOPLUG_HW_PERIOD_BYTES, 16, 1u << 20 },
        { SND_PCM_IOPLUG_HW_BUFFER_BYTES, 64, 4u << 20 },
        { SND_PCM_IOPLUG_HW_PERIODS, 2, 64 },
    };
    for (const auto& range : ranges)
    {
        if (result >= 0)
        {
            result = snd_pcm_ioplug_set_param_minmax(io, range.parameter, range.min, range.max);
        }
    }
    return result;
}

} // namespace

void SetFakePcmScript(const FakePcmScript& next)
{
    std::lock_guard lock(shared);
    script = next;
    tally = { .bufferFrames = tally.bufferFrames };
}

FakePcmTally ReadFakePcmTally()
{
    std::lock_guard lock(shared);
    return tally;
}

bool InstallFakePcm(const std::string& directory)
{
    Dl_info self {};
    if (dladdr(reinterpret_cast<void*>(&SetFakePcmScript), &self) == 0 || self.dli_fname == nullptr)
    {
        return false;
    }
    std::error_code error;
    const std::filesystem::path library = std::filesystem::canonical(self.dli_fname, error);
    const std::filesystem::path file = std::filesystem::path(directory) / "asound.conf";
    {
        std::ofstream out(file);
        out << "pcm_type." << kFakePcmDevice << " { lib \"" << library.string() << "\" }\n"
            << "pcm." << kFakePcmDevice << " { type " << kFakePcmDevice << " }\n";
        if (error || !out)
        {
            return false;
        }
    }
    // ALSA splits the list at colons and spaces.
    const std::string system = std::string(snd_config_topdir()) + "/alsa.conf";
    return setenv("ALSA_CONFIG_PATH", (system + ":" + file.string()).c_str(), 1) == 0;
}

} // namespace quellis::test

// The entry ALSA looks up for a device of type quellis_fake.
extern "C" SND_PCM_PLUGIN_DEFINE_FUNC(quellis_fake)
{
    (void)root;
    (void)conf;
    auto* fake = new quellis::test::Stream;
    fake->timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    const itimerspec tick { { 0, 2'000'000 }, { 0, 2'000'000 } };
    if (fake->timer < 0 || timerfd_settime(fake->timer, 0, &tick, nullptr) < 0)
    {
        const int error = -errno;
        if (fake->timer >= 0)
        {
            close(fake->timer);
        }
        delete fake;
        return error;
    }
    fake->io.version = SND_PCM_IOPLUG_VERSION;
    fake->io.name = "quellis fake card";
    fake->io.callback = &quellis::test::kCallbacks;
    fake->io.private_data = fake;
    fake->io.poll_fd = fake->timer;
    fake->io.poll_events = POLLIN;
    fake->io.flags = SND_PCM_IOPLUG_FLAG_BOUNDARY_WA | SND_PCM_IOPLUG_FLAG_MONOTONIC;
    int result = snd_pcm_ioplug_create(&fake->io, name, stream, mode);
    if (result < 0)
    {
        close(fake->timer);
        delete fake;
        return result;
    }
    result = quellis::test::Constrain(&fake->io);
    if (result < 0)
    {
        snd_pcm_ioplug_delete(&fake->io); // calls Close
        return result;
    }
    *pcmp = fake->io.pcm;
    return 0;
}
extern "C"
{
    SND_PCM_PLUGIN_SYMBOL(quellis_fake)
}
