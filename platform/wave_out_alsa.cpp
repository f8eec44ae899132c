// The ALSA wave device. A feeder thread hands queued buffers to the PCM in chunks; a buffer
// is done once all of it is in ALSA's ring (half a second of latency), and the position is
// the frames written less the ring's delay. Closing drains the ring unless reset, so what was
// written is heard. Volume and balance are a gain applied to the samples on the way.
#include <alsa/asoundlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/wave_out_device.h"

namespace zentu::wave_detail {

namespace {

constexpr unsigned kLatencyMicroseconds = 500000;
constexpr size_t kChunkFrames = 2048;
constexpr int kWaitMilliseconds = 100;

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
            CompleteAll();
        }
        std::lock_guard pcmLock(pcmMutex_);
        snd_pcm_nonblock(pcm_, 0);
        snd_pcm_drain(pcm_);
        snd_pcm_close(pcm_);
    }

    uint32_t Reset() override {
        {
            std::lock_guard lock(mutex_);
            ++generation_;
            resets_.store(generation_);
            CompleteAll();
            offset_ = 0;
            changed_.notify_all();
        }
        std::lock_guard pcmLock(pcmMutex_);
        snd_pcm_drop(pcm_);
        snd_pcm_prepare(pcm_);
        framesWritten_ = 0;
        return MMSYSERR_NOERROR;
    }

    uint32_t GetPosition(uint32_t& bytes) override {
        std::lock_guard pcmLock(pcmMutex_);
        snd_pcm_sframes_t delay = 0;
        // An underrun or a stopped PCM has nothing in its ring.
        if (snd_pcm_delay(pcm_, &delay) < 0 || delay < 0) delay = 0;
        const uint64_t frames = framesWritten_ - std::min<uint64_t>(framesWritten_, static_cast<uint64_t>(delay));
        bytes = static_cast<uint32_t>(frames * format_.blockAlign);
        return MMSYSERR_NOERROR;
    }

private:
    // Writes `frames` from the scratch buffer; false when Reset intervened. A failure the
    // PCM cannot recover from is left in `failure`.
    bool WriteChunk(snd_pcm_uframes_t frames, uint64_t generation, int& failure) {
        const uint8_t* at = scratch_.data();
        while (frames > 0) {
            snd_pcm_sframes_t written;
            {
                std::lock_guard pcmLock(pcmMutex_);
                if (resets_.load() != generation) return false;
                written = snd_pcm_writei(pcm_, at, frames);
                if (written > 0) framesWritten_ += static_cast<uint64_t>(written);
                // An underrun (EPIPE) or a suspend: prepare again and go on.
                if (written < 0 && written != -EAGAIN) {
                    if (snd_pcm_recover(pcm_, static_cast<int>(written), 1) == 0) continue;
                    failure = static_cast<int>(written);
                    return true;
                }
            }
            if (written == -EAGAIN) {
                snd_pcm_wait(pcm_, kWaitMilliseconds);
                continue;
            }
            at += static_cast<size_t>(written) * format_.blockAlign;
            frames -= static_cast<snd_pcm_uframes_t>(written);
        }
        return true;
    }

    void Feed() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (stop_) return;
            TWaveHeader* header = queue_.front();
            const uint64_t generation = generation_;
            const size_t chunk = std::min<size_t>(scratch_.size(), header->bufferLength - offset_);
            ApplyVolume(scratch_.data(), header->data + offset_, chunk, format_, DeviceVolume());
            lock.unlock();
            int failure = 0;
            const bool current = WriteChunk(chunk / format_.blockAlign, generation, failure);
            lock.lock();
            if (!current || generation_ != generation) continue;
            if (failure != 0) {
                // The device is gone: hand everything back and refuse later writes.
                failure_ = SystemError(failure);
                offset_ = 0;
                CompleteAll();
                continue;
            }
            offset_ += chunk;  // a trailing partial frame is dropped with it
            if (offset_ >= header->bufferLength) {
                offset_ = 0;
                CompleteFront();
            }
        }
    }

    snd_pcm_t* const pcm_;
    std::mutex pcmMutex_;  // every PCM call but the feeder's wait for room
    uint64_t framesWritten_ = 0;  // under pcmMutex_
    std::atomic<uint64_t> resets_{0};  // generation_ as Reset leaves it, for the PCM side
    size_t offset_ = 0;  // bytes of the oldest buffer already written; under mutex_
    std::vector<uint8_t> scratch_;  // the feeder's alone
    std::thread feeder_;
};

}  // namespace

uint32_t OpenAlsa(std::unique_ptr<TWaveOut>& device, const std::string& name, const TWaveFormat& format,
                  TWaveCallback callback) {
    SilenceAlsaOnce();
    snd_pcm_t* pcm = nullptr;
    // Non-blocking: a busy device fails at once instead of stalling the caller.
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
