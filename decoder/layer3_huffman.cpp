// Layer III scale factors and Huffman decoding of the quantised lines.
#include <algorithm>
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

// A link entry of the generated look-up tables (see huffman_tables.h).
constexpr uint32_t kLink = 0x8000;

// The pairs of one region from line i up to `end`; false, or true when the reader ran past
// the channel's data (i is then just after the pair that did). One look-up gives both
// values and the bits the pair takes; the reader moves once per pair, and the signs (and
// escape bits, a value of 15 in the tables with escapes) are taken from the window read
// before, off the chain from one pair to the next. No branch depends on a sign: the signs
// of real music are a coin toss that no branch predictor guesses.
template <bool Escape>
inline bool DecodePairs(TBitReader& br, const tables::HuffTableInfo& t, int64_t endBit, int32_t* quant,
                        int32_t& i, int32_t end) {
    const uint16_t* table = t.table;
    const int first = t.width;
    const int linbits = t.linbits;
    for (; i < end; i += 2) {
        // a code (at most 19 bits) or the first look-up's width, with escapes two of 13
        // bits, and two signs
        br.Need(Escape ? 48 : 24);
        uint64_t window = br.WindowUnchecked();
        uint32_t e = table[window >> (64 - first)];
        if (e & kLink) [[unlikely]] {
            int width = first;
            do {
                br.SkipUnchecked(width);
                width = static_cast<int>((e >> 12) & 7) + 1;
                e = table[(e & 0xFFF) + br.PeekUnchecked(width)];
            } while (e & kLink);
            window = br.WindowUnchecked();
        }
        auto x = static_cast<int32_t>(e & 15);
        auto y = static_cast<int32_t>((e >> 4) & 15);
        const int tx = x != 0;
        const int ty = y != 0;
        const int bits = static_cast<int>((e >> 8) & 15);  // code and signs
        uint64_t after = window << (bits - tx - ty);       // the bits after the code
        int32_t sx, sy;
        if constexpr (Escape) {
            const int lx = x == 15 ? linbits : 0;
            const int ly = y == 15 ? linbits : 0;
            br.SkipUnchecked(bits + lx + ly);
            x += static_cast<int32_t>((after >> 1) >> (63 - lx));  // nothing when lx is 0
            after <<= lx;
            sx = static_cast<int32_t>(after >> 63) & tx;
            after <<= tx;
            y += static_cast<int32_t>((after >> 1) >> (63 - ly));
            after <<= ly;
            sy = static_cast<int32_t>(after >> 63) & ty;
        } else {
            br.SkipUnchecked(bits);
            sx = static_cast<int32_t>(after >> 63) & tx;
            sy = static_cast<int32_t>((after << tx) >> 63) & ty;
        }
        quant[i] = (x ^ -sx) + sx;
        quant[i + 1] = (y ^ -sy) + sy;
        if (br.BitsConsumed() > endBit) {
            i += 2;
            return true;
        }
    }
    return false;
}

// The lines of one granule and channel (see DecodeHuffman).
inline int32_t DecodeLines(TBitReader& br, const GranuleInfo& gi, const Layer3State& l3, int64_t dataEnd,
                           int32_t* quant) {
    const int64_t endBit = dataEnd + kOverrunSlack;
    const int32_t maxLines = l3.maxLines;
    const int32_t bigEnd = std::min(gi.bigValues * 2, maxLines);
    const int32_t r1 = l3.longStart[std::min(gi.region0Count + 1, 22)];
    const int32_t r2 = l3.longStart[std::min(gi.region0Count + gi.region1Count + 2, 22)];
    const int32_t regionEnd[3] = {std::min(r1, bigEnd), std::min(r2, bigEnd), bigEnd};

    bool overrun = false;
    int32_t i = 0;
    for (int region = 0; region < 3; ++region) {
        const int32_t end = std::max(regionEnd[region], i);
        const tables::HuffTableInfo& table = tables::kHuffTables[static_cast<size_t>(gi.tableSelect[region] & 31)];
        if (table.kind == 0 || overrun) {
            for (; i < end; ++i) quant[i] = 0;
            continue;
        }
        overrun = table.kind == 3 ? DecodePairs<true>(br, table, endBit, quant, i, end)
                                  : DecodePairs<false>(br, table, endBit, quant, i, end);
    }
    i = bigEnd;

    // Count-1 quadruples until the channel's bits are used up: each code with its signs in
    // one look-up.
    int32_t nonzero = bigEnd;
    if (!overrun) {
        const bool tableB = gi.count1TableSelect != 0;
        const uint16_t* table = tableB ? tables::kCount1LookupB.data() : tables::kCount1LookupA.data();
        const int width = tableB ? 8 : 10;
        const int64_t least = tableB ? 4 : 1;
        int64_t remaining = dataEnd - br.BitsConsumed();
        int32_t lastStart = -1;
        while (i < maxLines && remaining >= least) {
            br.Need(10);
            const uint32_t e = table[br.PeekUnchecked(width)];
            const int length = static_cast<int>((e >> 8) & 15);
            br.SkipUnchecked(length);
            remaining -= length;
            // value k: 1 when nonzero, -1 when also negative
            const auto nz = static_cast<int32_t>(e & 15);
            const auto neg = static_cast<int32_t>((e >> 3) & 30);
            quant[i] = ((nz >> 3) & 1) - ((neg >> 3) & 2);
            quant[i + 1] = ((nz >> 2) & 1) - ((neg >> 2) & 2);
            quant[i + 2] = ((nz >> 1) & 1) - ((neg >> 1) & 2);
            quant[i + 3] = (nz & 1) - (neg & 2);
            lastStart = i;
            if (nz) nonzero = i + ((nz & 3) ? 4 : 2);
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
    const int32_t cap = gi.blockType == 2 ? l3.shortCap : l3.longCap;
    const int32_t clearFrom = std::min(nonzero, cap);
    if (clearFrom < 576) std::memset(quant + clearFrom, 0, static_cast<size_t>(576 - clearFrom) * sizeof(int32_t));
    return nonzero;
}

}  // namespace

int32_t DecodeHuffman(TBitReader& reader, const GranuleInfo& gi, const Layer3State& l3, int64_t dataEnd,
                      int32_t* quant) {
    // A copy of the reader that nothing else can reach stays in registers: the stores of
    // the lines cannot alias it.
    TBitReader br = reader;
    const int32_t nonzero = DecodeLines(br, gi, l3, dataEnd, quant);
    reader = br;
    return nonzero;
}

}  // namespace zentu
