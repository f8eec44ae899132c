// The Layer III hybrid filter bank: IMDCT per subband (one long or three short windows),
// windowing, overlap-add with the previous granule (kept in the other granule slot's line
// buffer) and frequency inversion.
#include <algorithm>
#include <cstring>

#include "decoder/hybrid_impl.h"
#include "decoder/layer3.h"

namespace zentu {

void ImdctLongPlain(float* values) { hybrid::ImdctLong(values); }
void ImdctShortPlain(float* values) { hybrid::ImdctShort(values); }

int32_t HybridChannelPlain(float* lines, const float* overlap, float* out, int32_t blockType,
                           int32_t longLimit, int32_t lineCount, int32_t previousCount, int32_t activeLimit) {
    return hybrid::Channel<hybrid::LongSubbands<ImdctLongPlain>, hybrid::ShortSubbands<ImdctShortPlain>,
                           hybrid::OverlapSubbands>(lines, overlap, out, blockType, longLimit, lineCount,
                                                    previousCount, activeLimit);
}

void FrequencyInversion(float* block, int32_t count) {
    const int32_t subbands = std::min((count + 17) / 18, 32);
    for (int t = 1; t < 18; t += 2)
        for (int32_t s = 1; s < subbands; s += 2) block[32 * t + s] = -block[32 * t + s];
}

}  // namespace zentu
