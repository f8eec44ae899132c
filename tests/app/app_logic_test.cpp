// The window's rules without widgets: command line, next-file choice, times, gauge, report
// line, timer buttons, mount points.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <set>
#include <string>
#include <vector>

#include "app/app_logic.h"

using namespace zentu::app;

namespace {
std::vector<std::string> Args(std::initializer_list<const char*> list) { return {list.begin(), list.end()}; }
}  // namespace

TEST(CommandLine, LettersAreFirstCharactersCaseSensitive) {
    const TCommandLine line = ParseCommandLine(Args({"T90", "C", "P", "D/music", "R", "Dother", "x", ""}));
    EXPECT_TRUE(line.timer);
    EXPECT_EQ(line.minutes, 90);
    EXPECT_TRUE(line.continuous);
    EXPECT_TRUE(line.powerOff);
    EXPECT_TRUE(line.randomStart);
    EXPECT_EQ(line.folderCount, 2);
    EXPECT_EQ(line.folders[0], "/music");
    EXPECT_EQ(line.folders[1], "other");
    EXPECT_FALSE(line.badNumber);

    const TCommandLine lower = ParseCommandLine(Args({"t30", "c", "p", "d/x", "r"}));
    EXPECT_FALSE(lower.timer);
    EXPECT_EQ(lower.minutes, -1);
    EXPECT_FALSE(lower.continuous || lower.powerOff || lower.randomStart);
    EXPECT_EQ(lower.folderCount, 0);

    // Only the first character counts: "Continuous" is "C", "Power" is "P".
    const TCommandLine words = ParseCommandLine(Args({"Continuous", "Power", "T-5", "T0"}));
    EXPECT_TRUE(words.continuous);
    EXPECT_TRUE(words.powerOff);
    EXPECT_EQ(words.minutes, 0);
}

TEST(CommandLine, LoneDCountsAsAnEmptyFolderAndFoldersPastTheTwentyFourthAreIgnored) {
    const TCommandLine lone = ParseCommandLine(Args({"D"}));
    EXPECT_EQ(lone.folderCount, 1);
    EXPECT_EQ(lone.folders[0], "");

    std::vector<std::string> many;
    for (int i = 0; i < 30; ++i) many.push_back("D/f" + std::to_string(i));
    const TCommandLine line = ParseCommandLine(many);
    EXPECT_EQ(line.folderCount, 24);
    EXPECT_EQ(line.foldersIgnored, 6);
    EXPECT_EQ(line.folders[23], "/f23");
}

TEST(CommandLine, BadNumberStopsTheStartWithTheTimerAtSixty) {
    const TCommandLine lone = ParseCommandLine(Args({"C", "T", "P", "D/x"}));
    ASSERT_TRUE(lone.badNumber);
    EXPECT_EQ(*lone.badNumber, "");
    EXPECT_TRUE(lone.timer);
    EXPECT_EQ(lone.minutes, 60);
    EXPECT_TRUE(lone.continuous);  // read before the bad one
    EXPECT_FALSE(lone.powerOff);   // never read
    EXPECT_EQ(lone.folderCount, 0);

    const TCommandLine later = ParseCommandLine(Args({"T30", "T1x"}));
    ASSERT_TRUE(later.badNumber);
    EXPECT_EQ(*later.badNumber, "1x");
    EXPECT_EQ(later.minutes, 30);  // the box was checked already: the count stays

    EXPECT_EQ(NotANumberMessage("abc"), "'abc' は数値ではありません");
    EXPECT_EQ(ParseInteger(" +12"), 12);
    EXPECT_EQ(ParseInteger("-2147483648"), INT32_MIN);
    EXPECT_FALSE(ParseInteger("2147483648"));
    EXPECT_FALSE(ParseInteger("99999999999999999999"));
    EXPECT_FALSE(ParseInteger("-"));
    EXPECT_FALSE(ParseInteger("1.5"));
}

