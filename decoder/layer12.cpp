// Layer I and Layer II: bit allocation, scale factors and samples of a frame, dequantised
// into the shared sample buffer (time slots of 64 entries: subband x 2 + channel, or the
// subband alone in a single-channel stream), then synthesised to PCM.
#include <algorithm>
#include <array>
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

// The grouped codes of 3, 5 and 9 levels (32, 128 and 1024 codes, one after another) with
// their three digits unpacked in the layout of three plain 4-bit codes of the middle 4: the
// first sample in bits 8-11, then 4-7 and 0-3. A grouped code thus goes through the same
// steps as a plain one after one look-up.
constexpr int32_t kGroupedBase[3] = {0, 32, 160};
constexpr std::array<uint16_t, 1184> kGroupedCodes = [] {
    std::array<uint16_t, 1184> t{};
    constexpr int32_t levels[3] = {3, 5, 9};
    for (int g = 0; g < 3; ++g) {
        const int32_t n = levels[g];
        const int32_t codes = g == 0 ? 32 : g == 1 ? 128 : 1024;
        for (int32_t c = 0; c < codes; ++c) {
            uint32_t packed = 0;
            for (int32_t k = 0, v = c; k < 3; ++k, v /= n) packed |= static_cast<uint32_t>(v % n - n / 2 + 4) << (8 - 4 * k);
            t[static_cast<size_t>(kGroupedBase[g] + c)] = static_cast<uint16_t>(packed);
        }
    }
    return t;
}();

// How the samples of a class are read: bits of one code (three samples), bits per sample
// in the code as unpacked, and where the class's grouped codes lie (grouped classes only).
struct ClassRead {
    uint8_t codeBits;
    uint8_t sampleBits;
    bool grouped;
    int16_t groupedBase;
    int32_t mid;  // subtracted from each unpacked sample
};
constexpr std::array<ClassRead, 18> kClassRead = [] {
    std::array<ClassRead, 18> r{};
    for (int c = 1; c < 18; ++c) {
        const bool grouped = c == 1 || c == 2 || c == 4;
        r[static_cast<size_t>(c)].codeBits = static_cast<uint8_t>(kBitsForThree[c]);
        r[static_cast<size_t>(c)].sampleBits = static_cast<uint8_t>(grouped ? 4 : kBitsForThree[c] / 3);
        r[static_cast<size_t>(c)].grouped = grouped;
        r[static_cast<size_t>(c)].groupedBase = static_cast<int16_t>(grouped ? kGroupedBase[c == 1 ? 0 : c == 2 ? 1 : 2] : 0);
        r[static_cast<size_t>(c)].mid = grouped ? 4 : (kLevels[c] - 1) / 2;
    }
    return r;
}();

struct Layer12Tables {
    float scale[64];    // 2^(-i/3) x 65536: the standard's scale factor 2 x 2^(-i/3), x 32768
    float factor2[18];  // Layer II: 2 / levels
    float factor1[16];  // Layer I: 2 / (2^(a+1) - 1)

