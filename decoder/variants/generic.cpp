// The plain routines of every slot.
#include "decoder/dispatch.h"
#include "decoder/layer3.h"
#include "decoder/synth.h"

namespace zentu {

void FillSlotsPlain(TRoutineSlots& slots) {
    slots.aliasReduction = AliasReductionPlain;
    slots.writeMono = SynthesizeMonoPlain;
    slots.writeStereoChannel = SynthesizeStereoChannelPlain;
    slots.hybridChannel = HybridChannelPlain;
    slots.imdctLong = ImdctLongPlain;
    slots.imdctShort = ImdctShortPlain;
}

}  // namespace zentu
