// TMP3Player on the null audio backend and its WAV target: opening, lengths, the decode
// step's edge cases, the end of play, stopping, errors on the worker threads, properties.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "decoder/dispatch.h"
#include "platform/exceptions.h"
#include "platform/plain_main_loop.h"
#include "player/mp3_player.h"
#include "player/player_fixtures.h"

namespace zentu {
namespace {

using namespace zentu::testing;
using enum TMP3EndPlayReason;
using enum TMP3Status;
using enum TMP3EqualizerMode;

constexpr int32_t kFramePcm = 4608;

class PlayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("ZENTU_AUDIO", "null", 1);
        Loop().SetExceptionSink([this](std::exception_ptr e) { shown.push_back(ExceptionText(e)); });
        player = std::make_unique<TMP3Player>();
        player->SetAutoPlay(false);  // closed: stored only
        player->OnEndPlay = [this](TMP3Player& p, TMP3EndPlayReason r) {
            ends.push_back(r);
            statusAtEnd = p.Status();
            positionAtEnd = p.Position();
            events.push_back("end");
        };
        player->OnChangeStatus = [this](TMP3Player&) { events.push_back("status"); };
    }
    void TearDown() override {
        player.reset();
        Loop().ProcessMessages();
        Loop().SetExceptionSink(nullptr);
    }
    static TPlainMainLoop& Loop() { return DefaultMainLoop(); }
    bool RunUntil(const std::function<bool()>& done, int64_t ms = 10000) { return Loop().RunUntil(done, ms); }
    bool WaitForEnd(int64_t ms = 10000) { return RunUntil([&] { return !ends.empty(); }, ms); }

    // Opens bytes as a seekable owned memory stream without playing.
    void OpenBytes(const Bytes& bytes, uint8_t flags = kStreamSeekable | kStreamOwned) {
        player->OpenStream(new TMPMemoryStream(bytes), flags);
    }
    // PCM blocks the decode steps produce, run on this thread.
    int32_t DecodedBlocks(const Bytes& bytes, int64_t* pcmBytes = nullptr) {
        OpenBytes(bytes);
        int32_t blocks = 0;
        int64_t total = 0;
        player->RunDecodeStepsForTest(1000000, [&](const uint8_t*, int32_t n) {
            ++blocks;
            total += n;
        });
        if (pcmBytes) *pcmBytes = total;
        return blocks;
    }
    // Plays into a WAV file and waits for the end of play; returns the file's bytes.
    Bytes PlayToWav(const Bytes& bytes) {
        OpenBytes(bytes);
        const std::string out = dir.Path("out.wav");
        player->SetOutputFileName(out);
        player->Play();
        EXPECT_TRUE(WaitForEnd());
        return ReadFile(out);
    }

    TempDir dir;
    std::unique_ptr<TMP3Player> player;
    std::vector<TMP3EndPlayReason> ends;
    std::vector<std::string> events;
    std::vector<std::string> shown;
    TMP3Status statusAtEnd = mpsPlaying;
    int32_t positionAtEnd = -1;
};

// ---- Opening and lengths -----------------------------------------------------------------

TEST_F(PlayerTest, OpensAConstantBitRateStream) {
    OpenBytes(Frames(Layer3Frame(), 100));
    EXPECT_TRUE(player->IsOpen());
    EXPECT_EQ(player->Status(), mpsStopped);
    EXPECT_EQ(player->Layer(), 3);
    EXPECT_EQ(player->Version(), 1);
    EXPECT_EQ(player->SampleRate(), 44100);
    EXPECT_EQ(player->Channels(), 2);
    EXPECT_EQ(player->BitRate(), 128000);
    EXPECT_EQ(player->DataStart(), 0);
    EXPECT_EQ(player->DataLength(), 41700);
    EXPECT_EQ(player->Duration(), 41700 * 8 * 1000 / 128000);
    EXPECT_EQ(player->Position(), 0);
}

