// Routine dispatch: which variant family each slot takes for a capability word.
#include "decoder/dispatch.h"

#include "decoder/mpeg_decoder.h"

namespace zentu {

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
    if ((w & kCapSSE) && (w & kCapAVX2)) {
        c[slWriteMono] = V::rvAVX2;
        c[slWriteStereo] = V::rvAVX2;
        c[slHybrid] = V::rvAVX2;
        c[slImdctLong] = V::rvAVX2;
        c[slImdctShort] = V::rvAVX2;
    }
    return c;
}

void DispatchRoutines(uint32_t word, TRoutineSlots& slots) {
    // The x87 and 3DNow! families do not exist on this platform: those choices run the plain
    // routines, which compute the same results.
    const auto choice = ChooseRoutines(word);
    FillSlotsPlain(slots);
#if defined(__x86_64__)
    if (choice[slWriteMono] == TRoutineVariant::rvAVX2) FillSlotsAvx2(slots);
#endif
}

TRoutineSlots& GlobalRoutines() { return DefaultDecoder().Routines(); }

void DispatchRoutines(uint32_t word) { DispatchRoutines(word, GlobalRoutines()); }

}  // namespace zentu
