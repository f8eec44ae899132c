#include "player/sound_out.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "platform/exceptions.h"

namespace zentu {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int32_t kBuffer441 = 88200;  // half a second of 44.1 kHz stereo 16-bit

std::vector<uint8_t> Pattern(size_t bytes, uint8_t seed = 1) {
    std::vector<uint8_t> v(bytes);
    for (size_t i = 0; i < bytes; ++i) v[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 9));
    return v;
}

uint32_t LE32(const std::vector<uint8_t>& v, size_t at) {
    return v[at] | (v[at + 1] << 8) | (v[at + 2] << 16) | (static_cast<uint32_t>(v[at + 3]) << 24);
}

bool WaitUntil(const std::function<bool()>& done, int ms = 5000) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void RestoreFullDeviceVolume() {
    std::unique_ptr<TWaveOut> device;
    TWaveFormat format;
    if (WaveOutOpen(device, kWaveMapper, format, nullptr) == MMSYSERR_NOERROR) device->SetVolume(0xFFFFFFFF);
}

class SoundOut : public ::testing::Test {
protected:
    void SetUp() override {
        WaveOutSetBackend(TWaveBackend::wbNull);
        WaveOutSetNullSpeed(1.0);
        RestoreFullDeviceVolume();
        path_ = ::testing::TempDir() + "zentu_sound_out_" + std::to_string(::getpid()) + ".wav";
    }
    void TearDown() override {
        RestoreFullDeviceVolume();
        WaveOutSetBackend(TWaveBackend::wbFromEnvironment);
        WaveOutSetNullSpeed(1.0);
        std::remove(path_.c_str());
    }
    std::vector<uint8_t> ReadFile() {
        std::ifstream in(path_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    std::string path_;
};

TEST_F(SoundOut, BufferAccountingOnADevice) {
    TSoundOut out;
    EXPECT_EQ(out.FreePercent(), 0);  // closed
    EXPECT_FALSE(out.CanWrite());
    out.Open();
    EXPECT_TRUE(out.IsOpen());
    EXPECT_EQ(out.FreePercent(), 100);

    // 100000 bytes: the first buffer is queued, 11800 bytes wait in the second.
    const auto pcm = Pattern(4 * kBuffer441 + 1000);
    EXPECT_EQ(out.Write(pcm.data(), 100000), 100000);
    EXPECT_EQ(out.FreePercent(), static_cast<int32_t>((3LL * kBuffer441 - 11800) * 100 / (4LL * kBuffer441)));
    // Fill the second buffer exactly: one more queued, nothing partly filled.
    EXPECT_EQ(out.Write(pcm.data(), kBuffer441 - 11800), kBuffer441 - 11800);
    EXPECT_EQ(out.FreePercent(), 50);
    // The rest of the ring takes what fits and no more.
    EXPECT_EQ(out.Write(pcm.data(), 4 * kBuffer441), 2 * kBuffer441);
    EXPECT_EQ(out.FreePercent(), 0);
    EXPECT_FALSE(out.CanWrite());
    EXPECT_EQ(out.Write(pcm.data(), 100), 0);

    out.Reset();
    ASSERT_TRUE(WaitUntil([&] { return out.FreePercent() == 100; }));
    const auto start = Clock::now();
    out.Close();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(200));
    EXPECT_FALSE(out.IsOpen());
    EXPECT_EQ(out.FreePercent(), 0);
}

TEST_F(SoundOut, OneQueuedBufferLeavesThreeQuarters) {
    TSoundOut out;
    out.Open();
    const auto pcm = Pattern(kBuffer441);
    EXPECT_EQ(out.Write(pcm.data(), kBuffer441), kBuffer441);
    EXPECT_EQ(out.FreePercent(), 75);
    out.Reset();
    out.Close();
}

TEST_F(SoundOut, SmallFormatsRoundTheBufferUp) {
    TSoundOut out;
    out.SetSampleRate(22050);
    out.SetChannels(1);
    out.Open();
    const auto pcm = Pattern(30000);
    // 22.05 kHz mono 16-bit: 22050 bytes a half second, rounded up to 22052.
    EXPECT_EQ(out.Write(pcm.data(), 30000), 30000);
    EXPECT_EQ(out.FreePercent(), static_cast<int32_t>((3LL * 22052 - (30000 - 22052)) * 100 / (4LL * 22052)));
    out.Reset();
    out.Close();
}

TEST_F(SoundOut, PropertyRulesAndVolumeLevels) {
    TSoundOut out;
    EXPECT_EQ(out.Volume(), 100);  // read from the device at full level
    out.SetSampleRate(0);
    out.SetChannels(3);
    out.SetBitsPerSample(24);
    out.SetVolume(101);
    out.SetVolume(-1);
    out.SetBalance(101);
    out.SetBalance(-101);
    EXPECT_EQ(out.SampleRate(), 44100);
    EXPECT_EQ(out.Channels(), 2);
    EXPECT_EQ(out.BitsPerSample(), 16);
    EXPECT_EQ(out.Volume(), 100);
    EXPECT_EQ(out.Balance(), 0);
    EXPECT_EQ(out.DeviceID(), -1);
    EXPECT_EQ(out.NotifyInterval(), -1);

    uint32_t level = 0;
    out.SetBalance(100);
    out.Open();
    WaveOutGetDeviceVolume(kWaveMapper, level);
    EXPECT_EQ(level, 0xFFFF0000u);  // left 0, right 65535
    out.SetBalance(101);
    EXPECT_EQ(out.Balance(), 100);
    out.SetBalance(-50);
    WaveOutGetDeviceVolume(kWaveMapper, level);
    EXPECT_EQ(level, 0x7FFFFFFFu);  // left 65535, right 32767
    out.SetBalance(0);
    out.SetVolume(50);
    WaveOutGetDeviceVolume(kWaveMapper, level);
    EXPECT_EQ(level, 0x7FFF7FFFu);
    out.Close();
    // A new output starts from the device's level: 32767 is 49 % when truncated.
    TSoundOut next;
    EXPECT_EQ(next.Volume(), 49);

    out.SetOutputFileName(path_);
    out.Open();
    out.SetOutputFileName("elsewhere.wav");  // only while closed
    EXPECT_EQ(out.OutputFileName(), path_);
    out.Close();
}

TEST_F(SoundOut, DoneBytesFollowTheDevice) {
    TSoundOut out;
    EXPECT_EQ(out.GetDoneBytes(), 0);  // closed
    out.Open();
    EXPECT_EQ(out.GetDoneBytes(), 0);
    EXPECT_EQ(out.GetDoneBytes(), 0);
    const auto pcm = Pattern(kBuffer441);
    out.Write(pcm.data(), kBuffer441);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    const int32_t first = out.GetDoneBytes();
    EXPECT_NEAR(first, 44100, 12000);  // a quarter second at 176400 bytes a second
    EXPECT_EQ(first % 4, 0);
    out.WaitDone();
    EXPECT_EQ(first + out.GetDoneBytes(), kBuffer441);
    EXPECT_EQ(out.GetDoneBytes(), 0);
    out.Write(pcm.data(), kBuffer441);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_GT(out.GetDoneBytes(), 0);
    out.Reset();  // the count restarts at 0, and so does the last value
    EXPECT_EQ(out.GetDoneBytes(), 0);
    out.Close();
}

TEST_F(SoundOut, CloseWithoutResetPlaysEverythingQueued) {
    WaveOutSetNullSpeed(10.0);
    TSoundOut out;
    out.Open();
    const auto pcm = Pattern(kBuffer441 + kBuffer441 / 2);
    EXPECT_EQ(out.Write(pcm.data(), static_cast<int32_t>(pcm.size())), static_cast<int32_t>(pcm.size()));
    const auto start = Clock::now();
    out.Close();  // 0.75 s of audio at ten times the speed
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(60));

