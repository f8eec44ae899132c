// zentu-play: the headless player. Plays files one after another through TMP3Player on the
// audio device (ZENTU_AUDIO=null|alsa chooses the backend) or into WAV files, printing the
// tags, the length, the position at every position tick and why each file ended.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/exceptions.h"
#include "platform/plain_main_loop.h"
#include "platform/text_codec.h"
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
        "usage: zentu-play [--wav OUT.wav] [--stop-after MS] FILE...\n"
        "  plays each FILE in turn on the audio device (ZENTU_AUDIO=null|alsa), or into OUT.wav\n"
        "  (the second file into OUT-2.wav, and so on); --stop-after stops each file after MS\n"
        "  milliseconds and reports how long the stop took. Ctrl+C stops and ends.\n",
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
    long long stopAfter = -1;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            return kExitOk;
        }
        if ((a == "--wav" || a == "--stop-after") && i + 1 < argc) {
            if (a == "--wav")
                wav = argv[++i];
            else
                stopAfter = std::atoll(argv[++i]);
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
        bool ended = false;
        player.OnChangePosition = [](TMP3Player& p) {
            if (p.Status() == TMP3Status::mpsPlaying) std::printf("position %s\n", Clock(p.Position()).c_str());
        };
        player.OnEndPlay = [&](TMP3Player&, TMP3EndPlayReason reason) {
            std::printf("end: %s\n", ReasonText(reason));
            if (reason == TMP3EndPlayReason::mepError) status = kExitSomeFailed;
            ended = true;
        };

        for (size_t index = 0; index < files.size() && !gInterrupted; ++index) {
            const std::string& file = files[index];
            std::printf("file: %s\n", file.c_str());
            try {
                player.SetFileName(file);  // AutoOpen: opens, reads the tags, finds the first frame
            } catch (const Exception& e) {
                std::printf("error: %s\n", e.what());
                status = kExitSomeFailed;
                continue;
            }
            // Tag texts are the file's bytes (UTF-8, UTF-16 with a byte-order mark, or CP932):
            // shown as UTF-8 like the desktop program shows them.
            std::printf("title: %s\nartist: %s\nalbum: %s\nyear: %s\ncomment: %s\nlength: %s\n",
                        ToDisplayText(player.Title()).c_str(), ToDisplayText(player.Artist()).c_str(),
                        ToDisplayText(player.Album()).c_str(), ToDisplayText(player.Year()).c_str(),
                        ToDisplayText(player.Comment()).c_str(), Clock(player.Duration()).c_str());
            std::fflush(stdout);
            if (!wav.empty()) player.SetOutputFileName(WavNameFor(wav, index));
            ended = false;
            try {
                player.Play();
            } catch (const Exception& e) {
                std::printf("error: %s\n", e.what());
                status = kExitSomeFailed;
                continue;
            }
            const auto started = std::chrono::steady_clock::now();
            bool stopSent = false;
            // The main loop: messages as they come, the interrupt flag every 50 ms.
            while (!ended) {
                loop.RunUntil([&] { return ended || gInterrupted != 0; }, 50);
                const auto elapsed = std::chrono::steady_clock::now() - started;
                const bool due = stopAfter >= 0 && !stopSent &&
                                 elapsed >= std::chrono::milliseconds(stopAfter);
                if ((gInterrupted || due) && player.Status() == TMP3Status::mpsPlaying) {
                    stopSent = true;
                    const auto t0 = std::chrono::steady_clock::now();
                    player.Stop();
                    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
                    std::fprintf(stderr, "zentu-play: stopped in %.3f ms\n", ms);
                }
                if (gInterrupted && player.Status() == TMP3Status::mpsStopped) {
                    // Let the end-of-play event through, then end.
                    loop.RunUntil([&] { return ended; }, 1000);
                    break;
                }
                std::fflush(stdout);
            }
            player.Close();
            std::fflush(stdout);
        }
    } catch (const Exception& e) {
        std::fprintf(stderr, "zentu-play: %s\n", e.what());
        return kExitSomeFailed;
    }
    std::fflush(stdout);
    return gInterrupted ? kExitInterrupted : status;
}