// The header frame is never played. A frame count gives the length, unless it contradicts
// the file (0, more than the data can hold, too few to fill it); then the length comes from
// the size. The file's size bounds the data, the byte count only a stream of unknown size.
TEST_F(PlayerTest, VbrHeadersAsWrittenAndCheckedAgainstTheFile) {
    constexpr int64_t kTotal = 40 * kFramePcm;
    const struct {
        const char* name;
        Bytes header;
        int frames;  // audio frames after it
        int64_t vbrTotal;  // 0: the length comes from the size
        bool seekable = true;
    } kCases[] = {
        {"Xing", XingFrame(3, 40, 41 * 417), 40, kTotal},
        {"Xing without the CRC bytes (lame -p)", XingFrame(3, 40, 41 * 417, "Xing", 36, true), 40, kTotal},
        {"Xing after the CRC bytes", XingFrame(3, 40, 41 * 417, "Xing", 38, true), 40, kTotal},
        {"Info of a constant-rate file", XingFrame(1, 40, 0, "Info"), 40, kTotal},
        {"VBRI", VbriFrame(40, 41 * 417), 40, kTotal},
        {"frame count 0", XingFrame(3, 0, 41 * 417), 40, 0},
        {"no frame count", XingFrame(2, 0, 41 * 417), 40, 0},
        {"more frames than the data holds", XingFrame(1, 100000, 0), 40, 0},
        {"too few frames to fill the data", XingFrame(1, 10, 0), 400, 0},
        {"byte count far below the file's", XingFrame(3, 40, 1000), 40, kTotal},
        {"byte count above the file's", XingFrame(3, 40, 4000000), 40, kTotal},
        {"byte count of a stream of unknown size", XingFrame(3, 40, 11 * 417), 40, kTotal, false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        Bytes b = c.header;
        Append(b, Layer3Frame(), c.frames);
        OpenBytes(b, c.seekable ? kStreamSeekable | kStreamOwned : kStreamOwned);
        EXPECT_EQ(player->BitRate(), c.vbrTotal > 0 ? 0 : 128000);
        EXPECT_EQ(player->VbrTotal(), c.vbrTotal);
        EXPECT_EQ(player->Duration(), c.vbrTotal > 0 ? 1044 : c.frames * 417 * 8000 / 128000);  // 1044: 40 x 1152 at 44.1 kHz
        EXPECT_EQ(player->DataStart(), 417);
        const int played = c.seekable ? c.frames : 10;
        EXPECT_EQ(player->DataLength(), played * 417);
        int32_t blocks = 0;
        player->RunDecodeStepsForTest(100000, [&](const uint8_t*, int32_t) { ++blocks; });
        EXPECT_EQ(blocks, played);
    }
}

TEST_F(PlayerTest, NotMpegAudioRaisesAndLeavesThePlayerClosed) {
    const std::string good = dir.Write("good.mp2", Frames(Layer2Frame(), 3));
    const std::string bad = dir.Write("bad.mp3", Bytes(5000, 0x41));
    player->SetFileName(good);
    EXPECT_TRUE(player->IsOpen());
    try {
        player->SetFileName(bad);
        FAIL() << "no error";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "unknown MPEG Audio format.");
    }
    EXPECT_FALSE(player->IsOpen());
    EXPECT_EQ(player->FileName(), "");
    // MPEG audio with nothing to play (a VBR header frame alone) is refused as well: played,
    // it would end as soon as it started, again and again in a list of one.
    Bytes headerAndCutFrame = XingFrame(3, 0, 417);
    const Bytes frame = Layer3Frame();
    headerAndCutFrame.insert(headerAndCutFrame.end(), frame.begin(), frame.begin() + 200);
    for (const Bytes& bytes : {XingFrame(3, 0, 417), headerAndCutFrame}) {
        try {
            player->SetFileName(dir.Write("empty.mp3", bytes));
            FAIL() << "no error";
        } catch (const Exception& e) {
            EXPECT_STREQ(e.what(), "no audio to play.");
        }
        EXPECT_FALSE(player->IsOpen());
    }
    // A file that cannot be opened leaves the open one open.
    player->SetFileName(good);
    EXPECT_THROW(player->SetFileName(dir.Path("missing.mp3")), EStreamError);
    EXPECT_TRUE(player->IsOpen());
    EXPECT_EQ(player->FileName(), dir.Path("missing.mp3"));  // the name is taken before the open
}

