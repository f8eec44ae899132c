// What the decoder refuses: set-ups it cannot honour (hand-built headers, output it does not
// produce, MPEG-2.5 Layer I/II) and equalizer factors that would overflow the synthesis.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "decoder/dispatch.h"
#include "decoder/mpeg_decoder.h"
#include "decoder/synth.h"
#include "player/player_fixtures.h"

namespace zentu {
namespace {

// MPEG-1 Layer II, 192 kbit/s, 44.1 kHz, stereo, no CRC.
FrameHeader Layer2Header() {
    FrameHeader h;
    h.syncKind = 1;
    h.versionBit = 1;
    h.layerCode = 2;
    h.protectionBit = 1;
    h.bitrateIndex = 10;
    return h;
}

// A frame of the header's fields followed by zero bits (silence in every layer).
std::vector<uint8_t> FrameOf(const FrameHeader& h) {
    std::vector<uint8_t> f(2000, 0);
    f[0] = 0xFF;
    f[1] = static_cast<uint8_t>((h.syncKind == 1 ? 0xF0 : 0xE0) | h.versionBit << 3 | h.layerCode << 1 | h.protectionBit);
    f[2] = static_cast<uint8_t>(h.bitrateIndex << 4 | h.sampleRateIndex << 2 | h.paddingBit << 1);
    f[3] = static_cast<uint8_t>(h.mode << 6 | h.modeExtension << 4);
    return f;
}

TEST(DecoderGuards, SetUpsThatCannotBeHonouredAreRefused) {
    struct Case {
        const char* name;
        std::function<void(FrameHeader&)> change;
        int32_t rateShift = 0;
        uint8_t flags = 0;
        int32_t frequencyLimit = 24000;
        int32_t baseLength = 626;
        int32_t expect = 1;
    };
    const Case cases[] = {
        {"MPEG-1 Layer II", [](FrameHeader&) {}},
        {"bit-rate index 400", [](FrameHeader& h) { h.bitrateIndex = 400; }, 0, 0, 24000, 626, 0},
        {"bit-rate index -1", [](FrameHeader& h) { h.bitrateIndex = -1; }, 0, 0, 24000, 626, 0},
        {"bit-rate index 15", [](FrameHeader& h) { h.bitrateIndex = 15; }, 0, 0, 24000, 626, 0},
        {"sample-rate index 3", [](FrameHeader& h) { h.sampleRateIndex = 3; }, 0, 0, 24000, 626, 0},
        {"sample-rate index -2", [](FrameHeader& h) { h.sampleRateIndex = -2; }, 0, 0, 24000, 626, 0},
        {"version bit 2", [](FrameHeader& h) { h.versionBit = 2; }, 0, 0, 24000, 626, 0},
        {"layer code 4", [](FrameHeader& h) { h.layerCode = 4; }, 0, 0, 24000, 626, 0},
        {"layer code -1", [](FrameHeader& h) { h.layerCode = -1; }, 0, 0, 24000, 626, 0},
        {"sync kind 0", [](FrameHeader& h) { h.syncKind = 0; }, 0, 0, 24000, 626, 0},
        {"sync kind 3", [](FrameHeader& h) { h.syncKind = 3; }, 0, 0, 24000, 626, 0},
        {"mode 4", [](FrameHeader& h) { h.mode = 4; }, 0, 0, 24000, 626, 0},
        {"mode extension 9", [](FrameHeader& h) { h.modeExtension = 9; }, 0, 0, 24000, 626, 0},
        {"padding bit 2", [](FrameHeader& h) { h.paddingBit = 2; }, 0, 0, 24000, 626, 0},
        {"emphasis -1", [](FrameHeader& h) { h.emphasis = -1; }, 0, 0, 24000, 626, 0},
        {"80 kbit/s stereo", [](FrameHeader& h) { h.bitrateIndex = 5; }, 0, 0, 24000, 261, 0},
        {"MPEG-2.5 Layer II",
         [](FrameHeader& h) {
             h.syncKind = 2;
             h.versionBit = 0;
         },
         0, 0, 24000, 626, 0},
        {"MPEG-2.5 Layer I",
         [](FrameHeader& h) {
             h.syncKind = 2;
             h.versionBit = 0;
             h.layerCode = 3;
         },
         0, 0, 24000, 626, 0},
        {"MPEG-2.5 Layer III",
         [](FrameHeader& h) {
             h.syncKind = 2;
             h.versionBit = 0;
             h.layerCode = 1;
             h.bitrateIndex = 4;
         },
         0, 0, 24000, 208, 1},
        {"sync 0xFFE with the version bit set",
         [](FrameHeader& h) {
             h.syncKind = 2;
             h.layerCode = 1;
         },
         0, 0, 24000, 626, 0},
        {"free format", [](FrameHeader& h) { h.bitrateIndex = 0; }, 0, 0, 24000, 600, 1},
        {"free format without its length", [](FrameHeader& h) { h.bitrateIndex = 0; }, 0, 0, 24000, 0, 0},
        {"rate shift 1", [](FrameHeader&) {}, 1, 0, 24000, 626, 0},
        {"rate shift 9 (counts as 2)", [](FrameHeader&) {}, 9, 0, 24000, 626, 0},
        {"rate shift -4 (counts as 0)", [](FrameHeader&) {}, -4, 0, 24000, 626, 1},
        {"8-bit output", [](FrameHeader&) {}, 0, 8, 24000, 626, 0},
        {"channels mixed", [](FrameHeader&) {}, 0, 1, 24000, 626, 0},
        {"second channel only", [](FrameHeader&) {}, 0, 3, 24000, 626, 0},
        {"single channel ignores the selection", [](FrameHeader& h) { h.mode = 3; }, 0, 2, 24000, 626, 1},
        {"unused flag bits", [](FrameHeader&) {}, 0, 0xF4, 24000, 626, 1},
        {"frequency limit INT32_MAX", [](FrameHeader&) {}, 0, 0, INT32_MAX, 626, 1},
        {"frequency limit INT32_MIN", [](FrameHeader&) {}, 0, 0, INT32_MIN, 626, 1},
    };
    TMpegDecoder d;
    std::vector<uint8_t> pcm(kMaxPcmBytesPerFrame);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FrameHeader h = Layer2Header();
        c.change(h);
        // an open stream first, so that a refusal is seen to replace it
        ASSERT_EQ(d.Open(Layer2Header(), 626, 0, 0, 0, 24000), 1);
        EXPECT_EQ(d.Open(h, c.baseLength, c.rateShift, 0, c.flags, c.frequencyLimit), c.expect);
        const DecodedFormat f = d.GetDecodedFormat();
        const std::vector<uint8_t> frame = FrameOf(h);
        const DecodeResult r = d.DecodeFrame(frame.data(), static_cast<int32_t>(frame.size()), pcm.data());
        if (c.expect == 0) {
            EXPECT_EQ(f.channels, 0);
            EXPECT_EQ(f.samplesPerFrame, 0);
            EXPECT_EQ(f.sampleRate, 0);
            EXPECT_EQ(r.consumed, 0);
            EXPECT_EQ(r.produced, 0);
        } else {
            // the format describes what a frame writes
            EXPECT_EQ(f.channels, h.mode == 3 ? 1 : 2);
            EXPECT_EQ(f.bitsPerSample, 16);
            EXPECT_EQ(f.sampleRate, h.syncKind == 2 ? 11025 : 44100);
            EXPECT_GT(r.consumed, 0);
            EXPECT_EQ(r.produced, f.samplesPerFrame * 2);
        }
    }
}

// A stream of MPEG-2.5 Layer II headers (which no standard defines) is refused by the
// decoding tool and by the player it can decode through; the same frames as MPEG-2 decode.
TEST(DecoderGuards, Mpeg25Layer2StreamsAreRefused) {
    namespace fs = std::filesystem;
    const testing::TempDir temp;
    const fs::path dir = temp.Path("");
    for (const bool mpeg25 : {true, false}) {
        SCOPED_TRACE(mpeg25 ? "MPEG-2.5" : "MPEG-2");
        FrameHeader h = Layer2Header();
        h.syncKind = mpeg25 ? 2 : 1;
        h.versionBit = 0;
        h.bitrateIndex = 8;  // 64 kbit/s
        std::vector<uint8_t> frame = FrameOf(h);
        FrameHeader parsed;
        const int32_t length = ParseFrameHeader(frame.data(), 0, parsed);
        ASSERT_GT(length, 0);
        frame.resize(static_cast<size_t>(length));
        const fs::path in = dir / "stream.mp2", err = dir / "err.txt";
        {
            std::ofstream f(in, std::ios::binary);
            for (int i = 0; i < 40; ++i) f.write(reinterpret_cast<const char*>(frame.data()), length);
        }
        for (const char* how : {"--raw", "--player"}) {
            SCOPED_TRACE(how);
            const std::string cmd = std::string("'") + ZENTU_DECODE_EXE + "' " + how + " '" + in.string() + "' '" +
                                    (dir / "out").string() + "' 2>'" + err.string() + "'";
            const int status = std::system(cmd.c_str());
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), mpeg25 ? 1 : 0);
            std::ifstream e(err);
            const std::string text{std::istreambuf_iterator<char>(e), std::istreambuf_iterator<char>()};
            EXPECT_EQ(text.find("unknown MPEG Audio format.") != std::string::npos, mpeg25) << text;
        }
    }
}

