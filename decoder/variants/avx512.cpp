// The AVX-512 family (F, VL, BW, DQ). Compiled with those; chosen only when the processor and
// the operating system have them.
#include <immintrin.h>

#include "decoder/dispatch.h"
#include "decoder/synth.h"
#include "decoder/synth_impl.h"

namespace zentu {

void FillSlotsAvx512(TRoutineSlots& slots) { (void)slots; }

}  // namespace zentu
