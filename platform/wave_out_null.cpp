// The null wave device: consumes buffers at the stream's byte rate by the clock, with the
// completion, position and pause behaviour of a real device, and no sound.
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <thread>

#include "platform/wave_out_device.h"

namespace zentu::wave_detail {

namespace {

using Clock = std::chrono::steady_clock;

class TNullWaveOut final : public TWaveOutBase {
public:
    TNullWaveOut(const TWaveFormat& format, TWaveCallback callback, double speed)
        : TWaveOutBase(format, std::move(callback)), bytesPerSecond_(format.avgBytesPerSec * speed) {
        player_ = std::thread([this] {
            pthread_setname_np(pthread_self(), "zentu-nullout");
            Play();
        });
    }

    ~TNullWaveOut() override {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
            changed_.notify_all();
        }
        player_.join();
        std::lock_guard lock(mutex_);
        CompleteAll();
    }

    uint32_t Reset() override {
        std::lock_guard lock(mutex_);
        ++generation_;
        CompleteAll();
        completedBytes_ = 0;
        changed_.notify_all();
        return MMSYSERR_NOERROR;
    }

    uint32_t Pause() override {
        std::lock_guard lock(mutex_);
        if (paused_) return MMSYSERR_NOERROR;
        paused_ = true;
        pausedAt_ = Clock::now();
        ++generation_;
        changed_.notify_all();
        return MMSYSERR_NOERROR;
    }

    uint32_t Restart() override {
        std::lock_guard lock(mutex_);
        if (!paused_) return MMSYSERR_NOERROR;
        paused_ = false;
        // The clock stood still: the front buffer has as much left as when it paused.
        frontStart_ += Clock::now() - pausedAt_;
        ++generation_;
        changed_.notify_all();
        return MMSYSERR_NOERROR;
    }

    uint32_t GetPosition(uint32_t& bytes) override {
        std::lock_guard lock(mutex_);
        uint64_t played = completedBytes_;
        if (!queue_.empty()) {
            const Clock::time_point now = paused_ ? pausedAt_ : Clock::now();
            const double seconds = std::chrono::duration<double>(now - frontStart_).count();
            const auto inFront = static_cast<uint64_t>(std::max(0.0, seconds * bytesPerSecond_));
            played += std::min<uint64_t>(inFront, queue_.front()->bufferLength);
        }
        played -= played % format_.blockAlign;
        bytes = static_cast<uint32_t>(played);
        return MMSYSERR_NOERROR;
    }

private:
    void Queued() override {
        // A buffer written to an idle device starts playing now (a paused one: when it
        // restarts); otherwise it follows the one before it without a gap.
        if (queue_.size() == 1) {
            frontStart_ = paused_ ? pausedAt_ : Clock::now();
            changed_.notify_all();
        }
    }

    Clock::duration Duration(uint32_t bytes) const {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(bytes / bytesPerSecond_));
    }

    // Sleeps until the front buffer's end, or until a Reset, a pause, a restart or a first
    // buffer changes it; nothing else wakes it.
    void Play() {
        std::unique_lock lock(mutex_);
        while (!stop_) {
            if (queue_.empty() || paused_) {
                changed_.wait(lock);
                continue;
            }
            const uint64_t generation = generation_;
            const Clock::time_point end = frontStart_ + Duration(queue_.front()->bufferLength);
            changed_.wait_until(lock, end, [&] { return stop_ || generation_ != generation; });
            if (stop_ || generation_ != generation || Clock::now() < end) continue;
            completedBytes_ += queue_.front()->bufferLength;
            CompleteFront();
            frontStart_ = end;
        }
    }

    const double bytesPerSecond_;
    std::condition_variable changed_;
    uint64_t generation_ = 0;  // advanced by Reset, Pause and Restart: a wait begun before is void
    Clock::time_point frontStart_;  // when the oldest queued buffer began to play
    Clock::time_point pausedAt_;
    uint64_t completedBytes_ = 0;
    std::thread player_;
};

}  // namespace

uint32_t OpenNull(std::unique_ptr<TWaveOut>& device, const TWaveFormat& format, TWaveCallback callback,
                  double speed) {
    device = std::make_unique<TNullWaveOut>(format, std::move(callback), speed);
    return MMSYSERR_NOERROR;
}

}  // namespace zentu::wave_detail