// The check and the open read a file the same way: a file is accepted by both, at the same
// audio start, or refused by both with the same text.
TEST_F(PlayerTest, IsValidFileAndOpenAgree) {
    const Bytes frame = Layer2Frame(), two = Frames(frame, 2);
    auto with = [](Bytes b, const Bytes& more) { return Append(b, more), b; };
    Bytes tag = {'I', 'D', '3', 3, 0, 0, 0, 0, 0x03, 0x30};  // 432 bytes of tag: a "picture"
    for (int i = 0; i < 432; ++i) tag.push_back(i % 5 == 0 ? 0xFF : i % 5 == 1 ? 0xFB : 0x90);
    Bytes lost = tag, v1(128, 0), refused(104, 0);
    lost[8] = 0x7F;  // declared far beyond the file's end
    v1[0] = 'T', v1[1] = 'A', v1[2] = 'G';
    refused[0] = 0xFF, refused[1] = 0xFD, refused[2] = 0x10;  // Layer II, 32 kbit/s stereo: no table
    const struct {
        const char* name;
        Bytes bytes;
        int64_t start;  // -1: refused
    } kCases[] = {
        {"junk before the first frame", with(Bytes(300, 0), two), 300},
        {"64 KB of junk less a byte", with(Bytes(65535, 0x20), two), 65535},
        {"64 KB of junk", with(Bytes(65536, 0x20), two), -1},
        {"a header the next frame does not confirm", with(with(Bytes(frame.begin(), frame.begin() + 4), Bytes(100, 0)), two), 104},
        {"one frame, then an ID3v1 tag", with(frame, v1), 0},
        {"one frame, then junk", with(frame, Bytes(700, 0x20)), -1},
        {"a tag full of frame headers", with(tag, two), 442},
        {"a tag that runs past the end", with(lost, two), -1},
        {"a frame the file cannot hold", Bytes(frame.begin(), frame.begin() + 300), -1},
        {"frames whose set-up the decoder refuses", Frames(refused, 20), -1},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.Write("case.mp3", c.bytes);
        std::string checkError = "accepted", openError = "accepted";
        TMP3Info info;
        try {
            info.LoadFromFile(path);
        } catch (const Exception& e) {
            checkError = e.what();
        }
        try {
            player->SetFileName(path);
        } catch (const Exception& e) {
            openError = e.what();
        }
        EXPECT_EQ(checkError, c.start >= 0 ? "accepted" : "unknown MPEG Audio format.");
        EXPECT_EQ(openError, checkError);
        EXPECT_EQ(TMP3Player::IsValidFile(path), c.start >= 0);
        std::string command = ZENTU_DECODE_EXE;  // (in steps: g++ 12 warns falsely on "'" + string)
        command += " --null '" + path + "' >/dev/null 2>&1";
        const int decoded = std::system(command.c_str());
        EXPECT_EQ(WIFEXITED(decoded) ? WEXITSTATUS(decoded) : -1, c.start >= 0 ? 0 : 1);
        if (c.start < 0) continue;
        EXPECT_EQ(info.AudioStart(), c.start);
        EXPECT_EQ(player->DataStart(), c.start);
        EXPECT_EQ(player->DataLength(), static_cast<int64_t>(c.bytes.size()) - c.start);
    }
}

// ---- Decode steps ---------------------------------------------------------------------------

TEST_F(PlayerTest, FileEndingInsideAFramePlaysTheWholeFramesOnly) {
    Bytes b = Frames(Layer2Frame(), 10);
    b.resize(b.size() - 100);
    EXPECT_EQ(DecodedBlocks(b), 9);
    // The data length now ends after the last whole frame.
    EXPECT_EQ(player->DataLength(), 9 * 626);
}

TEST_F(PlayerTest, GarbageUpTo1024BytesIsSkipped) {
    Bytes b = Frames(Layer2Frame(), 5);
    Append(b, Bytes(1024, 0));
    Append(b, Layer2Frame(), 5);
    EXPECT_EQ(DecodedBlocks(b), 10);

    b = Frames(Layer2Frame(), 5);
    Append(b, Bytes(1025, 0));
    Append(b, Layer2Frame(), 5);
    EXPECT_EQ(DecodedBlocks(b), 5);  // the stream ends at the garbage
}

TEST_F(PlayerTest, FrameOfAnotherSampleRateIsSkipped) {
    Bytes b = Frames(Layer2Frame(), 3);
    Append(b, Layer2Frame48k());
    Append(b, Layer2Frame(), 3);
    int64_t pcm = 0;
    EXPECT_EQ(DecodedBlocks(b, &pcm), 6);
    EXPECT_EQ(pcm, 6 * kFramePcm);
}

TEST_F(PlayerTest, EveryFrameGivesOneBlockOfPcm) {
    // A frame full of ones decodes to noise or, when it cannot be decoded, to silence:
    // either way exactly one frame's worth of PCM.
    Bytes bad = Layer2Frame();
    std::fill(bad.begin() + 4, bad.end(), 0xFF);
    Bytes b = Frames(Layer2Frame(), 2);
    Append(b, bad);
    Append(b, Layer2Frame(), 2);
    OpenBytes(b);
    std::vector<int32_t> sizes;
    std::vector<bool> zero;
    player->RunDecodeStepsForTest(1000, [&](const uint8_t* pcm, int32_t n) {
        sizes.push_back(n);
        bool z = true;
        for (int32_t i = 0; i < n; ++i) z = z && pcm[i] == 0;
        zero.push_back(z);
    });
    EXPECT_EQ(sizes, std::vector<int32_t>(5, kFramePcm));
    ASSERT_EQ(zero.size(), 5u);
    EXPECT_TRUE(zero[0] && zero[1]);
}

// ---- Playing ---------------------------------------------------------------------------------