TEST(TimeTexts, HalvesGoToTheEvenSecond) {
    EXPECT_EQ(TimeText(RoundedSeconds(2500)), "00 分 02 秒");
    EXPECT_EQ(TimeText(RoundedSeconds(3500)), "00 分 04 秒");
    EXPECT_EQ(TimeText(RoundedSeconds(3725500)), "62 分 06 秒");
    EXPECT_EQ(TimeText(RoundedSeconds(187000)), "03 分 07 秒");
    EXPECT_EQ(TimeText(RoundedSeconds(2501)), "00 分 03 秒");
    EXPECT_EQ(TimeText(RoundedSeconds(499)), "00 分 00 秒");
    EXPECT_EQ(TimeText(RoundedSeconds(int64_t{INT32_MAX})), "35791 分 24 秒");
    EXPECT_EQ(RoundedSeconds(0), 0);
}

TEST(Gauge, RoundsUpAndStaysWithinTheBar) {
    EXPECT_EQ(GaugePercent(0, 100), 0);
    EXPECT_EQ(GaugePercent(1, 3), 34);
    EXPECT_EQ(GaugePercent(2, 3), 67);
    EXPECT_EQ(GaugePercent(3, 3), 100);
    EXPECT_EQ(GaugePercent(5, 3), 100);  // a length estimated short
    EXPECT_EQ(GaugePercent(1, 0), 0);    // a length that rounds to 0 seconds
    EXPECT_EQ(GaugePercent(0, 0), 0);
}

TEST(ReportLine, MarkMinutesAndFileName) {
    EXPECT_EQ(ReportLine(false, -1, "/music/a/track01.mp3"), "継／-1／track01.mp3");
    EXPECT_EQ(ReportLine(true, 45, "track01.mp3"), "断／45／track01.mp3");
    EXPECT_EQ(BaseName("/a/b/"), "");
}

TEST(TimerButtons, TenMoreAndTenLess) {
    int32_t minutes = kTimerStartMinutes;
    for (int i = 0; i < 3; ++i) minutes = TenMinutesMore(minutes);
    EXPECT_EQ(minutes, 90);
    EXPECT_EQ(TenMinutesLess(10), 10);
    EXPECT_EQ(TenMinutesLess(11), 1);
    EXPECT_EQ(TenMinutesLess(0), 0);
    EXPECT_EQ(TenMinutesMore(INT32_MAX), INT32_MAX);  // no overflow
}

TEST(TrayWheel, EveryNotchMovesTheVolumeAudiblyWithinItsRange) {
    struct Row {
        int32_t volume;
        int notches;
        int32_t expected;
    };
    constexpr Row rows[] = {{100, -1, 79}, {79, 1, 100}, {100, 1, 100}, {0, -1, 0},  {0, 1, 1},
                            {57, 1, 63},   {57, -1, 50}, {100, -30, 0}, {0, 30, 100}, {50, 0, 50}};
    for (const Row& row : rows)
        EXPECT_EQ(VolumeAfterNotches(row.volume, row.notches), row.expected) << row.volume << " " << row.notches;
}

TEST(NextFile, InOrderStartsAfterTheSelectionAndWraps) {
    std::vector<int> tried;
    auto readable = [&](int line) {
        tried.push_back(line);
        return line != 1;
    };
    EXPECT_EQ(ChooseInOrder(3, -1, readable).chosen, 0);  // nothing selected: line 0
    EXPECT_EQ(ChooseInOrder(3, 2, readable).chosen, 0);   // after the last: line 0
    tried.clear();
    const TChoice skip = ChooseInOrder(3, 0, readable);    // line 1 cannot be read
    EXPECT_EQ(skip.chosen, 2);
    EXPECT_EQ(skip.selected, 2);
    EXPECT_EQ(tried, (std::vector<int>{1, 2}));
    // Backwards: the line before, the last one before line 0, passing over line 1.
    EXPECT_EQ(ChooseInOrder(3, 0, readable, true).chosen, 2);
    EXPECT_EQ(ChooseInOrder(3, -1, readable, true).chosen, 2);
    EXPECT_EQ(ChooseInOrder(3, 2, readable, true).chosen, 0);
}

