// The ALSA wave device. One feeder thread hands the queued buffers to the PCM and watches
// what it has played: a buffer is done only when its last frame has been played (frames
// written less the PCM's delay), not when it has entered ALSA's ring. So the end of the data
// is heard before the caller is told, and a Reset then drops nothing that was still to be
// heard. The feeder sleeps until there is work: room in the ring (the PCM's poll descriptors,
// woken when half the ring is free), the end of the oldest buffer (a time-out), or a call
// (an eventfd). Volume and balance are a gain applied to the samples on the way.
//
// Pause uses the PCM's own pause where it has one; elsewhere (plug, dmix, some server
// plugins) it drops what the ring holds and sends it again on Restart, from the first frame
// not played, which is still in the queued buffers: they are done only once played.
#include <alsa/asoundlib.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/file_descriptor.h"
#include "platform/wave_out_device.h"

namespace zentu::wave_detail {

namespace {

using Clock = std::chrono::steady_clock;

// A one-second ring in periods of a quarter: few wake-ups, and half a second in hand whenever
// the feeder is woken to fill it.
constexpr unsigned kBufferMicroseconds = 1000000;
constexpr unsigned kPeriodMicroseconds = 250000;
constexpr snd_pcm_uframes_t kChunkFrames = 4096;
// A PCM that holds everything written and has not played a frame for this long (a server
// that never reports its last frames, a device that stopped) is taken to have played it.
constexpr auto kStallLimit = std::chrono::seconds(1);
constexpr int kMaxWaitMs = 1000;
constexpr int kRecoverAttempts = 3;
constexpr int kMaxPollDescriptors = 8;

// alsa-lib prints its complaints (missing cards, unknown PCMs) to stderr; failures reach us
// as results instead.
void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}

void SilenceAlsaOnce() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(QuietAlsa); });
}

uint32_t SystemError(int alsaResult) { return kWaveSystemErrorBase + static_cast<uint32_t>(-alsaResult); }

struct TPcmCloser {
    void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};
using TPcm = std::unique_ptr<snd_pcm_t, TPcmCloser>;

class TAlsaWaveOut final : public TWaveOutBase {
public:
    TAlsaWaveOut(TPcm pcm, const TWaveFormat& format, TWaveCallback callback, bool devicePause, TFd wake)
        : TWaveOutBase(format, std::move(callback)),
          pcm_(std::move(pcm)),
          devicePause_(devicePause),
          wake_(std::move(wake)),
          rate_(format.samplesPerSec),
          scratch_(kChunkFrames * format.blockAlign) {
        feeder_ = std::thread([this] {
            pthread_setname_np(pthread_self(), "zentu-alsa");
            Feed();
        });
    }

    ~TAlsaWaveOut() override {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
            Wake();
        }
        feeder_.join();
        std::lock_guard lock(mutex_);
        CompleteAll();
        // What a paused device holds is not played at close; what is not yet played is.
        snd_pcm_t* pcm = pcm_.get();
        if (paused_ || failure_ != MMSYSERR_NOERROR || Played() == written_) {
            snd_pcm_drop(pcm);
        } else {
            snd_pcm_nonblock(pcm, 0);
            snd_pcm_drain(pcm);
        }
    }

    uint32_t Reset() override {
        std::lock_guard lock(mutex_);
        // Silent first, then the buffers come back: nothing of them is heard afterwards.
        snd_pcm_drop(pcm_.get());
        snd_pcm_prepare(pcm_.get());
        devicePaused_ = false;
        written_ = 0;
        played_ = 0;
        queueStart_ = 0;
        CompleteAll();
        Wake();
        return MMSYSERR_NOERROR;
    }

    uint32_t Pause() override {
        std::lock_guard lock(mutex_);
        if (paused_) return MMSYSERR_NOERROR;
        paused_ = true;
        if (failure_ != MMSYSERR_NOERROR) return MMSYSERR_NOERROR;
        Played();  // the position stands here until Restart
        if (snd_pcm_state(pcm_.get()) == SND_PCM_STATE_RUNNING) {
            if (devicePause_ && snd_pcm_pause(pcm_.get(), 1) == 0)
                devicePaused_ = true;
            else
                Rewind();
        }
        Wake();
        return MMSYSERR_NOERROR;
    }

    uint32_t Restart() override {
        std::lock_guard lock(mutex_);
        if (!paused_) return MMSYSERR_NOERROR;
        paused_ = false;
        if (devicePaused_ && snd_pcm_state(pcm_.get()) == SND_PCM_STATE_PAUSED && snd_pcm_pause(pcm_.get(), 0) < 0)
            Rewind();
        devicePaused_ = false;
        lastProgress_ = Clock::now();
        Wake();
        return MMSYSERR_NOERROR;
    }

    uint32_t GetPosition(uint32_t& bytes) override {
        std::lock_guard lock(mutex_);
        const uint64_t frames = paused_ || failure_ != MMSYSERR_NOERROR ? played_ : Played();
        bytes = static_cast<uint32_t>(frames * format_.blockAlign);
        return MMSYSERR_NOERROR;
    }

