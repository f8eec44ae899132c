#include "player/sound_out.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/exceptions.h"

namespace zentu {

namespace {

constexpr int32_t kBufferCount = 4;
constexpr int64_t kWavHeaderSize = 44;
constexpr int kUnprepareRetries = 50;  // 100 ms apart

// A millisecond counter that wraps as a 32-bit tick count does.
uint32_t TickCount() {
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Raises "%s(%s)" from the wave service's text for a failed result.
void CheckWave(uint32_t result, const char* context) {
    if (result == MMSYSERR_NOERROR) return;
    std::string text;
    if (WaveOutGetErrorText(result, text) != MMSYSERR_NOERROR) text = "unknown wave out API error.";
    throw Exception(text + "(" + context + ")");
}

void PutLE(uint8_t* at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

struct TFileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

struct TSoundOut::Impl {
    explicit Impl(TSoundOut& owner) : self(owner) {}

    TSoundOut& self;
    int32_t sampleRate = 44100;
    int32_t channels = 2;
    int32_t bitsPerSample = 16;
    std::atomic<bool> open{false};
    int32_t volume = 100;
    int32_t deviceId = -1;
    std::mutex callbackMutex;  // the two handlers, called outside it
    TExceptionEvent onException;
    TNotifyEvent onDone;
    std::atomic<int32_t> notifyInterval{-1};
    std::atomic<uint32_t> lastTick{0};
    bool tickOwed = false;  // output thread
    std::unique_ptr<TWaveOut> device;
    std::array<TWaveHeader, kBufferCount> headers{};
    std::unique_ptr<std::FILE, TFileCloser> file;
    std::atomic<int64_t> fileBytes{0};  // PCM bytes in the file: its position less the header
    std::atomic<bool> fileMode{false};
    std::atomic<bool> paused{false};
    // The output thread's: the file target holds its writes, in order, until restarted.
    bool fileHeld = false;
    std::vector<intptr_t> heldWrites;
    std::array<std::vector<uint8_t>, kBufferCount> buffers;
    int32_t currentIndex = 0;
    int32_t fill = 0;
    std::atomic<int32_t> queued{0};
    int32_t bufferSize = 0;
    int32_t balance = 0;
    TMPSimpleMutex waiterLock;
    TMPEvent* waitEvent = nullptr;
    TMPSimpleEvent allDone;
    std::string outputFileName;
    uint32_t lastDone = 0;
    int64_t played = 0;
    TMPSimpleMutex bufferLock;
    std::unique_ptr<TMPLoopThread> thread;  // last: ends before the rest goes

    int32_t ReadWaveVolume();
    void SetVolumeToWaveDevice();
    bool CanWrite();
    void QueueCurrent();
    void Complete();
    void NotifyWaiters();
    // The position tick, at most once per notify interval; `last` gives one that was held back
    // by the interval (the output has run out of work: no later tick would bring it).
    void Tick(bool last = false);
    void WriteFile(intptr_t index);
    void ReleaseHeldWrites();
    void FreeBuffers();
};

// ---- construction --------------------------------------------------------------------

TSoundOut::TSoundOut() : impl_(std::make_unique<Impl>(*this)) {
    impl_->volume = impl_->ReadWaveVolume();
    impl_->thread = std::make_unique<TMPLoopThread>(this, "zentu-output");
    impl_->thread->SetOnException([this](TMPLoopThread&, std::exception_ptr error, bool& handled) {
        TExceptionEvent handler;
        {
            std::lock_guard lock(impl_->callbackMutex);
            handler = impl_->onException;
        }
        if (handler) handler(*this, error, handled);
    });
    impl_->thread->Resume();
}

TSoundOut::~TSoundOut() {
    try {
        Close();
    } catch (...) {
        // A destructor cannot report; the device and the file are released regardless.
    }
    impl_->thread.reset();
}

// The device's present level, the louder channel as 0..100; 100 whenever it cannot be read.
int32_t TSoundOut::Impl::ReadWaveVolume() {
    try {
        uint32_t level = 0;
        uint32_t result = WaveOutGetDeviceVolume(static_cast<uint32_t>(deviceId), level);
        if (result != MMSYSERR_NOERROR) {
            if (WaveOutGetNumDevs() == 0) return 100;
            result = WaveOutGetDeviceVolume(0, level);
        }
        CheckWave(result, "TSoundOut.GetWaveVolume");
        const uint32_t louder = std::max(level & 0xFFFF, level >> 16);
        return static_cast<int32_t>(louder * 100 / 65535);
    } catch (const Exception&) {
        return 100;
    }
}

void TSoundOut::Impl::SetVolumeToWaveDevice() {
    const uint32_t level = static_cast<uint32_t>(volume) * 65535 / 100;
    uint32_t left = level, right = level;
    if (balance < 0) right = level * static_cast<uint32_t>(100 + balance) / 100;
    if (balance > 0) left = level * static_cast<uint32_t>(100 - balance) / 100;
    CheckWave(device->SetVolume(left | (right << 16)), "TSoundOut.SetVolumeToWaveDevice");
}

// ---- open and close ------------------------------------------------------------------

void TSoundOut::Open() {
    Impl& d = *impl_;
    if (d.open) return;
    try {
        d.open = true;
        // Nothing is queued yet: a Close after a failure below must not wait for buffers.
        {
            std::lock_guard lock(d.bufferLock);
            d.currentIndex = 0;
            d.fill = 0;
            d.queued = 0;
            d.allDone.SetEvent();
        }
        d.lastDone = 0;
        d.played = 0;
        d.paused = false;
        const int64_t bytesPerSecond = static_cast<int64_t>(d.channels) * (d.bitsPerSample / 8) * d.sampleRate;
        int64_t size = bytesPerSecond * 2000 / 1000 / kBufferCount;
        size = (size + 3) / 4 * 4;
        const bool toFile = !d.outputFileName.empty();
        d.fileMode = toFile;
        if (!toFile) {
            TWaveFormat format;
            format.formatTag = 1;
            format.channels = static_cast<uint16_t>(d.channels);
            format.samplesPerSec = static_cast<uint32_t>(d.sampleRate);
            format.blockAlign = static_cast<uint16_t>(d.channels * d.bitsPerSample / 8);
            format.avgBytesPerSec = format.samplesPerSec * format.blockAlign;
            format.bitsPerSample = static_cast<uint16_t>(d.bitsPerSample);
            TMPLoopThread* thread = d.thread.get();
            CheckWave(WaveOutOpen(d.device, static_cast<uint32_t>(d.deviceId), format,
                                  [thread](uint32_t msg, uintptr_t wParam, intptr_t lParam) {
                                      thread->Post(msg, wParam, lParam);
                                  }),
                      "TSoundOut.Open:WaveOutOpen");
            d.SetVolumeToWaveDevice();
        } else {
            d.fileBytes = 0;
            d.file.reset(std::fopen(d.outputFileName.c_str(), "wb"));
            if (!d.file)
                throw EStreamError("Cannot create file \"" + d.outputFileName + "\". " + std::strerror(errno));
            uint8_t header[kWavHeaderSize] = {};
            std::memcpy(header, "RIFF", 4);
            std::memcpy(header + 8, "WAVEfmt ", 8);
            PutLE(header + 16, 16, 4);
            PutLE(header + 20, 1, 2);
            PutLE(header + 22, static_cast<uint32_t>(d.channels), 2);
            PutLE(header + 24, static_cast<uint32_t>(d.sampleRate), 4);
            const uint32_t blockAlign = static_cast<uint32_t>(d.channels * d.bitsPerSample / 8);
            PutLE(header + 28, static_cast<uint32_t>(d.sampleRate) * blockAlign, 4);
            PutLE(header + 32, blockAlign, 2);
            PutLE(header + 34, static_cast<uint32_t>(d.bitsPerSample), 2);
            std::memcpy(header + 36, "data", 4);
            if (std::fwrite(header, 1, sizeof header, d.file.get()) != sizeof header)
                throw EStreamError(std::strerror(errno));
        }
        {
            std::lock_guard lock(d.bufferLock);
            d.bufferSize = static_cast<int32_t>(size);
            for (int32_t i = 0; i < kBufferCount; ++i) {
                d.buffers[i].assign(static_cast<size_t>(size), 0);
                d.headers[i] = TWaveHeader{};
                d.headers[i].data = d.buffers[i].data();
                d.headers[i].bufferLength = static_cast<uint32_t>(size);
            }
        }
        if (!toFile) {
            for (TWaveHeader& header : d.headers)
                CheckWave(d.device->Prepare(header), "TSoundOut.Open:WaveOutPreperHeader");
            d.thread->SetTimeout(d.notifyInterval);
        }
        d.lastTick = TickCount();
    } catch (...) {
        Close();
        throw;
    }
}

void TSoundOut::Impl::FreeBuffers() {
    std::lock_guard lock(bufferLock);
    for (auto& buffer : buffers) std::vector<uint8_t>().swap(buffer);
    headers = {};
    bufferSize = 0;
    fill = 0;
}

void TSoundOut::Close() {
    Impl& d = *impl_;
    if (!d.open) return;
    SetWaitEvent(nullptr);
    try {
        if (d.paused) {
            // A file gets the rest as in an uninterrupted run; a device plays nothing more.
            if (d.fileMode)
                Restart();
            else
                Reset();
        }
        if (d.fileMode) {
            // Whatever is queued or partly filled is written before the header is completed;
            // nothing reaches the file once it is closed.
            Flush();
            if (d.file) {
                const int64_t length = kWavHeaderSize + d.fileBytes;
                uint8_t field[4];
                std::FILE* file = d.file.get();
                PutLE(field, static_cast<uint32_t>(length - 8), 4);
                bool ok = std::fseek(file, 4, SEEK_SET) == 0 && std::fwrite(field, 1, 4, file) == 4;
                PutLE(field, static_cast<uint32_t>(length - kWavHeaderSize), 4);
                ok = ok && std::fseek(file, 40, SEEK_SET) == 0 && std::fwrite(field, 1, 4, file) == 4;
                ok = std::fclose(d.file.release()) == 0 && ok;
                if (!ok) throw EStreamError(std::strerror(errno));
            }
        } else {
            d.thread->SetTimeout(-1);
            Flush();
            WaitDone();
            if (d.device) {
                for (TWaveHeader& header : d.headers) {
                    if (!header.data) continue;
                    for (int tries = 0; d.device->Unprepare(header) == WAVERR_STILLPLAYING; ++tries) {
                        // Only an output thread that has died leaves buffers out this long.
                        if (tries == kUnprepareRetries) d.device->Reset();
                        std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    }
                }
                d.device.reset();
            }
        }
    } catch (...) {
        d.device.reset();
        d.file.reset();
        d.FreeBuffers();
        d.fileMode = false;
        d.paused = false;
        d.open = false;
        throw;
    }
    d.FreeBuffers();
    d.fileMode = false;
    d.paused = false;
    d.open = false;
}

void TSoundOut::Reset() {
    Impl& d = *impl_;
    if (!d.open || d.fileMode || !d.device) return;
    {
        std::lock_guard lock(d.bufferLock);
        d.fill = 0;
    }
    d.device->Reset();
    d.lastDone = 0;
    d.played = 0;
}

void TSoundOut::Pause() {
    Impl& d = *impl_;
    if (!d.open || d.paused) return;
    d.paused = true;
    d.thread->SetTimeout(-1);
    if (d.fileMode)
        d.thread->Post(SOM_PAUSEFILE);
    else if (d.device)
        CheckWave(d.device->Pause(), "TSoundOut.Pause");
}

void TSoundOut::Restart() {
    Impl& d = *impl_;
    if (!d.open || !d.paused) return;
    d.paused = false;
    if (d.fileMode) {
        d.thread->Post(SOM_RESTARTFILE);
    } else if (d.device) {
        CheckWave(d.device->Restart(), "TSoundOut.Restart");
        if (d.queued > 0) d.thread->SetTimeout(d.notifyInterval);
    }
}

bool TSoundOut::Paused() const { return impl_->paused; }

// ---- writing -------------------------------------------------------------------------

bool TSoundOut::Impl::CanWrite() {
    std::lock_guard lock(bufferLock);
    return queued < kBufferCount && fill < bufferSize;
}

bool TSoundOut::CanWrite() { return impl_->CanWrite(); }

void TSoundOut::Impl::QueueCurrent() {
    int32_t index;
    {
        std::lock_guard lock(bufferLock);
        const int32_t now = ++queued;
        allDone.ResetEvent();
        Assert(now <= kBufferCount, "MP3Plyr: queued buffers above 4");
        headers[currentIndex].bufferLength = static_cast<uint32_t>(fill);
        fill = 0;
        index = currentIndex;
        currentIndex = (currentIndex + 1) % kBufferCount;
    }
    if (fileMode) {
        thread->Post(SOM_WRITEFILE, 0, index);
        return;
    }
    try {
        Assert(device != nullptr, "MP3Plyr: no wave device");
        CheckWave(device->Write(headers[index]), "TSoundOut.WaveWrite");
    } catch (...) {
        // The device never took the buffer: it must not count as queued, or WaitDone would
        // wait for it for ever.
        {
            std::lock_guard lock(bufferLock);
            if (--queued == 0) allDone.SetEvent();
        }
        throw;
    }
}

int32_t TSoundOut::Write(const void* bytes, int32_t count) {
    Impl& d = *impl_;
    if (!bytes || count <= 0) return 0;
    const auto* source = static_cast<const uint8_t*>(bytes);
    int32_t written = 0;
    while (count > 0 && d.CanWrite()) {
        std::lock_guard lock(d.bufferLock);
        const int32_t n = std::min(d.bufferSize - d.fill, count);
        std::memcpy(d.buffers[d.currentIndex].data() + d.fill, source + written, static_cast<size_t>(n));
        d.fill += n;
        if (d.fill >= d.bufferSize) d.QueueCurrent();
        written += n;
        count -= n;
    }
    return written;
}

int32_t TSoundOut::FreePercent() {
    Impl& d = *impl_;
    if (!d.open) return 0;
    std::lock_guard lock(d.bufferLock);
    if (d.bufferSize <= 0) return 0;
    const int64_t free = static_cast<int64_t>(kBufferCount - d.queued) * d.bufferSize - d.fill;
    return static_cast<int32_t>(free * 100 / (static_cast<int64_t>(kBufferCount) * d.bufferSize));
}

void TSoundOut::Flush() {
    Impl& d = *impl_;
    if (!d.open) return;
    bool partial;
    {
        std::lock_guard lock(d.bufferLock);
        partial = d.fill > 0;
    }
    if (partial) d.QueueCurrent();
    d.thread->Sync();
}

void TSoundOut::WaitDone() { impl_->thread->WaitForEventOrEnd(impl_->allDone); }

void TSoundOut::SetWaitEvent(TMPEvent* event) {
    {
        std::lock_guard lock(impl_->waiterLock);
        impl_->waitEvent = event;
    }
    impl_->NotifyWaiters();
}

void TSoundOut::Impl::NotifyWaiters() {
    std::lock_guard lock(waiterLock);
    if (waitEvent && CanWrite()) {
        waitEvent->SetEvent();
        waitEvent = nullptr;
    }
}

int32_t TSoundOut::GetDoneBytes() {
    Impl& d = *impl_;
    if (!d.open) return 0;
    uint32_t bytes = 0;
    if (d.fileMode) {
        bytes = static_cast<uint32_t>(d.fileBytes.load());
    } else {
        Assert(d.device != nullptr, "MP3Plyr: no wave device");
        CheckWave(d.device->GetPosition(bytes), "TSoundOut.GetDoneBytes");
    }
    // Unsigned difference: right across the 32-bit count's wrap.
    const auto done = static_cast<int32_t>(bytes - d.lastDone);
    d.lastDone = bytes;
    return done;
}

int64_t TSoundOut::PlayedBytes() {
    impl_->played += GetDoneBytes();
    return impl_->played;
}

bool TSoundOut::IsOpen() const { return impl_->open; }

// ---- the output thread ---------------------------------------------------------------

void TSoundOut::Dispatch(TMessage& message) {
    Impl& d = *impl_;
    switch (message.Msg) {
        case MM_WOM_DONE: d.Complete(); break;
        case SOM_WRITEFILE:
            if (d.fileHeld)
                d.heldWrites.push_back(message.LParam);
            else
                d.WriteFile(message.LParam);
            break;
        case SOM_PAUSEFILE: d.fileHeld = true; break;
        case SOM_RESTARTFILE: d.ReleaseHeldWrites(); break;
        case LTM_TIMEOUT:
            if (d.paused)
                d.thread->SetTimeout(-1);  // armed by a completion that crossed the pause
            else if (d.open && !d.fileMode)
                d.Tick();
            break;
        default: break;
    }
}

void TSoundOut::Impl::Complete() {
    int32_t now;
    {
        // Under the buffer lock, so that a buffer queued meanwhile cannot see its all-done
        // reset undone by a completion that saw the count reach 0 before it.
        std::lock_guard lock(bufferLock);
        now = --queued;
        if (now == 0) allDone.SetEvent();
    }
    thread->SetTimeout(now > 0 && !paused ? notifyInterval.load() : -1);
    Assert(now >= 0, "MP3Plyr: queued buffers below 0");
    NotifyWaiters();
    if (!fileMode && !paused) Tick(now == 0);
}

void TSoundOut::Impl::Tick(bool last) {
    const int32_t interval = notifyInterval;
    if (interval < 0) return;
    TNotifyEvent handler;
    {
        std::lock_guard lock(callbackMutex);
        handler = onDone;
    }
    if (!handler) return;
    const uint32_t now = TickCount();
    if (now - lastTick > static_cast<uint32_t>(interval) || (last && tickOwed)) {
        handler(self);
        lastTick = now;
        tickOwed = false;
    } else {
        tickOwed = true;
    }
}

void TSoundOut::Impl::WriteFile(intptr_t index) {
    Assert(fileMode && file != nullptr, "MP3Plyr: file writes without a file");
    Assert(index >= 0 && index < kBufferCount, "MP3Plyr: buffer index out of range");
    const TWaveHeader& header = headers[static_cast<size_t>(index)];
    const size_t written = std::fwrite(header.data, 1, header.bufferLength, file.get());
    fileBytes += static_cast<int64_t>(written);
    const bool ok = written == header.bufferLength;
    const int error = errno;
    Tick();
    Complete();
    if (!ok) throw EStreamError(std::strerror(error));
}

void TSoundOut::Impl::ReleaseHeldWrites() {
    fileHeld = false;
    std::vector<intptr_t> held;
    held.swap(heldWrites);
    // Every buffer is completed, also after a failed write, or WaitDone would never end.
    std::exception_ptr failure;
    for (intptr_t index : held) {
        try {
            WriteFile(index);
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);
}

// ---- properties ----------------------------------------------------------------------

int32_t TSoundOut::SampleRate() const { return impl_->sampleRate; }
void TSoundOut::SetSampleRate(int32_t hz) {
    if (hz > 0) impl_->sampleRate = hz;
}
int32_t TSoundOut::Channels() const { return impl_->channels; }
void TSoundOut::SetChannels(int32_t channels) {
    if (channels == 1 || channels == 2) impl_->channels = channels;
}
int32_t TSoundOut::BitsPerSample() const { return impl_->bitsPerSample; }
void TSoundOut::SetBitsPerSample(int32_t bits) {
    if (bits == 8 || bits == 16) impl_->bitsPerSample = bits;
}
int32_t TSoundOut::Volume() const { return impl_->volume; }
void TSoundOut::SetVolume(int32_t volume) {
    if (static_cast<uint32_t>(volume) > 100) return;
    impl_->volume = volume;
    if (impl_->open && !impl_->fileMode && impl_->device) impl_->SetVolumeToWaveDevice();
}
int32_t TSoundOut::Balance() const { return impl_->balance; }
void TSoundOut::SetBalance(int32_t balance) {
    if (balance < -100 || balance > 100) return;
    impl_->balance = balance;
    if (impl_->open && !impl_->fileMode && impl_->device) impl_->SetVolumeToWaveDevice();
}
int32_t TSoundOut::DeviceID() const { return impl_->deviceId; }
void TSoundOut::SetDeviceID(int32_t id) { impl_->deviceId = id; }
int32_t TSoundOut::NotifyInterval() const { return impl_->notifyInterval; }
void TSoundOut::SetNotifyInterval(int32_t ms) {
    impl_->notifyInterval = ms;
    // Holds from now on while buffers play, not from the next one done.
    if (impl_->open && !impl_->fileMode && !impl_->paused && impl_->queued > 0) impl_->thread->SetTimeout(ms);
}

const std::string& TSoundOut::OutputFileName() const { return impl_->outputFileName; }
void TSoundOut::SetOutputFileName(const std::string& name) {
    if (!impl_->open) impl_->outputFileName = name;
}
void TSoundOut::SetOnDone(TNotifyEvent handler) {
    std::lock_guard lock(impl_->callbackMutex);
    impl_->onDone = std::move(handler);
}
void TSoundOut::SetOnException(TExceptionEvent handler) {
    std::lock_guard lock(impl_->callbackMutex);
    impl_->onException = std::move(handler);
}

}  // namespace zentu
