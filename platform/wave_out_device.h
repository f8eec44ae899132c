// What the wave-out backends share: header bookkeeping, the queue of written buffers with
// their completion in order, the per-device software volume, and the backends' factories.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "platform/wave_out.h"

namespace zentu::wave_detail {

class TWaveOutBase : public TWaveOut {
public:
    TWaveOutBase(const TWaveFormat& format, TWaveCallback callback);
    uint32_t Prepare(TWaveHeader& header) override;
    uint32_t Unprepare(TWaveHeader& header) override;
    uint32_t Write(TWaveHeader& header) override;
    uint32_t GetVolume(uint32_t& volume) override;
    uint32_t SetVolume(uint32_t volume) override;

protected:
    // Called under mutex_ after a header joined the queue: the backend's thread has work.
    virtual void Queued() = 0;
    // Under mutex_: the oldest buffer is done.
    void CompleteFront();
    // Under mutex_: every queued buffer is done (reset, close, a dead device).
    void CompleteAll();

    const TWaveFormat format_;
    const TWaveCallback callback_;
    std::mutex mutex_;  // the queue and every header's flags
    std::deque<TWaveHeader*> queue_;
    bool stop_ = false;
    bool paused_ = false;
    uint32_t failure_ = MMSYSERR_NOERROR;  // a device that stopped working answers this
};

// The software level of the (one) device, left in the low word.
uint32_t DeviceVolume();
void SetDeviceVolume(uint32_t volume);
// Copies `bytes` of PCM from `source` to `target` with the level applied per channel.
void ApplyVolume(uint8_t* target, const uint8_t* source, size_t bytes, const TWaveFormat& format, uint32_t volume);

uint32_t OpenNull(std::unique_ptr<TWaveOut>& device, const TWaveFormat& format, TWaveCallback callback,
                  double speed);
// `devicePause`: pause with the PCM's own pause where it has one.
uint32_t OpenAlsa(std::unique_ptr<TWaveOut>& device, const std::string& name, const TWaveFormat& format,
                  TWaveCallback callback, bool devicePause);
// The sound library's text for an errno-style code; empty when it has none.
std::string AlsaErrorText(int code);

}  // namespace zentu::wave_detail
