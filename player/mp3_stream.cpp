#include "player/mp3_stream.h"

#include <algorithm>
#include <cstring>

#include "platform/text_codec.h"

namespace zentu {

std::string TitleOf(const TMP3Info& info, const std::string& fileName) {
    std::string title = info.Title();
    if (title.empty()) title = UntypedTextToUtf8(fileName.substr(fileName.find_last_of('/') + 1));
    return title;
}

TMP3Stream::~TMP3Stream() {
    index_.reset();  // its thread reads the file on its own: ended first
    info_.Attach(nullptr);
    reader_.Close();
    if (flags_ & kStreamOwned) delete source_;
}

bool TMP3Stream::Open(TMPStream* source, uint8_t flags, const std::string& name, TMpegDecoder& decoder,
                      const TMP3StreamOptions& options) {
    source_ = source;
    flags_ = flags;
    track_.fileName = name;
    reader_.Open(source_, Seekable());
    // Tags, the audio range and the first frame, with the decoder set up for it: the same
    // reading as the player's file check, so that a file the check accepts opens.
    info_.Attach(&reader_);
    if (!info_.FindAudio(walk_, decoder)) return false;
    format_ = decoder.GetDecodedFormat();
    samplesPerFrame_ = format_.samplesPerFrame / format_.channels;

    // A VBR header frame carries no audio: it gives the length and is stepped over.
    const TVbrHeader vbr = walk_.StepOverVbrHeader();
    vbrFrames_ = vbr.frames;
    const int32_t layer = 4 - walk_.FirstHeader().layerCode;
    if (options.gapless)
        kept_ = mp3::GaplessRange(layer, vbr.lame.delay, vbr.lame.padding, vbr.frames, samplesPerFrame_);
    // A VBR header frame may be all there is (or a tail that holds no frame): looked for once,
    // back at the start after. Nothing is kept of such a file.
    if (vbr.found && Seekable()) {
        TFrameWalk::TStep step;
        while ((step = walk_.Frame(decoder)) == TFrameWalk::TStep::stSkipped) {}
        if (step != TFrameWalk::TStep::stFrame) kept_.end = kept_.begin;
        walk_.Rewind();
    }
    keepFrom_ = kept_.begin;
    // Every frame's place, for seeking and the exact length: a pass over the headers.
    if (const auto* file = dynamic_cast<const TMPFileStream*>(source_); file && options.index && Seekable()) {
        index_ = std::make_unique<TFrameIndex>(FrameIndexSource(file->DuplicateHandle(), walk_));
        index_->Start();
    }
    Describe(vbr.lame);
    // The decoder multiplies the gain in before rounding; it holds the factor as it will use it.
    decoder.SetOutputGain(mp3::ReplayGainScale(track_.gain, options.replayGain, &gainDb_));
    gainScale_ = decoder.OutputGain();
    return true;
}

void TMP3Stream::Describe(const mp3::TLameTag& lame) {
    const FrameHeader& header = walk_.FirstHeader();
    TTrackInfo& t = track_;
    t.title = TitleOf(info_, t.fileName);
    t.artist = info_.Artist();
    t.album = info_.Album();
    t.year = info_.Year();
    t.comment = info_.Comment();
    t.sampleRate = format_.sampleRate;
    t.channels = format_.channels;
    t.bitRate = vbrFrames_ > 0 ? 0 : walk_.BitRate();
    t.layer = 4 - header.layerCode;
    t.version = header.versionBit == 1 ? 1 : header.syncKind == 1 ? 2 : 3;
    t.mode = header.mode;
    t.gain = mp3::CombinedGain(info_.Gain(), lame);
    t.picture = info_.TakePicture();
    t.durationMs = DurationMs();  // from the bit rate above
}

TMP3Stream::TStep TMP3Stream::Step(TMpegDecoder& decoder) {
    if (nextSample_ >= kept_.end) return TStep::stEnd;  // the encoder's padding follows
    switch (walk_.Frame(decoder)) {
        case TFrameWalk::TStep::stEnd: return TStep::stEnd;
        case TFrameWalk::TStep::stSkipped: return TStep::stNone;
        case TFrameWalk::TStep::stFrame: break;
    }
    // The decoder is shared with the file before and after this one (a seek back into the file
    // still heard, the next one opened): its gain is this file's for this file's frames.
    if (decoder.OutputGain() != gainScale_) decoder.SetOutputGain(gainScale_);
    const DecodeResult result = decoder.DecodeFrame(reader_.Current(), walk_.PendingLength(), pcm_.data());
    walk_.Next();
    const int32_t bytesPerSample = format_.channels * format_.bitsPerSample / 8;
    // A frame that cannot be decoded plays as one frame of silence.
    if (result.consumed < 1) std::memset(pcm_.data(), 0, static_cast<size_t>(samplesPerFrame_ * bytesPerSample));
    const int64_t first = nextSample_;
    nextSample_ += samplesPerFrame_;
    const mp3::TSlice slice = mp3::KeptSlice(first, samplesPerFrame_, keepFrom_, kept_.end);
    if (slice.length == 0) return TStep::stNone;  // the encoder's delay, or a seek's lead-in
    pcmOffset_ = slice.offset * bytesPerSample;
    pendingBytes_ = slice.length * bytesPerSample;
    return TStep::stPcm;
}

void TMP3Stream::SeekTo(int64_t sample) {
    pendingBytes_ = pcmOffset_ = 0;
    if (samplesPerFrame_ <= 0) return;  // not open
    const int64_t target = kept_.begin + sample;
    const int64_t frame = target / samplesPerFrame_;
    // The two frames before the target are decoded too, so that the transform's overlap and
    // the synthesis window hold what they would after a play from the start; Layer III also
    // needs the frames whose main data their bit reservoir reaches into (up to 511 bytes).
    int64_t start = std::max<int64_t>(0, frame - 2);
    const FrameHeader& header = walk_.FirstHeader();
    if (header.layerCode == 1) {
        const int32_t sideBytes = mp3::SideInfoEnd(header);
        const int64_t frameBytes = int64_t{track_.bitRate} * samplesPerFrame_ / 8 / format_.sampleRate;
        int64_t at = 0, before = 0;
        const bool exact = FrameOffset(start, at);
        for (int64_t reach = 511; reach > 0 && start > 0; --start) {
            if (exact && FrameOffset(start - 1, before))
                reach -= std::max<int64_t>(at - before - sideBytes, 1), at = before;
            else
                reach -= std::max<int64_t>(frameBytes - sideBytes, 24);
        }
    }
    int64_t offset = 0;
    FrameOffset(start, offset);
    walk_.SeekTo(offset);
    nextSample_ = start * samplesPerFrame_;
    keepFrom_ = target;
}

bool TMP3Stream::FrameOffset(int64_t frame, int64_t& offset) const {
    const int64_t dataLength = walk_.DataLength();
    if (index_ && index_->OffsetOfFrame(frame, offset)) {
        offset -= walk_.DataStart();
        return true;
    }
    // Until the index has got there: the Xing table of contents, or proportionally through
    // the data (exact for constant frame lengths); the walk then finds the next header.
    offset = 0;
    if (frame <= 0 || dataLength >= kUnknownLength) return frame <= 0;
    const int64_t ms = frame * samplesPerFrame_ * 1000 / format_.sampleRate;
    if (index_ && index_->TocOffset(ms, offset)) {
        offset = std::clamp<int64_t>(offset - walk_.DataStart(), 0, dataLength);
        return false;
    }
    const int64_t bitRate = track_.bitRate;
    const int64_t frames = vbrFrames_ > 0 ? vbrFrames_
                           : bitRate > 0  ? dataLength * 8 * format_.sampleRate / (bitRate * samplesPerFrame_)
                                          : 0;
    if (frames > 0) offset = std::min(dataLength, frame * dataLength / frames);
    return false;
}

int32_t TMP3Stream::DurationMs() const {
    const int32_t rate = format_.sampleRate;
    if (rate <= 0) return 0;
    // Once counted, the frames the file holds bound what is kept (a cut file plays less than
    // its VBR header says, and a constant rate's size ÷ bit rate is only an estimate).
    int64_t end = kept_.end;
    // (No frames counted: the file could not be read again, and says nothing.)
    if (FramesCounted() && index_->FrameCount() > 0) end = std::min(end, index_->FrameCount() * samplesPerFrame_);
    if (end != mp3::kNoEnd) return static_cast<int32_t>(std::max<int64_t>(0, end - kept_.begin) * 1000 / rate);
    const int64_t ms = mp3::Duration(VbrTotal(), rate, format_.channels, track_.bitRate, walk_.DataLength());
    return static_cast<int32_t>(ms > 0 ? std::max<int64_t>(0, ms - kept_.begin * 1000 / rate) : 0);
}

bool TMP3Stream::UpdateDuration() {
    const int32_t duration = DurationMs();
    if (track_.durationMs == duration) return false;
    track_.durationMs = duration;
    return true;
}

bool TMP3Stream::Empty() const { return kept_.end <= kept_.begin || walk_.DataLength() == 0; }

}  // namespace zentu
