#include "decoder/synth.h"

#include <cmath>
#include <cstring>

#include "decoder/tables/iso_tables.h"

namespace zentu {

namespace {

// 0.5 / cos(pi (2j + 1) / (4n)) for n = 16, 8, 4, 2, 1, level after level.
struct CosineTable {
    float c[31];
    CosineTable() {
        const double pi = 4.0 * std::atan(1.0);
        int k = 0;
        for (int n = 16; n >= 1; n >>= 1)
            for (int j = 0; j < n; ++j) c[k++] = static_cast<float>(0.5 / std::cos(pi * (2 * j + 1) / (4.0 * n)));
    }
};

const float* Cosines() {
    static const CosineTable table;
    return table.c;
}

// DCT-II of length N by the recursive even/odd split: x is overwritten, out receives the N
// values; cos points at this length's table level. The sizes are template arguments so
// that the whole 32-point transform unrolls.
template <int N>
inline void FastDct(float* x, float* out, const float* cos) {
    if constexpr (N == 2) {
        out[0] = x[0] + x[1];
        out[1] = (x[0] - x[1]) * cos[0];
    } else {
        constexpr int half = N / 2;
        float a[half], b[half];
        for (int j = 0; j < half; ++j) {
            a[j] = x[j] + x[N - 1 - j];
            b[j] = (x[j] - x[N - 1 - j]) * cos[j];
        }
        float ta[half], tb[half];
        FastDct<half>(a, ta, cos + half);
        FastDct<half>(b, tb, cos + half);
        for (int j = 0; j < half; ++j) out[2 * j] = ta[j];
        for (int j = 0; j < half - 1; ++j) out[2 * j + 1] = tb[j] + tb[j + 1];
        out[N - 1] = tb[half - 1];
    }
}

inline int Wrap(int i) { return i & 511; }

template <int Stride>
void WritePlain(const float* ring, int32_t off, const float* window, int16_t* dest) {
    // samples 0..15: row j, even taps from the first walker, odd taps (subtracted) from the
    // second
    for (int j = 0; j < 16; ++j) {
        const float* w = window + 16 * j;
        float y = 0.0f;
        for (int k = 0; k < 16; k += 2) {
            y += w[k] * ring[Wrap(off + 32 * k + 16 + j)];
            y -= w[k + 1] * ring[Wrap(off + 32 * (k + 1) + 16 - j)];
        }
        dest[j * Stride] = RoundAndClip(y);
    }
    {
        const float* w16 = window + 256;
        float y = 0.0f;
        for (int m = 0; m < 8; ++m) y += w16[m] * ring[Wrap(off + 32 + 64 * m)];
        dest[16 * Stride] = RoundAndClip(y);
    }
    // samples 16 + q: row 16 - q read backwards, both walkers add
    for (int q = 1; q < 16; ++q) {
        const float* w = window + 16 * (16 - q);
        float y = 0.0f;
        for (int k = 0; k < 16; k += 2) {
            y += w[15 - k] * ring[Wrap(off + 32 * k + 32 - q)];
            y += w[14 - k] * ring[Wrap(off + 32 * (k + 1) + q)];
        }
        dest[(16 + q) * Stride] = RoundAndClip(y);
    }
}

}  // namespace

void SynthesisInit(TSynthesis& synth) {
    for (int j = 0; j < 16; ++j)
        for (int k = 0; k < 16; ++k)
            synth.window[16 * j + k] = static_cast<float>(tables::kSynthesisWindowK[j + 32 * k]) / 65536.0f;
    for (int m = 0; m < 8; ++m)
        synth.window[256 + m] = -static_cast<float>(tables::kSynthesisWindowK[48 + 64 * m]) / 65536.0f;
    for (int i = 264; i < TSynthesis::kWindowByTap; ++i) synth.window[i] = 0.0f;
    // Per ring slot k: output j (0..15) takes row j's tap k (subtracted for odd k); output
    // 17 + i (i = 0..14) takes row 15 - i's tap 15 - k; lane 31 is unused.
    float* byTap = synth.window + TSynthesis::kWindowByTap;
    for (int k = 0; k < 16; ++k) {
        for (int j = 0; j < 16; ++j) byTap[32 * k + j] = (k & 1 ? -1.0f : 1.0f) * synth.window[16 * j + k];
        for (int i = 0; i < 15; ++i) byTap[32 * k + 16 + i] = synth.window[16 * (15 - i) + 15 - k];
        byTap[32 * k + 31] = 0.0f;
    }
    synth.inverted = false;
    SynthesisReset(synth);
}

void SynthesisReset(TSynthesis& synth) {
    Cosines();
    std::memset(synth.ring, 0, sizeof synth.ring);
    synth.offset[0] = synth.offset[1] = 0;
}

void SetPolarity(TSynthesis& synth, bool inverted) {
    if (synth.inverted == inverted) return;
    for (float& w : synth.window) w = -w;
    synth.inverted = inverted;
}

void SynthesizeSlot(const float* s, int32_t stride, const TEqualizerTables& eq, float* slot) {
    float x[32];
    if (eq.SubbandEqualizerOn)
        for (int k = 0; k < 32; ++k) x[k] = s[k * stride] * eq.SubbandGains[k];
    else
        for (int k = 0; k < 32; ++k) x[k] = s[k * stride];
    FastDct<32>(x, slot, Cosines());
}

void WriteMonoPlain(const float* ring, int32_t offset, const float* window, int16_t* dest) {
    WritePlain<1>(ring, offset, window, dest);
}

void WriteStereoChannelPlain(const float* ring, int32_t offset, const float* window, int16_t* dest) {
    WritePlain<2>(ring, offset, window, dest);
}

void SynthesizeRows(TSynthesis& synth, const TRoutineSlots& slots, const TEqualizerTables& eq,
                    const float* rows, int32_t rowCount, int32_t channels, int16_t* dest) {
    for (int32_t r = 0; r < rowCount; ++r) {
        const float* row = rows + 64 * r;
        const int32_t off = synth.offset[0];
        if (channels == 1) {
            SynthesizeSlot(row, 1, eq, synth.ring[0] + off);
            slots.writeMono(synth.ring[0], off, synth.window, dest);
            dest += 32;
        } else {
            SynthesizeSlot(row, 2, eq, synth.ring[0] + off);
            SynthesizeSlot(row + 1, 2, eq, synth.ring[1] + off);
            slots.writeStereoChannel(synth.ring[0], off, synth.window, dest);
            slots.writeStereoChannel(synth.ring[1], off, synth.window, dest + 1);
            dest += 64;
        }
        synth.offset[0] = synth.offset[1] = (off - 32) & 511;
    }
}

void SynthesizeGranule(TSynthesis& synth, const TRoutineSlots& slots, const TEqualizerTables& eq,
                       const float* block, int32_t channel, int32_t channels, int16_t* dest) {
    float* ring = synth.ring[channel];
    int32_t off = synth.offset[channel];
    const PcmWriterFn write = channels == 1 ? slots.writeMono : slots.writeStereoChannel;
    const int32_t step = 32 * channels;
    if (channels == 2) dest += channel;
    for (int t = 0; t < 18; ++t) {
        SynthesizeSlot(block + 32 * t, 1, eq, ring + off);
        write(ring, off, synth.window, dest);
        dest += step;
        off = (off - 32) & 511;
    }
    synth.offset[channel] = off;
}

}  // namespace zentu
