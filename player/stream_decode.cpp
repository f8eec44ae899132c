#include "player/stream_decode.h"

#include <cerrno>
#include <cstring>

#include "decoder/dispatch.h"
#include "platform/exceptions.h"
#include "player/mp3_stream.h"

namespace zentu {

bool DecodeStream(TMPStream& source, const std::function<void(const DecodedFormat&)>& prepare,
                  const std::function<bool(const uint8_t*, size_t)>& write, TStreamDecodeStats& stats,
                  const TStreamDecodeOptions& options) {
    TMpegDecoder decoder;
    DispatchRoutines(DetectCpuCapabilities(), decoder.Routines());
    TMP3Stream stream;
    if (!stream.Open(&source, kStreamSeekable, {}, decoder, {options.gapless, options.replayGain})) return false;
    stats.format = stream.Format();
    stats.gainDb = stream.GainDb();
    prepare(stats.format);
    for (TMP3Stream::TStep step; (step = stream.Step(decoder)) != TMP3Stream::TStep::stEnd;) {
        if (step != TMP3Stream::TStep::stPcm) continue;
        const int32_t bytes = stream.PendingBytes();
        if (!write(stream.Pending(), static_cast<size_t>(bytes))) throw EStreamError(std::strerror(errno));
        stream.Consume(bytes);
        stats.pcmBytes += bytes;
    }
    stats.frames = stream.DecodedSamples() * stats.format.channels / stats.format.samplesPerFrame;
    return true;
}

}  // namespace zentu
