// zentu-play, the headless player: its WAV output against zentu-decode, its report of each
// file, and a clean end on Ctrl+C.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "player/player_fixtures.h"

namespace zentu {
namespace {

using namespace zentu::testing;

const std::string kPlay = std::string(ZENTU_BUILD_DIR) + "/tools/zentu-play";

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

TEST_F(ZentuPlay, WavOutputEqualsZentuDecode) {
    Bytes b(100, 0);
    Append(b, Layer2Frame(), 30);
    const std::string in = dir.Write("in.mp2", b);
    const std::string second = dir.Write("second.mp2", Frames(Layer2Frame(), 3));
    ASSERT_EQ(RunCommand("ZENTU_AUDIO=null " + kPlay + " --wav " + dir.Path("out.wav") + " " + in + " " + second + " > " +
                  dir.Path("log")),
              0);
    ASSERT_EQ(RunCommand(std::string(ZENTU_DECODE_EXE) + " " + in + " " + dir.Path("ref.wav")), 0);
    EXPECT_TRUE(ReadFile(dir.Path("out.wav")) == ReadFile(dir.Path("ref.wav")));
    EXPECT_EQ(ReadFile(dir.Path("out-2.wav")).size(), 44u + 3u * 4608u);
    const std::string log = Text(dir.Path("log"));
    EXPECT_NE(log.find("title: in.mp2\n"), std::string::npos) << log;
    EXPECT_NE(log.find("length: 0:00.782\n"), std::string::npos) << log;  // 30 x 626 bytes at 192 kbit/s
    EXPECT_NE(log.find("end: end of data\n"), std::string::npos) << log;
}

TEST_F(ZentuPlay, ReportsFilesThatAreNotMpegAudioAndGoesOn) {
    const std::string bad = dir.Write("bad.mp3", Bytes(4000, 0x55));
    const std::string good = dir.Write("good.mp2", Frames(Layer2Frame(), 3));
    EXPECT_EQ(RunCommand("ZENTU_AUDIO=null " + kPlay + " --wav " + dir.Path("o.wav") + " " + bad + " " + good + " > " +
                  dir.Path("log")),
              1);
    const std::string log = Text(dir.Path("log"));
    EXPECT_NE(log.find("error: unknown MPEG Audio format.\n"), std::string::npos) << log;
    EXPECT_NE(log.find("end: end of data\n"), std::string::npos) << log;
    EXPECT_EQ(RunCommand(kPlay + " > /dev/null 2>&1"), 2);
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
