// zentu-play, the headless player: its WAV output against zentu-decode, its report of each
// file, the gain ReplayGain asks for, and a clean end on Ctrl+C.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "player/player_fixtures.h"

namespace zentu {
namespace {

using namespace zentu::testing;

const std::string kPlay = ZENTU_PLAY_EXE;

int RunCommand(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Text(const std::string& path) {
    const Bytes b = ReadFile(path);
    return std::string(b.begin(), b.end());
}

class ZentuPlay : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(kPlay.c_str(), X_OK) != 0) GTEST_SKIP() << "zentu-play not built";
    }
    TempDir dir;
};

// Files of one format join in one WAV file, as they would in the device; another format
// starts the next file.
TEST_F(ZentuPlay, WavOutputEqualsZentuDecode) {
    Bytes b(100, 0);
    Append(b, Layer2Frame(), 30);
    const std::string in = dir.Write("in.mp2", b);
    const std::string second = dir.Write("second.mp2", Frames(Layer2Frame(), 3));
    const std::string other = dir.Write("other.mp2", Frames(Layer2Frame48k(), 2));
    ASSERT_EQ(RunCommand("ZENTU_AUDIO=null " + kPlay + " --wav " + dir.Path("out.wav") + " " + in + " " + second + " " +
                         other + " > " + dir.Path("log")),
              0);
    ASSERT_EQ(RunCommand(std::string(ZENTU_DECODE_EXE) + " " + in + " " + dir.Path("ref.wav")), 0);
    const auto samples = [](Bytes wav) { return Bytes(wav.begin() + std::min<size_t>(44, wav.size()), wav.end()); };
    Bytes joined = samples(ReadFile(dir.Path("ref.wav")));
    joined.resize(joined.size() + 3 * 4608, 0);  // the frames of the second file are silent
    EXPECT_TRUE(samples(ReadFile(dir.Path("out.wav"))) == joined);
    EXPECT_EQ(ReadFile(dir.Path("out-2.wav")).size(), 44u + 2u * 4608u);
    EXPECT_EQ(access(dir.Path("out-3.wav").c_str(), F_OK), -1);
    // Paused for a while as it starts (a WAV file is written faster than it plays): the same
    // bytes.
    ASSERT_EQ(RunCommand("ZENTU_AUDIO=null " + kPlay + " --pause-at 0:300 --wav " + dir.Path("paused.wav") + " " + in +
                         " > " + dir.Path("log2")),
              0);
    EXPECT_TRUE(ReadFile(dir.Path("paused.wav")) == ReadFile(dir.Path("ref.wav")));
    EXPECT_NE(Text(dir.Path("log2")).find("paused at "), std::string::npos);
    const std::string log = Text(dir.Path("log"));
    EXPECT_NE(log.find("title: in.mp2\n"), std::string::npos) << log;
    EXPECT_NE(log.find("length: 0:00.783\n"), std::string::npos) << log;  // 30 frames of 1152 at 44.1 kHz
    EXPECT_NE(log.find("end: end of data\n"), std::string::npos) << log;
}

