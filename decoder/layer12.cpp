// Layer I and Layer II: bit allocation, scale factors and samples of a frame, dequantised
// into the shared sample buffer (time slots of 64 entries: subband x 2 + channel, or the
// subband alone in a single-channel stream), then synthesised to PCM.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "decoder/bit_reader.h"
#include "decoder/decoder_state.h"
#include "decoder/layer12.h"
#include "decoder/tables/iso_tables.h"

namespace zentu {

namespace {

// Quantiser classes: 0 none, 1 = 3 levels, 2 = 5, 3 = 7, 4 = 9, 5 = 15, ... 17 = 65535.
constexpr int32_t kLevels[18] = {0,   3,   5,    7,    9,    15,   31,    63,    127,
                                 255, 511, 1023, 2047, 4095, 8191, 16383, 32767, 65535};
// Bits for three samples; grouped classes (3, 5, 9 levels) carry three samples in one code.
constexpr int32_t kBitsForThree[18] = {0, 5, 7, 9, 10, 12, 15, 18, 21, 24, 27, 30, 33, 36, 39, 42, 45, 48};

struct Layer12Tables {
    float scale[64];       // 2^(-i/3) x 65536: the standard's scale factor 2 x 2^(-i/3), x 32768
    float factor2[18];     // Layer II: 2 / levels
    float factor1[16];     // Layer I: 2 / (2^(a+1) - 1)
    int8_t group3[32][3];  // grouped codes to three digits, first sample first
    int8_t group5[128][3];
    int16_t group9[1024][3];

