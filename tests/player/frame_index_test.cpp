// The frame index against the frame walk (which zentu-decode and the player play) and
// mpg123, on files made by encoders at test time (and a Layer I conformance stream): each
// offset is the walk's own frame start, also in a file cut to half its length and one with
// a frame cut short, and the frame count gives the samples mpg123 writes; the Xing table
// gives a first answer near the exact one; a pass is cancelled at once.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "player/frame_index.h"
#include "player/mp3_info.h"
#include "player/player_fixtures.h"

namespace zentu {
namespace {

using namespace zentu::testing;
namespace fs = std::filesystem;

bool WaitDone(const TFrameIndex& index) {
    for (int i = 0; i < 2000 && !index.Done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return index.Done();
}

// The file opened as zentu-decode opens it; the frame starts its walk plays.
struct Walked {
    TFrameIndexSource source;
    std::vector<int64_t> frames;
};
Walked Walk(const std::string& path) {
    TMPFileStream stream(path);
    TMPStreamReader reader(65536);
    reader.Open(&stream, true);
    TMpegDecoder decoder;
    TFrameWalk walk(reader);
    TMP3Info info;
    info.Attach(&reader);
    EXPECT_TRUE(info.FindAudio(walk, decoder));
    info.Attach(nullptr);
    walk.StepOverVbrHeader();
    Walked w{FrameIndexSource(stream.DuplicateHandle(), walk), {}};
    for (TFrameWalk::TStep step; (step = walk.Frame(decoder)) != TFrameWalk::TStep::stEnd;) {
        if (step != TFrameWalk::TStep::stFrame) continue;
        w.frames.push_back(reader.Position());
        walk.Next();
    }
    return w;
}

// Cuts the frame in the middle short: its last 100 bytes are gone.
void CutFrameShort(const std::string& path) {
    const Walked w = Walk(path);
    const Bytes b = ReadFile(path);
    const auto end = static_cast<std::ptrdiff_t>(w.frames[w.frames.size() / 2 + 1]);
    Bytes cut(b.begin(), b.begin() + end - 100);
    cut.insert(cut.end(), b.begin() + end, b.end());
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(cut.data()), static_cast<std::streamsize>(cut.size()));
}

TEST(FrameIndex, AgreesWithTheWalkAndTheDecoders) {
    for (const char* tool : {"lame", "twolame", "mpg123", "sox"})
        if (!Shell(std::string("command -v ") + tool + " >/dev/null")) GTEST_SKIP() << tool << " is not installed";
    struct Case {
        const char* name;
        const char* make;  // writes $F (stereo) from $W, or from the conformance folder $C
        bool toc;          // a Xing or Info header with a table of contents
        bool cut;          // a frame in the middle cut short
    };
    static constexpr Case kCases[] = {
        {"CBR 128", "lame --quiet -b 128 $W $F", true, false},
        {"VBR -V2 (Xing)", "lame --quiet -V 2 $W $F", true, false},
        {"VBR -V2, Xing left out", "lame --quiet -t -V 2 $W $F", false, false},
        {"MPEG-2 22.05 kHz", "lame --quiet --resample 22.05 -b 64 $W $F", true, false},
        {"Layer II", "twolame --quiet -b 192 $W $F", false, false},
        {"Layer I (conformance)", "cp \"$C/l1-fl8.bit\" $F", false, false},
        {"CBR 128, a frame cut short", "lame --quiet -b 128 $W $F", true, true},
    };
    const TempDir dir;
    const std::string wav = dir.Path("in.wav");
    ASSERT_TRUE(Shell("sox -n -r 44100 -c 2 " + wav + " synth 6 sine 440 synth 6 pinknoise mix vol 0.5"));
    for (const Case& c : kCases) {
        const std::string whole = dir.Path("whole.mp3");
        fs::remove(whole);
        if (!Shell("W=" + wav + " F=" + whole + " C='" + ZENTU_CONFORMANCE_DIR + "'; " + c.make + " 2>/dev/null")) {
            std::printf("%s: not made (%s), left out\n", c.name, c.make);
            continue;
        }
        if (c.cut) CutFrameShort(whole);
        const Bytes bytes = ReadFile(whole);
        const std::string half = dir.Write("half.mp3", Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2)));
        for (const std::string& path : {whole, half}) {
            SCOPED_TRACE(std::string(c.name) + (path == half ? ", first half" : ""));
            const Walked w = Walk(path);
            // A tagger may write a new file and rename it over the old one: the index still
            // counts the file that was opened.
            if (path == half) {
                fs::copy_file(whole, half + ".new");
                fs::rename(half + ".new", half);
            }
            TFrameIndex index(w.source);
            index.Start();
            ASSERT_TRUE(WaitDone(index));
            ASSERT_EQ(index.FrameCount(), static_cast<int64_t>(w.frames.size()));
            for (size_t f = 0; f < w.frames.size(); ++f) {
                int64_t at = -1;
                ASSERT_TRUE(index.OffsetOfFrame(static_cast<int64_t>(f), at));
                ASSERT_EQ(at, w.frames[f]) << "frame " << f;
            }
            int64_t none;
            EXPECT_FALSE(index.OffsetOfFrame(index.FrameCount(), none));
            // mpg123 plays a damaged file its own way.
            if (path == whole && !c.cut) {
                const std::string pcm = path + ".pcm";
                ASSERT_TRUE(Shell("mpg123 -q -s --no-gapless " + path + " 2>/dev/null | cat > " + pcm));
                EXPECT_EQ(index.FrameCount() * index.SamplesPerFrame() * 4, static_cast<int64_t>(fs::file_size(pcm)));
            }
            // The table's first answer lies within 2 % of the file from the exact one (in the
            // first half too, where the table still describes the whole).
            const int64_t ms = index.MsOfFrame(index.FrameCount()) / 2;
            int64_t approximate = 0, exact = 0;
            ASSERT_TRUE(index.OffsetOfFrame(index.FrameAtMs(ms), exact));
            ASSERT_EQ(index.TocOffset(ms, approximate), c.toc);
            if (c.toc) {
                EXPECT_NEAR(approximate, exact, bytes.size() / 50);
            }
            std::printf("%-28s %-10s %6lld frames of %4d samples\n", c.name, path == half ? "first half" : "whole",
                        static_cast<long long>(index.FrameCount()), index.SamplesPerFrame());
        }
    }
}

