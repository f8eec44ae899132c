// The AVX2 + FMA variants: the synthesis writers and the hybrid filter bank. Compiled with
// -mavx2 -mfma; chosen only when the processor has both.
//
// The writers compute eight outputs per vector. For ring slot k the 32 outputs read the
// slot's values 16..31 (even k) or 1..16 (odd k), forward or reversed, so each slot costs two
// contiguous loads, two reversals and four fused multiply-adds against the per-slot
// coefficient rows of the window.
#include <immintrin.h>

#include <cstring>

#include "decoder/dispatch.h"
#include "decoder/hybrid_impl.h"
#include "decoder/synth.h"

namespace zentu {

namespace {

inline __m256 Reverse(__m256 v) { return _mm256_permutevar8x32_ps(v, _mm256_set_epi32(0, 1, 2, 3, 4, 5, 6, 7)); }

// The 32 window sums of one step, rounded and clipped, as 32-bit integers.
inline void WindowSums(const float* ring, int32_t off, const float* window, int32_t out[32]) {
    const float* byTap = window + TSynthesis::kWindowByTap;
    __m256 lo0 = _mm256_setzero_ps(), lo1 = _mm256_setzero_ps();
    __m256 hi0 = _mm256_setzero_ps(), hi1 = _mm256_setzero_ps();
    for (int k = 0; k < 16; k += 2) {
        const float* even = ring + ((off + 32 * k) & 511);
        const float* c = byTap + 32 * k;
        const __m256 a0 = _mm256_load_ps(even + 16), a1 = _mm256_load_ps(even + 24);
        lo0 = _mm256_fmadd_ps(_mm256_load_ps(c), a0, lo0);
        lo1 = _mm256_fmadd_ps(_mm256_load_ps(c + 8), a1, lo1);
        hi0 = _mm256_fmadd_ps(_mm256_load_ps(c + 16), Reverse(a1), hi0);
        hi1 = _mm256_fmadd_ps(_mm256_load_ps(c + 24), Reverse(a0), hi1);

        const float* odd = ring + ((off + 32 * (k + 1)) & 511);
        const float* d = c + 32;
        const __m256 b0 = _mm256_loadu_ps(odd + 1), b1 = _mm256_loadu_ps(odd + 9);
        lo0 = _mm256_fmadd_ps(_mm256_load_ps(d), Reverse(b1), lo0);
        lo1 = _mm256_fmadd_ps(_mm256_load_ps(d + 8), Reverse(b0), lo1);
        hi0 = _mm256_fmadd_ps(_mm256_load_ps(d + 16), b0, hi0);
        hi1 = _mm256_fmadd_ps(_mm256_load_ps(d + 24), b1, hi1);
    }
    const __m256 maxv = _mm256_set1_ps(32767.0f), minv = _mm256_set1_ps(-32768.0f);
    auto convert = [&](__m256 v) { return _mm256_cvtps_epi32(_mm256_max_ps(_mm256_min_ps(v, maxv), minv)); };
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), convert(lo0));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8), convert(lo1));
    // outputs 17..31 (the vector's last lane would be 32: overwritten by nothing, unused)
    alignas(32) int32_t hi[16];
    _mm256_store_si256(reinterpret_cast<__m256i*>(hi), convert(hi0));
    _mm256_store_si256(reinterpret_cast<__m256i*>(hi + 8), convert(hi1));
    for (int i = 0; i < 15; ++i) out[17 + i] = hi[i];
    const float* w16 = window + 256;
    float y = 0.0f;
    for (int m = 0; m < 8; ++m) y += w16[m] * ring[(off + 32 + 64 * m) & 511];
    out[16] = RoundAndClip(y);
}

}  // namespace

void WriteMonoAvx2(const float* ring, int32_t offset, const float* window, int16_t* dest) {
    int32_t out[32];
    WindowSums(ring, offset, window, out);
    for (int i = 0; i < 32; ++i) dest[i] = static_cast<int16_t>(out[i]);
}

void WriteStereoChannelAvx2(const float* ring, int32_t offset, const float* window, int16_t* dest) {
    int32_t out[32];
    WindowSums(ring, offset, window, out);
    for (int i = 0; i < 32; ++i) dest[2 * i] = static_cast<int16_t>(out[i]);
}

// The hybrid filter bank and its kernels: the same arithmetic as the plain ones, compiled for
// AVX2 and FMA (the kernels' sums vectorise eight outputs at a time).
namespace {

// The long kernel's table with rows padded to 24 outputs.
struct PaddedLongKernel {
    alignas(32) float row[18][24];
    PaddedLongKernel() {
        const Layer3Tables& t = L3Tables();
        for (int k = 0; k < 18; ++k)
            for (int j = 0; j < 24; ++j) row[k][j] = j < 18 ? t.imdctLong[k][j] : 0.0f;
    }
};

const PaddedLongKernel& LongKernel() {
    static const PaddedLongKernel kernel;
    return kernel;
}

}  // namespace

// Even and odd inputs sum into separate accumulators, which halves the chain of dependent
// fused multiply-adds.
void ImdctLongAvx2(float* values) {
    const PaddedLongKernel& t = LongKernel();
    __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), a2 = _mm256_setzero_ps();
    __m256 b0 = _mm256_setzero_ps(), b1 = _mm256_setzero_ps(), b2 = _mm256_setzero_ps();
    for (int k = 0; k < 18; k += 2) {
        const __m256 x = _mm256_set1_ps(values[k]);
        a0 = _mm256_fmadd_ps(x, _mm256_load_ps(t.row[k]), a0);
        a1 = _mm256_fmadd_ps(x, _mm256_load_ps(t.row[k] + 8), a1);
        a2 = _mm256_fmadd_ps(x, _mm256_load_ps(t.row[k] + 16), a2);
        const __m256 y = _mm256_set1_ps(values[k + 1]);
        b0 = _mm256_fmadd_ps(y, _mm256_load_ps(t.row[k + 1]), b0);
        b1 = _mm256_fmadd_ps(y, _mm256_load_ps(t.row[k + 1] + 8), b1);
        b2 = _mm256_fmadd_ps(y, _mm256_load_ps(t.row[k + 1] + 16), b2);
    }
    alignas(32) float out[24];
    _mm256_store_ps(out, _mm256_add_ps(a0, b0));
    _mm256_store_ps(out + 8, _mm256_add_ps(a1, b1));
    _mm256_store_ps(out + 16, _mm256_add_ps(a2, b2));
    std::memcpy(values, out, 18 * sizeof(float));
}
void ImdctShortAvx2(float* values) { hybrid::ImdctShort(values); }

int32_t HybridChannelAvx2(float* lines, const float* overlap, float* out, int32_t blockType, int32_t longLimit,
                          int32_t lineCount, int32_t previousCount, int32_t activeLimit) {
    return hybrid::Channel<ImdctLongAvx2, ImdctShortAvx2>(lines, overlap, out, blockType, longLimit, lineCount,
                                                          previousCount, activeLimit);
}

void FillSlotsAvx2(TRoutineSlots& slots) {
    slots.writeMono = WriteMonoAvx2;
    slots.writeStereoChannel = WriteStereoChannelAvx2;
    slots.hybridChannel = HybridChannelAvx2;
    slots.imdctLong = ImdctLongAvx2;
    slots.imdctShort = ImdctShortAvx2;
}

}  // namespace zentu
