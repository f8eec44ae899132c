// TTrackInfo: one description of the file a player has open, built once when it opens and
// handed with the file's start to everything that shows it (the window, the tray's texts,
// the desktop's media controls), so that none of them reads the file or another's widgets.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace zentu {

struct TPicture {
    std::string mime;           // "image/jpeg", "image/png", ...; empty when unknown
    std::vector<uint8_t> data;  // empty: no picture
};

// ReplayGain: gains in dB, peaks linear (1.0 is full scale); NaN where nothing says. The
// encoder's are what lame measured while encoding (its LAME tag), not what a tagger wrote:
// they are used only when asked for.
struct TReplayGain {
    float trackGain = NAN, trackPeak = NAN, albumGain = NAN, albumPeak = NAN;
    float encoderGain = NAN, encoderPeak = NAN;
};

struct TTrackInfo {
    std::string fileName;  // as opened, bytes
    // Texts as shown (UTF-8): the title falls back to the file's name.
    std::string title, artist, album, year, comment;
    int32_t durationMs = 0;
    int32_t sampleRate = 0;
    int32_t channels = 0;
    int32_t bitRate = 0;  // bit/s; 0 for VBR
    int32_t layer = 0;    // 1..3
    int32_t version = 0;  // 1 MPEG-1, 2 MPEG-2, 3 MPEG-2.5
    int32_t mode = 0;     // 0 stereo, 1 joint stereo, 2 dual channel, 3 single channel
    TReplayGain gain;  // the tags', and the LAME tag's as the encoder's
    TPicture picture;  // the front cover, else the first picture
};

}  // namespace zentu