private:
    // A feeder that waits for room in the ring takes a new buffer when room comes: it need not
    // wake for it (a wake-up saved per buffer).
    void Queued() override {
        // A device that has been idle has not stalled: the stall clock starts again with the
        // first buffer after it.
        if (queue_.size() == 1) lastProgress_ = Clock::now();
        if (!awaitingRoom_) Wake();
    }

    void Wake() {
        const uint64_t one = 1;
        (void)!::write(wake_.Get(), &one, sizeof one);
    }

    uint64_t Frames(const TWaveHeader* header) const { return header->bufferLength / format_.blockAlign; }

    // Under mutex_: the frames played since open or Reset, never less than reported before. A
    // PCM that ran dry (an underrun after the last frame) has played everything written,
    // whatever delay it still reports; one not started has played nothing more.
    uint64_t Played() {
        const snd_pcm_state_t state = snd_pcm_state(pcm_.get());
        uint64_t played = played_;
        if (state == SND_PCM_STATE_XRUN) {
            played = written_;
        } else if (state == SND_PCM_STATE_RUNNING || state == SND_PCM_STATE_DRAINING) {
            snd_pcm_sframes_t delay = 0;
            if (snd_pcm_delay(pcm_.get(), &delay) < 0 || delay < 0) delay = 0;
            played = written_ - std::min<uint64_t>(written_, static_cast<uint64_t>(delay));
        }
        played_ = std::clamp(played, played_, written_);
        return played_;
    }

    // Under mutex_: for a pause without the device's own: silences the PCM and makes the
    // frames it held but had not played the next to be written.
    void Rewind() {
        snd_pcm_drop(pcm_.get());
        snd_pcm_prepare(pcm_.get());
        written_ = played_;
    }

    // Under mutex_: hands the PCM what its ring has room for. False when the device failed:
    // then every buffer is back and later writes are refused.
    bool HandOver() {
        uint64_t start = queueStart_;
        for (TWaveHeader* header : queue_) {
            const uint64_t frames = Frames(header);
            int attempts = 0;
            while (written_ < start + frames) {
                const uint64_t offset = written_ - start;
                const auto chunk = static_cast<snd_pcm_uframes_t>(std::min<uint64_t>(start + frames - written_, kChunkFrames));
                ApplyVolume(scratch_.data(), header->data + offset * format_.blockAlign, chunk * format_.blockAlign,
                            format_, DeviceVolume());
                const snd_pcm_sframes_t n = snd_pcm_writei(pcm_.get(), scratch_.data(), chunk);
                if (n == -EAGAIN) return true;  // the ring is full
                if (n < 0) {
                    // An underrun (EPIPE: everything written was played) or a suspend:
                    // prepare again and go on.
                    if (n == -EPIPE) played_ = written_;
                    if (++attempts <= kRecoverAttempts && snd_pcm_recover(pcm_.get(), static_cast<int>(n), 1) == 0)
                        continue;
                    failure_ = SystemError(static_cast<int>(n));
                    CompleteAll();
                    return false;
                }
                written_ += static_cast<uint64_t>(n);
                if (static_cast<snd_pcm_uframes_t>(n) < chunk) return true;
            }
            start += frames;
        }
        return true;
    }

    // Under mutex_: hands over, starts the PCM, gives back what has been played. Returns the
    // time to wait and whether room in the ring is awaited too.
    int Work(bool& awaitRoom) {
        awaitRoom = false;
        if (paused_ || queue_.empty() || failure_ != MMSYSERR_NOERROR) return -1;
        if (!HandOver()) return -1;
        // Started by hand: with whatever is in the ring after a pause's rewind, an underrun,
        // or the end of a short file, which never reach a start threshold of a full ring.
        if (snd_pcm_state(pcm_.get()) == SND_PCM_STATE_PREPARED && written_ > played_) snd_pcm_start(pcm_.get());
        const uint64_t played = Played();
        uint64_t queued = 0;
        for (const TWaveHeader* header : queue_) queued += Frames(header);
        const bool everythingWritten = written_ == queueStart_ + queued;

        const Clock::time_point now = Clock::now();
        if (played != lastPlayed_) {
            lastPlayed_ = played;
            lastProgress_ = now;
        } else if (everythingWritten && now - lastProgress_ > kStallLimit) {
            played_ = written_;
        }
        while (!queue_.empty() && queueStart_ + Frames(queue_.front()) <= played_) {
            queueStart_ += Frames(queue_.front());
            CompleteFront();
        }
        if (queue_.empty()) return -1;
        awaitRoom = !everythingWritten;
        const uint64_t frontEnd = queueStart_ + Frames(queue_.front());
        if (frontEnd > written_) return awaitRoom ? kMaxWaitMs : -1;
        // Wake when the oldest buffer's last frame has been played (rounded up).
        const uint64_t ms = (frontEnd - played_) * 1000 / rate_ + 1;
        return static_cast<int>(std::min<uint64_t>(ms, kMaxWaitMs));
    }

    void Feed() {
        std::unique_lock lock(mutex_);
        while (!stop_) {
            bool awaitRoom = false;
            const int timeout = Work(awaitRoom);
            awaitingRoom_ = awaitRoom;
            pollfd fds[1 + kMaxPollDescriptors];
            fds[0] = {wake_.Get(), POLLIN, 0};
            int pcmFds = 0;
            if (awaitRoom) {
                pcmFds = snd_pcm_poll_descriptors(pcm_.get(), fds + 1, kMaxPollDescriptors);
                pcmFds = std::max(pcmFds, 0);
            }
            lock.unlock();
            ::poll(fds, static_cast<nfds_t>(1 + pcmFds), timeout);
            if (fds[0].revents & POLLIN) {
                uint64_t count;
                (void)!::read(wake_.Get(), &count, sizeof count);
            }
            lock.lock();
            awaitingRoom_ = false;
            if (pcmFds > 0) {
                // Lets the PCM (a server plugin above all) take note of the wake-up.
                unsigned short revents = 0;
                snd_pcm_poll_descriptors_revents(pcm_.get(), fds + 1, static_cast<unsigned>(pcmFds), &revents);
            }
        }
    }

    const TPcm pcm_;
    const bool devicePause_;
    const TFd wake_;
    const uint64_t rate_;
    // Under mutex_, in frames since open or Reset: written to the PCM, played (never going
    // back), and where the oldest queued buffer starts; queued buffers follow one another.
    uint64_t written_ = 0;
    uint64_t played_ = 0;
    uint64_t queueStart_ = 0;
    bool awaitingRoom_ = false;  // the feeder polls the PCM for room
    bool devicePaused_ = false;  // held by the PCM's own pause
    uint64_t lastPlayed_ = 0;  // the feeder's, for the stall rule
    Clock::time_point lastProgress_ = Clock::now();
    std::vector<uint8_t> scratch_;  // the feeder's alone
    std::thread feeder_;
};

