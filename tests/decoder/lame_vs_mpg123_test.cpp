// Files from real encoders: short signals encoded with lame and twolame at test time in the
// common modes, decoded by zentu-decode and by mpg123, compared sample by sample, with every
// decoded sample and with the encoder's delay and padding left out (both programs' default:
// the same samples, the same count); and played
// by zentu-play from a position in the middle, compared with zentu-decode's samples there.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "decoder/mpeg_decoder.h"
#include "tests/decoder/pcm_file.h"
#include "player/player_fixtures.h"

namespace zentu {
namespace {

namespace fs = std::filesystem;
using test::ReadBytes;
using test::ReadPcm;

bool Have(const char* tool) {
    const std::string cmd = std::string("command -v ") + tool + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

bool Shell(const std::string& cmd) {
    const int status = std::system(cmd.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct Mode {
    const char* name;
    int rate;
    int channels;
    const char* encode;  // the encoder's command, reading IN, writing OUT
    int frameSamples;    // sample frames per MPEG frame
};

struct Result {
    double psnr = 0;
    int64_t maxDiff = 0;
    size_t compared = 0;
    long offset = 0;  // values of our output left out (the encoder's tag frame)
};

// The best of a few whole-frame offsets either way aligns the two; with the encoder's tag
// frame (Xing/Info) left out by both, it must be no offset at all.
Result Compare(const std::vector<int16_t>& ours, const std::vector<int16_t>& ref, long frameValues) {
    Result best;
    double bestMse = INFINITY;
    for (long k = -2; k <= 2; ++k) {
        const long off = k * frameValues;
        const size_t a = off > 0 ? static_cast<size_t>(off) : 0;
        const size_t b = off < 0 ? static_cast<size_t>(-off) : 0;
        if (a >= ours.size() || b >= ref.size()) continue;
        const size_t n = std::min(ours.size() - a, ref.size() - b);
        double sum = 0;
        int64_t mx = 0;
        for (size_t i = 0; i < n; ++i) {
            const int64_t d = int64_t{ours[a + i]} - ref[b + i];
            sum += static_cast<double>(d * d);
            mx = std::max(mx, d < 0 ? -d : d);
        }
        const double mse = n ? sum / static_cast<double>(n) : INFINITY;
        if (n > 0 && mse < bestMse) {
            bestMse = mse;
            best.psnr = mse > 0 ? 10 * std::log10(32768.0 * 32768.0 / mse) : INFINITY;
            best.maxDiff = mx;
            best.compared = n;
            best.offset = off;
        }
    }
    return best;
}

// The command with every IN and OUT replaced by the quoted paths.
std::string Command(const std::string& c, const fs::path& in, const fs::path& out) {
    std::string r;
    for (size_t i = 0; i < c.size();) {
        const bool isIn = c.compare(i, 2, "IN") == 0, isOut = c.compare(i, 3, "OUT") == 0;
        if (isIn || isOut) {
            r.push_back('\'');
            r.append(isIn ? in.string() : out.string());
            r.push_back('\'');
            i += isIn ? 2 : 3;
        } else {
            r.push_back(c[i++]);
        }
    }
    return r;
}

TEST(LameVsMpg123, EncoderModes) {
    for (const char* tool : {"lame", "twolame", "ffmpeg", "mpg123", "sox"})
        if (!Have(tool)) GTEST_SKIP() << tool << " is not installed";

    static constexpr Mode kModes[] = {
        {"CBR 128 joint stereo 44.1 kHz", 44100, 2, "lame --quiet -b 128 -m j IN OUT", 1152},
        {"CBR 320 joint stereo 44.1 kHz", 44100, 2, "lame --quiet -b 320 -m j IN OUT", 1152},
        {"CBR 192 stereo 48 kHz", 48000, 2, "lame --quiet -b 192 -m s IN OUT", 1152},
        {"CBR 64 mono 32 kHz", 32000, 1, "lame --quiet -b 64 -m m IN OUT", 1152},
        {"FFmpeg mono (LAME tag, bad CRC)", 44100, 1, "ffmpeg -loglevel error -y -i IN -ac 1 -c:a libmp3lame OUT", 1152},
        {"VBR -V2 joint stereo (Xing)", 44100, 2, "lame --quiet -V 2 IN OUT", 1152},
        {"VBR -V2 without a Xing frame", 44100, 2, "lame --quiet -t -V 2 IN OUT", 1152},
        {"ABR 160 joint stereo 44.1 kHz", 44100, 2, "lame --quiet --abr 160 IN OUT", 1152},
        {"VBR -V2 mono 48 kHz", 48000, 1, "lame --quiet -V 2 -m m IN OUT", 1152},
        {"ABR 160 stereo 32 kHz", 32000, 2, "lame --quiet --abr 160 -m s IN OUT", 1152},
        {"VBR -V2 joint stereo 22.05 kHz", 22050, 2, "lame --quiet -V 2 IN OUT", 576},
        {"ABR 64 mono 22.05 kHz", 22050, 1, "lame --quiet --abr 64 -m m IN OUT", 576},
        {"MPEG-2 22.05 kHz 64 joint", 22050, 2, "lame --quiet -b 64 -m j IN OUT", 576},
        {"MPEG-2 24 kHz 80 stereo", 24000, 2, "lame --quiet -b 80 -m s IN OUT", 576},
        {"MPEG-2 16 kHz 32 mono", 16000, 1, "lame --quiet -b 32 -m m IN OUT", 576},
        {"MPEG-2.5 8 kHz 16 mono", 8000, 1, "lame --quiet -b 16 -m m IN OUT", 576},
        {"MPEG-2.5 11.025 kHz 32 joint", 11025, 2, "lame --quiet -b 32 -m j IN OUT", 576},
        {"MPEG-2.5 12 kHz 32 joint", 12000, 2, "lame --quiet -b 32 -m j IN OUT", 576},
        {"Layer II 256 stereo 44.1 kHz", 44100, 2, "twolame --quiet -b 256 -m s IN OUT", 1152},
        {"Layer II 64 mono 48 kHz", 48000, 1, "twolame --quiet -b 64 -m m IN OUT", 1152},
        // the allocation table changes with the bit rate
        {"Layer II 64 then 192 kbit/s", 44100, 2,
         "twolame --quiet -b 64 IN OUT.1 && twolame --quiet -b 192 IN OUT.2 && cat OUT.1 OUT.2 > OUT", 1152},
    };
    const testing::TempDir temp;
    const fs::path dir = temp.Path("");
    std::printf("\n%-32s %9s %8s %6s\n", "mode", "values", "PSNR dB", "max");
    for (const Mode& m : kModes) {
        SCOPED_TRACE(m.name);
        const fs::path wav = dir / "in.wav", mp3 = dir / "in.mp3", ours = dir / "ours.pcm", ref = dir / "ref.pcm";
        // A tone and a sweep with noise, switched on and off (transients bring short blocks).
        const std::string synth = m.channels == 2 ? "synth 3 sine 440 sine 100-9000 synth 3 pinknoise mix "
                                                    "synth 3 square amod 2 square amod 3 vol 0.7"
                                                  : "synth 3 sine 100-9000 synth 3 pinknoise mix "
                                                    "synth 3 square amod 2 vol 0.7";
        ASSERT_TRUE(Shell("sox -n -r " + std::to_string(m.rate) + " -c " + std::to_string(m.channels) + " '" +
                        wav.string() + "' " + synth + " 2>/dev/null"));
        ASSERT_TRUE(Shell(Command(m.encode, wav, mp3)));
        ASSERT_TRUE(Shell("'" + std::string(ZENTU_DECODE_EXE) + "' --no-gapless --raw '" + mp3.string() + "' '" +
                          ours.string() + "'"));
        // mpg123 writes to a pipe so that it does not pick an audio device.
        ASSERT_TRUE(Shell("mpg123 -q -s --no-gapless '" + mp3.string() + "' 2>/dev/null | cat > '" + ref.string() + "'"));
        const std::vector<int16_t> a = ReadPcm(ours), b = ReadPcm(ref);
        ASSERT_FALSE(a.empty());
        ASSERT_FALSE(b.empty());
        const Result r = Compare(a, b, static_cast<long>(m.frameSamples) * m.channels);
        std::printf("%-32s %9zu %8.2f %6lld  (offset %ld frames)\n", m.name, r.compared, r.psnr,
                    static_cast<long long>(r.maxDiff), r.offset / (static_cast<long>(m.frameSamples) * m.channels));
        EXPECT_EQ(r.offset, 0);
        EXPECT_EQ(a.size(), b.size());
        EXPECT_GE(r.psnr, 96.0);
        EXPECT_LE(r.maxDiff, 4);

        // Gapless, as both decode by default: lame's delay and padding left out.
        ASSERT_TRUE(Shell("'" + std::string(ZENTU_DECODE_EXE) + "' --raw '" + mp3.string() + "' '" + ours.string() + "'"));
        ASSERT_TRUE(Shell("mpg123 -q -s '" + mp3.string() + "' 2>/dev/null | cat > '" + ref.string() + "'"));
        const std::vector<int16_t> trimmed = ReadPcm(ours), refTrimmed = ReadPcm(ref);
        const Result g = Compare(trimmed, refTrimmed, static_cast<long>(m.frameSamples) * m.channels);
        std::printf("%-32s %9zu %8.2f %6lld  gapless: %zu samples, mpg123 %zu\n", "", g.compared, g.psnr,
                    static_cast<long long>(g.maxDiff), trimmed.size() / m.channels, refTrimmed.size() / m.channels);
        EXPECT_EQ(g.offset, 0);
        EXPECT_EQ(trimmed.size(), refTrimmed.size());
        EXPECT_GE(g.psnr, 96.0);

        // Played from a place in the first frame and from 1.5 s on: exactly what zentu-decode
        // gives from there on, to the end.
        for (const int ms : {10, 1500}) {
            const fs::path played = dir / "seek.wav";
            ASSERT_TRUE(Shell("ZENTU_AUDIO=null ZENTU_REPLAYGAIN=off '" ZENTU_PLAY_EXE "' --seek " +
                              std::to_string(ms) + " --wav '" + played.string() + "' '" + mp3.string() + "' >/dev/null"));
            std::vector<int16_t> p = ReadPcm(played);
            ASSERT_GT(p.size(), 22u);
            p.erase(p.begin(), p.begin() + 22);  // the WAV header
            const size_t target = static_cast<size_t>(m.rate) * ms / 1000 * m.channels;
            ASSERT_LE(target, trimmed.size());
            size_t differ = 0;
            for (size_t i = 0; i < std::min(p.size(), trimmed.size() - target); ++i) differ += p[i] != trimmed[target + i];
            std::printf("%-32s seek to %d ms: %zu samples, %zu differ\n", "", ms, p.size() / m.channels, differ);
            EXPECT_EQ(p.size(), trimmed.size() - target);
            EXPECT_EQ(differ, 0u);
        }
    }
}

// The offsets of the frames of an encoder's file (no tags), header after header.
std::vector<size_t> FrameOffsets(const std::vector<uint8_t>& file) {
    std::vector<size_t> at;
    for (size_t p = 0; p + 4 <= file.size();) {
        FrameHeader h;
        const int32_t base = ParseFrameHeader(file.data() + p, 0, h);
        if (base <= 0) break;
        at.push_back(p);
        p += static_cast<size_t>(base + (h.paddingBit ? PaddingSlot(h.layerCode) : 0));
    }
    return at;
}

int PeakOf(const std::vector<int16_t>& v, size_t from, size_t to) {
    int peak = 0;
    for (size_t i = from; i < std::min(to, v.size()); ++i) peak = std::max(peak, std::abs(int{v[i]}));
    return peak;
}

// A damaged or spliced file: one frame in the middle cut short, so that the next frame's
// header comes before its declared end (or, spliced, after it but not right after it). The
// cut frame and those whose main data is missing are silent, the file keeps the length it had whole, nothing near the cut is louder than
// the whole file there (a quiet signal: noise from bytes read as main data would be loud),
// and from a few frames on the sound is the whole file's again.
TEST(LameVsMpg123, FrameCutShort) {
    for (const char* tool : {"lame", "twolame", "mpg123", "sox"})
        if (!Have(tool)) GTEST_SKIP() << tool << " is not installed";
    struct Case {
        const char* name;
        int rate;
        const char* encode;
        int frameSamples;
        int keep;    // bytes of the cut frame that stay
        int splice;  // bytes of another frame's data put after them
    };
    static constexpr Case kCases[] = {
        {"CBR 128, 200 bytes left", 44100, "lame --quiet -b 128 IN OUT", 1152, 200, 0},
        {"CBR 128, inside the side information", 44100, "lame --quiet -b 128 IN OUT", 1152, 20, 0},
        {"CBR 128, spliced past its end", 44100, "lame --quiet -b 128 IN OUT", 1152, 300, 200},
        {"VBR -V2", 44100, "lame --quiet -V 2 IN OUT", 1152, 150, 0},
        {"MPEG-2 22.05 kHz 64", 22050, "lame --quiet -b 64 IN OUT", 576, 100, 0},
        {"Layer II 192", 44100, "twolame --quiet -b 192 IN OUT", 1152, 300, 0},
    };
    const testing::TempDir temp;
    const fs::path dir = temp.Path("");
    const fs::path wav = dir / "in.wav", whole = dir / "whole.mp3", cut = dir / "cut.mp3";
    std::printf("\n%-40s %9s %9s %9s %6s %6s\n", "file", "whole", "cut", "mpg123", "peak", "near");
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(Shell("sox -n -r " + std::to_string(c.rate) + " -c 2 '" + wav.string() +
                          "' synth 4 pinknoise vol 0.03 2>/dev/null"));
        ASSERT_TRUE(Shell(Command(c.encode, wav, whole)));
        const std::vector<uint8_t> file = ReadBytes(whole);
        const std::vector<size_t> at = FrameOffsets(file);
        ASSERT_GT(at.size(), 100u);
        const size_t x = at.size() / 2, src = at[x + 40] + 40;
        std::vector<uint8_t> damaged(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(at[x] + c.keep));
        damaged.insert(damaged.end(), file.begin() + static_cast<std::ptrdiff_t>(src),
                       file.begin() + static_cast<std::ptrdiff_t>(src + c.splice));
        damaged.insert(damaged.end(), file.begin() + static_cast<std::ptrdiff_t>(at[x + 1]), file.end());
        std::ofstream(cut, std::ios::binary)
            .write(reinterpret_cast<const char*>(damaged.data()), static_cast<std::streamsize>(damaged.size()));

        const fs::path a = dir / "whole.pcm", b = dir / "cut.pcm", m = dir / "mpg123.pcm";
        for (const auto& [in, out] : {std::pair{whole, a}, std::pair{cut, b}})
            ASSERT_TRUE(Shell("'" + std::string(ZENTU_DECODE_EXE) + "' --no-gapless --raw '" + in.string() + "' '" + out.string() + "'"));
        Shell("mpg123 -q -s --no-gapless '" + cut.string() + "' 2>/dev/null | cat > '" + m.string() + "'");
        const std::vector<int16_t> ours = ReadPcm(b), ref = ReadPcm(a);
        const size_t frame = 2 * static_cast<size_t>(c.frameSamples);
        // The encoder's tag frame plays no sound.
        const size_t tagFrames = at.size() - ref.size() / frame, cutFrame = x - tagFrames;
        const int peak = PeakOf(ref, (cutFrame - 4) * frame, (cutFrame + 6) * frame);
        const int near = PeakOf(ours, (cutFrame - 4) * frame, (cutFrame + 6) * frame);
        std::printf("%-40s %9zu %9zu %9zu %6d %6d\n", c.name, ref.size() / 2, ours.size() / 2,
                    ReadPcm(m).size() / 2, peak, near);
        EXPECT_EQ(ours.size(), ref.size());
        EXPECT_LE(near, peak * 1.122);  // 1 dB
        if (c.splice == 0) {
            EXPECT_EQ(PeakOf(ours, cutFrame * frame, (cutFrame + 1) * frame), 0);
        }
        const size_t healed = (cutFrame + 6) * frame;
        ASSERT_GT(ours.size(), healed);
        EXPECT_TRUE(std::equal(ours.begin() + static_cast<std::ptrdiff_t>(healed), ours.end(),
                               ref.begin() + static_cast<std::ptrdiff_t>(healed)));
    }
}

}  // namespace
}  // namespace zentu
