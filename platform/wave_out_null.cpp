// The null wave device: consumes buffers at the stream's byte rate by the clock, with the
// completion and position behaviour of a real device, and no sound.
#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/wave_out_device.h"

namespace zentu::wave_detail {

namespace {

using Clock = std::chrono::steady_clock;

class TNullWaveOut final : public TWaveOutBase {
public:
    TNullWaveOut(const TWaveFormat& format, TWaveCallback callback, double speed)
        : TWaveOutBase(format, std::move(callback)), bytesPerSecond_(format.avgBytesPerSec * speed) {
        player_ = std::thread([this] { Play(); });
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

    uint32_t GetPosition(uint32_t& bytes) override {
        std::lock_guard lock(mutex_);
        uint64_t played = completedBytes_;
        if (!queue_.empty()) {
            const double seconds = std::chrono::duration<double>(Clock::now() - frontStart_).count();
            const auto inFront = static_cast<uint64_t>(std::max(0.0, seconds * bytesPerSecond_));
            played += std::min<uint64_t>(inFront, queue_.front()->bufferLength);
        }
        played -= played % format_.blockAlign;
        bytes = static_cast<uint32_t>(played);
        return MMSYSERR_NOERROR;
    }

private:
    void Queued() override {
        // A buffer written to an idle device starts playing now; otherwise it follows the
        // one before it without a gap.
        if (queue_.size() == 1) frontStart_ = Clock::now();
    }

    Clock::duration Duration(uint32_t bytes) const {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(bytes / bytesPerSecond_));
    }

    void Play() {
        std::unique_lock lock(mutex_);
        while (!stop_) {
            if (queue_.empty()) {
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
    Clock::time_point frontStart_;  // when the oldest queued buffer began to play
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
