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
                  const std::function<bool(const uint8_t*, size_t)>& write, TStreamDecodeStats& stats,
                  const TStreamDecodeOptions& options) {
    TMPStreamReader reader(65536);
    reader.Open(&stream, true);
    TMpegDecoder decoder;
    DispatchRoutines(DetectCpuCapabilities(), decoder.Routines());
    TFrameWalk walk(reader);
    TReplayGain tagGain;
    {
        TMP3Info info;
        info.Attach(&reader);
        const bool found = info.FindAudio(walk, decoder);
        tagGain = info.Gain();
        info.Attach(nullptr);
        if (!found) return false;
    }
    stats.format = decoder.GetDecodedFormat();
    const int32_t pcmBytes = stats.format.samplesPerFrame * stats.format.bitsPerSample / 8;
    const int32_t samplesPerFrame = stats.format.samplesPerFrame / stats.format.channels;
    const int32_t bytesPerSample = pcmBytes / samplesPerFrame;
    prepare(stats.format);
    const TVbrHeader vbr = walk.StepOverVbrHeader();
    const mp3::TKeptRange kept = options.gapless ? mp3::GaplessRange(4 - walk.FirstHeader().layerCode, vbr.lame.delay,
                                                                     vbr.lame.padding, vbr.frames, samplesPerFrame)
                                                 : mp3::TKeptRange{};
    decoder.SetOutputGain(mp3::ReplayGainScale(mp3::CombinedGain(tagGain, vbr.lame), options.replayGain, &stats.gainDb));
    int64_t first = 0;  // the next frame's first sample

    std::vector<uint8_t> pcm(static_cast<size_t>(kMaxPcmBytesPerFrame));
    for (;;) {
        const TFrameWalk::TStep step = walk.Frame(decoder);
        if (step == TFrameWalk::TStep::stEnd) break;
        if (step == TFrameWalk::TStep::stSkipped) continue;
        const DecodeResult r = decoder.DecodeFrame(reader.Current(), walk.PendingLength(), pcm.data());
        walk.Next();
        if (r.consumed < 1) std::memset(pcm.data(), 0, static_cast<size_t>(pcmBytes));
        ++stats.frames;
        const mp3::TSlice slice = mp3::KeptSlice(first, samplesPerFrame, kept.begin, kept.end);
        first += samplesPerFrame;
        if (slice.length == 0) {
            if (first >= kept.end) break;
            continue;
        }
        uint8_t* const begin = pcm.data() + slice.offset * bytesPerSample;
        const int32_t bytes = slice.length * bytesPerSample;
        if (!write(begin, static_cast<size_t>(bytes))) throw EStreamError(std::strerror(errno));
        stats.pcmBytes += bytes;
    }
    return true;
}

}  // namespace zentu
