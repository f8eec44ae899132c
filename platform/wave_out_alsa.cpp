// The ALSA wave device. One feeder thread hands the queued buffers to the PCM in chunks,
// never waiting inside ALSA, and watches what the PCM has played: a buffer is done only when
// its last frame has been played (frames written less the PCM's delay), not when it has
// entered ALSA's half-second ring. So the end of the data is heard before the caller is told,
// and a Reset then drops nothing that was still to be heard. Volume and balance are a gain
// applied to the samples on the way.
#include <alsa/asoundlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/wave_out_device.h"

namespace zentu::wave_detail {

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kLatencyMicroseconds = 500000;
constexpr snd_pcm_uframes_t kChunkFrames = 2048;
// The longest the feeder sleeps while buffers are queued: how late a done message may come
// and how soon room in the ring is filled.
constexpr auto kPollInterval = std::chrono::milliseconds(10);
// A PCM that holds everything written and has not played a frame for this long (a server
// that never reports its last frames, a device that stopped) is taken to have played it.
constexpr auto kStallLimit = std::chrono::seconds(1);
constexpr int kRecoverAttempts = 3;

// alsa-lib prints its complaints (missing cards, unknown PCMs) to stderr; failures reach us
// as results instead.
void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}

void SilenceAlsaOnce() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(QuietAlsa); });
}

uint32_t SystemError(int alsaResult) { return kWaveSystemErrorBase + static_cast<uint32_t>(-alsaResult); }

class TAlsaWaveOut final : public TWaveOutBase {
public:
    TAlsaWaveOut(snd_pcm_t* pcm, const TWaveFormat& format, TWaveCallback callback)
        : TWaveOutBase(format, std::move(callback)), pcm_(pcm), scratch_(kChunkFrames * format.blockAlign) {
        feeder_ = std::thread([this] { Feed(); });
    }

    ~TAlsaWaveOut() override {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
            changed_.notify_all();
        }
        feeder_.join();
        {
            std::lock_guard lock(mutex_);
            handed_.clear();
            CompleteAll();
        }
        std::lock_guard pcmLock(pcmMutex_);
        snd_pcm_nonblock(pcm_, 0);
        snd_pcm_drain(pcm_);
        snd_pcm_close(pcm_);
    }

    uint32_t Reset() override {
        std::lock_guard lock(mutex_);
        {
            // Silent first, then the buffers come back: nothing of them is heard afterwards.
            std::lock_guard pcmLock(pcmMutex_);
            ++generation_;
            resets_.store(generation_);
            snd_pcm_drop(pcm_);
            snd_pcm_prepare(pcm_);
            framesWritten_ = 0;
            playedFloor_ = 0;
        }
        handed_.clear();
        offset_ = 0;
        fed_ = 0;
        CompleteAll();
        changed_.notify_all();
        return MMSYSERR_NOERROR;
    }

    uint32_t GetPosition(uint32_t& bytes) override {
        std::lock_guard pcmLock(pcmMutex_);
        bytes = static_cast<uint32_t>(PlayedLocked(snd_pcm_state(pcm_)) * format_.blockAlign);
        return MMSYSERR_NOERROR;
    }

