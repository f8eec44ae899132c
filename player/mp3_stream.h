// TMP3Stream: one open MPEG audio file and everything known about it: its reader, tags and
// stream information, the frame walk and frame index, the decoded format, the samples that
// are heard (gapless trimming, a seek's target) and their gain, and its description. Its step
// decodes the next frame and yields the kept PCM. The player plays a queue of them, and
// zentu-decode decodes one.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

#include "decoder/mpeg_decoder.h"
#include "player/frame_index.h"
#include "player/frame_walk.h"
#include "player/mp3_info.h"
#include "player/mp_stream.h"
#include "player/mp_stream_reader.h"
#include "player/playback_maths.h"
#include "player/track_info.h"

namespace zentu {

// Open flags.
inline constexpr uint8_t kStreamSeekable = 1;
inline constexpr uint8_t kStreamOwned = 2;

struct TMP3StreamOptions {
    // Leaves out the encoder's delay and padding where a LAME tag gives them.
    bool gapless = true;
    mp3::TReplayGainMode replayGain = mp3::TReplayGainMode::rgmOff;
    // Counts the frames of a seekable file on a thread of their own (exact seeks and length).
    bool index = false;
};

// The tags' title, or else the file's name without its folder (UTF-8).
std::string TitleOf(const TMP3Info& info, const std::string& fileName);

class TMP3Stream {
public:
    enum class TStep { stPcm, stNone, stEnd };

    TMP3Stream() = default;
    ~TMP3Stream();
    TMP3Stream(const TMP3Stream&) = delete;
    TMP3Stream& operator=(const TMP3Stream&) = delete;

    // Takes `source` (freed with this object when `flags` has kStreamOwned), reads its tags,
    // finds its first frame with `decoder` set up for it, steps over a VBR header and works
    // out what is heard and how loud. False when it holds no MPEG audio; raises what the
    // source raises.
    bool Open(TMPStream* source, uint8_t flags, const std::string& name, TMpegDecoder& decoder,
              const TMP3StreamOptions& options);

    // Decodes the next frame: stPcm when kept samples are pending (Pending), stNone when the
    // frame was left out or a byte skipped, stEnd at the end of what is heard.
    TStep Step(TMpegDecoder& decoder);
    const uint8_t* Pending() const { return pcm_.data() + pcmOffset_; }
    int32_t PendingBytes() const { return pendingBytes_; }
    void Consume(int32_t bytes) { pendingBytes_ -= bytes, pcmOffset_ += bytes; }
    // The next frames decoded are those from kept sample `sample` on, with the frames before it
    // that the decoder needs to be in the state a play from the start would leave it in.
    void SeekTo(int64_t sample);
    // Fills the reader's ring while the output has no room; false when it is full.
    bool ReadAhead() { return reader_.IsOpen() && reader_.ReadAhead(); }

    // What will be heard, in ms: exact once the frames are counted.
    int32_t DurationMs() const;
    // The description's length follows DurationMs; true when it changed.
    bool UpdateDuration();
    // Nothing to be heard: no frame after the VBR header, or no sample left by the trimming.
    bool Empty() const;
    bool FramesCounted() const { return index_ && index_->Done(); }

    bool Seekable() const { return (flags_ & kStreamSeekable) != 0; }
    const TTrackInfo& Track() const { return track_; }
    const TMP3Info& Info() const { return info_; }
    const DecodedFormat& Format() const { return format_; }
    float GainDb() const { return gainDb_; }
    int64_t DataStart() const { return walk_.DataStart(); }
    int64_t DataLength() const { return walk_.DataLength(); }
    // Decoded bytes of the frames a VBR header counts (0 without a usable count).
    int64_t VbrTotal() const { return vbrFrames_ * format_.samplesPerFrame * format_.bitsPerSample / 8; }
    // Decoded samples per channel from the first audio frame to the read point.
    int64_t DecodedSamples() const { return nextSample_; }

private:
    bool FrameOffset(int64_t frame, int64_t& offset) const;
    void Describe(const mp3::TLameTag& lame);

    TMPStream* source_ = nullptr;
    uint8_t flags_ = 0;
    TMPStreamReader reader_{65536};
    TFrameWalk walk_{reader_};
    TMP3Info info_;
    std::unique_ptr<TFrameIndex> index_;
    DecodedFormat format_{};
    int32_t samplesPerFrame_ = 0;  // per channel
    int64_t vbrFrames_ = 0;
    // Decoded samples per channel, counted from the first audio frame: the range that is
    // heard, where writing starts (a seek), and the next frame's first.
    mp3::TKeptRange kept_;
    int64_t keepFrom_ = 0;
    int64_t nextSample_ = 0;
    float gainScale_ = 1.0f;
    float gainDb_ = NAN;
    TTrackInfo track_;
    std::array<uint8_t, kMaxPcmBytesPerFrame> pcm_{};
    int32_t pcmOffset_ = 0, pendingBytes_ = 0;
};

}  // namespace zentu
