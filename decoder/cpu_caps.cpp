// Detection of the processor's capabilities as a capability word.
#include <atomic>

#include "decoder/dispatch.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#define ZENTU_HAVE_CPUID 1
#endif

namespace zentu {

namespace {

uint32_t Detect() {
    // The FPU is part of every processor this builds for; the alignment-check and ID flags
    // can always be toggled on x86-64, so the pre-CPUID tests have nothing to find.
    uint32_t r = kCapFpu;
#ifdef ZENTU_HAVE_CPUID
    unsigned a, b, c, d;
    if (!__get_cpuid(0, &a, &b, &c, &d)) return r;
    // The last four characters of the vendor string are in ECX.
    const unsigned ntel = 0x6c65746e, cAMD = 0x444d4163, tead = 0x64616574, auls = 0x736c7561;
    if (c == ntel)
        r |= kCapIntel;
    else if (c == cAMD)
        r |= kCapAMD;
    else if (c == tead)
        r |= kCapCyrix;
    else if (c == auls)
        r |= kCapCentaur;
    else
        r |= kCapOtherVendor;

    __cpuid(1, a, b, c, d);
    const unsigned family = (a >> 8) & 0xFF;  // family and type
    if (family == 4) return r | kCapFamily4;
    r |= family == 5 ? kCapFamily5 : kCapFamily6;

    unsigned ea = 0, eb = 0, ec = 0, ed = 0;
    if (__get_cpuid(0x80000001, &ea, &eb, &ec, &ed)) {
        if (ed & (1u << 31)) r |= kCap3DNow;
        if (ed & (1u << 15)) r |= kCapCMOV;
        if (ed & (1u << 30)) r |= kCapE3DNow;
        if (ed & (1u << 22)) r |= kCapMMXExt;
    }
    // SSE state is always enabled by a 64-bit operating system, so no probe of the control
    // register is needed (and the process's floating-point mode is left as it is).
    if (d & (1u << 23)) r |= kCapMMX;
    if (d & (1u << 15)) r |= kCapCMOV;
    if (d & (1u << 25)) r |= kCapMMXExt | kCapSSE;
    if (d & (1u << 26)) r |= kCapSSE2;
    // These report a feature only when the operating system saves its registers.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        r |= kCapAVX2;
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
            __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq"))
            r |= kCapAVX512;
    }
#endif
    return r;
}

std::atomic<uint32_t> withheld{0};

}  // namespace

uint32_t DetectCpuCapabilities() {
    static std::atomic<uint32_t> cached{0};
    uint32_t word = cached.load(std::memory_order_relaxed);
    if (word == 0) {
        word = Detect();
        cached.store(word, std::memory_order_relaxed);
    }
    return word & ~withheld.load(std::memory_order_relaxed);
}

void WithholdCpuCapabilities(uint32_t bits) { withheld.fetch_or(bits, std::memory_order_relaxed); }

}  // namespace zentu