private:
    // Frames played since open or Reset; under pcmMutex_. A PCM that ran dry (an underrun
    // after the last frame) has played everything written, whatever delay it still reports.
    uint64_t PlayedLocked(snd_pcm_state_t state) {
        uint64_t played = framesWritten_;
        if (state != SND_PCM_STATE_XRUN) {
            snd_pcm_sframes_t delay = 0;
            if (snd_pcm_delay(pcm_, &delay) < 0 || delay < 0) delay = 0;
            played -= std::min<uint64_t>(played, static_cast<uint64_t>(delay));
        }
        return std::max(played, playedFloor_);
    }

    // Writes up to `frames` of the scratch buffer without waiting; returns the frames the
    // PCM took (fewer when its ring is full; none when Reset intervened). A failure the PCM
    // cannot recover from is left in `failure`.
    snd_pcm_uframes_t WriteChunk(snd_pcm_uframes_t frames, uint64_t generation, int& failure) {
        std::lock_guard pcmLock(pcmMutex_);
        if (resets_.load() != generation) return 0;
        snd_pcm_uframes_t taken = 0;
        int attempts = 0;
        while (taken < frames) {
            const snd_pcm_sframes_t n = snd_pcm_writei(pcm_, scratch_.data() + taken * format_.blockAlign, frames - taken);
            if (n == -EAGAIN) break;
            if (n < 0) {
                // An underrun (EPIPE) or a suspend: prepare again and go on.
                if (++attempts <= kRecoverAttempts && snd_pcm_recover(pcm_, static_cast<int>(n), 1) == 0) continue;
                failure = static_cast<int>(n);
                break;
            }
            taken += static_cast<snd_pcm_uframes_t>(n);
            framesWritten_ += static_cast<uint64_t>(n);
        }
        return taken;
    }

    // The frames played so far. With everything handed over, a PCM still short of its start
    // threshold (the end of a short file) is started, or it would never play.
    uint64_t Played(bool everythingHanded, uint64_t generation) {
        std::lock_guard pcmLock(pcmMutex_);
        if (resets_.load() != generation) return 0;
        snd_pcm_state_t state = snd_pcm_state(pcm_);
        if (everythingHanded && state == SND_PCM_STATE_PREPARED && framesWritten_ > 0) {
            snd_pcm_start(pcm_);
            state = snd_pcm_state(pcm_);
        }
        return PlayedLocked(state);
    }

    void TakeAsPlayed(uint64_t frames, uint64_t generation) {
        std::lock_guard pcmLock(pcmMutex_);
        if (resets_.load() == generation) playedFloor_ = std::max(playedFloor_, frames);
    }

    // Under mutex_: hands the PCM what its ring has room for. False when Reset or a failure
    // ended the pass.
    bool HandOver(std::unique_lock<std::mutex>& lock, uint64_t generation) {
        while (handed_.size() < queue_.size()) {
            TWaveHeader* header = queue_[handed_.size()];
            // Whole frames only: a trailing partial frame is dropped with its buffer.
            const snd_pcm_uframes_t left = (header->bufferLength - offset_) / format_.blockAlign;
            if (left == 0) {
                handed_.push_back(fed_);
                offset_ = 0;
                continue;
            }
            const snd_pcm_uframes_t frames = std::min(left, kChunkFrames);
            ApplyVolume(scratch_.data(), header->data + offset_, frames * format_.blockAlign, format_, DeviceVolume());
            lock.unlock();
            int failure = 0;
            const snd_pcm_uframes_t taken = WriteChunk(frames, generation, failure);
            lock.lock();
            if (stop_ || generation_ != generation) return false;
            if (failure != 0) {
                // The device is gone: hand everything back and refuse later writes.
                failure_ = SystemError(failure);
                handed_.clear();
                offset_ = 0;
                CompleteAll();
                return false;
            }
            offset_ += taken * format_.blockAlign;
            fed_ += taken;
            if (taken < frames) return true;  // the ring is full
        }
        return true;
    }

    void Feed() {
        std::unique_lock lock(mutex_);
        uint64_t lastPlayed = 0;
        Clock::time_point lastProgress = Clock::now();
        while (!stop_) {
            if (queue_.empty()) {
                changed_.wait(lock);
                lastProgress = Clock::now();
                continue;
            }
            const uint64_t generation = generation_;
            if (!HandOver(lock, generation)) continue;
            const bool everythingHanded = handed_.size() == queue_.size();
            lock.unlock();
            uint64_t played = Played(everythingHanded, generation);
            lock.lock();
            if (stop_ || generation_ != generation) continue;

            const Clock::time_point now = Clock::now();
            if (played != lastPlayed) {
                lastPlayed = played;
                lastProgress = now;
            } else if (everythingHanded && now - lastProgress > kStallLimit) {
                played = fed_;
                lock.unlock();
                TakeAsPlayed(played, generation);
                lock.lock();
                if (stop_ || generation_ != generation) continue;
            }
            while (!handed_.empty() && handed_.front() <= played) {
                handed_.pop_front();
                CompleteFront();
            }
            if (queue_.empty()) continue;
            // Wake for the next buffer's end, or to fill the ring again.
            auto wait = std::chrono::duration_cast<Clock::duration>(kPollInterval);
            if (!handed_.empty()) {
                const auto toEnd = std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(static_cast<double>(handed_.front() - played) / format_.samplesPerSec));
                wait = std::clamp<Clock::duration>(toEnd, std::chrono::milliseconds(1), wait);
            }
            changed_.wait_for(lock, wait);
        }
    }

    snd_pcm_t* const pcm_;
    std::mutex pcmMutex_;  // every PCM call; taken after mutex_ when both are held
    uint64_t framesWritten_ = 0;  // under pcmMutex_
    uint64_t playedFloor_ = 0;  // frames taken as played by the stall rule; under pcmMutex_
    std::atomic<uint64_t> resets_{0};  // generation_ as Reset leaves it, for the PCM side
    // Under mutex_: the frames written in this generation, the bytes of the first buffer not
    // yet wholly written that are, and for every wholly written buffer (the first
    // handed_.size() of queue_) the frame count at its end.
    uint64_t fed_ = 0;
    size_t offset_ = 0;
    std::deque<uint64_t> handed_;
    std::vector<uint8_t> scratch_;  // the feeder's alone
    std::thread feeder_;
};

}  // namespace

uint32_t OpenAlsa(std::unique_ptr<TWaveOut>& device, const std::string& name, const TWaveFormat& format,
                  TWaveCallback callback) {
    SilenceAlsaOnce();
    snd_pcm_t* pcm = nullptr;
    // Non-blocking: a busy device fails at once instead of stalling the caller, and the
    // feeder never sleeps inside ALSA where Reset and Close could not reach it.
    int result = snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (result < 0) return SystemError(result);
    const snd_pcm_format_t sampleFormat = format.bitsPerSample == 16 ? SND_PCM_FORMAT_S16_LE : SND_PCM_FORMAT_U8;
    result = snd_pcm_set_params(pcm, sampleFormat, SND_PCM_ACCESS_RW_INTERLEAVED, format.channels,
                                format.samplesPerSec, 1, kLatencyMicroseconds);
    if (result < 0) {
        snd_pcm_close(pcm);
        return SystemError(result);
    }
    device = std::make_unique<TAlsaWaveOut>(pcm, format, std::move(callback));
    return MMSYSERR_NOERROR;
}

std::string AlsaErrorText(int code) {
    const char* text = snd_strerror(-code);
    return text ? text : "";
}

}  // namespace zentu::wave_detail
