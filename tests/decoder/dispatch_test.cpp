#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "decoder/dispatch.h"
#include "decoder/layer3.h"
#include "decoder/synth.h"

namespace zentu {
namespace {

using V = TRoutineVariant;
constexpr uint32_t kIntel6 = kCapFpu | kCapIntel | kCapFamily6;
constexpr uint32_t kIntel5 = kCapFpu | kCapIntel | kCapFamily5;
constexpr uint32_t kAmd = kCapFpu | kCapAMD | kCapFamily6;

TEST(Dispatch, ExtendedThreeDNowTakesEverySlot) {
    auto c = ChooseRoutines(kAmd | kCap3DNow | kCapE3DNow | kCapCMOV | kCapMMX);
    for (V v : c) EXPECT_EQ(v, V::rvE3DNow);
}

TEST(Dispatch, ThreeDNowWithoutExtensions) {
    auto c = ChooseRoutines(kAmd | kCap3DNow | kCapCMOV);
    EXPECT_EQ(c[slAliasReduction], V::rv3DNow);
    EXPECT_EQ(c[slWriteMono], V::rv3DNow);
    EXPECT_EQ(c[slWriteStereo], V::rv3DNow);
    EXPECT_EQ(c[slHybrid], V::rvPlain);
    EXPECT_EQ(c[slImdctLong], V::rvPlain);
    EXPECT_EQ(c[slImdctShort], V::rvPlain);
}

TEST(Dispatch, ExtendedThreeDNowAloneIsIgnored) {
    auto c = ChooseRoutines(kAmd | kCapE3DNow | kCapCMOV);
    for (V v : c) EXPECT_EQ(v, V::rvPlain);
    // extended 3DNow! without CMOV: the hybrid stays plain
    auto d = ChooseRoutines(kAmd | kCap3DNow | kCapE3DNow);
    EXPECT_EQ(d[slHybrid], V::rvPlain);
    EXPECT_EQ(d[slImdctLong], V::rvE3DNow);
}

TEST(Dispatch, IntelPentiumRows) {
    auto c = ChooseRoutines(kIntel6 | kCapCMOV);
    EXPECT_EQ(c[slWriteMono], V::rvP5P6Cmov);
    EXPECT_EQ(c[slWriteStereo], V::rvP5P6Cmov);
    EXPECT_EQ(c[slHybrid], V::rvP5P6);
    EXPECT_EQ(c[slAliasReduction], V::rvPlain);
    auto five = ChooseRoutines(kIntel5);
    EXPECT_EQ(five[slWriteMono], V::rvP5P6);
    // an empty capability set still picks the Pentium rows (vendor and family are not
    // selectable), without conditional moves
    auto empty = ChooseRoutines(kIntel6 & ~kCapSelectable);
    EXPECT_EQ(empty[slWriteMono], V::rvP5P6);
    EXPECT_EQ(empty[slHybrid], V::rvP5P6);
    // family 4 and other vendors: plain
    for (V v : ChooseRoutines(kCapFpu | kCapIntel | kCapFamily4)) EXPECT_EQ(v, V::rvPlain);
    for (V v : ChooseRoutines(kAmd | kCapCMOV)) EXPECT_EQ(v, V::rvPlain);
}

// Our vector families follow their own bits; the SSE bit ("KNI", mccKNI) changes nothing.
TEST(Dispatch, VectorFamiliesTakeTheirOwnBits) {
    const uint32_t base = kIntel6 | kCapCMOV | kCapMMX | kCapSSE;
    const auto avx2 = ChooseRoutines(base | kCapAVX2);
    for (V v : avx2) EXPECT_EQ(v, V::rvAVX2);
    EXPECT_EQ(ChooseRoutines((base & ~kCapSSE) | kCapAVX2), avx2);
    EXPECT_EQ(ChooseRoutines(base & ~kCapSSE), ChooseRoutines(base));
    for (V v : ChooseRoutines(base | kCapAVX2 | kCapAVX512)) EXPECT_EQ(v, V::rvAVX512);

    EXPECT_TRUE(CanRunRoutineFamily("plain"));
    EXPECT_FALSE(CanRunRoutineFamily("mmx"));
    TRoutineSlots slots;
    EXPECT_FALSE(DispatchRoutineFamily("mmx", slots));
    EXPECT_EQ(slots.writeMono, nullptr);
    ASSERT_TRUE(DispatchRoutineFamily("plain", slots));
    EXPECT_EQ(slots.writeMono, SynthesizeMonoPlain);
    EXPECT_EQ(slots.hybridChannel, HybridChannelPlain);
}

// zentu-decode --cpu list names the families this processor runs, plain first; --cpu with
// any other name is bad usage.
TEST(Dispatch, ZentuDecodeListsTheFamilies) {
    std::vector<std::string> expected, listed;
    for (int f = 0; f < kRoutineFamilyCount; ++f)
        if (CanRunRoutineFamily(kRoutineFamilies[f].name)) expected.push_back(kRoutineFamilies[f].name);
    FILE* p = popen("'" ZENTU_DECODE_EXE "' --cpu list", "r");
    ASSERT_NE(p, nullptr);
    char line[64];
    while (std::fgets(line, sizeof line, p)) listed.emplace_back(line, std::strcspn(line, "\n"));
    EXPECT_EQ(pclose(p), 0);
    EXPECT_EQ(listed, expected);
    ASSERT_FALSE(listed.empty());
    EXPECT_EQ(listed.front(), "plain");
    const int status = std::system("'" ZENTU_DECODE_EXE "' --cpu mmx x y 2>/dev/null");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
}

TEST(Dispatch, DetectionReportsThisProcessor) {
    const uint32_t w = DetectCpuCapabilities();
    EXPECT_TRUE(w & kCapFpu);
    EXPECT_EQ(w, DetectCpuCapabilities());  // cached
#if defined(__x86_64__)
    const uint32_t vendors = w & (kCapIntel | kCapAMD | kCapCyrix | kCapCentaur | kCapOtherVendor);
    EXPECT_NE(vendors, 0u);
    EXPECT_EQ(vendors & (vendors - 1), 0u);  // exactly one vendor
    // every x86-64 processor has these
    EXPECT_TRUE(w & kCapMMX);
    EXPECT_TRUE(w & kCapSSE);
    EXPECT_TRUE(w & kCapCMOV);
    EXPECT_TRUE(w & kCapMMXExt);
    EXPECT_TRUE(w & (kCapFamily5 | kCapFamily6));
    EXPECT_TRUE(!(w & kCapAVX512) || (w & kCapAVX2));
#else
    EXPECT_EQ(w, kCapFpu);
#endif
}

TEST(Dispatch, EverySlotIsFilled) {
    for (uint32_t w : {0u, kAmd | kCap3DNow | kCapE3DNow | kCapCMOV, kIntel6 | kCapCMOV}) {
        TRoutineSlots slots;
        DispatchRoutines(w, slots);
        EXPECT_NE(slots.aliasReduction, nullptr);
        EXPECT_NE(slots.writeMono, nullptr);
        EXPECT_NE(slots.writeStereoChannel, nullptr);
        EXPECT_NE(slots.hybridChannel, nullptr);
        EXPECT_NE(slots.imdctLong, nullptr);
        EXPECT_NE(slots.imdctShort, nullptr);
    }
}

}  // namespace
}  // namespace zentu
