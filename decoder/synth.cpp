#include "decoder/synth.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "decoder/synth_impl.h"
#include "decoder/tables/iso_tables.h"

namespace zentu {

namespace {

struct CosineTable {
    float c[31];
    CosineTable() {
        const double pi = 4.0 * std::atan(1.0);
        int k = 0;
        for (int n = 16; n >= 1; n >>= 1)
            for (int j = 0; j < n; ++j) c[k++] = static_cast<float>(0.5 / std::cos(pi * (2 * j + 1) / (4.0 * n)));
    }
};

// One step's transform output into its ring row.
inline void StoreRow(float* row, const float* x) {
    for (int j = 0; j < 16; ++j) {
        row[kRowP + j] = x[16 + j];
        row[kRowQ + j] = x[16 - j];
        row[kRowQm + j] = x[16 - j];
    }
    row[kRowQm] = x[0];
}

// The window sums of the step in ring row r, slot after slot (newest first), rounded and
// clipped, to dest[0], dest[Stride], ...
template <int Stride>
void WindowPlain(const float* ring, int32_t r, const float* bySlot, int16_t* dest) {
    float y[16] = {}, m[16] = {};
    for (int k = 0; k < 16; ++k) {
        const float* row = RingRow(ring, r + k);
        const float* a = row + ((k & 1) ? kRowQ : kRowP);
        const float* b = row + ((k & 1) ? kRowQm : kRowP);
        const float* c = bySlot + 32 * k;
        for (int j = 0; j < 16; ++j) {
            y[j] += c[j] * a[j];
            m[j] += c[16 + j] * b[j];
        }
    }
    for (int j = 0; j < 16; ++j) dest[j * Stride] = RoundAndClip(y[j]);
    dest[16 * Stride] = RoundAndClip(m[0]);
    for (int j = 1; j < 16; ++j) dest[(32 - j) * Stride] = RoundAndClip(m[j]);
}

template <int Stride>
void SynthesizePlain(TSynthesis& synth, int32_t channel, const float* in, int32_t rowStride, int32_t valueStride,
                     int32_t count, const TEqualizerTables& eq, int16_t* dest) {
    if (Stride == 2) dest += channel;
    for (int32_t t = 0; t < count; ++t) {
        float x[32];
        SynthesizeSlot(in + t * rowStride, valueStride, eq, x);
        const int32_t r = synth.newest[channel] = (synth.newest[channel] - 1) & (kRingRows - 1);
        StoreRow(RingRow(synth.ring[channel], r), x);
        WindowPlain<Stride>(synth.ring[channel], r, synth.window + TSynthesis::kWindowBySlot, dest + 32 * Stride * t);
    }
}

}  // namespace

const float* SynthesisCosines() {
    static const CosineTable table;
    return table.c;
}

namespace {

// The window from the standard's table, times `factor` (-1 for inverted polarity, times the
// output gain): each coefficient is rounded once, and a factor of 1 or -1 is exact.
void BuildWindow(TSynthesis& synth, float factor) {
    float* w = synth.window;
    for (int j = 0; j < 16; ++j)
        for (int k = 0; k < 16; ++k)
            w[16 * j + k] = static_cast<float>(tables::kSynthesisWindowK[j + 32 * k]) / 65536.0f * factor;
    for (int m = 0; m < 8; ++m) w[256 + m] = -static_cast<float>(tables::kSynthesisWindowK[48 + 64 * m]) / 65536.0f * factor;
    for (int i = 264; i < TSynthesis::kWindowBySlot; ++i) w[i] = 0.0f;
    // By ring slot k: outputs 0..15 take row j's tap k, subtracted in odd slots (which hold
    // X[16 - j] where the standard's vector has -X[16 - j]); outputs 32 - j take row j's tap
    // 15 - k; output 16 takes the last row's tap in odd slots and nothing from even ones.
    float* bySlot = w + TSynthesis::kWindowBySlot;
    for (int k = 0; k < 16; ++k) {
        for (int j = 0; j < 16; ++j) bySlot[32 * k + j] = ((k & 1) ? -1.0f : 1.0f) * w[16 * j + k];
        bySlot[32 * k + 16] = (k & 1) ? w[256 + k / 2] : 0.0f;
        for (int j = 1; j < 16; ++j) bySlot[32 * k + 16 + j] = w[16 * j + 15 - k];
    }
}

void RebuildWindow(TSynthesis& synth) { BuildWindow(synth, synth.inverted ? -synth.gain : synth.gain); }

}  // namespace

void SynthesisInit(TSynthesis& synth) {
    synth.inverted = false;
    synth.gain = 1.0f;
    RebuildWindow(synth);
    SynthesisReset(synth);
}

void SynthesisReset(TSynthesis& synth) {
    SynthesisCosines();
    std::memset(synth.ring, 0, sizeof synth.ring);
    synth.newest[0] = synth.newest[1] = 0;
}

void SetPolarity(TSynthesis& synth, bool inverted) {
    if (synth.inverted == inverted) return;
    synth.inverted = inverted;
    RebuildWindow(synth);
}

void SetOutputGain(TSynthesis& synth, float gain) {
    gain = gain == gain ? std::clamp(gain, 0.0f, kMaxOutputGain) : 1.0f;
    if (synth.gain == gain) return;
    synth.gain = gain;
    RebuildWindow(synth);
}

void SynthesizeSlot(const float* s, int32_t stride, const TEqualizerTables& eq, float* x) {
    float v[32];
    if (eq.SubbandEqualizerOn)
        for (int k = 0; k < 32; ++k) v[k] = s[k * stride] * eq.SubbandGains[static_cast<size_t>(k)];
    else
        for (int k = 0; k < 32; ++k) v[k] = s[k * stride];
    FastDct<float, 32>(v, x, SynthesisCosines());
}

void SynthesizeMonoPlain(TSynthesis& synth, int32_t channel, const float* in, int32_t rowStride, int32_t valueStride,
                         int32_t count, const TEqualizerTables& eq, int16_t* dest) {
    SynthesizePlain<1>(synth, channel, in, rowStride, valueStride, count, eq, dest);
}

void SynthesizeStereoChannelPlain(TSynthesis& synth, int32_t channel, const float* in, int32_t rowStride,
                                  int32_t valueStride, int32_t count, const TEqualizerTables& eq, int16_t* dest) {
    SynthesizePlain<2>(synth, channel, in, rowStride, valueStride, count, eq, dest);
}

void SynthesizeRows(TSynthesis& synth, const TRoutineSlots& slots, const TEqualizerTables& eq,
                    const float* rows, int32_t rowCount, int32_t channels, int16_t* dest) {
    // The two channels of a row advance together.
    if (channels == 1) {
        slots.writeMono(synth, 0, rows, 64, 1, rowCount, eq, dest);
    } else {
        slots.writeStereoChannel(synth, 0, rows, 64, 2, rowCount, eq, dest);
        slots.writeStereoChannel(synth, 1, rows + 1, 64, 2, rowCount, eq, dest);
    }
}

void SynthesizeGranule(TSynthesis& synth, const TRoutineSlots& slots, const TEqualizerTables& eq,
                       const float* block, int32_t channel, int32_t channels, int16_t* dest) {
    if (channels == 1)
        slots.writeMono(synth, channel, block, 32, 1, 18, eq, dest);
    else
        slots.writeStereoChannel(synth, channel, block, 32, 1, 18, eq, dest);
}

}  // namespace zentu
