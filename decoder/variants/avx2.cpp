// The AVX2 + FMA family: the eight-lane routines of avx_common.h compiled with -mavx2 -mfma;
// chosen only when the processor has both.
#include "decoder/variants/avx_common.h"

namespace zentu {

void FillSlotsAvx2(TRoutineSlots& slots) {
    slots.aliasReduction = AliasReductionLanes;
    slots.writeMono = SynthesizeLanes<Window8, 1>;
    slots.writeStereoChannel = SynthesizeLanes<Window8, 2>;
    slots.hybridChannel = HybridChannelLanes;
    slots.imdctLong = ImdctLongLanes;
    slots.imdctShort = ImdctShortLanes;
}

}  // namespace zentu
