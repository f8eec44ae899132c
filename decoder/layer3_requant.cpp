// Layer III requantisation, short-block reordering, stereo processing and alias reduction,
// with the tables they use.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "decoder/layer3.h"
#include "decoder/tables/iso_tables.h"

namespace zentu {

namespace {

Layer3Tables BuildTables() {
    Layer3Tables t{};
    const double pi = 4.0 * std::atan(1.0);
    for (int i = 0; i < 262; ++i) t.gain[i] = static_cast<float>(std::pow(2.0, (i - 6 - 150) / 4.0));
    for (int scale = 0; scale < 2; ++scale)
        for (int p = 0; p < 4; ++p)
            for (int sf = 0; sf < 32; ++sf)
                t.multiplier[scale][p][sf] = static_cast<float>(std::pow(2.0, -0.5 * (1 + scale) * (sf + p)));
    for (int i = 0; i < 8; ++i) t.subblockGain[i] = static_cast<float>(std::pow(2.0, -2.0 * i));
    for (int i = 0; i <= Layer3Tables::kPowOffset; ++i) {
        const auto v = static_cast<float>(std::pow(static_cast<double>(i), 4.0 / 3.0));
        t.pow43[Layer3Tables::kPowOffset + i] = v;
        t.pow43[Layer3Tables::kPowOffset - i] = -v;
    }
    static constexpr double kAliasCoefficients[8] = {-0.6, -0.535, -0.33, -0.185, -0.095, -0.041, -0.0142, -0.0037};
    for (int i = 0; i < 8; ++i) {
        const double c = kAliasCoefficients[i];
        t.cs[i] = static_cast<float>(1.0 / std::sqrt(1.0 + c * c));
        t.ca[i] = static_cast<float>(c / std::sqrt(1.0 + c * c));
    }
    const double root2 = std::sqrt(2.0);
    for (int ms = 0; ms < 2; ++ms) {
        const double m = ms ? root2 : 1.0;
        for (int p = 0; p < 7; ++p) {
            const double a = p * pi / 12.0;
            t.isRatio[ms][p][0] = static_cast<float>(m * std::sin(a) / (std::sin(a) + std::cos(a)));
            t.isRatio[ms][p][1] = static_cast<float>(m * std::cos(a) / (std::sin(a) + std::cos(a)));
        }
        // Position 7 is not allowed: the band stays as decoded.
        t.isRatio[ms][7][0] = 1.0f;
        t.isRatio[ms][7][1] = ms ? 1.0f : 0.0f;
    }
    for (int scale = 0; scale < 2; ++scale)
        for (int ms = 0; ms < 2; ++ms) {
            const double m = ms ? root2 : 1.0;
            const double k = std::pow(2.0, -(scale + 1) / 4.0);
            for (int s = 0; s < 6; ++s) {
                const int base = (1 << s) - 1;
                for (int p = 0; p < (1 << s); ++p) {
                    float* pair = t.isRatioLsf[scale][ms][base + p];
                    if (p == (1 << s) - 1) {
                        pair[0] = 1.0f;
                        pair[1] = ms ? 1.0f : 0.0f;
                    } else if (p == 0) {
                        pair[0] = pair[1] = static_cast<float>(m);
                    } else if (p % 2 == 0) {
                        pair[0] = static_cast<float>(m);
                        pair[1] = static_cast<float>(m * std::pow(k, p / 2));
                    } else {
                        pair[0] = static_cast<float>(m * std::pow(k, (p + 1) / 2));
                        pair[1] = static_cast<float>(m);
                    }
                }
            }
        }
    // Long windows; the signs of the folded transform output are folded in.
    for (int i = 0; i < 36; ++i) {
        const double longWin = std::sin(pi / 36.0 * (i + 0.5));
        t.window[0][i] = static_cast<float>(longWin);
        t.window[1][i] = static_cast<float>(i < 18 ? longWin : i < 24 ? 1.0 : i < 30 ? std::sin(pi / 12.0 * (i - 18 + 0.5)) : 0.0);
        t.window[3][i] = static_cast<float>(i < 6 ? 0.0 : i < 12 ? std::sin(pi / 12.0 * (i - 6 + 0.5)) : i < 18 ? 1.0 : longWin);
        t.window[2][i] = static_cast<float>(i < 12 ? std::sin(pi / 12.0 * (i + 0.5)) : 0.0);
    }
    for (int row : {0, 1, 3})
        for (int i = 9; i < 36; ++i) t.window[row][i] = -t.window[row][i];
    for (int i = 3; i < 12; ++i) t.window[2][i] = -t.window[2][i];
    for (int i = 0; i < 12; ++i) t.shortWindow[i] = static_cast<float>(std::sin(pi / 12.0 * (i + 0.5)));
    // Folded transform matrices: the long kernel's outputs are p[j] = -x[26 - j] (j < 9) and
    // p[j] = x[j - 9]; the short kernel's q[j] = -y[8 - j] (j < 3) and q[j] = y[j - 3].
    for (int k = 0; k < 18; ++k)
        for (int j = 0; j < 18; ++j) {
            const int i = j < 9 ? 26 - j : j - 9;
            const double c = std::cos(pi / 72.0 * (2 * i + 19) * (2 * k + 1));
            t.imdctLong[k][j] = static_cast<float>(j < 9 ? -c : c);
        }
    for (int k = 0; k < 6; ++k)
        for (int j = 0; j < 6; ++j) {
            const int i = j < 3 ? 8 - j : j - 3;
            const double c = std::cos(pi / 24.0 * (2 * i + 7) * (2 * k + 1));
            t.imdctShort[k][j] = static_cast<float>(j < 3 ? -c : c);
        }
    return t;
}

inline float Dequant(const Layer3Tables& t, int32_t x, float scale) {
    return t.pow43[Layer3Tables::kPowOffset + x] * scale;
}

}  // namespace

const Layer3Tables& L3Tables() {
    static const Layer3Tables tables = BuildTables();
    return tables;
}

int32_t Requantize(const Layer3State& l3, const GranuleInfo& gi, const ScaleFactors& sf, const int32_t* quant,
                   int32_t count, float* out, BandLimits& limits) {
    const Layer3Tables& t = L3Tables();
    const int32_t n = std::clamp(count, 0, 576);
    const float globalScale = t.gain[std::clamp(gi.globalGain + 6, 0, 261)];
    const int32_t sfs = gi.scalefacScale & 1;

    limits = BandLimits{};
    if (gi.blockType == 2) {
        limits.hasShort = 1;
        limits.firstShortBand = gi.mixedBlock ? 3 : 0;
        limits.longBands = gi.mixedBlock ? l3.switchBand : 0;
    }
    for (int32_t& b : limits.lastShortBand) b = limits.firstShortBand - 1;

    int32_t line = 0;
    int32_t lastLong = -1;
    for (int32_t b = 0; b < limits.longBands && line < n; ++b) {
        const int32_t end = l3.longStart[b + 1];
        const int32_t p = gi.preflag ? tables::kPretab[static_cast<size_t>(b)] : 0;
        const float scale = globalScale * t.multiplier[sfs][p][sf.l[b] & 31];
        int32_t any = 0;
        for (; line < end; ++line) {
            const int32_t x = quant[line];
            any |= x;
            out[line] = Dequant(t, x, scale);
        }
        if (any) lastLong = b;
    }
    int32_t result = n;
    if (!limits.hasShort) {
        limits.lastBand = lastLong;
    } else {
        const int32_t first = limits.firstShortBand;
        const int32_t shortBase = 3 * l3.shortStart[first];
        if (line < shortBase && shortBase < n) {
            std::memset(out + line, 0, static_cast<size_t>(shortBase - line) * sizeof(float));
            line = shortBase;
        }
        float windowScale[3];
        for (int w = 0; w < 3; ++w) windowScale[w] = globalScale * t.subblockGain[gi.subblockGain[w] & 7];
        for (int32_t b = first; b < 13 && 3 * l3.shortStart[b] < n; ++b) {
            const int32_t start = 3 * l3.shortStart[b];
            const int32_t width = l3.shortStart[b + 1] - l3.shortStart[b];
            for (int w = 0; w < 3; ++w) {
                const float scale = windowScale[w] * t.multiplier[sfs][0][sf.s[w][b] & 31];
                const int32_t* src = quant + start + w * width;
                float* dst = out + start + w;
                int32_t any = 0;
                for (int32_t i = 0; i < width; ++i) {
                    any |= src[i];
                    dst[3 * i] = Dequant(t, src[i], scale);
                }
                if (any) limits.lastShortBand[w] = b;
            }
            line = 3 * l3.shortStart[b + 1];
            result = line;
        }
        limits.lastBand = std::max({limits.lastShortBand[0], limits.lastShortBand[1], limits.lastShortBand[2]});
    }
    if (line < 576) std::memset(out + line, 0, static_cast<size_t>(576 - line) * sizeof(float));
    return result;
}

namespace {

// Group bases of the low-sampling-frequency intensity positions, per long and short band.
void LsfBases(const Layer3State& l3, const GranuleInfo& gi, int32_t* longBase, int32_t* shortBase) {
    const IntensityLayout& layout = l3.intensity;
    for (int b = 0; b < 22; ++b) longBase[b] = 0;
    for (int b = 0; b < 13; ++b) shortBase[b] = 0;
    const bool isShort = gi.blockType == 2;
    int band = 0;
    int group = 0;
    if (isShort && gi.mixedBlock) {
        for (int i = 0; i < layout.bandCount[0] && i < 22; ++i) longBase[i] = (1 << std::min(layout.slen[0], 5)) - 1;
        group = 1;
        band = 3;
    }
    int32_t* base = isShort ? shortBase : longBase;
    const int limit = isShort ? 13 : 22;
    for (; group < 3; ++group)
        for (int i = 0; i < layout.bandCount[group] && band < limit; ++i, ++band)
            base[band] = (1 << std::min(layout.slen[group], 5)) - 1;
}

inline void MidSide(float* left, float* right, int32_t i) {
    const float a = left[i];
    const float b = right[i];
    left[i] = a + b;
    right[i] = a - b;
}

inline void Intensity(float* left, float* right, int32_t i, const float* pair) {
    const float m = left[i];
    left[i] = m * pair[0];
    right[i] = m * pair[1];
}

}  // namespace

void StereoProcess(Layer3State& l3, int32_t granule, float* left, float* right) {
    const Layer3Tables& t = L3Tables();
    const BandLimits& lr = l3.limits[1];
    int32_t& n0 = l3.nonzero[0];
    int32_t& n1 = l3.nonzero[1];
    const int32_t ms = l3.msStereo ? 1 : 0;
    const int32_t both = std::max(n0, n1);
    if (!l3.intensityStereo) {
        for (int32_t i = 0; i < both; ++i) MidSide(left, right, i);
        n0 = n1 = both;
        return;
    }

    // Intensity positions: MPEG-1 takes the second channel's scale factor (7 is not allowed),
    // the low sampling frequencies a pair from the group of the scale factor's length. The top
    // band has no scale factor of its own: it repeats the band below when that one is
    // intensity-coded, else it takes the neutral position (low sampling frequencies) or counts
    // as not allowed (MPEG-1).
    const ScaleFactors& sf = l3.sf[1];
    int32_t longBase[22], shortBase[13];
    if (l3.lsf) LsfBases(l3, l3.gi[granule][1], longBase, shortBase);
    const auto& block = t.isRatioLsf[l3.intensity.intensityScale & 1][ms];
    const float* neutral = l3.lsf ? block[1] : t.isRatio[ms][7];
    auto pairOf = [&](int32_t base, int32_t position) -> const float* {
        return l3.lsf ? block[std::min(base + position, 62)] : t.isRatio[ms][std::min(position, 7)];
    };

    if (!lr.hasShort) {
        const int32_t start = lr.lastBand + 1;
        const int32_t isStart = l3.longStart[std::min(start, 22)];
        if (ms)
            for (int32_t i = 0, end = std::min(both, isStart); i < end; ++i) MidSide(left, right, i);
        // Lines past the first channel's count are zero on both sides.
        const float* pair = neutral;
        for (int32_t b = start; b <= 21; ++b) {
            if (b < 21) pair = pairOf(l3.lsf ? longBase[b] : 0, sf.l[b]);
            const int32_t end = std::min(l3.longStart[b + 1], n0);
            for (int32_t i = l3.longStart[b]; i < end; ++i) Intensity(left, right, i, pair);
        }
    } else {
        // Short blocks: each window has its own start; lines below it are mid/side coded.
        const int32_t first = lr.firstShortBand;
        if (ms)
            for (int32_t i = 0, end = std::min(both, 3 * l3.shortStart[first]); i < end; ++i) MidSide(left, right, i);
        for (int w = 0; w < 3; ++w) {
            const int32_t start = std::max(lr.lastShortBand[w] + 1, first);
            if (ms)
                for (int32_t b = first; b < start; ++b)
                    for (int32_t i = l3.shortStart[b]; i < l3.shortStart[b + 1]; ++i) MidSide(left, right, 3 * i + w);
            const float* pair = neutral;
            for (int32_t b = start; b <= 12; ++b) {
                if (b < 12) pair = pairOf(l3.lsf ? shortBase[b] : 0, sf.s[w][b]);
                for (int32_t i = l3.shortStart[b]; i < l3.shortStart[b + 1]; ++i) Intensity(left, right, 3 * i + w, pair);
            }
        }
    }
    n0 = n1 = std::max(n0, n1);
}

void AliasReductionPlain(float* lines, int32_t boundaries) {
    const Layer3Tables& t = L3Tables();
    for (int32_t i = 0; i < boundaries; ++i) {
        float* upper = lines + 18 * i + 17;
        float* lower = lines + 18 * (i + 1);
        for (int j = 0; j < 8; ++j) {
            const float a = upper[-j];
            const float b = lower[j];
            upper[-j] = a * t.cs[j] - b * t.ca[j];
            lower[j] = b * t.cs[j] + a * t.ca[j];
        }
    }
}

}  // namespace zentu
