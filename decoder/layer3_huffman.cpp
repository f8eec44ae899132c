// Layer III scale factors and Huffman decoding of the quantised lines.
#include <algorithm>
#include <array>
#include <cstring>

#include "decoder/layer3.h"
#include "decoder/tables/huffman_tables.h"
#include "decoder/tables/iso_tables.h"

namespace zentu {

void ReadScaleFactorsMpeg1(TBitReader& br, const GranuleInfo& gi, int32_t granule, int32_t scfsi,
                           ScaleFactors& sf) {
    const int slen1 = tables::kSlen1[static_cast<size_t>(gi.scalefacCompress & 15)];
    const int slen2 = tables::kSlen2[static_cast<size_t>(gi.scalefacCompress & 15)];
    if (gi.blockType == 2) {
        int first = 0;
        if (gi.mixedBlock) {
            for (int b = 0; b < 8; ++b) sf.l[b] = static_cast<int32_t>(br.Read(slen1));
            first = 3;
        }
        for (int b = first; b < 12; ++b)
            for (int w = 0; w < 3; ++w) sf.s[w][b] = static_cast<int32_t>(br.Read(b < 6 ? slen1 : slen2));
        return;
    }
    // Groups of long bands; in granule 1 a set scfsi bit keeps granule 0's values.
    static constexpr int kGroupStart[5] = {0, 6, 11, 16, 21};
    for (int group = 0; group < 4; ++group) {
        if (granule == 1 && (scfsi & (8 >> group))) continue;
        const int slen = group < 2 ? slen1 : slen2;
        for (int b = kGroupStart[group]; b < kGroupStart[group + 1]; ++b) sf.l[b] = static_cast<int32_t>(br.Read(slen));
    }
}

void ReadScaleFactorsLsf(TBitReader& br, GranuleInfo& gi, bool intensitySecond, ScaleFactors& sf,
                         IntensityLayout& layout) {
    const int32_t sfc = gi.scalefacCompress;
    int slen[4];
    int row;
    gi.preflag = 0;
    if (!intensitySecond) {
        if (sfc < 400) {
            slen[0] = (sfc >> 4) / 5;
            slen[1] = (sfc >> 4) % 5;
            slen[2] = (sfc & 15) >> 2;
            slen[3] = sfc & 3;
            row = 0;
        } else if (sfc < 500) {
            const int v = sfc - 400;
            slen[0] = (v >> 2) / 5;
            slen[1] = (v >> 2) % 5;
            slen[2] = v & 3;
            slen[3] = 0;
            row = 1;
        } else {
            const int v = sfc - 500;
            slen[0] = v / 3;
            const bool mixed = gi.blockType == 2 && gi.mixedBlock;
            slen[1] = mixed ? v / 3 : v % 3;
            slen[2] = mixed ? v % 3 : 0;
            slen[3] = 0;
            row = 2;
            gi.preflag = 1;
        }
    } else {
        const int isfc = sfc >> 1;
        layout.intensityScale = sfc & 1;
        if (isfc < 180) {
            slen[0] = isfc / 36;
            slen[1] = (isfc % 36) / 6;
            slen[2] = (isfc % 36) % 6;
            slen[3] = 0;
            row = 3;
        } else if (isfc < 244) {
            const int v = isfc - 180;
            slen[0] = v >> 4;
            slen[1] = (v >> 2) & 3;
            slen[2] = v & 3;
            slen[3] = 0;
            row = 4;
        } else {
            const int v = isfc - 244;
            slen[0] = v / 3;
            slen[1] = v % 3;
            slen[2] = 0;
            slen[3] = 0;
            row = 5;
        }
    }
    const int kind = gi.blockType == 2 ? (gi.mixedBlock ? 2 : 1) : 0;
    const auto& counts = tables::kLsfBandCounts[static_cast<size_t>(row)][static_cast<size_t>(kind)];
    if (intensitySecond)
        for (int g = 0; g < 3; ++g) {
            layout.bandCount[g] = counts[static_cast<size_t>(g)];
            layout.slen[g] = slen[g];
        }

    sf = ScaleFactors{};
    int group = 0;
    if (kind == 0) {
        int b = 0;
        for (; group < 4; ++group)
            for (int i = 0; i < counts[static_cast<size_t>(group)] && b < 21; ++i, ++b)
                sf.l[b] = static_cast<int32_t>(br.Read(slen[group]));
        return;
    }
    int b = 0;
    if (kind == 2) {
        for (int i = 0; i < counts[0]; ++i) sf.l[i] = static_cast<int32_t>(br.Read(slen[0]));
        group = 1;
        b = 3;
    }
    for (; group < 4; ++group)
        for (int i = 0; i < counts[static_cast<size_t>(group)] && b < 12; ++i, ++b)
            for (int w = 0; w < 3; ++w) sf.s[w][b] = static_cast<int32_t>(br.Read(slen[group]));
}

namespace {

// Entries of the generated look-up tables (see huffman_tables.h): a link to a further level,
// and in the tables without escapes the first of the leaves that are not a complete pair.
constexpr uint32_t kLink = 0x8000;
constexpr uint32_t kOther = 0x4000;

// Follows the links of a code longer than the first look-up to its leaf.
inline uint32_t FollowLinks(TBitReader& br, const uint16_t* table, int width, uint32_t e) {
    while (e & kLink) {
        br.SkipUnchecked(width);
        width = static_cast<int>((e >> 12) & 7) + 1;
        e = table[(e & 0xFFF) + br.PeekUnchecked(width)];
    }
    return e;
}

// Applies sign bit s (0 or 1) to v.
inline int32_t Signed(int32_t v, int32_t s) { return (v ^ -s) + s; }

// A pair of a table without escapes that the first look-up did not complete: a long code
// (through further levels), or one whose signs lie past the look-up. Out of line, and the
// reader passed by value, so that the common path keeps its reader in registers.
[[gnu::noinline]] TBitReader DecodeOtherPair(TBitReader br, const uint16_t* table, int width, uint32_t e,
                                             int32_t* q) {
    e = FollowLinks(br, table, width, e);
    const auto x = static_cast<int32_t>(e & 15);
    const auto y = static_cast<int32_t>((e >> 4) & 15);
    const int tx = x != 0;
    const uint64_t after = br.WindowUnchecked() << ((e >> 8) & 15);  // the signs
    br.SkipUnchecked(static_cast<int>((e >> 8) & 15) + tx + (y != 0));
    q[0] = Signed(x, static_cast<int32_t>(after >> 63) & tx);
    q[1] = Signed(y, static_cast<int32_t>((after << tx) >> 63) & (y != 0));
    return br;
}

// One pair of a table without escapes into q[0], q[1]: almost always one look-up that gives
// both values with their signs and the bits of code and signs together.
inline void DecodePair(TBitReader& br, const uint16_t* table, int first, int32_t* q) {
    br.Need(24);  // a code of at most 19 bits, or the first look-up's width, and two signs
    const uint32_t e = table[br.PeekUnchecked(first)];
    if (e >= kOther) [[unlikely]] {
        br = DecodeOtherPair(br, table, first, e, q);
        return;
    }
    br.SkipUnchecked(static_cast<int>(e >> 10));
    q[0] = static_cast<int32_t>(e << 27) >> 27;
    q[1] = static_cast<int32_t>(e << 22) >> 27;
}

// One pair of a table with escapes (the loud low lines, where values of 15 and long codes are
// common: a branch on them would be mispredicted half the time). The look-up gives both
// values and the bits of code and signs; the escape bits and signs are taken from the window
// read before, and the reader moves once, without a branch on any of them.
inline void DecodeEscapePair(TBitReader& br, const uint16_t* table, int first, int linbits, int32_t* q) {
    br.Need(48);  // a code of at most 17 bits, two escapes of 13 bits, two signs
    uint64_t window = br.WindowUnchecked();
    uint32_t e = table[window >> (64 - first)];
    if (e & kLink) [[unlikely]] {
        e = FollowLinks(br, table, first, e);
        window = br.WindowUnchecked();
    }
    auto x = static_cast<int32_t>(e & 15);
    auto y = static_cast<int32_t>((e >> 4) & 15);
    const int tx = x != 0;
    const int ty = y != 0;
    const int lx = x == 15 ? linbits : 0;
    const int ly = y == 15 ? linbits : 0;
    const int bits = static_cast<int>((e >> 8) & 15);  // code and signs
    uint64_t after = window << (bits - tx - ty);       // the bits after the code
    br.SkipUnchecked(bits + lx + ly);
    x += static_cast<int32_t>((after >> 1) >> (63 - lx));  // nothing when lx is 0
    after <<= lx;
    const auto sx = static_cast<int32_t>(after >> 63) & tx;
    after <<= tx;
    y += static_cast<int32_t>((after >> 1) >> (63 - ly));
    after <<= ly;
    q[0] = Signed(x, sx);
    q[1] = Signed(y, static_cast<int32_t>(after >> 63) & ty);
}

// The four values of a count-1 look-up's nonzero mask (bits 0-3, v in bit 3) and negative
// mask (bits 4-7), and how far the lines that may be nonzero reach into the quadruple (0: no
// value, 2: only v or w, 4: x or y).
struct Quadruple {
    alignas(16) int32_t value[4];
    int32_t extent;
};
constexpr std::array<Quadruple, 256> kQuadruples = [] {
    std::array<Quadruple, 256> t{};
    for (uint32_t m = 0; m < 256; ++m) {
        const uint32_t nz = m & 15, neg = m >> 4;
        for (int k = 0; k < 4; ++k) {
            const uint32_t bit = 8u >> k;
            t[m].value[k] = (nz & bit) ? ((neg & bit) ? -1 : 1) : 0;
        }
        t[m].extent = (nz & 3) ? 4 : nz ? 2 : 0;
    }
    return t;
}();

// One channel's Huffman decoding: its own reader (a copy that nothing else can reach stays
// in registers, since the stores of the lines cannot alias it), its regions and how far it
// got. The big values run region by region: [i, end) is the part of the current region
// still to decode with `table`.
struct Lane {
    TBitReader br;
    const GranuleInfo* gi = nullptr;
    int32_t* quant = nullptr;
    int64_t dataEnd = 0;
    int64_t endBit = 0;  // past this the channel has overrun its data
    int32_t regionEnd[3] = {};
    int32_t bigEnd = 0;
    int32_t i = 0;
    int32_t end = 0;
    int region = -1;
    bool overrun = false;
    tables::HuffTableInfo table{};

