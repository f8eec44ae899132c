// The desktop program's command line: NUL-separated arguments through ParseCommandLine,
// checked against what each argument asks for, and the texts made from the result.
#include <cstddef>
#include <cstdint>
#include <climits>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "app/app_logic.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// Blanks, a sign, then nothing but digits, within 32 bits.
std::optional<int32_t> ReferenceInteger(const std::string& text) {
    size_t i = text.find_first_not_of(" \t");
    if (i == std::string::npos) return std::nullopt;
    bool negative = false;
    if (text[i] == '+' || text[i] == '-') negative = text[i++] == '-';
    if (i == text.size() || text.find_first_not_of("0123456789", i) != std::string::npos) return std::nullopt;
    const size_t digits = text.find_first_not_of('0', i);
    if (digits == std::string::npos) return 0;
    if (text.size() - digits > 10) return std::nullopt;
    const long long value = std::stoll(text.substr(digits)) * (negative ? -1 : 1);
    if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zentu::app;
    std::vector<std::string> args(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            args.emplace_back();
        else
            args.back() += static_cast<char>(data[i]);
    }
    const TCommandLine line = ParseCommandLine(args);

    // What the arguments read up to the first bad "T" number ask for.
    TCommandLine expected;
    std::vector<std::string> folders;
    for (const std::string& arg : args) {
        if (arg.empty()) continue;
        const std::string rest = arg.substr(1);
        Check(ParseInteger(rest) == ReferenceInteger(rest));
        if (arg[0] == 'T') {
            if (!expected.timer) expected.minutes = kTimerStartMinutes;  // the box, checked first
            expected.timer = true;
            const std::optional<int32_t> minutes = ReferenceInteger(rest);
            if (!minutes) {
                expected.badNumber = rest;
                break;
            }
            expected.minutes = *minutes;
        }
        if (arg[0] == 'C') expected.continuous = true;
        if (arg[0] == 'P') expected.powerOff = true;
        if (arg[0] == 'R') expected.randomStart = true;
        if (arg[0] == 'D') folders.push_back(rest);
    }
    Check(line.timer == expected.timer && line.minutes == expected.minutes);
    Check(line.continuous == expected.continuous && line.powerOff == expected.powerOff &&
          line.randomStart == expected.randomStart && line.badNumber == expected.badNumber);
    Check(line.folderCount + line.foldersIgnored == static_cast<int>(folders.size()));
    Check(line.folderCount <= kSearchFolderSlots);
    for (int i = 0; i < line.folderCount; ++i) Check(line.folders[i] == folders[i]);

    if (line.badNumber) {
        const std::string message = NotANumberMessage(*line.badNumber);
        Check(message.size() > line.badNumber->size() && message[0] == '\'');
    }
    const std::string report = ReportLine(line.powerOff, line.minutes, line.folders[0]);
    Check(report.size() >= BaseName(line.folders[0]).size());
    const uint32_t minute = MinuteLength(args.back().c_str());
    Check(minute >= 1 && minute <= 1000000);
    const int64_t seconds = RoundedSeconds(line.minutes * int64_t{60000} + line.folderCount);
    Check(!TimeText(seconds).empty());
    const int64_t length = seconds < 0 ? -(seconds + 1) : seconds;
    const int percent = GaugePercent(length / (line.folderCount + 1), length);
    Check(percent >= 0 && percent <= 100);
    return 0;
}
