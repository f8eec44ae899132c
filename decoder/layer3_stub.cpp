// Placeholder until the Layer III decoder lands: Layer III frames yield (0, 0).
#include "decoder/decoder_state.h"
#include "decoder/layer3.h"

namespace zentu {

bool SetupLayer3(DecoderState&) { return true; }
DecodeResult DecodeLayer3Frame(DecoderState&, const uint8_t*, int32_t, uint8_t*) { return {}; }
void AliasReductionPlain(float*, int32_t) {}
int32_t HybridChannelPlain(float*, const float*, float*, int32_t, int32_t, int32_t, int32_t, int32_t) { return 0; }
void ImdctLongPlain(float*) {}
void ImdctShortPlain(float*) {}

}  // namespace zentu
