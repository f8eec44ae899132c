// The eight-lane routines the AVX2 and AVX-512 families share, written with AVX2 and FMA
// intrinsics; each family's file compiles them for its own instruction set (internal linkage,
// so that no family's copy stands in for another's) and may put its own window sums in.
//
// The synthesis takes up to eight steps at once: their subband values are transposed so that
// each vector holds one subband of eight steps, the cosine transform runs on those vectors (the
// plain transform's operations, lane by lane), and a transpose back gives each step's ring
// row. The window sums then take one step at a time over forward loads.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "decoder/dispatch.h"
#include "decoder/hybrid_impl.h"
#include "decoder/synth.h"
#include "decoder/synth_impl.h"

namespace zentu {
namespace {

struct V8 {
    __m256 v;
};
inline V8 operator+(V8 a, V8 b) { return {_mm256_add_ps(a.v, b.v)}; }
inline V8 operator-(V8 a, V8 b) { return {_mm256_sub_ps(a.v, b.v)}; }
inline V8 operator*(V8 a, float c) { return {_mm256_mul_ps(a.v, _mm256_set1_ps(c))}; }
inline V8 operator-(V8 a) { return {_mm256_xor_ps(a.v, _mm256_set1_ps(-0.0f))}; }
inline V8 Fma(V8 a, float c, V8 b) { return {_mm256_fmadd_ps(a.v, _mm256_set1_ps(c), b.v)}; }

inline void Transpose8(__m256 r[8]) {
    const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
    const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
    const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
    const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
    const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
    const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    r[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
    r[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
    r[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
    r[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
    r[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
    r[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
    r[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
    r[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

// Subbands 8q .. 8q + 7 of one step (values p[0], p[stride], ...).
inline __m256 LoadSubbands(const float* p, int32_t valueStride, int q) {
    if (valueStride == 1) return _mm256_loadu_ps(p + 8 * q);
    // Every second value: the second load ends on the last one wanted, so that a row's last
    // channel is read no further than its own values.
    const __m256 a = _mm256_loadu_ps(p + 16 * q), b = _mm256_loadu_ps(p + 16 * q + 7);
    const __m256 even = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 2, 0));
    return _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(even), _MM_SHUFFLE(3, 1, 2, 0)));
}

// Rounded and clipped outputs of one step's sums: f0, f1 hold outputs 0..15, m0 outputs 16, 31,
// 30, ..., 25 and m1 outputs 24, 23, ..., 17; out receives outputs 0..7, 8..15, 16..23, 24..31.
inline void Convert(__m256 f0, __m256 f1, __m256 m0, __m256 m1, __m256i out[4]) {
    const __m256 hi = _mm256_set1_ps(32767.0f), lo = _mm256_set1_ps(-32768.0f);
    auto convert = [&](__m256 v) { return _mm256_cvtps_epi32(_mm256_max_ps(_mm256_min_ps(v, hi), lo)); };
    const __m256i a = convert(m0), b = convert(m1);
    const __m256i reverse = _mm256_setr_epi32(0, 7, 6, 5, 4, 3, 2, 1);
    out[0] = convert(f0);
    out[1] = convert(f1);
    out[2] = _mm256_blend_epi32(_mm256_permutevar8x32_epi32(b, reverse), a, 1);
    out[3] = _mm256_blend_epi32(_mm256_permutevar8x32_epi32(a, reverse), b, 1);
}

// The window sums of the step in ring row r, eight outputs per vector.
inline void WindowStep(const float* ring, int32_t r, const float* bySlot, __m256i out[4]) {
    __m256 f0 = _mm256_setzero_ps(), f1 = _mm256_setzero_ps();
    __m256 m0 = _mm256_setzero_ps(), m1 = _mm256_setzero_ps();
#pragma GCC unroll 8
    for (int k = 0; k < 16; k += 2) {
        const float* even = RingRow(ring, r + k);
        const float* c = bySlot + 32 * k;
        const __m256 p0 = _mm256_load_ps(even + kRowP), p1 = _mm256_load_ps(even + kRowP + 8);
        f0 = _mm256_fmadd_ps(_mm256_load_ps(c), p0, f0);
        f1 = _mm256_fmadd_ps(_mm256_load_ps(c + 8), p1, f1);
        m0 = _mm256_fmadd_ps(_mm256_load_ps(c + 16), p0, m0);
        m1 = _mm256_fmadd_ps(_mm256_load_ps(c + 24), p1, m1);
        const float* odd = RingRow(ring, r + k + 1);
        const float* d = c + 32;
        const __m256 q1 = _mm256_load_ps(odd + kRowQ + 8);
        f0 = _mm256_fmadd_ps(_mm256_load_ps(d), _mm256_load_ps(odd + kRowQ), f0);
        f1 = _mm256_fmadd_ps(_mm256_load_ps(d + 8), q1, f1);
        m0 = _mm256_fmadd_ps(_mm256_load_ps(d + 16), _mm256_load_ps(odd + kRowQm), m0);
        m1 = _mm256_fmadd_ps(_mm256_load_ps(d + 24), q1, m1);
    }
    Convert(f0, f1, m0, m1, out);
}

template <int Stride>
inline void StoreStep(const __m256i out[4], int32_t channel, int16_t* dest) {
    // (the stereo places start at the frame: dest + channel would let the last vector reach one
    // sample past the block)
    if constexpr (Stride == 1) {
        const __m256i a = _mm256_permute4x64_epi64(_mm256_packs_epi32(out[0], out[1]), _MM_SHUFFLE(3, 1, 2, 0));
        const __m256i b = _mm256_permute4x64_epi64(_mm256_packs_epi32(out[2], out[3]), _MM_SHUFFLE(3, 1, 2, 0));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dest), a);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dest + 16), b);
    } else {
        // Eight frames per vector: this channel's half of each 32-bit frame replaced, the other
        // channel's kept.
        for (int i = 0; i < 4; ++i) {
            __m256i* at = reinterpret_cast<__m256i*>(dest + 16 * i);
            const __m256i old = _mm256_loadu_si256(at);
            _mm256_storeu_si256(at, channel == 0 ? _mm256_blend_epi16(old, out[i], 0x55)
                                                 : _mm256_blend_epi16(old, _mm256_slli_epi32(out[i], 16), 0xAA));
        }
    }
}

// The window sums and PCM of one step, eight outputs per vector.
struct Window8 {
    template <int Stride>
    static void Step(const float* ring, int32_t r, const float* bySlot, int32_t channel, int16_t* dest) {
        __m256i out[4];
        WindowStep(ring, r, bySlot, out);
        StoreStep<Stride>(out, channel, dest);
    }
};

// A synthesis slot routine (SynthesisFn) with the window sums of Window.
template <class Window, int Stride>
void SynthesizeLanes(TSynthesis& synth, int32_t channel, const float* in, int32_t rowStride, int32_t valueStride,
                     int32_t count, const TEqualizerTables& eq, int16_t* dest) {
    const float* bySlot = synth.window + TSynthesis::kWindowBySlot;
    const float* cos = SynthesisCosines();
    for (int32_t t0 = 0; t0 < count; t0 += 8) {
        const int32_t n = std::min<int32_t>(8, count - t0);
        // x[k]: subband k of the batch's steps (lanes past n repeat the last step).
        V8 x[32];
        for (int q = 0; q < 4; ++q) {
            __m256 r[8];
            for (int i = 0; i < 8; ++i) r[i] = LoadSubbands(in + (t0 + std::min(i, n - 1)) * rowStride, valueStride, q);
            Transpose8(r);
            for (int i = 0; i < 8; ++i) x[8 * q + i].v = r[i];
        }
        if (eq.SubbandEqualizerOn)
            for (int k = 0; k < 32; ++k) x[k] = x[k] * eq.SubbandGains[static_cast<size_t>(k)];
        V8 X[32];
        FastDct<V8, 32>(x, X, cos);

        // Back to one row per step; step i of the batch goes n - 1 - i rows below the old
        // newest's row.
        __m256 p0[8] = {X[16].v, X[17].v, X[18].v, X[19].v, X[20].v, X[21].v, X[22].v, X[23].v};
        __m256 p1[8] = {X[24].v, X[25].v, X[26].v, X[27].v, X[28].v, X[29].v, X[30].v, X[31].v};
        __m256 q0[8] = {X[16].v, X[15].v, X[14].v, X[13].v, X[12].v, X[11].v, X[10].v, X[9].v};
        __m256 q1[8] = {X[8].v, X[7].v, X[6].v, X[5].v, X[4].v, X[3].v, X[2].v, X[1].v};
        Transpose8(p0);
        Transpose8(p1);
        Transpose8(q0);
        Transpose8(q1);
        alignas(32) float x0[8];
        _mm256_store_ps(x0, X[0].v);
        float* ring = synth.ring[channel];
        const int32_t first = synth.newest[channel] = (synth.newest[channel] - n) & (kRingRows - 1);
        for (int32_t i = 0; i < n; ++i) {
            float* row = RingRow(ring, first + n - 1 - i);
            _mm256_store_ps(row + kRowP, p0[i]);
            _mm256_store_ps(row + kRowP + 8, p1[i]);
            _mm256_store_ps(row + kRowQ, q0[i]);
            _mm256_store_ps(row + kRowQ + 8, q1[i]);
            _mm256_store_ps(row + kRowQm, _mm256_blend_ps(q0[i], _mm256_broadcast_ss(x0 + i), 1));
            _mm256_store_ps(row + kRowQm + 8, q1[i]);
        }
        for (int32_t i = 0; i < n; ++i)
            Window::template Step<Stride>(ring, first + n - 1 - i, bySlot, channel, dest + 32 * Stride * (t0 + i));
    }
}

// The hybrid filter bank, eight subbands at a time, each vector lane one subband: the
// transposed coefficients through the kernels (the fast one for long blocks), then window and
// overlap-add straight into the output block's rows, where the subbands lie side by side.

// The 18 values of eight subbands (lines + 18 i) as vectors over the subbands.
inline void LoadSubbandColumns(const float* base, V8 v[18]) {
    __m256 a[8], b[8];
    for (int i = 0; i < 8; ++i) {
        const float* r = base + 18 * i;
        a[i] = _mm256_loadu_ps(r);
        b[i] = _mm256_loadu_ps(r + 8);
    }
    Transpose8(a);
    Transpose8(b);
    for (int i = 0; i < 8; ++i) {
        v[i].v = a[i];
        v[8 + i].v = b[i];
    }
    // values 16 and 17 as pairs (gathers are slow on some processors)
    __m128 pair[8];
    for (int i = 0; i < 8; ++i)
        pair[i] = _mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(base + 18 * i + 16)));
    __m128 lo[2], hi[2];
    for (int h = 0; h < 2; ++h) {
        const __m128 u = _mm_unpacklo_ps(pair[4 * h], pair[4 * h + 1]), w = _mm_unpacklo_ps(pair[4 * h + 2], pair[4 * h + 3]);
        lo[h] = _mm_movelh_ps(u, w);
        hi[h] = _mm_movehl_ps(w, u);
    }
    v[16].v = _mm256_set_m128(lo[1], lo[0]);
    v[17].v = _mm256_set_m128(hi[1], hi[0]);
}

// The inverse, for subbands from <= i < to only.
inline void StoreSubbandColumns(float* base, int32_t from, int32_t to, const V8 v[18]) {
    __m256 a[8], b[8];
    for (int i = 0; i < 8; ++i) {
        a[i] = v[i].v;
        b[i] = v[8 + i].v;
    }
    Transpose8(a);
    Transpose8(b);
    alignas(32) float c16[8], c17[8];
    _mm256_store_ps(c16, v[16].v);
    _mm256_store_ps(c17, v[17].v);
    for (int32_t i = from; i < to; ++i) {
        float* r = base + 18 * i;
        _mm256_storeu_ps(r, a[i]);
        _mm256_storeu_ps(r + 8, b[i]);
        r[16] = c16[i];
        r[17] = c17[i];
    }
}

// The runs of subbands below take eight at a time: subbands b .. b + 7 in the lanes, of which
// those from `from` to `to` - 1 are wanted. A batch starts at 24 at the latest, so that its
// places in an output row never pass the row's 32; a part batch keeps what the row holds in
// the other places (masked stores are slow on some processors).
struct SubbandBatch {
    int32_t b, from, to;  // from, to: lanes
    __m256 keep;
    SubbandBatch(int32_t s, int32_t end) : b(std::min(s, 24)), from(s - b), to(std::min(end, b + 8) - b) {
        const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        keep = _mm256_castsi256_ps(_mm256_and_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(to), lane),
                                                    _mm256_cmpgt_epi32(lane, _mm256_set1_epi32(from - 1))));
    }
    int32_t Next() const { return b + to; }
    void StoreRow(float* out, int k, __m256 y) const {
        float* at = out + 32 * k + b;
        _mm256_storeu_ps(at, from == 0 && to == 8 ? y : _mm256_blendv_ps(_mm256_loadu_ps(at), y, keep));
    }
};

