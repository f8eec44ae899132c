// The whole state of one decoder. Everything a frame needs lives here, allocated once, so
// that decoding a frame allocates nothing.
#pragma once

#include <cstdint>

#include "decoder/dispatch.h"
#include "decoder/equalizer.h"
#include "decoder/layer12.h"
#include "decoder/layer3.h"
#include "decoder/mpeg_decoder.h"
#include "decoder/synth.h"

namespace zentu {

using FrameRoutine = DecodeResult (*)(DecoderState& s, const uint8_t* frame, int32_t available,
                                      uint8_t* pcm);

struct DecoderState {
    FrameRoutine frameRoutine = nullptr;  // chosen by the set-up; nullptr until then
    FrameHeader header{};                 // the header given to the set-up
    DecodedFormat format{};
    int32_t baseLength = 0;    // frame length without padding, from the set-up
    int32_t subbandLimit = 0;  // subbands decoded (x2 for Layer I/II two-channel entries)
    int32_t sampleRate = 0;    // the stream's rate in Hz
    int32_t channels = 1;      // channels in the stream
    int32_t pcmBytes = 0;      // PCM bytes per frame

    // Layer I: 12 slots x 64 entries; Layer II: 36 x 64 (entry = subband x 2 + channel in
    // two-channel streams, subband alone otherwise).
    alignas(64) float samples[2304];

    TSynthesis synth;
    TEqualizerTables eq;
    TRoutineSlots slots;
    Layer12State l12;
    Layer3State l3;
};

}  // namespace zentu
