#include "player/stream_decode.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "decoder/dispatch.h"
#include "platform/exceptions.h"
#include "player/frame_rule.h"
#include "player/mp3_info.h"
#include "player/mp3_player.h"
#include "player/mp_stream_reader.h"

namespace zentu {

bool DecodeStream(TMPStream& stream, const std::function<void(const DecodedFormat&)>& prepare,
                  const std::function<bool(const uint8_t*, size_t)>& write, TStreamDecodeStats& stats) {
    TMPStreamReader reader(65536);
    reader.Open(&stream, true);
    // The audio range as the player takes it: after the leading tags and wrappers, as long
    // as the information reader says.
    int64_t dataStart = 0, dataLength = 0;
    {
        TMP3Info info;
        info.Attach(&reader);
        info.ReadLeadingInfo();
        info.ReadTrailingTags();
        reader.Seek(info.AudioStart(), TSeekOrigin::soBeginning);
        dataStart = info.AudioStart();
        dataLength = info.AudioLength();
        info.Attach(nullptr);
    }

    reader.Require(1024);
    FrameHeader header;
    int32_t bitrate = 0, offset = 0;
    const int32_t base = FindFirstFrame(reader.Current(), reader.Available(), header, bitrate, offset);
    if (base <= 0) return false;
    if (offset > 0) {
        if (!reader.Skip(offset)) return false;
        dataStart += offset;
        if (dataLength < kUnknownLength) dataLength -= offset;
        reader.Require(1441);
        if (reader.Available() < 4) return false;
    }
    const uint32_t reference = HeaderWord(reader.Current());
    const int32_t freeBase = header.bitrateIndex == 0 ? base : 0;
    int32_t frameLength = FrameLengthAt(reader.Current(), reference, freeBase, header);
    if (frameLength <= 0 || !reader.Require(frameLength)) return false;
    TMpegDecoder decoder;
    DispatchRoutines(DetectCpuCapabilities(), decoder.Routines());
    const int32_t padding = header.paddingBit ? PaddingSlot(header.layerCode) : 0;
    if (!decoder.Open(header, frameLength - padding, 0, 0, 0, 24000)) return false;
    stats.format = decoder.GetDecodedFormat();
    const int32_t pcmBytes = stats.format.samplesPerFrame * stats.format.bitsPerSample / 8;
    prepare(stats.format);

    // A VBR header frame carries no audio: it is skipped, and its byte count bounds the data.
    const mp3::TVbrInfo vbr = mp3::ParseVbrHeader(reader.Current(), reader.Available(), header);
    if (vbr.found) {
        if (vbr.bytes > 0) dataLength = vbr.bytes;
        if (!reader.Skip(frameLength)) return false;
        dataStart += frameLength;
        if (dataLength < kUnknownLength) dataLength -= frameLength;
        frameLength = 0;
    }

    std::vector<uint8_t> pcm(5120);
    int32_t resync = 0;
    for (;;) {
        if (reader.Position() - dataStart >= dataLength) break;
        if (frameLength <= 0) {
            if (!reader.Require(4)) break;  // the data ends inside a frame: it is not played
            FrameHeader h;
            frameLength = FrameLengthAt(reader.Current(), reference, freeBase, h);
            if (frameLength <= 0) {
                if (resync >= 1024) break;  // no frame for too long: the data ends here
                reader.Skip(1);
                ++resync;
                continue;
            }
        }
        if (!reader.Require(frameLength)) break;
        const DecodeResult r = decoder.DecodeFrame(reader.Current(), frameLength, pcm.data());
        reader.Skip(frameLength);
        frameLength = 0;
        resync = 0;
        if (r.consumed < 1) std::memset(pcm.data(), 0, static_cast<size_t>(pcmBytes));
        if (!write(pcm.data(), static_cast<size_t>(pcmBytes))) throw EStreamError(std::strerror(errno));
        ++stats.frames;
        stats.pcmBytes += pcmBytes;
    }
    return true;
}

}  // namespace zentu