void LongSubbandsLanes(float* lines, const float* overlap, float* out, int32_t first, int32_t end, int32_t headEnd,
                       const float* head, const float* v) {
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    for (int32_t s = first; s < end;) {
        const SubbandBatch batch(s, end);
        V8 x[18], o[18], p[18];
        LoadSubbandColumns(lines + 18 * batch.b, x);
        LoadSubbandColumns(overlap + 18 * batch.b, o);
        hybrid::FastImdctLong(x, p);
        const __m256 headLanes = _mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_set1_epi32(headEnd - batch.b), lane));
        const auto w = [&](int i) { return _mm256_blendv_ps(_mm256_set1_ps(v[i]), _mm256_set1_ps(head[i]), headLanes); };
        for (int k = 0; k < 18; ++k)
            batch.StoreRow(out, k, _mm256_fmadd_ps(w(k), (k < 9 ? p[9 + k] : p[26 - k]).v, o[k].v));
        V8 l[18];
        for (int j = 0; j < 9; ++j) l[j].v = _mm256_mul_ps(p[8 - j].v, w(18 + j));
        for (int j = 9; j < 18; ++j) l[j].v = _mm256_mul_ps(p[j - 9].v, w(18 + j));
        StoreSubbandColumns(lines + 18 * batch.b, batch.from, batch.to, l);
        s = batch.Next();
    }
}