// Equalizer factors are stored limited: an infinite factor (a band gain of 4000), a huge one
// or a NaN gives the same PCM from every routine family, the clipped signal (or, for a NaN,
// the signal as if unequalized) and never the full-scale or silent block of an infinity.
TEST(DecoderGuards, EqualizerFactorsStayFinite) {
    const float inf = std::numeric_limits<float>::infinity();
    TEqualizerTables eq;
    eq.LineGains[7] = -inf;
    EXPECT_EQ(eq.LineGains[7], -kEqualizerFactorLimit);
    eq.LineGains[8] = 0.25f;
    EXPECT_EQ(eq.LineGains[8], 0.25f);
    eq.LineGains[9] = eq.LineGains[8];
    EXPECT_EQ(eq.LineGains[9], 0.25f);

    TRoutineSlots plain, fast;
    FillSlotsPlain(plain);
    DispatchRoutines(DetectCpuCapabilities(), fast);
    std::vector<float> rows(64 * 36, 0.0f);
    for (int r = 0; r < 36; ++r) rows[static_cast<size_t>(64 * r + 6)] = (r & 1 ? -1.0f : 1.0f) * 3000.0f;
    const float factors[] = {1.0f, static_cast<float>(std::pow(10.0L, 4000 / 100.0L)), inf, 1e30f,
                             std::numeric_limits<float>::quiet_NaN()};
    std::vector<int16_t> unequalized;
    for (const float factor : factors) {
        SCOPED_TRACE(factor);
        eq.SubbandEqualizerOn = 1;
        eq.SubbandGains.fill(factor);
        EXPECT_TRUE(std::isfinite(eq.SubbandGains[3]));
        std::vector<int16_t> out[2];
        for (int k = 0; k < 2; ++k) {
            TSynthesis synth;
            SynthesisInit(synth);
            out[k].resize(2304);
            SynthesizeRows(synth, k ? fast : plain, eq, rows.data(), 36, 2, out[k].data());
        }
        int loud = 0;
        for (size_t i = 0; i < 2304; ++i) {
            ASSERT_NEAR(out[0][i], out[1][i], 1) << i;
            loud += std::abs(out[0][i]) == 32767 || out[0][i] == -32768;
        }
        if (std::isnan(factor)) {
            EXPECT_EQ(out[0], unequalized);
        } else if (factor == 1.0f) {
            unequalized = out[0];
            EXPECT_EQ(loud, 0);
        } else {
            EXPECT_GT(loud, 500);  // the left channel's signal clips
        }
        for (size_t i = 1; i < 2304; i += 2) ASSERT_EQ(out[0][i], 0) << "right channel " << i;
    }
}

}  // namespace
}  // namespace zentu
