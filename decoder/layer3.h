// Layer III: set-up, frame routine (side information, bit reservoir, granule decoding) and
// the per-stream state they keep.
#pragma once

#include <cstdint>

#include "decoder/mpeg_decoder.h"

namespace zentu {

struct DecoderState;

struct Layer3State {
    // filled in by the Layer III decoder
};

// The layer-specific step of the set-up; false when the stream cannot be decoded.
bool SetupLayer3(DecoderState& s);
DecodeResult DecodeLayer3Frame(DecoderState& s, const uint8_t* frame, int32_t available, uint8_t* pcm);

// The plain alias reduction, hybrid filter bank and IMDCT kernels (routine slots).
void AliasReductionPlain(float* lines, int32_t boundaries);
int32_t HybridChannelPlain(float* lines, const float* overlap, float* out, int32_t blockType,
                           int32_t longLimit, int32_t lineCount, int32_t previousCount, int32_t activeLimit);
void ImdctLongPlain(float* values);
void ImdctShortPlain(float* values);

}  // namespace zentu