// One second in periods of a quarter where the device allows; started by hand.
int Configure(snd_pcm_t* pcm, const TWaveFormat& format) {
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    int result = snd_pcm_hw_params_any(pcm, hw);
    unsigned bufferTime = kBufferMicroseconds, periodTime = kPeriodMicroseconds;
    if (result >= 0) result = snd_pcm_hw_params_set_rate_resample(pcm, hw, 1);
    if (result >= 0) result = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
    if (result >= 0)
        result = snd_pcm_hw_params_set_format(pcm, hw, format.bitsPerSample == 16 ? SND_PCM_FORMAT_S16_LE : SND_PCM_FORMAT_U8);
    if (result >= 0) result = snd_pcm_hw_params_set_channels(pcm, hw, format.channels);
    if (result >= 0) result = snd_pcm_hw_params_set_rate(pcm, hw, format.samplesPerSec, 0);
    if (result >= 0) result = snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &bufferTime, nullptr);
    if (result >= 0) result = snd_pcm_hw_params_set_period_time_near(pcm, hw, &periodTime, nullptr);
    if (result >= 0) result = snd_pcm_hw_params(pcm, hw);
    if (result < 0) return result;
    snd_pcm_uframes_t bufferSize = 0, periodSize = 0;
    snd_pcm_get_params(pcm, &bufferSize, &periodSize);
    snd_pcm_sw_params_t* sw;
    snd_pcm_sw_params_alloca(&sw);
    result = snd_pcm_sw_params_current(pcm, sw);
    if (result >= 0) result = snd_pcm_sw_params_set_start_threshold(pcm, sw, bufferSize);
    if (result >= 0) result = snd_pcm_sw_params_set_avail_min(pcm, sw, std::max(periodSize, bufferSize / 2));
    if (result >= 0) result = snd_pcm_sw_params(pcm, sw);
    return result;
}

}  // namespace

uint32_t OpenAlsa(std::unique_ptr<TWaveOut>& device, const std::string& name, const TWaveFormat& format,
                  TWaveCallback callback, bool devicePause) {
    SilenceAlsaOnce();
    TFd wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake.Valid()) return SystemError(-errno);
    snd_pcm_t* opened = nullptr;
    // Non-blocking: a busy device fails at once instead of stalling the caller, and the
    // feeder never sleeps inside ALSA where Reset and Close could not reach it.
    int result = snd_pcm_open(&opened, name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (result < 0) return SystemError(result);
    TPcm pcm(opened);
    result = Configure(pcm.get(), format);
    if (result < 0) return SystemError(result);
    device = std::make_unique<TAlsaWaveOut>(std::move(pcm), format, std::move(callback), devicePause, std::move(wake));
    return MMSYSERR_NOERROR;
}

std::string AlsaErrorText(int code) {
    const char* text = snd_strerror(-code);
    return text ? text : "";
}

}  // namespace zentu::wave_detail
