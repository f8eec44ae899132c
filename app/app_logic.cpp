#include "app/app_logic.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace zentu::app {

std::optional<int32_t> ParseInteger(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i >= text.size()) return std::nullopt;
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > int64_t{INT32_MAX} + 1) return std::nullopt;
    }
    if (negative) value = -value;
    if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(value);
}

std::string NotANumberMessage(std::string_view text) {
    return std::string("'").append(text).append("' は数値ではありません");  // g++ 12 warns on "'" + ...
}

TCommandLine ParseCommandLine(const std::vector<std::string>& args) {
    TCommandLine line;
    for (const std::string& arg : args) {
        if (arg.empty()) continue;
        const std::string rest = arg.substr(1);
        switch (arg[0]) {
        case 'T': {
            // Checking the timer box starts the count at 60 before the number is read.
            if (!line.timer) {
                line.timer = true;
                line.minutes = kTimerStartMinutes;
            }
            const std::optional<int32_t> minutes = ParseInteger(rest);
            if (!minutes) {
                line.badNumber = rest;
                return line;
            }
            line.minutes = *minutes;
            break;
        }
        case 'C':
            line.continuous = true;
            break;
        case 'P':
            line.powerOff = true;
            break;
        case 'D':
            if (line.folderCount < kSearchFolderSlots)
                line.folders[line.folderCount++] = rest;
            else
                ++line.foldersIgnored;
            break;
        case 'R':
            line.randomStart = true;
            break;
        default:
            break;
        }
    }
    return line;
}

int64_t RoundedSeconds(int64_t ms) {
    int64_t seconds = ms / 1000;
    int64_t rest = ms % 1000;
    if (rest < 0) {
        rest += 1000;
        --seconds;
    }
    if (rest > 500 || (rest == 500 && (seconds & 1) != 0)) ++seconds;
    return seconds;
}

std::string TimeText(int64_t seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "%02lld 分 %02lld 秒", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
    return text;
}

int GaugePercent(int64_t positionSeconds, int64_t lengthSeconds) {
    if (lengthSeconds <= 0 || positionSeconds <= 0) return 0;
    const int64_t percent = (positionSeconds * 100 + lengthSeconds - 1) / lengthSeconds;
    return percent > 100 ? 100 : static_cast<int>(percent);
}

std::string BaseName(std::string_view path) {
    const size_t slash = path.find_last_of('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string ReportLine(bool powerOff, int32_t remainingMinutes, std::string_view path) {
    return std::string(powerOff ? "断／" : "継／") + std::to_string(remainingMinutes) + "／" + BaseName(path);
}

int32_t TenMinutesMore(int32_t minutes) {
    return minutes > INT32_MAX - kTimerStepMinutes ? minutes : minutes + kTimerStepMinutes;
}

int32_t TenMinutesLess(int32_t minutes) { return minutes > kTimerStepMinutes ? minutes - kTimerStepMinutes : minutes; }

namespace {
// 100 × 10^(-2k/20) rounded, k = 0..10, then the steps of one that are left.
constexpr std::array<int32_t, 19> kVolumeLevels{0, 1, 2, 3, 4, 5, 6, 8, 10, 13, 16, 20, 25, 32, 40, 50, 63, 79, 100};
}  // namespace

int32_t VolumeAfterNotches(int32_t volume, int notches) {
    for (; notches > 0; --notches) {
        const auto* up = std::upper_bound(kVolumeLevels.begin(), kVolumeLevels.end(), volume);
        if (up == kVolumeLevels.end()) break;
        volume = *up;
    }
    for (; notches < 0; ++notches) {
        const auto* down = std::lower_bound(kVolumeLevels.begin(), kVolumeLevels.end(), volume);
        if (down == kVolumeLevels.begin()) break;
        volume = *(down - 1);
    }
    return volume;
}

TChoice ChooseInOrder(int count, int selected, const std::function<bool(int)>& readable, bool backwards) {
    TChoice choice;
    if (count <= 0) return choice;
    int line = selected;
    while (choice.tries < count) {
        if (backwards)
            line = (line <= 0 || line >= count) ? count - 1 : line - 1;
        else
            line = (line < 0 || line >= count - 1) ? 0 : line + 1;
        ++choice.tries;
        choice.selected = line;
        if (readable(line)) {
            choice.chosen = line;
            break;
        }
    }
    return choice;
}

TChoice ChooseAtRandom(int count, const std::function<int(int)>& random, const std::function<bool(int)>& readable) {
    TChoice choice;
    if (count <= 0) return choice;
    std::vector<bool> failed(static_cast<size_t>(count), false);
    const int64_t draws = int64_t{8} * count;
    for (int64_t draw = 0; draw < draws && choice.tries < count; ++draw) {
        int line = random(count);
        if (line < 0 || line >= count) line = 0;
        choice.selected = line;
        if (failed[static_cast<size_t>(line)]) continue;
        ++choice.tries;
        if (readable(line)) {
            choice.chosen = line;
            return choice;
        }
        failed[static_cast<size_t>(line)] = true;
    }
    // The draws went on long enough: sweep what was never tried.
    const int start = random(count);
    for (int k = 0; k < count && choice.tries < count; ++k) {
        const int line = ((start < 0 || start >= count ? 0 : start) + k) % count;
        if (failed[static_cast<size_t>(line)]) continue;
        ++choice.tries;
        choice.selected = line;
        if (readable(line)) {
            choice.chosen = line;
            return choice;
        }
        failed[static_cast<size_t>(line)] = true;
    }
    return choice;
}

void TPlayHistory::Played(const std::string& path) {
    const bool returned = returning_ == path;
    returning_.reset();
    if (returned) return;
    if (paths_.size() >= kLimit) paths_.erase(paths_.begin(), paths_.begin() + kLimit / 2);
    paths_.push_back(path);
}

std::optional<std::string> TPlayHistory::StepBack() {
    if (paths_.size() < 2) return std::nullopt;
    paths_.pop_back();
    return returning_ = paths_.back();
}

std::optional<std::string> TPlayHistory::DropCurrent() {
    if (!paths_.empty()) paths_.pop_back();
    if (paths_.empty()) return returning_ = std::nullopt;
    return returning_ = paths_.back();
}

std::string MountPointOf(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return path;
    std::string current = path;
    if (!S_ISDIR(st.st_mode)) {
        const size_t slash = current.find_last_of('/');
        current = slash == std::string::npos || slash == 0 ? std::string("/") : current.substr(0, slash);
        if (::stat(current.c_str(), &st) != 0) return path;
    }
    const dev_t device = st.st_dev;
    while (current != "/") {
        const size_t slash = current.find_last_of('/');
        const std::string parent = slash == std::string::npos || slash == 0 ? std::string("/") : current.substr(0, slash);
        struct stat up {};
        if (::stat(parent.c_str(), &up) != 0 || up.st_dev != device) break;
        current = parent;
    }
    return current;
}

uint32_t MinuteLength(const char* envValue) {
    constexpr uint32_t kMinute = 60000;
    if (!envValue || !*envValue) return kMinute;
    const std::optional<int32_t> ms = ParseInteger(envValue);
    if (!ms || *ms < 1 || *ms > 1000000) return kMinute;
    return static_cast<uint32_t>(*ms);
}

}  // namespace zentu::app
