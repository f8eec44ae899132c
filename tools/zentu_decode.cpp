// zentu-decode: decodes an MPEG audio file to a WAV file, to raw 16-bit PCM, or to nothing
// (with a speed figure). Frames are found and walked the way the player does.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "decoder/dispatch.h"
#include "decoder/mpeg_decoder.h"
#include "platform/exceptions.h"
#include "platform/plain_main_loop.h"
#include "player/mp3_player.h"
#include "player/mp_stream.h"
#include "player/stream_decode.h"

namespace {

using namespace zentu;

constexpr int kExitOk = 0;
constexpr int kExitNotMpeg = 1;
constexpr int kExitUsage = 2;

void Usage(FILE* to) {
    std::fputs(
        "usage: zentu-decode [--raw] INPUT OUTPUT   decode INPUT to a WAV file (raw 16-bit PCM with --raw);\n"
        "                                           OUTPUT - writes to standard output\n"
        "       zentu-decode --null INPUT           decode and discard; print frames, seconds, CPU seconds\n"
        "                                           and speed\n"
        "       zentu-decode --player INPUT OUTPUT  decode through the player's WAV target (the same bytes)\n"
        "       zentu-decode --cpu list             print the routine families this processor can run\n"
        "       zentu-decode --help\n"
        "--cpu NAME with any of the above decodes with the routine family NAME (plain, avx2, ...).\n"
        "The encoder's delay and padding, where a LAME tag gives them, are left out (as players do);\n"
        "--no-gapless keeps every decoded sample. --replaygain track|album|lame|off applies the\n"
        "file's ReplayGain (off by default; lame: the LAME tag's own where no tag gives one).\n",
        to);
}

class Output {
public:
    virtual ~Output() = default;
    virtual bool Write(const uint8_t* data, size_t n) = 0;
    virtual bool Finish() { return true; }
};

class FileOutput final : public Output {
public:
    FileOutput(FILE* f, bool wav, bool closeAtEnd) : f_(f), wav_(wav), close_(closeAtEnd) {}
    ~FileOutput() override {
        if (close_ && f_) std::fclose(f_);
    }
    void SetFormat(int channels, int rate) {
        channels_ = channels;
        rate_ = rate;
    }
    bool Begin() { return !wav_ || WriteHeader(0); }
    bool Write(const uint8_t* data, size_t n) override {
        bytes_ += n;
        return std::fwrite(data, 1, n, f_) == n;
    }
    bool Finish() override {
        if (std::fflush(f_) != 0) return false;
        if (!wav_) return true;
        // A pipe cannot take the lengths afterwards; a file gets them written in.
        if (std::fseek(f_, 0, SEEK_SET) != 0) return true;
        return WriteHeader(bytes_) && std::fflush(f_) == 0;
    }

private:
    static void Put32(uint8_t* p, uint32_t v) {
        for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
    static void Put16(uint8_t* p, uint16_t v) {
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(v >> 8);
    }
    bool WriteHeader(uint64_t dataBytes) {
        uint8_t h[44];
        const uint32_t block = static_cast<uint32_t>(channels_) * 2;
        std::memcpy(h, "RIFF", 4);
        Put32(h + 4, static_cast<uint32_t>(dataBytes + 36));
        std::memcpy(h + 8, "WAVEfmt ", 8);
        Put32(h + 16, 16);
        Put16(h + 20, 1);
        Put16(h + 22, static_cast<uint16_t>(channels_));
        Put32(h + 24, static_cast<uint32_t>(rate_));
        Put32(h + 28, static_cast<uint32_t>(rate_) * block);
        Put16(h + 32, static_cast<uint16_t>(block));
        Put16(h + 34, 16);
        std::memcpy(h + 36, "data", 4);
        Put32(h + 40, static_cast<uint32_t>(dataBytes));
        return std::fwrite(h, 1, 44, f_) == 44;
    }

    FILE* f_;
    bool wav_;
    bool close_;
    int channels_ = 2;
    int rate_ = 44100;
    uint64_t bytes_ = 0;
};

// The player's own path: open, play into its WAV target, wait for the end of play.
int DecodeThroughPlayer(const std::string& input, const std::string& output) {
    TPlainMainLoop& loop = DefaultMainLoop();
    TMP3Player player;
    player.SetAutoPlay(false);
    player.SetAutoOpen(false);
    bool ended = false;
    TMP3EndPlayReason reason = TMP3EndPlayReason::mepStopped;
    player.OnEndPlay = [&](TMP3Player&, TMP3EndPlayReason r) {
        reason = r;
        ended = true;
    };
    player.SetFileName(input);
    try {
        player.Open();
    } catch (const EStreamError&) {
        throw;
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return kExitNotMpeg;
    }
    player.SetOutputFileName(output);
    player.Play();
    while (!loop.RunUntil([&] { return ended; }, 60000)) {
    }
    return reason == TMP3EndPlayReason::mepEndOfData ? kExitOk : kExitUsage;
}

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    bool raw = false, null = false, player = false;
    TStreamDecodeOptions options;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--cpu") {
            if (i + 1 == args.size()) {
                Usage(stderr);
                return kExitUsage;
            }
            const std::string& name = args[++i];
            if (name == "list") {
                for (int f = 0; f < kRoutineFamilyCount; ++f)
                    if (CanRunRoutineFamily(kRoutineFamilies[f].name)) std::printf("%s\n", kRoutineFamilies[f].name);
                return kExitOk;
            }
            if (!RestrictToRoutineFamily(name.c_str())) {
                std::fprintf(stderr, "zentu-decode: no routine family %s on this processor (--cpu list names them)\n",
                             name.c_str());
                return kExitUsage;
            }
            continue;
        }
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            return kExitOk;
        }
        if (a == "--replaygain") {
            if (i + 1 == args.size() || args[i + 1] == "auto" ||
                !mp3::ParseReplayGainMode(args[i + 1], true, options.replayGain)) {
                Usage(stderr);
                return kExitUsage;
            }
            ++i;
            continue;
        }
        if (a == "--raw")
            raw = true;
        else if (a == "--no-gapless")
            options.gapless = false;
        else if (a == "--null")
            null = true;
        else if (a == "--player")
            player = true;
        else if (a.size() > 1 && a[0] == '-' && a != "-") {
            std::fprintf(stderr, "zentu-decode: unknown option %s\n", a.c_str());
            Usage(stderr);
            return kExitUsage;
        } else
            files.push_back(a);
    }
    if ((null && (files.size() != 1 || raw || player)) || (!null && files.size() != 2) ||
        (player && (raw || files[1] == "-"))) {
        Usage(stderr);
        return kExitUsage;
    }

    try {
        if (player) return DecodeThroughPlayer(files[0], files[1]);
        TMPFileStream input(files[0]);
        TStreamDecodeStats stats;
        if (null) {
            const double cpu0 = CpuSeconds();
            if (!DecodeStream(input, [](const DecodedFormat&) {}, [](const uint8_t*, size_t) { return true; }, stats,
                              options)) {
                std::fputs("unknown MPEG Audio format.\n", stderr);
                return kExitNotMpeg;
            }
            const double cpu = CpuSeconds() - cpu0;
            const DecodedFormat& f = stats.format;
            const double seconds = f.sampleRate > 0 && f.channels > 0
                                       ? static_cast<double>(stats.pcmBytes) / (2.0 * f.channels * f.sampleRate)
                                       : 0.0;
            std::printf("%lld frames, %.3f s of audio, %.3f s CPU, %.1f x realtime\n",
                        static_cast<long long>(stats.frames), seconds, cpu, cpu > 0 ? seconds / cpu : 0.0);
            return kExitOk;
        }
        FILE* f = files[1] == "-" ? stdout : std::fopen(files[1].c_str(), "wb");
        if (!f) {
            std::fprintf(stderr, "zentu-decode: cannot create \"%s\": %s\n", files[1].c_str(), std::strerror(errno));
            return kExitUsage;
        }
        FileOutput out(f, !raw, f != stdout);
        bool begun = true;
        const bool ok = DecodeStream(
            input,
            [&](const DecodedFormat& fmt) {
                out.SetFormat(fmt.channels, fmt.sampleRate);
                begun = out.Begin();
            },
            [&](const uint8_t* data, size_t n) { return out.Write(data, n); }, stats, options);
        if (!ok) {
            std::fputs("unknown MPEG Audio format.\n", stderr);
            return kExitNotMpeg;
        }
        if (!begun || !out.Finish()) {
            std::fprintf(stderr, "zentu-decode: cannot write \"%s\": %s\n", files[1].c_str(), std::strerror(errno));
            return kExitUsage;
        }
        return kExitOk;
    } catch (const Exception& e) {
        std::fprintf(stderr, "zentu-decode: %s\n", e.what());
        return kExitUsage;
    }
}