TEST_F(PlayerTest, EndOfDataAfterTheLastBufferHasPlayed) {
    const Bytes wav = PlayToWav(Frames(Layer2Frame(), 40));
    ASSERT_EQ(ends, std::vector<TMP3EndPlayReason>{mepEndOfData});
    EXPECT_EQ(statusAtEnd, mpsStopped);
    EXPECT_EQ(positionAtEnd, 0);
    ASSERT_EQ(wav.size(), 44u + 40u * kFramePcm);
    EXPECT_EQ(std::memcmp(wav.data(), "RIFF", 4), 0);
    // Stopped, still open, back at the start: it can play again.
    EXPECT_TRUE(player->IsOpen());
    EXPECT_EQ(player->OutputFileName(), "");
    // The status changes came first: playing, then stopped, then the end of play.
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.back(), "end");
}

TEST_F(PlayerTest, PlaysAgainFromTheStartAfterAStop) {
    const Bytes first = PlayToWav(Frames(Layer2Frame(), 12));
    ends.clear();
    player->SetOutputFileName(dir.Path("again.wav"));
    player->Play();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(ReadFile(dir.Path("again.wav")), first);
}

TEST_F(PlayerTest, EndOfDataOfAnEarlierPlaybackDoesNotStopTheNextOne) {
    OpenBytes(Frames(Layer2Frame(), 300));
    player->SetOutputFileName(dir.Path("first.wav"));
    player->Play();
    // The decoder thread reaches the end and posts it; the main thread has not looked yet.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    player->Stop();
    player->SetOutputFileName(dir.Path("second.wav"));
    player->Play();
    ASSERT_TRUE(RunUntil([&] { return ends.size() == 2; }));
    EXPECT_EQ(ends, (std::vector<TMP3EndPlayReason>{mepStopped, mepEndOfData}));
    EXPECT_EQ(ReadFile(dir.Path("second.wav")).size(), 44u + 300u * kFramePcm);
}

TEST_F(PlayerTest, NonSeekableStreamClosesAtItsEnd) {
    OpenBytes(Frames(Layer2Frame(), 8), kStreamOwned);
    player->SetOutputFileName(dir.Path("ns.wav"));
    player->Play();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(ends, std::vector<TMP3EndPlayReason>{mepEndOfData});
    EXPECT_FALSE(player->IsOpen());
    EXPECT_EQ(ReadFile(dir.Path("ns.wav")).size(), 44u + 8u * kFramePcm);
}

TEST_F(PlayerTest, StopWhilePlayingOnTheDevice) {
    OpenBytes(Frames(Layer2Frame(), 400));  // about 10 s
    player->Play();
    EXPECT_EQ(player->Status(), mpsPlaying);
    RunUntil([] { return false; }, 300);
    player->Stop();
    EXPECT_EQ(player->Status(), mpsStopped);
    EXPECT_EQ(player->Position(), 0);
    ASSERT_TRUE(WaitForEnd(2000));
    EXPECT_EQ(ends, std::vector<TMP3EndPlayReason>{mepStopped});
    // Stop again, and Stop while closed, raise nothing and report nothing.
    player->Stop();
    player->Close();
    player->Stop();
    RunUntil([] { return false; }, 100);
    EXPECT_EQ(ends.size(), 1u);
}

TEST_F(PlayerTest, StopFromTheEndOfPlayHandler) {
    int calls = 0;
    player->OnEndPlay = [&](TMP3Player& p, TMP3EndPlayReason r) {
        ++calls;
        ends.push_back(r);
        p.Stop();
        p.Close();
    };
    PlayToWav(Frames(Layer2Frame(), 6));
    RunUntil([] { return false; }, 100);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(ends, std::vector<TMP3EndPlayReason>{mepEndOfData});
    EXPECT_FALSE(player->IsOpen());
}

TEST_F(PlayerTest, NextFileFromTheEndOfPlayHandler) {
    const std::string a = dir.Write("a.mp2", Frames(Layer2Frame(), 4));
    const std::string b = dir.Write("b.mp2", Frames(Layer2Frame(), 5));
    std::vector<std::string> played;
    player->OnEndPlay = [&](TMP3Player& p, TMP3EndPlayReason r) {
        ends.push_back(r);
        played.push_back(p.FileName());
        if (played.size() == 1) {
            p.Close();
            p.SetAutoPlay(true);  // closed: stored only
            p.SetOutputFileName(dir.Path("b.wav"));
            p.SetFileName(b);  // opens and plays at once
        }
    };
    player->SetFileName(a);
    player->SetOutputFileName(dir.Path("a.wav"));
    player->Play();
    ASSERT_TRUE(RunUntil([&] { return ends.size() == 2; }));
    EXPECT_EQ(ends, (std::vector<TMP3EndPlayReason>{mepEndOfData, mepEndOfData}));
    EXPECT_EQ(ReadFile(dir.Path("b.wav")).size(), 44u + 5u * kFramePcm);
}

