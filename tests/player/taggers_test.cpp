// Files as encoders and taggers write them, made at test time: each plays whole (every
// sample mpg123 decodes), shows its title, reports its length, and is accepted by the
// player's file check. zentu-play's WAV output and zentu-decode's through the player are
// zentu-decode's own output byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "player/frame_walk.h"
#include "player/mp3_info.h"
#include "player/mp3_player.h"
#include "player/player_fixtures.h"
#include "platform/text_codec.h"

namespace zentu {
namespace {

using namespace zentu::testing;

// The value after "name: " on its line of zentu-play's report.
std::string Field(const Bytes& log, const std::string& name) {
    std::string text(1, '\n');
    text.append(log.begin(), log.end());
    const size_t at = text.find("\n" + name + ": ");
    if (at == std::string::npos) return "?";
    const size_t from = at + name.size() + 3;
    return text.substr(from, text.find('\n', from) - from);
}

TEST(Taggers, FilesPlayWholeAndShowTheirTitles) {
    for (const char* tool : {"lame", "mpg123", "sox"})
        if (!Shell(std::string("command -v ") + tool + " >/dev/null")) GTEST_SKIP() << tool << " is not installed";
    const std::string play = ZENTU_PLAY_EXE, decode = ZENTU_DECODE_EXE;
    TempDir dir;
    ASSERT_TRUE(Shell("sox -n -r 44100 -c 2 " + dir.Path("t.wav") + " synth 5 sine 440 synth 5 pinknoise mix vol 0.5"));
    ASSERT_TRUE(Shell("sox -n -r 44100 -c 2 " + dir.Path("t20.wav") + " synth 20 sine 300-3000 vol 0.5"));
    // A 20 KB "JPEG": its markers and UTF-16 marks are what a frame search must not take.
    Bytes cover = {0xFF, 0xD8, 0xFF, 0xE0};
    for (int i = 0; i < 2000; ++i) Append(cover, Bytes{0xFF, 0xFE, 0xFF, 0xE2, 0x44, 0xFF, 0xFB, 0x90, 0x64, 0x00});
    dir.Write("cover.jpg", cover);
    auto lame = [](const std::string& options) { return "lame --quiet -b 128 " + options + " $D/t.wav $F"; };
    const struct {
        const char* maker;  // and what the file carries
        const char* tool;   // needed besides lame
        std::string make;   // writes $F in the folder $D
        const char* title;  // as shown; empty: the file's name
        double slackMs = 2;        // against mpg123's sample count (without a VBR header: a frame)
        int64_t nominalMs = 0;     // the signal's length, when it is held against it too
    } kCases[] = {
        {"lame --id3v2-utf16, 333 bytes of padding (v2.3 UTF-16)", "",
         lame("--id3v2-utf16 --pad-id3v2-size 333 --tt 'Ünïcode Tïtle'"), "Ünïcode Tïtle"},
        {"lame --ti, 20 KB picture (v2.3 APIC)", "", lame("--tt 'With a picture' --ti $D/cover.jpg"), "With a picture"},
        {"eyeD3 --to-v2.4 (v2.4 UTF-16BE)", "eyeD3",
         lame("") + " && eyeD3 -Q --to-v2.4 --encoding utf16-be -t '春の海' $F >/dev/null 2>&1", "春の海"},
        {"eyeD3 --to-v2.4, lame -V2 (v2.4 UTF-8, Xing)", "eyeD3",
         "lame --quiet -V 2 $D/t.wav $F && eyeD3 -Q --to-v2.4 --encoding utf8 -t 'Ünïcode 海' $F >/dev/null 2>&1",
         "Ünïcode 海"},
        {"mid3v2 (v2.4 UTF-8)", "mid3v2", lame("") + " && mid3v2 -t 'Mutagen 海' -c 'only in ID3v2' $F", "Mutagen 海"},
        {"id3v2 (v2.3 and ID3v1)", "id3v2", lame("") + " && id3v2 -t 'Id3v2 Title' $F", "Id3v2 Title"},
        {"ffmpeg -metadata title= (v2.4)", "ffmpeg",
         "lame --quiet $D/t.wav $F.in && ffmpeg -loglevel error -i $F.in -c copy -metadata title='FFmpeg Title' $F",
         "FFmpeg Title"},
        {"lame -p -V5, 20 s (no tag, Xing after a CRC)", "", "lame --quiet -p -V 5 $D/t20.wav $F", "", 2, 20000},
        {"lame -b 128 (no tag, Info)", "", lame(""), ""},
        {"lame -V2 -t (VBR without a Xing frame)", "", "lame --quiet -V 2 -t $D/t20.wav $F", "", 27, 20000},
        {"lame -V2, the second half cut off (a count too high)", "",
         "lame --quiet -V 2 $D/t20.wav $F && truncate -s $(( $(stat -c %s $F) / 2 )) $F", "", 27},
        {"twolame -b 192 (no tag, Layer II)", "twolame", "twolame --quiet -b 192 $D/t.wav $F", "", 27},
    };
    std::printf("\n%-56s %8s %8s %-16s %s\n", "maker (tag)", "mpg123", "played", "title", "length");
    for (size_t i = 0; i < std::size(kCases); ++i) {
        const auto& c = kCases[i];
        SCOPED_TRACE(c.maker);
        if (*c.tool && !Shell(std::string("command -v ") + c.tool + " >/dev/null")) {
            std::printf("%-56s skipped: %s is not installed\n", c.maker, c.tool);
            continue;
        }
        std::string name = "file";  // (built in steps: g++ 12 warns falsely on "file" + string)
        name += std::to_string(i) + ".mp3";
        const std::string f = dir.Path(name);
        ASSERT_TRUE(Shell("D=" + dir.Path("") + "; F=" + f + "; " + c.make + " >/dev/null")) << c.make;
        // mpg123 writes to a pipe so that it picks no audio device.
        ASSERT_TRUE(Shell("mpg123 -q -s " + f + " 2>/dev/null | cat > " + f + ".ref"));
        ASSERT_TRUE(Shell(decode + " --raw " + f + " " + f + ".pcm && " + decode + " --player " + f + " " + f + ".2.wav"));
        ASSERT_TRUE(Shell("ZENTU_AUDIO=null ZENTU_REPLAYGAIN=off " + play + " --wav " + f + ".wav " + f + " > " + f + ".log"));
        const Bytes ours = ReadFile(f + ".pcm"), ref = ReadFile(f + ".ref"), wav = ReadFile(f + ".wav");
        const Bytes log = ReadFile(f + ".log");
        EXPECT_EQ(ours.size(), ref.size());  // (the samples themselves: the encoder-mode test)
        EXPECT_TRUE(wav.size() == ours.size() + 44 && std::equal(ours.begin(), ours.end(), wav.begin() + 44));
        EXPECT_TRUE(ReadFile(f + ".2.wav") == wav);
        EXPECT_EQ(Field(log, "title"), *c.title ? c.title : name);
        int minutes = 0, seconds = 0, ms = 0;
        EXPECT_EQ(std::sscanf(Field(log, "length").c_str(), "%d:%d.%d", &minutes, &seconds, &ms), 3);
        const double lengthMs = (minutes * 60 + seconds) * 1000 + ms;
        const double mpg123Ms = static_cast<double>(ref.size() / 4 * 1000 / 44100);
        EXPECT_NEAR(lengthMs, mpg123Ms, c.slackMs);
        EXPECT_NEAR(lengthMs, c.nominalMs > 0 ? static_cast<double>(c.nominalMs) : lengthMs, 100.0);
        EXPECT_EQ(Field(log, "end"), "end of data");
        EXPECT_TRUE(TMP3Player::IsValidFile(f));
        std::printf("%-56s %8zu %8zu %-16s %s (mpg123 %.0f ms)\n", c.maker, ref.size() / 4, ours.size() / 4,
                    Field(log, "title").c_str(), Field(log, "length").c_str(), mpg123Ms);
    }
}

// Tags as mutagen writes them (and then damaged as files in the wild are), in the encodings
// taggers use; ReplayGain from every source, a picture byte for byte.
constexpr const char* kTagScript = R"(
import sys
from mutagen.id3 import ID3, TIT2, TPE1, TXXX, RVA2, APIC, delete
from mutagen.apev2 import APEv2
case, f = sys.argv[1], sys.argv[2]  # (and the cover's file)
def id3(frames, version=3, **options):
    tags = ID3()
    for frame in frames: tags.add(frame)
    tags.save(f, v2_version=version, **options)
def patch(at, data):  # at the bytes found, or an offset
    b = bytearray(open(f, 'rb').read()); i = b.index(at) if isinstance(at, bytes) else at
    b[i:i + len(data)] = data; open(f, 'wb').write(b)
def ape(**items):
    tags = APEv2()
    for key, value in items.items(): tags[key] = value
    tags.save(f)
if case == 'latin23': id3([TIT2(encoding=0, text='Café Müller')])
if case == 'latin24': id3([TIT2(encoding=0, text='Sigur Rós')], 4)
if case == 'v1': id3([TIT2(encoding=0, text='Björk')], v1=2); delete(f, delete_v1=False)
if case == 'badutf8': id3([TIT2(encoding=3, text='Grüße')], 4); patch(b'\xc3\x9fe', b'\xc3\x9f\xff')
if case == 'exthdr': id3([TIT2(encoding=0, text='No extended header')]); patch(5, b'\x40')
if case == 'cut':
    id3([TIT2(encoding=0, text='Cut'), TPE1(encoding=0, text='Artist cut short')], padding=lambda info: 0)
    patch(b'TPE1', b'TPE1\0\0\x13\x88')
if case == 'gains':
    id3([TXXX(encoding=1, desc='replaygain_track_gain', text='-6.48 dB'), TXXX(desc='REPLAYGAIN_TRACK_PEAK', text='0.988'),
         TXXX(desc='REPLAYGAIN_ALBUM_GAIN', text='-7.00 dB'), RVA2(desc='track', channel=1, gain=-3.5, peak=0.5)], 4)
    ape(REPLAYGAIN_ALBUM_PEAK='0.750000')
if case == 'ape': ape(Title='Ápe Títle', Artist='APE', REPLAYGAIN_TRACK_GAIN='-4.080000 dB')
if case == 'picture':
    id3([TIT2(encoding=3, text='Pictures'), APIC(encoding=0, mime='image/png', type=0, desc='other', data=b'\x89PNG'),
         APIC(encoding=1, mime='image/jpeg', type=3, desc='Cover', data=open(sys.argv[3], 'rb').read())], 4)
)";

bool Near(float value, float expected) {
    return std::isnan(expected) ? std::isnan(value) : std::fabs(value - expected) < 0.005f;
}

TEST(Taggers, EncodingsFaultsGainsAndPictures) {
    if (!Shell("command -v lame >/dev/null && command -v sox >/dev/null && /usr/bin/python3 -c 'import mutagen' 2>/dev/null"))
        GTEST_SKIP() << "lame, sox or python3-mutagen is not installed";
    TempDir dir;
    dir.Write("tag.py", Bytes(kTagScript, kTagScript + std::strlen(kTagScript)));
    Bytes cover = {0xFF, 0xD8, 0xFF, 0xE0};
    for (int i = 0; i < 5000; ++i) cover.push_back(static_cast<uint8_t>(i * 7 % 251));
    dir.Write("cover.jpg", cover);
    ASSERT_TRUE(Shell("sox -n -r 44100 -c 2 " + dir.Path("t.wav") + " synth 1 sine 440"));
    const std::string base = "lame --quiet -b 128 $D/t.wav $F", mutagen = base + " && /usr/bin/python3 $D/tag.py ";
    const float no = NAN;
    const struct {
        const char* tool;  // besides lame and mutagen
        std::string make;  // writes $F in the folder $D
        const char* title;
        const char* artist;
        TReplayGain gain{};
        bool picture = false;
    } kCases[] = {
        {"", mutagen + "latin23 $F", "Café Müller", ""},
        {"", mutagen + "latin24 $F", "Sigur Rós", ""},
        {"", mutagen + "v1 $F", "Björk", ""},
        {"id3v2", base + " && id3v2 -1 -t \"$(printf '\\217t\\202\\314\\212C')\" $F", "春の海", ""},  // CP932
        {"", mutagen + "badutf8 $F", "Grüß\uFFFD", ""},
        {"", mutagen + "exthdr $F", "No extended header", ""},
        {"", mutagen + "cut $F", "Cut", "Artist cut short"},
        {"", mutagen + "gains $F", "file7.mp3", "", {-3.5f, 0.5f, -7.0f, 0.75f}},  // TXXX under RVA2 under APE
        {"", mutagen + "ape $F", "Ápe Títle", "APE", {-4.08f, no, no, no}},
        {"", mutagen + "picture $F $D/cover.jpg", "Pictures", "", {}, true},
        {"eyeD3", base + " && eyeD3 -Q --to-v2.3 --encoding latin1 -t 'Sigur Rós' -a 'Björk' $F >/dev/null 2>&1",
         "Sigur Rós", "Björk"},
        {"mid3v2", base + " && mid3v2 -t 'Grüße 海' --TXXX 'replaygain_album_gain:+1.25 dB' $F", "Grüße 海", "",
         {no, no, 1.25f, no}},
    };
    for (size_t i = 0; i < std::size(kCases); ++i) {
        const auto& c = kCases[i];
        SCOPED_TRACE(c.make);
        if (*c.tool && !Shell(std::string("command -v ") + c.tool + " >/dev/null")) {
            std::printf("skipped: %s is not installed\n", c.tool);
            continue;
        }
        const std::string f = dir.Path("file" + std::to_string(i) + ".mp3");
        ASSERT_TRUE(Shell("D=" + dir.Path("") + "; F=" + f + "; " + c.make));
        // What the player shows, whatever the locale of the test's caller.
        ASSERT_TRUE(Shell("LC_ALL=C.UTF-8 ZENTU_AUDIO=null " + std::string(ZENTU_PLAY_EXE) + " --wav " +
                          f + ".wav " + f + " > " + f + ".log"));
        const Bytes log = ReadFile(f + ".log");
        EXPECT_EQ(Field(log, "title"), c.title);
        EXPECT_EQ(Field(log, "artist"), c.artist);
        TMP3Info info;
        info.LoadFromFile(f);
        const TReplayGain g = info.Gain();
        EXPECT_TRUE(Near(g.trackGain, c.gain.trackGain) && Near(g.trackPeak, c.gain.trackPeak) &&
                    Near(g.albumGain, c.gain.albumGain) && Near(g.albumPeak, c.gain.albumPeak))
            << g.trackGain << " " << g.trackPeak << " " << g.albumGain << " " << g.albumPeak;
        EXPECT_EQ(info.Picture().data, c.picture ? cover : Bytes{});
        EXPECT_EQ(info.Picture().mime, c.picture ? "image/jpeg" : "");
        // The audio ends where an APE tag starts.
        if (info.Found() & TMP3Info::fApe) {
            EXPECT_EQ(info.AudioStart() + info.AudioLength(), info.ApeStart());
        }
    }
}

// The LAME tag as lame writes it: 1 s (44,100 samples) of CBR 128 kbit/s carries a delay of 576
// and a padding of 1404; in every mode (ABR resamples) the frames hold the delay, 1 s and the
// padding exactly; the gain is the one lame reports. A tag whose CRC fails is still believed,
// unless its delay is not one an encoder writes or the file no longer has the frames it counts.
TEST(Taggers, LameTagDelayPaddingAndGain) {
    if (!Shell("command -v lame >/dev/null && command -v sox >/dev/null")) GTEST_SKIP() << "lame or sox is not installed";
    TempDir dir;
    ASSERT_TRUE(Shell("sox -n -r 44100 -c 2 " + dir.Path("t.wav") + " synth 1 sine 440 vol 0.3"));
    const struct {
        const char* options;
        int damage = 0;  // 1: the CRC fails; 2: and the delay is over 4000; 3: and the file is cut in half
    } kCases[] = {{"-b 128"}, {"-b 128", 1}, {"-b 128", 2}, {"-b 128", 3}, {"-V 2 --replaygain-accurate"}, {"--abr 96 --replaygain-accurate"}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.options);
        const std::string f = dir.Path("lame.mp3"), log = dir.Path("lame.log");
        ASSERT_TRUE(Shell(std::string("lame ") + c.options + " " + dir.Path("t.wav") + " " + f + " 2>" + log));
        Bytes bytes = ReadFile(f);
        if (c.damage > 0) bytes[36 + 120 + 10] ^= 1;  // the lowpass byte of the Info tag
        if (c.damage == 2) bytes[36 + 120 + 21] = 0xFF;
        if (c.damage == 3) bytes.resize(bytes.size() / 2);
        TMPMemoryStream stream(bytes.data(), bytes.size());
        TMPStreamReader reader(65536);
        reader.Open(&stream, true);
        TMP3Info info;
        info.Attach(&reader);
        TMpegDecoder decoder;
        TFrameWalk walk(reader);
        ASSERT_TRUE(info.FindAudio(walk, decoder));
        const TVbrHeader vbr = walk.StepOverVbrHeader();
        ASSERT_TRUE(vbr.found);
        const mp3::TLameTag& lame = vbr.lame;
        if (c.damage >= 2) {
            EXPECT_TRUE(!lame.valid && lame.delay == -1 && lame.padding == -1 && std::isnan(lame.peak));
            continue;
        }
        EXPECT_TRUE(lame.valid);
        EXPECT_EQ(lame.crcMatches, c.damage == 0);
        EXPECT_EQ(lame.encoder.substr(0, 4), "LAME");
        EXPECT_EQ(lame.delay, 576);
        EXPECT_EQ(vbr.frames * 1152 - lame.delay - lame.padding, decoder.GetDecodedFormat().sampleRate);  // 1 s
        const Bytes report = ReadFile(log);  // "ReplayGain: -5.4dB"
        const std::string text(report.begin(), report.end());
        const size_t at = text.find("ReplayGain: ");
        ASSERT_NE(at, std::string::npos);
        EXPECT_NEAR(lame.trackGain, std::stof(text.substr(at + 12)), 0.051);
        EXPECT_TRUE(std::isnan(lame.albumGain));
        if (std::string(c.options) == "-b 128") {
            EXPECT_EQ(lame.padding, 1404);
            EXPECT_TRUE(std::isnan(lame.peak));  // measured only with --replaygain-accurate
        } else {
            EXPECT_NEAR(lame.peak, 0.3, 0.05);
        }
    }
}

}  // namespace
}  // namespace zentu
