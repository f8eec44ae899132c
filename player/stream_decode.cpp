#include "player/stream_decode.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "decoder/dispatch.h"
#include "platform/exceptions.h"
#include "player/frame_walk.h"
#include "player/mp3_info.h"
#include "player/mp_stream_reader.h"

namespace zentu {

bool DecodeStream(TMPStream& stream, const std::function<void(const DecodedFormat&)>& prepare,
                  const std::function<bool(const uint8_t*, size_t)>& write, TStreamDecodeStats& stats) {
    TMPStreamReader reader(65536);
    reader.Open(&stream, true);
    TMpegDecoder decoder;
    DispatchRoutines(DetectCpuCapabilities(), decoder.Routines());
    TFrameWalk walk(reader);
    {
        TMP3Info info;
        info.Attach(&reader);
        const bool found = info.FindAudio(walk, decoder);
        info.Attach(nullptr);
        if (!found) return false;
    }
    stats.format = decoder.GetDecodedFormat();
    const int32_t pcmBytes = stats.format.samplesPerFrame * stats.format.bitsPerSample / 8;
    prepare(stats.format);
    walk.StepOverVbrHeader();

    std::vector<uint8_t> pcm(static_cast<size_t>(kMaxPcmBytesPerFrame));
    for (;;) {
        const TFrameWalk::TStep step = walk.Frame(decoder);
        if (step == TFrameWalk::TStep::stEnd) break;
        if (step == TFrameWalk::TStep::stSkipped) continue;
        const DecodeResult r = decoder.DecodeFrame(reader.Current(), walk.PendingLength(), pcm.data());
        walk.Next();
        if (r.consumed < 1) std::memset(pcm.data(), 0, static_cast<size_t>(pcmBytes));
        if (!write(pcm.data(), static_cast<size_t>(pcmBytes))) throw EStreamError(std::strerror(errno));
        ++stats.frames;
        stats.pcmBytes += pcmBytes;
    }
    return true;
}

}  // namespace zentu