// The owner names the next file while the last seconds play: a file of the same format plays on
// in the same output (the status never leaves mpsPlaying, each end is still reported, and the
// owner starts the named file as usual); one of another rate follows after a drain.
TEST_F(PlayerTest, CarriesOnIntoTheFileTheOwnerNames) {
    const std::string a = dir.Write("a.mp2", Frames(Layer2Frame(), 12));
    const std::string b = dir.Write("b.mp2", Frames(Layer2Frame(), 20));
    const std::string c = dir.Write("c.mp2", Frames(Layer2Frame48k(), 12));
    std::vector<std::string> queue = {b, c}, started;
    std::vector<TMP3Status> statusAtEnds;
    int queries = 0;
    player->SetAutoPlay(true);
    player->OnQueryNext = [&](TMP3Player&, std::string& next) {
        ++queries;
        if (!queue.empty()) next = queue.front();
    };
    player->OnEndPlay = [&](TMP3Player& p, TMP3EndPlayReason r) {
        ends.push_back(r);
        statusAtEnds.push_back(p.Status());
        if (r != mepEndOfData || queue.empty()) return;
        p.SetFileName(queue.front());
        started.push_back(p.FileName());
        EXPECT_LT(p.Position(), 200);  // the named file's own position, title and length
        EXPECT_EQ(p.Track().title, p.FileName().substr(p.FileName().rfind('/') + 1));
        EXPECT_EQ(p.Track().durationMs, p.Duration());
        queue.erase(queue.begin());
    };
    player->SetFileName(a);
    ASSERT_TRUE(RunUntil([&] { return ends.size() == 3; }));
    EXPECT_EQ(ends, (std::vector<TMP3EndPlayReason>{mepEndOfData, mepEndOfData, mepEndOfData}));
    EXPECT_EQ(started, (std::vector<std::string>{b, c}));
    // Joined: still playing when a's end is reported; b's end drained the output for c.
    EXPECT_EQ(statusAtEnds, (std::vector<TMP3Status>{mpsPlaying, mpsStopped, mpsStopped}));
    EXPECT_EQ(queries, 3);
    EXPECT_EQ(player->FileName(), c);
}

// A stop or a seek while the next file is decoded but not yet heard concerns the file heard:
// the queued one is dropped and nothing is reopened (the file heard plays on when deleted).
TEST_F(PlayerTest, StopOrSeekBeforeTheNextFileIsHeard) {
    const struct {
        const char* name;
        bool seek, deleteHeard;
    } kCases[] = {{"stop", false, false}, {"seek", true, false}, {"stop, deleted", false, true}, {"seek, deleted", true, true}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const std::string a = dir.Write("a.mp2", Frames(Layer2Frame(), 40));  // 1.04 s: all of it in the output
        const std::string b = dir.Write("b.mp2", Frames(Layer2Frame(), 80));
        std::string next = b;
        int queries = 0;
        ends.clear();
        player->OnQueryNext = [&](TMP3Player&, std::string& name) { name = next, ++queries; };
        player->SetFileName(a);
        player->Play();
        ASSERT_TRUE(RunUntil([&] { return queries == 1; }));
        if (c.deleteHeard) std::remove(a.c_str());
        EXPECT_EQ(player->FileName(), a);
        EXPECT_LT(player->Position(), 1000);
        next.clear();  // a plays out alone
        if (c.seek) {
            player->SetPosition(600);
            EXPECT_EQ(player->Status(), mpsPlaying);
            EXPECT_GE(player->Position(), 600);
            ASSERT_TRUE(WaitForEnd());
            EXPECT_EQ(ends, std::vector<TMP3EndPlayReason>{mepEndOfData});
            EXPECT_EQ(queries, 2);  // asked again at a's end
        } else {
            player->Stop();
            ASSERT_TRUE(WaitForEnd());
            EXPECT_EQ(ends, std::vector<TMP3EndPlayReason>{mepStopped});
        }
        EXPECT_EQ(player->FileName(), a);
        EXPECT_EQ(player->Track().fileName, a);
        EXPECT_NEAR(player->Duration(), 1044, 26);  // a frame short while not counted (the file gone first)
        player->Close();
    }
}