// Short subbands: per window the 6 x 6 kernel's sums, then the three windows overlapped as in
// the plain body.
void ShortSubbandsLanes(float* lines, const float* overlap, float* out, int32_t first, int32_t end) {
    const Layer3Tables& t = L3Tables();
    const float* win = t.shortWindow;
    for (int32_t s = first; s < end;) {
        const SubbandBatch batch(s, end);
        V8 x[18], o[18];
        LoadSubbandColumns(lines + 18 * batch.b, x);
        LoadSubbandColumns(overlap + 18 * batch.b, o);
        __m256 y[3][12];
        for (int w = 0; w < 3; ++w) {
            __m256 q[6];
            for (int j = 0; j < 6; ++j) {
                q[j] = _mm256_mul_ps(x[w].v, _mm256_set1_ps(t.imdctShort[0][j]));
                for (int k = 1; k < 6; ++k) q[j] = _mm256_fmadd_ps(x[3 * k + w].v, _mm256_set1_ps(t.imdctShort[k][j]), q[j]);
            }
            for (int m = 0; m < 3; ++m) {
                y[w][m] = _mm256_mul_ps(q[3 + m], _mm256_set1_ps(win[m]));
                y[w][3 + m] = _mm256_mul_ps(q[5 - m], _mm256_set1_ps(-win[3 + m]));
                y[w][6 + m] = _mm256_mul_ps(q[2 - m], _mm256_set1_ps(-win[6 + m]));
                y[w][9 + m] = _mm256_mul_ps(q[m], _mm256_set1_ps(-win[9 + m]));
            }
        }
        for (int k = 0; k < 6; ++k) batch.StoreRow(out, k, o[k].v);
        for (int k = 6; k < 12; ++k) batch.StoreRow(out, k, _mm256_add_ps(o[k].v, y[0][k - 6]));
        for (int k = 12; k < 18; ++k)
            batch.StoreRow(out, k, _mm256_add_ps(_mm256_add_ps(o[k].v, y[0][k - 6]), y[1][k - 12]));
        V8 l[18];
        for (int j = 0; j < 6; ++j) l[j].v = _mm256_add_ps(y[1][j + 6], y[2][j]);
        for (int j = 6; j < 12; ++j) l[j].v = y[2][j];
        for (int j = 12; j < 18; ++j) l[j].v = _mm256_setzero_ps();
        StoreSubbandColumns(lines + 18 * batch.b, batch.from, batch.to, l);
        s = batch.Next();
    }
}

