// Arbitrary bytes as a file through the path of zentu-decode: reader, first frame, the
// per-frame walk and the decoder.
#include <cstddef>
#include <cstdint>

#include "platform/exceptions.h"
#include "player/mp_stream.h"
#include "player/stream_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zentu::TMPMemoryStream stream(data, size);
    zentu::TStreamDecodeStats stats;
    try {
        zentu::DecodeStream(
            stream, [](const zentu::DecodedFormat&) {}, [](const uint8_t*, size_t) { return true; }, stats);
    } catch (const zentu::Exception&) {
    }
    return 0;
}
