// Polyphase synthesis: 32 subband samples of one channel per step become 32 PCM samples,
// through a 32-point fast cosine transform into a 16-slot history ring, the folded 264-tap
// window and rounding to nearest (ties to even) with clipping.
#pragma once

#include <array>
#include <cstdint>

#include "decoder/dispatch.h"
#include "decoder/equalizer.h"

namespace zentu {

struct TSynthesis {
    alignas(64) float ring[2][512];
    int32_t offset[2];  // a multiple of 32 in 0..480: where the newest vector lies
    // The folded window: rows j = 0..15 hold D[j + 32k] (k = 0..15), a last row of 8 holds
    // -D[48 + 64m]. From kWindowByTap on, the same coefficients laid out per ring slot for the
    // vector writers (kWindowByTap + 32k + j: output j's coefficient for slot k, signs folded
    // in; + 16 + i: output 17 + i's). Writers receive `window`; polarity inversion negates
    // all of it in place.
    static constexpr int kWindowByTap = 272;
    alignas(64) float window[kWindowByTap + 512];
    bool inverted;
};

// Zeroes rings and offsets; the window and its polarity persist.
void SynthesisReset(TSynthesis& synth);
// Builds the window of a new decoder (not inverted).
void SynthesisInit(TSynthesis& synth);
void SetPolarity(TSynthesis& synth, bool inverted);

// Matrixes 32 subband values (s[0], s[stride], ...) into ring slot `slot` (32 floats),
// applying the subband equalizer when it is on.
void SynthesizeSlot(const float* s, int32_t stride, const TEqualizerTables& eq, float* slot);

// The plain writers and the AVX2 ones (variants/avx2.cpp).
void WriteMonoPlain(const float* ring, int32_t offset, const float* window, int16_t* dest);
void WriteStereoChannelPlain(const float* ring, int32_t offset, const float* window, int16_t* dest);
void WriteMonoAvx2(const float* ring, int32_t offset, const float* window, int16_t* dest);
void WriteStereoChannelAvx2(const float* ring, int32_t offset, const float* window, int16_t* dest);

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