    Layer12Tables() {
        for (int i = 0; i < 64; ++i) scale[i] = static_cast<float>(std::pow(2.0, -i / 3.0) * 65536.0);
        factor2[0] = 0.0f;
        for (int c = 1; c < 18; ++c) factor2[c] = static_cast<float>(2.0 / kLevels[c]);
        factor1[0] = 0.0f;
        for (int a = 1; a < 16; ++a) factor1[a] = static_cast<float>(2.0 / ((1 << (a + 1)) - 1));
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
    int32_t bound = 64;
    int32_t bitrateIndex = 0;
    int32_t length = 0;  // the whole frame, padding included
    bool ok = false;
};

// Reads the header again from the frame: sync 0xFFF, the stream's version, layer and
// sample rate, this frame's bit rate, padding and mode; skips the CRC (not verified). Each
// frame's length is its own: a stream may change its bit rate from frame to frame. A frame
// cut short is not decoded: its missing codes would read as zeros, which are not silence
// in these layers.
FrameStart ReadHeader(TBitReader& br, const DecoderState& s, int32_t available) {
    FrameStart f;
    const FrameHeader& h = s.header;
    if (br.Read(12) != 0xFFF) return f;
    const auto versionBit = static_cast<int32_t>(br.Read(1));
    const auto layerCode = static_cast<int32_t>(br.Read(2));
    const uint32_t protection = br.Read(1);
    f.bitrateIndex = static_cast<int32_t>(br.Read(4));
    const auto sampleRateIndex = static_cast<int32_t>(br.Read(2));
    const auto padding = static_cast<int32_t>(br.Read(1));
    br.Skip(1);
    const uint32_t modeBits = br.Read(4);
    br.Skip(protection == 0 ? 20 : 4);
    // A frame of another kind than the stream's would be read with the wrong tables, and
    // one whose channel count differs would not fit the entry layout: neither is decoded.
    if (versionBit != h.versionBit || layerCode != h.layerCode || sampleRateIndex != h.sampleRateIndex) return f;
    const auto mode = static_cast<int32_t>(modeBits >> 2);
    if ((mode == 3 ? 1 : 2) != s.channels || f.bitrateIndex == 15) return f;
    f.bound = JointBound(mode, static_cast<int32_t>(modeBits & 3));
    FrameHeader own = h;  // this frame's bit rate
    own.bitrateIndex = f.bitrateIndex;
    // free format: the length measured at set-up
    const int32_t base = f.bitrateIndex != 0 ? DeclaredFrameLength(own) : s.baseLength;
    f.length = base + padding * PaddingSlot(layerCode);
    f.ok = f.length <= available;
    return f;
}

// The Layer II allocation table of a frame: -1 when the standard does not allow its bit
// rate with its mode.
int32_t Layer2Table(const FrameHeader& stream, int32_t channels, int32_t bitrateIndex) {
    if (stream.versionBit == 0) return 4;
    return tables::kLayer2TableChoice[channels == 1 ? 1 : 0][static_cast<size_t>(stream.sampleRateIndex)]
                                     [static_cast<size_t>(bitrateIndex)];
}

// Clears entries [from, to) of `rows` time slots.
void ClearEntries(float* samples, int32_t rows, int32_t from, int32_t to) {
    if (from >= to) return;
    for (int32_t r = 0; r < rows; ++r) std::memset(samples + 64 * r + from, 0, static_cast<size_t>(to - from) * sizeof(float));
}

}  // namespace

bool SetupLayer1(DecoderState& s) {
    Tables();
    Layer12State& l = s.l12;
    l.channels = s.channels;
    l.codedEntries = 32 * s.channels;
    l.subbands = std::min(s.subbandLimit, 32);
    s.subbandLimit = l.subbands * s.channels;
    std::memset(s.samples, 0, 768 * sizeof(float));
    return true;
}

bool SetupLayer2(DecoderState& s) {
    Tables();
    const FrameHeader& h = s.header;
    if (h.sampleRateIndex == 3) return false;
    const int32_t table = Layer2Table(h, s.channels, h.bitrateIndex);
    if (table < 0) return false;
    const tables::Layer2AllocTable& t = tables::kLayer2AllocTables[static_cast<size_t>(table)];
    Layer12State& l = s.l12;
    l.channels = s.channels;
    // The table, and with it the coded entries, may change with each frame's bit rate; the
    // figures here are the first frame's.
    const int32_t sum = t.groupCount[0] + t.groupCount[1] + t.groupCount[2] + t.groupCount[3];
    l.codedEntries = sum * s.channels;
    l.subbands = s.subbandLimit;
    s.subbandLimit = std::min(s.subbandLimit, sum) * s.channels;
    l.activeEntries = 0;
    std::memset(s.samples, 0, sizeof s.samples);
    return true;
}

