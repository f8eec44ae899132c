// zentu_sound_take: one take of a stepped tone through TSoundOut on the sound device, for the
// sound-server tests to record. The tone has steps of 100 ms at five levels (0.3 to 0.7 of
// full scale, 440 Hz), so a recording shows any piece lost or played twice.
//
// zentu_sound_take [--no-device-pause] [--pause-at MS:LEN] [--stop-at MS] LENGTH_MS
//   --pause-at: pauses when the played position reaches MS, for LEN ms, and restarts; prints
//     "paused at P ms" (the position then), fails when the position moves while paused.
//   --stop-at: stops (Reset, then Close) when the position reaches MS; prints "stopped at P ms
//     in T ms, closed in C ms" (T: the Reset, after which nothing is heard).
//   --no-device-pause: pauses by dropping and sending again, as on devices without a pause.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "platform/exceptions.h"
#include "player/sound_out.h"

namespace {

using namespace zentu;
using Clock = std::chrono::steady_clock;

constexpr int kRate = 44100;
constexpr int kFrameBytes = 4;
constexpr int kStepFrames = kRate / 10;

int16_t Sample(int64_t frame) {
    const double level = 0.3 + 0.1 * static_cast<double>((frame / kStepFrames) % 5);
    return static_cast<int16_t>(32767 * level * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(frame) / kRate));
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
    long pauseAt = -1, pauseLength = 0, stopAt = -1, length = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--no-device-pause")
            WaveOutSetAlsaDevicePause(false);
        else if (a == "--pause-at" && i + 1 < argc && std::sscanf(argv[++i], "%ld:%ld", &pauseAt, &pauseLength) == 2)
            continue;
        else if (a == "--stop-at" && i + 1 < argc)
            stopAt = std::atol(argv[++i]);
        else if (length < 0 && !a.empty() && a[0] != '-')
            length = std::atol(a.c_str());
        else
            length = -2;
    }
    if (length <= 0) {
        std::fputs("usage: zentu_sound_take [--no-device-pause] [--pause-at MS:LEN] [--stop-at MS] LENGTH_MS\n", stderr);
        return 2;
    }
    try {
        TSoundOut out;
        out.Open();
        const int64_t total = length * kRate / 1000;
        int64_t written = 0, played = 0;
        std::vector<uint8_t> chunk;
        bool flushed = false;
        auto playedMs = [&] { return played / kFrameBytes * 1000 / kRate; };
        while (playedMs() < length) {
            if (written < total) {
                const int64_t frames = std::min<int64_t>(total - written, kStepFrames);
                chunk.resize(static_cast<size_t>(frames * kFrameBytes));
                for (int64_t f = 0; f < frames; ++f) {
                    const auto s = static_cast<uint16_t>(Sample(written + f));
                    for (int c = 0; c < 2; ++c) {
                        chunk[static_cast<size_t>(f * kFrameBytes + 2 * c)] = static_cast<uint8_t>(s & 0xFF);
                        chunk[static_cast<size_t>(f * kFrameBytes + 2 * c + 1)] = static_cast<uint8_t>(s >> 8);
                    }
                }
                written += out.Write(chunk.data(), static_cast<int32_t>(chunk.size())) / kFrameBytes;
            } else if (!flushed) {
                out.Flush();
                flushed = true;
            }
            played += out.GetDoneBytes();
            if (pauseAt >= 0 && playedMs() >= pauseAt) {
                pauseAt = -1;
                out.Pause();
                played += out.GetDoneBytes();  // what played up to the pause itself
                const int64_t at = played;
                std::this_thread::sleep_for(std::chrono::milliseconds(pauseLength));
                played += out.GetDoneBytes();
                const auto start = Clock::now();
                out.Restart();
                std::printf("paused at %lld ms; restarted in %.1f ms\n", static_cast<long long>(at / kFrameBytes * 1000 / kRate),
                            Ms(Clock::now() - start));
                if (played != at) {
                    std::printf("the position moved by %lld bytes while paused\n", static_cast<long long>(played - at));
                    return 1;
                }
            }
            if (stopAt >= 0 && playedMs() >= stopAt) {
                const auto start = Clock::now();
                out.Reset();
                const auto silent = Clock::now();
                out.Close();
                std::printf("stopped at %lld ms in %.1f ms, closed in %.1f ms\n", static_cast<long long>(playedMs()),
                            Ms(silent - start), Ms(Clock::now() - silent));
                return 0;
            }
            if (flushed && pauseAt < 0 && stopAt < 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        out.WaitDone();
        out.Close();
        std::printf("played %lld ms\n", static_cast<long long>(written * 1000 / kRate));
    } catch (const std::exception& e) {
        std::printf("%s\n", e.what());
        return 1;
    }
    return 0;
}
