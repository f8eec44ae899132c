// The main window's rules that need no widgets: the command line, the choice of the next
// file, the time texts, the gauge, the report line and the timer buttons.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zentu::app {

inline constexpr int kSearchFolderSlots = 24;
inline constexpr int kReportLines = 201;
inline constexpr int32_t kTimerStartMinutes = 60;
inline constexpr int32_t kTimerStepMinutes = 10;
inline constexpr int32_t kTimerOff = -1;

// What the command line asks for. Letters are the first character of an argument,
// case-sensitive: T<minutes>, C, P, D<folder>, R; anything else is ignored.
struct TCommandLine {
    bool timer = false;              // a "T" was seen: timer play is on
    int32_t minutes = kTimerOff;     // the last good "T" number, or 60 when it was bad
    bool continuous = false;         // "C"
    bool powerOff = false;           // "P"
    bool randomStart = false;        // "R"
    std::array<std::string, kSearchFolderSlots> folders;  // "D": an empty slot is skipped
    int folderCount = 0;             // "D" arguments taken (a lone "D" counts)
    int foldersIgnored = 0;          // "D" arguments past the 24th
    // A "T" whose rest is no integer: the rest, for the error message. The arguments after
    // it were not read, and start-up ends there.
    std::optional<std::string> badNumber;
};

TCommandLine ParseCommandLine(const std::vector<std::string>& args);

// The conversion of a "T" number: optional blanks and sign, decimal digits, 32-bit range.
std::optional<int32_t> ParseInteger(std::string_view text);

// "'%s' は数値ではありません" with `text` in place of %s.
std::string NotANumberMessage(std::string_view text);

// Rounds ms to whole seconds, halves to the even second.
int64_t RoundedSeconds(int64_t ms);
// "MM 分 SS 秒": at least two digits each; minutes take more when they need them.
std::string TimeText(int64_t seconds);
// Position in per cent of the length, rounded up, kept within 0..100; 0 when the length is
// 0 seconds (nothing to measure against).
int GaugePercent(int64_t positionSeconds, int64_t lengthSeconds);

// The file name without its folder.
std::string BaseName(std::string_view path);
// "断／" or "継／", the minutes, "／", the file name without its folder.
std::string ReportLine(bool powerOff, int32_t remainingMinutes, std::string_view path);

// The timer buttons: +10 without limit; -10 only above 10.
int32_t TenMinutesMore(int32_t minutes);
int32_t TenMinutesLess(int32_t minutes);

// The volume (0..100, the output's linear level) `notches` of the wheel on from `volume`:
// about 2 dB a notch, so that every notch is heard, down to silence and up to 100.
int32_t VolumeAfterNotches(int32_t volume, int notches);

// The choice of the next line. `readable(i)` tries line i (and starts it when it can be
// read); the choice ends at the first line it accepts. Every line is tried at most once per
// choice, so the choice ends after at most `count` tries when no line can be read.
struct TChoice {
    int chosen = -1;    // the line that was started, or -1 when no line could be read
    int selected = -1;  // the line to select afterwards: the last line tried
    int tries = 0;      // lines tried
};
// Continuous play: the line after `selected` (line 0 after the last line or when none is
// selected), then on in list order, wrapping. Backwards: the line before (the last line
// before line 0 or when none is selected), then on towards the top.
TChoice ChooseInOrder(int count, int selected, const std::function<bool(int)>& readable, bool backwards = false);
// Random play: each candidate drawn anew by `random(count)` (0..count-1). A line already
// found unreadable in this choice is drawn again without being tried again; after
// 8 × count draws the lines never tried are taken in list order from a random one.
TChoice ChooseAtRandom(int count, const std::function<int(int)>& random, const std::function<bool(int)>& readable);

// The files played, oldest first, for going back. The last entry is the file that plays
// (or last played).
class TPlayHistory {
public:
    static constexpr size_t kLimit = 1000;  // the oldest are forgotten beyond this

    // A file started; the one just stepped back to is current already.
    void Played(const std::string& path);
    // Goes back one file: forgets the current one and answers the one before, which becomes
    // current. Nothing (and nothing changed) when there is no file before.
    std::optional<std::string> StepBack();
    // The file stepped back to could not be played: forgets it and answers the one before.
    std::optional<std::string> DropCurrent();
    size_t Size() const { return paths_.size(); }

private:
    std::vector<std::string> paths_;
    std::optional<std::string> returning_;  // answered by StepBack or DropCurrent, not started yet
};

// The mount point of the file system that holds `path` (walking up while the device
// stays the same); `path` itself when it cannot be examined.
std::string MountPointOf(const std::string& path);

// The minute of timer play in ms: ZENTU_MINUTE_MS when it is a number in 1..1000000,
// otherwise 60000.
uint32_t MinuteLength(const char* envValue);

}  // namespace zentu::app
