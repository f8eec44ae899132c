// Files as encoders and taggers write them, made at test time: each plays whole (every
// sample mpg123 decodes), shows its title, reports its length, and is accepted by the
// player's file check. zentu-play's WAV output and zentu-decode's through the player are
// zentu-decode's own output byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "player/mp3_player.h"
#include "player/player_fixtures.h"

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
    const std::string play = std::string(ZENTU_BUILD_DIR) + "/tools/zentu-play", decode = ZENTU_DECODE_EXE;
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
        ASSERT_TRUE(Shell("mpg123 -q -s --no-gapless " + f + " 2>/dev/null | cat > " + f + ".ref"));
        ASSERT_TRUE(Shell(decode + " --raw " + f + " " + f + ".pcm && " + decode + " --player " + f + " " + f + ".2.wav"));
        ASSERT_TRUE(Shell("ZENTU_AUDIO=null " + play + " --wav " + f + ".wav " + f + " > " + f + ".log"));
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

}  // namespace
}  // namespace zentu
