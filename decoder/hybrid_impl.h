// The hybrid filter bank's body, shared by the variants: each instantiates it with its own
// IMDCT kernels and compiles it for its own instruction set. Internal linkage, so that no
// family's copy can stand in for another's.
#pragma once

#include <algorithm>
#include <cstring>

#include "decoder/layer3.h"

namespace zentu::hybrid {
namespace {

// The folded kernels as direct sums over the tables (18 x 18 long, 6 x 6 per short window).
inline void ImdctLong(float* values) {
    const Layer3Tables& t = L3Tables();
    float p[18] = {};
    for (int k = 0; k < 18; ++k) {
        const float x = values[k];
        const float* row = t.imdctLong[k];
        for (int j = 0; j < 18; ++j) p[j] += x * row[j];
    }
    std::memcpy(values, p, sizeof p);
}

inline void ImdctShort(float* values) {
    const Layer3Tables& t = L3Tables();
    float q[18] = {};
    for (int w = 0; w < 3; ++w)
        for (int k = 0; k < 6; ++k) {
            const float x = values[3 * k + w];
            const float* row = t.imdctShort[k];
            for (int j = 0; j < 6; ++j) q[6 * w + j] += x * row[j];
        }
    std::memcpy(values, q, sizeof q);
}

// One long subband: 18 coefficients in `lines` become the output column and the new overlap.
template <void (*Long)(float*)>
inline void LongSubband(float* lines, const float* overlap, float* out, const float* v) {
    float p[18];
    std::memcpy(p, lines, sizeof p);
    Long(p);
    for (int t = 0; t < 9; ++t) out[32 * t] = overlap[t] + v[t] * p[9 + t];
    for (int t = 9; t < 18; ++t) out[32 * t] = overlap[t] + v[t] * p[26 - t];
    for (int j = 0; j < 9; ++j) lines[j] = p[8 - j] * v[18 + j];
    for (int j = 9; j < 18; ++j) lines[j] = p[j - 9] * v[18 + j];
}

// One short subband: three 12-point transforms overlapped inside the 36-sample frame.
template <void (*Short)(float*)>
inline void ShortSubband(float* lines, const float* overlap, float* out, const float* win) {
    float q[18];
    std::memcpy(q, lines, sizeof q);
    Short(q);
    float y[3][12];
    for (int w = 0; w < 3; ++w) {
        const float* qw = q + 6 * w;
        for (int m = 0; m < 3; ++m) {
            y[w][m] = qw[3 + m] * win[m];
            y[w][3 + m] = -qw[5 - m] * win[3 + m];
            y[w][6 + m] = -qw[2 - m] * win[6 + m];
            y[w][9 + m] = -qw[m] * win[9 + m];
        }
    }
    for (int t = 0; t < 6; ++t) out[32 * t] = overlap[t];
    for (int t = 6; t < 12; ++t) out[32 * t] = overlap[t] + y[0][t - 6];
    for (int t = 12; t < 18; ++t) out[32 * t] = overlap[t] + y[0][t - 6] + y[1][t - 12];
    for (int j = 0; j < 6; ++j) lines[j] = y[1][j + 6] + y[2][j];
    for (int j = 6; j < 12; ++j) lines[j] = y[2][j];
    for (int j = 12; j < 18; ++j) lines[j] = 0.0f;
}

template <void (*Long)(float*), void (*Short)(float*)>
int32_t Channel(float* lines, const float* overlap, float* out, int32_t blockType, int32_t longLimit,
                int32_t lineCount, int32_t previousCount, int32_t activeLimit) {
    const Layer3Tables& t = L3Tables();
    const int32_t active = std::clamp(activeLimit, 0, 32);
    const int32_t all = std::clamp((lineCount + 17) / 18, 0, active);
    int32_t longEnd = std::clamp((longLimit + 17) / 18, 0, active);
    const int32_t previous = std::clamp((previousCount + 17) / 18, 0, active);
    const bool mixedHead = (blockType & kMixedLongHead) != 0;
    blockType &= 3;
    if (blockType != 2) longEnd = std::max(longEnd, all);

    int32_t s = 0;
    if (mixedHead)
        for (; s < std::min(longEnd, 2); ++s) LongSubband<Long>(lines + 18 * s, overlap + 18 * s, out + s, t.window[0]);
    const float* v = t.window[blockType == 2 ? 0 : blockType];
    for (; s < longEnd; ++s) LongSubband<Long>(lines + 18 * s, overlap + 18 * s, out + s, v);
    for (; s < all; ++s) ShortSubband<Short>(lines + 18 * s, overlap + 18 * s, out + s, t.shortWindow);
    for (; s < previous; ++s) {
        const float* o = overlap + 18 * s;
        for (int k = 0; k < 18; ++k) out[32 * k + s] = o[k];
    }
    const int32_t n = s;
    if (n < active)
        for (int k = 0; k < 18; ++k) std::memset(out + 32 * k + n, 0, static_cast<size_t>(active - n) * sizeof(float));
    return 18 * n;
}

}  // namespace
}  // namespace zentu::hybrid