void OverlapSubbandsLanes(const float* overlap, float* out, int32_t first, int32_t end) {
    for (int32_t s = first; s < end;) {
        const SubbandBatch batch(s, end);
        V8 o[18];
        LoadSubbandColumns(overlap + 18 * batch.b, o);
        for (int k = 0; k < 18; ++k) batch.StoreRow(out, k, o[k].v);
        s = batch.Next();
    }
}

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

// One subband's kernel (the slot of the channel-mixing path): even and odd inputs sum into
// separate accumulators, which halves the chain of dependent fused multiply-adds.
void ImdctLongLanes(float* values) {
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

void ImdctShortLanes(float* values) { hybrid::ImdctShort(values); }

int32_t HybridChannelLanes(float* lines, const float* overlap, float* out, int32_t blockType, int32_t longLimit,
                          int32_t lineCount, int32_t previousCount, int32_t activeLimit) {
    return hybrid::Channel<LongSubbandsLanes, ShortSubbandsLanes, OverlapSubbandsLanes>(
        lines, overlap, out, blockType, longLimit, lineCount, previousCount, activeLimit);
}

// The eight butterflies of a subband boundary in one vector: the lines below the boundary
// read backwards. Products and differences as in the plain routine, so the results are the
// same.
void AliasReductionLanes(float* lines, int32_t boundaries) {
    const Layer3Tables& t = L3Tables();
    const __m256 cs = _mm256_loadu_ps(t.cs), ca = _mm256_loadu_ps(t.ca);
    const __m256i reverse = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
    for (int32_t i = 0; i < boundaries; ++i) {
        float* upper = lines + 18 * i + 10;
        float* lower = lines + 18 * (i + 1);
        const __m256 a = _mm256_permutevar8x32_ps(_mm256_loadu_ps(upper), reverse);
        const __m256 b = _mm256_loadu_ps(lower);
        const __m256 u = _mm256_sub_ps(_mm256_mul_ps(a, cs), _mm256_mul_ps(b, ca));
        const __m256 l = _mm256_add_ps(_mm256_mul_ps(b, cs), _mm256_mul_ps(a, ca));
        _mm256_storeu_ps(upper, _mm256_permutevar8x32_ps(u, reverse));
        _mm256_storeu_ps(lower, l);
    }
}

}  // namespace
}  // namespace zentu