// Pause holds the position; a seek lands where it was asked, also while paused; a seek past
// the end ends the file as its end does.
TEST_F(PlayerTest, PauseAndSeek) {
    OpenBytes(Frames(Layer2Frame(), 400));  // about 10 s
    player->Play();
    RunUntil([&] { return player->Position() >= 300; }, 3000);
    player->Pause();
    EXPECT_EQ(player->Status(), mpsPaused);
    const int32_t held = player->Position();
    RunUntil([] { return false; }, 300);
    EXPECT_EQ(player->Position(), held);
    player->SetPosition(5000);
    EXPECT_EQ(player->Status(), mpsPaused);
    RunUntil([] { return false; }, 200);
    EXPECT_EQ(player->Position(), 5000);
    player->Resume();
    RunUntil([&] { return player->Position() >= 5200; }, 3000);
    EXPECT_GE(player->Position(), 5200);
    EXPECT_LT(player->Position(), 6000);
    EXPECT_TRUE(ends.empty());
    player->SetPosition(20000);
    ASSERT_TRUE(WaitForEnd(2000));
    EXPECT_EQ(ends, std::vector<TMP3EndPlayReason>{mepEndOfData});
    EXPECT_EQ(player->Status(), mpsStopped);
}

TEST_F(PlayerTest, AssigningTheFileNamePlaysAtOnce) {
    const std::string a = dir.Write("a.mp2", Frames(Layer2Frame(), 200));
    player->SetAutoPlay(true);
    player->SetFileName(a);
    EXPECT_EQ(player->Status(), mpsPlaying);
    player->Stop();
}

TEST_F(PlayerTest, AutoPlayAssignmentStartsPlayingWhileOpenAndStopped) {
    player->SetAutoPlay(false);  // closed: stored only
    EXPECT_EQ(player->Status(), mpsStopped);
    OpenBytes(Frames(Layer2Frame(), 200));
    EXPECT_EQ(player->Status(), mpsStopped);
    player->SetAutoPlay(false);  // open and stopped: plays, whatever the value
    EXPECT_EQ(player->Status(), mpsPlaying);
    player->SetAutoPlay(true);  // playing: stored only
    EXPECT_EQ(player->Status(), mpsPlaying);
    EXPECT_TRUE(player->AutoPlay());
    player->Stop();
    EXPECT_EQ(player->Status(), mpsStopped);
}

TEST_F(PlayerTest, PositionMovesWhilePlaying) {
    int ticks = 0;
    player->OnChangePosition = [&](TMP3Player&) { ++ticks; };
    OpenBytes(Frames(Layer2Frame(), 400));
    player->Play();
    int32_t last = 0;
    RunUntil([&] { return (last = player->Position()) >= 500; }, 5000);
    EXPECT_GE(last, 500);
    EXPECT_GE(ticks, 1);
    player->Stop();
}

TEST_F(PlayerTest, StopAndPositionNeverWaitForTheLastBuffersToPlay) {
    // 40 frames, about a second, are decoded at once: from then on the decoder thread waits
    // for the four buffers to play out, and the main thread must not wait with it.
    using Clock = std::chrono::steady_clock;
    const auto ms = [](Clock::time_point since) {
        return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
    };
    double slowest = 0;
    int32_t last = 0;
    player->SetChangePosStep(100);
    player->OnChangePosition = [&](TMP3Player& p) {
        const auto asked = Clock::now();
        last = p.Position();
        slowest = std::max(slowest, ms(asked));
    };
    OpenBytes(Frames(Layer2Frame(), 40));
    player->Play();
    ASSERT_TRUE(RunUntil([&] { return last >= 400; }, 5000));
    const auto stopping = Clock::now();
    player->Stop();
    EXPECT_LT(ms(stopping), 50);
    EXPECT_LT(slowest, 50);
    ASSERT_TRUE(WaitForEnd(1000));
    EXPECT_EQ(ends, std::vector<TMP3EndPlayReason>{mepStopped});
}

// A stream whose reads fail after a number of bytes: the disc has gone.
class FailingStream final : public TMPStream {
public:
    FailingStream(Bytes bytes, int64_t failAfter) : inner_(std::move(bytes)), failAfter_(failAfter) {}
    int32_t Read(void* buffer, int32_t count) override {
        if (armed && position_ >= failAfter_) throw EStreamError("Input/output error");
        const int32_t n = inner_.Read(buffer, count);
        position_ += n;
        return n;
    }
    int64_t Seek(int64_t offset, TSeekOrigin origin) override { return position_ = inner_.Seek(offset, origin); }
    int64_t Size() override { return inner_.Size(); }
    std::atomic<bool> armed{false};  // the tags at the end are read at open time

private:
    TMPMemoryStream inner_;
    int64_t position_ = 0;
    int64_t failAfter_;
};

