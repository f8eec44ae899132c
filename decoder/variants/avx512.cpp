// The AVX-512 family (F, VL, BW, DQ): the eight-lane routines of avx_common.h compiled with
// AVX-512 (32 vector registers), and window sums sixteen outputs per vector with masked
// stores for one channel of a stereo block. Chosen only when the processor and the operating
// system have AVX-512.
#include "decoder/variants/avx_common.h"

namespace zentu {

namespace {

struct Window16 {
    template <int Stride>
    static void Step(const float* ring, int32_t r, const float* bySlot, int32_t channel, int16_t* dest) {
        // Even and odd slots in separate sums: four chains of dependent multiply-adds.
        __m512 f = _mm512_setzero_ps(), m = _mm512_setzero_ps(), g = _mm512_setzero_ps(), n = _mm512_setzero_ps();
#pragma GCC unroll 8
        for (int k = 0; k < 16; k += 2) {
            const float* even = RingRow(ring, r + k);
            const float* odd = RingRow(ring, r + k + 1);
            const float* c = bySlot + 32 * k;
            const __m512 p = _mm512_load_ps(even + kRowP);
            f = _mm512_fmadd_ps(_mm512_load_ps(c), p, f);
            m = _mm512_fmadd_ps(_mm512_load_ps(c + 16), p, m);
            g = _mm512_fmadd_ps(_mm512_load_ps(c + 32), _mm512_load_ps(odd + kRowQ), g);
            n = _mm512_fmadd_ps(_mm512_load_ps(c + 48), _mm512_load_ps(odd + kRowQm), n);
        }
        const __m512 hi = _mm512_set1_ps(32767.0f), lo = _mm512_set1_ps(-32768.0f);
        const auto convert = [&](__m512 v) { return _mm512_cvtps_epi32(_mm512_max_ps(_mm512_min_ps(v, hi), lo)); };
        // the second sums hold outputs 16, 31, 30, ..., 17
        const __m512i first = convert(_mm512_add_ps(f, g));
        const __m512i second = _mm512_permutexvar_epi32(
            _mm512_setr_epi32(0, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1), convert(_mm512_add_ps(m, n)));
        if constexpr (Stride == 1) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dest), _mm512_cvtepi32_epi16(first));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dest + 16), _mm512_cvtepi32_epi16(second));
        } else {
            // sixteen frames per vector, this channel's halves only
            const __mmask32 places = channel == 0 ? 0x55555555u : 0xAAAAAAAAu;
            const int shift = channel == 0 ? 0 : 16;
            _mm512_mask_storeu_epi16(dest, places, _mm512_slli_epi32(first, shift));
            _mm512_mask_storeu_epi16(dest + 32, places, _mm512_slli_epi32(second, shift));
        }
    }
};

}  // namespace

void FillSlotsAvx512(TRoutineSlots& slots) {
    slots.aliasReduction = AliasReductionLanes;
    slots.writeMono = SynthesizeLanes<Window16, 1>;
    slots.writeStereoChannel = SynthesizeLanes<Window16, 2>;
    slots.hybridChannel = HybridChannelLanes;
    slots.imdctLong = ImdctLongLanes;
    slots.imdctShort = ImdctShortLanes;
}

}  // namespace zentu