    Lane(const TBitReader& reader, const GranuleInfo& info, const Layer3State& l3, int64_t end, int32_t* lines)
        : br(reader), gi(&info), quant(lines), dataEnd(end), endBit(end + kOverrunSlack) {
        bigEnd = std::min(info.bigValues * 2, l3.maxLines);
        const int32_t r1 = l3.longStart[std::min(info.region0Count + 1, 22)];
        const int32_t r2 = l3.longStart[std::min(info.region0Count + info.region1Count + 2, 22)];
        regionEnd[0] = std::min(r1, bigEnd);
        regionEnd[1] = std::min(r2, bigEnd);
        regionEnd[2] = bigEnd;
    }

    // Moves on to the next region with pairs to decode; regions without data (and all after
    // an overrun) are filled with zeros. False when the big values are done.
    bool NextRegion() {
        while (++region < 3) {
            end = std::max(regionEnd[region], i);
            table = tables::kHuffTables[static_cast<size_t>(gi->tableSelect[region] & 31)];
            if (table.kind == 0 || overrun) {
                for (; i < end; ++i) quant[i] = 0;
                continue;
            }
            if (i < end) return true;
        }
        return false;
    }

    // The rest of the current region; after each pair the reader may have run past the
    // channel's data, which stops the channel.
    template <bool Escape>
    void DecodeRegion() {
        const uint16_t* t = table.table;
        const int first = table.width;
        const int linbits = table.linbits;
        for (; i < end; i += 2) {
            if constexpr (Escape)
                DecodeEscapePair(br, t, first, linbits, quant + i);
            else
                DecodePair(br, t, first, quant + i);
            if (br.BitsConsumed() > endBit) {
                overrun = true;
                i += 2;
                return;
            }
        }
    }

