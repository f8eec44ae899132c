// Polyphase synthesis: 32 subband samples of one channel per step become 32 PCM samples,
// through a 32-point fast cosine transform into a history ring, the folded 512-tap window and
// rounding to nearest (ties to even) with clipping.
#pragma once

#include <array>
#include <cstdint>

#include "decoder/dispatch.h"
#include "decoder/equalizer.h"

namespace zentu {

// The history ring keeps, per step, the transform output X[0..31] in the order the window
// sums read it. Matrixing makes the standard's 64-value vector V symmetric: V[j] = X[16 + j]
// and V[32 - j] = -X[16 + j] (even ring slots), V[32 + j] = -X[16 - j] and V[64 - j] =
// -X[16 - j] (odd slots), V[16] = 0 and V[48] = -X[0]. So outputs j and 32 - j read the same
// value of each slot, and one row serves both halves of the output with forward loads only:
//   [kRowP + j]  = X[16 + j], j = 0..15       what even slots contribute
//   [kRowQ + j]  = X[16 - j], j = 0..15       what odd slots contribute to outputs 0..15
//   [kRowQm + j] = the same, but X[0] at j = 0 what odd slots contribute to outputs 16..31
// The signs live in the window. Each step writes one row; the step k steps back lies k rows
// above the newest, counted modulo the 32 rows (a batch of up to 16 new steps plus the 15 older
// ones their sums read fit in them).
inline constexpr int32_t kRowP = 0, kRowQ = 16, kRowQm = 32, kRowFloats = 48;
inline constexpr int32_t kRingRows = 32;

// Row r (any integer, taken modulo kRingRows) of a channel's ring.
inline float* RingRow(float* ring, int32_t r) { return ring + (r & (kRingRows - 1)) * kRowFloats; }
inline const float* RingRow(const float* ring, int32_t r) { return ring + (r & (kRingRows - 1)) * kRowFloats; }

struct TSynthesis {
    alignas(64) float ring[2][kRingRows * kRowFloats];
    int32_t newest[2];  // the row of each channel's newest step, 0..31
    // The folded window: rows j = 0..15 hold D[j + 32k] (k = 0..15), a last row of 8 holds
    // -D[48 + 64m]. From kWindowBySlot on, the same coefficients by ring slot k (the step k
    // steps back): [32k + j] weighs row value j for output j (j = 0..15), [32k + 16 + j] for
    // output 32 - j (j = 1..15) and [32k + 16] for output 16, signs folded in. Polarity
    // inversion and the output gain are folded into all of it (see SetOutputGain).
    static constexpr int kWindowBySlot = 272;
    alignas(64) float window[kWindowBySlot + 512];
    bool inverted;
    float gain;
};

// Zeroes rings and positions; the window and its polarity persist.
void SynthesisReset(TSynthesis& synth);
// Builds the window of a new decoder (not inverted, gain 1).
void SynthesisInit(TSynthesis& synth);
void SetPolarity(TSynthesis& synth, bool inverted);
// Scales every output sample by `gain` before it is rounded: the factor is folded into the
// window, so that a gain costs nothing per sample and gain 1 leaves the output bit-exact.
// NaN counts as 1; the factor is held within 0..kMaxOutputGain.
inline constexpr float kMaxOutputGain = 1e6f;
void SetOutputGain(TSynthesis& synth, float gain);

// The 32-point fast cosine transform of 32 subband values (s[0], s[stride], ...) into x[0..31],
// applying the subband equalizer when it is on.
void SynthesizeSlot(const float* s, int32_t stride, const TEqualizerTables& eq, float* x);

// The synthesis routines of the slots (SynthesisFn): the plain ones here, the vector ones in
// variants/.
void SynthesizeMonoPlain(TSynthesis& synth, int32_t channel, const float* in, int32_t rowStride,
                         int32_t valueStride, int32_t count, const TEqualizerTables& eq, int16_t* dest);
void SynthesizeStereoChannelPlain(TSynthesis& synth, int32_t channel, const float* in, int32_t rowStride,
                                  int32_t valueStride, int32_t count, const TEqualizerTables& eq, int16_t* dest);

// Layer I/II rows (64 floats each: subband s, channel c at 2s + c, or subband s alone in a
// single-channel stream) to PCM; `channels` is 1 or 2.
void SynthesizeRows(TSynthesis& synth, const TRoutineSlots& slots, const TEqualizerTables& eq,
                    const float* rows, int32_t rowCount, int32_t channels, int16_t* dest);
// One Layer III channel: 18 time slots of 32 subband values (value (t, s) at 32t + s) to 576
// samples, consecutive (channels 1) or into channel `channel` of an interleaved block.
void SynthesizeGranule(TSynthesis& synth, const TRoutineSlots& slots, const TEqualizerTables& eq,
                       const float* block, int32_t channel, int32_t channels, int16_t* dest);

// Rounds to nearest (ties to even) and clips to the 16-bit range.
inline int16_t RoundAndClip(float y) {
    if (y >= 32767.0f) return 32767;
    if (y <= -32768.0f) return -32768;
    return static_cast<int16_t>(__builtin_lrintf(y));
}

}  // namespace zentu
