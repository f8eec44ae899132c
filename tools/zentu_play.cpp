// zentu-play: the headless player. Plays files one after another through TMP3Player on the
// audio device (ZENTU_AUDIO=null|alsa chooses the backend) or into WAV files, printing the
// tags, the length, the position at every position tick and why each file ended.
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/exceptions.h"
#include "platform/plain_main_loop.h"
#include "player/mp3_player.h"

namespace {

using namespace zentu;

constexpr int kExitOk = 0;
constexpr int kExitSomeFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

volatile std::sig_atomic_t gInterrupted = 0;

extern "C" void OnSigint(int) { gInterrupted = 1; }

void Usage(FILE* to) {
    std::fputs(
        "usage: zentu-play [--wav OUT.wav] [--stop-after MS] [--seek MS] [--pause-at MS:LEN] FILE...\n"
        "  plays each FILE in turn on the audio device (ZENTU_AUDIO=null|alsa), one joined to the\n"
        "  next without a gap where their formats agree, or into OUT.wav (at a change of format\n"
        "  into OUT-2.wav, and so on); --stop-after stops each file after MS milliseconds and reports\n"
        "  how long the stop took; --seek starts each file at MS; --pause-at pauses each file when\n"
        "  its position reaches MS, for LEN milliseconds. ReplayGain: ZENTU_REPLAYGAIN=auto|track|\n"
        "  album|lame|off (auto: album). Ctrl+C stops and ends.\n",
        to);
}

std::string WavNameFor(const std::string& base, size_t index) {
    if (index == 0) return base;
    const size_t dot = base.rfind('.');
    const size_t slash = base.rfind('/');
    std::string suffix = "-";  // (built in two steps: g++ 12 warns falsely on "-" + string)
    suffix += std::to_string(index + 1);
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return base + suffix;
    return base.substr(0, dot) + suffix + base.substr(dot);
}

std::string Clock(int64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld.%03lld", static_cast<long long>(ms / 60000),
                  static_cast<long long>(ms / 1000 % 60), static_cast<long long>(ms % 1000));
    return text;
}

const char* ReasonText(TMP3EndPlayReason reason) {
    switch (reason) {
        case TMP3EndPlayReason::mepEndOfData: return "end of data";
        case TMP3EndPlayReason::mepStopped: return "stopped";
        case TMP3EndPlayReason::mepError: return "error";
    }
    return "?";
}

}  // namespace

