#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "decoder/synth.h"
#include "decoder/tables/iso_tables.h"

namespace zentu {
namespace {

TEST(Synthesis, RoundsToNearestEvenAndClips) {
    EXPECT_EQ(RoundAndClip(32767.6f), 32767);
    EXPECT_EQ(RoundAndClip(40000.0f), 32767);
    EXPECT_EQ(RoundAndClip(-40000.0f), -32768);
    EXPECT_EQ(RoundAndClip(32768.0f), 32767);  // an inverted -32768 clips, never wraps
    EXPECT_EQ(RoundAndClip(2.5f), 2);
    EXPECT_EQ(RoundAndClip(3.5f), 4);
    EXPECT_EQ(RoundAndClip(-2.5f), -2);
    EXPECT_EQ(RoundAndClip(-32768.4f), -32768);
    EXPECT_EQ(RoundAndClip(0.49f), 0);
}

TEST(Synthesis, PolarityToggleIsExactAndIdempotent) {
    TSynthesis s;
    SynthesisInit(s);
    float before[264];
    std::memcpy(before, s.window, sizeof before);
    EXPECT_FLOAT_EQ(s.window[8], 1.144989014f);  // row 0, k = 8: D[256]
    EXPECT_FLOAT_EQ(s.window[256], 0.001586914f);
    SetPolarity(s, true);
    SetPolarity(s, true);
    EXPECT_TRUE(s.inverted);
    EXPECT_FLOAT_EQ(s.window[8], -1.144989014f);
    SetPolarity(s, false);
    EXPECT_EQ(std::memcmp(before, s.window, sizeof before), 0);
}

// The fast transform against the cosine sum it stands for.
TEST(Synthesis, FastCosineTransformMatchesTheSum) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-20000.0f, 20000.0f);
    TEqualizerTables eq;
    for (int round = 0; round < 20; ++round) {
        float s[32], x[32];
        for (float& v : s) v = dist(rng);
        SynthesizeSlot(s, 1, eq, x);
        for (int k = 0; k < 32; ++k) {
            double ref = 0;
            for (int n = 0; n < 32; ++n) ref += s[n] * std::cos(M_PI * (2 * n + 1) * k / 64.0);
            EXPECT_NEAR(x[k], ref, 0.05 + std::fabs(ref) * 1e-5) << "k " << k;
        }
    }
}

// Direct synthesis of the standard: matrixing into a 1024-value FIFO, windowing with D.
struct ReferenceSynthesis {
    std::vector<double> v = std::vector<double>(1024, 0.0);
    void Step(const float* s, double* out) {
        for (int i = 1023; i >= 64; --i) v[i] = v[i - 64];
        for (int i = 0; i < 64; ++i) {
            double sum = 0;
            for (int k = 0; k < 32; ++k) sum += std::cos((16 + i) * (2 * k + 1) * M_PI / 64.0) * s[k];
            v[i] = sum;
        }
        double u[512];
        for (int i = 0; i < 8; ++i)
            for (int j = 0; j < 32; ++j) {
                u[64 * i + j] = v[128 * i + j];
                u[64 * i + 32 + j] = v[128 * i + 96 + j];
            }
        for (int j = 0; j < 32; ++j) {
            double sum = 0;
            for (int i = 0; i < 16; ++i)
                sum += u[32 * i + j] * tables::kSynthesisWindowK[static_cast<size_t>(32 * i + j)] / 65536.0;
            out[j] = sum;
        }
    }
};

TEST(Synthesis, MatchesTheStandardsSynthesisWithinOneStep) {
    TSynthesis synth;
    SynthesisInit(synth);
    TRoutineSlots slots;
    FillSlotsPlain(slots);
    TEqualizerTables eq;
    ReferenceSynthesis ref;
    std::mt19937 rng(3);
    std::normal_distribution<float> dist(0.0f, 3000.0f);
    std::vector<float> rows(64 * 36, 0.0f);
    int16_t pcm[32 * 36];
    int worst = 0;
    for (int frame = 0; frame < 4; ++frame) {
        for (int r = 0; r < 36; ++r)
            for (int k = 0; k < 32; ++k) rows[64 * r + k] = dist(rng) / (1 + k);
        SynthesizeRows(synth, slots, eq, rows.data(), 36, 1, pcm);
        for (int r = 0; r < 36; ++r) {
            double out[32];
            ref.Step(&rows[64 * r], out);
            for (int j = 0; j < 32; ++j) {
                const double expect = std::clamp(std::nearbyint(out[j]), -32768.0, 32767.0);
                worst = std::max(worst, static_cast<int>(std::fabs(pcm[32 * r + j] - expect)));
            }
        }
    }
    EXPECT_LE(worst, 1);
}

