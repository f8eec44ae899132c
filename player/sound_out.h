// TSoundOut: PCM to the wave-output device (or a WAV file) through four half-second
// buffers handed to the device and given back on the output's own thread, with played-byte
// counts, position ticks, volume and balance.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "platform/messages.h"
#include "platform/wave_out.h"
#include "player/mp_threads.h"

namespace zentu {

// MM_WOM_DONE comes with the wave-out service (platform/wave_out.h).
inline constexpr uint32_t SOM_WRITEFILE = WM_USER + 20;
// The file target's pause and restart, in order with its writes.
inline constexpr uint32_t SOM_PAUSEFILE = WM_USER + 21;
inline constexpr uint32_t SOM_RESTARTFILE = WM_USER + 22;

class TSoundOut final : public TMessageHandler {
public:
    using TNotifyEvent = std::function<void(TSoundOut& sender)>;
    using TExceptionEvent = std::function<void(TSoundOut& sender, std::exception_ptr error, bool& handled)>;

    TSoundOut();
    ~TSoundOut() override;
    TSoundOut(const TSoundOut&) = delete;
    TSoundOut& operator=(const TSoundOut&) = delete;

    // Opens the device, or the file when OutputFileName is set. Raises "%s(%s)" errors.
    void Open();
    // Plays out what is queued (nothing after Reset) and releases the device; completes a
    // WAV file's header.
    void Close();
    // Device only: drops the partly filled buffer and every queued one. A pause goes on.
    void Reset();
    // Holds the output where it is: nothing queued is lost, the played count stands still and
    // no position ticks come. A WAV file takes no writes meanwhile; its bytes come out as in
    // an uninterrupted run. Closing while paused drops what a device still holds. Nothing
    // when closed.
    void Pause();
    // Goes on with the next sample.
    void Restart();
    bool Paused() const;
    bool CanWrite();
    // Copies what fits into the buffers; returns the bytes taken.
    int32_t Write(const void* bytes, int32_t count);
    // Free room of the four buffers, 0..100 (0 when closed).
    int32_t FreePercent();
    // Queues the partly filled buffer and waits until the output thread has taken it.
    void Flush();
    // Waits until every queued buffer has been played (or the output thread has ended).
    void WaitDone();
    // Signals `event` (and forgets it) as soon as a buffer has room; nullptr forgets it.
    void SetWaitEvent(TMPEvent* event);
    // Bytes played since the previous call.
    int32_t GetDoneBytes();
    // Bytes played since the output opened or was reset (by way of GetDoneBytes: use one or
    // the other).
    int64_t PlayedBytes();
    bool IsOpen() const;

    int32_t SampleRate() const;
    void SetSampleRate(int32_t hz);  // <= 0 ignored
    int32_t Channels() const;
    void SetChannels(int32_t channels);  // 1 or 2
    int32_t BitsPerSample() const;
    void SetBitsPerSample(int32_t bits);  // 8 or 16
    int32_t Volume() const;
    void SetVolume(int32_t volume);  // 0..100, applied at once to an open device
    int32_t Balance() const;
    void SetBalance(int32_t balance);  // -100..100
    int32_t DeviceID() const;
    void SetDeviceID(int32_t id);  // -1: the default device
    int32_t NotifyInterval() const;
    void SetNotifyInterval(int32_t ms);  // -1: no ticks
    const std::string& OutputFileName() const;
    void SetOutputFileName(const std::string& name);  // changed only while closed
    void SetOnDone(TNotifyEvent handler);
    void SetOnException(TExceptionEvent handler);

    // Output-thread messages: MM_WOM_DONE, SOM_WRITEFILE, SOM_PAUSEFILE, SOM_RESTARTFILE,
    // LTM_TIMEOUT.
    void Dispatch(TMessage& message) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zentu
