// Layer III: set-up, frame routine (side information, bit reservoir, granule decoding) and
// the per-stream state they keep, with the stages a granule passes through on its way to
// the hybrid filter bank.
#pragma once

#include <cstdint>

#include "decoder/bit_reader.h"
#include "decoder/mpeg_decoder.h"

namespace zentu {

struct DecoderState;

// Side information of one granule and channel, in bitstream order.
struct GranuleInfo {
    int32_t part23Length = 0;
    int32_t bigValues = 0;
    int32_t globalGain = 0;  // with the gain offsets already applied (-2 for mid/side)
    int32_t scalefacCompress = 0;
    int32_t windowSwitching = 0;
    int32_t blockType = 0;
    int32_t mixedBlock = 0;
    int32_t tableSelect[3] = {};
    int32_t subblockGain[3] = {};
    int32_t region0Count = 0;
    int32_t region1Count = 0;
    int32_t preflag = 0;
    int32_t scalefacScale = 0;
    int32_t count1TableSelect = 0;
};

// Long bands 0-21 and short bands 0-12 of three windows; the last band of each is never
// transmitted and stays 0.
struct ScaleFactors {
    int32_t l[22] = {};
    int32_t s[3][13] = {};
};

// Low-sampling-frequency intensity stereo: how the second channel's scale factors were laid
// out (the positions' group sizes depend on it).
struct IntensityLayout {
    int32_t bandCount[3] = {};
    int32_t slen[3] = {};
    int32_t intensityScale = 0;
};

// What requantisation found per granule and channel, for the stereo stages.
struct BandLimits {
    int32_t hasShort = 0;
    int32_t lastBand = 0;
    int32_t firstShortBand = 12;
    int32_t longBands = 22;
    int32_t lastShortBand[3] = {};
};

// The reservoir keeps 8192 bytes of main data across frames.
inline constexpr int32_t kReservoirSize = 8192;

struct Layer3State {
    // Per stream, from the set-up.
    int32_t version = 1;  // 0 MPEG-2, 1 MPEG-1, 2 MPEG-2.5
    bool lsf = false;     // one granule per frame (MPEG-2, MPEG-2.5)
    int32_t longStart[23] = {};
    int32_t shortStart[14] = {};
    int32_t switchBand = 8;      // long bands of a mixed block
    int32_t mixedLongLines = 36;  // lines of the long part of a mixed block
    int32_t maxLines = 576;      // lines decoded at all
    int32_t longCap = 576;
    int32_t shortCap = 576;
    int32_t activeLimit = 32;  // subbands handed to the synthesis
    int32_t gainOffset = 0;
    int32_t slot = 0;  // granule slot of the next one-granule frame
    bool heard = false;   // a frame was decoded since the set-up or the last silence
    bool warmUp = false;  // the next granule decoded follows silence (see Silenced)

    // Per frame.
    int32_t channels = 2;
    bool msStereo = false;
    bool intensityStereo = false;
    int32_t modeExtension = 0;
    int32_t scfsi[2] = {};
    GranuleInfo gi[2][2];  // [granule][channel]
    ScaleFactors sf[2];    // per channel; granule 1 may copy granule 0's groups
    IntensityLayout intensity;
    BandLimits limits[2];
    int32_t nonzero[2] = {};  // lines that may be nonzero, per channel of the granule
    int32_t overlapCount[2][2] = {};  // [granule slot][channel]: overlap lines that may be nonzero

    // The bit reservoir.
    int32_t fill = 0;
    alignas(64) uint8_t reservoir[kReservoirSize + 8];

    // Quantised lines of the granule (4 spare places for a count-1 quadruple at the end).
    alignas(64) int32_t quant[2][580];
    // Frequency lines: [channel][granule slot]; after the hybrid step each holds the overlap
    // for the other slot.
    alignas(64) float lines[2][2][576];
    alignas(64) float block[576];  // hybrid output: value (t, s) at 32t + s
};

// The layer-specific step of the set-up; false when the stream cannot be decoded.
bool SetupLayer3(DecoderState& s);
DecodeResult DecodeLayer3Frame(DecoderState& s, const uint8_t* frame, int32_t available, uint8_t* pcm);

// The last codeword of a channel may be read a few bits past its data before the decoder
// notices; past this slack (in bits) the channel counts as overrun and is silenced.
inline constexpr int64_t kOverrunSlack = 24;

// The stages of one granule and channel. The reader stands at the channel's main data.
void ReadScaleFactorsMpeg1(TBitReader& br, const GranuleInfo& gi, int32_t granule, int32_t scfsi,
                           ScaleFactors& sf);
void ReadScaleFactorsLsf(TBitReader& br, GranuleInfo& gi, bool intensitySecond, ScaleFactors& sf,
                         IntensityLayout& layout);
// Huffman data into quant[0 .. 575] (dataEnd: the reader's bit count where the channel's
// data ends); returns the count of lines that may be nonzero.
int32_t DecodeHuffman(TBitReader& br, const GranuleInfo& gi, const Layer3State& l3, int64_t dataEnd,
                      int32_t* quant);
// Quantised lines to floats (short blocks reordered window-interleaved); returns the new count.
int32_t Requantize(const Layer3State& l3, const GranuleInfo& gi, const ScaleFactors& sf, const int32_t* quant,
                   int32_t count, float* out, BandLimits& limits);
// Mid/side and intensity stereo on the two channels of a granule (counts updated).
void StereoProcess(Layer3State& l3, int32_t granule, float* left, float* right);
// Negates the odd time slots of the odd subbands below count (a multiple of 18).
void FrequencyInversion(float* block, int32_t count);

// Added to a start or stop block type (1, 3) whose mixed-block flag is set: its first two
// subbands take the normal window, as in a mixed short block.
inline constexpr int32_t kMixedLongHead = 4;

// The plain alias reduction, hybrid filter bank and IMDCT kernels (routine slots).
void AliasReductionPlain(float* lines, int32_t boundaries);
int32_t HybridChannelPlain(float* lines, const float* overlap, float* out, int32_t blockType,
                           int32_t longLimit, int32_t lineCount, int32_t previousCount, int32_t activeLimit);
void ImdctLongPlain(float* values);
void ImdctShortPlain(float* values);

// Gain tables shared by the Layer III stages, built once.
struct Layer3Tables {
    float gain[262];            // globalGain -6 .. 255: 2^((g - 150) / 4)
    float multiplier[2][4][32];  // [scalefacScale][pretab][sf]
    float subblockGain[8];
    // sign(x) |x|^(4/3) for x = -8206 .. 8206 (the largest escape value), centred at
    // kPowOffset so that requantisation needs no sign handling
    static constexpr int32_t kPowOffset = 8206;
    float pow43[2 * kPowOffset + 1];
    float cs[8], ca[8];  // alias-reduction butterflies
    float isRatio[2][8][2];              // MPEG-1 [mid/side][position][left, right]
    float isRatioLsf[2][2][63][2];       // [intensity scale][mid/side][pair][left, right]
    float window[4][36];                 // long windows by block type, signs folded in
    float shortWindow[12];
    float imdctLong[18][18];   // [input k][output j]
    float imdctShort[6][6];    // [input k][output j]
};
const Layer3Tables& L3Tables();

}  // namespace zentu
