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

int32_t TMpegDecoder::Open(const FrameHeader& header, int32_t baseLength, int32_t rateShift, int32_t,
                           uint8_t outputFlags, int32_t frequencyLimit) {
    DecoderState& s = *state_;
    s.frameRoutine = nullptr;
    s.header = header;
    s.baseLength = baseLength;

    rateShift = std::clamp(rateShift, 0, 2);
    frequencyLimit = std::max(frequencyLimit, 1000);
    if (header.sampleRateIndex < 0 || header.sampleRateIndex > 2) return 0;
    if (header.versionBit < 0 || header.versionBit > 1) return 0;

    static constexpr int32_t kRates[2][3] = {{22050, 24000, 16000}, {44100, 48000, 32000}};
    int32_t sr = kRates[header.versionBit][header.sampleRateIndex];
    const bool layer3 = header.layerCode == 1;
    if (layer3 && header.syncKind == 2) sr /= 2;
    s.sampleRate = sr;
    s.channels = header.mode == 3 ? 1 : 2;

    // Subbands to decode: the frequency limit in subbands of width sr / 64, rounded. With
    // rate shift 0 the whole band is decoded (all 32 subbands); shifts 1 and 2 keep 15 and 8.
    int32_t limit = (frequencyLimit * 64 + sr / 2) / sr;
    const int32_t cap = rateShift == 0 ? 32 : ((32 >> rateShift) > 8 ? (32 >> rateShift) - 1 : (32 >> rateShift));
    s.subbandLimit = std::min(limit, cap);

    bool ok;
    int32_t sampleFrames;
    switch (header.layerCode) {
        case 3:
            ok = SetupLayer1(s);
            s.frameRoutine = DecodeLayer1Frame;
            sampleFrames = 384;
            break;
        case 1:
            ok = SetupLayer3(s);
            s.frameRoutine = DecodeLayer3Frame;
            sampleFrames = header.versionBit == 1 ? 1152 : 576;
            break;
        default:  // Layer II, and the reserved layer code
            ok = SetupLayer2(s);
            s.frameRoutine = DecodeLayer2Frame;
            sampleFrames = 1152;
            break;
    }
    if (!ok) {
        s.frameRoutine = nullptr;
        return 0;
    }

    const int32_t channelSelect = outputFlags & 3;
    const int32_t outChannels = (s.channels == 1 || channelSelect != 0) ? 1 : 2;
    const int32_t bits = (outputFlags & 8) ? 8 : 16;
    s.format.channels = outChannels;
    s.format.samplesPerFrame = (sampleFrames >> rateShift) * outChannels;
    s.format.sampleRate = sr >> rateShift;
    s.format.bitsPerSample = bits;
    s.format.frameLength = baseLength;
    s.format.reserved = 0;
    // What the frame routines write: full-rate 16-bit samples of the stream's channels.
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

void TMpegDecoder::SetInvertPolarity(bool on) { SetPolarity(state_->synth, on); }
bool TMpegDecoder::GetInvertPolarity() const { return state_->synth.inverted; }
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
