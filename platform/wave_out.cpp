#include "platform/wave_out.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/wave_out_device.h"

namespace zentu {

namespace wave_detail {

namespace {
std::atomic<uint32_t> deviceVolume{0xFFFFFFFF};
std::atomic<TWaveBackend> chosenBackend{TWaveBackend::wbFromEnvironment};
std::atomic<double> nullSpeed{1.0};
std::atomic<bool> alsaDevicePause{true};
}  // namespace

uint32_t DeviceVolume() { return deviceVolume.load(); }
void SetDeviceVolume(uint32_t volume) { deviceVolume.store(volume); }

void ApplyVolume(uint8_t* target, const uint8_t* source, size_t bytes, const TWaveFormat& format, uint32_t volume) {
    const uint32_t gains[2] = {volume & 0xFFFF, volume >> 16};
    if (volume == 0xFFFFFFFF || (format.channels == 1 && gains[0] == 0xFFFF)) {
        std::memcpy(target, source, bytes);  // full level: the samples unchanged
        return;
    }
    const unsigned channels = format.channels == 2 ? 2 : 1;
    if (format.bitsPerSample == 16) {
        const size_t samples = bytes / 2;
        for (size_t i = 0; i < samples; ++i) {
            const int32_t sample = static_cast<int16_t>(source[2 * i] | (source[2 * i + 1] << 8));
            const int32_t scaled = sample * static_cast<int32_t>(gains[i % channels]) / 65535;
            target[2 * i] = static_cast<uint8_t>(scaled & 0xFF);
            target[2 * i + 1] = static_cast<uint8_t>((scaled >> 8) & 0xFF);
        }
        if (bytes & 1) target[bytes - 1] = source[bytes - 1];
    } else {
        for (size_t i = 0; i < bytes; ++i) {
            const int32_t sample = static_cast<int32_t>(source[i]) - 128;
            target[i] = static_cast<uint8_t>(sample * static_cast<int32_t>(gains[i % channels]) / 65535 + 128);
        }
    }
}

TWaveOutBase::TWaveOutBase(const TWaveFormat& format, TWaveCallback callback)
    : format_(format), callback_(std::move(callback)) {}

uint32_t TWaveOutBase::Prepare(TWaveHeader& header) {
    std::lock_guard lock(mutex_);
    if (!header.data && header.bufferLength) return MMSYSERR_INVALPARAM;
    header.flags = (header.flags & ~WHDR_DONE) | WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

uint32_t TWaveOutBase::Unprepare(TWaveHeader& header) {
    std::lock_guard lock(mutex_);
    if (header.flags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    header.flags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

uint32_t TWaveOutBase::Write(TWaveHeader& header) {
    std::lock_guard lock(mutex_);
    if (failure_ != MMSYSERR_NOERROR) return failure_;
    if (!(header.flags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
    if (header.flags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    header.flags = (header.flags & ~WHDR_DONE) | WHDR_INQUEUE;
    queue_.push_back(&header);
    Queued();
    return MMSYSERR_NOERROR;
}

uint32_t TWaveOutBase::GetVolume(uint32_t& volume) {
    volume = DeviceVolume();
    return MMSYSERR_NOERROR;
}

uint32_t TWaveOutBase::SetVolume(uint32_t volume) {
    SetDeviceVolume(volume);
    return MMSYSERR_NOERROR;
}

void TWaveOutBase::CompleteFront() {
    TWaveHeader* header = queue_.front();
    queue_.pop_front();
    header->flags = (header->flags & ~WHDR_INQUEUE) | WHDR_DONE;
    if (callback_) callback_(MM_WOM_DONE, 0, reinterpret_cast<intptr_t>(header));
}

void TWaveOutBase::CompleteAll() {
    while (!queue_.empty()) CompleteFront();
}

}  // namespace wave_detail

namespace {

bool ValidFormat(const TWaveFormat& f) {
    return f.formatTag == 1 && (f.channels == 1 || f.channels == 2) &&
           (f.bitsPerSample == 8 || f.bitsPerSample == 16) && f.samplesPerSec >= 1000 && f.samplesPerSec <= 384000 &&
           f.blockAlign == f.channels * f.bitsPerSample / 8 && f.avgBytesPerSec == f.samplesPerSec * f.blockAlign;
}

TWaveBackend ActiveBackend() {
    TWaveBackend backend = wave_detail::chosenBackend.load();
    if (backend != TWaveBackend::wbFromEnvironment) return backend;
    const char* name = std::getenv("ZENTU_AUDIO");
    return name && std::strcmp(name, "null") == 0 ? TWaveBackend::wbNull : TWaveBackend::wbAlsa;
}

bool ValidDevice(uint32_t deviceId) { return deviceId == kWaveMapper || deviceId < WaveOutGetNumDevs(); }

}  // namespace

uint32_t WaveOutOpen(std::unique_ptr<TWaveOut>& device, uint32_t deviceId, const TWaveFormat& format,
                     TWaveCallback callback) {
    device.reset();
    if (!ValidDevice(deviceId)) return MMSYSERR_BADDEVICEID;
    if (!ValidFormat(format)) return WAVERR_BADFORMAT;
    if (ActiveBackend() == TWaveBackend::wbNull)
        return wave_detail::OpenNull(device, format, std::move(callback), wave_detail::nullSpeed.load());
    const char* name = std::getenv("ZENTU_ALSA_DEVICE");
    return wave_detail::OpenAlsa(device, name && *name ? name : "default", format, std::move(callback),
                                 wave_detail::alsaDevicePause.load());
}

// Both backends offer one device: the configured ALSA device, or the null device.
uint32_t WaveOutGetNumDevs() { return 1; }

uint32_t WaveOutGetDeviceVolume(uint32_t deviceId, uint32_t& volume) {
    if (!ValidDevice(deviceId)) return MMSYSERR_BADDEVICEID;
    volume = wave_detail::DeviceVolume();
    return MMSYSERR_NOERROR;
}

uint32_t WaveOutGetErrorText(uint32_t result, std::string& text) {
    switch (result) {
        case MMSYSERR_NOERROR: text = "The command completed successfully."; return MMSYSERR_NOERROR;
        case MMSYSERR_ERROR: text = "An unspecified error occurred."; return MMSYSERR_NOERROR;
        case MMSYSERR_BADDEVICEID: text = "The device number is out of range."; return MMSYSERR_NOERROR;
        case MMSYSERR_INVALHANDLE: text = "The device handle is invalid."; return MMSYSERR_NOERROR;
        case MMSYSERR_NOMEM: text = "Memory could not be allocated."; return MMSYSERR_NOERROR;
        case MMSYSERR_INVALPARAM: text = "An invalid parameter was passed."; return MMSYSERR_NOERROR;
        case WAVERR_BADFORMAT: text = "The wave format is not supported."; return MMSYSERR_NOERROR;
        case WAVERR_STILLPLAYING: text = "The buffer is still playing."; return MMSYSERR_NOERROR;
        case WAVERR_UNPREPARED: text = "The buffer was not prepared."; return MMSYSERR_NOERROR;
        default: break;
    }
    if (result > kWaveSystemErrorBase) {
        std::string system = wave_detail::AlsaErrorText(static_cast<int>(result - kWaveSystemErrorBase));
        if (!system.empty()) {
            text = system;
            return MMSYSERR_NOERROR;
        }
    }
    return MMSYSERR_BADERRNUM;
}

void WaveOutSetBackend(TWaveBackend backend) { wave_detail::chosenBackend.store(backend); }
void WaveOutSetNullSpeed(double factor) { wave_detail::nullSpeed.store(factor > 0 ? factor : 1.0); }
void WaveOutSetAlsaDevicePause(bool use) { wave_detail::alsaDevicePause.store(use); }

}  // namespace zentu
