// Wave output: what the sound output expects of the system's wave-out service. A device is
// opened with a PCM format and a callback that receives MM_WOM_DONE (lParam = the header)
// for every written buffer once its last sample has been played, in the order written;
// headers are prepared, written, and unprepared once done; Reset silences the device at once
// and hands every queued buffer back as done; Pause holds playback and Restart goes on with
// the next sample. Results are 0 on success, else a code whose text WaveOutGetErrorText gives.
//
// Backends: ALSA (device name from ZENTU_ALSA_DEVICE, default "default") and a null device
// paced by the clock; ZENTU_AUDIO=alsa|null chooses (ALSA by default). Volume is a per-device
// software gain, left level in the low word and right in the high word (0..65535).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace zentu {

inline constexpr uint32_t MM_WOM_DONE = 0x3BD;
inline constexpr uint32_t kWaveMapper = 0xFFFFFFFF;

inline constexpr uint32_t MMSYSERR_NOERROR = 0;
inline constexpr uint32_t MMSYSERR_ERROR = 1;
inline constexpr uint32_t MMSYSERR_BADDEVICEID = 2;
inline constexpr uint32_t MMSYSERR_INVALHANDLE = 5;
inline constexpr uint32_t MMSYSERR_NOMEM = 7;
inline constexpr uint32_t MMSYSERR_BADERRNUM = 9;
inline constexpr uint32_t MMSYSERR_INVALPARAM = 11;
inline constexpr uint32_t WAVERR_BADFORMAT = 32;
inline constexpr uint32_t WAVERR_STILLPLAYING = 33;
inline constexpr uint32_t WAVERR_UNPREPARED = 34;
// A system error: the base plus the (positive) errno-style code of the sound library.
inline constexpr uint32_t kWaveSystemErrorBase = 0x10000;

inline constexpr uint32_t WHDR_DONE = 0x01;
inline constexpr uint32_t WHDR_PREPARED = 0x02;
inline constexpr uint32_t WHDR_INQUEUE = 0x10;

struct TWaveFormat {
    uint16_t formatTag = 1;  // PCM
    uint16_t channels = 2;
    uint32_t samplesPerSec = 44100;
    uint32_t avgBytesPerSec = 176400;
    uint16_t blockAlign = 4;
    uint16_t bitsPerSample = 16;
};

// One buffer handed to a device. `flags` belong to the device between Write and the done
// message.
struct TWaveHeader {
    uint8_t* data = nullptr;
    uint32_t bufferLength = 0;
    uint32_t flags = 0;
    uintptr_t user = 0;
};

// Receives (MM_WOM_DONE, 0, header address) from the device's own thread; must not block.
using TWaveCallback = std::function<void(uint32_t msg, uintptr_t wParam, intptr_t lParam)>;

class TWaveOut {
public:
    // Closing: plays out what the device still holds (nothing after Reset); buffers still
    // queued are handed back as done.
    virtual ~TWaveOut() = default;
    virtual uint32_t Prepare(TWaveHeader& header) = 0;
    // WAVERR_STILLPLAYING while the buffer is queued.
    virtual uint32_t Unprepare(TWaveHeader& header) = 0;
    virtual uint32_t Write(TWaveHeader& header) = 0;
    // Stops at once; every queued buffer comes back as done and the position restarts at 0.
    // A paused device stays paused.
    virtual uint32_t Reset() = 0;
    // Holds playback: the buffers stay queued, buffers written meanwhile wait behind them, and
    // the position stands still. Nothing when already paused.
    virtual uint32_t Pause() = 0;
    // Goes on from the first sample not yet played: nothing is lost and nothing is played
    // twice. Nothing when not paused.
    virtual uint32_t Restart() = 0;
    // Bytes played since open or the last Reset (wraps at 2^32, as a 32-bit count does).
    virtual uint32_t GetPosition(uint32_t& bytes) = 0;
    virtual uint32_t GetVolume(uint32_t& volume) = 0;
    virtual uint32_t SetVolume(uint32_t volume) = 0;
};

enum class TWaveBackend : uint8_t { wbFromEnvironment, wbAlsa, wbNull };

// Opens device `deviceId` (kWaveMapper: the default one) for `format`.
uint32_t WaveOutOpen(std::unique_ptr<TWaveOut>& device, uint32_t deviceId, const TWaveFormat& format,
                     TWaveCallback callback);
uint32_t WaveOutGetNumDevs();
// The device's volume without opening it (the software level it will play with).
uint32_t WaveOutGetDeviceVolume(uint32_t deviceId, uint32_t& volume);
// The text for a result; MMSYSERR_BADERRNUM when the code has none.
uint32_t WaveOutGetErrorText(uint32_t result, std::string& text);

// Chooses the backend for later opens (tests; the default reads ZENTU_AUDIO).
void WaveOutSetBackend(TWaveBackend backend);
// Runs the null device's clock `factor` times as fast (tests); 1 is real time.
void WaveOutSetNullSpeed(double factor);
// Whether later ALSA opens pause with the device's own pause where it has one (the default),
// or always drop what is buffered and send it again (tests: the path of devices without one).
void WaveOutSetAlsaDevicePause(bool use);

}  // namespace zentu
