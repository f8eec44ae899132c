// Routine dispatch: which variant family each slot takes for a capability word.
#include "decoder/dispatch.h"

#include <cstring>

#include "decoder/mpeg_decoder.h"

namespace zentu {

const TRoutineFamily kRoutineFamilies[] = {
    {"plain", 0},
#if defined(__x86_64__)
    {"avx2", kCapAVX2},
    {"avx512", kCapAVX2 | kCapAVX512},
#endif
};
const int kRoutineFamilyCount = static_cast<int>(std::size(kRoutineFamilies));

namespace {

const TRoutineFamily* FindFamily(const char* name) {
    for (const TRoutineFamily& f : kRoutineFamilies)
        if (std::strcmp(f.name, name) == 0) return &f;
    return nullptr;
}

// The bits the families preferred to f need and f does not.
uint32_t BitsAfter(const TRoutineFamily* f) {
    uint32_t later = 0;
    for (const TRoutineFamily* g = f + 1; g != std::end(kRoutineFamilies); ++g) later |= g->needs;
    return later & ~f->needs;
}

}  // namespace

bool CanRunRoutineFamily(const char* name) {
    const TRoutineFamily* f = FindFamily(name);
    return f && (DetectCpuCapabilities() & f->needs) == f->needs;
}

bool DispatchRoutineFamily(const char* name, TRoutineSlots& slots) {
    if (!CanRunRoutineFamily(name)) return false;
    DispatchRoutines(DetectCpuCapabilities() & ~BitsAfter(FindFamily(name)), slots);
    return true;
}

bool RestrictToRoutineFamily(const char* name) {
    if (!CanRunRoutineFamily(name)) return false;
    WithholdCpuCapabilities(BitsAfter(FindFamily(name)));
    return true;
}

std::array<TRoutineVariant, slCount> ChooseRoutines(uint32_t w) {
    using V = TRoutineVariant;
    // Extended 3DNow! is used only together with 3DNow!.
    if (!(w & kCap3DNow)) w &= ~kCapE3DNow;
    const bool p56 = (w & kCapIntel) && (w & (kCapFamily5 | kCapFamily6));
    const bool e3d = w & kCapE3DNow;
    const bool d3d = w & kCap3DNow;
    const bool cmov = w & kCapCMOV;

    std::array<V, slCount> c{};
    c[slAliasReduction] = e3d ? V::rvE3DNow : d3d ? V::rv3DNow : V::rvPlain;
    const V writer = e3d ? V::rvE3DNow : d3d ? V::rv3DNow : (p56 && cmov) ? V::rvP5P6Cmov : p56 ? V::rvP5P6 : V::rvPlain;
    c[slWriteMono] = writer;
    c[slWriteStereo] = writer;
    c[slHybrid] = (e3d && cmov) ? V::rvE3DNow : p56 ? V::rvP5P6 : V::rvPlain;
    c[slImdctLong] = e3d ? V::rvE3DNow : p56 ? V::rvP5P6 : V::rvPlain;
    c[slImdctShort] = c[slImdctLong];
    // Our vector families, where the word has their bits (SSE, "KNI", has no say).
    if (w & kCapAVX2) c.fill((w & kCapAVX512) ? V::rvAVX512 : V::rvAVX2);
    return c;
}

void DispatchRoutines(uint32_t word, TRoutineSlots& slots) {
    // The x87 and 3DNow! families do not exist on this platform: those choices run the plain
    // routines, which compute the same results. A family fills the slots it has routines for
    // over those of the family before it.
    FillSlotsPlain(slots);
#if defined(__x86_64__)
    const auto choice = ChooseRoutines(word);
    if (choice[slHybrid] == TRoutineVariant::rvAVX2) FillSlotsAvx2(slots);
    if (choice[slHybrid] == TRoutineVariant::rvAVX512) FillSlotsAvx512(slots);
#else
    (void)word;  // only the plain family exists here
#endif
}

TRoutineSlots& GlobalRoutines() { return DefaultDecoder().Routines(); }

void DispatchRoutines(uint32_t word) { DispatchRoutines(word, GlobalRoutines()); }

}  // namespace zentu
