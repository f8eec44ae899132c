// Layer III set-up and frame routine: header and side information, the bit reservoir, and
// the granule loop frame -> granule -> channel -> PCM.
#include <algorithm>
#include <cstring>

#include "decoder/decoder_state.h"
#include "decoder/tables/iso_tables.h"

namespace zentu {

namespace {

void ReadGranuleInfo(TBitReader& br, const Layer3State& l3, GranuleInfo& gi) {
    gi.part23Length = static_cast<int32_t>(br.Read(12));
    gi.bigValues = static_cast<int32_t>(br.Read(9));
    gi.globalGain = static_cast<int32_t>(br.Read(8)) + l3.gainOffset - (l3.msStereo ? 2 : 0);
    gi.scalefacCompress = static_cast<int32_t>(br.Read(l3.lsf ? 9 : 4));
    gi.windowSwitching = static_cast<int32_t>(br.Read(1));
    if (gi.windowSwitching) {
        gi.blockType = static_cast<int32_t>(br.Read(2));
        gi.mixedBlock = static_cast<int32_t>(br.Read(1));
        gi.tableSelect[0] = static_cast<int32_t>(br.Read(5));
        gi.tableSelect[1] = static_cast<int32_t>(br.Read(5));
        gi.tableSelect[2] = 0;
        for (int32_t& g : gi.subblockGain) g = static_cast<int32_t>(br.Read(3));
        if (l3.lsf && gi.blockType == 2) {
            gi.region0Count = 5;
            gi.region1Count = 15;
        } else {
            gi.region0Count = 7;
            gi.region1Count = 13;
        }
    } else {
        gi.blockType = 0;
        gi.mixedBlock = 0;
        for (int32_t& t : gi.tableSelect) t = static_cast<int32_t>(br.Read(5));
        for (int32_t& g : gi.subblockGain) g = 0;
        gi.region0Count = static_cast<int32_t>(br.Read(4));
        gi.region1Count = static_cast<int32_t>(br.Read(3));
    }
    gi.preflag = l3.lsf ? 0 : static_cast<int32_t>(br.Read(1));
    gi.scalefacScale = static_cast<int32_t>(br.Read(1));
    gi.count1TableSelect = static_cast<int32_t>(br.Read(1));
}

// Runs the hybrid filter bank and the synthesis of one granule of every output channel.
void GranuleOutput(DecoderState& s, int32_t g, int32_t frameChannels, int16_t* dest) {
    Layer3State& l3 = s.l3;
    const int32_t outChannels = s.channels;
    const int32_t decoded = std::min(frameChannels, outChannels);
    for (int32_t c = 0; c < decoded; ++c) {
        const GranuleInfo& gi = l3.gi[l3.lsf ? 0 : g][c];
        const int32_t lineCount = std::min(l3.maxLines, l3.nonzero[c]);
        int32_t longLimit = lineCount;
        int32_t blockType = gi.blockType;
        if (blockType == 2)
            longLimit = gi.mixedBlock ? std::min(l3.maxLines, l3.mixedLongLines) : 0;
        else if (gi.mixedBlock && gi.windowSwitching)
            blockType |= kMixedLongHead;
        const int32_t count = s.slots.hybridChannel(l3.lines[c][g], l3.lines[c][1 - g], l3.block, blockType,
                                                    longLimit, lineCount, l3.overlapCount[1 - g][c],
                                                    l3.activeLimit);
        l3.overlapCount[g][c] = count;
        if (l3.warmUp) continue;
        FrequencyInversion(l3.block, count);
        SynthesizeGranule(s.synth, s.slots, s.eq, l3.block, c, outChannels, dest);
    }
    if (l3.warmUp) {
        // Without the overlap of the granule before, this one's aliasing is not cancelled:
        // it only gives the next one its overlap and is heard as silence.
        std::memset(dest, 0, static_cast<size_t>(576 * outChannels) * sizeof(int16_t));
        l3.warmUp = false;
        return;
    }
    // A single-channel frame in a two-channel stream plays on both channels; the second
    // channel's filter state waits untouched for the next two-channel frame.
    if (decoded < outChannels)
        for (int32_t i = 0; i < 576; ++i) dest[2 * i + 1] = dest[2 * i];
}

// Decodes granule g (granule slot g) of the frame from the reservoir at bit `bitPos`.
void DecodeGranule(DecoderState& s, int32_t g, int64_t& bitPos, int16_t* dest) {
    Layer3State& l3 = s.l3;
    const int32_t gr = l3.lsf ? 0 : g;
    TBitReader br;
    for (int32_t c = 0; c < l3.channels; ++c) {
        GranuleInfo& gi = l3.gi[gr][c];
        const int64_t start = bitPos;
        bitPos += gi.part23Length;
        br.ResetAtBit(l3.reservoir, l3.fill, start);
        if (l3.lsf)
            ReadScaleFactorsLsf(br, gi, c == 1 && l3.intensityStereo, l3.sf[c], l3.intensity);
        else
            ReadScaleFactorsMpeg1(br, gi, g, l3.scfsi[c], l3.sf[c]);
        l3.nonzero[c] = DecodeHuffman(br, gi, l3, start + gi.part23Length, l3.quant[c]);
    }
    for (int32_t c = 0; c < l3.channels; ++c)
        l3.nonzero[c] =
            Requantize(l3, l3.gi[gr][c], l3.sf[c], l3.quant[c], l3.nonzero[c], l3.lines[c][g], l3.limits[c]);
    if (l3.channels == 2 && l3.modeExtension != 0) StereoProcess(l3, gr, l3.lines[0][g], l3.lines[1][g]);
    for (int32_t c = 0; c < l3.channels; ++c) {
        float* lines = l3.lines[c][g];
        const GranuleInfo& gi = l3.gi[gr][c];
        int32_t n = l3.nonzero[c];
        if (l3.limits[c].longBands != 0) {
            const int32_t boundaries = (gi.blockType == 2 && gi.mixedBlock) ? 1 : std::min((n + 7) / 18, 31);
            if (boundaries > 0) {
                s.slots.aliasReduction(lines, boundaries);
                n = std::min(576, std::max(n, boundaries * 18 + 8));
            }
        }
        if (s.eq.LineEqualizerOn)
            for (int32_t i = 0; i < n; ++i) lines[i] *= s.eq.LineGains[static_cast<size_t>(i)];
        l3.nonzero[c] = n;
    }
    GranuleOutput(s, g, l3.channels, dest);
}

// A frame in the middle of the stream comes out as silence (refused, or without its main
// data): the filter bank starts afresh, and the first granule decoded after it only gives
// the next one its overlap, as its own aliasing is not cancelled without the granule
// before. At the stream's start the filter bank is at rest and that granule is played.
void Silenced(DecoderState& s) {
    Layer3State& l3 = s.l3;
    if (!l3.heard) return;
    std::memset(l3.lines, 0, sizeof l3.lines);
    std::memset(l3.overlapCount, 0, sizeof l3.overlapCount);
    SynthesisReset(s.synth);
    l3.warmUp = true;
    l3.heard = false;
}

}  // namespace

bool SetupLayer3(DecoderState& s) {
    Layer3State& l3 = s.l3;
    l3.fill = 0;
    const FrameHeader& h = s.header;
    if (h.layerCode != 1) return false;
    l3.version = h.versionBit == 1 ? 1 : (h.syncKind == 2 ? 2 : 0);
    l3.lsf = l3.version != 1;
    const tables::ScalefactorBands& bands =
        tables::kScalefactorBands[static_cast<size_t>(l3.version)][static_cast<size_t>(h.sampleRateIndex)];
    for (int i = 0; i < 23; ++i) l3.longStart[i] = bands.longStart[static_cast<size_t>(i)];
    for (int i = 0; i < 14; ++i) l3.shortStart[i] = bands.shortStart[static_cast<size_t>(i)];
    l3.switchBand = l3.lsf ? 6 : 8;
    l3.mixedLongLines = l3.longStart[l3.switchBand];

    // Every line is decoded when the whole band is (32 subbands); a reduced band keeps the
    // low-sampling-frequency caps below the last scale-factor band.
    const bool wholeBand = s.subbandLimit >= 32;
    l3.longCap = (!l3.lsf || wholeBand) ? 576 : l3.longStart[21];
    l3.shortCap = (!l3.lsf || wholeBand) ? 576 : l3.shortStart[12] * 3;
    l3.maxLines = std::min(l3.longCap + 8, std::max(s.subbandLimit, 1) * 18);
    l3.maxLines = std::min(l3.maxLines, 576);
    l3.longCap = std::min(l3.longCap, l3.maxLines);
    l3.shortCap = std::min(l3.shortCap, l3.maxLines);
    l3.activeLimit = (l3.maxLines + 17) / 18;
    // Only the channels as coded are produced: no mixing offset.
    l3.gainOffset = 0;
    l3.slot = 0;
    l3.heard = false;
    l3.warmUp = false;

    L3Tables();
    std::memset(l3.lines, 0, sizeof l3.lines);
    std::memset(l3.block, 0, sizeof l3.block);
    std::memset(l3.quant, 0, sizeof l3.quant);
    std::memset(l3.overlapCount, 0, sizeof l3.overlapCount);
    for (ScaleFactors& sf : l3.sf) sf = ScaleFactors{};
    return true;
}

DecodeResult DecodeLayer3Frame(DecoderState& s, const uint8_t* frame, int32_t available, uint8_t* pcm) {
    Layer3State& l3 = s.l3;
    TBitReader br;
    br.Reset(frame, available);
    const uint32_t sync = br.Read(12);
    // A frame that is not decoded leaves a gap in the main data: no later frame may reach
    // back across it.
    auto refuse = [&s] {
        s.l3.fill = 0;
        Silenced(s);
        return DecodeResult{};
    };
    if (sync != 0xFFF && (!l3.lsf || sync != 0xFFE)) return refuse();
    const int32_t versionBit = static_cast<int32_t>(br.Read(1));
    const int32_t layerCode = static_cast<int32_t>(br.Read(2));
    const int32_t protectionBit = static_cast<int32_t>(br.Read(1));
    const int32_t bitrateIndex = static_cast<int32_t>(br.Read(4));
    const int32_t sampleRateIndex = static_cast<int32_t>(br.Read(2));
    const int32_t paddingBit = static_cast<int32_t>(br.Read(1));
    br.Read(1);  // private bit
    const int32_t mode = static_cast<int32_t>(br.Read(2));
    int32_t modeExtension = static_cast<int32_t>(br.Read(2));
    // A frame of another kind than the stream's would be read with the wrong tables.
    const FrameHeader& h = s.header;
    if (versionBit != h.versionBit || (sync == 0xFFE) != (h.syncKind == 2) || layerCode != 1 ||
        sampleRateIndex != h.sampleRateIndex)
        return refuse();
    if (mode != 1) modeExtension = 0;
    br.Skip(4);  // copyright, original, emphasis
    int32_t crcLength = 0;
    if (protectionBit == 0) {
        br.Skip(16);  // the CRC is not verified
        crcLength = 2;
    }

    FrameHeader own = h;  // this frame's bit rate and mode
    own.bitrateIndex = bitrateIndex;
    own.mode = mode;
    const int32_t base = bitrateIndex > 0 ? DeclaredFrameLength(own) : s.baseLength;
    const int32_t frameLength = base + paddingBit;
    if (frameLength <= 0 || frameLength > available) return refuse();

    l3.channels = mode == 3 ? 1 : 2;
    l3.modeExtension = modeExtension;
    l3.msStereo = (modeExtension & 2) != 0;
    l3.intensityStereo = (modeExtension & 1) != 0;
    const int32_t mainDataBegin = static_cast<int32_t>(br.Read(l3.lsf ? 8 : 9));
    br.Skip(l3.lsf ? (l3.channels == 1 ? 1 : 2) : (l3.channels == 1 ? 5 : 3));
    for (int32_t c = 0; c < 2; ++c) l3.scfsi[c] = (!l3.lsf && c < l3.channels) ? static_cast<int32_t>(br.Read(4)) : 0;
    const int32_t granules = l3.lsf ? 1 : 2;
    for (int32_t g = 0; g < granules; ++g)
        for (int32_t c = 0; c < l3.channels; ++c) ReadGranuleInfo(br, l3, l3.gi[g][c]);
    const int32_t sideLength = 4 + SideInfoLength(own);  // with the header

    // Old main data is moved down when the buffer gets full: only the newest mainDataBegin
    // bytes can still be referred to.
    const int32_t n = frameLength - sideLength - crcLength;
    if (n < 0 || n > kReservoirSize) return refuse();
    if (l3.fill > 6692 || l3.fill + n > kReservoirSize) {
        const int32_t keep = std::min(mainDataBegin, l3.fill);
        std::memmove(l3.reservoir, l3.reservoir + l3.fill - keep, static_cast<size_t>(keep));
        l3.fill = keep;
    }
    const int32_t deficit = l3.fill - mainDataBegin;
    if (l3.fill + n > kReservoirSize) return refuse();
    std::memcpy(l3.reservoir + l3.fill, frame + sideLength + crcLength, static_cast<size_t>(n));
    l3.fill += n;

    const int32_t outChannels = s.channels;
    int16_t* out = reinterpret_cast<int16_t*>(pcm);
    if (deficit < 0) {
        // The reservoir does not reach back far enough (after opening or a restart).
        std::memset(pcm, 0, static_cast<size_t>(s.pcmBytes));
        Silenced(s);
    } else {
        int64_t bitPos = int64_t{deficit} * 8;
        if (l3.lsf) {
            DecodeGranule(s, l3.slot, bitPos, out);
        } else {
            DecodeGranule(s, 0, bitPos, out);
            DecodeGranule(s, 1, bitPos, out + 576 * outChannels);
        }
        l3.heard = true;
    }
    if (l3.lsf) l3.slot ^= 1;
    return {frameLength, s.pcmBytes};
}

}  // namespace zentu
