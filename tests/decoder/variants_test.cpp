// Each routine variant the processor can run against the plain one.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "decoder/dispatch.h"
#include "decoder/layer3.h"

namespace zentu {
namespace {

TEST(Variants, HybridFilterBankMatchesThePlainOne) {
    TRoutineSlots fast;
    DispatchRoutines(DetectCpuCapabilities(), fast);
    if (fast.hybridChannel == HybridChannelPlain) GTEST_SKIP() << "no hybrid variant on this processor";
    std::mt19937 rng(5);
    std::normal_distribution<float> dist(0.0f, 3000.0f);
    for (int32_t blockType : {0, 1, 2, 3, 2 | kMixedLongHead, 1 | kMixedLongHead}) {
        for (int32_t count : {0, 18, 100, 576}) {
            std::vector<float> linesA(576), overlap(576), outA(576), outB(576);
            for (int i = 0; i < count; ++i) linesA[static_cast<size_t>(i)] = dist(rng);
            for (float& v : overlap) v = dist(rng);
            std::vector<float> linesB = linesA;
            const int32_t longLimit = (blockType & 3) == 2 ? ((blockType & kMixedLongHead) ? 36 : 0) : count;
            const int32_t a = HybridChannelPlain(linesA.data(), overlap.data(), outA.data(), blockType, longLimit,
                                                 count, 300, 32);
            const int32_t b = fast.hybridChannel(linesB.data(), overlap.data(), outB.data(), blockType, longLimit,
                                                 count, 300, 32);
            ASSERT_EQ(a, b);
            for (size_t i = 0; i < 576; ++i) {
                ASSERT_NEAR(outA[i], outB[i], 0.02f + 1e-5f * std::fabs(outA[i])) << blockType << " " << i;
                ASSERT_NEAR(linesA[i], linesB[i], 0.02f + 1e-5f * std::fabs(linesA[i])) << blockType << " " << i;
            }
        }
    }
}

}  // namespace
}  // namespace zentu
