// The player's arithmetic: lengths and positions, the capability set and the equalizer's
// band maths.
#include <cfenv>
#include <cmath>
#include <iterator>

#include "decoder/dispatch.h"
#include "platform/exceptions.h"
#include "player/mp3_player.h"

namespace zentu {

namespace {
// Word bit of each set member, in member order.
constexpr uint32_t kMemberBits[] = {kCapMMX, kCap3DNow, kCapSSE, kCapE3DNow, kCapCMOV, kCapAVX2, kCapAVX512};
}  // namespace

uint32_t CpuCapabilitiesToWord(TMP3CpuCapabilities set) {
    uint32_t word = 0;
    for (size_t i = 0; i < std::size(kMemberBits); ++i)
        if (set & (1u << i)) word |= kMemberBits[i];
    return word;
}

TMP3CpuCapabilities WordToCpuCapabilities(uint32_t word) {
    TMP3CpuCapabilities set = 0;
    for (size_t i = 0; i < std::size(kMemberBits); ++i)
        if (word & kMemberBits[i]) set = static_cast<TMP3CpuCapabilities>(set | (1u << i));
    return set;
}

uint32_t EffectiveCapabilityWord(uint32_t detected, TMP3CpuCapabilities set) {
    // A set that was never intersected with the processor's (a player made in code) must
    // still not select a variant the processor lacks.
    return (detected & ~kCapSelectable) | (CpuCapabilitiesToWord(set) & detected & kCapSelectable);
}

int32_t Win32Priority(TThreadPriority priority) {
    static constexpr int32_t kTable[] = {-15, -2, -1, 0, 1, 2, 15};
    const auto i = static_cast<size_t>(priority);
    return i < std::size(kTable) ? kTable[i] : 0;
}

namespace mp3 {

int64_t Duration(int64_t vbrTotal, int32_t sampleRate, int32_t channels, int32_t bitRate, int64_t dataLength) {
    if (sampleRate > 0 && vbrTotal > 0 && channels > 0)
        return vbrTotal * 1000 / (int64_t{sampleRate} * channels * 2);
    if (bitRate > 0 && dataLength < kUnknownLength && dataLength >= 0) return dataLength * 8 * 1000 / bitRate;
    return 0;
}

int64_t PositionMs(int64_t playedBytes, int32_t sampleRate, int32_t channels, int32_t bitsPerSample) {
    const int64_t bitsPerSecond = int64_t{sampleRate} * channels * bitsPerSample;
    if (bitsPerSecond <= 0) return 0;
    return playedBytes * 1000 * 8 / bitsPerSecond;
}

int64_t RoundEven(long double value) {
    // nearbyint rounds in the current mode; make sure it is to-nearest (halves to even).
    const int saved = std::fegetround();
    if (saved != FE_TONEAREST) std::fesetround(FE_TONEAREST);
    const long double r = std::nearbyint(value);
    if (saved != FE_TONEAREST) std::fesetround(saved);
    return static_cast<int64_t>(r);
}

int32_t SubbandCentre(int32_t sampleRate, int32_t k) {
    Assert(sampleRate > 0 && k >= 0 && k < 32, "MP3Plyr: subband centre out of range");
    return static_cast<int32_t>(RoundEven(static_cast<long double>(sampleRate) / 64.0L * (k + 0.5L)));
}

int32_t LineCentre(int32_t sampleRate, int32_t k) {
    Assert(sampleRate > 0 && k >= 0 && k < 576, "MP3Plyr: line centre out of range");
    return static_cast<int32_t>(RoundEven(static_cast<long double>(sampleRate) / 1152.0L * (k + 0.5L)));
}

int32_t NearestBand(int32_t centre, const int32_t* frequencies, int32_t count) {
    float best = 2147483648.0f;
    int32_t band = 0;
    for (int32_t i = 0; i < count; ++i) {
        const int32_t f = frequencies[i] < 1 ? 1 : frequencies[i];
        float ratio = static_cast<float>(centre) / static_cast<float>(f);
        if (ratio < 1.0f) ratio = 1.0f / ratio;
        if (ratio < best) {  // equal ratios: the lower band stays
            best = ratio;
            band = i;
        }
    }
    return band;
}

float BandFactor(int32_t gain) { return static_cast<float>(std::pow(10.0L, static_cast<long double>(gain) / 100.0L)); }

}  // namespace mp3
}  // namespace zentu
