// MPEG audio decoding (MPEG-1, MPEG-2, MPEG-2.5; Layers I, II and III) to 16-bit PCM:
// frame headers and the first-frame search, and the decoder with its per-stream set-up and
// per-frame entry. The decoder never throws: it reports through its results.
#pragma once

#include <cstdint>
#include <memory>

namespace zentu {

// The thirteen fields of a frame header, in header order.
struct FrameHeader {
    int32_t syncKind = 0;       // 1: 0xFFF sync (MPEG-1/2), 2: 0xFFE (MPEG-2.5), 0: no sync
    int32_t versionBit = 0;     // 1 MPEG-1, 0 MPEG-2 (syncKind 1) or MPEG-2.5 (syncKind 2)
    int32_t layerCode = 0;      // 3 Layer I, 2 Layer II, 1 Layer III, 0 reserved
    int32_t protectionBit = 0;  // 0: a 16-bit CRC follows the header
    int32_t bitrateIndex = 0;   // 0 free format, 15 invalid
    int32_t sampleRateIndex = 0;
    int32_t paddingBit = 0;
    int32_t privateBit = 0;
    int32_t mode = 0;  // 0 stereo, 1 joint stereo, 2 dual channel, 3 single channel
    int32_t modeExtension = 0;
    int32_t rightsBit = 0;
    int32_t originalBit = 0;
    int32_t emphasis = 0;
};

// Two headers belong to the same stream when their four bytes, read as a little-endian
// 32-bit value, agree under this mask (sync, version, layer, sample rate).
inline constexpr uint32_t kSameStreamMask = 0x000CFEFF;

// The padding slot of a layer code: 4 bytes for Layer I, 1 byte otherwise.
constexpr int32_t PaddingSlot(int32_t layerCode) { return layerCode == 3 ? 4 : 1; }

// What a header's fields decide, in this one place for the decoder, the frame walk, the
// frame index and the seek. The header's fields must lie in the ranges of their bits.
// The sample rate in Hz; 0 for the reserved sample-rate index.
int32_t SampleRateOf(const FrameHeader& header);
// Samples per channel in a frame: 384 (Layer I), 1152, or 576 (Layer III of MPEG-2 and 2.5).
int32_t SamplesPerFrameOf(const FrameHeader& header);
// The bytes of Layer III side information after the header (and its CRC): 17 or 32 in
// MPEG-1 (one channel, two), 9 or 17 in MPEG-2 and 2.5.
int32_t SideInfoLength(const FrameHeader& header);
// The frame length its bit rate declares, without the padding slot: > 0 a frame; 0 for free
// format, a bit-rate index of 15 or a reserved layer; < 0 for the reserved sample rate.
int32_t DeclaredFrameLength(const FrameHeader& header);

// Parses the four bytes at `bytes` and returns the frame length without the padding slot:
// > 0 a frame; 0 no sync, reserved layer, bit-rate index 15 or an unmeasurable free-format
// frame; < 0 a reserved sample rate. windowLength (capped at 10000) is the number of bytes
// readable from `bytes`; it only serves the free-format measurement, which reads nothing
// outside it. With a window below 4 only the four header bytes are read.
int32_t ParseFrameHeader(const uint8_t* bytes, int32_t windowLength, FrameHeader& header);
// As ParseFrameHeader, and sets bitrate (bit/s; 0 on failure).
int32_t ParseFrameHeaderWithBitrate(const uint8_t* bytes, int32_t windowLength, FrameHeader& header,
                                    int32_t& bitrate);
// Parses the first sync candidate (0xFF followed by 0xFx or 0xEx) in bytes[0 .. length-1],
// storing its position in offset. Returns 0 (offset untouched) when there is none.
int32_t FindFirstFrame(const uint8_t* bytes, int32_t length, FrameHeader& header, int32_t& bitrate,
                       int32_t& offset);

// The decoder's PCM output.
struct DecodedFormat {
    int32_t channels = 0;
    int32_t samplesPerFrame = 0;  // over all channels
    int32_t sampleRate = 0;
    int32_t bitsPerSample = 0;
    int32_t frameLength = 0;  // the base length given to the set-up
    int32_t reserved = 0;
};

// (bytes consumed, PCM bytes produced); (0, 0) for a frame that could not be decoded.
struct DecodeResult {
    int32_t consumed = 0;
    int32_t produced = 0;
};

// The largest PCM block one frame produces: 1152 sample frames of two 16-bit channels.
inline constexpr int32_t kMaxPcmBytesPerFrame = 4608;

struct DecoderState;
struct TRoutineSlots;
struct TEqualizerTables;

// One decoder with its whole state: one stream at a time, frame after frame.
class TMpegDecoder {
public:
    TMpegDecoder();
    ~TMpegDecoder();
    TMpegDecoder(const TMpegDecoder&) = delete;
    TMpegDecoder& operator=(const TMpegDecoder&) = delete;

    // Prepares for the stream of `header`; returns 1 on success, 0 when it cannot be decoded:
    // a header field outside its range, the reserved version, MPEG-2.5 Layer I or II, a
    // Layer II bit rate that the mode does not allow. Only 16-bit output of the stream's
    // channels at the full rate is produced, so rateShift (clamped to 0..2) must come out 0,
    // outputFlags bit 3 (8-bit) must be clear and its channel selection (bits 1-0) 0 for a
    // two-channel stream; other requests are refused. After a refusal GetDecodedFormat is
    // all zero and DecodeFrame decodes nothing.
    int32_t Open(const FrameHeader& header, int32_t baseLength, int32_t rateShift, int32_t unused,
                 uint8_t outputFlags, int32_t frequencyLimit);
    DecodedFormat GetDecodedFormat() const;
    // Decodes the frame at `frame` (starting at its sync word; `available` bytes may be read)
    // into pcm (at least kMaxPcmBytesPerFrame bytes). Never reads outside the given bytes.
    // A frame cut short (fewer bytes given than its header declares) is not decoded.
    DecodeResult DecodeFrame(const uint8_t* frame, int32_t available, uint8_t* pcm);
    // The frames that follow do not continue the ones before (bytes were skipped to find
    // them): the Layer III main data kept so far is no longer theirs, so a frame whose main
    // data begins before the next one comes out as silence.
    void InvalidateReservoir();

    // Polarity inversion of the synthesis window; takes effect from the next frame.
    void SetInvertPolarity(bool on);
    bool GetInvertPolarity() const;
    // A linear factor on every output sample, applied before rounding (ReplayGain); it stays
    // over set-ups until changed and takes effect from the next frame. 1 leaves the output
    // bit-exact; NaN counts as 1, and the factor is held within 0..1e6.
    void SetOutputGain(float gain);
    float OutputGain() const;

    // The equalizer factors and switches, written directly by the player.
    TEqualizerTables& Equalizer();
    // The processor-specific routines this decoder calls; filled by DispatchRoutines.
    TRoutineSlots& Routines();

private:
    std::unique_ptr<DecoderState> state_;
};

// The process-wide decoder, for callers that want the module-level interface.
TMpegDecoder& DefaultDecoder();
int32_t OpenDecoder(const FrameHeader& header, int32_t baseLength, int32_t rateShift, int32_t unused,
                    uint8_t outputFlags, int32_t frequencyLimit);
DecodedFormat GetDecodedFormat();
DecodeResult DecodeFrame(const uint8_t* frame, int32_t available, uint8_t* pcm);
void SetInvertPolarity(bool on);
bool GetInvertPolarity();

}  // namespace zentu
