// Frame header parsing, frame lengths and bit rates, the free-format measurement and the
// search for the first frame of a stream.
#include <algorithm>

#include "decoder/mpeg_decoder.h"
#include "decoder/tables/iso_tables.h"

namespace zentu {

namespace {

// The sample rate in units of 50 Hz by version bit: MPEG-2.5 takes MPEG-2's row (twice its
// real rates, which the Layer III length rule makes up for). The reserved index gives a
// negative rate, so that it makes a negative length, never a division by zero.
int32_t Rate50(const FrameHeader& h) {
    if (h.sampleRateIndex == 3) return -999;
    return tables::kSampleRateHz[static_cast<size_t>(h.versionBit)][static_cast<size_t>(h.sampleRateIndex)] / 50;
}

int32_t Kbps(const FrameHeader& h) {
    return tables::kBitrateKbps[static_cast<size_t>(3 - h.layerCode)][static_cast<size_t>(h.versionBit)]
                               [static_cast<size_t>(h.bitrateIndex)];
}

// Distance to the next header with the same first two bytes such that every boundary it
// predicts inside the window falls on a header again; 0 when there is none.
int32_t MeasureFreeFormat(const uint8_t* bytes, int32_t window, const FrameHeader& h) {
    const int32_t n = std::min(window, 10000);
    const int32_t limit = n - 3;
    const int32_t slot = PaddingSlot(h.layerCode);
    int32_t start = 24;
    while (start < 2000) {
        int32_t p = 0;
        for (int32_t i = start; i < limit; ++i) {
            if (bytes[i] == bytes[0] && bytes[i + 1] == bytes[1]) {
                p = i;
                break;
            }
        }
        start = p + 1;
        const int32_t candidate = p - h.paddingBit * slot;
        if (candidate <= 0) return 0;
        int32_t q = 0;
        int32_t count = 0;
        for (;;) {
            q += candidate + (((bytes[q + 2] >> 1) & 1) ? slot : 0);
            if (q > limit) break;
            if (bytes[q] != bytes[0] || bytes[q + 1] != bytes[1]) {
                count = -count;
                break;
            }
            ++count;
        }
        if (count > 0) return candidate;
    }
    return 0;
}

}  // namespace

int32_t ParseFrameHeader(const uint8_t* bytes, int32_t windowLength, FrameHeader& h) {
    h.syncKind = 0;
    int32_t sync;
    if (bytes[0] == 0xFF && (bytes[1] & 0xF0) == 0xF0)
        sync = 1;
    else if (bytes[0] == 0xFF && (bytes[1] & 0xF0) == 0xE0)
        sync = 2;
    else
        return 0;
    h.syncKind = sync;
    h.versionBit = (bytes[1] >> 3) & 1;
    h.layerCode = (bytes[1] >> 1) & 3;
    h.protectionBit = bytes[1] & 1;
    h.bitrateIndex = bytes[2] >> 4;
    h.sampleRateIndex = (bytes[2] >> 2) & 3;
    h.paddingBit = (bytes[2] >> 1) & 1;
    h.privateBit = bytes[2] & 1;
    h.mode = bytes[3] >> 6;
    h.modeExtension = (bytes[3] >> 4) & 3;
    h.rightsBit = (bytes[3] >> 3) & 1;
    h.originalBit = (bytes[3] >> 2) & 1;
    h.emphasis = bytes[3] & 3;

    if (h.layerCode < 1 || h.layerCode > 3) return 0;
    if (h.bitrateIndex == 15) return 0;
    if (h.bitrateIndex == 0) return MeasureFreeFormat(bytes, windowLength, h);
    return DeclaredFrameLength(h);
}

int32_t DeclaredFrameLength(const FrameHeader& h) {
    if (h.layerCode < 1 || h.layerCode > 3 || h.bitrateIndex == 0 || h.bitrateIndex == 15) return 0;
    const int32_t kbps = Kbps(h);
    const int32_t rate50 = Rate50(h);
    switch (h.layerCode) {
        case 3:
            return (kbps * 240 / rate50) * 4;
        case 2:
            return kbps * 2880 / rate50;
        default:
            if (h.versionBit == 0 && h.syncKind == 1) return kbps * 1440 / rate50;
            return kbps * 2880 / rate50;
    }
}

int32_t SampleRateOf(const FrameHeader& h) {
    // (masked to the bits' ranges: a header may be built by hand)
    const size_t row = h.syncKind == 2 ? 2 : static_cast<size_t>(h.versionBit & 1);
    return tables::kSampleRateHz[row][static_cast<size_t>(h.sampleRateIndex & 3)];
}

int32_t SamplesPerFrameOf(const FrameHeader& h) {
    if (h.layerCode == 3) return 384;
    return h.layerCode == 1 && h.versionBit == 0 ? 576 : 1152;
}

int32_t SideInfoLength(const FrameHeader& h) {
    const bool mono = h.mode == 3;
    return h.versionBit == 1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
}

int32_t ParseFrameHeaderWithBitrate(const uint8_t* bytes, int32_t windowLength, FrameHeader& h,
                                    int32_t& bitrate) {
    bitrate = 0;
    const int32_t len = ParseFrameHeader(bytes, windowLength, h);
    if (len == 0) return 0;
    if (h.bitrateIndex > 0) {
        bitrate = Kbps(h) * 1000;
        return len;
    }
    // Free format: the bit rate follows from the measured length (64-bit: rate50 × len ×
    // 1000 overflows 32 bits for long frames).
    const int64_t rate50 = Rate50(h);
    int64_t bps;
    if (h.layerCode == 3)
        bps = rate50 * len * 1000 / 960;
    else if (h.layerCode == 2 || h.versionBit == 1)
        bps = rate50 * len * 1000 / 2880;
    else if (h.syncKind == 1)
        bps = rate50 * len * 1000 / 1440;
    else
        bps = rate50 * len * 500 / 1440;
    bitrate = static_cast<int32_t>(bps);
    return len;
}

int32_t FindFirstFrame(const uint8_t* bytes, int32_t length, FrameHeader& h, int32_t& bitrate,
                       int32_t& offset) {
    for (int32_t i = 0; i + 1 < length; ++i) {
        if (bytes[i] == 0xFF && (bytes[i + 1] & 0xE0) == 0xE0) {
            offset = i;
            const int32_t window = length - i;
            if (window < 4) {
                // A candidate in the last bytes: nothing to parse without reading past them.
                h.syncKind = 0;
                bitrate = 0;
                return 0;
            }
            return ParseFrameHeaderWithBitrate(bytes + i, window, h, bitrate);
        }
    }
    return 0;
}

}  // namespace zentu
