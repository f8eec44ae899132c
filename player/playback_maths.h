// What of a stream's decoded samples is heard, and how loud: gapless trimming from the
// encoder's delay and padding, and ReplayGain. Shared by the player and zentu-decode.
#pragma once

#include <cstdint>
#include <limits>
#include <string>

#include "player/frame_walk.h"
#include "player/track_info.h"

namespace zentu::mp3 {

// A Layer III decoder's output lags its input by this many samples (the polyphase filter
// bank's 240.5 and the MDCT's 288, rounded as lame itself counts them).
inline constexpr int32_t kDecoderDelay = 529;
inline constexpr int64_t kNoEnd = std::numeric_limits<int64_t>::max();

// Decoded samples (per channel, from the first audio frame on) that are kept: [begin, end).
struct TKeptRange {
    int64_t begin = 0;
    int64_t end = kNoEnd;
};

// From the encoder's delay and padding (-1: unknown) and the frame count (0: unknown). Only a
// Layer III stream written by an encoder that says both is trimmed; without a frame count
// only its start is.
TKeptRange GaplessRange(int32_t layer, int32_t delay, int32_t padding, int64_t frames, int32_t samplesPerFrame);

// Length in ms: from the VBR total when known, else from data length and bit rate; 0 when
// neither gives one.
int64_t Duration(int64_t vbrTotal, int32_t sampleRate, int32_t channels, int32_t bitRate, int64_t dataLength);

// The part of a frame of `count` samples whose first sample is `first` that lies in [from,
// to): its offset in the frame and its length (0 when none).
struct TSlice {
    int32_t offset = 0;
    int32_t length = 0;
};
TSlice KeptSlice(int64_t first, int32_t count, int64_t from, int64_t to);

// rgmLame: as rgmTrack, and where no tag gives a gain, the encoder's (the LAME tag's).
enum class TReplayGainMode : uint8_t { rgmOff, rgmTrack, rgmAlbum, rgmLame };

// ZENTU_REPLAYGAIN=auto|track|album|lame|off (auto, the default: album gain in continuous
// play, track gain in random play).
TReplayGainMode ReplayGainModeFromEnvironment(bool continuousPlay);
// "track", "album", "lame", "off", "auto" (as continuous play); false for anything else.
bool ParseReplayGainMode(const std::string& text, bool continuousPlay, TReplayGainMode& mode);

// The tags' gains, and the LAME tag's as the encoder's.
TReplayGain CombinedGain(const TReplayGain& tags, const TLameTag& lame);
// The linear factor in `mode`: that kind of gain (the other kind when it is missing; in
// rgmLame then the encoder's), lowered so that the peak stays within full scale; 1 without a
// gain. `usedDb` gets the gain applied in dB (NaN when none).
float ReplayGainScale(const TReplayGain& gain, TReplayGainMode mode, float* usedDb = nullptr);

}  // namespace zentu::mp3