    const auto again = Clock::now();
    out.Open();
    out.Close();  // nothing queued: at once
    EXPECT_LT(Clock::now() - again, std::chrono::milliseconds(50));
}

TEST_F(SoundOut, WaitEventIsSignalledWhenABufferFrees) {
    WaveOutSetNullSpeed(10.0);
    TSoundOut out;
    out.Open();
    TMPSimpleEvent room;
    out.SetWaitEvent(&room);  // room now: signalled at once
    EXPECT_EQ(room.WaitFor(0), kWaitObject0);
    room.ResetEvent();

    const auto pcm = Pattern(4 * kBuffer441);
    out.Write(pcm.data(), 4 * kBuffer441);
    ASSERT_FALSE(out.CanWrite());
    out.SetWaitEvent(&room);
    EXPECT_EQ(room.WaitFor(0), kWaitTimeout);
    EXPECT_EQ(room.WaitFor(2000), kWaitObject0);  // the first buffer came back
    EXPECT_TRUE(out.CanWrite());
    room.ResetEvent();
    out.WaitDone();
    EXPECT_EQ(room.WaitFor(0), kWaitTimeout);  // forgotten once signalled
    out.Close();
}

TEST_F(SoundOut, TicksComeAtMostOncePerIntervalAndStopWhenIdle) {
    TSoundOut out;
    std::atomic<int> ticks{0};
    std::atomic<bool> onOutputThread{true};
    const auto caller = std::this_thread::get_id();
    out.SetOnDone([&](TSoundOut& sender) {
        EXPECT_EQ(&sender, &out);
        if (std::this_thread::get_id() == caller) onOutputThread = false;
        ++ticks;
    });
    out.SetNotifyInterval(50);
    out.Open();
    const auto pcm = Pattern(2 * kBuffer441);
    const auto start = Clock::now();
    out.Write(pcm.data(), 2 * kBuffer441);  // one second
    out.WaitDone();
    // the completion that signalled the end may still be giving its tick
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const int during = ticks;
    EXPECT_GE(during, 5);  // ticks from the first buffer on, not only after it completes
    EXPECT_LE(during, seconds * 1000 / 50 + 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(ticks.load(), during);  // idle: no time-out armed
    EXPECT_TRUE(onOutputThread);
    out.Close();
}

TEST_F(SoundOut, WavFileHoldsEveryByteWithItsLengths) {
    const auto pcm = Pattern(3 * 22052 + 5000, 7);
    {
        TSoundOut out;
        out.SetSampleRate(22050);
        out.SetChannels(1);
        out.SetOutputFileName(path_);
        out.Open();
        EXPECT_EQ(out.Write(pcm.data(), static_cast<int32_t>(pcm.size())), static_cast<int32_t>(pcm.size()));
        ASSERT_TRUE(WaitUntil([&] { return out.FreePercent() > 90; }));  // the file writer keeps up
        EXPECT_EQ(out.GetDoneBytes(), 3 * 22052);
        // Closed with a partly filled buffer: it reaches the file before the header is done.
        out.Close();
    }
    const auto file = ReadFile();
    ASSERT_EQ(file.size(), 44 + pcm.size());
    EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "RIFF");
    EXPECT_EQ(LE32(file, 4), file.size() - 8);
    EXPECT_EQ(std::string(file.begin() + 8, file.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(LE32(file, 16), 16u);
    EXPECT_EQ(file[20] | (file[21] << 8), 1);
    EXPECT_EQ(file[22] | (file[23] << 8), 1);
    EXPECT_EQ(LE32(file, 24), 22050u);
    EXPECT_EQ(LE32(file, 28), 44100u);
    EXPECT_EQ(file[32] | (file[33] << 8), 2);
    EXPECT_EQ(file[34] | (file[35] << 8), 16);
    EXPECT_EQ(std::string(file.begin() + 36, file.begin() + 40), "data");
    EXPECT_EQ(LE32(file, 40), file.size() - 44);
    EXPECT_TRUE(std::equal(pcm.begin(), pcm.end(), file.begin() + 44));
}

TEST_F(SoundOut, WavFileClosedWhileBuffersAreQueuedStaysConsistent) {
    // Close straight after filling the ring: queued writes land before the header is
    // completed and nothing reaches the file afterwards.
    const auto pcm = Pattern(4 * kBuffer441, 3);
    TSoundOut out;
    out.SetOutputFileName(path_);
    for (int round = 0; round < 3; ++round) {
        out.Open();
        EXPECT_EQ(out.Write(pcm.data(), static_cast<int32_t>(pcm.size())), static_cast<int32_t>(pcm.size()));
        out.Close();
        const auto file = ReadFile();
        ASSERT_EQ(file.size(), 44 + pcm.size());
        EXPECT_EQ(LE32(file, 40), pcm.size());
        EXPECT_TRUE(std::equal(pcm.begin(), pcm.end(), file.begin() + 44));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(ReadFile().size(), 44 + pcm.size());
}

TEST_F(SoundOut, PauseHoldsPositionTicksAndFileWrites) {
    // A device: the played count and the ticks stand still while paused, and a close while
    // paused drops what is held at once.
    {
        TSoundOut out;
        std::atomic<int> ticks{0};
        out.SetOnDone([&](TSoundOut&) { ++ticks; });
        out.SetNotifyInterval(20);
        out.Pause();  // closed: nothing
        EXPECT_FALSE(out.Paused());
        out.Open();
        const auto pcm = Pattern(2 * kBuffer441);
        out.Write(pcm.data(), 2 * kBuffer441);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        out.Pause();
        EXPECT_TRUE(out.Paused());
        EXPECT_GT(out.GetDoneBytes(), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));  // a tick under way ends
        const int before = ticks;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(out.GetDoneBytes(), 0);
        EXPECT_EQ(ticks.load(), before);
        out.Restart();
        EXPECT_FALSE(out.Paused());
        ASSERT_TRUE(WaitUntil([&] { return ticks > before; }));
        EXPECT_GT(out.GetDoneBytes(), 0);
        out.Pause();
        const auto start = Clock::now();
        out.Close();
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(200));
        EXPECT_FALSE(out.Paused());
    }
    // A WAV file takes no writes while paused and comes out as if never paused, also when
    // closed while paused.
    const auto pcm = Pattern(3 * kBuffer441 + 999, 5);
    for (bool closePaused : {false, true}) {
        TSoundOut out;
        out.SetOutputFileName(path_);
        out.Open();
        out.Write(pcm.data(), kBuffer441);
        out.Flush();
        out.Pause();
        out.Write(pcm.data() + kBuffer441, static_cast<int32_t>(pcm.size()) - kBuffer441);
        out.Flush();
        EXPECT_EQ(out.GetDoneBytes(), kBuffer441);  // the bytes in the file
        if (!closePaused) {
            out.Restart();
            out.Flush();
            out.WaitDone();
            EXPECT_EQ(out.GetDoneBytes(), static_cast<int32_t>(pcm.size()) - kBuffer441);
        }
        out.Close();
        const auto file = ReadFile();
        ASSERT_EQ(file.size(), 44 + pcm.size());
        EXPECT_EQ(LE32(file, 40), pcm.size());
        EXPECT_TRUE(std::equal(pcm.begin(), pcm.end(), file.begin() + 44));
    }
}

TEST_F(SoundOut, FailuresCarryTheirContext) {
    TSoundOut out;
    out.SetDeviceID(5);
    try {
        out.Open();
        FAIL() << "opened a device that does not exist";
    } catch (const Exception& e) {
        std::string text;
        WaveOutGetErrorText(MMSYSERR_BADDEVICEID, text);
        EXPECT_EQ(std::string(e.what()), text + "(TSoundOut.Open:WaveOutOpen)");
    }
    EXPECT_FALSE(out.IsOpen());
    out.SetDeviceID(-1);
    out.SetOutputFileName("/nonexistent-dir/zentu.wav");
    EXPECT_THROW(out.Open(), EStreamError);
    EXPECT_FALSE(out.IsOpen());

    // ALSA without a card: the system's text with the open context.
    out.SetOutputFileName("");
    WaveOutSetBackend(TWaveBackend::wbAlsa);
    ::setenv("ZENTU_ALSA_DEVICE", "zentu_no_such_pcm", 1);
    try {
        out.Open();
        FAIL() << "opened a missing ALSA device";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()), "No such file or directory(TSoundOut.Open:WaveOutOpen)");
    }
    ::unsetenv("ZENTU_ALSA_DEVICE");
    EXPECT_FALSE(out.IsOpen());
}

