// Every slot routine of every family this processor runs, against the plain one.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <random>
#include <vector>

#include "decoder/dispatch.h"
#include "decoder/layer3.h"
#include "decoder/mpeg_decoder.h"
#include "decoder/synth.h"

// Allocations of this program, counted while `counting` is set. A sanitizer's runtime brings
// its own operator new, so under one the count is not taken.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZENTU_SANITIZER_NEW 1
#endif
#endif
#ifndef ZENTU_SANITIZER_NEW
namespace {
std::atomic<bool> counting{false};
std::atomic<int> allocations{0};
}  // namespace

void* operator new(std::size_t n) {
    if (counting) ++allocations;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}

void* operator new(std::size_t n, std::align_val_t a) {
    if (counting) ++allocations;
    const auto align = static_cast<std::size_t>(a);
    if (void* p = std::aligned_alloc(align, (n + align - 1) / align * align)) return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
#endif

namespace zentu {
namespace {

// Equal to single precision: within a few units of the largest value the routine was given
// (a fast transform's rounding grows with its inputs, not with each output).
bool Near(float a, float b, float largest) { return std::fabs(a - b) <= 2e-5f * largest + 1e-6f; }

float Largest(const std::vector<float>& v) {
    float m = 0.0f;
    for (float x : v) m = std::max(m, std::fabs(x));
    return m;
}

// The synthesis through the decoder's entry points, Layer I/II rows and Layer III granules,
// one and two channels, batch sizes that do and do not fill the vectors, with the equalizer
// and the polarity inversion, and sums far beyond the 16-bit range. The PCM may differ by one
// step (fused multiply-adds round differently); the transform is the same operations in every
// family, so the history stays equal bit for bit.
void CheckSynthesis(const TRoutineSlots& plain, const TRoutineSlots& fast) {
    TSynthesis a, b;
    SynthesisInit(a);
    SynthesisInit(b);
    TEqualizerTables eq;
    for (size_t k = 0; k < 32; ++k) eq.SubbandGains[k] = 0.25f + 0.1f * static_cast<float>(k);
    std::mt19937 rng(11);
    std::normal_distribution<float> dist(0.0f, 3000.0f);
    std::vector<float> in(64 * 40);
    std::vector<int16_t> pa(64 * 40), pb(64 * 40);
    int worst = 0, differ = 0, samples = 0;
    const int32_t counts[] = {36, 12, 1, 5, 18, 40, 8, 3};
    for (int round = 0; round < 48; ++round) {
        const int32_t count = counts[round % 8];
        const int kind = round % 3;  // 0: rows, two channels; 1: rows, one; 2: granule channels
        const float scale = round % 7 == 6 ? 40.0f : 1.0f;  // clipping
        eq.SubbandEqualizerOn = round % 5 == 4;
        if (round == 24) {
            SetPolarity(a, true);
            SetPolarity(b, true);
        }
        for (size_t i = 0; i < in.size(); ++i) in[i] = scale * dist(rng) / (1.0f + static_cast<float>(i % 32));
        // The places of the channel not written must keep what they held.
        std::fill(pa.begin(), pa.end(), int16_t{0x1234});
        std::fill(pb.begin(), pb.end(), int16_t{0x1234});
        size_t produced;
        if (kind == 2) {
            SynthesizeGranule(a, plain, eq, in.data(), 1, 2, pa.data());
            SynthesizeGranule(b, fast, eq, in.data(), 1, 2, pb.data());
            for (size_t i = 0; i < 576; ++i) ASSERT_EQ(pb[2 * i], 0x1234) << "place " << 2 * i;
            SynthesizeGranule(a, plain, eq, in.data() + 576, 0, 2, pa.data());
            SynthesizeGranule(b, fast, eq, in.data() + 576, 0, 2, pb.data());
            produced = 2 * 576;
        } else {
            const int32_t channels = kind == 0 ? 2 : 1;
            SynthesizeRows(a, plain, eq, in.data(), count, channels, pa.data());
            SynthesizeRows(b, fast, eq, in.data(), count, channels, pb.data());
            produced = static_cast<size_t>(32 * channels * count);
        }
        for (size_t i = 0; i < pa.size(); ++i) {
            const int d = std::abs(pa[i] - pb[i]);
            worst = std::max(worst, d);
            differ += d != 0;
            ASSERT_EQ(i < produced || pb[i] == 0x1234, true) << "written past the block at " << i;
        }
        samples += static_cast<int>(produced);
        ASSERT_EQ(std::memcmp(a.ring, b.ring, sizeof a.ring), 0) << "round " << round;
        ASSERT_EQ(a.newest[0], b.newest[0]);
        ASSERT_EQ(a.newest[1], b.newest[1]);
    }
    EXPECT_LE(worst, 1);
    EXPECT_LT(differ, samples / 50);
}

// Long, short and mixed blocks; runs of subbands that start and end anywhere (overlap-only ones
// up to the previous count, the active limit below 32 as the player sets it).
void CheckHybrid(const TRoutineSlots& plain, const TRoutineSlots& fast) {
    std::mt19937 rng(5);
    std::normal_distribution<float> dist(0.0f, 3000.0f);
    for (int32_t blockType : {0, 1, 2, 3, 2 | kMixedLongHead, 1 | kMixedLongHead}) {
        for (int32_t count : {0, 18, 100, 500, 576}) {
            const int32_t previous = count == 100 ? 300 : 576, active = count == 500 ? 31 : 32;
            std::vector<float> linesA(576), overlap(576), outA(576, 7.0f), outB(576, 7.0f);
            for (int i = 0; i < count; ++i) linesA[static_cast<size_t>(i)] = dist(rng);
            for (float& v : overlap) v = dist(rng);
            const std::vector<float> input = linesA;
            std::vector<float> linesB = linesA;
            const int32_t longLimit = (blockType & 3) == 2 ? ((blockType & kMixedLongHead) ? 36 : 0) : count;
            const int32_t ra = plain.hybridChannel(linesA.data(), overlap.data(), outA.data(), blockType, longLimit,
                                                   count, previous, active);
            const int32_t rb = fast.hybridChannel(linesB.data(), overlap.data(), outB.data(), blockType, longLimit,
                                                  count, previous, active);
            ASSERT_EQ(ra, rb);
            const float largest = std::max(Largest(input), Largest(overlap));
            for (size_t i = 0; i < 576; ++i) {
                ASSERT_TRUE(Near(outA[i], outB[i], largest)) << blockType << " " << count << " out " << i;
                ASSERT_TRUE(Near(linesA[i], linesB[i], largest)) << blockType << " " << count << " overlap " << i;
            }
        }
    }
}

// The kernels and the alias reduction on random lines; the alias reduction's products and sums
// are the plain ones, so its results are equal.
void CheckLineRoutines(const TRoutineSlots& plain, const TRoutineSlots& fast) {
    std::mt19937 rng(9);
    std::normal_distribution<float> dist(0.0f, 3000.0f);
    for (int round = 0; round < 20; ++round) {
        std::vector<float> a(576);
        for (float& v : a) v = dist(rng);
        std::vector<float> b = a;
        const float largest = Largest(a);
        plain.imdctLong(a.data());
        fast.imdctLong(b.data());
        plain.imdctShort(a.data() + 18);
        fast.imdctShort(b.data() + 18);
        for (size_t i = 0; i < 36; ++i) ASSERT_TRUE(Near(a[i], b[i], largest)) << "round " << round << " line " << i;
        const int32_t boundaries = round % 2 ? 31 : 1 + round;
        b = a;
        plain.aliasReduction(a.data(), boundaries);
        fast.aliasReduction(b.data(), boundaries);
        ASSERT_EQ(a, b) << "round " << round;
    }
}

TEST(Variants, EverySlotRoutineOfEveryFamilyMatchesThePlainOne) {
    TRoutineSlots plain;
    FillSlotsPlain(plain);
    int checked = 0;
    for (int f = 0; f < kRoutineFamilyCount; ++f) {
        const char* name = kRoutineFamilies[f].name;
        TRoutineSlots fast;
        if (std::strcmp(name, "plain") == 0 || !DispatchRoutineFamily(name, fast)) continue;
        SCOPED_TRACE(name);
        CheckSynthesis(plain, fast);
        CheckHybrid(plain, fast);
        CheckLineRoutines(plain, fast);
        ++checked;
    }
    if (checked == 0) GTEST_SKIP() << "this processor runs only the plain routines";
}

// Every layer through every family: after the set-up, decoding allocates nothing.
TEST(Variants, DecodingAllocatesNothingPerFrame) {
#ifdef ZENTU_SANITIZER_NEW
    GTEST_SKIP() << "the sanitizer's runtime owns operator new";
#else
    const std::filesystem::path dir = ZENTU_CONFORMANCE_DIR;
    int streams = 0;
    for (const char* name : {"l1-fl3", "l2-fl16", "l2-test32", "l3-compl", "l3-hecommon", "l3-test45"}) {
        std::ifstream f(dir / (std::string(name) + ".bit"), std::ios::binary);
        const std::vector<uint8_t> bits{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
        FrameHeader h;
        const int32_t base = bits.size() < 4 ? 0 : ParseFrameHeader(bits.data(), 0, h);
        if (base <= 0) continue;
        ++streams;
        for (int fam = 0; fam < kRoutineFamilyCount; ++fam) {
            TMpegDecoder decoder;
            if (!DispatchRoutineFamily(kRoutineFamilies[fam].name, decoder.Routines())) continue;
            ASSERT_EQ(decoder.Open(h, base, 0, 0, 0, 24000), 1) << name;
            std::vector<uint8_t> pcm(kMaxPcmBytesPerFrame);
            int frames = 0;
            counting = true;
            for (size_t pos = 0; pos + 4 <= bits.size();) {
                const DecodeResult r = decoder.DecodeFrame(bits.data() + pos, static_cast<int32_t>(bits.size() - pos), pcm.data());
                if (r.consumed <= 0) break;
                pos += static_cast<size_t>(r.consumed);
                ++frames;
            }
            counting = false;
            EXPECT_GT(frames, 10) << name;
            EXPECT_EQ(allocations.exchange(0), 0) << name << " " << kRoutineFamilies[fam].name;
        }
    }
    if (streams == 0) GTEST_SKIP() << "conformance streams not found";
#endif
}

}  // namespace
}  // namespace zentu
