// The per-frame rule shared by the player's decode loop and zentu-decode: the length of the
// frame at the read point when it belongs to the stream, else 0 or less.
#pragma once

#include <cstdint>
#include <cstring>

#include "decoder/mpeg_decoder.h"

namespace zentu {

inline uint32_t HeaderWord(const uint8_t* bytes) {
    uint32_t v;
    std::memcpy(&v, bytes, 4);
    return v;  // the four bytes as a little-endian value on the platforms we build for
}

// Parses the four bytes at `bytes` (no more are read) into `header` and returns the whole
// frame length, padding included: 0 or less when they are no frame header, or one of
// another stream than `referenceHeader`. A free-format header of the stream takes
// `freeFormatBase`, the base length measured at the stream's first frame (the header alone
// cannot give it).
inline int32_t FrameLengthAt(const uint8_t* bytes, uint32_t referenceHeader, int32_t freeFormatBase,
                             FrameHeader& header) {
    int32_t len = ParseFrameHeader(bytes, 0, header);
    const bool sameStream = ((HeaderWord(bytes) ^ referenceHeader) & kSameStreamMask) == 0;
    if (len == 0 && header.syncKind != 0 && header.bitrateIndex == 0 && header.layerCode >= 1 && sameStream)
        len = freeFormatBase;
    if (len <= 0) return len;
    if (header.layerCode < 1 || header.layerCode > 3) return 0;
    if (!sameStream) return 0;
    return len + (header.paddingBit ? PaddingSlot(header.layerCode) : 0);
}

}  // namespace zentu
