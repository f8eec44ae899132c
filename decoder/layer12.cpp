// Layer I and Layer II (placeholder; replaced below).
#include "decoder/decoder_state.h"
#include "decoder/layer12.h"

namespace zentu {
bool SetupLayer1(DecoderState&) { return true; }
bool SetupLayer2(DecoderState&) { return true; }
DecodeResult DecodeLayer1Frame(DecoderState&, const uint8_t*, int32_t, uint8_t*) { return {}; }
DecodeResult DecodeLayer2Frame(DecoderState&, const uint8_t*, int32_t, uint8_t*) { return {}; }
}  // namespace zentu