DecodeResult DecodeLayer2Frame(DecoderState& s, const uint8_t* frame, int32_t available, uint8_t* pcm) {
    const Layer12Tables& T = Tables();
    Layer12State& l = s.l12;
    TBitReader br;
    br.Reset(frame, available);
    const FrameStart f = ReadHeader(br, s, available);
    if (!f.ok) return {};
    const int32_t table = Layer2Table(s.header, l.channels, f.bitrateIndex);
    if (table < 0) return {};
    const tables::Layer2AllocTable& t = tables::kLayer2AllocTables[static_cast<size_t>(table)];

    const int32_t channels = l.channels;
    const int32_t sum = t.groupCount[0] + t.groupCount[1] + t.groupCount[2] + t.groupCount[3];
    const int32_t entries = sum * channels;  // at most 64
    const int32_t limit = std::min(l.subbands, sum) * channels;
    uint8_t cls[64] = {};
    bool joint[64] = {};  // entry shares its samples with the next one (the other channel)
    int32_t skipBits = 0;

    // Bit allocation, group by group.
    int32_t counter = f.bound;
    int32_t e = 0;
    for (size_t g = 0; g < 4; ++g) {
        const int width = g < 2 ? 4 : g == 2 ? 3 : 2;
        const uint8_t* classOfCode = t.classOfCode[g].data();
        const int32_t end = e + t.groupCount[g] * channels;
        while (e < end) {
            const uint8_t c = classOfCode[br.Read(width)];
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
    float scale[3][64];
    for (e = 0; e < entries; ++e) {
        const float k = T.factor2[cls[e]];
        float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f;
        switch (scfsi[e]) {
            case 0:
                s0 = k * T.scale[br.Read(6)];
                s1 = k * T.scale[br.Read(6)];
                s2 = k * T.scale[br.Read(6)];
                break;
            case 1:
                s0 = s1 = k * T.scale[br.Read(6)];
                s2 = k * T.scale[br.Read(6)];
                break;
            case 2:
                s0 = s1 = s2 = k * T.scale[br.Read(6)];
                break;
            case 3:
                s0 = k * T.scale[br.Read(6)];
                s1 = s2 = k * T.scale[br.Read(6)];
                break;
            default:
                break;
        }
        scale[0][e] = s0;
        scale[1][e] = s1;
        scale[2][e] = s2;
    }

    // Samples. Entries from the last one with samples up to the limit are zero in every time
    // slot: cleared once, not written per slot.
    const int32_t decoded = std::min(entries, limit);
    int32_t active = decoded;
    while (active > 0 && cls[active - 1] == 0) --active;
    ClearEntries(s.samples, 36, active, l.activeEntries);
    l.activeEntries = active;

    // What each entry reads: one code of up to 48 bits, which a grouped class first turns
    // into three 4-bit digits by a look-up; then three samples of sampleBits each, less the
    // class's middle. No branch per sample, no division.
    uint8_t codeBits[64], sampleBits[64];
    uint16_t groupedBase[64];
    uint64_t groupedMask[64], groupedSelect[64];
    int32_t mid[64];
    for (e = 0; e < active; ++e) {
        const ClassRead& r = kClassRead[cls[e]];
        codeBits[e] = r.codeBits;
        sampleBits[e] = r.sampleBits;
        groupedBase[e] = static_cast<uint16_t>(r.groupedBase);
        groupedMask[e] = r.grouped ? (uint64_t{1} << r.codeBits) - 1 : 0;
        groupedSelect[e] = r.grouped ? ~uint64_t{0} : 0;
        mid[e] = r.mid;
    }
    // Per granule: the integer samples of each time slot first (both entries of a joint pair
    // get the same), then each slot scaled in one pass over its entries.
    alignas(16) int32_t value[3][64];
    for (int gr = 0; gr < 12; ++gr) {
        for (e = 0; e < active;) {
            br.Need(48);
            const uint64_t code = br.ReadUnchecked(codeBits[e]);
            const uint64_t digits = kGroupedCodes[groupedBase[e] + (code & groupedMask[e])];
            const uint64_t v = code ^ ((code ^ digits) & groupedSelect[e]);
            const int b = sampleBits[e];
            const uint64_t mask = (uint64_t{1} << b) - 1;
            const int32_t v0 = static_cast<int32_t>((v >> (2 * b)) & mask) - mid[e];
            const int32_t v1 = static_cast<int32_t>((v >> b) & mask) - mid[e];
            const int32_t v2 = static_cast<int32_t>(v & mask) - mid[e];
            value[0][e] = v0;
            value[1][e] = v1;
            value[2][e] = v2;
            if (joint[e]) {
                value[0][e + 1] = v0;
                value[1][e + 1] = v1;
                value[2][e + 1] = v2;
                e += 2;
            } else {
                ++e;
            }
        }
        if (decoded < entries) br.Skip(skipBits);  // entries above the subband limit
        const float* sc = scale[gr >> 2];
        for (int k = 0; k < 3; ++k) {
            float* slot = s.samples + (gr * 3 + k) * 64;
            const int32_t* in = value[k];
            for (e = 0; e < active; ++e) slot[e] = static_cast<float>(in[e]) * sc[e];
        }
    }

    SynthesizeRows(s.synth, s.slots, s.eq, s.samples, 36, s.channels, reinterpret_cast<int16_t*>(pcm));
    return {f.length, s.pcmBytes};
}

DecodeResult DecodeLayer1Frame(DecoderState& s, const uint8_t* frame, int32_t available, uint8_t* pcm) {
    const Layer12Tables& T = Tables();
    const Layer12State& l = s.l12;
    TBitReader br;
    br.Reset(frame, available);
    const FrameStart f = ReadHeader(br, s, available);
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
    return {f.length, s.pcmBytes};
}

}  // namespace zentu