// Tag texts are shown as UTF-8, whatever the tag holds: here an ID3v2.3 title in UTF-16 with a
// byte-order mark and an ID3v1 artist in CP932.
TEST_F(ZentuPlay, TagTextsAreShownAsUtf8) {
    const std::string utf16Title("\x01\xFF\xFE\x25\x66\x6E\x30\x77\x6D", 9);  // encoding 1, 春の海
    Bytes tag = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, static_cast<uint8_t>(10 + utf16Title.size())};
    const uint8_t frameHeader[10] = {'T', 'I', 'T', '2', 0, 0, 0, static_cast<uint8_t>(utf16Title.size()), 0, 0};
    tag.insert(tag.end(), frameHeader, frameHeader + 10);
    tag.insert(tag.end(), utf16Title.begin(), utf16Title.end());
    Append(tag, Layer2Frame(), 3);
    Bytes v1(128, 0);
    v1[0] = 'T', v1[1] = 'A', v1[2] = 'G';
    const uint8_t cp932Artist[] = {0x8F, 0x74, 0x82, 0xCC, 0x8A, 0x43};  // 春の海
    std::copy(std::begin(cp932Artist), std::end(cp932Artist), v1.begin() + 33);
    tag.insert(tag.end(), v1.begin(), v1.end());
    const std::string in = dir.Write("tags.mp2", tag);
    ASSERT_EQ(RunCommand("ZENTU_AUDIO=null " + kPlay + " --wav " + dir.Path("o.wav") + " " + in + " > " + dir.Path("log")),
              0);
    const std::string log = Text(dir.Path("log"));
    EXPECT_NE(log.find("title: 春の海\n"), std::string::npos) << log;
    EXPECT_NE(log.find("artist: 春の海\n"), std::string::npos) << log;
}

TEST_F(ZentuPlay, ReportsFilesThatAreNotMpegAudioAndGoesOn) {
    const std::string bad = dir.Write("bad.mp3", Bytes(4000, 0x55));
    const std::string good = dir.Write("good.mp2", Frames(Layer2Frame(), 3));
    // A FIFO with no writer would hold an open for good: refused at once instead.
    const std::string fifo = dir.Path("x.mp3");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(RunCommand("ZENTU_AUDIO=null timeout 10 " + kPlay + " --wav " + dir.Path("o.wav") + " " + bad + " " + fifo +
                         " " + good + " > " + dir.Path("log")),
              1);
    const std::string log = Text(dir.Path("log"));
    EXPECT_NE(log.find("error: unknown MPEG Audio format.\n"), std::string::npos) << log;
    EXPECT_NE(log.find("error: cannot open file \"" + fifo + "\": not a regular file\n"), std::string::npos) << log;
    EXPECT_NE(log.find("end: end of data\n"), std::string::npos) << log;
    EXPECT_EQ(RunCommand(kPlay + " > /dev/null 2>&1"), 2);
}

// RMS level of a 16-bit WAV's samples in dB of full scale, and whether any sample is at it.
double LevelDb(const Bytes& wav, bool& clipped) {
    double sum = 0;
    size_t n = 0;
    clipped = false;
    for (size_t i = 44; i + 1 < wav.size(); i += 2, ++n) {
        const int v = static_cast<int16_t>(wav[i] | (wav[i + 1] << 8));
        sum += double(v) * v;
        clipped = clipped || v >= 32767 || v <= -32768;
    }
    return n ? 10 * std::log10(sum / double(n) / (32768.0 * 32768.0)) : -INFINITY;
}

