// Processor capabilities and the routine slots: the inner loops exist in variants, and a
// decoder calls each through a slot filled once per playback start from a capability word.
// Slots are written only while no frame is being decoded (the player holds its decoder
// lock and the decoder thread is idle).
#pragma once

#include <array>
#include <cstdint>

namespace zentu {

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
// Bits of our own: vector units the variants of this platform use. They count as part of the
// SSE family, so a capability set without SSE ("KNI") switches them off too.
inline constexpr uint32_t kCapSSE2 = 0x1000000;
inline constexpr uint32_t kCapAVX2 = 0x2000000;  // AVX2 and FMA, with the operating system's support
// The bits a player's capability set can switch off.
inline constexpr uint32_t kCapSelectable = 0x3E;

// The capability word of this processor, detected on the first call and cached.
uint32_t DetectCpuCapabilities();

// Slot signatures.
// Alias-reduction butterflies over `boundaries` subband boundaries of one channel's lines.
using AliasReductionFn = void (*)(float* lines, int32_t boundaries);
// Windows the history ring at `offset` and writes 32 samples: consecutive (single channel)
// or to every second place (one channel of an interleaved stereo block).
using PcmWriterFn = void (*)(const float* ring, int32_t offset, const float* window, int16_t* dest);
// IMDCT, window and overlap of one granule and channel; returns the new count.
using HybridChannelFn = int32_t (*)(float* lines, const float* overlap, float* out, int32_t blockType,
                                    int32_t longLimit, int32_t lineCount, int32_t previousCount,
                                    int32_t activeLimit);
// The folded 18-value (long) and 6-value-per-window (short) IMDCT kernels, in place.
using ImdctFn = void (*)(float* values);

struct TRoutineSlots {
    AliasReductionFn aliasReduction = nullptr;
    PcmWriterFn writeMono = nullptr;
    PcmWriterFn writeStereoChannel = nullptr;
    HybridChannelFn hybridChannel = nullptr;
    ImdctFn imdctLong = nullptr;
    ImdctFn imdctShort = nullptr;
};

// The routine families. The Pentium-scheduled and 3DNow! families are x87/3DNow! code that
// cannot run on this platform; a slot that chooses them gets the plain routine. rvAVX2 is
// ours, chosen first where the processor has it and the SSE family is allowed.
enum class TRoutineVariant : uint8_t { rvPlain, rvP5P6, rvP5P6Cmov, rv3DNow, rvE3DNow, rvAVX2 };

enum TSlot : int { slAliasReduction, slWriteMono, slWriteStereo, slHybrid, slImdctLong, slImdctShort,
                   slCount };

// Which family each slot takes for a capability word (first matching row wins).
std::array<TRoutineVariant, slCount> ChooseRoutines(uint32_t word);

// Fills the slots from a capability word.
void DispatchRoutines(uint32_t word, TRoutineSlots& slots);
// The process-wide slot set, used by the module-level decoder.
TRoutineSlots& GlobalRoutines();
void DispatchRoutines(uint32_t word);

// The plain routines (variants/generic.cpp) and the AVX2 ones (variants/avx2.cpp).
void FillSlotsPlain(TRoutineSlots& slots);
void FillSlotsAvx2(TRoutineSlots& slots);

}  // namespace zentu