// +30 dB on a signal at about -60 dB, scaled before rounding: within one step of the exact
// synthesis times the gain, hundreds of values where scaling after would give dozens.
TEST(Synthesis, OutputGainScalesBeforeRounding) {
    TSynthesis synth;
    SynthesisInit(synth);
    SetOutputGain(synth, 31.622777f);
    TRoutineSlots slots;
    FillSlotsPlain(slots);
    std::mt19937 rng(5);
    std::normal_distribution<float> dist(0.0f, 3.0f);
    std::vector<float> rows(64 * 36);
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = dist(rng) / static_cast<float>(1 + i % 32);
    int16_t pcm[32 * 36];
    SynthesizeRows(synth, slots, TEqualizerTables{}, rows.data(), 36, 1, pcm);
    ReferenceSynthesis ref;
    for (int r = 0; r < 36; ++r) {
        double out[32];
        ref.Step(&rows[64 * r], out);
        for (int j = 0; j < 32; ++j) ASSERT_NEAR(pcm[32 * r + j], out[j] * 31.622777, 1.0) << "sample " << 32 * r + j;
    }
    EXPECT_GE(std::set<int16_t>(pcm, pcm + 32 * 36).size(), 300u);
}

TEST(Synthesis, HistoryLastsSixteenStepsAndSilenceStaysSilent) {
    TSynthesis synth;
    SynthesisInit(synth);
    SetPolarity(synth, true);
    TRoutineSlots slots;
    FillSlotsPlain(slots);
    TEqualizerTables eq;
    std::vector<float> rows(64 * 40, 0.0f);
    for (int k = 0; k < 32; ++k) rows[k] = 10000.0f;  // one nonzero slot, then silence
    std::vector<int16_t> pcm(32 * 40);
    SynthesizeRows(synth, slots, eq, rows.data(), 40, 1, pcm.data());
    bool anyEarly = false;
    for (int i = 0; i < 32 * 16; ++i) anyEarly |= pcm[static_cast<size_t>(i)] != 0;
    EXPECT_TRUE(anyEarly);
    for (int i = 32 * 16; i < 32 * 40; ++i) ASSERT_EQ(pcm[static_cast<size_t>(i)], 0) << "sample " << i;
}

TEST(Synthesis, StereoRowsInterleaveAndSubbandEqualizerScales) {
    TSynthesis a, b;
    SynthesisInit(a);
    SynthesisInit(b);
    TRoutineSlots slots;
    FillSlotsPlain(slots);
    TEqualizerTables flat, half;
    half.SubbandEqualizerOn = 1;
    half.SubbandGains.fill(0.5f);
    std::vector<float> rows(64 * 36, 0.0f);
    for (int r = 0; r < 36; ++r) {
        rows[64 * r + 2 * 3] = 8000.0f;      // left, subband 3
        rows[64 * r + 2 * 7 + 1] = 4000.0f;  // right, subband 7
    }
    std::vector<int16_t> full(2304), scaled(2304);
    SynthesizeRows(a, slots, flat, rows.data(), 36, 2, full.data());
    SynthesizeRows(b, slots, half, rows.data(), 36, 2, scaled.data());
    double energyL = 0, energyR = 0;
    for (int i = 0; i < 2304; i += 2) {
        energyL += full[static_cast<size_t>(i)] * full[static_cast<size_t>(i)];
        energyR += full[static_cast<size_t>(i) + 1] * full[static_cast<size_t>(i) + 1];
        EXPECT_NEAR(scaled[static_cast<size_t>(i)], full[static_cast<size_t>(i)] * 0.5, 1.0);
    }
    EXPECT_GT(energyL, 0);
    EXPECT_GT(energyR, 0);
}

}  // namespace
}  // namespace zentu