TEST_F(ZentuPlay, ReplayGainAsTheFilesSayIt) {
    if (RunCommand("command -v lame && command -v sox && command -v mid3v2") != 0) GTEST_SKIP() << "lame, sox or mid3v2 missing";
    const std::string d = dir.Path("");
    ASSERT_EQ(RunCommand("cd " + d + " && sox -n -r 44100 -c 2 t.wav synth 2 sine 440 vol 0.5 && "
                         "sox -n -r 44100 -c 2 loud.wav synth 2 sine 440 vol 0.85 && "
                         "sox -n -r 44100 -c 1 quiet.wav synth 2 sine 440 vol 0.001 && "
                         "lame --quiet -b 128 quiet.wav quiet.mp3 && mid3v2 --TXXX 'REPLAYGAIN_TRACK_GAIN:+30.00 dB' quiet.mp3 && "
                         "lame --quiet -b 192 --noreplaygain t.wav plain.mp3 && "
                         "lame --quiet -b 192 --replaygain-accurate t.wav lame.mp3 && "
                         "lame --quiet -b 192 --noreplaygain loud.wav loud.mp3 && "
                         "cp plain.mp3 minus6.mp3 && mid3v2 --TXXX 'REPLAYGAIN_TRACK_GAIN:-6.00 dB' minus6.mp3 && "
                         "cp plain.mp3 zero.mp3 && mid3v2 --TXXX 'REPLAYGAIN_TRACK_GAIN:+0.00 dB' zero.mp3 && "
                         "mid3v2 --TXXX 'REPLAYGAIN_TRACK_GAIN:+12.00 dB' --TXXX 'REPLAYGAIN_TRACK_PEAK:0.900000' loud.mp3"
                         " >/dev/null"),
              0);
    const auto play = [&](const std::string& file, const std::string& mode, std::string& log) {
        const std::string out = d + file + "." + mode + ".wav";
        EXPECT_EQ(RunCommand("ZENTU_AUDIO=null ZENTU_REPLAYGAIN=" + mode + " " + kPlay + " --wav " + out + " " + d + file +
                             " > " + out + ".log"),
                  0);
        log = Text(out + ".log");
        return ReadFile(out);
    };
    std::string log;
    bool clipped = false;
    const double plain = LevelDb(play("plain.mp3", "off", log), clipped), loud = LevelDb(play("loud.mp3", "off", log), clipped),
                 quiet = LevelDb(play("quiet.mp3", "off", log), clipped);
    const struct {
        const char* file;
        const char* mode;
        double base;     // the level it is held against
        double change;   // dB; NaN: the gain zentu-play reports
    } kCases[] = {
        {"minus6.mp3", "track", plain, -6.0},
        {"minus6.mp3", "album", plain, -6.0},  // no album gain: the track's
        {"minus6.mp3", "off", plain, 0.0},
        {"loud.mp3", "track", loud, 20 * std::log10(1 / 0.9)},  // +12 dB held to the peak
        {"lame.mp3", "lame", plain, NAN},                        // the LAME tag's own, asked for
        {"lame.mp3", "auto", plain, 0.0},                        // lame's, not a tagger's
        {"plain.mp3", "track", plain, 0.0},
        {"quiet.mp3", "track", quiet, 30.0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.file) + " " + c.mode);
        const double level = LevelDb(play(c.file, c.mode, log), clipped);
        double expected = c.change, reported = NAN;
        const size_t at = log.find("gain: ");
        if (at != std::string::npos) reported = std::atof(log.c_str() + at + 6);
        if (std::isnan(expected)) {
            ASSERT_FALSE(std::isnan(reported)) << log;
            expected = reported;
        }
        std::printf("%-12s %-6s %+7.2f dB (expected %+.2f, reported %+.2f)\n", c.file, c.mode, level - c.base, expected,
                    reported);
        EXPECT_NEAR(level - c.base, expected, 0.1);
        EXPECT_FALSE(clipped);
    }
    EXPECT_TRUE(play("zero.mp3", "track", log) == play("plain.mp3", "off", log));  // 0 dB changes no sample
}

