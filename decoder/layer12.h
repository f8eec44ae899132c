// Layer I and Layer II: set-up and frame routines.
#pragma once

#include <cstdint>

#include "decoder/mpeg_decoder.h"

namespace zentu {

struct DecoderState;

// Per-stream Layer I/II state prepared by the set-up.
struct Layer12State {
    int32_t codedEntries = 0;   // entries with an allocation (x2 in two-channel modes); Layer II: the first frame's
    int32_t channels = 1;       // channels in the stream
    int32_t subbands = 32;      // subbands decoded at most (the frequency limit's)
    int32_t activeEntries = 0;  // Layer II: entries at and above this are zero in every time slot
};

// The layer-specific step of the set-up; false when the stream cannot be decoded.
bool SetupLayer1(DecoderState& s);
bool SetupLayer2(DecoderState& s);

DecodeResult DecodeLayer1Frame(DecoderState& s, const uint8_t* frame, int32_t available, uint8_t* pcm);
DecodeResult DecodeLayer2Frame(DecoderState& s, const uint8_t* frame, int32_t available, uint8_t* pcm);

}  // namespace zentu
