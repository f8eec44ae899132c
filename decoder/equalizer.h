// The decoder's equalizer: per-subband factors applied to the 32 values entering the
// synthesis, and per-line factors applied to Layer III frequency lines before the hybrid
// filter bank. At most one switch is on at a time; the player writes both.
#pragma once

#include <array>
#include <cstdint>

namespace zentu {

struct TEqualizerTables {
    std::array<float, 32> SubbandGains{};  // zero until first filled
    int32_t SubbandEqualizerOn = 0;
    std::array<float, 576> LineGains{};  // line 18s + k lies in subband s
    int32_t LineEqualizerOn = 0;
};

}  // namespace zentu
