#include "player/playback_maths.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace zentu::mp3 {

TKeptRange GaplessRange(int32_t layer, int32_t delay, int32_t padding, int64_t frames, int32_t samplesPerFrame) {
    TKeptRange range;
    if (layer != 3 || delay < 0 || padding < 0 || samplesPerFrame <= 0) return range;
    range.begin = int64_t{delay} + kDecoderDelay;
    if (frames > 0) range.end = std::max(range.begin, frames * samplesPerFrame - padding + kDecoderDelay);
    return range;
}

TSlice KeptSlice(int64_t first, int32_t count, int64_t from, int64_t to) {
    const int64_t begin = std::max(first, from);
    const int64_t end = std::min(first + count, to);
    if (end <= begin) return {};
    return {static_cast<int32_t>(begin - first), static_cast<int32_t>(end - begin)};
}

bool ParseReplayGainMode(const std::string& text, bool continuousPlay, TReplayGainMode& mode) {
    if (text == "auto")
        mode = continuousPlay ? TReplayGainMode::rgmAlbum : TReplayGainMode::rgmTrack;
    else if (text == "track")
        mode = TReplayGainMode::rgmTrack;
    else if (text == "album")
        mode = TReplayGainMode::rgmAlbum;
    else if (text == "lame")
        mode = TReplayGainMode::rgmLame;
    else if (text == "off")
        mode = TReplayGainMode::rgmOff;
    else
        return false;
    return true;
}

TReplayGainMode ReplayGainModeFromEnvironment(bool continuousPlay) {
    TReplayGainMode mode = continuousPlay ? TReplayGainMode::rgmAlbum : TReplayGainMode::rgmTrack;
    if (const char* text = std::getenv("ZENTU_REPLAYGAIN")) ParseReplayGainMode(text, continuousPlay, mode);
    return mode;
}

TReplayGain CombinedGain(const TReplayGain& tags, const TLameTag& lame) {
    TReplayGain g = tags;
    g.encoderGain = std::isnan(lame.trackGain) ? lame.albumGain : lame.trackGain;
    g.encoderPeak = lame.peak;
    return g;
}

float ReplayGainScale(const TReplayGain& track, TReplayGainMode mode, float* usedDb) {
    if (usedDb) *usedDb = NAN;
    if (mode == TReplayGainMode::rgmOff) return 1.0f;
    const bool album = mode == TReplayGainMode::rgmAlbum;
    float gain = album ? track.albumGain : track.trackGain;
    float peak = album ? track.albumPeak : track.trackPeak;
    if (std::isnan(gain)) {
        gain = album ? track.trackGain : track.albumGain;
        peak = album ? track.trackPeak : track.albumPeak;
    }
    if (std::isnan(gain) && mode == TReplayGainMode::rgmLame) {
        gain = track.encoderGain;
        peak = track.encoderPeak;
    }
    if (std::isnan(gain)) return 1.0f;
    float scale = std::pow(10.0f, gain / 20.0f);
    // Clipping prevention: the loudest sample stays within full scale.
    if (!std::isnan(peak) && peak > 0 && scale * peak > 1.0f) scale = 1.0f / peak;
    if (usedDb) *usedDb = 20.0f * std::log10(scale);
    return scale;
}

}  // namespace zentu::mp3
