// Processor capabilities and the routine slots: the inner loops exist in variants, and a
// decoder calls each through a slot filled once per playback start from a capability word.
// Slots are written only while no frame is being decoded (the player holds its decoder
// lock and the decoder thread is idle).
#pragma once

#include <array>
#include <cstdint>

namespace zentu {

struct TSynthesis;
struct TEqualizerTables;

// Capability word bits.
inline constexpr uint32_t kCapFpu = 0x1;
inline constexpr uint32_t kCapMMX = 0x2;
inline constexpr uint32_t kCap3DNow = 0x4;
inline constexpr uint32_t kCapSSE = 0x8;  // "KNI"
inline constexpr uint32_t kCapCMOV = 0x10;
inline constexpr uint32_t kCapE3DNow = 0x20;
inline constexpr uint32_t kCapMMXExt = 0x40;
inline constexpr uint32_t kCapIntel = 0x100;
inline constexpr uint32_t kCapAMD = 0x200;
inline constexpr uint32_t kCapCyrix = 0x400;
inline constexpr uint32_t kCapCentaur = 0x800;
inline constexpr uint32_t kCapOtherVendor = 0x8000;
inline constexpr uint32_t kCapFamily4 = 0x100000;
inline constexpr uint32_t kCapFamily5 = 0x200000;
inline constexpr uint32_t kCapFamily6 = 0x400000;  // family 6 or any other
// Bits of our own: the vector units our routine families use, each reported only with the
// operating system's support for its registers. They are selectable like the five above (the
// player's mccAVX2 and mccAVX512); the SSE bit ("KNI") has no say in the choice.
inline constexpr uint32_t kCapSSE2 = 0x1000000;
inline constexpr uint32_t kCapAVX2 = 0x2000000;    // AVX2 and FMA
inline constexpr uint32_t kCapAVX512 = 0x4000000;  // AVX-512 F, VL, BW and DQ (with AVX2 and FMA)
// The bits a player's capability set can switch off.
inline constexpr uint32_t kCapSelectable = 0x3E | kCapAVX2 | kCapAVX512;

// The capability word of this processor, detected on the first call and cached, less the
// bits withheld.
uint32_t DetectCpuCapabilities();
// Clears `bits` from every later DetectCpuCapabilities result of this process.
void WithholdCpuCapabilities(uint32_t bits);

// Slot signatures.
// Alias-reduction butterflies over `boundaries` subband boundaries of one channel's lines.
using AliasReductionFn = void (*)(float* lines, int32_t boundaries);
// Synthesises `count` steps of one channel of the synthesis state: step t's 32 subband values
// are in[t * rowStride + k * valueStride], k = 0..31; its 32 samples go to consecutive places
// (single-channel writer) or to the places of channel `channel` in an interleaved two-channel
// block starting at dest (channel-of-stereo writer).
using SynthesisFn = void (*)(TSynthesis& synth, int32_t channel, const float* in, int32_t rowStride,
                             int32_t valueStride, int32_t count, const TEqualizerTables& eq, int16_t* dest);
// IMDCT, window and overlap of one granule and channel; returns the new count.
using HybridChannelFn = int32_t (*)(float* lines, const float* overlap, float* out, int32_t blockType,
                                    int32_t longLimit, int32_t lineCount, int32_t previousCount,
                                    int32_t activeLimit);
// The folded 18-value (long) and 6-value-per-window (short) IMDCT kernels, in place.
using ImdctFn = void (*)(float* values);

struct TRoutineSlots {
    AliasReductionFn aliasReduction = nullptr;
    SynthesisFn writeMono = nullptr;
    SynthesisFn writeStereoChannel = nullptr;
    HybridChannelFn hybridChannel = nullptr;
    ImdctFn imdctLong = nullptr;
    ImdctFn imdctShort = nullptr;
};

// The routine families. The Pentium-scheduled and 3DNow! families are x87/3DNow! code that
// cannot run on this platform; a slot that chooses them gets the plain routine. rvAVX2 and
// rvAVX512 are ours, chosen first where their capability bits are in the word.
enum class TRoutineVariant : uint8_t { rvPlain, rvP5P6, rvP5P6Cmov, rv3DNow, rvE3DNow, rvAVX2, rvAVX512 };

enum TSlot : int { slAliasReduction, slWriteMono, slWriteStereo, slHybrid, slImdctLong, slImdctShort,
                   slCount };

// Which family each slot takes for a capability word (first matching row wins).
std::array<TRoutineVariant, slCount> ChooseRoutines(uint32_t word);

// Fills the slots from a capability word.
void DispatchRoutines(uint32_t word, TRoutineSlots& slots);
// The process-wide slot set, used by the module-level decoder.
TRoutineSlots& GlobalRoutines();
void DispatchRoutines(uint32_t word);

// The families of this build by name ("plain", "avx2", "avx512"), each with the capability
// bits it needs; a later family is preferred to an earlier one.
struct TRoutineFamily {
    const char* name;
    uint32_t needs;
};
extern const TRoutineFamily kRoutineFamilies[];
extern const int kRoutineFamilyCount;
// Whether this processor can run family `name`.
bool CanRunRoutineFamily(const char* name);
// Fills the slots as a dispatch limited to family `name` does; false (slots untouched) for a
// family that is unknown or that this processor cannot run.
bool DispatchRoutineFamily(const char* name, TRoutineSlots& slots);
// From now on the capabilities of this process are only those family `name` uses: the bits of
// the families after it are cleared from DetectCpuCapabilities' word, so that every dispatch
// (a player's too) chooses that family. False, with nothing changed, for a family that is
// unknown or that this processor cannot run.
bool RestrictToRoutineFamily(const char* name);

// The routines of each family: plain (variants/generic.cpp), AVX2 (variants/avx2.cpp) and
// AVX-512 (variants/avx512.cpp); a family fills the slots it has a routine for.
void FillSlotsPlain(TRoutineSlots& slots);
void FillSlotsAvx2(TRoutineSlots& slots);
void FillSlotsAvx512(TRoutineSlots& slots);

}  // namespace zentu
