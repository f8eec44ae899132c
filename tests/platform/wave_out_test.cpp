#include "platform/wave_out.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zentu {
namespace {

using Clock = std::chrono::steady_clock;

// Collects the device's completion messages with their times.
struct TDoneLog {
    std::mutex mutex;
    std::vector<TWaveHeader*> headers;
    std::vector<Clock::time_point> times;
    TWaveCallback Callback() {
        return [this](uint32_t msg, uintptr_t, intptr_t lParam) {
            ASSERT_EQ(msg, MM_WOM_DONE);
            std::lock_guard lock(mutex);
            headers.push_back(reinterpret_cast<TWaveHeader*>(lParam));
            times.push_back(Clock::now());
        };
    }
    size_t Size() {
        std::lock_guard lock(mutex);
        return headers.size();
    }
    bool WaitFor(size_t count, int ms = 5000) {
        for (int i = 0; i < ms && Size() < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return Size() >= count;
    }
};

TWaveFormat Format(uint16_t channels, uint32_t rate, uint16_t bits) {
    TWaveFormat f;
    f.channels = channels;
    f.samplesPerSec = rate;
    f.bitsPerSample = bits;
    f.blockAlign = static_cast<uint16_t>(channels * bits / 8);
    f.avgBytesPerSec = rate * f.blockAlign;
    return f;
}

struct Buffer {
    explicit Buffer(size_t bytes, uint8_t seed = 0) : data(bytes) {
        for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<uint8_t>(seed + i * 7);
        header.data = data.data();
        header.bufferLength = static_cast<uint32_t>(bytes);
    }
    std::vector<uint8_t> data;
    TWaveHeader header;
};

class NullWaveOut : public ::testing::Test {
protected:
    void SetUp() override {
        WaveOutSetBackend(TWaveBackend::wbNull);
        WaveOutSetNullSpeed(1.0);
    }
    void TearDown() override {
        WaveOutSetBackend(TWaveBackend::wbFromEnvironment);
        WaveOutSetNullSpeed(1.0);
    }
};

TEST_F(NullWaveOut, HeaderContract) {
    TDoneLog log;
    std::unique_ptr<TWaveOut> device;
    ASSERT_EQ(WaveOutOpen(device, kWaveMapper, Format(1, 8000, 8), log.Callback()), MMSYSERR_NOERROR);
    Buffer b(4000);
    EXPECT_EQ(device->Write(b.header), WAVERR_UNPREPARED);
    ASSERT_EQ(device->Prepare(b.header), MMSYSERR_NOERROR);
    ASSERT_EQ(device->Write(b.header), MMSYSERR_NOERROR);
    EXPECT_TRUE(b.header.flags & WHDR_INQUEUE);
    EXPECT_EQ(device->Unprepare(b.header), WAVERR_STILLPLAYING);
    ASSERT_EQ(device->Reset(), MMSYSERR_NOERROR);
    ASSERT_EQ(log.Size(), 1u);  // handed back by Reset itself
    EXPECT_EQ(log.headers[0], &b.header);
    EXPECT_TRUE(b.header.flags & WHDR_DONE);
    EXPECT_EQ(device->Unprepare(b.header), MMSYSERR_NOERROR);
    uint32_t position = 1;
    EXPECT_EQ(device->GetPosition(position), MMSYSERR_NOERROR);
    EXPECT_EQ(position, 0u);
}

TEST_F(NullWaveOut, OpenChecksDeviceAndFormat) {
    std::unique_ptr<TWaveOut> device;
    EXPECT_EQ(WaveOutGetNumDevs(), 1u);
    EXPECT_EQ(WaveOutOpen(device, 1, Format(2, 44100, 16), nullptr), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(WaveOutOpen(device, 0, Format(3, 44100, 16), nullptr), WAVERR_BADFORMAT);
    EXPECT_EQ(WaveOutOpen(device, 0, Format(2, 44100, 24), nullptr), WAVERR_BADFORMAT);
    TWaveFormat inconsistent = Format(2, 44100, 16);
    inconsistent.avgBytesPerSec = 1;
    EXPECT_EQ(WaveOutOpen(device, 0, inconsistent, nullptr), WAVERR_BADFORMAT);
    EXPECT_EQ(device, nullptr);
    std::string text;
    EXPECT_EQ(WaveOutGetErrorText(MMSYSERR_BADDEVICEID, text), MMSYSERR_NOERROR);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(WaveOutGetErrorText(kWaveSystemErrorBase + ENOENT, text), MMSYSERR_NOERROR);
    EXPECT_EQ(text, "No such file or directory");
    EXPECT_EQ(WaveOutGetErrorText(12345, text), MMSYSERR_BADERRNUM);
}

TEST_F(NullWaveOut, BuffersCompleteInOrderAtTheByteRate) {
    TDoneLog log;
    std::unique_ptr<TWaveOut> device;
    // 8000 bytes per second: 800 bytes = 100 ms, 1600 = 200 ms.
    ASSERT_EQ(WaveOutOpen(device, kWaveMapper, Format(1, 8000, 8), log.Callback()), MMSYSERR_NOERROR);
    Buffer a(800), b(1600), c(800);
    for (Buffer* x : {&a, &b, &c}) ASSERT_EQ(device->Prepare(x->header), MMSYSERR_NOERROR);
    const auto start = Clock::now();
    for (Buffer* x : {&a, &b, &c}) ASSERT_EQ(device->Write(x->header), MMSYSERR_NOERROR);

    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    uint32_t position = 0;
    device->GetPosition(position);
    EXPECT_NEAR(static_cast<double>(position), 1200.0, 250.0);  // 150 ms in

    ASSERT_TRUE(log.WaitFor(3));
    ASSERT_EQ(log.headers, (std::vector<TWaveHeader*>{&a.header, &b.header, &c.header}));
    auto ms = [&](int i) { return std::chrono::duration<double, std::milli>(log.times[i] - start).count(); };
    EXPECT_NEAR(ms(0), 100, 60);
    EXPECT_NEAR(ms(1), 300, 60);
    EXPECT_NEAR(ms(2), 400, 60);
    device->GetPosition(position);
    EXPECT_EQ(position, 3200u);
    EXPECT_EQ(device->Unprepare(a.header), MMSYSERR_NOERROR);
}

TEST_F(NullWaveOut, ResetHandsEverythingBackAndRestartsThePosition) {
    TDoneLog log;
    std::unique_ptr<TWaveOut> device;
    ASSERT_EQ(WaveOutOpen(device, kWaveMapper, Format(2, 44100, 16), log.Callback()), MMSYSERR_NOERROR);
    std::vector<std::unique_ptr<Buffer>> buffers;
    for (int i = 0; i < 4; ++i) {
        buffers.push_back(std::make_unique<Buffer>(88200));
        device->Prepare(buffers.back()->header);
        device->Write(buffers.back()->header);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    uint32_t position = 0;
    device->GetPosition(position);
    EXPECT_GT(position, 0u);
    const auto start = Clock::now();
    device->Reset();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(50));
    ASSERT_EQ(log.Size(), 4u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(log.headers[i], &buffers[i]->header);
    device->GetPosition(position);
    EXPECT_EQ(position, 0u);
    // Playing again after a reset starts from an idle device.
    device->Write(buffers[0]->header);
    ASSERT_TRUE(log.WaitFor(5, 2000));
    device->GetPosition(position);
    EXPECT_EQ(position, 88200u);
}

TEST_F(NullWaveOut, PauseStopsTheClockAndResetKeepsIt) {
    TDoneLog log;
    std::unique_ptr<TWaveOut> device;
    // 8000 bytes per second: 1600 bytes = 200 ms.
    ASSERT_EQ(WaveOutOpen(device, kWaveMapper, Format(1, 8000, 8), log.Callback()), MMSYSERR_NOERROR);
    Buffer a(1600), b(1600);
    for (Buffer* x : {&a, &b}) device->Prepare(x->header);
    const auto start = Clock::now();
    device->Write(a.header);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(device->Pause(), MMSYSERR_NOERROR);
    EXPECT_EQ(device->Pause(), MMSYSERR_NOERROR);  // again: nothing
    uint32_t paused = 0, position = 0;
    device->GetPosition(paused);
    EXPECT_NEAR(static_cast<double>(paused), 800.0, 250.0);
    device->Write(b.header);  // waits behind the first
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    device->GetPosition(position);
    EXPECT_EQ(position, paused);
    EXPECT_EQ(log.Size(), 0u);
    EXPECT_EQ(device->Restart(), MMSYSERR_NOERROR);
    ASSERT_TRUE(log.WaitFor(2));
    // 400 ms of sound and 300 ms of pause.
    const double ms = std::chrono::duration<double, std::milli>(log.times[1] - start).count();
    EXPECT_NEAR(ms, 700, 60);
    device->GetPosition(position);
    EXPECT_EQ(position, 3200u);

    device->Pause();
    device->Write(a.header);
    device->Reset();  // everything back, still paused
    ASSERT_EQ(log.Size(), 3u);
    device->Write(b.header);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(log.Size(), 3u);
    device->Restart();
    ASSERT_TRUE(log.WaitFor(4));
    device->Pause();
    device->Write(a.header);
    device.reset();  // closed while paused: at once, the buffer handed back
    EXPECT_EQ(log.Size(), 5u);
}

TEST_F(NullWaveOut, VolumeIsPerDeviceAndReadableWithoutOpening) {
    std::unique_ptr<TWaveOut> device;
    ASSERT_EQ(WaveOutOpen(device, kWaveMapper, Format(2, 44100, 16), nullptr), MMSYSERR_NOERROR);
    device->SetVolume(0x12345678);
    uint32_t volume = 0;
    device->GetVolume(volume);
    EXPECT_EQ(volume, 0x12345678u);
    device.reset();
    EXPECT_EQ(WaveOutGetDeviceVolume(kWaveMapper, volume), MMSYSERR_NOERROR);
    EXPECT_EQ(volume, 0x12345678u);
    EXPECT_EQ(WaveOutGetDeviceVolume(7, volume), MMSYSERR_BADDEVICEID);
    ASSERT_EQ(WaveOutOpen(device, 0, Format(2, 44100, 16), nullptr), MMSYSERR_NOERROR);
    device->SetVolume(0xFFFFFFFF);
}

// ---- ALSA through its file device (no sound card needed) ----------------------------

class AlsaFileWaveOut : public ::testing::Test {
protected:
    void SetUp() override {
        WaveOutSetBackend(TWaveBackend::wbAlsa);
        path_ = ::testing::TempDir() + "zentu_alsa_" + std::to_string(::getpid()) + ".raw";
        std::remove(path_.c_str());
        ::setenv("ZENTU_ALSA_DEVICE", ("file:FILE=" + path_ + ",FORMAT=raw").c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("ZENTU_ALSA_DEVICE");
        WaveOutSetBackend(TWaveBackend::wbFromEnvironment);
        std::remove(path_.c_str());
    }
    std::vector<uint8_t> Captured() {
        std::ifstream in(path_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    std::string path_;
};

TEST_F(AlsaFileWaveOut, CapturesExactlyTheBytesWrittenAcrossBuffers) {
    TDoneLog log;
    std::unique_ptr<TWaveOut> device;
    ASSERT_EQ(WaveOutOpen(device, kWaveMapper, Format(2, 44100, 16), log.Callback()), MMSYSERR_NOERROR);
    // Odd sizes (whole frames) so buffer edges fall inside the feeder's chunks.
    std::vector<std::unique_ptr<Buffer>> buffers;
    std::vector<uint8_t> expected;
    for (size_t bytes : {88200u, 4u, 10000u, 33332u}) {
        buffers.push_back(std::make_unique<Buffer>(bytes, static_cast<uint8_t>(bytes)));
        expected.insert(expected.end(), buffers.back()->data.begin(), buffers.back()->data.end());
        ASSERT_EQ(device->Prepare(buffers.back()->header), MMSYSERR_NOERROR);
        ASSERT_EQ(device->Write(buffers.back()->header), MMSYSERR_NOERROR);
    }
    ASSERT_TRUE(log.WaitFor(4));
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(log.headers[i], &buffers[i]->header);
    uint32_t position = 0;
    device->GetPosition(position);
    EXPECT_EQ(position, expected.size());  // the file device reports no delay
    device.reset();
    EXPECT_EQ(Captured(), expected);
}

TEST_F(AlsaFileWaveOut, PausedAndRestartedNothingIsLostOrRepeated) {
    for (bool devicePause : {true, false}) {
        WaveOutSetAlsaDevicePause(devicePause);
        TDoneLog log;
        std::unique_ptr<TWaveOut> device;
        ASSERT_EQ(WaveOutOpen(device, kWaveMapper, Format(2, 44100, 16), log.Callback()), MMSYSERR_NOERROR);
        std::vector<std::unique_ptr<Buffer>> buffers;
        std::vector<uint8_t> expected;
        for (size_t i = 0; i < 4; ++i) {
            buffers.push_back(std::make_unique<Buffer>(30000 + 4 * i, static_cast<uint8_t>(i)));
            expected.insert(expected.end(), buffers.back()->data.begin(), buffers.back()->data.end());
            device->Prepare(buffers.back()->header);
        }
        device->Write(buffers[0]->header);
        device->Write(buffers[1]->header);
        device->Pause();
        device->Write(buffers[2]->header);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        uint32_t paused = 0, position = 0;
        device->GetPosition(paused);
        device->Restart();
        device->Write(buffers[3]->header);
        ASSERT_TRUE(log.WaitFor(4));
        device->GetPosition(position);
        EXPECT_EQ(position, expected.size());
        EXPECT_LE(paused, position);
        device.reset();
        EXPECT_EQ(Captured(), expected) << "device pause " << devicePause;
        std::remove(path_.c_str());
    }
    WaveOutSetAlsaDevicePause(true);
}

TEST_F(AlsaFileWaveOut, SoftwareVolumeAndBalanceScaleTheSamples) {
    std::unique_ptr<TWaveOut> device;
    ASSERT_EQ(WaveOutOpen(device, kWaveMapper, Format(2, 44100, 16), nullptr), MMSYSERR_NOERROR);
    device->SetVolume(0x7FFF0000);  // left silent, right at half
    std::vector<uint8_t> pcm;
    const int16_t samples[] = {32767, 32767, -32768, -32768, 1000, -1000};
    for (int16_t s : samples) {
        pcm.push_back(static_cast<uint8_t>(s & 0xFF));
        pcm.push_back(static_cast<uint8_t>((s >> 8) & 0xFF));
    }
    TWaveHeader header;
    header.data = pcm.data();
    header.bufferLength = static_cast<uint32_t>(pcm.size());
    device->Prepare(header);
    device->Write(header);
    for (int i = 0; i < 2000 && (header.flags & WHDR_INQUEUE); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    device->SetVolume(0xFFFFFFFF);
    device.reset();
    const auto captured = Captured();
    ASSERT_EQ(captured.size(), pcm.size());
    std::vector<int16_t> got;
    for (size_t i = 0; i < captured.size(); i += 2)
        got.push_back(static_cast<int16_t>(captured[i] | (captured[i + 1] << 8)));
    EXPECT_EQ(got, (std::vector<int16_t>{0, 32767 * 32767 / 65535, 0, -32768 * 32767 / 65535, 0, -1000 * 32767 / 65535}));
}

TEST_F(AlsaFileWaveOut, MissingDeviceFailsWithTheSystemText) {
    ::setenv("ZENTU_ALSA_DEVICE", "zentu_no_such_pcm", 1);
    std::unique_ptr<TWaveOut> device;
    const uint32_t result = WaveOutOpen(device, kWaveMapper, Format(2, 44100, 16), nullptr);
    ASSERT_NE(result, MMSYSERR_NOERROR);
    std::string text;
    EXPECT_EQ(WaveOutGetErrorText(result, text), MMSYSERR_NOERROR);
    EXPECT_EQ(text, "No such file or directory");
}

}  // namespace
}  // namespace zentu
