// The decoder's equalizer: per-subband factors applied to the 32 values entering the
// synthesis, and per-line factors applied to Layer III frequency lines before the hybrid
// filter bank. At most one switch is on at a time; the player writes both.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zentu {

// The largest factor an equalizer position takes: 10^10, a band gain of 1000 hundredths of
// a decade (+200 dB), far past any gain a listener asks for, where every sample clips
// already. Larger factors (an infinite one from a gain of 4000) would let infinities and
// NaNs reach the PCM writers, which turn them into full scale or silence depending on the
// routine family; a NaN factor counts as 1 (no equalization).
inline constexpr float kEqualizerFactorLimit = 1e10f;

constexpr float LimitEqualizerFactor(float f) {
    if (!(f == f)) return 1.0f;
    if (f > kEqualizerFactorLimit) return kEqualizerFactorLimit;
    if (f < -kEqualizerFactorLimit) return -kEqualizerFactorLimit;
    return f;
}

// N factors, each limited as it is stored; read like an array of floats.
template <size_t N>
class TEqualizerFactors {
public:
    // The place of one factor: stores limited, reads as a float.
    class Place {
    public:
        Place& operator=(float f) {
            *p_ = LimitEqualizerFactor(f);
            return *this;
        }
        Place& operator=(const Place& other) { return *this = static_cast<float>(other); }
        operator float() const { return *p_; }

    private:
        friend class TEqualizerFactors;
        explicit Place(float* p) : p_(p) {}
        float* p_;
    };

    Place operator[](size_t i) { return Place(&v_[i]); }
    float operator[](size_t i) const { return v_[i]; }
    void fill(float f) { v_.fill(LimitEqualizerFactor(f)); }
    const float* data() const { return v_.data(); }
    static constexpr size_t size() { return N; }

private:
    alignas(16) std::array<float, N> v_{};
};

struct TEqualizerTables {
    TEqualizerFactors<32> SubbandGains;  // zero until first filled
    int32_t SubbandEqualizerOn = 0;
    TEqualizerFactors<576> LineGains;  // line 18s + k lies in subband s
    int32_t LineEqualizerOn = 0;
};

}  // namespace zentu