TEST_F(PlayerTest, ReadErrorWhilePlayingEndsWithTheErrorShown) {
    auto* stream = new FailingStream(Frames(Layer2Frame(), 200), 40000);
    player->OpenStream(stream, kStreamSeekable | kStreamOwned);
    stream->armed = true;
    player->SetOutputFileName(dir.Path("err.wav"));
    player->Play();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(ends, std::vector<TMP3EndPlayReason>{mepError});
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], "Input/output error");
    EXPECT_EQ(player->Status(), mpsStopped);
    // The next end of play is an ordinary one again.
    ends.clear();
    player->Close();
    RunUntil([] { return false; }, 50);
    EXPECT_TRUE(ends.empty());
}

TEST_F(PlayerTest, OutputErrorsDuringTheDrainWhileTheMainThreadAsksForThePosition) {
    // Every buffer written to /dev/full fails on the output thread. The main thread asks
    // for the position meanwhile and so waits for the output lock the drain holds.
    int32_t asked = 0;
    player->OnChangePosition = [&](TMP3Player& p) {
        ++asked;
        p.Position();
    };
    OpenBytes(Frames(Layer2Frame(), 120));
    player->SetOutputFileName("/dev/full");
    player->Play();
    ASSERT_TRUE(WaitForEnd()) << shown.size() << " shown: " << (shown.empty() ? "" : shown[0]) << " / " << (shown.size() > 1 ? shown[1] : "") << ", status " << int(player->Status()) << ", asked " << asked;
    EXPECT_EQ(ends, std::vector<TMP3EndPlayReason>{mepError});
    EXPECT_EQ(player->Status(), mpsStopped);
    // Once per playback, not once per buffer; completing the header fails too.
    EXPECT_LE(shown.size(), 2u);
    for (const std::string& text : shown) EXPECT_EQ(text, "No space left on device");
    EXPECT_GE(asked, 1);
    // A new playback reports its own error again.
    ends.clear();
    const size_t before = shown.size();
    player->SetOutputFileName("/dev/full");
    player->Play();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_GT(shown.size(), before);
    EXPECT_EQ(player->Status(), mpsStopped);
}

TEST_F(PlayerTest, OutputErrorInTheDrainWhileTheMainThreadWaitsForTheOutputLock) {
    // Five frames fit the first buffer: its write to /dev/full fails only when the drain
    // flushes it, with the drain holding the output lock that Position waits for.
    OpenBytes(Frames(Layer2Frame(), 5));
    player->SetOutputFileName("/dev/full");
    player->Play();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (std::chrono::steady_clock::now() < until) player->Position();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(player->Status(), mpsStopped);
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown[0], "No space left on device");
}

TEST_F(PlayerTest, OutputThatCannotBeOpenedRaisesFromPlay) {
    OpenBytes(Frames(Layer2Frame(), 5));
    player->SetOutputFileName(dir.Path("no-such-folder/out.wav"));
    EXPECT_THROW(player->Play(), Exception);
    EXPECT_EQ(player->Status(), mpsStopped);
    EXPECT_TRUE(player->IsOpen());
    // Nothing was started: a later Play goes through from the first frame.
    player->SetOutputFileName(dir.Path("out.wav"));
    player->Play();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(ends, std::vector<TMP3EndPlayReason>{mepEndOfData});
    EXPECT_EQ(ReadFile(dir.Path("out.wav")).size(), 44u + 5u * kFramePcm);
}

TEST_F(PlayerTest, DestroyingWhilePlaying) {
    OpenBytes(Frames(Layer2Frame(), 400));
    player->Play();
    RunUntil([] { return false; }, 100);
    player.reset();  // stops, closes and ends the threads
    SUCCEED();
}

TEST_F(PlayerTest, TwoPlayersDoNotShareDecoderState) {
    // On the heap: the thread sanitizer takes a lock at a reused stack address for the
    // one that lived there before (the standard mutexes announce no destruction).
    auto owned = std::make_unique<TMP3Player>();
    TMP3Player& other = *owned;
    other.SetAutoPlay(false);
    other.OpenStream(new TMPMemoryStream(Frames(Layer3Frame(), 30)), kStreamSeekable | kStreamOwned);
    other.SetOutputFileName(dir.Path("other.wav"));
    bool otherEnded = false;
    other.OnEndPlay = [&](TMP3Player&, TMP3EndPlayReason) { otherEnded = true; };
    other.Play();
    const Bytes wav = PlayToWav(Frames(Layer2Frame(), 30));
    ASSERT_TRUE(RunUntil([&] { return otherEnded; }));
    EXPECT_EQ(wav.size(), 44u + 30u * kFramePcm);
    EXPECT_EQ(ReadFile(dir.Path("other.wav")).size(), 44u + 30u * kFramePcm);
}

// ---- Properties ------------------------------------------------------------------------------