    Layer12Tables() {
        for (int i = 0; i < 64; ++i) scale[i] = static_cast<float>(std::pow(2.0, -i / 3.0) * 65536.0);
        factor2[0] = 0.0f;
        for (int c = 1; c < 18; ++c) factor2[c] = static_cast<float>(2.0 / kLevels[c]);
        factor1[0] = 0.0f;
        for (int a = 1; a < 16; ++a) factor1[a] = static_cast<float>(2.0 / ((1 << (a + 1)) - 1));
        for (int c = 0; c < 32; ++c)
            for (int k = 0, v = c; k < 3; ++k, v /= 3) group3[c][k] = static_cast<int8_t>(v % 3 - 1);
        for (int c = 0; c < 128; ++c)
            for (int k = 0, v = c; k < 3; ++k, v /= 5) group5[c][k] = static_cast<int8_t>(v % 5 - 2);
        for (int c = 0; c < 1024; ++c)
            for (int k = 0, v = c; k < 3; ++k, v /= 9) group9[c][k] = static_cast<int16_t>(v % 9 - 4);
    }
};

const Layer12Tables& Tables() {
    static const Layer12Tables tables;
    return tables;
}

// Joint-stereo bound in entries by mode and mode extension.
int32_t JointBound(int32_t mode, int32_t modeExtension) {
    if (mode == 1) return 8 * (modeExtension + 1);
    if (mode == 3) return 32;
    return 64;
}

struct FrameStart {
    int32_t bound;
    int32_t padding;
    bool ok;
};

// Reads the header again from the frame: sync 0xFFF, protection, padding, mode; skips the
// CRC (not verified).
FrameStart ReadHeader(TBitReader& br, const DecoderState& s) {
    FrameStart f{64, 0, false};
    if (br.Read(12) != 0xFFF) return f;
    br.Skip(3);
    const uint32_t protection = br.Read(1);
    br.Skip(6);
    f.padding = static_cast<int32_t>(br.Read(1));
    br.Skip(1);
    const uint32_t modeBits = br.Read(4);
    br.Skip(protection == 0 ? 20 : 4);
    const int32_t mode = static_cast<int32_t>(modeBits >> 2);
    // A frame whose channel count differs from the stream's would not fit the set-up's
    // entry layout (and Layer II's table choice depends on it): it is not decoded.
    if ((mode == 3 ? 1 : 2) != s.channels) return f;
    f.bound = JointBound(mode, static_cast<int32_t>(modeBits & 3));
    f.ok = true;
    return f;
}

}  // namespace

bool SetupLayer1(DecoderState& s) {
    Tables();
    Layer12State& l = s.l12;
    l.channels = s.channels;
    l.codedEntries = 32 * s.channels;
    s.subbandLimit = std::min(s.subbandLimit, 32) * s.channels;
    std::memset(s.samples, 0, 768 * sizeof(float));
    return true;
}

bool SetupLayer2(DecoderState& s) {
    Tables();
    const FrameHeader& h = s.header;
    if (h.sampleRateIndex == 3) return false;
    int table = 4;
    if (h.versionBit == 1) {
        table = tables::kLayer2TableChoice[h.mode == 3 ? 1 : 0][h.sampleRateIndex][h.bitrateIndex];
        if (table < 0) return false;
    }
    const tables::Layer2AllocTable& t = tables::kLayer2AllocTables[static_cast<size_t>(table)];
    Layer12State& l = s.l12;
    l.channels = s.channels;
    int32_t sum = 0;
    for (int g = 0; g < 4; ++g) {
        l.groupCount[g] = t.groupCount[static_cast<size_t>(g)] * s.channels;
        l.classOfCode[g] = t.classOfCode[static_cast<size_t>(g)].data();
        sum += t.groupCount[static_cast<size_t>(g)];
    }
    l.codedEntries = sum * s.channels;
    s.subbandLimit = std::min(s.subbandLimit, sum) * s.channels;
    std::memset(s.samples, 0, sizeof s.samples);
    return true;
}

DecodeResult DecodeLayer2Frame(DecoderState& s, const uint8_t* frame, int32_t available, uint8_t* pcm) {
    const Layer12Tables& T = Tables();
    Layer12State& l = s.l12;
    TBitReader br;
    br.Reset(frame, available);
    const FrameStart f = ReadHeader(br, s);
    if (!f.ok) return {};

    const int32_t entries = l.codedEntries;  // at most 64
    const int32_t limit = s.subbandLimit;
    int8_t cls[64] = {};
    bool joint[64] = {};  // entry shares its samples with the next one (the other channel)
    int32_t skipBits = 0;

    // Bit allocation, group by group.
    int32_t counter = f.bound;
    int32_t e = 0;
    for (int g = 0; g < 4; ++g) {
        const int width = 4 - (g >= 2 ? g - 1 : 0);  // 4, 4, 3, 2
        const int32_t end = e + l.groupCount[g];
        while (e < end) {
            const int8_t c = static_cast<int8_t>(l.classOfCode[g][br.Read(width)]);
            cls[e] = c;
            if (e >= limit) skipBits += kBitsForThree[c];
            if (--counter < 0 && e + 1 < end) {
                joint[e] = true;
                cls[e + 1] = c;
                e += 2;
            } else {
                ++e;
            }
        }
    }

    // Scale-factor selection and scale factors: three multipliers per entry, one per third.
    uint8_t scfsi[64];
    for (e = 0; e < entries; ++e) scfsi[e] = cls[e] ? static_cast<uint8_t>(br.Read(2)) : 4;
    float scale[64][3];
    for (e = 0; e < entries; ++e) {
        const float k = T.factor2[cls[e]];
        float* sc = scale[e];
        switch (scfsi[e]) {
            case 0:
                sc[0] = k * T.scale[br.Read(6)];
                sc[1] = k * T.scale[br.Read(6)];
                sc[2] = k * T.scale[br.Read(6)];
                break;
            case 1:
                sc[0] = sc[1] = k * T.scale[br.Read(6)];
                sc[2] = k * T.scale[br.Read(6)];
                break;
            case 2:
                sc[0] = sc[1] = sc[2] = k * T.scale[br.Read(6)];
                break;
            case 3:
                sc[0] = k * T.scale[br.Read(6)];
                sc[1] = sc[2] = k * T.scale[br.Read(6)];
                break;
            default:
                sc[0] = sc[1] = sc[2] = 0.0f;
                break;
        }
    }

    // Samples: 12 granules of three time slots, four per third.
    const int32_t decoded = std::min(entries, limit);
    for (int gr = 0; gr < 12; ++gr) {
        const int third = gr >> 2;
        float* slot = s.samples + gr * 3 * 64;
        for (e = 0; e < decoded;) {
            const int c = cls[e];
            float v[3] = {0.0f, 0.0f, 0.0f};
            if (c == 1 || c == 2 || c == 4) {
                if (c == 1) {
                    const int8_t* d = T.group3[br.Read(5)];
                    v[0] = d[0], v[1] = d[1], v[2] = d[2];
                } else if (c == 2) {
                    const int8_t* d = T.group5[br.Read(7)];
                    v[0] = d[0], v[1] = d[1], v[2] = d[2];
                } else {
                    const int16_t* d = T.group9[br.Read(10)];
                    v[0] = d[0], v[1] = d[1], v[2] = d[2];
                }
            } else if (c != 0) {
                const int bits = kBitsForThree[c] / 3;
                const int32_t mid = (kLevels[c] - 1) / 2;
                for (int k = 0; k < 3; ++k) v[k] = static_cast<float>(static_cast<int32_t>(br.Read(bits)) - mid);
            }
            const float sc = scale[e][third];
            for (int k = 0; k < 3; ++k) slot[64 * k + e] = v[k] * sc;
            if (joint[e] && e + 1 < entries) {
                const float sc2 = scale[e + 1][third];
                for (int k = 0; k < 3; ++k) slot[64 * k + e + 1] = v[k] * sc2;
                e += 2;
            } else {
                ++e;
            }
        }
        if (decoded < entries) br.Skip(skipBits);  // entries above the subband limit
    }

    SynthesizeRows(s.synth, s.slots, s.eq, s.samples, 36, s.channels, reinterpret_cast<int16_t*>(pcm));
    return {s.baseLength + f.padding, s.pcmBytes};
}

DecodeResult DecodeLayer1Frame(DecoderState& s, const uint8_t* frame, int32_t available, uint8_t* pcm) {
    const Layer12Tables& T = Tables();
    const Layer12State& l = s.l12;
    TBitReader br;
    br.Reset(frame, available);
    const FrameStart f = ReadHeader(br, s);
    if (!f.ok) return {};

    const int32_t entries = l.codedEntries;  // 32 or 64
    const int32_t limit = s.subbandLimit;
    uint8_t alloc[64] = {};
    bool joint[64] = {};
    int32_t skipBits = 0;
    for (int32_t e = 0; e < entries;) {
        uint8_t a = static_cast<uint8_t>(br.Read(4));
        if (a == 15) a = 0;  // not allowed by the standard: the entry is silent
        alloc[e] = a;
        const bool shared = e >= f.bound && e + 1 < entries;
        if (e >= limit && a) skipBits += a + 1;
        if (shared) {
            joint[e] = true;
            alloc[e + 1] = a;
            e += 2;
        } else {
            ++e;
        }
    }
    float scale[64];
    for (int32_t e = 0; e < entries; ++e) scale[e] = alloc[e] ? T.factor1[alloc[e]] * T.scale[br.Read(6)] : 0.0f;

    const int32_t decoded = std::min(entries, limit);
    for (int t = 0; t < 12; ++t) {
        float* slot = s.samples + 64 * t;
        for (int32_t e = 0; e < decoded;) {
            const int a = alloc[e];
            float v = 0.0f;
            if (a) v = static_cast<float>(static_cast<int32_t>(br.Read(a + 1)) - ((1 << a) - 1));
            slot[e] = v * scale[e];
            if (joint[e]) {
                slot[e + 1] = v * scale[e + 1];
                e += 2;
            } else {
                ++e;
            }
        }
        if (decoded < entries) br.Skip(skipBits);
    }

    SynthesizeRows(s.synth, s.slots, s.eq, s.samples, 12, s.channels, reinterpret_cast<int16_t*>(pcm));
    return {s.baseLength + f.padding * 4, s.pcmBytes};
}

}  // namespace zentu
