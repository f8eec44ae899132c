// The frame walk shared by the player, its file check and zentu-decode: the search for a
// stream's first frame, the VBR header in it, and the per-frame rule that takes one frame
// after another from the reader (byte-wise resynchronisation, the end of the data).
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "decoder/mpeg_decoder.h"
#include "player/mp_stream_reader.h"

namespace zentu {

inline constexpr int64_t kUnknownLength = 2147483647;
// How far from the audio start the first frame may lie.
inline constexpr int32_t kFirstFrameSearch = 65536;
// Bytes skipped one by one inside the data before the stream is taken to have ended.
inline constexpr int32_t kResyncLimit = 1024;

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
int32_t FrameLengthAt(const uint8_t* bytes, uint32_t referenceHeader, int32_t freeFormatBase, FrameHeader& header);

// The longest frame a stream can have: what headers declare, or a free-format stream's own.
int32_t LongestFrame(int32_t freeFormatBase);
// The bytes readable from a frame's start, of `length` bytes, that WholeLength needs to judge
// it: the frame, the longest frame of the stream after it and the header after that.
inline int32_t WholeLengthWindow(int32_t length, int32_t freeFormatBase) {
    return length + LongestFrame(freeFormatBase) + 4;
}
// How many of the `length` bytes of the frame at `frame` belong to it. The frame is whole
// when the data ends after it or a frame of the stream or a tag follows it. Otherwise a
// frame of the stream starting inside it, itself followed by one (or a tag, or the data's
// end), shows that it was cut short there (a damaged or spliced file): only the bytes
// before that count. `window` bytes are readable at `frame` (WholeLengthWindow, fewer where
// the stream ends: `dataLeft` is then no more than `window`), `dataLeft` bytes of the data
// remain from it.
int32_t WholeLength(const uint8_t* frame, int32_t length, int32_t window, int64_t dataLeft, uint32_t referenceHeader,
                    int32_t freeFormatBase);

// Makes up to `want` bytes (at most the reader's capacity) contiguous at the read point and
// returns how many there are: fewer only at the end of the stream.
int32_t ReadWindow(TMPStreamReader& reader, int32_t want);

namespace mp3 {
// Where a Layer III frame's side information ends, from the frame's start (CRC not counted).
inline int32_t SideInfoEnd(const FrameHeader& header) { return 4 + SideInfoLength(header); }
// The LAME extension of a Xing or Info header (LAME, and FFmpeg's encoders, write it). A tag
// is valid when its CRC matches, or when it does not (FFmpeg writes such tags in mono files)
// but its delay and padding are ones an encoder writes; gains in dB, the peak linear (1.0 is
// full scale); -1 and NaN for what it does not give.
struct TLameTag {
    bool valid = false;
    bool crcMatches = false;              // a valid tag without it must also fit its file
    std::string encoder;                  // "LAME3.100", "Lavc60.31", ...
    int32_t delay = -1, padding = -1;     // samples the encoder added before and after
    float trackGain = NAN, albumGain = NAN, peak = NAN;
};
// What a VBR header in a first frame says, as stored (-1 for a field that is absent).
struct TVbrInfo {
    bool found = false;
    int32_t frames = -1;
    int32_t bytes = -1;
    TLameTag lame;
};
// Looks for a Xing or Info header (after the side information, with or without the two CRC
// bytes) or a VBRI header in the frame at `frame`, of which `available` bytes are readable.
TVbrInfo ParseVbrHeader(const uint8_t* frame, int32_t available, const FrameHeader& header);
}  // namespace mp3

// What the VBR header of a first frame said, once checked against the file.
struct TVbrHeader {
    bool found = false;
    int64_t frames = 0;  // audio frames after the header frame; 0 when the count is unusable
    mp3::TLameTag lame;
};

class TFrameWalk {
public:
    enum class TStep { stFrame, stSkipped, stEnd };

    explicit TFrameWalk(TMPStreamReader& reader) : reader_(reader) {}
    TFrameWalk(const TFrameWalk&) = delete;
    TFrameWalk& operator=(const TFrameWalk&) = delete;

    // Finds the stream's first frame within kFirstFrameSearch bytes of the read point, where
    // the audio data starts (`dataLength` bytes of it, or kUnknownLength): the first
    // position whose header parses, whose frame is whole, that the next frame's header
    // confirms (unless the data ends there or a tag follows), and whose set-up `decoder`
    // accepts. Leaves the read point on it with its length pending and `decoder` set up.
    bool Find(int64_t dataLength, TMpegDecoder& decoder);
    // A Xing, Info or VBRI header in the pending first frame: when there is one, the frame
    // is stepped over (it carries no audio) and its frame count is checked against the file.
    TVbrHeader StepOverVbrHeader();

    // The frame at the read point, made whole: stFrame with PendingLength() bytes at the
    // reader's Current (fewer than its header declares when it was cut short, see
    // WholeLength: the decoder then refuses it); stSkipped when one byte was skipped (no
    // frame of this stream there, or the decoder refused to set up again; the first byte of
    // a run tells the decoder to drop its reservoir); stEnd at the end of the data, whose
    // length is cut to the read point when the data ends inside a frame or makes no frame
    // for kResyncLimit bytes.
    TStep Frame(TMpegDecoder& decoder);
    // Steps over the frame that Frame returned.
    void Next();
    // Back to the data start (seekable streams); the next frame sets the decoder up again.
    void Rewind() { SeekTo(0); }
    // To `offset` bytes into the data (seekable streams), as Rewind: the frame there is found
    // by the per-frame rule, and the decoder set up again from it.
    void SeekTo(int64_t offset);
    void Reset();

    const FrameHeader& FirstHeader() const { return header_; }
    int32_t BitRate() const { return bitRate_; }  // of the first frame, in bit/s
    uint32_t ReferenceHeader() const { return reference_; }
    int32_t FreeFormatBase() const { return freeFormatBase_; }
    int64_t FirstFrameOffset() const { return firstFrame_; }  // where Find found the first frame
    int64_t DataStart() const { return dataStart_; }
    int64_t DataLength() const { return dataLength_.load(); }
    int32_t PendingLength() const { return pending_; }

private:
    bool TryFirstFrame(int64_t dataEnd, TMpegDecoder& decoder);
    bool Confirmed(int32_t length, int64_t dataEnd);
    TStep Resync(TMpegDecoder& decoder);
    TStep Truncate();

    TMPStreamReader& reader_;
    FrameHeader header_{};
    int32_t bitRate_ = 0;
    uint32_t reference_ = 0;     // the first frame's header bytes
    int32_t freeFormatBase_ = 0; // base length of a free-format stream, from its first frame
    int32_t pending_ = 0;        // length of the parsed frame at the read point; 0 when none
    int32_t resync_ = 0;
    bool needsSetup_ = false;
    int64_t firstFrame_ = 0;
    int64_t dataStart_ = 0;
    std::atomic<int64_t> dataLength_{kUnknownLength};  // cut by the decoding thread, read by others
};

}  // namespace zentu