TEST_F(PlayerTest, OutOfRangeValuesAreIgnored) {
    player->SetChangePosStep(99);
    EXPECT_EQ(player->ChangePosStep(), 400);
    player->SetChangePosStep(100);
    EXPECT_EQ(player->ChangePosStep(), 100);
    player->SetVolBalance(101);
    player->SetVolBalance(-101);
    EXPECT_EQ(player->VolBalance(), 0);
    player->SetVolBalance(-100);
    EXPECT_EQ(player->VolBalance(), -100);
    player->SetVolume(-1);
    player->SetVolume(101);
    EXPECT_EQ(player->Volume(), 100);
    player->SetVolume(0);  // not loading: stored
    EXPECT_EQ(player->Volume(), 0);
    player->SetEqualizerCount(0);
    player->SetEqualizerCount(-5);
    EXPECT_EQ(player->EqualizerCount(), 6);
    player->SetEqualizerCount(1000);  // the band arrays hold 32
    EXPECT_EQ(player->EqualizerCount(), 32);
    player->SetEqualizerGain(32, 5);
    EXPECT_EQ(player->EqualizerGain(32), 0);
}

TEST_F(PlayerTest, StoredVolumeOfZeroTakesTheDevicesVolume) {
    player->BeginLoading();
    player->SetVolume(0);
    player->Loaded();
    EXPECT_GE(player->Volume(), 0);
    EXPECT_LE(player->Volume(), 100);
}

TEST_F(PlayerTest, CapabilitiesAreLimitedToTheProcessorsAtRunTime) {
    const TMP3CpuCapabilities offered = WordToCpuCapabilities(DetectCpuCapabilities());
    EXPECT_EQ(player->UsingCpuCapabilities(), kAllCpuCapabilities);  // made in code: as created
    player->SetUsingCpuCapabilities(kAllCpuCapabilities);
    EXPECT_EQ(player->UsingCpuCapabilities(), offered);
    player->SetDesigning(true);
    player->SetUsingCpuCapabilities(0xFF);
    EXPECT_EQ(player->UsingCpuCapabilities(), kAllCpuCapabilities);
    player->SetDesigning(false);
}

TEST_F(PlayerTest, EqualizerRange) {
    player->SetEqualizerRange(60, 16000);  // memSubBand: ignored
    EXPECT_EQ(player->EqualizerFrequency(0), 0);
    player->SetEqualizerMode(memFreq);
    player->SetEqualizerRange(60, 16000);
    const int32_t expected[6] = {60, 183, 560, 1712, 5234, 16000};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(player->EqualizerFrequency(i), expected[i]) << i;
    EXPECT_EQ(player->EqualizerFrequency(6), 0);
    player->SetEqualizerRange(0, 100);
    player->SetEqualizerRange(200, 100);
    player->SetEqualizerRange(100, 24001);
    EXPECT_EQ(player->EqualizerFrequency(0), 60);
    player->SetEqualizerCount(1);
    player->SetEqualizerRange(100, 200);
    EXPECT_EQ(player->EqualizerFrequency(0), 200);  // one band: high replaces low
}

TEST_F(PlayerTest, LoadedInFrequencyModeSpreadsTheBandsAndOpens) {
    const std::string a = dir.Write("a.mp2", Frames(Layer2Frame(), 3));
    player->BeginLoading();
    player->SetEqualizerMode(memFreq);
    player->SetAutoPlay(false);
    player->SetFileName(a);  // loading: not opened yet
    EXPECT_FALSE(player->IsOpen());
    player->Loaded();
    EXPECT_TRUE(player->IsOpen());
    EXPECT_EQ(player->EqualizerFrequency(1), 183);
}

TEST_F(PlayerTest, SubbandModeSetsTheCentreFrequenciesOnOpen) {
    OpenBytes(Frames(Layer2Frame(), 3));
    Loop().ProcessMessages();
    EXPECT_EQ(player->EqualizerFrequency(0), 345);
    EXPECT_EQ(player->EqualizerFrequency(31), 21705);
}

TEST_F(PlayerTest, EqualizerWithZeroGainsChangesNothing) {
    const Bytes plain = PlayToWav(Frames(Layer2Frame(), 8));
    ends.clear();
    player->SetEqualizerEnabled(true);
    player->SetEqualizerMode(memFreq);
    player->SetEqualizerRange(60, 16000);
    Loop().ProcessMessages();
    player->SetOutputFileName(dir.Path("eq.wav"));
    player->Play();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_TRUE(ReadFile(dir.Path("eq.wav")) == plain);
}

TEST_F(PlayerTest, InvertPolarityGoesToTheDecoder) {
    EXPECT_FALSE(player->InvertPolarity());
    player->SetInvertPolarity(true);
    EXPECT_TRUE(player->InvertPolarity());
}

}  // namespace
}  // namespace zentu
