// The synthesis pieces the routine families share: the fast cosine transform, written once for
// a scalar and for vectors of steps (each lane one step, the same operations in the same
// order, so every family's transform gives the same values), and the coefficients' layout.
// Each family compiles it for its own instruction set: everything here has internal linkage,
// so that no family's copy can stand in for another's.
#pragma once

#include "decoder/synth.h"

namespace zentu {

// 0.5 / cos(pi (2j + 1) / (4n)) for n = 16, 8, 4, 2, 1, level after level (31 values).
const float* SynthesisCosines();

namespace {

// DCT-II of length N by the recursive even/odd split: x is overwritten, out receives the N
// values; cos points at this length's table level. T is float or a vector of steps with +, -
// and * by a float.
template <typename T, int N>
inline void FastDct(T* x, T* out, const float* cos) {
    if constexpr (N == 2) {
        out[0] = x[0] + x[1];
        out[1] = (x[0] - x[1]) * cos[0];
    } else {
        constexpr int half = N / 2;
        T a[half], b[half];
        for (int j = 0; j < half; ++j) {
            a[j] = x[j] + x[N - 1 - j];
            b[j] = (x[j] - x[N - 1 - j]) * cos[j];
        }
        T ta[half], tb[half];
        FastDct<T, half>(a, ta, cos + half);
        FastDct<T, half>(b, tb, cos + half);
        for (int j = 0; j < half; ++j) out[2 * j] = ta[j];
        for (int j = 0; j < half - 1; ++j) out[2 * j + 1] = tb[j] + tb[j + 1];
        out[N - 1] = tb[half - 1];
    }
}

}  // namespace

}  // namespace zentu