TEST_F(SoundOut, AlsaFileDeviceReceivesThePcmExactly) {
    const std::string raw = ::testing::TempDir() + "zentu_sound_out_" + std::to_string(::getpid()) + ".raw";
    WaveOutSetBackend(TWaveBackend::wbAlsa);
    ::setenv("ZENTU_ALSA_DEVICE", ("file:FILE=" + raw + ",FORMAT=raw").c_str(), 1);
    const auto pcm = Pattern(2 * kBuffer441 + 12344, 9);
    {
        TSoundOut out;
        out.Open();
        size_t at = 0;
        // Written the way the decode loop writes: frame-sized pieces, waiting for room.
        while (at < pcm.size()) {
            const int32_t piece = static_cast<int32_t>(std::min<size_t>(4608, pcm.size() - at));
            const int32_t taken = out.Write(pcm.data() + at, piece);
            at += static_cast<size_t>(taken);
            if (taken < piece) {
                TMPSimpleEvent room;
                out.SetWaitEvent(&room);
                room.WaitFor(5000);
                out.SetWaitEvent(nullptr);
            }
        }
        out.Flush();
        out.WaitDone();
        EXPECT_EQ(out.GetDoneBytes(), static_cast<int32_t>(pcm.size()));
        out.Close();
    }
    ::unsetenv("ZENTU_ALSA_DEVICE");
    std::ifstream in(raw, std::ios::binary);
    const std::vector<uint8_t> captured{std::istreambuf_iterator<char>(in), {}};
    std::remove(raw.c_str());
    EXPECT_EQ(captured, pcm);
}

}  // namespace
}  // namespace zentu