TEST(FrameIndex, CancelsAtOnce) {
    // 100,000 frames of silence (43 minutes at 128 kbit/s).
    const TempDir dir;
    TFrameIndexSource source;
    source.file = std::make_shared<const TFd>(
        ::open(dir.Write("long.mp3", Frames(Layer3Frame(), 100000)).c_str(), O_RDONLY | O_CLOEXEC));
    source.dataLength = 100000 * 417;
    source.referenceHeader = HeaderWord(Layer3Frame().data());
    FrameLengthAt(Layer3Frame().data(), source.referenceHeader, 0, source.header);
    // Cancelled before it runs, a pass reads nothing and is never done.
    TFrameIndex cancelled(source);
    cancelled.Cancel();
    cancelled.Run();
    EXPECT_FALSE(cancelled.Done());
    EXPECT_EQ(cancelled.FrameCount(), 0);
    // Asked while it runs, it answers for the frames it has passed; destroyed, it stops at
    // the block it reads.
    auto index = std::make_unique<TFrameIndex>(source);
    index->Start();
    while (index->FrameCount() == 0 && !index->Done()) std::this_thread::yield();
    const int64_t passed = index->FrameCount();
    int64_t at = -1;
    ASSERT_TRUE(index->OffsetOfFrame(passed - 1, at));
    EXPECT_EQ(at, (passed - 1) * 417);
    const auto start = std::chrono::steady_clock::now();
    index.reset();
    const auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("destroyed under way in %.2f ms\n", ms);
    EXPECT_LT(ms, 100.0);
    // To the end on this thread: every frame, the last where it belongs.
    TFrameIndex whole(source);
    whole.Run();
    ASSERT_TRUE(whole.Done());
    EXPECT_EQ(whole.FrameCount(), 100000);
    int64_t last = 0;
    ASSERT_TRUE(whole.OffsetOfFrame(99999, last));
    EXPECT_EQ(last, 99999 * 417);
    EXPECT_EQ(whole.FrameAtMs(whole.MsOfFrame(99999) + 1), 99999);
}

}  // namespace
}  // namespace zentu
