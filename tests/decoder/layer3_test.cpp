// Layer III stages that fail silently: Huffman trees, count-1 rules, scale-factor layouts,
// requantisation edges, alias reduction and hybrid counts, the reservoir.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "data/huffman_codes.h"
#include "decoder/decoder_state.h"
#include "decoder/layer3.h"
#include "decoder/tables/huffman_tables.h"

namespace zentu {
namespace {

// Builds a bit string most significant bit first.
class BitWriter {
public:
    void Put(uint32_t value, int n) {
        for (int i = n - 1; i >= 0; --i) {
            if (bits_ % 8 == 0) bytes_.push_back(0);
            if ((value >> i) & 1) bytes_.back() |= static_cast<uint8_t>(0x80 >> (bits_ % 8));
            ++bits_;
        }
    }
    int64_t Bits() const { return bits_; }
    std::vector<uint8_t> Bytes(size_t padTo = 0) const {
        std::vector<uint8_t> b = bytes_;
        if (b.size() < padTo) b.resize(padTo, 0);
        return b;
    }

private:
    std::vector<uint8_t> bytes_;
    int64_t bits_ = 0;
};

std::unique_ptr<Layer3State> Mpeg1State() {
    auto l3 = std::make_unique<Layer3State>();
    static constexpr int32_t kLong[23] = {0,  4,  8,  12, 16, 20, 24, 30, 36, 44, 52, 62,
                                          74, 90, 110, 134, 162, 196, 238, 288, 342, 418, 576};
    static constexpr int32_t kShort[14] = {0, 4, 8, 12, 16, 22, 30, 40, 52, 66, 84, 106, 136, 192};
    std::memcpy(l3->longStart, kLong, sizeof kLong);
    std::memcpy(l3->shortStart, kShort, sizeof kShort);
    return l3;
}

// Decodes one long-block granule whose Huffman data is `w`, with the given side info.
struct HuffmanCase {
    std::unique_ptr<Layer3State> l3 = Mpeg1State();
    GranuleInfo gi;
    int32_t quant[580] = {};
    int64_t consumed = 0;
    int32_t Run(const BitWriter& w, int32_t part23) {
        const std::vector<uint8_t> b = w.Bytes(64);
        TBitReader br;
        br.Reset(b.data(), static_cast<int64_t>(b.size()));
        gi.part23Length = part23;
        const int32_t n = DecodeHuffman(br, gi, *l3, part23, quant);
        consumed = br.BitsConsumed();
        return n;
    }
};

// Every codeword of every table through the decoder, with its escape bits (the shortest and
// the longest linbits of the tables that share the codes) and both orders of signs, followed
// by bits that must not matter; and every count-1 codeword of both tables with its signs.
TEST(Layer3Huffman, EveryCodewordDecodesToItsPair) {
    for (const testdata::HuffCode& c : testdata::kHuffCodes) {
        const std::vector<int> selects = c.table == 16 ? std::vector<int>{16, 23}
                                         : c.table == 24 ? std::vector<int>{24, 31}
                                                         : std::vector<int>{c.table};
        for (const int select : selects)
            for (const int signs : {1, 2}) {
                SCOPED_TRACE(testing::Message() << "table " << select << " (" << c.x << "," << c.y << ") signs " << signs);
                const int linbits = tables::kHuffTables[static_cast<size_t>(select)].linbits;
                BitWriter w;
                w.Put(c.code, c.length);
                int32_t want[2] = {c.x, c.y};
                for (int k = 0; k < 2; ++k) {
                    if (linbits && want[k] == 15) {
                        const uint32_t escape = 0x15A5u & ((1u << linbits) - 1);
                        w.Put(escape, linbits);
                        want[k] += static_cast<int32_t>(escape);
                    }
                    const int negative = (signs >> k) & 1;
                    if (want[k]) w.Put(static_cast<uint32_t>(negative), 1);
                    if (negative) want[k] = -want[k];
                }
                const auto bits = static_cast<int32_t>(w.Bits());
                w.Put(0x5A5A5A5A, 32);
                HuffmanCase h;
                h.gi.bigValues = 1;
                h.gi.tableSelect[0] = select;
                h.gi.region0Count = 15;
                h.Run(w, bits);
                EXPECT_EQ(h.quant[0], want[0]);
                EXPECT_EQ(h.quant[1], want[1]);
                EXPECT_EQ(h.consumed, bits);
            }
    }
    // Table B codes are the quadruple's four bits inverted.
    std::vector<testdata::Count1Code> count1(std::begin(testdata::kCount1CodesA), std::end(testdata::kCount1CodesA));
    for (int vwxy = 0; vwxy < 16; ++vwxy) count1.push_back({vwxy + 16, 4, static_cast<uint32_t>(vwxy ^ 15)});
    for (const testdata::Count1Code& c : count1)
        for (const uint32_t signs : {0x5u, 0xAu}) {
            const int vwxy = c.vwxy & 15;
            SCOPED_TRACE(testing::Message() << "count-1 " << (c.vwxy > 15 ? "B " : "A ") << vwxy << " signs " << signs);
            BitWriter w;
            w.Put(c.code, c.length);
            int32_t want[4];
            for (int k = 0; k < 4; ++k) {
                const int one = (vwxy >> (3 - k)) & 1;
                const int negative = (signs >> (3 - k)) & 1;
                if (one) w.Put(static_cast<uint32_t>(negative), 1);
                want[k] = one ? (negative ? -1 : 1) : 0;
            }
            const auto bits = static_cast<int32_t>(w.Bits());
            w.Put(0xFFFFFFFF, 32);
            HuffmanCase h;
            h.gi.count1TableSelect = c.vwxy > 15 ? 1 : 0;
            const int32_t n = h.Run(w, bits);
            for (int k = 0; k < 4; ++k) EXPECT_EQ(h.quant[k], want[k]) << k;
            EXPECT_EQ(h.consumed, bits);
            EXPECT_EQ(n, vwxy == 0 ? 0 : (vwxy & 3) ? 4 : 2);
        }
}

TEST(Layer3Huffman, TableOneAndSigns) {
    HuffmanCase h;
    h.gi.bigValues = 4;
    h.gi.tableSelect[0] = 1;
    h.gi.region0Count = 15;
    h.gi.region1Count = 7;
    BitWriter w;
    w.Put(1, 1);         // (0, 0)
    w.Put(1, 2);         // (1, 0)
    w.Put(1, 1);         //   x negative
    w.Put(1, 3);         // (0, 1)
    w.Put(0, 1);         //   y positive
    w.Put(0, 3);         // (1, 1)
    w.Put(0, 1);         //   x positive
    w.Put(1, 1);         //   y negative
    const int32_t n = h.Run(w, static_cast<int32_t>(w.Bits()));
    const int32_t want[8] = {0, 0, -1, 0, 0, 1, 1, -1};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(h.quant[i], want[i]) << i;
    EXPECT_EQ(n, 8);
}

TEST(Layer3Huffman, EmptyTablesAndEscapes) {
    for (int table : {0, 4, 14}) {
        HuffmanCase h;
        h.gi.bigValues = 10;
        h.gi.tableSelect[0] = h.gi.tableSelect[1] = h.gi.tableSelect[2] = table;
        BitWriter w;
        EXPECT_EQ(h.Run(w, 0), 20);
        for (int i = 0; i < 20; ++i) EXPECT_EQ(h.quant[i], 0);
    }
    // Table 24 (4 escape bits): (15, 15) code, x escape 3, x sign -, y escape 0, y sign +.
    HuffmanCase h;
    h.gi.bigValues = 1;
    h.gi.tableSelect[0] = 24;
    h.gi.region0Count = 15;
    BitWriter w;
    for (const testdata::HuffCode& c : testdata::kHuffCodes)
        if (c.table == 24 && c.x == 15 && c.y == 15) w.Put(c.code, c.length);
    w.Put(3, 4);
    w.Put(1, 1);
    w.Put(0, 4);
    w.Put(0, 1);
    EXPECT_EQ(h.Run(w, static_cast<int32_t>(w.Bits())), 2);
    EXPECT_EQ(h.quant[0], -18);
    EXPECT_EQ(h.quant[1], 15);
}

TEST(Layer3Huffman, CountOneNonzeroCountAndOverrun) {
    // Table B: quadruple v, w nonzero, x, y zero ends the data: count two short of its end.
    HuffmanCase h;
    h.gi.count1TableSelect = 1;
    BitWriter w;
    w.Put(0x3, 4);  // inverted: 1100 -> v, w
    w.Put(0, 1);
    w.Put(1, 1);
    EXPECT_EQ(h.Run(w, static_cast<int32_t>(w.Bits())), 2);
    EXPECT_EQ(h.quant[0], 1);
    EXPECT_EQ(h.quant[1], -1);

    // Table A: a codeword whose sign bits run past the data loses only its quadruple.
    HuffmanCase a;
    BitWriter wa;
    wa.Put(0x5, 4);  // table A 0001 -> y
    wa.Put(0, 1);    // sign
    wa.Put(0xF, 4);  // 1111 -> four (0, 0, 0, 0) quadruples
    wa.Put(0x1, 6);  // 000001 -> 1111: four signs, all past the data
    wa.Put(0, 4);
    const int32_t n = a.Run(wa, 5 + 4 + 6);
    EXPECT_EQ(a.quant[3], 1);
    for (int i = 20; i < 24; ++i) EXPECT_EQ(a.quant[i], 0) << i;
    EXPECT_GE(n, 4);
    EXPECT_NE(n, 0);  // a few bits of overrun must not silence the channel

    // Data that runs far past its length silences the channel.
    HuffmanCase o;
    o.gi.bigValues = 100;
    o.gi.tableSelect[0] = o.gi.tableSelect[1] = o.gi.tableSelect[2] = 15;
    BitWriter wo;
    for (int i = 0; i < 100; ++i) wo.Put(0x1F, 5);
    EXPECT_EQ(o.Run(wo, 10), 0);
    for (int i = 0; i < 576; ++i) ASSERT_EQ(o.quant[i], 0);
}

TEST(Layer3Huffman, SideInfoOutOfRangeIsClamped) {
    HuffmanCase h;
    h.gi.bigValues = 511;  // far more than 288 pairs
    h.gi.region0Count = 15;
    h.gi.region1Count = 7;  // region 2 index 24: beyond the band table
    h.gi.tableSelect[0] = h.gi.tableSelect[1] = h.gi.tableSelect[2] = 1;
    BitWriter w;
    for (int i = 0; i < 400; ++i) w.Put(1, 1);
    EXPECT_EQ(h.Run(w, 4000), 576);
    EXPECT_EQ(h.quant[576], 0);
}

TEST(Layer3ScaleFactors, Mpeg1ScfsiCopiesGroups) {
    ScaleFactors sf;
    GranuleInfo gi;
    gi.scalefacCompress = 15;  // slen 4, 3
    BitWriter w;
    for (int b = 0; b < 11; ++b) w.Put(static_cast<uint32_t>(b + 1), 4);
    for (int b = 11; b < 21; ++b) w.Put(static_cast<uint32_t>(b % 8), 3);
    std::vector<uint8_t> bytes = w.Bytes(16);
    TBitReader br;
    br.Reset(bytes.data(), static_cast<int64_t>(bytes.size()));
    ReadScaleFactorsMpeg1(br, gi, 0, 0, sf);
    EXPECT_EQ(br.BitsConsumed(), 11 * 4 + 10 * 3);
    EXPECT_EQ(sf.l[10], 11);
    EXPECT_EQ(sf.l[20], 4);
    EXPECT_EQ(sf.l[21], 0);

    // Granule 1, scfsi 15: nothing is read, every band kept.
    const ScaleFactors before = sf;
    br.Reset(bytes.data(), static_cast<int64_t>(bytes.size()));
    ReadScaleFactorsMpeg1(br, gi, 1, 15, sf);
    EXPECT_EQ(br.BitsConsumed(), 0);
    EXPECT_EQ(std::memcmp(sf.l, before.l, sizeof sf.l), 0);
    // scfsi 0101: groups 6-10 and 16-20 kept; 0-5 (4 bits) and 11-15 (3 bits) read.
    BitWriter w2;
    for (int b = 0; b < 6; ++b) w2.Put(9, 4);
    for (int b = 11; b < 16; ++b) w2.Put(7, 3);
    bytes = w2.Bytes(16);
    br.Reset(bytes.data(), static_cast<int64_t>(bytes.size()));
    ReadScaleFactorsMpeg1(br, gi, 1, 5, sf);
    EXPECT_EQ(br.BitsConsumed(), 6 * 4 + 5 * 3);
    EXPECT_EQ(sf.l[0], 9);
    EXPECT_EQ(sf.l[6], before.l[6]);
    EXPECT_EQ(sf.l[11], 7);
    EXPECT_EQ(sf.l[16], before.l[16]);
}

TEST(Layer3ScaleFactors, LsfLengthsAndPreflag) {
    // sfc 500 + 3*3 + 2: slen (3, 2); long bands 0-10 with 3 bits, 11-20 with 2; preflag set.
    GranuleInfo gi;
    gi.scalefacCompress = 511;
    ScaleFactors sf;
    IntensityLayout layout;
    BitWriter w;
    for (int b = 0; b < 11; ++b) w.Put(5, 3);
    for (int b = 11; b < 21; ++b) w.Put(2, 2);
    std::vector<uint8_t> bytes = w.Bytes(16);
    TBitReader br;
    br.Reset(bytes.data(), static_cast<int64_t>(bytes.size()));
    ReadScaleFactorsLsf(br, gi, false, sf, layout);
    EXPECT_EQ(gi.preflag, 1);
    EXPECT_EQ(br.BitsConsumed(), 11 * 3 + 10 * 2);
    EXPECT_EQ(sf.l[10], 5);
    EXPECT_EQ(sf.l[20], 2);

    // Second channel of intensity stereo, isfc 179 (row 3): slen (4, 5, 5), scale bit 1.
    gi = GranuleInfo{};
    gi.scalefacCompress = 179 * 2 + 1;
    br.Reset(bytes.data(), static_cast<int64_t>(bytes.size()));
    ReadScaleFactorsLsf(br, gi, true, sf, layout);
    EXPECT_EQ(gi.preflag, 0);
    EXPECT_EQ(layout.intensityScale, 1);
    EXPECT_EQ(layout.slen[0], 4);
    EXPECT_EQ(layout.slen[1], 5);
    EXPECT_EQ(layout.slen[2], 5);
    EXPECT_EQ(layout.bandCount[0], 7);
    EXPECT_EQ(br.BitsConsumed(), 7 * 4 + 7 * 5 + 7 * 5);
}

TEST(Layer3Requantize, PowerTableEdgesAndMixedBlocks) {
    auto l3 = Mpeg1State();
    GranuleInfo gi;
    gi.globalGain = 210;  // unit gain x 32768 / 32768: full scale 1.0 = 32768
    ScaleFactors sf;
    int32_t q[580] = {};
    q[0] = 31;
    q[1] = 32;
    q[2] = -33;
    q[3] = 8206;
    float out[576];
    BandLimits lim;
    EXPECT_EQ(Requantize(*l3, gi, sf, q, 4, out, lim), 4);
    const double g = std::pow(2.0, 60 / 4.0);  // gain 210: 2^15
    EXPECT_NEAR(out[0], g * std::pow(31.0, 4.0 / 3.0), g * 1e-5);
    EXPECT_NEAR(out[1], g * std::pow(32.0, 4.0 / 3.0), g * 1e-4);
    EXPECT_NEAR(out[2], -g * std::pow(33.0, 4.0 / 3.0), g * 1e-4);
    EXPECT_NEAR(out[3], g * std::pow(8206.0, 4.0 / 3.0), g * std::pow(8206.0, 4.0 / 3.0) * 1e-6);
    EXPECT_EQ(lim.hasShort, 0);
    EXPECT_EQ(lim.lastBand, 0);
    for (int i = 4; i < 576; ++i) ASSERT_EQ(out[i], 0.0f);

    // Mixed block: long bands 0-7 with pre-emphasis, short bands from 3 interleaved from 36.
    gi.blockType = 2;
    gi.mixedBlock = 1;
    gi.preflag = 1;
    std::memset(q, 0, sizeof q);
    q[0] = 1;            // long band 0
    q[36] = 1;           // short band 3, window 0, line 0
    q[36 + 4 + 1] = 1;   // short band 3 (width 4), window 1, line 1
    EXPECT_EQ(Requantize(*l3, gi, sf, q, 48, out, lim), 3 * l3->shortStart[4]);
    EXPECT_EQ(lim.hasShort, 1);
    EXPECT_EQ(lim.firstShortBand, 3);
    EXPECT_EQ(lim.longBands, 8);
    EXPECT_NE(out[0], 0.0f);
    EXPECT_NE(out[36], 0.0f);      // 3 * 12 + 3 * 0 + 0
    EXPECT_NE(out[36 + 3 + 1], 0.0f);  // line 1 of window 1
    EXPECT_EQ(out[37], 0.0f);
    EXPECT_EQ(lim.lastShortBand[0], 3);
    EXPECT_EQ(lim.lastShortBand[1], 3);
    EXPECT_EQ(lim.lastShortBand[2], 2);  // none in window 2
}

TEST(Layer3Stereo, MidSideAndIntensityPositions) {
    auto l3 = Mpeg1State();
    l3->msStereo = true;
    l3->modeExtension = 2;
    l3->nonzero[0] = 300;
    l3->nonzero[1] = 200;
    std::vector<float> left(576, 0.0f), right(576, 0.0f);
    for (int i = 0; i < 300; ++i) left[static_cast<size_t>(i)] = 2.0f;
    for (int i = 0; i < 200; ++i) right[static_cast<size_t>(i)] = 1.0f;
    StereoProcess(*l3, 0, left.data(), right.data());
    EXPECT_EQ(left[0], 3.0f);
    EXPECT_EQ(right[0], 1.0f);
    EXPECT_EQ(left[250], 2.0f);
    EXPECT_EQ(right[250], 2.0f);
    EXPECT_EQ(left[300], 0.0f);
    EXPECT_EQ(l3->nonzero[1], 300);

    // MPEG-1 intensity, no mid/side: position 7 keeps the left lines and empties the right.
    l3 = Mpeg1State();
    l3->intensityStereo = true;
    l3->modeExtension = 1;
    l3->nonzero[0] = 576;
    l3->nonzero[1] = 0;
    l3->limits[1].lastBand = -1;  // nothing coded in the second channel
    for (int32_t& v : l3->sf[1].l) v = 7;
    l3->sf[1].l[2] = 0;  // position 0: all to the right
    std::fill(left.begin(), left.end(), 1.0f);
    std::fill(right.begin(), right.end(), 0.0f);
    StereoProcess(*l3, 0, left.data(), right.data());
    EXPECT_EQ(left[0], 1.0f);
    EXPECT_EQ(right[0], 0.0f);
    EXPECT_EQ(left[8], 0.0f);  // band 2 starts at line 8
    EXPECT_EQ(right[8], 1.0f);
}

TEST(Layer3AliasAndHybrid, Counts) {
    // Alias reduction over 3 boundaries touches lines 10..61 only.
    std::vector<float> lines(576, 1.0f);
    AliasReductionPlain(lines.data(), 3);
    EXPECT_EQ(lines[9], 1.0f);
    EXPECT_NE(lines[10], 1.0f);
    EXPECT_NE(lines[61], 1.0f);
    EXPECT_EQ(lines[62], 1.0f);

    std::vector<float> buf(576, 0.0f), overlap(576, 0.0f), out(576, 7.0f);
    // Long block, counts 0 and 0: all-zero output up to the active limit, count 0.
    EXPECT_EQ(HybridChannelPlain(buf.data(), overlap.data(), out.data(), 0, 0, 0, 0, 32), 0);
    for (float v : out) ASSERT_EQ(v, 0.0f);
    // Mixed block with count 0 still transforms its long part.
    EXPECT_EQ(HybridChannelPlain(buf.data(), overlap.data(), out.data(), 2, 36, 0, 0, 32), 36);
    // Long block with count 1, previous 18: one subband.
    buf[0] = 1000.0f;
    EXPECT_EQ(HybridChannelPlain(buf.data(), overlap.data(), out.data(), 0, 1, 1, 18, 32), 18);
    // Previous count above the current one: overlap passed through, count rounded up.
    std::fill(out.begin(), out.end(), 7.0f);
    for (int i = 0; i < 90; ++i) overlap[static_cast<size_t>(i)] = static_cast<float>(i);
    std::fill(buf.begin(), buf.end(), 0.0f);
    EXPECT_EQ(HybridChannelPlain(buf.data(), overlap.data(), out.data(), 0, 18, 18, 80, 32), 90);
    EXPECT_EQ(out[32 * 5 + 3], overlap[18 * 3 + 5]);
    EXPECT_EQ(out[32 * 5 + 10], 0.0f);
    // Short block: time slots 0..5 are the overlap alone; after a start block the new
    // overlap's slots 12..17 are zero.
    std::fill(buf.begin(), buf.end(), 100.0f);
    EXPECT_EQ(HybridChannelPlain(buf.data(), overlap.data(), out.data(), 2, 0, 36, 0, 32), 36);
    EXPECT_EQ(out[32 * 2 + 1], overlap[18 + 2]);
    for (int k = 12; k < 18; ++k) EXPECT_EQ(buf[18 + static_cast<size_t>(k)], 0.0f);
    std::fill(buf.begin(), buf.end(), 100.0f);
    HybridChannelPlain(buf.data(), overlap.data(), out.data(), 1, 18, 18, 0, 32);
    for (int k = 12; k < 18; ++k) EXPECT_EQ(buf[static_cast<size_t>(k)], 0.0f);

    // Frequency inversion with count 90 negates odd slots of subbands 1 and 3 only.
    std::fill(out.begin(), out.end(), 1.0f);
    FrequencyInversion(out.data(), 90);
    EXPECT_EQ(out[32 * 1 + 1], -1.0f);
    EXPECT_EQ(out[32 * 1 + 3], -1.0f);
    EXPECT_EQ(out[32 * 1 + 5], 1.0f);
    EXPECT_EQ(out[32 * 2 + 1], 1.0f);
}

// The folded kernels against the direct transform sums.
TEST(Layer3AliasAndHybrid, KernelsMatchDirectTransforms) {
    const double pi = 4.0 * std::atan(1.0);
    float x[18];
    for (int k = 0; k < 18; ++k) x[k] = static_cast<float>(std::sin(k * 1.7) * 1000.0);
    float p[18];
    std::memcpy(p, x, sizeof p);
    ImdctLongPlain(p);
    auto direct = [&](int i) {
        double s = 0;
        for (int k = 0; k < 18; ++k) s += x[k] * std::cos(pi / 72.0 * (2 * i + 19) * (2 * k + 1));
        return s;
    };
    for (int m = 0; m < 9; ++m) {
        EXPECT_NEAR(p[m], -direct(26 - m), 0.05);
        EXPECT_NEAR(p[9 + m], direct(m), 0.05);
    }
    float q[18];
    std::memcpy(q, x, sizeof q);
    ImdctShortPlain(q);
    for (int w = 0; w < 3; ++w) {
        auto y = [&](int i) {
            double s = 0;
            for (int k = 0; k < 6; ++k) s += x[3 * k + w] * std::cos(pi / 24.0 * (2 * i + 7) * (2 * k + 1));
            return s;
        };
        for (int m = 0; m < 3; ++m) {
            EXPECT_NEAR(q[6 * w + m], -y(8 - m), 0.02);
            EXPECT_NEAR(q[6 * w + 3 + m], y(m), 0.02);
        }
    }
}

// A stereo MPEG-1 frame at 128 kbit/s, 44.1 kHz, with the given main-data pointer and silent
// granules.
std::vector<uint8_t> SilentFrame(int mainDataBegin, int bitrateIndex = 9, bool crc = false) {
    const int kbps[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    const int length = 144000 * kbps[bitrateIndex] / 44100;
    BitWriter w;
    w.Put(0xFFF, 12);
    w.Put(1, 1);
    w.Put(1, 2);
    w.Put(crc ? 0 : 1, 1);
    w.Put(static_cast<uint32_t>(bitrateIndex), 4);
    w.Put(0, 2);
    w.Put(0, 1);
    w.Put(0, 1);
    w.Put(0, 2);  // stereo
    w.Put(0, 2);
    w.Put(0, 4);
    if (crc) w.Put(0, 16);
    w.Put(static_cast<uint32_t>(mainDataBegin), 9);
    w.Put(0, 3);
    w.Put(0, 8);  // scfsi
    for (int i = 0; i < 4; ++i) {
        w.Put(0, 12);
        w.Put(0, 9);
        w.Put(210, 8);
        w.Put(0, 4);
        w.Put(0, 1);
        w.Put(0, 15);
        w.Put(0, 4);
        w.Put(0, 3);
        w.Put(0, 3);
    }
    return w.Bytes(static_cast<size_t>(length));
}

struct Decoder {
    TMpegDecoder decoder;
    std::vector<uint8_t> pcm = std::vector<uint8_t>(kMaxPcmBytesPerFrame, 0xAB);
    explicit Decoder(const std::vector<uint8_t>& first) {
        FrameHeader h;
        const int32_t base = ParseFrameHeader(first.data(), 0, h);
        EXPECT_EQ(decoder.Open(h, base, 0, 0, 0, 24000), 1);
    }
    DecodeResult Run(const std::vector<uint8_t>& f) {
        std::fill(pcm.begin(), pcm.end(), 0xAB);
        return decoder.DecodeFrame(f.data(), static_cast<int32_t>(f.size()), pcm.data());
    }
};

TEST(Layer3Frame, ReservoirDeficitGivesSilence) {
    Decoder d(SilentFrame(0));
    const DecodedFormat f = d.decoder.GetDecodedFormat();
    EXPECT_EQ(f.channels, 2);
    EXPECT_EQ(f.samplesPerFrame, 2304);
    // mainDataBegin reaches before the start: silence of the full size, a normal result.
    DecodeResult r = d.Run(SilentFrame(100));
    EXPECT_EQ(r.consumed, 417);
    EXPECT_EQ(r.produced, 4608);
    for (int i = 0; i < 4608; ++i) ASSERT_EQ(d.pcm[static_cast<size_t>(i)], 0);
    // Now the reservoir holds 417 - 36 bytes: 100 back is there.
    r = d.Run(SilentFrame(100));
    EXPECT_EQ(r.produced, 4608);
    // Wrong sync word.
    std::vector<uint8_t> bad = SilentFrame(0);
    bad[1] = 0x0B;
    EXPECT_EQ(d.Run(bad).consumed, 0);
    // A frame longer than the bytes given is refused, nothing written.
    std::vector<uint8_t> cut = SilentFrame(0);
    EXPECT_EQ(d.decoder.DecodeFrame(cut.data(), 300, d.pcm.data()).consumed, 0);
}

TEST(Layer3Frame, MainDataTooLongIsRefused) {
    // Free format: the set-up's base length stays; a base beyond the reservoir is refused
    // without writing past it.
    std::vector<uint8_t> first = SilentFrame(0, 9);
    first[2] &= 0x0F;  // bit-rate index 0
    TMpegDecoder decoder;
    FrameHeader h;
    ParseFrameHeader(first.data(), 0, h);
    ASSERT_EQ(h.bitrateIndex, 0);
    ASSERT_EQ(decoder.Open(h, 9000, 0, 0, 0, 24000), 1);
    std::vector<uint8_t> big(9001, 0);
    std::memcpy(big.data(), first.data(), 40);
    std::vector<uint8_t> pcm(kMaxPcmBytesPerFrame);
    EXPECT_EQ(decoder.DecodeFrame(big.data(), static_cast<int32_t>(big.size()), pcm.data()).consumed, 0);
    // A free-format frame of 2000 bytes (more than the usual headroom) still decodes.
    ASSERT_EQ(decoder.Open(h, 2000, 0, 0, 0, 24000), 1);
    std::vector<uint8_t> mid(2000, 0);
    std::memcpy(mid.data(), first.data(), 40);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(decoder.DecodeFrame(mid.data(), static_cast<int32_t>(mid.size()), pcm.data()).consumed, 2000);
}

TEST(Layer3Frame, CrcFrameDecodes) {
    // Protection bit 0: 38 bytes before the main data; the frame still decodes.
    Decoder d(SilentFrame(0, 9, true));
    const DecodeResult r = d.Run(SilentFrame(0, 9, true));
    EXPECT_EQ(r.consumed, 417);
    EXPECT_EQ(r.produced, 4608);
    for (int i = 0; i < 4608; ++i) ASSERT_EQ(d.pcm[static_cast<size_t>(i)], 0);
}

}  // namespace
}  // namespace zentu