int main(int argc, char** argv) {
    std::string wav;
    long long stopAfter = -1, seek = -1, pauseAt = -1, pauseFor = 0;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            return kExitOk;
        }
        if ((a == "--wav" || a == "--stop-after" || a == "--seek") && i + 1 < argc) {
            if (a == "--wav")
                wav = argv[++i];
            else if (a == "--seek")
                seek = std::atoll(argv[++i]);
            else
                stopAfter = std::atoll(argv[++i]);
        } else if (a == "--pause-at" && i + 1 < argc) {
            if (std::sscanf(argv[++i], "%lld:%lld", &pauseAt, &pauseFor) != 2 || pauseAt < 0 || pauseFor < 0) {
                std::fprintf(stderr, "zentu-play: --pause-at takes MS:LEN\n");
                return kExitUsage;
            }
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "zentu-play: unknown option %s\n", a.c_str());
            Usage(stderr);
            return kExitUsage;
        } else {
            files.push_back(a);
        }
    }
    if (files.empty()) {
        Usage(stderr);
        return kExitUsage;
    }

    struct sigaction action {};
    action.sa_handler = OnSigint;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    TPlainMainLoop& loop = DefaultMainLoop();
    int status = kExitOk;
    try {
        TMP3Player player;
        player.SetAutoPlay(false);
        player.SetReplayGain(mp3::ReplayGainModeFromEnvironment(true));
        size_t index = 0, pieces = 0;
        bool finished = false;
        using Clock_ = std::chrono::steady_clock;
        Clock_::time_point started{}, resumeAt{};
        bool stopSent = false, pauseDone = false;

        // Pauses once the position reaches the --pause-at time.
        const auto pauseWhenDue = [&](Clock_::time_point now) {
            if (pauseDone || player.Status() != TMP3Status::mpsPlaying || player.Position() < pauseAt) return;
            player.Pause();
            std::printf("paused at %s\n", Clock(player.Position()).c_str());
            resumeAt = now + std::chrono::milliseconds(pauseFor);
            pauseDone = true;
        };
        // Starts files[i], or the first readable one after it; finished when none is left.
        const auto startFrom = [&](size_t i) {
            for (; i < files.size() && !gInterrupted; ++i) {
                index = i;
                std::printf("file: %s\n", files[i].c_str());
                try {
                    // AutoOpen: opens, reads the tags, finds the first frame; a file that
                    // follows without a gap plays already.
                    player.SetFileName(files[i]);
                    // The exact length and exact seeks once the frames are counted: within
                    // milliseconds, on the player's own thread.
                    for (int wait = 0; wait < 200 && player.IsOpen() && !player.FramesCounted(); ++wait)
                        std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    const TTrackInfo& track = player.Track();
                    std::printf("title: %s\nartist: %s\nalbum: %s\nyear: %s\ncomment: %s\nlength: %s\n",
                                track.title.c_str(), track.artist.c_str(), track.album.c_str(),
                                track.year.c_str(), track.comment.c_str(), Clock(player.Duration()).c_str());
                    if (!std::isnan(player.GainDb())) std::printf("gain: %+.2f dB\n", player.GainDb());
                    std::fflush(stdout);
                    if (seek >= 0) player.SetPosition(static_cast<int32_t>(seek));
                    if (player.Status() == TMP3Status::mpsStopped) {
                        // A new output: a new WAV file (a file joined on goes into the same).
                        if (!wav.empty()) player.SetOutputFileName(WavNameFor(wav, pieces++));
                        player.Play();
                    }
                } catch (const Exception& e) {
                    std::printf("error: %s\n", e.what());
                    status = kExitSomeFailed;
                    continue;
                }
                started = Clock_::now();
                stopSent = false;
                pauseDone = pauseAt < 0;
                pauseWhenDue(started);  // at once for --pause-at 0
                return;
            }
            finished = true;
        };
        player.OnChangePosition = [](TMP3Player& p) {
            if (p.Status() == TMP3Status::mpsPlaying) std::printf("position %s\n", Clock(p.Position()).c_str());
        };
        // The next file is opened while this one's last seconds play, and follows it in the
        // same output, the device's or the WAV file's (not with a seek into each).
        player.OnQueryNext = [&](TMP3Player&, std::string& next) {
            if (seek < 0 && !gInterrupted && index + 1 < files.size()) next = files[index + 1];
        };
        player.OnEndPlay = [&](TMP3Player&, TMP3EndPlayReason reason) {
            std::printf("end: %s\n", ReasonText(reason));
            if (reason == TMP3EndPlayReason::mepError) status = kExitSomeFailed;
            if (gInterrupted)
                finished = true;
            else
                startFrom(index + 1);
        };

        startFrom(0);
        // The main loop: messages as they come; the interrupt flag, the stop and the pause
        // every 10 ms.
        while (!finished) {
            loop.RunUntil([&] { return finished || gInterrupted != 0; }, 10);
            const auto now = Clock_::now();
            pauseWhenDue(now);
            if (player.Status() == TMP3Status::mpsPaused && now >= resumeAt) {
                player.Resume();
                std::printf("resumed at %s\n", Clock(player.Position()).c_str());
            }
            const bool due = stopAfter >= 0 && !stopSent && now - started >= std::chrono::milliseconds(stopAfter);
            if ((gInterrupted || due) && player.Status() != TMP3Status::mpsStopped) {
                stopSent = true;
                const auto t0 = Clock_::now();
                player.Stop();
                const double ms = std::chrono::duration<double, std::milli>(Clock_::now() - t0).count();
                std::fprintf(stderr, "zentu-play: stopped in %.3f ms\n", ms);
            }
            if (gInterrupted && player.Status() == TMP3Status::mpsStopped) {
                // Let the end-of-play event through, then end.
                loop.RunUntil([&] { return finished; }, 1000);
                break;
            }
            std::fflush(stdout);
        }
        player.Close();
    } catch (const Exception& e) {
        std::fprintf(stderr, "zentu-play: %s\n", e.what());
        return kExitSomeFailed;
    }
    std::fflush(stdout);
    return gInterrupted ? kExitInterrupted : status;
}
