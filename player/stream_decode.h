// Decodes a whole stream to PCM the way the player plays it: through the player's own
// TMP3Stream (tags and the first frame as the player opens them, the VBR header frame left
// out, one frame of zeros for a frame that does not decode, the kept samples at their gain).
#pragma once

#include <cstdint>
#include <functional>

#include "decoder/mpeg_decoder.h"
#include "player/mp_stream.h"
#include "player/playback_maths.h"

namespace zentu {

struct TStreamDecodeStats {
    int64_t frames = 0;
    int64_t pcmBytes = 0;
    DecodedFormat format{};
    float gainDb = NAN;  // the ReplayGain applied (NaN: none)
};

struct TStreamDecodeOptions {
    // Leaves out the encoder's delay and padding where a LAME tag gives them.
    bool gapless = true;
    mp3::TReplayGainMode replayGain = mp3::TReplayGainMode::rgmOff;
};

// Returns false when the stream holds no MPEG audio. `prepare` receives the format before
// the first PCM; `write` receives each frame's kept PCM and returns false to stop with an
// error (EStreamError is raised). Stream errors pass through.
bool DecodeStream(TMPStream& stream, const std::function<void(const DecodedFormat&)>& prepare,
                  const std::function<bool(const uint8_t*, size_t)>& write, TStreamDecodeStats& stats,
                  const TStreamDecodeOptions& options = {});

}  // namespace zentu
