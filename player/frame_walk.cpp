#include "player/frame_walk.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace zentu {

namespace {

// Bytes looked at per pass of the search, and the window a free-format first frame is
// measured over (the measurement looks up to 10000 bytes ahead).
constexpr int32_t kSearchChunk = 16384;
constexpr int32_t kParseWindow = 10004;
// Room for tags after the audio when a VBR frame count is held against the file's size.
constexpr int64_t kTrailingAllowance = 65536;

int32_t PaddingOf(const FrameHeader& h) { return h.paddingBit ? PaddingSlot(h.layerCode) : 0; }

// What may follow the last frame of the data instead of another frame.
bool TagMarkerAt(const uint8_t* p) {
    return std::memcmp(p, "TAG", 3) == 0 || std::memcmp(p, "ID3", 3) == 0 || std::memcmp(p, "LYRI", 4) == 0 ||
           std::memcmp(p, "APET", 4) == 0;
}

// The shortest and the longest whole frame a stream of the given first header can have.
void FrameLengthRange(const uint8_t* first, int32_t freeFormatBase, int64_t& shortest, int64_t& longest) {
    uint8_t h[4];
    std::memcpy(h, first, 4);
    FrameHeader parsed;
    if ((h[2] >> 4) == 0) {
        shortest = freeFormatBase;
        longest = freeFormatBase + PaddingSlot((h[1] >> 1) & 3);
        return;
    }
    h[2] = static_cast<uint8_t>((h[2] & 0x0D) | 0x10);  // the lowest bit rate, no padding
    shortest = ParseFrameHeader(h, 0, parsed);
    h[2] = static_cast<uint8_t>((h[2] & 0x0D) | 0xE2);  // the highest, padded
    longest = ParseFrameHeader(h, 0, parsed) + PaddingOf(parsed);
}

}  // namespace