// Halves of one signal, each encoded on its own and played in one run, make one WAV file
// that holds, sample for sample, each half's own gapless decode one after the other. A file
// cut to its first half (an interrupted download) shows the length mpg123 decodes of it.
TEST_F(ZentuPlay, JoinedHalvesAreEachFilesOwnDecode) {
    if (RunCommand("command -v lame && command -v twolame && command -v sox && command -v ffmpeg && command -v mpg123") != 0)
        GTEST_SKIP() << "lame, twolame, sox, ffmpeg or mpg123 missing";
    const struct {
        const char* name;
        int rate, channels;
        const char* encode;  // from in.wav to out.mp3
        bool cut = false;    // also played cut to its first half
    } kModes[] = {
        {"lame CBR 128", 44100, 2, "lame --quiet -b 128 in.wav out.mp3"},
        {"lame VBR -V2", 44100, 2, "lame --quiet -V 2 in.wav out.mp3", true},
        {"FFmpeg stereo", 44100, 2, "ffmpeg -loglevel error -i in.wav -c:a libmp3lame -b:a 128k out.mp3"},
        {"FFmpeg mono", 48000, 1, "ffmpeg -loglevel error -i in.wav -c:a libmp3lame -b:a 64k out.mp3"},
        {"MPEG-2 24 kHz", 24000, 2, "lame --quiet -b 64 in.wav out.mp3"},
        {"Layer II", 44100, 2, "twolame --quiet -b 192 in.wav out.mp3"},
    };
    const std::string play = "ZENTU_AUDIO=null ZENTU_REPLAYGAIN=off " + kPlay + " --wav ";
    for (size_t i = 0; i < std::size(kModes); ++i) {
        const auto& m = kModes[i];
        SCOPED_TRACE(m.name);
        const std::string d = dir.Path(std::to_string(i)), encode = std::string(m.encode);
        const auto encodeAs = [&](const std::string& in, const std::string& out) {
            std::string c = encode;
            c.replace(c.find("in.wav"), 6, in);
            return c.replace(c.find("out.mp3"), 7, out);
        };
        ASSERT_EQ(RunCommand("mkdir " + d + " && cd " + d + " && sox -n -r " + std::to_string(m.rate) + " -c " +
                             std::to_string(m.channels) + " s.wav synth 4 sine 200-4000 vol 0.5 && " +
                             "sox s.wav 1.wav trim 0 1.7 && sox s.wav 2.wav trim 1.7 && " + encodeAs("1.wav", "1.mp3") +
                             " && " + encodeAs("2.wav", "2.mp3") + " && " + play + "j.wav 1.mp3 2.mp3 > log && " +
                             ZENTU_DECODE_EXE + " --raw 1.mp3 1.pcm && " + ZENTU_DECODE_EXE + " --raw 2.mp3 2.pcm"),
                  0);
        const Bytes joined = ReadFile(d + "/j.wav"), first = ReadFile(d + "/1.pcm"), second = ReadFile(d + "/2.pcm");
        Bytes both = first;
        both.insert(both.end(), second.begin(), second.end());
        ASSERT_GE(joined.size(), 44u);
        EXPECT_EQ(joined.size() - 44, both.size());
        EXPECT_TRUE(std::equal(both.begin(), both.end(), joined.begin() + 44, joined.end()));
        EXPECT_EQ(access((d + "/j-2.wav").c_str(), F_OK), -1);
        if (!m.cut) continue;
        ASSERT_EQ(RunCommand("cd " + d + " && " + encodeAs("s.wav", "s.mp3") + " && head -c $(($(stat -c %s s.mp3) / 2)) s.mp3 > cut.mp3 && " +
                             play + "cut.wav cut.mp3 > cut.log && mpg123 -q -s cut.mp3 2>/dev/null | cat > cut.pcm"),
                  0);
        const std::string log = Text(d + "/cut.log");
        const size_t at = log.find("length: ");
        ASSERT_NE(at, std::string::npos) << log;
        const double shown = std::atoi(log.c_str() + at + 8) * 60 + std::atof(log.c_str() + log.find(':', at + 8) + 1);
        const double decoded = double(ReadFile(d + "/cut.pcm").size()) / (2.0 * m.channels * m.rate);
        std::printf("%s cut to half: length %.3f s, mpg123 decodes %.3f s\n", m.name, shown, decoded);
        EXPECT_NEAR(shown, decoded, 1152.0 / m.rate);
    }
}

TEST_F(ZentuPlay, InterruptStopsAndCloses) {
    const std::string in = dir.Write("long.mp2", Frames(Layer2Frame(), 800));  // about 20 s
    const int code = RunCommand("ZENTU_AUDIO=null timeout --preserve-status -s INT 0.7 " + kPlay + " " + in + " > " +
                         dir.Path("log") + " 2>&1");
    EXPECT_EQ(code, 130);
    const std::string log = Text(dir.Path("log"));
    EXPECT_NE(log.find("end: stopped\n"), std::string::npos) << log;
}

}  // namespace
}  // namespace zentu