TEST(NextFile, InOrderEndsWhenNoLineCanBeRead) {
    int tries = 0;
    const TChoice none = ChooseInOrder(5, 3, [&](int) { return ++tries, false; });
    EXPECT_EQ(none.chosen, -1);
    EXPECT_EQ(tries, 5);
    EXPECT_EQ(none.selected, 3);  // every line once: the last one tried is the start
    EXPECT_EQ(ChooseInOrder(0, -1, [](int) { return true; }).chosen, -1);
}

TEST(NextFile, RandomDrawsEachCandidateAnewAndEndsWhenNoLineCanBeRead) {
    // Draws come from the given source; a readable line is taken at once.
    std::vector<int> draws = {4, 4, 2};
    size_t next = 0;
    std::vector<int> tried;
    const TChoice choice = ChooseAtRandom(
        5, [&](int n) { return draws[next++ % draws.size()] % n; },
        [&](int line) {
            tried.push_back(line);
            return line == 2;
        });
    EXPECT_EQ(choice.chosen, 2);
    EXPECT_EQ(tried, (std::vector<int>{4, 2}));  // 4 failed once and was not tried again

    // Nothing readable: ends with every line tried exactly once, even with a stuck source.
    for (auto source : {std::function<int(int)>([](int) { return 0; }),
                        std::function<int(int)>([k = 0](int n) mutable { return (k += 7) % n; })}) {
        std::multiset<int> all;
        const TChoice none = ChooseAtRandom(50, source, [&](int line) { return all.insert(line), false; });
        EXPECT_EQ(none.chosen, -1);
        EXPECT_EQ(all.size(), 50u);
        EXPECT_EQ(std::set<int>(all.begin(), all.end()).size(), 50u);
    }
    // A stuck source still reaches the one readable line.
    EXPECT_EQ(ChooseAtRandom(10, [](int) { return 3; }, [](int line) { return line == 7; }).chosen, 7);
}

TEST(PlayHistory, StepsBackOverWhatWasPlayedAndForgetsWhatCannotBePlayed) {
    TPlayHistory history;
    EXPECT_EQ(history.StepBack(), std::nullopt);
    for (const char* path : {"a", "b", "b", "c", "d"}) history.Played(path);
    EXPECT_EQ(history.Size(), 5u);  // b played twice in a row counts twice
    EXPECT_EQ(history.StepBack(), "c");
    history.Played("c");  // the file stepped back to starts: current already
    EXPECT_EQ(history.Size(), 4u);
    EXPECT_EQ(history.StepBack(), "b");
    EXPECT_EQ(history.DropCurrent(), "b");  // that b could not be played: the one before
    history.Played("b");
    EXPECT_EQ(history.StepBack(), "a");
    history.Played("a");
    EXPECT_EQ(history.StepBack(), std::nullopt);  // the first file has none before it
    EXPECT_EQ(history.Size(), 1u);
    EXPECT_EQ(history.DropCurrent(), std::nullopt);

    for (size_t i = 0; i < TPlayHistory::kLimit + 10; ++i) history.Played(std::to_string(i));
    EXPECT_LE(history.Size(), TPlayHistory::kLimit);
    EXPECT_EQ(history.StepBack(), std::to_string(TPlayHistory::kLimit + 8));
}

TEST(MountPoint, WalksUpWhileTheDeviceStaysTheSame) {
    const std::string root = MountPointOf("/proc/self/status");
    EXPECT_EQ(root, "/proc");  // procfs is a file system of its own
    struct stat a {}, b {};
    const std::string mount = MountPointOf("/usr/bin");
    ASSERT_EQ(::stat(mount.c_str(), &a), 0);
    ASSERT_EQ(::stat("/usr/bin", &b), 0);
    EXPECT_EQ(a.st_dev, b.st_dev);
    EXPECT_EQ(MountPointOf("/no/such/path"), "/no/such/path");
}

TEST(MinuteLength, TestHookIsCheckedAndDefaultsToAMinute) {
    EXPECT_EQ(MinuteLength(nullptr), 60000u);
    EXPECT_EQ(MinuteLength("200"), 200u);
    EXPECT_EQ(MinuteLength("0"), 60000u);
    EXPECT_EQ(MinuteLength("x"), 60000u);
}