    // The current region (entered by NextRegion) and the ones after it.
    void RestOfBigValues() {
        do {
            if (table.kind == 3)
                DecodeRegion<true>();
            else
                DecodeRegion<false>();
        } while (NextRegion());
    }

    // Count-1 quadruples until the channel's bits are used up (each code with its signs in
    // one look-up), then the clean-up; returns the count of lines that may be nonzero.
    int32_t Finish(const Layer3State& l3) {
        const int32_t maxLines = l3.maxLines;
        i = bigEnd;
        int32_t nonzero = bigEnd;
        if (!overrun) {
            const bool tableB = gi->count1TableSelect != 0;
            const uint16_t* t = tableB ? tables::kCount1LookupB.data() : tables::kCount1LookupA.data();
            const int width = tableB ? 8 : 10;
            const int64_t least = tableB ? 4 : 1;
            int64_t remaining = dataEnd - br.BitsConsumed();
            int32_t lastStart = -1;
            while (i < maxLines && remaining >= least) {
                br.Need(10);
                const uint32_t e = t[br.PeekUnchecked(width)];
                const int length = static_cast<int>((e >> 8) & 15);
                br.SkipUnchecked(length);
                remaining -= length;
                const Quadruple& v = kQuadruples[e & 255];
                std::memcpy(quant + i, v.value, sizeof v.value);
                lastStart = i;
                nonzero = v.extent ? i + v.extent : nonzero;
                i += 4;
                if (br.BitsConsumed() > endBit) {
                    overrun = true;
                    break;
                }
            }
            // A codeword that ran past the channel's bits is not data.
            if (remaining < 0 && lastStart >= 0) {
                quant[lastStart] = quant[lastStart + 1] = quant[lastStart + 2] = quant[lastStart + 3] = 0;
            }
        }
        if (overrun) {
            std::memset(quant, 0, 576 * sizeof(int32_t));
            return 0;
        }
        nonzero = std::min(nonzero, maxLines);
        const int32_t cap = gi->blockType == 2 ? l3.shortCap : l3.longCap;
        const int32_t clearFrom = std::min(nonzero, cap);
        if (clearFrom < 576) std::memset(quant + clearFrom, 0, static_cast<size_t>(576 - clearFrom) * sizeof(int32_t));
        return nonzero;
    }
};

}  // namespace

int32_t DecodeHuffman(TBitReader& reader, const GranuleInfo& gi, const Layer3State& l3, int64_t dataEnd,
                      int32_t* quant) {
    Lane lane(reader, gi, l3, dataEnd, quant);
    if (lane.NextRegion()) lane.RestOfBigValues();
    const int32_t nonzero = lane.Finish(l3);
    reader = lane.br;
    return nonzero;
}

}  // namespace zentu
