// The decoder's set-up and per-frame entry, and the module-level instance.
#include <algorithm>
#include <cstring>

#include "decoder/decoder_state.h"

namespace zentu {

TMpegDecoder::TMpegDecoder() : state_(std::make_unique<DecoderState>()) {
    DecoderState& s = *state_;
    std::memset(s.samples, 0, sizeof s.samples);
    SynthesisInit(s.synth);
    // Decoding never starts with empty slots: the plain routines until a dispatch.
    FillSlotsPlain(s.slots);
}

TMpegDecoder::~TMpegDecoder() = default;

namespace {

// Whether every field of the header lies in the range of its bits (the set-up indexes tables
// with them, and a header may be built by hand) and describes a stream that can be decoded:
// not the reserved version (sync 0xFFE with the version bit set), no MPEG-2.5 Layer I or II
// (which no standard defines), no invalid bit-rate index or reserved sample rate.
bool DecodableHeader(const FrameHeader& h) {
    auto in = [](int32_t v, int32_t lo, int32_t hi) { return v >= lo && v <= hi; };
    if (!in(h.syncKind, 1, 2) || !in(h.versionBit, 0, 1) || !in(h.layerCode, 0, 3) || !in(h.protectionBit, 0, 1) ||
        !in(h.bitrateIndex, 0, 14) || !in(h.sampleRateIndex, 0, 2) || !in(h.paddingBit, 0, 1) ||
        !in(h.privateBit, 0, 1) || !in(h.mode, 0, 3) || !in(h.modeExtension, 0, 3) || !in(h.rightsBit, 0, 1) ||
        !in(h.originalBit, 0, 1) || !in(h.emphasis, 0, 3))
        return false;
    if (h.syncKind == 2 && (h.versionBit == 1 || h.layerCode != 1)) return false;
    return true;
}

}  // namespace

int32_t TMpegDecoder::Open(const FrameHeader& header, int32_t baseLength, int32_t rateShift, int32_t,
                           uint8_t outputFlags, int32_t frequencyLimit) {
    DecoderState& s = *state_;
    s.frameRoutine = nullptr;
    s.format = DecodedFormat{};  // what a failed set-up leaves: nothing is decoded
    s.header = header;
    s.baseLength = baseLength;

    rateShift = std::clamp(rateShift, 0, 2);  // values outside count as the nearest
    // Above the highest sample rate every limit means the whole band; capped so that the
    // arithmetic below cannot overflow.
    frequencyLimit = std::clamp(frequencyLimit, 1000, 1 << 20);
    if (!DecodableHeader(header)) return 0;
    if (header.bitrateIndex == 0 && baseLength <= 0) return 0;  // free format without its length
    // Only 16-bit samples of the stream's own channels at its own rate are produced: a set-up
    // asking for anything else is refused, so that GetDecodedFormat always describes what
    // DecodeFrame writes. A single-channel stream ignores the channel selection.
    const int32_t channels = header.mode == 3 ? 1 : 2;
    if (rateShift != 0 || (outputFlags & 8) != 0 || (channels == 2 && (outputFlags & 3) != 0)) return 0;

    const int32_t sr = SampleRateOf(header);
    s.sampleRate = sr;
    s.channels = channels;

    // Subbands to decode: the frequency limit in subbands of width sr / 64, rounded; at the
    // full rate the whole band can be decoded (all 32 subbands).
    s.subbandLimit = std::min((frequencyLimit * 64 + sr / 2) / sr, 32);

    bool ok;
    switch (header.layerCode) {
        case 3:
            ok = SetupLayer1(s);
            s.frameRoutine = DecodeLayer1Frame;
            break;
        case 1:
            ok = SetupLayer3(s);
            s.frameRoutine = DecodeLayer3Frame;
            break;
        default:  // Layer II, and the reserved layer code
            ok = SetupLayer2(s);
            s.frameRoutine = DecodeLayer2Frame;
            break;
    }
    const int32_t sampleFrames = SamplesPerFrameOf(header);
    if (!ok) {
        s.frameRoutine = nullptr;
        return 0;
    }

    s.format.channels = s.channels;
    s.format.samplesPerFrame = sampleFrames * s.channels;
    s.format.sampleRate = sr;
    s.format.bitsPerSample = 16;
    s.format.frameLength = baseLength;
    s.format.reserved = 0;
    s.pcmBytes = sampleFrames * s.channels * 2;

    std::memset(s.samples, 0, sizeof s.samples);
    SynthesisReset(s.synth);
    return 1;
}

DecodedFormat TMpegDecoder::GetDecodedFormat() const { return state_->format; }

DecodeResult TMpegDecoder::DecodeFrame(const uint8_t* frame, int32_t available, uint8_t* pcm) {
    DecoderState& s = *state_;
    if (s.frameRoutine == nullptr || frame == nullptr || available < 4) return {};
    return s.frameRoutine(s, frame, available, pcm);
}

void TMpegDecoder::InvalidateReservoir() { state_->l3.fill = 0; }

void TMpegDecoder::SetInvertPolarity(bool on) { SetPolarity(state_->synth, on); }
bool TMpegDecoder::GetInvertPolarity() const { return state_->synth.inverted; }
void TMpegDecoder::SetOutputGain(float gain) { zentu::SetOutputGain(state_->synth, gain); }
float TMpegDecoder::OutputGain() const { return state_->synth.gain; }
TEqualizerTables& TMpegDecoder::Equalizer() { return state_->eq; }
TRoutineSlots& TMpegDecoder::Routines() { return state_->slots; }

TMpegDecoder& DefaultDecoder() {
    static TMpegDecoder decoder;
    return decoder;
}

int32_t OpenDecoder(const FrameHeader& header, int32_t baseLength, int32_t rateShift, int32_t unused,
                    uint8_t outputFlags, int32_t frequencyLimit) {
    return DefaultDecoder().Open(header, baseLength, rateShift, unused, outputFlags, frequencyLimit);
}
DecodedFormat GetDecodedFormat() { return DefaultDecoder().GetDecodedFormat(); }
DecodeResult DecodeFrame(const uint8_t* frame, int32_t available, uint8_t* pcm) {
    return DefaultDecoder().DecodeFrame(frame, available, pcm);
}
void SetInvertPolarity(bool on) { DefaultDecoder().SetInvertPolarity(on); }
bool GetInvertPolarity() { return DefaultDecoder().GetInvertPolarity(); }

}  // namespace zentu
