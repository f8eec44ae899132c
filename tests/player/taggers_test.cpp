// Files as encoders and taggers write them, made at test time: each plays whole (every
// sample mpg123 decodes), shows its title, reports its length, and is accepted by the
// player's file check. zentu-play's WAV output and zentu-decode's through the player are
// zentu-decode's own output byte for byte.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "player/mp3_player.h"
#include "player/player_fixtures.h"

namespace zentu {
namespace {

using namespace zentu::testing;

bool Have(const std::string& tool) { return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0; }

bool Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string Text(const std::string& path) {
    const Bytes b = ReadFile(path);
    return std::string(b.begin(), b.end());
}

// The value after "name: " on its line of zentu-play's report.
std::string Field(const std::string& log, const std::string& name) {
    const size_t at = log.find("\n" + name + ": ");
    if (at == std::string::npos) return "?";
    const size_t from = at + name.size() + 3;
    return log.substr(from, log.find('\n', from) - from);
}

// "m:ss.mmm" in ms.
int64_t ClockMs(const std::string& text) {
    int minutes = 0, seconds = 0, ms = 0;
    if (std::sscanf(text.c_str(), "%d:%d.%d", &minutes, &seconds, &ms) != 3) return -1;
    return (int64_t{minutes} * 60 + seconds) * 1000 + ms;
}

TEST(Taggers, FilesPlayWholeAndShowTheirTitles) {
    for (const char* tool : {"lame", "mpg123", "sox"})
        if (!Have(tool)) GTEST_SKIP() << tool << " is not installed";
    const std::string kPlay = std::string(ZENTU_BUILD_DIR) + "/tools/zentu-play";
    TempDir dir;
    const std::string tone = dir.Path("tone.wav"), tone20 = dir.Path("tone20.wav"), jpeg = dir.Path("cover.jpg");
    ASSERT_TRUE(Shell("sox -n -r 44100 -c 2 " + tone + " synth 5 sine 440 synth 5 pinknoise mix vol 0.5 2>/dev/null"));
    ASSERT_TRUE(Shell("sox -n -r 44100 -c 2 " + tone20 + " synth 20 sine 300-3000 synth 20 pinknoise mix vol 0.5 2>/dev/null"));
    // A 20 KB "JPEG": its markers and UTF-16 marks are what a frame search must not take.
    Bytes cover = {0xFF, 0xD8, 0xFF, 0xE0};
    for (int i = 0; i < 2000; ++i) Append(cover, Bytes{0xFF, 0xFE, 0xFF, 0xE2, 0x44, 0xFF, 0xFB, 0x90, 0x64, 0x00});
    dir.Write("cover.jpg", cover);

    const struct {
        const char* maker;
        const char* tool;     // needed besides lame
        std::string make;     // shell command: writes $F from the tone in $T
        const char* tag;      // what the file carries
        const char* title;    // as shown
        int64_t nominalMs = 0;   // the signal's length, when the length is also held against it
        double slackMs = 2;      // against mpg123's sample count (a file without a VBR header:
                                 // its size over the bit rate, within a frame)
    } kCases[] = {
        {"lame --id3v2-utf16, 333 bytes of padding", "", "lame --quiet -b 128 --id3v2-utf16 --pad-id3v2-size 333 --tt 'Ünïcode Tïtle' $T $F",
         "ID3v2.3 UTF-16", "Ünïcode Tïtle"},
        {"lame --ti (a picture)", "", "lame --quiet -b 160 --tt 'With a picture' --ti " + jpeg + " $T $F", "ID3v2.3 APIC",
         "With a picture"},
        {"eyeD3 --to-v2.4, UTF-16BE", "eyeD3",
         "lame --quiet -b 128 $T $F && eyeD3 -Q --to-v2.4 --encoding utf16-be -t '春の海' -a 'Eye' $F >/dev/null 2>&1",
         "ID3v2.4 UTF-16BE", "春の海"},
        {"eyeD3 --to-v2.4, UTF-8", "eyeD3",
         "lame --quiet -V 2 $T $F && eyeD3 -Q --to-v2.4 --encoding utf8 -t 'Ünïcode 海' $F >/dev/null 2>&1",
         "ID3v2.4 UTF-8 (VBR)", "Ünïcode 海"},
        {"mid3v2", "mid3v2", "lame --quiet -b 128 $T $F && mid3v2 -t 'Mutagen 海' -c 'only in ID3v2' $F", "ID3v2.4 UTF-8",
         "Mutagen 海"},
        {"id3v2", "id3v2", "lame --quiet -b 128 $T $F && id3v2 -t 'Id3v2 Title' $F >/dev/null", "ID3v2.3 + ID3v1",
         "Id3v2 Title"},
        {"ffmpeg -metadata title=", "ffmpeg",
         "lame --quiet -b 128 $T $F.in.mp3 && ffmpeg -loglevel error -y -i $F.in.mp3 -c copy -metadata title='FFmpeg Title' $F",
         "ID3v2.4", "FFmpeg Title"},
        {"lame -p -V5 (CRC), 20 s", "", "lame --quiet -p -V 5 $T20 $F", "none (Xing after a CRC)", "", 20000},
        {"lame -b 128 (Info header)", "", "lame --quiet -b 128 $T $F", "none (Info)", ""},
        {"twolame -b 192", "twolame", "twolame --quiet -b 192 $T $F", "none (Layer II)", "", 0, 27},
    };
    std::printf("\n%-42s %-24s %9s %9s %-16s %s\n", "maker", "tag", "mpg123", "played", "title", "length");
    int made = 0;
    for (size_t i = 0; i < std::size(kCases); ++i) {
        const auto& c = kCases[i];
        SCOPED_TRACE(c.maker);
        if (*c.tool && !Have(c.tool)) {
            std::printf("%-42s skipped: %s is not installed\n", c.maker, c.tool);
            continue;
        }
        std::string name = "file";  // (built in steps: g++ 12 warns falsely on "file" + string)
        name += std::to_string(i);
        name += ".mp3";
        const std::string file = dir.Path(name);
        const std::string make = "T=" + tone + "; T20=" + tone20 + "; F=" + file + "; " + c.make;
        ASSERT_TRUE(Shell(make)) << make;
        ++made;
        // mpg123 writes to a pipe so that it picks no audio device.
        const std::string ref = file + ".ref.pcm", ours = file + ".pcm", wav = file + ".wav", log = file + ".log";
        ASSERT_TRUE(Shell("mpg123 -q -s --no-gapless '" + file + "' 2>/dev/null | cat > '" + ref + "'"));
        ASSERT_TRUE(Shell("'" + std::string(ZENTU_DECODE_EXE) + "' --raw '" + file + "' '" + ours + "'"));
        ASSERT_TRUE(Shell("ZENTU_AUDIO=null '" + kPlay + "' --wav '" + wav + "' '" + file + "' > '" + log + "'"));
        const Bytes a = ReadFile(ours), b = ReadFile(ref), w = ReadFile(wav);
        EXPECT_EQ(a.size(), b.size());
        // (the content itself is compared with mpg123's by the encoder-mode test)
        EXPECT_TRUE(w.size() == a.size() + 44 && std::equal(a.begin(), a.end(), w.begin() + 44));
        ASSERT_TRUE(Shell("'" + std::string(ZENTU_DECODE_EXE) + "' --player '" + file + "' '" + wav + ".2'"));
        EXPECT_TRUE(ReadFile(wav + ".2") == w);
        std::string report = "\n";
        report += Text(log);
        const std::string title = *c.title ? c.title : name;
        EXPECT_EQ(Field(report, "title"), title);
        const int64_t lengthMs = ClockMs(Field(report, "length"));
        const int64_t mpg123Ms = static_cast<int64_t>(b.size()) / 4 * 1000 / 44100;
        EXPECT_NEAR(static_cast<double>(lengthMs), static_cast<double>(mpg123Ms), c.slackMs);
        if (c.nominalMs > 0) {
            EXPECT_NEAR(static_cast<double>(lengthMs), static_cast<double>(c.nominalMs), 100.0);
        }
        EXPECT_NE(report.find("\nend: end of data\n"), std::string::npos);
        EXPECT_TRUE(TMP3Player::IsValidFile(file));
        std::printf("%-42s %-24s %9zu %9zu %-16s %s (mpg123 %lld ms)\n", c.maker, c.tag, b.size() / 4, a.size() / 4,
                    Field(report, "title").c_str(), Field(report, "length").c_str(), static_cast<long long>(mpg123Ms));
    }
    if (made == 0) GTEST_SKIP() << "no tagger is installed";
}

}  // namespace
}  // namespace zentu