namespace mp3 {

namespace {

// The longest delay or padding an encoder writes: two frames of 1152 samples.
constexpr int32_t kLargestEncoderGap = 2 * 1152;

// CRC-16 with the polynomial 0xA001 (reflected), starting from 0.
uint16_t LameCrc(const uint8_t* bytes, int32_t n) {
    uint32_t crc = 0;
    for (int32_t i = 0; i < n; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return static_cast<uint16_t>(crc);
}

// A gain field: name (bits 15-13: 1 radio, 2 audiophile), originator (12-10), sign (9),
// tenths of a dB (8-0). A field of 0 or without a name gives nothing.
float LameGain(uint32_t field) {
    if (field == 0 || (field >> 13) == 0) return NAN;
    const float gain = static_cast<float>(field & 0x1FF) / 10.0f;
    return (field & 0x200) ? -gain : gain;
}

// The LAME extension at `at`, right after the Xing fields: encoder (9 bytes), revision and
// method, lowpass, peak (4), radio gain (2), audiophile gain (2), flags, bit rate, delay and
// padding (12 bits each), misc, MP3Gain, preset (2), music length (4), music CRC (2), and
// the tag's CRC over every byte of the frame before it.
TLameTag ParseLameTag(const uint8_t* frame, int32_t available, int32_t at) {
    TLameTag lame;
    constexpr int32_t kLength = 36;
    if (at < 0 || at + kLength > available) return lame;
    const uint8_t* t = frame + at;
    const auto be = [&](int offset, int bytes) {
        uint32_t v = 0;
        for (int i = 0; i < bytes; ++i) v = v << 8 | t[offset + i];
        return v;
    };
    lame.crcMatches = LameCrc(frame, at + 34) == be(34, 2);
    lame.encoder.assign(reinterpret_cast<const char*>(t), 9);
    lame.encoder.erase(std::find(lame.encoder.begin(), lame.encoder.end(), '\0'), lame.encoder.end());
    // Other encoders' fields there mean other things.
    const std::string_view encoder(lame.encoder);
    if (encoder.starts_with("LAME") || encoder.starts_with("Lavf") || encoder.starts_with("Lavc")) {
        const uint32_t gapless = be(21, 3);
        lame.delay = static_cast<int32_t>(gapless >> 12);
        lame.padding = static_cast<int32_t>(gapless & 0xFFF);
    }
    // Without its CRC, a tag is believed only for a delay and padding an encoder writes (up
    // to two frames each); a damaged one says nothing.
    if (!lame.crcMatches && !(lame.delay >= 0 && lame.delay <= kLargestEncoderGap && lame.padding >= 0 &&
                              lame.padding <= kLargestEncoderGap))
        return TLameTag{};
    lame.valid = true;
    if (const uint32_t peak = be(11, 4); peak != 0) lame.peak = static_cast<float>(std::ldexp(peak, -23));
    lame.trackGain = LameGain(be(15, 2));
    lame.albumGain = LameGain(be(17, 2));
    return lame;
}

}  // namespace

TVbrInfo ParseVbrHeader(const uint8_t* frame, int32_t available, const FrameHeader& header) {
    TVbrInfo info;
    // Fields that would lie past the readable bytes count as absent.
    auto be32 = [&](int32_t at, int32_t& value) {
        if (at < 0 || at + 4 > available) return false;
        value = static_cast<int32_t>((uint32_t{frame[at]} << 24) | (uint32_t{frame[at + 1]} << 16) |
                                     (uint32_t{frame[at + 2]} << 8) | uint32_t{frame[at + 3]});
        return true;
    };
    auto tagAt = [&](int32_t at, const char* tag) { return at + 4 <= available && std::memcmp(frame + at, tag, 4) == 0; };
    const int32_t afterSideInfo = SideInfoEnd(header);
    // Encoders write the header right after the side information even when a CRC follows
    // the frame header; some count the CRC's two bytes in.
    for (const int32_t o : {afterSideInfo, header.protectionBit == 0 ? afterSideInfo + 2 : -1}) {
        if (o < 0 || !(tagAt(o, "Xing") || tagAt(o, "Info"))) continue;
        info.found = true;
        int32_t flags = 0;
        if (!be32(o + 4, flags)) return info;
        int32_t p = o + 8;
        if (flags & 1) {
            int32_t frames;
            if (be32(p, frames)) info.frames = frames;
            p += 4;
        }
        if (flags & 2) {
            int32_t bytes;
            if (be32(p, bytes)) info.bytes = bytes;
            p += 4;
        }
        if (flags & 4) p += 100;  // the seek table
        if (flags & 8) p += 4;    // the quality
        info.lame = ParseLameTag(frame, available, p);
        return info;
    }
    // VBRI sits 32 bytes after the header whatever the mode.
    if (tagAt(36, "VBRI")) {
        info.found = true;
        int32_t bytes, frames;
        if (be32(46, bytes)) info.bytes = bytes;
        if (be32(50, frames)) info.frames = frames;
    }
    return info;
}

}  // namespace mp3

int32_t FrameLengthAt(const uint8_t* bytes, uint32_t referenceHeader, int32_t freeFormatBase, FrameHeader& header) {
    int32_t len = ParseFrameHeader(bytes, 0, header);
    const bool sameStream = ((HeaderWord(bytes) ^ referenceHeader) & kSameStreamMask) == 0;
    if (len == 0 && header.syncKind != 0 && header.bitrateIndex == 0 && header.layerCode >= 1 && sameStream)
        len = freeFormatBase;
    if (len <= 0) return len;
    if (header.layerCode < 1 || header.layerCode > 3) return 0;
    if (!sameStream) return 0;
    return len + PaddingOf(header);
}

int32_t LongestFrame(int32_t freeFormatBase) {
    // Layer II at 384 kbit/s and 32 kHz, padded; a free-format frame may have 4 padding bytes.
    constexpr int32_t kLongestDeclared = 1729;
    return std::max(kLongestDeclared, freeFormatBase + 4);
}

int32_t WholeLength(const uint8_t* frame, int32_t length, int32_t window, int64_t dataLeft, uint32_t referenceHeader,
                    int32_t freeFormatBase) {
    // Whether `at` holds what may follow a frame; one that cannot be seen is taken to.
    auto followed = [&](int64_t at) {
        if (at + 4 > dataLeft || at + 4 > window) return true;
        FrameHeader h;
        return FrameLengthAt(frame + at, referenceHeader, freeFormatBase, h) > 0 || TagMarkerAt(frame + at);
    };
    if (followed(length)) return length;
    for (int32_t i = 1; i < length; ++i) {
        if (frame[i] != 0xFF || (frame[i + 1] & 0xE0) != 0xE0) continue;
        FrameHeader h;
        const int64_t end = i + int64_t{FrameLengthAt(frame + i, referenceHeader, freeFormatBase, h)};
        if (end > i && end <= dataLeft && (end + 4 > dataLeft || end + 4 <= window) && followed(end)) return i;
    }
    return length;
}

int32_t ReadWindow(TMPStreamReader& reader, int32_t want) {
    want = std::min(want, reader.Capacity());
    // At the end of the stream Require leaves the bytes it got where the ring has them (and
    // the count of contiguous bytes as it was before).
    if (!reader.Require(want)) reader.Linearize();
    return std::min(reader.Available(), want);
}

void TFrameWalk::Reset() {
    header_ = FrameHeader{};
    bitRate_ = 0;
    reference_ = 0;
    freeFormatBase_ = 0;
    pending_ = 0;
    resync_ = 0;
    needsSetup_ = false;
    firstFrame_ = 0;
    dataStart_ = 0;
    dataLength_ = kUnknownLength;
}

bool TFrameWalk::Find(int64_t dataLength, TMpegDecoder& decoder) {
    TMPStreamReader& r = reader_;
    Reset();
    const int64_t start = r.Position();
    const int64_t dataEnd = dataLength < kUnknownLength ? start + std::max<int64_t>(0, dataLength) : kUnknownLength;
    const int64_t searchEnd = std::min(dataEnd, start + kFirstFrameSearch);
    while (r.Position() < searchEnd) {
        const int32_t n = ReadWindow(r, kSearchChunk);
        if (n < 4) return false;
        const uint8_t* p = r.Current();
        // A candidate needs its second byte in the window: the last byte waits for the next pass.
        const auto limit = static_cast<int32_t>(std::min<int64_t>(n - 1, searchEnd - r.Position()));
        int32_t i = 0;
        while (i < limit && !(p[i] == 0xFF && (p[i + 1] & 0xE0) == 0xE0)) ++i;
        if (!r.Skip(i)) return false;
        if (i == limit) continue;
        if (TryFirstFrame(dataEnd, decoder)) {
            firstFrame_ = dataStart_ = r.Position();
            if (dataEnd < kUnknownLength) dataLength_ = dataEnd - dataStart_;
            return true;
        }
        if (!r.Skip(1)) return false;
    }
    return false;
}

bool TFrameWalk::TryFirstFrame(int64_t dataEnd, TMpegDecoder& decoder) {
    TMPStreamReader& r = reader_;
    const int32_t n = ReadWindow(r, kParseWindow);
    if (n < 4) return false;
    FrameHeader h;
    int32_t bitRate = 0;
    const int32_t base = ParseFrameHeaderWithBitrate(r.Current(), n, h, bitRate);
    // A 0xFFE sync with the version bit set is the reserved MPEG version.
    if (base <= 0 || (h.syncKind == 2 && h.versionBit == 1)) return false;
    const uint32_t reference = HeaderWord(r.Current());
    const int32_t freeBase = h.bitrateIndex == 0 ? base : 0;
    const int32_t length = FrameLengthAt(r.Current(), reference, freeBase, h);
    if (length <= 0 || length > r.Capacity() || !r.Require(length)) return false;
    reference_ = reference;
    freeFormatBase_ = freeBase;
    if (!Confirmed(length, dataEnd)) return false;
    if (decoder.Open(h, length - PaddingOf(h), 0, 0, 0, 24000) == 0) return false;
    const DecodedFormat f = decoder.GetDecodedFormat();
    const int64_t pcmBytes = int64_t{f.samplesPerFrame} * f.bitsPerSample / 8;
    if (pcmBytes <= 0 || pcmBytes > kMaxPcmBytesPerFrame || f.sampleRate <= 0 || f.channels <= 0) return false;
    header_ = h;
    bitRate_ = bitRate;
    pending_ = length;
    resync_ = 0;
    needsSetup_ = false;
    return true;
}

bool TFrameWalk::Confirmed(int32_t length, int64_t dataEnd) {
    TMPStreamReader& r = reader_;
    if (r.Position() + length + 4 > dataEnd) return true;  // the last frame of the data
    if (length + 4 > r.Capacity() || !r.Require(length + 4)) return true;  // the stream ends after it
    const uint8_t* next = r.Current() + length;
    FrameHeader h;
    return FrameLengthAt(next, reference_, freeFormatBase_, h) > 0 || TagMarkerAt(next);
}

TVbrHeader TFrameWalk::StepOverVbrHeader() {
    TMPStreamReader& r = reader_;
    TVbrHeader result;
    if (pending_ <= 0 || !r.Require(pending_)) return result;
    const mp3::TVbrInfo v = mp3::ParseVbrHeader(r.Current(), pending_, header_);
    if (!v.found) return result;
    result.found = true;
    result.lame = v.lame;
    int64_t shortest = 0, longest = 0;
    FrameLengthRange(r.Current(), freeFormatBase_, shortest, longest);
    r.Skip(pending_);
    dataStart_ += pending_;
    // The file's own size bounds the data; the byte count only where the size is unknown (a
    // count that contradicts the file would end the playing early or late).
    const int64_t whole = dataLength_.load();  // with the header frame
    int64_t held = whole;
    if (held >= kUnknownLength && v.bytes > 0) held = v.bytes;
    if (held < kUnknownLength) held = std::max<int64_t>(0, held - pending_);
    dataLength_ = held;
    pending_ = 0;
    // A frame count of 0, one that the data cannot hold even in the shortest frames, or one
    // whose longest frames would not fill it, says nothing about this file.
    const int64_t frames = v.frames;
    bool plausible = frames > 0;
    if (plausible && held < kUnknownLength && shortest > 0 && longest > 0)
        plausible = frames <= held / shortest + 1 && frames * longest + kTrailingAllowance >= held;
    result.frames = plausible ? frames : 0;
    // A LAME tag without its CRC is believed only when its frame count and byte count (where
    // it gives one) fit the file as well: otherwise its delay and padding would trim
    // another stream's samples.
    if (!result.lame.crcMatches &&
        (result.frames == 0 || (v.bytes > 0 && whole < kUnknownLength && std::abs(v.bytes - whole) > longest)))
        result.lame = mp3::TLameTag{};
    return result;
}

TFrameWalk::TStep TFrameWalk::Frame(TMpegDecoder& decoder) {
    TMPStreamReader& r = reader_;
    if (r.Position() - dataStart_ >= dataLength_.load()) return TStep::stEnd;
    FrameHeader local{};
    if (pending_ <= 0 || needsSetup_) {
        if (!r.Require(4)) return Truncate();
        pending_ = FrameLengthAt(r.Current(), reference_, freeFormatBase_, local);
        // (a frame longer than the ring cannot be made whole: only a tiny reader's case)
        if (pending_ <= 0 || pending_ > r.Capacity()) return Resync(decoder);
    }
    if (needsSetup_) {
        if (decoder.Open(local, pending_ - PaddingOf(local), 0, 0, 0, 24000) == 0) return Resync(decoder);
        needsSetup_ = false;
        resync_ = 0;
    }
    if (!r.Require(pending_)) return Truncate();  // the data ends inside this frame
    const int64_t dataLeft = dataLength_.load() - (r.Position() - dataStart_);
    const auto want = static_cast<int32_t>(std::min<int64_t>(
        {WholeLengthWindow(pending_, freeFormatBase_), dataLeft, int64_t{r.Capacity()}}));
    const int32_t window = ReadWindow(r, want);
    pending_ = WholeLength(r.Current(), pending_, window, window < want ? window : dataLeft, reference_,
                           freeFormatBase_);
    return TStep::stFrame;
}

void TFrameWalk::Next() {
    reader_.Skip(pending_);
    pending_ = 0;
    resync_ = 0;
}

void TFrameWalk::SeekTo(int64_t offset) {
    pending_ = 0;
    resync_ = 0;
    needsSetup_ = true;
    if (reader_.IsOpen() && reader_.Seekable()) reader_.Seek(dataStart_ + offset, TSeekOrigin::soBeginning);
}

TFrameWalk::TStep TFrameWalk::Resync(TMpegDecoder& decoder) {
    pending_ = 0;
    if (resync_ >= kResyncLimit) return Truncate();
    if (resync_ == 0) decoder.InvalidateReservoir();
    reader_.Skip(1);
    ++resync_;
    return TStep::stSkipped;
}

TFrameWalk::TStep TFrameWalk::Truncate() {
    dataLength_ = reader_.Position() - dataStart_;
    pending_ = 0;
    return TStep::stEnd;
}

}  // namespace zentu
