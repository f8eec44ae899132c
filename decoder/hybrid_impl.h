// The hybrid filter bank's body, shared by the variants: each instantiates it with its own
// IMDCT kernels and compiles it for its own instruction set. Internal linkage, so that no
// family's copy can stand in for another's.
#pragma once

#include <algorithm>
#include <cmath>
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

// The long kernel is an 18-point DCT-IV: p[n] = sum_k X[k] cos(pi/18 (n + 1/2)(k + 1/2)). Its
// fast form: an 18-point DCT-II V of u[k] = X[k] / (2 cos((2k + 1) pi/72)) gives p[n] = V[n] +
// V[n + 1] (V[18] = 0). V's even half is a 9-point DCT-II of u[k] + u[17 - k], its odd half a
// 9-point DCT-IV of u[k] - u[17 - k], done the same way with 2 cos((2k + 1) pi/36); a 9-point
// DCT-II pairs inputs j and 8 - j. About half the operations of the direct sums; the values
// agree to a few units of single precision relative to the largest input.
struct FastLongConstants {
    float ia[18], ib[9], c[9][4];  // 1 / (2 cos), 1 / (2 cos), cos(i (2j + 1) pi/18)
    FastLongConstants() {
        const double pi = 4.0 * std::atan(1.0);
        for (int k = 0; k < 18; ++k) ia[k] = static_cast<float>(0.5 / std::cos((2 * k + 1) * pi / 72.0));
        for (int k = 0; k < 9; ++k) ib[k] = static_cast<float>(0.5 / std::cos((2 * k + 1) * pi / 36.0));
        for (int i = 0; i < 9; ++i)
            for (int j = 0; j < 4; ++j) c[i][j] = static_cast<float>(std::cos(i * (2 * j + 1) * pi / 18.0));
    }
};

inline const FastLongConstants& FastLong() {
    static const FastLongConstants k;
    return k;
}

// z[i] = sum_j v[j] cos(pi i (2j + 1) / 18), i, j = 0..8. V is a vector type with +, -, unary
// - and Fma(a, c, b) = a * c + b.
template <typename V>
inline void Dct2Nine(const V* v, V* z, const float (*c)[4]) {
    V s[4], d[4];
    for (int j = 0; j < 4; ++j) {
        s[j] = v[j] + v[8 - j];
        d[j] = v[j] - v[8 - j];
    }
    z[0] = ((s[0] + s[1]) + (s[2] + s[3])) + v[4];
    for (int i = 2; i <= 8; i += 2) {
        V acc = Fma(s[0], c[i][0], (i & 2) ? -v[4] : v[4]);  // cos(i pi/2) = -1 at i = 2, 6
        for (int j = 1; j < 4; ++j) acc = Fma(s[j], c[i][j], acc);
        z[i] = acc;
    }
    for (int i = 1; i < 9; i += 2) {
        V acc = d[0] * c[i][0];
        for (int j = 1; j < 4; ++j) acc = Fma(d[j], c[i][j], acc);
        z[i] = acc;
    }
}

template <typename V>
inline void FastImdctLong(const V* x, V* p) {
    const FastLongConstants& k = FastLong();
    V e[9], o[9];
    for (int i = 0; i < 9; ++i) {
        const V a = x[i] * k.ia[i], b = x[17 - i] * k.ia[17 - i];
        e[i] = a + b;
        o[i] = (a - b) * k.ib[i];
    }
    V even[9], odd[9];
    Dct2Nine(e, even, k.c);
    Dct2Nine(o, odd, k.c);
    V v[18];
    for (int r = 0; r < 9; ++r) {
        v[2 * r] = even[r];
        v[2 * r + 1] = r < 8 ? odd[r] + odd[r + 1] : odd[8];
    }
    for (int n = 0; n < 17; ++n) p[n] = v[n] + v[n + 1];
    p[17] = v[17];
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

// Long subbands first .. end - 1, one at a time; those below headEnd take `head` (the normal
// window: the long part of a mixed block), the others `v`.
template <void (*Long)(float*)>
inline void LongSubbands(float* lines, const float* overlap, float* out, int32_t first, int32_t end,
                         int32_t headEnd, const float* head, const float* v) {
    for (int32_t s = first; s < end; ++s)
        LongSubband<Long>(lines + 18 * s, overlap + 18 * s, out + s, s < headEnd ? head : v);
}

template <void (*Short)(float*)>
inline void ShortSubbands(float* lines, const float* overlap, float* out, int32_t first, int32_t end) {
    const float* win = L3Tables().shortWindow;
    for (int32_t s = first; s < end; ++s) ShortSubband<Short>(lines + 18 * s, overlap + 18 * s, out + s, win);
}

// Subbands whose new transform is all zero: the output is the overlap alone.
inline void OverlapSubbands(const float* overlap, float* out, int32_t first, int32_t end) {
    for (int32_t s = first; s < end; ++s)
        for (int k = 0; k < 18; ++k) out[32 * k + s] = overlap[18 * s + k];
}

// The whole granule and channel, with the runs of long, short and overlap-only subbands
// computed by the functions given (the ones above, or a family's own).
template <void (*LongRun)(float*, const float*, float*, int32_t, int32_t, int32_t, const float*, const float*),
          void (*ShortRun)(float*, const float*, float*, int32_t, int32_t),
          void (*OverlapRun)(const float*, float*, int32_t, int32_t)>
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

    LongRun(lines, overlap, out, 0, longEnd, mixedHead ? 2 : 0, t.window[0], t.window[blockType == 2 ? 0 : blockType]);
    const int32_t shortEnd = std::max(longEnd, all);
    ShortRun(lines, overlap, out, longEnd, shortEnd);
    const int32_t n = std::max(shortEnd, previous);
    OverlapRun(overlap, out, shortEnd, n);
    if (n < active)
        for (int k = 0; k < 18; ++k) std::memset(out + 32 * k + n, 0, static_cast<size_t>(active - n) * sizeof(float));
    return 18 * n;
}

}  // namespace
}  // namespace zentu::hybrid
